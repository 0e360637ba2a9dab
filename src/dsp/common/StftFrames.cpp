// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/common/StftFrames.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cmath>

#include "dsp/common/Simd.h"

namespace corvane::dsp {

FrameGeometry frameGeometry(std::int64_t n) {
    assert(n > 0);
    std::int64_t frames = (n + kLeadIn) / kHop + 2;
    return {frames, (frames - 1) * kHop + kFrameLength};
}

std::vector<float> hannWindow() {
    std::vector<float> w(kFrameLength);
    for (int i = 0; i < kFrameLength; ++i)
        w[static_cast<std::size_t>(i)] =
            0.5f - std::cos(static_cast<float>(i) * 6.2831855f * kInverseFrameLength) * 0.5f;
    return w;
}

CORVANE_SIMD_CLONES
float forwardFrame(const float* channel, std::int64_t n, std::int64_t t, const float* window,
                   const FftPlan& plan, FFTScratch& scratch, float* re, float* im, float scale) {
    float* time = scratch.time();
    // Input index of the frame's first point; positions outside [0, n) are the zero padding.
    const std::int64_t first = t * kHop - kLeadIn;
    const int lo = static_cast<int>(std::clamp<std::int64_t>(-first, 0, kFrameLength));
    const int hi = static_cast<int>(std::clamp<std::int64_t>(n - first, 0, kFrameLength));
    for (int m = 0; m < lo; ++m) time[m] = 0.0f;
    // The largest |x| as the bits of a finite float, which order as the magnitudes do: an integer
    // maximum the vectoriser takes, where a float one would need looser maths.
    std::uint32_t peakBits = 0;
    for (int m = lo; m < hi; ++m) {
        float x = channel[first + m];
        x = std::isfinite(x) ? x : 0.0f;
        peakBits = std::max(peakBits, std::bit_cast<std::uint32_t>(x) & 0x7FFFFFFFu);
        time[m] = (x * scale) * window[m];
    }
    for (int m = std::max(hi, lo); m < kFrameLength; ++m) time[m] = 0.0f;

    plan.forward(scratch);
    const float* spectrum = scratch.spectrum();
    for (int k = 0; k < kBins; ++k) {
        re[k] = spectrum[2 * k];
        im[k] = spectrum[2 * k + 1];
    }
    im[0] = 0.0f;
    im[kBins - 1] = 0.0f;
    return std::bit_cast<float>(peakBits);
}

FrameScale frameScaleFor(float peak) {
    if (!(peak > kMaxFramePeak)) return {};
    int exponent = 0;
    std::frexp(peak / kMaxFramePeak, &exponent);  // peak / 2^exponent <= kMaxFramePeak
    return {std::ldexp(1.0f, -exponent), std::ldexp(1.0f, exponent)};
}

CORVANE_SIMD_CLONES
void inverseFrameAdd(const float* re, const float* im, std::int64_t t, const float* window,
                     const FftPlan& plan, FFTScratch& scratch, float* out, std::int64_t n,
                     const float* gain, float* firstHalf, float up) {
    float* spectrum = scratch.spectrum();
    if (gain) {
        for (int k = 0; k < kBins; ++k) {
            spectrum[2 * k] = gain[k] * re[k];
            spectrum[2 * k + 1] = gain[k] * im[k];
        }
    } else {
        for (int k = 0; k < kBins; ++k) {
            spectrum[2 * k] = re[k];
            spectrum[2 * k + 1] = im[k];
        }
    }
    plan.inverse(scratch);

    // A power of two times another: exact, and 1 / N itself for an unscaled frame.
    const float scale = up / static_cast<float>(scratch.n());
    const float* y = scratch.time();
    const std::int64_t first = t * kHop - kLeadIn;
    const int lo = static_cast<int>(std::clamp<std::int64_t>(-first, 0, kFrameLength));
    const int hi = static_cast<int>(std::clamp<std::int64_t>(n - first, 0, kFrameLength));
    float* dst = out + first;
    int m = lo;
    if (firstHalf) {
        for (; m < std::min(hi, kHop); ++m)
            firstHalf[m] = (y[m] * scale) * window[m] + firstHalf[m];
        m = std::max(m, kHop);
    }
    for (; m < hi; ++m) dst[m] = (y[m] * scale) * window[m] + dst[m];
}

std::vector<float> windowPower(std::int64_t frames, const float* window) {
    std::vector<float> power(static_cast<std::size_t>((frames - 1) * kHop + kFrameLength), 0.0f);
    for (std::int64_t t = 0; t < frames; ++t)
        for (int i = 0; i < kFrameLength; ++i)
            power[static_cast<std::size_t>(t * kHop + i)] += window[i] * window[i];
    return power;
}

std::array<float, kHop> windowPowerTable(const float* window) {
    // Position p (>= kHop, inside the padded channel) gets the later half of frame p / kHop - 1
    // first and then the earlier half of frame p / kHop, the same sum in the same order as above.
    std::array<float, kHop> table{};
    for (int m = 0; m < kHop; ++m) {
        float sum = 0.0f;
        sum += window[m + kHop] * window[m + kHop];
        sum += window[m] * window[m];
        table[static_cast<std::size_t>(m)] = sum;
    }
    return table;
}

CORVANE_SIMD_CLONES
void normaliseRange(float* out, std::int64_t begin, std::int64_t end,
                    const std::array<float, kHop>& table) {
    std::int64_t i = begin;
    while (i < end) {
        // One run per hop, so the inner loop is a plain element-wise division.
        const int phase = static_cast<int>((i + kLeadIn) % kHop);
        const int run = static_cast<int>(std::min<std::int64_t>(kHop - phase, end - i));
        const float* d = table.data() + phase;
        float* x = out + i;
        for (int m = 0; m < run; ++m) x[m] = x[m] / std::max(d[m], kWindowPowerFloor);
        i += run;
    }
}

}  // namespace corvane::dsp
