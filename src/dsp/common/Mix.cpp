// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/common/Mix.h"

#include <cassert>

namespace corvane::dsp {

void addGained(std::span<float> out, std::span<const float> in, float gain) {
    assert(in.size() >= out.size());
    float* __restrict o = out.data();
    const float* __restrict x = in.data();
    for (std::size_t i = 0; i < out.size(); ++i) o[i] = x[i] * gain + o[i];
}

float addRamped(std::span<float> out, std::span<const float> in, float from, float step) {
    assert(in.size() >= out.size());
    float* __restrict o = out.data();
    const float* __restrict x = in.data();
    float g = from;
    for (std::size_t i = 0; i < out.size(); ++i) {
        // From `from` each time, not accumulated: no rounding drift over a long ramp.
        g = from + step * static_cast<float>(i + 1);
        o[i] = x[i] * g + o[i];
    }
    return g;
}

}  // namespace corvane::dsp
