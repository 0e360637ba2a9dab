// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <vector>

#include "dsp/common/FftPlan.h"
#include "dsp/common/StftFrames.h"

namespace corvane::dsp {

// The short STFT the refined method finds percussion with: frames of kShortFrameLength samples at
// half the hop of the main frames (StftFrames.h) and on the same centres, so short frame 2t
// describes the same instant as main frame t, and short bin k the frequency of main bin 2k. Half
// the frame length sharpens the time resolution that makes a drum hit stand out.
inline constexpr int kShortFrameLength = 1024;  // samples; the FFT wisdom is measured for it
inline constexpr float kInverseShortFrameLength = 1.0f / kShortFrameLength;
inline constexpr int kShortHop = kShortFrameLength / 2;
inline constexpr int kShortBins = kShortFrameLength / 2 + 1;
inline constexpr int kShortFramesPerFrame = kHop / kShortHop;

// Periodic Hann window of kShortFrameLength points, computed in single precision.
std::vector<float> shortHannWindow();

// Periodic Hann window of `length` points (a power of two), the same formula; shortHannWindow()
// is this at kShortFrameLength.
std::vector<float> hannWindowOf(int length);

// |DFT| of the windowed mid signal (l + r) / 2 of the plan's length in samples from input
// position `first` on, bins 0 .. bins - 1 into mag. Positions outside the n input samples, and
// non-finite samples, read as zero. The magnitude is computed so that it cannot overflow where the
// spectrum itself is finite. Any thread, with its own scratch of the plan's length.
void midMagnitudeFrom(const float* l, const float* r, std::int64_t n, std::int64_t first,
                      const float* window, const FftPlan& plan, FFTScratch& scratch, float* mag,
                      int bins);

// |DFT| of the windowed mid signal (l + r) / 2 of short frame u (centred where main frame u / 2
// is for even u), bins 0 .. kShortBins - 1, into mag. Positions outside the n input samples, and
// non-finite samples, read as zero. Any thread, with its own kShortFrameLength scratch.
void shortMidMagnitude(const float* l, const float* r, std::int64_t n, std::int64_t u,
                       const float* window, const FftPlan& plan, FFTScratch& scratch, float* mag);

}  // namespace corvane::dsp
