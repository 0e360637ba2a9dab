// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <vector>

#include "analysis/FrameFeatures.h"
#include "analysis/SongMap.h"

namespace corvane::analysis::detail {

// The cells chords are read in: from one beat to the next where there are beats, about half a
// second elsewhere. `bounds` rise from 0 to the song's end; cell i is [bounds[i], bounds[i + 1]).
std::vector<double> harmonyCells(const std::vector<double>& beats, double durationSeconds);

// Per cell: the harmony's and the bass's pitch-class profiles (12 values each, summing to 1, or all
// 0 where nothing harmonic sounds) and how strongly anything harmonic sounds there.
struct CellChroma {
    std::vector<float> treble, bass;
    std::vector<float> strength, bassStrength;
    std::size_t cells() const { return strength.size(); }
};
CellChroma cellChroma(const FrameFeatures& f, const std::vector<double>& bounds);

// Chords over the cells by template matching and a Viterbi path through them. `downbeat[i]`
// (may be empty) marks cells that start a bar, where chords change more readily. With a key, the
// chords of its scale are slightly preferred: a power chord (no third) takes the key's quality.
std::vector<ChordName> estimateChords(const CellChroma& chroma, const std::vector<bool>& downbeat,
                                      const std::optional<Key>& key = std::nullopt);

// The key from the chords and the pitch profile, or absent when no chord was found.
std::optional<Key> estimateKey(const CellChroma& chroma, const std::vector<double>& bounds,
                               const std::vector<ChordName>& chords);

}  // namespace corvane::analysis::detail
