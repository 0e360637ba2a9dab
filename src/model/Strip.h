// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <vector>

#include "dsp/common/StemKind.h"

namespace corvane::model {

// What the window shows: the drop zone, the progress display or the studio.
enum class Phase { idle, processing, ready };

// One mixer strip's settings. Index i of the strip list belongs to the stem of raw value i.
struct Strip {
    dsp::StemKind kind = dsp::StemKind::vocals;
    float volume = 1.0f;  // linear gain, 0 to 1.5 from the strip's slider
    bool solo = false;
    bool mute = false;

    int id() const { return dsp::id(kind); }
    bool operator==(const Strip&) const = default;
};

// Vocals, drums, bass, other; volume 1, solo and mute off.
std::vector<Strip> defaultStrips();

// The gain each strip is heard at, and mixed at on export: its volume; 0 when another strip is
// soloed and it is not; 0 when muted (mute wins over solo).
std::vector<float> effectiveGains(const std::vector<Strip>& strips);

}  // namespace corvane::model
