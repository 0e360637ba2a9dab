// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "dsp/common/FftPlan.h"

namespace corvane::dsp {

// The fixed short-time Fourier transform every separation works on.
inline constexpr int kFrameLength = 2048;  // samples; the FFT wisdom is measured for it
// 1 / kFrameLength, exact in binary: the inverse transform's scale and the bin width per Hz.
inline constexpr float kInverseFrameLength = 1.0f / kFrameLength;
inline constexpr int kHop = 1024;     // samples, 50 % overlap
inline constexpr int kBins = 1025;    // kFrameLength / 2 + 1: DC to Nyquist
inline constexpr int kLeadIn = 2048;  // zeros in front of the first sample
inline constexpr float kWindowPowerFloor = 1e-6f;

// For n > 0 input samples: the frame count F and the length P of a zero-padded channel
// (kLeadIn zeros, the samples, then at least 2049 zeros). Frame t covers padded positions
// [t * kHop, t * kHop + kFrameLength); every input position is covered by exactly two frames.
struct FrameGeometry {
    std::int64_t frames;
    std::int64_t paddedLength;
};
FrameGeometry frameGeometry(std::int64_t n);

// Periodic Hann window of kFrameLength points, computed in single precision.
std::vector<float> hannWindow();

// Windows frame t of a channel of n samples (padding implied: positions outside the input read as
// zero, and so does any non-finite sample), each sample times `scale`, and writes its DFT bins
// 0 .. 1024 to re[] and im[]; im[0] and im[1024] are exactly 0. Returns the frame's largest
// |sample| before scaling. Any thread, with its own scratch.
float forwardFrame(const float* channel, std::int64_t n, std::int64_t t, const float* window,
                   const FftPlan& plan, FFTScratch& scratch, float* re, float* im,
                   float scale = 1.0f);

// Frames whose samples reach beyond this are analysed scaled down by a power of two (exact), so
// that no bin's square, nor a sum of four of them, can overflow a float: bins stay below 2^60.
// Music never comes near it; a broken or hostile file can.
inline constexpr float kMaxFramePeak = 0x1p50f;

// The power of two a frame whose largest |sample| is `peak` is scaled by (1 for every frame of
// real audio), and its inverse, by which what the frame gives back is scaled up again.
struct FrameScale {
    float down = 1.0f;
    float up = 1.0f;
};
FrameScale frameScaleFor(float peak);

// Inverse-transforms one 1025-bin spectrum (imaginary parts of DC and Nyquist ignored), windows it
// and adds it at frame t's place into `out`, which holds the n input positions only (the lead-in
// and tail fall away). With `gain`, bin k is taken as gain[k] * (re[k], im[k]), which spares the
// caller a copy of the gained spectrum. With `firstHalf`, the frame's first kHop points are added
// to firstHalf[0 .. kHop) instead of `out` (for a frame whose first half another thread writes).
// `up` undoes a frame's scale (FrameScale). Any thread, with its own scratch.
void inverseFrameAdd(const float* re, const float* im, std::int64_t t, const float* window,
                     const FftPlan& plan, FFTScratch& scratch, float* out, std::int64_t n,
                     const float* gain = nullptr, float* firstHalf = nullptr, float up = 1.0f);

// The summed squared window over a whole padded channel of `frames` frames: the plain serial
// definition, kept as the reference for windowPowerTable.
std::vector<float> windowPower(std::int64_t frames, const float* window);

// At every input position the window power repeats with the hop: the value at input position i
// is table[(i + kLeadIn) % kHop]. Bit-identical to windowPower() there.
std::array<float, kHop> windowPowerTable(const float* window);

// out[i] = out[i] / max(window power at i, floor) for i in [begin, end): turns an overlap-added
// accumulator into samples.
void normaliseRange(float* out, std::int64_t begin, std::int64_t end,
                    const std::array<float, kHop>& table);

}  // namespace corvane::dsp
