// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <filesystem>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "cli/CliOptions.h"

namespace corvane::cli {

// The paths of a --from list named `listName`: one a line (a trailing CR dropped), or
// NUL-separated; empty entries are skipped. A newline-separated list that holds a NUL byte is
// refused, with the reason: a name cut at its NUL would be another file (and a binary file
// given by mistake is not read as thousands of names).
std::variant<std::vector<std::filesystem::path>, std::string> splitList(
    std::string_view text, bool nulSeparated, const std::filesystem::path& listName);

// The songs of the command line, then those of each --from list in order; standard input for
// "-". Reading stops early, with nothing returned, once `stop` is set (a signal). The reason,
// one line, when a list cannot be read or the lists name no file at all.
std::variant<std::vector<std::filesystem::path>, std::string> collectInputs(
    const CliOptions& options, const std::atomic<bool>& stop);

}  // namespace corvane::cli
