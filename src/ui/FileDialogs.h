// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <optional>

#include "model/ExportDialogs.h"

namespace corvane::ui {

// Every dialog the window needs: the model's export dialogs, the open dialog for a song or a
// session, the session's save dialog and the two questions a session asks. The application
// supplies Qt's dialogs (QtFileDialogs); tests supply a fake. Main thread; each call is modal and
// returns nothing when the user cancels.
class FileDialogs : public model::ExportDialogs {
public:
    // One audio file, or a saved session, to open.
    virtual std::optional<QString> openAudioFile() = 0;
    // Where to save a session; `proposedPath` ("NAME.corvane" beside the song) is the default.
    virtual std::optional<QString> saveSessionLocation(const QString& proposedPath) = 0;
    // A session's song is not where it was (`changed`: a different file is there now): asks, in
    // plain words naming `songName`, where it is now, then for that file.
    virtual std::optional<QString> locateSong(const QString& songName, bool changed) = 0;
    // Unsaved practice changes are about to go (the window closes, another song opens).
    enum class Unsaved { save, discard, cancel };
    virtual Unsaved askUnsavedChanges() = 0;
};

}  // namespace corvane::ui
