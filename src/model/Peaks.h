// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <vector>

#include "dsp/common/StemData.h"

namespace corvane::model {

// Reduces the stems to one envelope of `bins` values each, normalised together so that the
// loudest bin of the whole song is 1. At most 127 samples per bin and channel are inspected.
// Pure; any thread.
std::vector<std::vector<float>> computePeaks(const std::vector<dsp::StemData>& stems, int bins);

}  // namespace corvane::model
