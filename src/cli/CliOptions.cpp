// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/CliOptions.h"

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <charconv>

namespace corvane::cli {

namespace {

constexpr std::string_view kUsage =
    "Usage: corvane-cli [-o DIR] [--instrumental] FILE...\n"
    "       corvane-cli [OPTION]... [FILE]... [--from LIST]\n"
    "       corvane-cli --demo DIR\n";

constexpr std::string_view kHelp =
    "Usage: corvane-cli [-o DIR] [--instrumental] FILE...\n"
    "       corvane-cli [OPTION]... [FILE]... [--from LIST]\n"
    "       corvane-cli --demo DIR\n"
    "\n"
    "Splits each song into four stems by signal processing and writes them as 24-bit WAV files:\n"
    "\"NAME - Vocals.wav\", \"NAME - Drums.wav\", \"NAME - Bass.wav\" and \"NAME - Other.wav\", "
    "where\n"
    "NAME is the song's file name without its extension. A song's files replace older ones of\n"
    "the same name only once all of them are complete. Any audio format FFmpeg can decode is\n"
    "accepted.\n"
    "\n"
    "Options:\n"
    "  -o, --output DIR  write into DIR (created if missing) instead of next to each song\n"
    "      --instrumental\n"
    "                    also write \"NAME - Instrumental.wav\": drums + bass + other, the\n"
    "                    song without its vocals\n"
    "      --format FMT  wav24 (default), wav16, f32 (32-bit float, never clipped), flac\n"
    "                    (24-bit), mp3 or opus (at 8, 12, 16, 24 or 48 kHz only)\n"
    "      --bitrate KBPS\n"
    "                    bit rate of mp3 (default 320) and opus (default 160) files\n"
    "      --stems LIST  write only these stems, e.g. vocals,drums (of vocals, drums, bass,\n"
    "                    other)\n"
    "      --name TEMPLATE\n"
    "                    output names from {track}, {stem} and {ext}, folders allowed\n"
    "                    (default \"{track} - {stem}.{ext}\"; e.g. \"{track}/{stem}.{ext}\")\n"
    "      --skip-existing\n"
    "                    skip a song whose output files all exist (counted as done)\n"
    "      --from LIST   read more songs from LIST, one path a line; - for standard input\n"
    "                    (may be given more than once; a list holding a NUL byte needs -0)\n"
    "  -0, --null        the --from lists are separated by NUL bytes (find -print0)\n"
    "  -j, --jobs N      separate N songs at once (default 1)\n"
    "      --json        one JSON object per song on standard output (status done, skipped,\n"
    "                    failed, interrupted or not started)\n"
    "      --refined     cleaner stems by a slower method (about 5x the time)\n"
    "      --map         also write the song map, \"NAME - Map.json\": tempo, beats and bars,\n"
    "                    key, chords and sections, read from the stems (named by --name with\n"
    "                    {stem} Map and {ext} json)\n"
    "      --demo DIR    write a 30-second demo song, \"Corvane Demo.wav\", into DIR and\n"
    "                    separate it there\n"
    "  -h, --help        show this help and exit\n"
    "      --version     print the version and exit\n"
    "\n"
    "Exit status: 0 if every file was separated (or skipped as done), 1 if any failed, 2 for a\n"
    "usage error; 130 after Ctrl-C, 143 after SIGTERM and 141 when standard output was closed\n"
    "(a reader such as head quit), with no partial file left behind.\n";

enum LongOnly : int {
    kInstrumental = 256,
    kDemo,
    kFormat,
    kBitrate,
    kStems,
    kName,
    kSkipExisting,
    kFrom,
    kJson,
    kRefined,
    kMap,
    kVersion,
};

constexpr option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"output", required_argument, nullptr, 'o'},
    {"instrumental", no_argument, nullptr, kInstrumental},
    {"demo", required_argument, nullptr, kDemo},
    {"format", required_argument, nullptr, kFormat},
    {"bitrate", required_argument, nullptr, kBitrate},
    {"stems", required_argument, nullptr, kStems},
    {"name", required_argument, nullptr, kName},
    {"skip-existing", no_argument, nullptr, kSkipExisting},
    {"from", required_argument, nullptr, kFrom},
    {"null", no_argument, nullptr, '0'},
    {"jobs", required_argument, nullptr, 'j'},
    {"json", no_argument, nullptr, kJson},
    {"refined", no_argument, nullptr, kRefined},
    {"map", no_argument, nullptr, kMap},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

// The option as the user would name it in a message: "-o", "--demo".
std::string optionName(int value) {
    if (value < 256) return std::string("-") + static_cast<char>(value);
    for (const option& o : kLongOptions)
        if (o.name && o.val == value) return std::string("--") + o.name;
    return "?";
}

std::string missingValueMessage(int value) {
    switch (value) {
        case 'o':
            return "option '-o' needs a folder";
        case kDemo:
            return "option '--demo' needs a folder";
        case kFrom:
            return "option '--from' needs a list file (or - for standard input)";
        default:
            return "option '" + optionName(value) + "' needs a value";
    }
}

std::optional<int> parseInt(std::string_view text) {
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<dsp::StemKind> stemFromName(std::string_view name) {
    for (dsp::StemKind kind : dsp::kAllStemKinds) {
        const std::string_view title = dsp::title(kind);
        if (title.size() == name.size() &&
            std::equal(title.begin(), title.end(), name.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) ==
                       std::tolower(static_cast<unsigned char>(b));
            }))
            return kind;
    }
    return std::nullopt;
}

