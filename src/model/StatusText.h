// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace corvane::model {

// The texts the model puts before an error's description in `status`.
inline constexpr const char* kCouldNotRead = "Couldn't read that file: ";
inline constexpr const char* kEngineFailed = "Audio engine failed: ";
inline constexpr const char* kExportFailed = "Export failed: ";
// When the studio opens without a sound output to play on.
inline constexpr const char* kNoSoundOutput =
    "No sound output was found: playback is off; separating and exporting still work.";

// Loop (L) pressed with no region marked.
inline constexpr const char* kNoLoop =
    "No loop is marked yet: Shift+drag on a waveform, or press I and O at the playhead.";

}  // namespace corvane::model
