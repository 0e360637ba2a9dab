// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <span>

namespace corvane::dsp {

// out[i] = in[i] * gain + out[i] for i < out.size() (in must hold at least as many): one stem
// added into a mix at its gain. The one mixing rule, so that what plays, the exported mix and the
// command line's instrumental agree to the bit. Pure; any thread; allocates nothing.
void addGained(std::span<float> out, std::span<const float> in, float gain);

// The same rule while a gain moves: out[i] = in[i] * (from + step * (i + 1)) + out[i], so a gain
// change is spread over the samples instead of jumping. Returns the gain of the last sample
// written (from when out is empty). Pure; any thread; allocates nothing.
float addRamped(std::span<float> out, std::span<const float> in, float from, float step);

}  // namespace corvane::dsp
