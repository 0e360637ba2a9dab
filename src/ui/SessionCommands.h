// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QString>

#include "model/StudioModel.h"
#include "ui/FileDialogs.h"

namespace corvane::ui {

class Timeline;

// Opening songs and `.corvane` sessions, saving sessions, and the one question before unsaved
// practice changes go. A session whose song moved or changed asks where it is and opens only the
// very file it was saved with; anything that fails says one line in the model's status. The
// window's zoom (the timeline's level) is saved with a session and restored with it, and the
// person zooming counts as a change to the session. Main thread.
class SessionCommands : public QObject {
    Q_OBJECT
public:
    static inline const QString kSuffix = QStringLiteral("corvane");

    SessionCommands(model::StudioModel& model, FileDialogs& dialogs, Timeline& timeline,
                    QObject* parent);

    static bool isSessionFile(const QString& path);
    // A song or a session, after asking about unsaved changes.
    void open(const QString& path);
    // "Save Session…": asks where (NAME.corvane beside the song), then writes it. True if saved.
    bool save();
    // True when nothing unsaved would be lost, or the person saved or chose to discard it;
    // false when they cancelled (or the save failed), so what was about to happen must not.
    bool mayDiscardChanges();

private:
    void openSession(const QString& path);
    void restoreZoom(double zoom);
    void followZoom();

    model::StudioModel& m_model;
    FileDialogs& m_dialogs;
    Timeline& m_timeline;
    int m_level = 0;  // the zoom level last seen, so that only a change of it counts
    bool m_restoring = false;
};

}  // namespace corvane::ui
