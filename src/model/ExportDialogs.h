// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <optional>

namespace corvane::model {

// The file dialogs the export commands ask for a destination. The window supplies the real,
// modal ones; tests supply a fake. Main thread. Nothing returned means the user cancelled.
class ExportDialogs {
public:
    virtual ~ExportDialogs() = default;
    // A location to save an audio file, proposing `proposedName` (a .wav name); the name that
    // comes back ends in .wav (24-bit, the default), .flac or .mp3, which decides the format.
    virtual std::optional<QString> saveAudioLocation(const QString& proposedName) = 0;
    // A folder to write several files into; the confirm button reads "Export Here".
    virtual std::optional<QString> exportFolder() = 0;
    // The folder the next dialog opens in: the song's own, or where the last export of the run
    // went. Empty: the dialogs' own default.
    virtual void setStartFolder(const QString& folder) { (void)folder; }
};

}  // namespace corvane::model
