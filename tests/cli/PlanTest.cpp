// SPDX-License-Identifier: GPL-3.0-or-later
// Everything decided before a file is written: which songs run, are skipped or refused, what the
// lists name, and JSON strings that stay valid whatever bytes a name holds.
#include <gtest/gtest.h>

#include <fstream>

#include "TestSupport.h"
#include "cli/InputList.h"
#include "cli/Json.h"
#include "cli/OutputPlan.h"

namespace corvane::cli {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

// "<input>: run|skip|refuse <why>" for each song, paths relative to `dir`.
std::vector<std::string> verdicts(const fs::path& dir, const std::vector<std::string>& inputs,
                                  CliOptions options) {
    const fs::path here = fs::current_path();
    fs::current_path(dir);
    std::vector<fs::path> paths(inputs.begin(), inputs.end());
    std::vector<std::string> lines;
    for (const SongPlan& song : planSongs(paths, options)) {
        static constexpr const char* kNames[] = {"run", "skip", "refuse"};
        std::string line = song.input.string() + ": " + kNames[static_cast<int>(song.verdict)];
        if (!song.why.empty()) line += " " + song.why;
        lines.push_back(line);
    }
    fs::current_path(here);
    return lines;
}

TEST(Planning, SkipsComeFirstInputsThatAreOutputsAreNeverSeparatedAndCollisionsAreRefused) {
    const TempDir dir;
    for (const char* name : {"a.wav", "a - Vocals.wav", "a - Drums.wav", "a - Bass.wav",
                             "a - Other.wav", "b.wav", "...wav"})
        std::ofstream(dir / name) << "x";
    CliOptions options;
    // A second run over *.wav in one folder: the done song and its own stems are skipped.
    options.skipExisting = true;
    EXPECT_EQ(verdicts(dir.path(), {"a - Bass.wav", "a.wav", "a - Vocals.wav", "b.wav"}, options),
              (std::vector<std::string>{"a - Bass.wav: skip skipped, it is an output of a.wav",
                                        "a.wav: skip skipped, its files exist",
                                        "a - Vocals.wav: skip skipped, it is an output of a.wav",
                                        "b.wav: run"}));
    // Without --skip-existing, a.wav runs and replaces its own old stems, which are not read.
    options.skipExisting = false;
    EXPECT_EQ(verdicts(dir.path(), {"a.wav", "a - Vocals.wav"}, options),
              (std::vector<std::string>{"a.wav: run",
                                        "a - Vocals.wav: skip skipped, it is an output of a.wav"}));
    options.nameTemplate = "{stem}/../same.{ext}";
    EXPECT_EQ(verdicts(dir.path(), {"b.wav"}, options),
              (std::vector<std::string>{"b.wav: refuse not separated: its outputs "
                                        "Vocals/../same.wav and Drums/../same.wav are the same "
                                        "file"}));
    // A name of dots keeps its extension: "..." would climb out of the folder.
    options.nameTemplate = "{track}/{stem}.{ext}";
    options.stems = {dsp::StemKind::bass};
    const std::vector<SongPlan> dots = planSongs({"...wav"}, options);
    EXPECT_EQ(dots[0].outputs[0].path, fs::path("...wav/Bass.wav"));
    // The map goes through the same template, as JSON whatever the audio format.
    options.map = true;
    options.encode.format = audio::AudioFormat::flac;
    const std::vector<PlannedOutput> withMap = planOutputs("b.wav", "out", options);
    ASSERT_EQ(withMap.size(), 2u);
    EXPECT_EQ(withMap[1].path, fs::path("out/b/Map.json"));
    EXPECT_TRUE(withMap[1].map && !withMap[1].kind);
    EXPECT_EQ(trackName("x/..wav"), "..wav");
    EXPECT_EQ(trackName("take.2.flac"), "take.2");
}

TEST(Lists, EveryListIsReadInOrderAndANulInALineListIsRefused) {
    const TempDir dir;
    std::ofstream(dir / "one") << "a.wav\nb.wav\r\n\n";
    std::ofstream(dir / "two") << "c.wav\n";
    std::ofstream(dir / "binary", std::ios::binary) << std::string("a.wav\0b.wav\0", 12);
    CliOptions options;
    options.files = {"x.wav"};
    options.listFiles = {dir / "one", dir / "two"};
    const std::atomic<bool> stop{false};
    auto read = collectInputs(options, stop);
    ASSERT_TRUE(std::holds_alternative<std::vector<fs::path>>(read));
    EXPECT_EQ(std::get<std::vector<fs::path>>(read),
              (std::vector<fs::path>{"x.wav", "a.wav", "b.wav", "c.wav"}));

    options.listFiles = {dir / "binary"};
    read = collectInputs(options, stop);
    ASSERT_TRUE(std::holds_alternative<std::string>(read));
    EXPECT_EQ(std::get<std::string>(read),
              "the list " + (dir / "binary").string() +
                  " holds a NUL byte: for a NUL-separated list (find -print0) add -0");
    options.nulSeparated = true;
    read = collectInputs(options, stop);
    EXPECT_EQ(std::get<std::vector<fs::path>>(read),
              (std::vector<fs::path>{"x.wav", "a.wav", "b.wav"}));

    options.files.clear();
    options.listFiles = {dir / "missing", dir.path()};
    read = collectInputs(options, stop);
    EXPECT_EQ(std::get<std::string>(read), "couldn't read the list " + (dir / "missing").string() +
                                               ": No such file or directory");
}

TEST(Json, StringsAreValidUtf8AndBytesThatAreNotStillNameTheirFile) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain.wav", "\"plain.wav\""},
        {"quote\" back\\ tab\t\x7f", "\"quote\\\" back\\\\ tab\\u0009\\u007f\""},
        {"Beyoncé ♪ 𝄞.flac", "\"Beyoncé ♪ 𝄞.flac\""},
        {"latin1 \xe9.wav", "\"latin1 \\udce9.wav\""},
        {"cut \xe2\x99", "\"cut \\udce2\\udc99\""},
        {"overlong \xc0\xaf surrogate \xed\xa0\x80",
         "\"overlong \\udcc0\\udcaf surrogate "
         "\\udced\\udca0\\udc80\""},
    };
    for (const auto& [name, literal] : cases) EXPECT_EQ(jsonString(name), literal) << name;
}

}  // namespace
}  // namespace corvane::cli
