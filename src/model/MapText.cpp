// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/MapText.h"

#include <cmath>

namespace corvane::model {

int heardSemitones(const playback::Stretch& stretch) {
    return static_cast<int>(std::lround(stretch.semitones));
}

QString tempoText(const analysis::SongMap& map, const playback::Stretch& stretch) {
    if (!map.steadyBeat || !(map.tempoBpm > 0.0)) return QStringLiteral("no steady beat");
    return QString::fromStdString(analysis::tempoHeardText(map.tempoBpm, stretch.tempo));
}

QString keyText(const analysis::SongMap& map, const playback::Stretch& stretch) {
    if (!map.key) return {};
    return QString::fromStdString(analysis::keyHeardText(*map.key, heardSemitones(stretch)));
}

QString chordText(const analysis::Chord& chord, const std::optional<analysis::Key>& key,
                  const playback::Stretch& stretch) {
    const int semitones = heardSemitones(stretch);
    std::optional<analysis::Key> heardKey;
    if (key) heardKey = analysis::transposed(*key, semitones);
    return QString::fromStdString(analysis::chordDisplayName(analysis::transposed(chord, semitones),
                                                             analysis::spellingFor(heardKey)));
}

}  // namespace corvane::model
