// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "audio/Error.h"

namespace corvane::audio {

// Reader's own error codes, domain "Corvane".
inline constexpr int kErrorEmptyFile = 1;          // "The file is empty."
inline constexpr int kErrorUnsupportedFormat = 2;  // "Unsupported sample format."
inline constexpr int kErrorTooLong = 3;            // more than 4,294,967,295 frames
inline constexpr int kErrorCancelled = 4;          // "Cancelled." (nobody wants the result)
inline constexpr int kErrorUnsupportedRate = 5;    // "Unsupported sample rate (1 Hz)."

// Rates a song may have; anything outside is a broken or hostile header, not music.
inline constexpr int kMinSampleRate = 1'000;    // Hz
inline constexpr int kMaxSampleRate = 768'000;  // Hz

// What a user deserves to hear about a read that succeeded.
struct ReadNotes {
    std::int64_t frames = 0;          // decoded so far, at the output rate
    std::int64_t declaredFrames = 0;  // the container's stated length; 0 if unknown or estimated
    // Decoding stopped well before the stated length: a cut-off download, a damaged end.
    bool endedEarly = false;
};

// One audio file open for decoding, block by block, with FFmpeg: the first audio stream as
// stereo 32-bit float at the rate of its first decoded frame. Mono is duplicated to both
// channels; more than two channels are downmixed with the standard matrix (centre and surrounds
// at -3 dB, LFE dropped); a stream that changes rate part-way is resampled to the first rate.
// Corrupt packets in the middle are skipped and the rest is kept, as players do.
//
// One thread at a time (any thread). Memory: what one packet decodes to, beyond the caller's
// buffers. When `cancel` becomes true (from any thread), the next read fails with
// kErrorCancelled within a packet.
class AudioDecoder {
public:
    // Opens the file and decodes its first frame, so the rate is known and a file that holds no
    // decodable audio fails here, with the system's or FFmpeg's reason.
    static Result<std::unique_ptr<AudioDecoder>> open(const std::filesystem::path& path,
                                                      const std::atomic<bool>* cancel = nullptr);
    ~AudioDecoder();
    AudioDecoder(const AudioDecoder&) = delete;
    AudioDecoder& operator=(const AudioDecoder&) = delete;

    // Hz, of everything read() delivers.
    double sampleRate() const;

    // Appends up to maxFrames decoded frames to l and r; returns how many, 0 at the end of the
    // stream, or the error (a failing disk, cancellation, a song past 4,294,967,295 frames).
    Result<std::int64_t> read(std::int64_t maxFrames, std::vector<float>& l, std::vector<float>& r);

    // Final once read() has returned 0.
    const ReadNotes& notes() const;
    // The length the file states, in frames at sampleRate(), from the moment it is open (for
    // progress); 0 when unknown or only estimated from the bit rate.
    std::int64_t declaredFrames() const;

private:
    struct Impl;
    explicit AudioDecoder(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

}  // namespace corvane::audio
