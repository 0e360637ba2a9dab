// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "audio/AudioFormat.h"
#include "audio/Error.h"

namespace corvane::audio {

// Frames handed to the encoder at a time, and read or mixed at a time by the callers that feed
// it: transfer memory stays small for any song length.
inline constexpr std::int64_t kChunkFrames = 65536;

// Whether a stereo file of `settings` can be written at `sampleRate` (Hz), before anything is
// opened: Opus exists only at 8, 12, 16, 24 and 48 kHz and MP3 at the nine MPEG rates, each
// with its own range of bit rates. Resampling is not done here. Nothing, or the reason.
std::optional<Error> checkEncodable(const EncodeSettings& settings, double sampleRate);

// One stereo output file written block by block through libsndfile, in any AudioFormat, onto a
// descriptor the caller opened (a StagedFiles temporary: StagedFiles.h). Integer and lossy formats
// are hard-clipped to [-1, 1] (NaN becomes 0); f32 keeps every value.
// One thread at a time; allocates one transfer buffer of at most kChunkFrames frames.
// Failures carry the system's words ("No space left on device") where the system gave them.
class AudioWriter {
public:
    // Writes through a duplicate of `fd` (the caller keeps its own) from its current offset.
    static Result<std::unique_ptr<AudioWriter>> open(int fd, double sampleRate,
                                                     const EncodeSettings& settings);
    ~AudioWriter();  // closes without a verdict if close() was not called
    AudioWriter(const AudioWriter&) = delete;
    AudioWriter& operator=(const AudioWriter&) = delete;

    // Appends l.size() frames; r must hold at least as many.
    std::optional<Error> write(std::span<const float> l, std::span<const float> r);
    // Finishes the file (final header, encoder flush) and closes it; only a file whose close()
    // succeeded is complete. Call once.
    std::optional<Error> close();
    std::int64_t framesWritten() const { return m_frames; }

private:
    struct Impl;
    explicit AudioWriter(std::unique_ptr<Impl> impl);
    std::optional<Error> writePacked(std::span<const float> l, std::span<const float> r);
    std::unique_ptr<Impl> m_impl;
    std::int64_t m_frames = 0;
};

}  // namespace corvane::audio
