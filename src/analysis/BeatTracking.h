// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <vector>

#include "analysis/FrameFeatures.h"

namespace corvane::analysis::detail {

// Beat times in seconds, rising, only where the beat is steady (runs of at least kMinRunBeats
// beats); empty when the song has no steady beat anywhere.
struct BeatTrack {
    std::vector<double> times;
    // The onset frames the beats were tracked on: the drums stem's, or the mix's where the drums
    // are nearly silent.
    bool fromMix = false;
};

inline constexpr int kMinRunBeats = 8;

// Onset detection function to tempo and beats: the Queen Mary tempo tracker (Davies and Plumbley's
// comb-filter tempo with a Viterbi path, Ellis's dynamic-programming beat placement), then the
// choice of metrical level and the removal of stretches without a steady pulse.
BeatTrack trackBeats(const FrameFeatures& f);

// Bars over the beats: for each beat its place in the bar (0 for a downbeat) and the beats per
// bar (3 or 4). `chroma` and `bass` hold 12 values per beat (the harmony and the bass from that
// beat to the next, each summing to 1 or all 0): bars start where they change, and where the kick
// pattern repeats.
struct BarGrid {
    int beatsPerBar = 4;
    std::vector<int> position;
};
BarGrid findBars(const std::vector<double>& beats, const FrameFeatures& f, bool fromMix,
                 const std::vector<float>& chroma, const std::vector<float>& bass,
                 const std::vector<float>& bassStrength);

}  // namespace corvane::analysis::detail
