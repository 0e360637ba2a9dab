// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "audio/AudioFormat.h"
#include "audio/Error.h"

namespace corvane::audio {

struct WriteOptions {
    // Called with the frame count of each chunk as it is handed to the encoder (tests watch it).
    std::function<void(std::int64_t frames)> onChunk;
};

// Writes l and r as one stereo file at `sampleRate` in the format `settings` names, through
// StagedFiles: the file takes its name only once complete and on disk, so a failure leaves an
// older file of that name as it was. Integer formats hard-clip every sample to [-1, 1] first (NaN
// becomes 0). Exactly l.size() frames are written; r must hold at least as many. Empty input gives
// a valid file with no frames. Checked for the rate first (checkEncodable).
// Returns nothing on success, or the failure with the system's description ("Permission denied",
// "No space left on device"). Any thread; allocates one chunk-sized transfer buffer.
std::optional<Error> writeAudio(const std::filesystem::path& to, std::span<const float> l,
                                std::span<const float> r, double sampleRate,
                                const EncodeSettings& settings, const WriteOptions& options = {});

// The same as a stereo 24-bit signed PCM WAV.
std::optional<Error> writeWav(const std::filesystem::path& to, std::span<const float> l,
                              std::span<const float> r, double sampleRate,
                              const WriteOptions& options = {});

// Writes each text (JSON, label files) to its path through one StagedFiles set: all take their
// names together once all are written and on disk, or none does. The first failure, naming its
// file ("x.json: Permission denied"). Any thread.
// Writes all of `text` to `fd` (retrying short writes and interrupted calls), or says why not.
std::optional<Error> writeText(int fd, std::string_view text);

std::optional<Error> writeTextFiles(
    const std::vector<std::pair<std::filesystem::path, std::string>>& files);

// Proposed export name: `fileName` without its last extension + " - " + suffix + ".wav".
// "My Song.mp3" + "Mix" gives "My Song - Mix.wav"; "demo" + "Bass" gives "demo - Bass.wav".
// A name whose only dot is its first character (".hidden") is kept whole.
std::string wavName(std::string_view fileName, std::string_view suffix);

}  // namespace corvane::audio
