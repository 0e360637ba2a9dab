// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "audio/AudioFormat.h"
#include "dsp/common/StemKind.h"

namespace corvane::cli {

// Output names unless --name says otherwise: today's "Song - Vocals.wav".
inline constexpr std::string_view kDefaultNameTemplate = "{track} - {stem}.{ext}";
inline constexpr int kMaxJobs = 64;

// What the command line asks for. Paths are kept as typed; nothing is checked on disk here.
struct CliOptions {
    enum class Action { separate, demo, help, version };

    Action action = Action::separate;
    std::vector<std::filesystem::path> files;           // separate: at least one, with --from
    std::optional<std::filesystem::path> outputFolder;  // separate: -o; else each file's own
    std::filesystem::path demoFolder;                   // demo
    bool instrumental = false;                          // also write drums + bass + other
    audio::EncodeSettings encode;                       // --format, --bitrate
    std::vector<dsp::StemKind> stems{dsp::kAllStemKinds.begin(), dsp::kAllStemKinds.end()};
    std::string nameTemplate{kDefaultNameTemplate};  // {track}, {stem}, {ext}; may hold '/'
    bool skipExisting = false;
    std::vector<std::filesystem::path> listFiles;  // --from, in order: a path a line, "-" stdin
    bool nulSeparated = false;                     // -0: the lists are separated by NUL bytes
    int jobs = 1;                                  // songs separated at once
    bool json = false;                             // one JSON object per song on stdout
    bool refined = false;                          // the slower, cleaner method
    bool map = false;  // also the song map (beats, tempo, key, chords, sections) as JSON
};

// A command line that cannot be run; `message` is one line naming the problem.
struct UsageError {
    std::string message;
};

// Parses the arguments after the program name with getopt_long. Options and files may come in
// any order; "--" ends the options; long options may be abbreviated while unambiguous (an
// ambiguous one names the options it could be). --help and --version win as soon as they are
// seen. Main thread only (getopt keeps global state); touches no file.
std::variant<CliOptions, UsageError> parseArguments(std::span<const std::string_view> args);

// Checks an output name template: only {track}, {stem} and {ext}, {stem} present, not empty,
// no empty folder level. The reason it cannot be used, or nothing.
std::optional<std::string> templateProblem(std::string_view nameTemplate);

// The two synopsis lines, for usage errors (stderr).
std::string_view usageText();
// The whole help, for --help (stdout).
std::string_view helpText();

}  // namespace corvane::cli
