// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <string_view>

#include "audio/AudioDecoder.h"

namespace corvane::audio {

// `text` (a file name, a path) made safe for a one-line message: control characters, C0, DEL and
// C1 alike, become visible escapes ("\n", "\t", "\x1b"), so a newline in a name cannot split a
// message in two or an escape sequence reach the terminal. Everything else, UTF-8 included, is
// kept as it is. Pure; any thread.
std::string escapeControlCharacters(std::string_view text);

// "0:03", "3:25", "1:02:03": a length of audio, rounded to the second; negative and NaN give 0:00.
std::string formatDuration(double seconds);

// "the file ends early, at 0:05 of 0:10" for a read that stopped short of its stated length,
// empty otherwise.
std::string earlyEndText(const ReadNotes& notes, double sampleRate);

}  // namespace corvane::audio
