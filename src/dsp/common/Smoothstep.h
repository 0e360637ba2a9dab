// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <algorithm>
#include <vector>

#include "dsp/common/StftFrames.h"

namespace corvane::dsp {

// 0 up to x = 0, 1 from x = 1, the cubic 3x^2 - 2x^3 between: a fade whose ends have no corner,
// for cross-overs and gates.
inline float smoothstep(float x) {
    x = std::clamp(x, 0.0f, 1.0f);
    return x * x * (3.0f - 2.0f * x);
}

// A weight for each of the kBins main bins at `sampleRate`: 1 up to fromHz, 0 from fromHz +
// widthHz, the smoothstep fade between (a bass cross-over).
inline std::vector<float> crossoverWeights(double sampleRate, float fromHz, float widthHz) {
    const float binWidth = static_cast<float>(sampleRate) * kInverseFrameLength;
    std::vector<float> weights(kBins);
    for (int k = 0; k < kBins; ++k)
        weights[static_cast<std::size_t>(k)] =
            1.0f - smoothstep((static_cast<float>(k) * binWidth - fromHz) / widthHz);
    return weights;
}

}  // namespace corvane::dsp
