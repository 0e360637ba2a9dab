// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "audio/AudioFormat.h"
#include "audio/Error.h"

namespace corvane::audio {

// Frames handed to the encoder per chunk: transfer memory stays small for any song length.
inline constexpr std::int64_t kWavChunkFrames = 65536;

struct WavWriteOptions {
    // Called with the frame count of each chunk as it is handed to the encoder (tests watch it).
    std::function<void(std::int64_t frames)> onChunk;
};

// A thin wrapper over AudioWriter (AudioWriter.h), which writes every format block by block.
// Writes l and r as a stereo 24-bit signed PCM WAV at `sampleRate`, replacing any existing file.
// Every sample is hard-clipped to [-1, 1] first (NaN becomes 0). Exactly l.size() frames are
// written; r must hold at least as many. Empty input gives a valid file with no frames.
// Returns nothing on success, or the failure with the system's description ("Permission denied",
// "No space left on device"); chunks written before a failure stay in the file.
// Any thread; allocates one chunk-sized transfer buffer.
std::optional<Error> writeWav(const std::filesystem::path& to, std::span<const float> l,
                              std::span<const float> r, double sampleRate,
                              const WavWriteOptions& options = {});

// The same in any format (a FLAC, an MP3 at its default bit rate, ...), checked for the rate
// first (checkEncodable).
std::optional<Error> writeAudio(const std::filesystem::path& to, std::span<const float> l,
                                std::span<const float> r, double sampleRate,
                                const EncodeSettings& settings,
                                const WavWriteOptions& options = {});

// Proposed export name: `fileName` without its last extension + " - " + suffix + ".wav".
// "My Song.mp3" + "Mix" gives "My Song - Mix.wav"; "demo" + "Bass" gives "demo - Bass.wav".
// A name whose only dot is its first character (".hidden") is kept whole.
std::string wavName(std::string_view fileName, std::string_view suffix);

}  // namespace corvane::audio
