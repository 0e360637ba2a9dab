// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <span>

namespace corvane::dsp {

// out[i] = in[i] * gain + out[i] for i < out.size() (in must hold at least as many): one stem
// added into a mix at its gain. The one mixing rule, so that what plays, the exported mix and the
// command line's instrumental agree to the bit. Pure; any thread; allocates nothing.
void addGained(std::span<float> out, std::span<const float> in, float gain);

}  // namespace corvane::dsp
