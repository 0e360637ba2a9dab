// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace corvane::cli {

// What the command line asks for. Paths are kept as typed; nothing is checked on disk here.
struct CliOptions {
    enum class Action { separate, demo, help };

    Action action = Action::separate;
    std::vector<std::filesystem::path> files;           // separate: at least one
    std::optional<std::filesystem::path> outputFolder;  // separate: -o; else each file's own
    std::filesystem::path demoFolder;                   // demo
    bool instrumental = false;                          // also write drums + bass + other
};

// A command line that cannot be run; `message` is one line naming the problem.
struct UsageError {
    std::string message;
};

// Parses the arguments after the program name. Options and files may come in any order; "--"
// ends the options. --help wins as soon as it is seen. Pure; any thread.
std::variant<CliOptions, UsageError> parseArguments(std::span<const std::string_view> args);

// The two synopsis lines, for usage errors (stderr).
std::string_view usageText();
// The whole help, for --help (stdout).
std::string_view helpText();

}  // namespace corvane::cli
