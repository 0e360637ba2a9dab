// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <vector>

namespace corvane::dsp {

// One separated stem, sample-aligned with the song it came from. Its kind is its position in the
// stem list (see StemKind); the sample rate is the song's.
struct StemData {
    std::vector<float> l;
    std::vector<float> r;
};

}  // namespace corvane::dsp
