// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/Strip.h"

#include <algorithm>

namespace corvane::model {

std::vector<Strip> defaultStrips() {
    std::vector<Strip> strips;
    for (dsp::StemKind kind : dsp::kAllStemKinds) strips.push_back(Strip{kind});
    return strips;
}

std::vector<float> effectiveGains(const std::vector<Strip>& strips) {
    const bool anySolo =
        std::any_of(strips.begin(), strips.end(), [](const Strip& s) { return s.solo; });
    std::vector<float> gains;
    gains.reserve(strips.size());
    for (const Strip& strip : strips) {
        float g = strip.volume;
        if (anySolo) g = strip.solo ? strip.volume : 0.0f;
        if (strip.mute) g = 0.0f;
        gains.push_back(g);
    }
    return gains;
}

}  // namespace corvane::model
