// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/DisplayText.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace corvane::audio {

std::string escapeControlCharacters(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    auto hex = [&out](unsigned value) {
        char code[8];
        std::snprintf(code, sizeof code, "\\x%02x", value);
        out += code;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            hex(c);
        } else if (c == 0xc2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
            // U+0080 to U+009F in UTF-8: the C1 controls (NEL among them).
            hex(static_cast<unsigned char>(text[++i]));
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string formatDuration(double seconds) {
    const long total = std::isnan(seconds) ? 0 : std::lround(std::clamp(seconds, 0.0, 1e12));
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60,
                      total % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    return text;
}

std::string earlyEndText(const ReadNotes& notes, double sampleRate) {
    if (!notes.endedEarly || !(sampleRate > 0.0)) return {};
    return "the file ends early, at " +
           formatDuration(static_cast<double>(notes.frames) / sampleRate) + " of " +
           formatDuration(static_cast<double>(notes.declaredFrames) / sampleRate);
}

}  // namespace corvane::audio
