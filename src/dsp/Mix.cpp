// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/Mix.h"

#include <cassert>

namespace corvane::dsp {

void addGained(std::span<float> out, std::span<const float> in, float gain) {
    assert(in.size() >= out.size());
    float* __restrict o = out.data();
    const float* __restrict x = in.data();
    for (std::size_t i = 0; i < out.size(); ++i) o[i] = x[i] * gain + o[i];
}

}  // namespace corvane::dsp
