// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "dsp/common/StftFrames.h"

namespace corvane::dsp {

// The long STFT the refined method resolves bass notes with: frames of kLongFrameLength samples
// at the main hop and on the main frames' centres (StftFrames.h), so long frame t describes the
// same instant as main frame t, and long bin 2k the frequency of main bin k. Only the lowest
// kLongBins bins are kept: at least 300 Hz at any rate from 8 kHz up, the range where a bass
// line and a kick drum meet. Twice the main length halves the bin width (10.8 Hz at 44.1 kHz),
// so neighbouring bass notes fall in separate bins.
inline constexpr int kLongFrameLength = 4096;  // samples; the FFT wisdom is measured for it
inline constexpr int kLongBins = 160;

// Input position of long frame t's first sample (it may lie before 0 or past the end: those
// positions read as zero).
inline constexpr std::int64_t longFrameStart(std::int64_t t) {
    return t * kHop + kFrameLength / 2 - kLeadIn - kLongFrameLength / 2;
}

}  // namespace corvane::dsp
