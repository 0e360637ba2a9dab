// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <filesystem>

#include "audio/AudioDecoder.h"
#include "audio/Error.h"
#include "dsp/common/StereoAudio.h"

namespace corvane::audio {

// Decodes a whole file with AudioDecoder (the first audio stream, stereo, at the rate of its
// first frame; see there for channels, damage and rate changes).
// Any thread; no shared state. Peak memory is about 1.1 times the decoded stereo size.
// When `cancel` is given and becomes true (from any thread), decoding stops at the next packet with
// the kErrorCancelled error. `notes`, when given, receives what the user should hear about a
// successful read (a file that ends early).
Result<dsp::StereoAudio> readAudio(const std::filesystem::path& path,
                                   const std::atomic<bool>* cancel = nullptr,
                                   ReadNotes* notes = nullptr);

}  // namespace corvane::audio
