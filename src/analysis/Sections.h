// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <vector>

#include "analysis/FrameFeatures.h"
#include "analysis/Harmony.h"
#include "analysis/SongMap.h"

namespace corvane::analysis::detail {

// The song cut into a few parts, labelled "A", "B", ... in order of first appearance, parts that
// sound alike sharing a label. `units` are the times the cuts may fall on (bar starts, or every
// two seconds without bars), rising, the first 0 and the last the song's end. Features per unit:
// the harmony and bass profiles, the stems' levels and the mix's spectral envelope; boundaries
// where a checkerboard kernel along the self-similarity matrix's diagonal peaks (Foote 2000).
std::vector<Section> findSections(const FrameFeatures& f, const std::vector<double>& units);

}  // namespace corvane::analysis::detail
