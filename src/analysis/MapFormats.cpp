// SPDX-License-Identifier: GPL-3.0-or-later
#include "analysis/MapFormats.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane::analysis {

namespace {

// ---------------------------------------------------------------------------------------------
// Writing

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string seconds(double t) { return fixed(t, 3); }

void appendJsonString(std::string& out, std::string_view s) {
    out += '"';
    for (const char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += c;
        }
    }
    out += '"';
}

// A label on one line of a label file: the separators of both formats (tab, comma, line breaks)
// become spaces, so a label read from an edited map cannot split a line.
std::string cleanLabel(std::string label) {
    for (char& c : label)
        if (c == '\t' || c == ',' || c == '\n' || c == '\r') c = ' ';
    return label;
}

std::string beatLabel(const Beat& b) {
    return b.beat == 1 ? "Bar " + std::to_string(b.bar) : std::to_string(b.beat);
}

}  // namespace

std::string toJson(const SongMap& map) {
    const Spelling spelling = spellingFor(map.key);
    std::string out = "{\n";
    if (map.steadyBeat) {
        out += "  \"tempo_bpm\": " + fixed(map.tempoBpm, 2) + ",\n";
        out += "  \"beats_per_bar\": " + std::to_string(map.beatsPerBar) + ",\n";
    } else {
        out += "  \"tempo_bpm\": null,\n  \"beats_per_bar\": null,\n";
    }
    out += "  \"beats\": [";
    for (std::size_t i = 0; i < map.beats.size(); ++i) {
        const Beat& b = map.beats[i];
        out += i ? ",\n    " : "\n    ";
        out += "{\"time\": " + seconds(b.time) + ", \"bar\": " + std::to_string(b.bar) +
               ", \"beat\": " + std::to_string(b.beat) + "}";
    }
    out += map.beats.empty() ? "],\n" : "\n  ],\n";
    out += "  \"key\": ";
    if (map.key)
        appendJsonString(out, keyName(*map.key));
    else
        out += "null";
    out += ",\n  \"chords\": [";
    for (std::size_t i = 0; i < map.chords.size(); ++i) {
        const Chord& c = map.chords[i];
        out += i ? ",\n    " : "\n    ";
        out += "{\"start\": " + seconds(c.start) + ", \"end\": " + seconds(c.end) + ", \"label\": ";
        appendJsonString(out, chordLabel(c, spelling));
        out += "}";
    }
    out += map.chords.empty() ? "],\n" : "\n  ],\n";
    out += "  \"sections\": [";
    for (std::size_t i = 0; i < map.sections.size(); ++i) {
        const Section& s = map.sections[i];
        out += i ? ",\n    " : "\n    ";
        out += "{\"start\": " + seconds(s.start) + ", \"end\": " + seconds(s.end) + ", \"label\": ";
        appendJsonString(out, s.label);
        out += "}";
    }
    out += map.sections.empty() ? "]\n" : "\n  ]\n";
    out += "}\n";
    return out;
}

std::string audacityBeatLabels(const SongMap& map) {
    std::string out;
    for (const Beat& b : map.beats) {
        const std::string t = fixed(b.time, 6);
        out += t + "\t" + t + "\t" + beatLabel(b) + "\n";
    }
    return out;
}

std::string audacityChordLabels(const SongMap& map) {
    const Spelling spelling = spellingFor(map.key);
    std::string out;
    for (const Chord& c : map.chords)
        out += fixed(c.start, 6) + "\t" + fixed(c.end, 6) + "\t" + chordDisplayName(c, spelling) +
               "\n";
    return out;
}

std::string audacitySectionLabels(const SongMap& map) {
    std::string out;
    for (const Section& s : map.sections)
        out += fixed(s.start, 6) + "\t" + fixed(s.end, 6) + "\t" + cleanLabel(s.label) + "\n";
    return out;
}

std::string sonicVisualiserBeats(const SongMap& map) {
    std::string out;
    for (const Beat& b : map.beats) out += fixed(b.time, 6) + "," + beatLabel(b) + "\n";
    return out;
}

std::string sonicVisualiserChords(const SongMap& map) {
    const Spelling spelling = spellingFor(map.key);
    std::string out;
    for (const Chord& c : map.chords)
        out += fixed(c.start, 6) + "," + fixed(c.end, 6) + "," + chordLabel(c, spelling) + "\n";
    return out;
}

std::string sonicVisualiserSections(const SongMap& map) {
    std::string out;
    for (const Section& s : map.sections)
        out += fixed(s.start, 6) + "," + fixed(s.end, 6) + "," + cleanLabel(s.label) + "\n";
    return out;
}

}  // namespace corvane::analysis
