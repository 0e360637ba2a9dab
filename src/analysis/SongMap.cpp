// SPDX-License-Identifier: GPL-3.0-or-later
#include "analysis/SongMap.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>

namespace corvane::analysis {

namespace {

int wrap12(int pitchClass) { return ((pitchClass % 12) + 12) % 12; }

constexpr std::array<const char*, 12> kSharpNames = {"C",  "C#", "D",  "D#", "E",  "F",
                                                     "F#", "G",  "G#", "A",  "A#", "B"};
constexpr std::array<const char*, 12> kFlatNames = {"C",  "Db", "D",  "Eb", "E",  "F",
                                                    "Gb", "G",  "Ab", "A",  "Bb", "B"};

// Tonics whose conventional key signature has flats (F# major / D# minor are written with sharps,
// Gb major and Eb minor with flats: the usual choices, six accidentals either way).
bool flatMajor(int tonic) {
    return tonic == 5 || tonic == 10 || tonic == 3 || tonic == 8 || tonic == 1;
}
bool flatMinor(int tonic) {
    return tonic == 2 || tonic == 7 || tonic == 0 || tonic == 5 || tonic == 10 || tonic == 3;
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

bool SongMap::hasHarmony() const {
    return std::any_of(chords.begin(), chords.end(),
                       [](const Chord& c) { return c.quality != ChordQuality::none; });
}

const Chord* SongMap::chordAt(double seconds) const {
    auto after = std::upper_bound(chords.begin(), chords.end(), seconds,
                                  [](double t, const Chord& c) { return t < c.start; });
    if (after == chords.begin()) return nullptr;
    const Chord& c = *(after - 1);
    return seconds < c.end ? &c : nullptr;
}

Spelling spellingFor(const std::optional<Key>& key) {
    if (!key) return Spelling::neutral;
    const bool flats = key->mode == Mode::major ? flatMajor(key->tonic) : flatMinor(key->tonic);
    return flats ? Spelling::flats : Spelling::sharps;
}

std::string pitchName(int pitchClass, Spelling spelling) {
    const int pc = wrap12(pitchClass);
    if (spelling == Spelling::neutral && pc == 6) return "F#";
    return spelling == Spelling::sharps ? kSharpNames[pc] : kFlatNames[pc];
}

std::optional<int> parsePitchName(const std::string& name) {
    if (name.empty()) return std::nullopt;
    static constexpr std::array<int, 7> kNatural = {9, 11, 0, 2, 4, 5, 7};  // A..G
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
    if (letter < 'A' || letter > 'G') return std::nullopt;
    int pc = kNatural[letter - 'A'];
    for (std::size_t i = 1; i < name.size(); ++i) {
        if (name[i] == '#')
            ++pc;
        else if (name[i] == 'b')
            --pc;
        else
            return std::nullopt;
    }
    return wrap12(pc);
}

std::string keyName(const Key& key) {
    return pitchName(key.tonic, spellingFor(key)) + (key.mode == Mode::major ? " major" : " minor");
}

std::optional<Key> parseKeyName(const std::string& text) {
    const std::size_t space = text.find(' ');
    if (space == std::string::npos || text.find(' ', space + 1) != std::string::npos)
        return std::nullopt;
    const std::optional<int> tonic = parsePitchName(text.substr(0, space));
    const std::string mode = lower(text.substr(space + 1));
    if (!tonic || (mode != "major" && mode != "minor")) return std::nullopt;
    return Key{*tonic, mode == "major" ? Mode::major : Mode::minor};
}

std::string chordLabel(const Chord& chord, Spelling spelling) {
    const std::string root = pitchName(chord.root, spelling);
    switch (chord.quality) {
        case ChordQuality::none:
            return "N";
        case ChordQuality::major:
            return root + ":maj";
        case ChordQuality::minor:
            return root + ":min";
        case ChordQuality::dominant7:
            return root + ":7";
        case ChordQuality::major7:
            return root + ":maj7";
        case ChordQuality::minor7:
            return root + ":min7";
    }
    return "N";
}

std::optional<ChordName> parseChordLabel(const std::string& label) {
    if (label == "N" || label == "X") return ChordName{};
    std::string body = label;
    if (const std::size_t slash = body.find('/'); slash != std::string::npos) {
        // A bass degree ("C:maj/3") does not change the chord's root or quality here.
        const std::string degree = body.substr(slash + 1);
        if (degree.empty() || degree.find_first_not_of("b#0123456789") != std::string::npos ||
            degree.find_first_of("0123456789") == std::string::npos)
            return std::nullopt;
        body = body.substr(0, slash);
    }
    const std::size_t colon = body.find(':');
    const std::optional<int> root = parsePitchName(body.substr(0, colon));
    if (!root) return std::nullopt;
    const std::string shorthand = colon == std::string::npos ? "maj" : body.substr(colon + 1);
    ChordQuality q;
    if (shorthand == "maj")
        q = ChordQuality::major;
    else if (shorthand == "min")
        q = ChordQuality::minor;
    else if (shorthand == "7")
        q = ChordQuality::dominant7;
    else if (shorthand == "maj7")
        q = ChordQuality::major7;
    else if (shorthand == "min7")
        q = ChordQuality::minor7;
    else
        return std::nullopt;
    return ChordName{*root, q};
}

std::string chordDisplayName(const Chord& chord, Spelling spelling) {
    const std::string root = pitchName(chord.root, spelling);
    switch (chord.quality) {
        case ChordQuality::none:
            return "N.C.";
        case ChordQuality::major:
            return root;
        case ChordQuality::minor:
            return root + "m";
        case ChordQuality::dominant7:
            return root + "7";
        case ChordQuality::major7:
            return root + "maj7";
        case ChordQuality::minor7:
            return root + "m7";
    }
    return "N.C.";
}

Key transposed(const Key& key, int semitones) {
    return Key{wrap12(key.tonic + semitones), key.mode};
}

Chord transposed(const Chord& chord, int semitones) {
    Chord c = chord;
    if (c.quality != ChordQuality::none) c.root = wrap12(c.root + semitones);
    return c;
}

SongMap transposed(const SongMap& map, int semitones) {
    SongMap out = map;
    if (out.key) out.key = transposed(*out.key, semitones);
    for (Chord& c : out.chords) c = transposed(c, semitones);
    return out;
}

std::string keyHeardText(const Key& key, int semitones) {
    if (semitones == 0) return keyName(key);
    char shift[16];
    std::snprintf(shift, sizeof shift, "%+d", semitones);
    return keyName(key) + " \u2192 " + keyName(transposed(key, semitones)) + " (" + shift + ")";
}

std::string tempoHeardText(double tempoBpm, double speed) {
    char text[64];
    const long percent = std::lround(speed * 100.0);
    if (percent == 100) {
        std::snprintf(text, sizeof text, "%ld bpm", std::lround(tempoBpm));
    } else {
        std::snprintf(text, sizeof text, "%ld bpm (%ld %%)", std::lround(tempoBpm * speed),
                      percent);
    }
    return text;
}

}  // namespace corvane::analysis
