// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <string_view>

namespace corvane::cli {

// A JSON string literal that is always valid UTF-8: quotes, backslashes and control characters
// escaped, valid UTF-8 kept as it is, and every byte that is not part of valid UTF-8 written as
// the escape \udc80 to \udcff (0x80 to 0xff). That is Python's "surrogateescape", so a file name
// that is not UTF-8 still names its file: os.fsencode(json.loads(line)["input"]) gives its bytes
// back. Pure; any thread.
std::string jsonString(std::string_view text);

}  // namespace corvane::cli
