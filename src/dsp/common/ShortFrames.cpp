// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/common/ShortFrames.h"

#include <algorithm>
#include <cmath>

#include "dsp/common/Simd.h"

namespace corvane::dsp {

std::vector<float> shortHannWindow() {
    std::vector<float> w(kShortFrameLength);
    for (int i = 0; i < kShortFrameLength; ++i)
        w[static_cast<std::size_t>(i)] =
            0.5f - std::cos(static_cast<float>(i) * 6.2831855f * kInverseShortFrameLength) * 0.5f;
    return w;
}

CORVANE_SIMD_CLONES
void shortMidMagnitude(const float* l, const float* r, std::int64_t n, std::int64_t u,
                       const float* window, const FftPlan& plan, FFTScratch& scratch, float* mag) {
    float* time = scratch.time();
    // Main frame t is centred at input t * kHop + kFrameLength / 2 - kLeadIn.
    const std::int64_t first = u * kShortHop + kFrameLength / 2 - kLeadIn - kShortFrameLength / 2;
    const int lo = static_cast<int>(std::clamp<std::int64_t>(-first, 0, kShortFrameLength));
    const int hi = static_cast<int>(std::clamp<std::int64_t>(n - first, 0, kShortFrameLength));
    for (int m = 0; m < lo; ++m) time[m] = 0.0f;
    for (int m = lo; m < hi; ++m) {
        const float a = l[first + m];
        const float b = r[first + m];
        time[m] =
            ((std::isfinite(a) ? a : 0.0f) + (std::isfinite(b) ? b : 0.0f)) * 0.5f * window[m];
    }
    for (int m = std::max(hi, lo); m < kShortFrameLength; ++m) time[m] = 0.0f;
    plan.forward(scratch);
    const float* s = scratch.spectrum();
    for (int k = 0; k < kShortBins; ++k)
        mag[k] = std::sqrt(s[2 * k] * s[2 * k] + s[2 * k + 1] * s[2 * k + 1]);
}

}  // namespace corvane::dsp
