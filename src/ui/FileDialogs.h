// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <optional>

#include "model/ExportDialogs.h"

namespace corvane::ui {

// Every file dialog the window needs: the model's export dialogs and the open dialog for a song.
// The application supplies Qt's dialogs (QtFileDialogs); tests supply a fake. Main thread; each
// call is modal and returns nothing when the user cancels.
class FileDialogs : public model::ExportDialogs {
public:
    // One audio file to open.
    virtual std::optional<QString> openAudioFile() = 0;
};

}  // namespace corvane::ui
