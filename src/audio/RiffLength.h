// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace corvane::audio {

// A RIFF WAVE file's own statement of its length: the data chunk's size over the frame size,
// and the rate it is at. FFmpeg estimates a WAV's duration from the bytes present, so a cut-off
// file would look complete; the header still says what was meant. Nothing for other files, or
// a size left open by a streaming writer (0 or 0xFFFFFFFF). Reads the first 4 kB. Any thread.
struct RiffLength {
    std::int64_t frames = 0;
    int sampleRate = 0;
};
std::optional<RiffLength> riffLength(const std::filesystem::path& path);

}  // namespace corvane::audio
