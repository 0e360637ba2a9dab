// SPDX-License-Identifier: GPL-3.0-or-later
// The command line as getopt_long reads it: every spelling of each option, and every mistake
// with its own message.
#include <gtest/gtest.h>

#include <sstream>

#include "cli/CliOptions.h"

namespace corvane::cli {
namespace {

std::variant<CliOptions, UsageError> parse(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string w; in >> w;) words.push_back(w);
    std::vector<std::string_view> args(words.begin(), words.end());
    return parseArguments(args);
}

// A compact picture of what was understood, so that one table can hold every case.
std::string summary(const CliOptions& o) {
    std::string s;
    for (const auto& f : o.files) s += "file=" + f.string() + " ";
    if (o.outputFolder) s += "out=" + o.outputFolder->string() + " ";
    if (o.action == CliOptions::Action::demo) s += "demo=" + o.demoFolder.string() + " ";
    if (o.action == CliOptions::Action::help) s += "help ";
    if (o.action == CliOptions::Action::version) s += "version ";
    if (o.instrumental) s += "instrumental ";
    if (o.encode.format != audio::AudioFormat::wav24)
        s += "format=" + std::string(audio::formatName(o.encode.format)) + " ";
    if (o.encode.bitrateKbps) s += "kbps=" + std::to_string(o.encode.bitrateKbps) + " ";
    if (o.stems.size() != 4) {
        s += "stems=";
        for (dsp::StemKind k : o.stems) s += std::string(dsp::title(k)) + ",";
        s += " ";
    }
    if (o.nameTemplate != kDefaultNameTemplate) s += "name=" + o.nameTemplate + " ";
    if (o.skipExisting) s += "skip ";
    for (const auto& list : o.listFiles) s += "from=" + list.string() + " ";
    if (o.nulSeparated) s += "nul ";
    if (o.jobs != 1) s += "jobs=" + std::to_string(o.jobs) + " ";
    if (o.json) s += "json ";
    if (o.refined) s += "refined ";
    if (o.map) s += "map ";
    if (!s.empty()) s.pop_back();
    return s;
}

TEST(CliOptions, EverySpellingOfEachOption) {
    const std::pair<std::string, std::string> cases[] = {
        {"a.mp3 b.mp3", "file=a.mp3 file=b.mp3"},
        {"-o out a.mp3", "file=a.mp3 out=out"},
        {"-oout a.mp3", "file=a.mp3 out=out"},
        {"--output out a.mp3", "file=a.mp3 out=out"},
        {"--output=out a.mp3", "file=a.mp3 out=out"},
        {"--out=out a.mp3", "file=a.mp3 out=out"},                       // unambiguous abbreviation
        {"a.mp3 --instrumental -o x", "file=a.mp3 out=x instrumental"},  // any order
        {"-- -o --help", "file=-o file=--help"},
        {"- a", "file=- file=a"},
        {"--demo d", "demo=d"},
        {"--demo=d", "demo=d"},
        {"--help --bogus", "help"},
        {"a -h", "help"},
        {"a --vers --bogus", "version"},
        {"--format flac a", "file=a format=flac"},
        {"--format=opus --bitrate 96 a", "file=a format=opus kbps=96"},
        {"--format mp3 --bitrate=128 a", "file=a format=mp3 kbps=128"},
        {"--stems drums,Vocals,drums a", "file=a stems=Vocals,Drums,"},
        {"--map --stems bass a", "file=a stems=Bass, map"},
        {"--name {track}/{stem}.{ext} a", "file=a name={track}/{stem}.{ext}"},
        {"--skip-existing --from list.txt -0", "skip from=list.txt nul"},
        {"--from - a --from b.txt", "file=a from=- from=b.txt"},
        {"-j 3 a", "file=a jobs=3"},
        {"-j3 --jobs=4 a", "file=a jobs=4"},
        {"--json --refined a", "file=a json refined"},
    };
    for (const auto& [line, expected] : cases) {
        const auto parsed = parse(line);
        if (const auto* error = std::get_if<UsageError>(&parsed)) {
            ADD_FAILURE() << line << ": " << error->message;
            continue;
        }
        EXPECT_EQ(summary(std::get<CliOptions>(parsed)), expected) << line;
    }
}

TEST(CliOptions, EachMistakeGetsItsOwnLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "no FILE given"},
        {"--bogus a", "unknown option '--bogus'"},
        {"--bogus=3 a", "unknown option '--bogus'"},
        {"--s a", "option '--s' is ambiguous: '--stems', '--skip-existing'"},
        {"--f=x a", "option '--f' is ambiguous: '--format', '--from'"},
        {"-x a", "unknown option '-x'"},
        {"-o", "option '-o' needs a folder"},
        {"--output", "option '-o' needs a folder"},
        {"--output= a", "option '-o' needs a folder"},
        {"--demo", "option '--demo' needs a folder"},
        {"--demo d a", "--demo takes no FILE"},
        {"--demo d -o x", "--demo writes into its own folder; drop -o"},
        {"--json=yes a", "option '--json' takes no value"},
        {"--format ogg a", "unknown format 'ogg' (wav24, wav16, f32, flac, mp3 or opus)"},
        {"--bitrate 128 a", "--bitrate applies to mp3 and opus only, not wav24"},
        {"--format mp3 --bitrate 7 a", "--bitrate takes kb/s from 8 to 512, not '7'"},
        {"--format mp3 --bitrate 12k a", "--bitrate takes kb/s from 8 to 512, not '12k'"},
        {"--stems vocals,,bass a", "unknown stem '' in --stems (vocals, drums, bass or other)"},
        {"--stems guitar a", "unknown stem 'guitar' in --stems (vocals, drums, bass or other)"},
        {"--name {track}.{ext} a", "--name needs {stem}, or every stem would get the same name"},
        {"--name {track}-{Stem} a", "unknown field {Stem} in --name (use {track}, {stem}, {ext})"},
        {"--name {stem a", "unclosed '{' in --name"},
        {"--name {stem}} a", "stray '}' in --name"},
        {"--name {stem}/ a", "--name ends in '/': it names a folder, not a file"},
        {"--name a//{stem} a", "--name has an empty folder level"},
        {"-j 0 a", "--jobs takes a number from 1 to 64, not '0'"},
        {"--jobs x a", "--jobs takes a number from 1 to 64, not 'x'"},
        {"-0 a", "-0 needs --from"},
        {"--from", "option '--from' needs a list file (or - for standard input)"},
    };
    for (const auto& [line, expected] : cases) {
        const auto parsed = parse(line);
        const auto* error = std::get_if<UsageError>(&parsed);
        if (!error) {
            ADD_FAILURE() << line << " was accepted as " << summary(std::get<CliOptions>(parsed));
            continue;
        }
        EXPECT_EQ(error->message, expected) << line;
    }
}

}  // namespace
}  // namespace corvane::cli
