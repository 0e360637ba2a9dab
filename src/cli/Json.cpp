// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/Json.h"

#include <cstdio>

namespace corvane::cli {

namespace {

// Length of the valid UTF-8 sequence starting at text[i], or 0 if there is none (overlong
// forms, surrogates and values past U+10FFFF are not valid).
std::size_t utf8Length(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b = byte(i);
    std::size_t n = 0;
    unsigned lo = 0x80, hi = 0xBF;  // the range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        if (b == 0xE0) lo = 0xA0;
        if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + n > text.size() || byte(i + 1) < lo || byte(i + 1) > hi) return 0;
    for (std::size_t k = 2; k < n; ++k)
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    return n;
}

}  // namespace

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        const auto u = static_cast<unsigned char>(c);
        char escaped[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u == 0x7F) {
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            out += escaped;
        } else if (u < 0x80) {
            out += c;
        } else if (const std::size_t n = utf8Length(text, i)) {
            out.append(text, i, n);
            i += n;
            continue;
        } else {
            std::snprintf(escaped, sizeof escaped, "\\udc%02x", u);
            out += escaped;
        }
        ++i;
    }
    return out + "\"";
}

}  // namespace corvane::cli
