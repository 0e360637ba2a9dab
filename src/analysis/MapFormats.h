// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <variant>

#include "analysis/SongMap.h"

namespace corvane::analysis {

// The song map as JSON text (UTF-8, ending in a newline), for `corvane-cli --map` and the window's
// Export Map:
//   {"tempo_bpm": 120.0, "beats_per_bar": 4,
//    "beats": [{"time": 0.512, "bar": 1, "beat": 1}, ...],
//    "key": "A minor",
//    "chords": [{"start": 0.0, "end": 2.0, "label": "A:min"}, ...],
//    "sections": [{"start": 0.0, "end": 16.0, "label": "A"}, ...]}
// Times in seconds with three decimals, the tempo with two; "tempo_bpm" and "beats_per_bar" are
// null and "beats" empty without a steady beat, "key" null without harmony. Chord labels in
// Harte's syntax and keys in mir_eval's form, spelled by the key. Any thread.
std::string toJson(const SongMap& map);

// A map read back from JSON as toJson writes it (the song's length is taken as the end of the
// last chord or section). Fails with one line saying what is wrong ("Not a song map: \"beats\" is
// missing") for anything else: bad JSON, missing or mistyped fields, unknown labels, times that
// are negative, not finite or out of order. Any thread.
struct MapReadError {
    std::string description;
};
std::variant<SongMap, MapReadError> fromJson(const std::string& text);

// Label files, as text the caller writes. Audacity's label tracks: "start\tend\tlabel" lines in
// seconds with six decimals, beats as points (start equal to end). Beats are labelled "Bar 3" on
// the first beat of a bar and by their number in the bar otherwise ("2", "3", "4"); chords by
// their display names ("Am", "G7", "N.C."); sections by their letter.
std::string audacityBeatLabels(const SongMap& map);
std::string audacityChordLabels(const SongMap& map);
std::string audacitySectionLabels(const SongMap& map);

// Comma-separated text that Sonic Visualiser's "Import Annotation Layer" reads without a second
// look: beats as "time,label" (its column guesser takes a rising first column for times and
// a non-numeric second one for labels, so beats become a Time Instants layer), chords and
// sections as "start,end,label" (two rising time columns: a Regions layer). Same labels as above,
// chords in Harte's syntax.
std::string sonicVisualiserBeats(const SongMap& map);
std::string sonicVisualiserChords(const SongMap& map);
std::string sonicVisualiserSections(const SongMap& map);

}  // namespace corvane::analysis
