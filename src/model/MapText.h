// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <optional>

#include "analysis/SongMap.h"
#include "playback/Stretcher.h"

namespace corvane::model {

// What the window says of the song map, as heard through the tempo and pitch controls. Pure
// functions; any thread.

// Whole semitones the pitch control moves the song by (the control steps in semitones).
int heardSemitones(const playback::Stretch& stretch);

// "96 bpm" at 100 %, "77 bpm (80 %)" with the tempo moved, "no steady beat" when the map found
// none.
QString tempoText(const analysis::SongMap& map, const playback::Stretch& stretch);

// "A minor" with the pitch as recorded, "A minor → B minor (+2)" with it moved; empty without a
// key (nothing harmonic sounds).
QString keyText(const analysis::SongMap& map, const playback::Stretch& stretch);

// A chord's lead-sheet name as heard ("Am", "G7", "N.C."), transposed with the pitch and spelled
// as the key heard writes its accidentals.
QString chordText(const analysis::Chord& chord, const std::optional<analysis::Key>& key,
                  const playback::Stretch& stretch);

}  // namespace corvane::model
