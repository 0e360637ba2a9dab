// SPDX-License-Identifier: GPL-3.0-or-later
#include "CliOptions.h"

#include <algorithm>

namespace corvane::cli {

namespace {

constexpr std::string_view kUsage =
    "Usage: corvane-cli [-o DIR] [--instrumental] FILE...\n"
    "       corvane-cli --demo DIR\n";

constexpr std::string_view kHelp =
    "Usage: corvane-cli [-o DIR] [--instrumental] FILE...\n"
    "       corvane-cli --demo DIR\n"
    "\n"
    "Splits each song into four stems by signal processing and writes them as 24-bit WAV files:\n"
    "\"NAME - Vocals.wav\", \"NAME - Drums.wav\", \"NAME - Bass.wav\" and \"NAME - Other.wav\", "
    "where\n"
    "NAME is the song's file name without its extension. Existing files are replaced.\n"
    "Any audio format FFmpeg can decode is accepted.\n"
    "\n"
    "Options:\n"
    "  -o, --output DIR  write into DIR (created if missing) instead of next to each song\n"
    "      --instrumental\n"
    "                    also write \"NAME - Instrumental.wav\": drums + bass + other, the\n"
    "                    song without its vocals\n"
    "      --demo DIR    write a 30-second demo song, \"Corvane Demo.wav\", into DIR and\n"
    "                    separate it there\n"
    "  -h, --help        show this help and exit\n"
    "\n"
    "Exit status: 0 if every file was separated, 1 if any failed, 2 for a usage error.\n";

bool startsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

}  // namespace

std::string_view usageText() { return kUsage; }
std::string_view helpText() { return kHelp; }

std::variant<CliOptions, UsageError> parseArguments(std::span<const std::string_view> args) {
    CliOptions options;
    bool demo = false;
    bool outputGiven = false;

    // The value of an option written either as "--name VALUE" / "-o VALUE" (the next argument)
    // or glued on ("--name=VALUE", "-oVALUE"). Empty means missing.
    std::size_t i = 0;
    auto valueOf = [&](std::string_view arg, std::string_view glued) -> std::string_view {
        if (!glued.empty()) return glued;
        if (arg.find('=') != std::string_view::npos) return {};
        if (i + 1 < args.size()) return args[++i];
        return {};
    };

    bool optionsEnded = false;
    for (; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            options.files.emplace_back(std::string(arg));
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "-h" || arg == "--help") {
            CliOptions help;
            help.action = CliOptions::Action::help;
            return help;
        } else if (arg == "--instrumental") {
            options.instrumental = true;
        } else if (arg == "--output" || startsWith(arg, "--output=") || startsWith(arg, "-o")) {
            const std::string_view glued = startsWith(arg, "--output=") ? arg.substr(9)
                                           : startsWith(arg, "-o")      ? arg.substr(2)
                                                                        : std::string_view();
            const std::string_view value = valueOf(arg, glued);
            if (value.empty()) return UsageError{"option '-o' needs a folder"};
            options.outputFolder = std::filesystem::path(std::string(value));
            outputGiven = true;
        } else if (arg == "--demo" || startsWith(arg, "--demo=")) {
            const std::string_view value =
                valueOf(arg, arg.substr(std::min(arg.size(), std::size_t{7})));
            if (value.empty()) return UsageError{"option '--demo' needs a folder"};
            options.demoFolder = std::filesystem::path(std::string(value));
            demo = true;
        } else {
            return UsageError{"unknown option '" + std::string(arg) + "'"};
        }
    }

    if (demo) {
        if (!options.files.empty()) return UsageError{"--demo takes no FILE"};
        if (outputGiven) return UsageError{"--demo writes into its own folder; drop -o"};
        options.action = CliOptions::Action::demo;
        return options;
    }
    if (options.files.empty()) return UsageError{"no FILE given"};
    return options;
}

}  // namespace corvane::cli