std::variant<std::vector<dsp::StemKind>, UsageError> parseStems(std::string_view list) {
    std::vector<dsp::StemKind> stems;
    while (true) {
        const std::size_t comma = list.find(',');
        const std::string_view word = list.substr(0, comma);
        const std::optional<dsp::StemKind> kind = stemFromName(word);
        if (!kind)
            return UsageError{"unknown stem '" + std::string(word) +
                              "' in --stems (vocals, drums, bass or other)"};
        if (std::find(stems.begin(), stems.end(), *kind) == stems.end()) stems.push_back(*kind);
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    // Always written in the separator's order, whatever order they were typed in.
    std::sort(stems.begin(), stems.end());
    return stems;
}

}  // namespace

std::string_view usageText() { return kUsage; }
std::string_view helpText() { return kHelp; }

std::optional<std::string> templateProblem(std::string_view t) {
    if (t.empty()) return "--name needs a template";
    bool hasStem = false;
    for (std::size_t i = 0; i < t.size(); ++i) {
        if (t[i] == '}') return "stray '}' in --name";
        if (t[i] != '{') continue;
        const std::size_t close = t.find('}', i);
        if (close == std::string_view::npos) return "unclosed '{' in --name";
        const std::string_view field = t.substr(i + 1, close - i - 1);
        if (field != "track" && field != "stem" && field != "ext")
            return "unknown field {" + std::string(field) +
                   "} in --name (use {track}, {stem}, {ext})";
        hasStem = hasStem || field == "stem";
        i = close;
    }
    if (!hasStem) return "--name needs {stem}, or every stem would get the same name";
    if (t.back() == '/') return "--name ends in '/': it names a folder, not a file";
    if (t.find("//") != std::string_view::npos) return "--name has an empty folder level";
    return std::nullopt;
}

