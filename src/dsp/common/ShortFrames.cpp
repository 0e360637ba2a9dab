// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/common/ShortFrames.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "dsp/common/Simd.h"

namespace corvane::dsp {

std::vector<float> shortHannWindow() { return hannWindowOf(kShortFrameLength); }

std::vector<float> hannWindowOf(int length) {
    const float inverse = 1.0f / static_cast<float>(length);  // exact for a power of two
    std::vector<float> w(static_cast<std::size_t>(length));
    for (int i = 0; i < length; ++i)
        w[static_cast<std::size_t>(i)] =
            0.5f - std::cos(static_cast<float>(i) * 6.2831855f * inverse) * 0.5f;
    return w;
}

CORVANE_SIMD_CLONES
void midMagnitudeFrom(const float* l, const float* r, std::int64_t n, std::int64_t first,
                      const float* window, const FftPlan& plan, FFTScratch& scratch, float* mag,
                      int bins) {
    float* time = scratch.time();
    const int length = plan.size();
    const int lo = static_cast<int>(std::clamp<std::int64_t>(-first, 0, length));
    const int hi = static_cast<int>(std::clamp<std::int64_t>(n - first, 0, length));
    for (int m = 0; m < lo; ++m) time[m] = 0.0f;
    // The largest |sample| as the bits of a finite float, an integer maximum the vectoriser takes.
    std::uint32_t peakBits = 0;
    auto fill = [&](float scale) {
        for (int m = lo; m < hi; ++m) {
            float a = l[first + m];
            float b = r[first + m];
            a = std::isfinite(a) ? a : 0.0f;
            b = std::isfinite(b) ? b : 0.0f;
            peakBits = std::max({peakBits, std::bit_cast<std::uint32_t>(a) & 0x7FFFFFFFu,
                                 std::bit_cast<std::uint32_t>(b) & 0x7FFFFFFFu});
            // Halved before the sum, so that two samples near the float limit do not overflow.
            time[m] = ((a * scale) * 0.5f + (b * scale) * 0.5f) * window[m];
        }
    };
    fill(1.0f);
    // A frame beyond kMaxFramePeak is transformed scaled down, so its spectrum stays finite.
    const FrameScale scale = frameScaleFor(std::bit_cast<float>(peakBits));
    if (scale.up != 1.0f) fill(scale.down);
    for (int m = std::max(hi, lo); m < length; ++m) time[m] = 0.0f;
    plan.forward(scratch);
    const float* s = scratch.spectrum();
    for (int k = 0; k < bins; ++k) {
        // Parts above 2^60 are squared at 2^-64 of their size (exactly undone after the root).
        const float big = std::max(std::abs(s[2 * k]), std::abs(s[2 * k + 1]));
        const float down = big > 0x1p60f ? 0x1p-64f : 1.0f;
        const float re = s[2 * k] * down, im = s[2 * k + 1] * down;
        mag[k] = std::sqrt(re * re + im * im) / down;
    }
    if (scale.up != 1.0f)
        for (int k = 0; k < bins; ++k) mag[k] = std::min(mag[k] * scale.up, 0x1p60f);
}

void shortMidMagnitude(const float* l, const float* r, std::int64_t n, std::int64_t u,
                       const float* window, const FftPlan& plan, FFTScratch& scratch, float* mag) {
    // Main frame t is centred at input t * kHop + kFrameLength / 2 - kLeadIn.
    const std::int64_t first = u * kShortHop + kFrameLength / 2 - kLeadIn - kShortFrameLength / 2;
    midMagnitudeFrom(l, r, n, first, window, plan, scratch, mag, kShortBins);
}

}  // namespace corvane::dsp
