// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <filesystem>

#include "audio/Error.h"
#include "dsp/StereoAudio.h"

namespace corvane::audio {

// Reader's own error codes, domain "Corvane".
inline constexpr int kErrorEmptyFile = 1;          // "The file is empty."
inline constexpr int kErrorUnsupportedFormat = 2;  // "Unsupported sample format."
inline constexpr int kErrorTooLong = 3;            // more than 4,294,967,295 frames
inline constexpr int kErrorCancelled = 4;          // "Cancelled." (nobody wants the result)

// Decodes the first audio stream of a file whole, with FFmpeg, to 32-bit float at the file's own
// rate (never resampled). Mono is duplicated to both channels; of more channels the first two are
// kept. Corrupt packets in the middle are skipped and the rest is kept, as players do.
// Any thread; no shared state. Peak memory is about 1.1 times the decoded stereo size.
// When `cancel` is given and becomes true (from any thread), decoding stops at the next packet with
// the kErrorCancelled error.
Result<dsp::StereoAudio> readAudio(const std::filesystem::path& path,
                                   const std::atomic<bool>* cancel = nullptr);

}  // namespace corvane::audio
