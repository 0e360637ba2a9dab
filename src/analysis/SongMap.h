// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace corvane::analysis {

// One beat of the grid. `time` in seconds from the start of the song; `bar` counts from 1 (a
// pickup's beats belong to bar 1, numbered by their place in that bar, so a one-beat pickup in 4/4
// is bar 1 beat 4 and the first full bar is bar 2); `beat` counts from 1 within its bar.
struct Beat {
    double time = 0.0;
    int bar = 1;
    int beat = 1;
};

enum class Mode { major, minor };

// A key: the tonic as a pitch class (0 = C, 1 = C#/Db, ... 11 = B) and the mode.
struct Key {
    int tonic = 0;
    Mode mode = Mode::major;
    bool operator==(const Key&) const = default;
};

// The chord qualities the map knows. `none` is Harte's "N": no harmony sounds.
enum class ChordQuality { none, major, minor, dominant7, major7, minor7 };

// A chord held from `start` to `end` (seconds). `root` is a pitch class, 0 for `none`.
struct Chord {
    double start = 0.0;
    double end = 0.0;
    int root = 0;
    ChordQuality quality = ChordQuality::none;
};

// A part of the song; parts with the same label sound alike (a verse and its repeat are both "A").
struct Section {
    double start = 0.0;
    double end = 0.0;
    std::string label;
};

// What the analysis found in one song: a plain value, cheap to copy, safe to read from any thread.
//
// Without a steady beat anywhere (free time, a pad, speech), `steadyBeat` is false, `beats` is
// empty and `tempoBpm` and `beatsPerBar` are 0. A song with a steady beat in parts (a free intro)
// has beats only where the beat is steady. `chords` cover the song from 0 to `durationSeconds`
// without gaps, "N" where no harmony sounds (a song of drums alone is one "N"); `sections` cover it
// likewise. `key` is absent when nothing harmonic sounds.
struct SongMap {
    double durationSeconds = 0.0;
    bool steadyBeat = false;
    double tempoBpm = 0.0;
    int beatsPerBar = 0;
    std::vector<Beat> beats;
    std::optional<Key> key;
    std::vector<Chord> chords;
    std::vector<Section> sections;

    // True when some chord other than "N" was found.
    bool hasHarmony() const;
    // The chord sounding at `seconds` (the last one starting at or before it), or null before the
    // first and outside the song. Binary search: cheap enough to call per painted frame.
    const Chord* chordAt(double seconds) const;
};

// ----------------------------------------------------------------------------------------------
// Text: names for the window, labels for files. Pure functions; any thread.

// How accidentals are written: sharps in sharp keys, flats in flat keys, and without a key the
// usual names (Db, Eb, F#, Ab, Bb).
enum class Spelling { sharps, flats, neutral };

// The spelling of a key's own signature (G major and E minor: sharps; F major and D minor: flats;
// C major and A minor: sharps); `neutral` without a key.
Spelling spellingFor(const std::optional<Key>& key);
// "C", "C#" or "Db", ... for a pitch class taken modulo 12.
std::string pitchName(int pitchClass, Spelling spelling);
// Parses a note name as Harte and mir_eval write it ("C", "F#", "Bb", "Cb", "E#", "Dbb"): the
// pitch class, or absent.
std::optional<int> parsePitchName(const std::string& name);

// mir_eval's and MIREX's key form, spelled by the key's own signature: "C major", "A minor",
// "Bb major", "F# minor".
std::string keyName(const Key& key);
// Parses "C major", "a minor", "Eb major", "F# minor" (mir_eval's rules: a note, one space, major
// or minor; case-insensitive mode).
std::optional<Key> parseKeyName(const std::string& text);

// Harte's syntax: "C:maj", "A:min", "G:7", "C:maj7", "A:min7", "N".
std::string chordLabel(const Chord& chord, Spelling spelling);
// Parses the labels chordLabel writes, and Harte's shorthands that reduce to them: "C" (major),
// "A:min", "G:7", "C:maj7", "A:min7", "N", "X" (taken as N), with an optional bass "/3" that is
// dropped. Returns the root and quality, or absent for anything else.
struct ChordName {
    int root = 0;
    ChordQuality quality = ChordQuality::none;
};
std::optional<ChordName> parseChordLabel(const std::string& label);

// Lead-sheet names for the window: "C", "Am", "G7", "Cmaj7", "Am7"; "N.C." for none.
std::string chordDisplayName(const Chord& chord, Spelling spelling);

// The key and chord `semitones` higher (lower when negative), as heard with the pitch control.
Key transposed(const Key& key, int semitones);
Chord transposed(const Chord& chord, int semitones);
// A whole map transposed: the key and every chord. Beats and sections are unchanged.
SongMap transposed(const SongMap& map, int semitones);

// The key as heard with the pitch control: "A minor" at 0, "A minor → B minor (+2)" otherwise.
std::string keyHeardText(const Key& key, int semitones);
// The tempo as heard at a playback speed (1.0 = as recorded): "120 bpm" at 100 %, "96 bpm (80 %)"
// otherwise. Rounded to whole beats per minute and whole percent.
std::string tempoHeardText(double tempoBpm, double speed);

}  // namespace corvane::analysis