std::variant<CliOptions, UsageError> parseArguments(std::span<const std::string_view> args) {
    // getopt wants a mutable argv that ends in a null pointer; it permutes it.
    std::vector<std::string> storage{"corvane-cli"};
    for (std::string_view a : args) storage.emplace_back(a);
    std::vector<char*> argv;
    for (std::string& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(storage.size());

    CliOptions options;
    bool demo = false;
    bool outputGiven = false;
    bool bitrateGiven = false;
    opterr = 0;  // our own messages
    optind = 0;  // GNU: start afresh, so the parser can run more than once per process
    while (true) {
        int longIndex = -1;
        const int c = getopt_long(argc, argv.data(), ":o:hj:0", kLongOptions, &longIndex);
        if (c == -1) break;
        const std::string_view value = optarg ? std::string_view(optarg) : std::string_view();
        switch (c) {
            case 'h': {
                CliOptions help;
                help.action = CliOptions::Action::help;
                return help;
            }
            case kVersion: {
                CliOptions version;
                version.action = CliOptions::Action::version;
                return version;
            }
            case 'o':
                if (value.empty()) return UsageError{missingValueMessage('o')};
                options.outputFolder = std::filesystem::path(std::string(value));
                outputGiven = true;
                break;
            case kInstrumental:
                options.instrumental = true;
                break;
            case kDemo:
                if (value.empty()) return UsageError{missingValueMessage(kDemo)};
                options.demoFolder = std::filesystem::path(std::string(value));
                demo = true;
                break;
            case kFormat: {
                const std::optional<audio::AudioFormat> format = audio::formatFromName(value);
                if (!format)
                    return UsageError{"unknown format '" + std::string(value) +
                                      "' (wav24, wav16, f32, flac, mp3 or opus)"};
                options.encode.format = *format;
                break;
            }
            case kBitrate: {
                const std::optional<int> kbps = parseInt(value);
                if (!kbps || *kbps < audio::kMinBitrateKbps || *kbps > audio::kMaxBitrateKbps)
                    return UsageError{"--bitrate takes kb/s from " +
                                      std::to_string(audio::kMinBitrateKbps) + " to " +
                                      std::to_string(audio::kMaxBitrateKbps) + ", not '" +
                                      std::string(value) + "'"};
                options.encode.bitrateKbps = *kbps;
                bitrateGiven = true;
                break;
            }
            case kStems: {
                auto stems = parseStems(value);
                if (auto* error = std::get_if<UsageError>(&stems)) return *error;
                options.stems = std::get<std::vector<dsp::StemKind>>(std::move(stems));
                break;
            }
            case kName:
                if (auto problem = templateProblem(value)) return UsageError{*problem};
                options.nameTemplate = std::string(value);
                break;
            case kSkipExisting:
                options.skipExisting = true;
                break;
            case kFrom:
                if (value.empty()) return UsageError{missingValueMessage(kFrom)};
                options.listFiles.emplace_back(std::string(value));
                break;
            case '0':
                options.nulSeparated = true;
                break;
            case 'j': {
                const std::optional<int> jobs = parseInt(value);
                if (!jobs || *jobs < 1 || *jobs > kMaxJobs)
                    return UsageError{"--jobs takes a number from 1 to " +
                                      std::to_string(kMaxJobs) + ", not '" + std::string(value) +
                                      "'"};
                options.jobs = *jobs;
                break;
            }
            case kJson:
                options.json = true;
                break;
            case kRefined:
                options.refined = true;
                break;
            case kMap:
                options.map = true;
                break;
            case ':':
                return UsageError{missingValueMessage(optopt)};
            default: {
                // A long option names itself in its word; a short one is in optopt (it may sit
                // inside a cluster such as "-xo").
                const std::string_view word = argv[static_cast<std::size_t>(optind - 1)];
                if (!word.starts_with("--"))
                    return UsageError{"unknown option '-" +
                                      std::string(1, static_cast<char>(optopt)) + "'"};
                const std::string_view name = word.substr(0, word.find('='));
                // getopt reports an abbreviation that fits several options as unknown too.
                std::string candidates;
                int matches = 0;
                for (const option& o : kLongOptions)
                    if (o.name && std::string_view(o.name).starts_with(name.substr(2))) {
                        candidates += std::string(matches++ ? ", " : "") + "'--" + o.name + "'";
                    }
                if (matches > 1)
                    return UsageError{"option '" + std::string(name) + "' is ambiguous: " +
                                      candidates};
                if (name.size() < word.size())
                    for (const option& o : kLongOptions)
                        if (o.name && o.has_arg == no_argument &&
                            std::string_view(o.name).starts_with(name.substr(2)))
                            return UsageError{"option '--" + std::string(o.name) +
                                              "' takes no value"};
                return UsageError{"unknown option '" + std::string(name) + "'"};
            }
        }
    }
    for (int i = optind; i < argc; ++i)
        options.files.emplace_back(std::string(argv[static_cast<std::size_t>(i)]));

    if (bitrateGiven && !audio::hasBitrate(options.encode.format))
        return UsageError{"--bitrate applies to mp3 and opus only, not " +
                          std::string(audio::formatName(options.encode.format))};
    if (options.nulSeparated && options.listFiles.empty()) return UsageError{"-0 needs --from"};
    if (demo) {
        if (!options.files.empty() || !options.listFiles.empty())
            return UsageError{"--demo takes no FILE"};
        if (outputGiven) return UsageError{"--demo writes into its own folder; drop -o"};
        options.action = CliOptions::Action::demo;
        return options;
    }
    if (options.files.empty() && options.listFiles.empty()) return UsageError{"no FILE given"};
    return options;
}

}  // namespace corvane::cli
