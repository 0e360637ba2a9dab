// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>

#include "model/StudioModel.h"
#include "ui/FileDialogs.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QStackedLayout;

namespace corvane::ui {

class DropZone;
class SessionCommands;
class StudioActions;
class Timeline;

// The window's content: the menu bar, the title row with the song's name and "Open Audio…", the
// screen for the model's phase (drop zone, progress display or studio), the status row (always
// reserved, see StatusRow) and the fixed information line. The whole window takes a dropped file,
// in every phase; only the first dropped file location counts. Every command is in the menu bar
// with its shortcut (StudioActions), and every control is in the tab order.
// Children are named for tests: menuBar, openButton, songNameLabel, dropZone, processing, studio,
// progressLabel, progressBar, percentLabel, statusLabel, infoLabel, karaokeButton,
// exportMixButton, exportAllButton, loopButton, loopTimesLabel, timeRuler. A `.corvane` file,
// opened or dropped, restores its session; unsaved practice changes are asked about before the
// window closes or another song opens. Main thread.
class ContentView : public QWidget {
    Q_OBJECT
public:
    ContentView(model::StudioModel& model, FileDialogs& dialogs, QWidget* parent = nullptr);

    // Asks for a song with the open dialog and loads it; a cancelled dialog does nothing.
    void openFile();
    // Opens a song or a session file (the command line's), asking first about unsaved changes.
    void openPath(const QString& path);

    // True while a drag carrying a file location hovers over the window.
    bool targeted() const { return m_targeted; }

protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    QWidget* makeHeader();
    QWidget* makeProcessing();
    QWidget* makeStudio();
    QWidget* makeInfoLine();
    void setTargeted(bool targeted);
    void syncFromModel();
    void syncProgress();
    void syncKaraoke();
    void syncLoop();
    void syncExport();
    void toggleKaraoke();

    model::StudioModel& m_model;
    FileDialogs& m_dialogs;
    bool m_targeted = false;

    QPushButton* m_open = nullptr;
    QLabel* m_songName = nullptr;
    StudioActions* m_actions = nullptr;
    SessionCommands* m_session = nullptr;
    QStackedLayout* m_screens = nullptr;
    DropZone* m_dropZone = nullptr;
    QWidget* m_processing = nullptr;
    QWidget* m_studio = nullptr;
    QLabel* m_progressLabel = nullptr;
    QProgressBar* m_progressBar = nullptr;
    QLabel* m_percent = nullptr;
    QPushButton* m_karaoke = nullptr;
    QPushButton* m_loop = nullptr;
    QLabel* m_loopTimes = nullptr;
    Timeline* m_timeline = nullptr;
};

}  // namespace corvane::ui
