// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <algorithm>

namespace corvane::dsp {

// 0 up to x = 0, 1 from x = 1, the cubic 3x^2 - 2x^3 between: a fade whose ends have no corner,
// for cross-overs and gates.
inline float smoothstep(float x) {
    x = std::clamp(x, 0.0f, 1.0f);
    return x * x * (3.0f - 2.0f * x);
}

}  // namespace corvane::dsp
