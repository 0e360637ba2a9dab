// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the real corvane-cli binary on songs written into a temporary folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "audio/AudioFileReader.h"
#include "audio/WavWriter.h"
#include "demo/DemoSong.h"

namespace corvane::cli {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using ::testing::PrintToString;

// Each WAV read back may be off by rounding plus the scale difference between writing
// (2^23 - 1) and reading (2^23): under 1.5 steps of 24 bits.
constexpr float kLsb24 = 1.0f / 8388608.0f;
constexpr float kWavError = 1.5f * kLsb24;

const std::vector<std::string> kStemWords = {"Vocals", "Drums", "Bass", "Other"};

std::string quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}
std::string quote(const fs::path& p) { return quote(p.string()); }

std::vector<std::string> lines(const fs::path& file) {
    std::ifstream in(file);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

::testing::AssertionResult hasLine(const std::vector<std::string>& lines, const std::string& line) {
    if (std::find(lines.begin(), lines.end(), line) != lines.end())
        return ::testing::AssertionSuccess();
    ::testing::AssertionResult failure = ::testing::AssertionFailure();
    failure << "no line '" << line << "' among:";
    for (const std::string& l : lines) failure << "\n  " << l;
    return failure;
}

struct CliRun {
    int status = -1;
    std::vector<std::string> out, err;
};

// Runs corvane-cli with `args` (already quoted), stdin empty, stdout and stderr kept by line.
CliRun runCli(const std::string& args) {
    const TempDir logs;
    CliRun run;
    run.status =
        test::runCommand(quote(std::string(CORVANE_CLI_PATH)) + " " + args + " >" +
                         quote(logs / "out") + " 2>" + quote(logs / "err") + " </dev/null");
    run.out = lines(logs / "out");
    run.err = lines(logs / "err");
    return run;
}

::testing::AssertionResult matches(const std::string& line, const std::string& pattern) {
    if (std::regex_match(line, std::regex(pattern))) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "'" << line << "' does not match " << pattern;
}

// A 3-second demo song at `gain`, as a 24-bit WAV.
void writeSong(const fs::path& to, float gain = 1.0f) {
    dsp::StereoAudio song = demo::makeDemoSong(3.0, 44100.0);
    for (float& x : song.l) x *= gain;
    for (float& x : song.r) x *= gain;
    ASSERT_FALSE(audio::writeWav(to, song.l, song.r, song.sampleRate)) << to;
}

dsp::StereoAudio readBack(const fs::path& path) {
    audio::Result<dsp::StereoAudio> read = audio::readAudio(path);
    if (read) return std::move(read).value();
    ADD_FAILURE() << path << ": " << read.error().description;
    return {};
}

std::set<std::string> filesIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

// `song`'s four stem names plus `extra`.
std::set<std::string> stemNames(const std::string& song, std::set<std::string> extra = {}) {
    for (const std::string& word : kStemWords) extra.insert(song + " - " + word + ".wav");
    return extra;
}

// Left-right correlation: near 1 for a centred sound, near 0 for a wide one.
double stereoCorrelation(const dsp::StereoAudio& a) {
    double lr = 0.0, ll = 0.0, rr = 0.0;
    for (std::size_t i = 0; i < a.l.size(); ++i) {
        lr += static_cast<double>(a.l[i]) * a.r[i];
        ll += static_cast<double>(a.l[i]) * a.l[i];
        rr += static_cast<double>(a.r[i]) * a.r[i];
    }
    return lr / std::sqrt(ll * rr);
}

// RMS of the sample-to-sample difference over the RMS: small for low frequencies only.
double roughness(std::span<const float> x) {
    double d = 0.0, e = 0.0;
    for (std::size_t i = 1; i < x.size(); ++i) {
        const double step = static_cast<double>(x[i]) - x[i - 1];
        d += step * step;
        e += static_cast<double>(x[i]) * x[i];
    }
    return std::sqrt(d / e);
}

TEST(CliExitStatus, HelpExitsZeroAndUsageErrorsExitTwo) {
    const TempDir dir;
    writeSong(dir / "song.wav");
    const std::string song = quote(dir / "song.wav");
    const std::string usage = "Usage: corvane-cli [-o DIR] [--instrumental] FILE...";
    struct Case {
        std::string args, message;  // no message: --help
    };
    const std::vector<Case> cases = {
        {"--help --bogus", ""},  // help wins over what follows
        {"-h", ""},
        {"", "corvane-cli: no FILE given"},
        {"--bogus " + song, "corvane-cli: unknown option '--bogus'"},
        {song + " -o", "corvane-cli: option '-o' needs a folder"},
        {"--demo", "corvane-cli: option '--demo' needs a folder"},
        {"--demo " + quote(dir / "d") + " " + song, "corvane-cli: --demo takes no FILE"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const CliRun run = runCli(c.args);
        const bool help = c.message.empty();
        EXPECT_EQ(run.status, help ? 0 : 2);
        // Help goes to stdout; a usage error names the problem, then the usage, on stderr.
        const std::vector<std::string>& text = help ? run.out : run.err;
        EXPECT_TRUE((help ? run.err : run.out).empty());
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text[0], help ? usage : c.message);
        EXPECT_TRUE(hasLine(text, usage));
    }
    EXPECT_EQ(filesIn(dir.path()), std::set<std::string>{"song.wav"}) << "nothing was written";
}

TEST(CliExitStatus, OneUnreadableFileExitsOneAndTheOtherIsStillSeparatedNextToIt) {
    const TempDir dir;
    writeSong(dir / "take.2.wav");
    const CliRun run = runCli(quote(dir / "gone.wav") + " " + quote(dir / "take.2.wav"));
    EXPECT_EQ(run.status, 1) << PrintToString(run.err);
    EXPECT_TRUE(hasLine(run.err, (dir / "gone.wav").string() +
                                     ": Couldn't read that file: No such file or directory"));
    // All but the last extension stay in the stem names.
    EXPECT_EQ(filesIn(dir.path()), stemNames("take.2", {"take.2.wav"}));
}

// -o DIR and --instrumental on two songs. Without a terminal there is no bar, just one line per
// file and a summary, so a log reads cleanly.
TEST(CliOutput, SeparatesIntoAFolderWithTheInstrumental) {
    const TempDir dir;
    writeSong(dir / "a.wav", 0.5f);  // headroom, so the instrumental is not clipped
    writeSong(dir / "b.wav", 0.5f);
    const fs::path out = dir / "stems" / "nested";
    const CliRun run = runCli("--instrumental -o " + quote(out) + " " + quote(dir / "a.wav") + " " +
                              quote(dir / "b.wav"));
    ASSERT_EQ(run.status, 0) << PrintToString(run.err);
    EXPECT_TRUE(run.out.empty());
    ASSERT_EQ(run.err.size(), 3u) << PrintToString(run.err);
    const std::string took = " in [0-9]+\\.[0-9]{2} s";
    EXPECT_TRUE(matches(run.err[0], ".*/a\\.wav: 4 stems and the instrumental" + took));
    EXPECT_TRUE(matches(run.err[1], ".*/b\\.wav: 4 stems and the instrumental" + took));
    EXPECT_TRUE(matches(run.err[2],
                        "Separated 2 files \\(0:06 of audio\\)" + took + ", [0-9.]+× real time"));
    EXPECT_EQ(filesIn(dir.path()), (std::set<std::string>{"a.wav", "b.wav", "stems"}));
    std::set<std::string> expected = stemNames("a", {"a - Instrumental.wav"});
    expected.merge(stemNames("b", {"b - Instrumental.wav"}));
    EXPECT_EQ(filesIn(out), expected);

    const dsp::StereoAudio song = readBack(dir / "a.wav");
    std::vector<dsp::StereoAudio> stems;
    for (const std::string& word : kStemWords) {
        stems.push_back(readBack(out / ("a - " + word + ".wav")));
        ASSERT_EQ(stems.back().frames(), song.frames()) << word;
    }
    const dsp::StereoAudio &vocals = stems[0], &drums = stems[1], &bass = stems[2],
                           &other = stems[3];
    const dsp::StereoAudio instrumental = readBack(out / "a - Instrumental.wav");
    for (auto ch : {&dsp::StereoAudio::l, &dsp::StereoAudio::r}) {
        std::vector<float> all(song.l.size()), music(song.l.size());
        for (std::size_t i = 0; i < all.size(); ++i) {
            music[i] = (drums.*ch)[i] + (bass.*ch)[i] + (other.*ch)[i];
            all[i] = (vocals.*ch)[i] + music[i];
        }
        // Each stem is rounded to 24 bits on its own; the separator adds only float rounding.
        EXPECT_TRUE(test::nearlyEqual(all, song.*ch, 4 * kWavError + kLsb24));
        EXPECT_TRUE(test::nearlyEqual(instrumental.*ch, music, 4 * kWavError));
    }
    EXPECT_GT(test::peakAbs(instrumental.l), 0.1f);
    // Each file holds the stem it is named for. The demo's lead is centred and its chords wide;
    // bass is the smoothest stem, drums (hi-hats, snare noise) the roughest.
    EXPECT_GT(stereoCorrelation(vocals), stereoCorrelation(other));
    for (const dsp::StereoAudio* stem : {&vocals, &drums, &other})
        EXPECT_LT(roughness(bass.l), roughness(stem->l));
    for (const dsp::StereoAudio* stem : {&vocals, &bass, &other})
        EXPECT_GT(roughness(drums.l), roughness(stem->l));
}

TEST(CliOutput, OnATerminalDrawsAProgressBar) {
    if (test::runCommand("command -v script >/dev/null") != 0) GTEST_SKIP() << "no script(1)";
    const TempDir dir;
    writeSong(dir / "song.wav");
    // script(1) gives the program a pseudo-terminal for its stderr.
    const std::string inner = quote(std::string(CORVANE_CLI_PATH)) + " " + quote(dir / "song.wav");
    const std::string text =
        test::captureCommand("script -qec " + quote(inner) + " /dev/null </dev/null");
    EXPECT_NE(text.find('\r'), std::string::npos) << text;
    EXPECT_NE(text.find("100%"), std::string::npos) << text;
    EXPECT_NE(text.find("song.wav: 4 stems in "), std::string::npos) << text;
}

TEST(CliOutput, DemoWritesTheSongAndItsStems) {
    const TempDir dir;
    const CliRun run = runCli("--demo " + quote(dir / "demo"));
    EXPECT_EQ(run.status, 0) << PrintToString(run.err);
    EXPECT_EQ(filesIn(dir / "demo"), stemNames("Corvane Demo", {"Corvane Demo.wav"}));
    const dsp::StereoAudio song = readBack(dir / "demo" / "Corvane Demo.wav");
    EXPECT_EQ(song.sampleRate, 44100.0);
    EXPECT_TRUE(test::nearlyEqual(song.l, demo::makeDemoSong(30.0, 44100.0).l, kWavError));
    EXPECT_EQ(readBack(dir / "demo" / "Corvane Demo - Bass.wav").frames(), 30 * 44100);
}

TEST(CliOutput, AnExportFailureFailsThatFileWithItsCause) {
    const TempDir dir;
    writeSong(dir / "song.wav");
    fs::create_directory(dir / "song - Drums.wav");  // a folder in the way of a stem
    const CliRun run = runCli(quote(dir / "song.wav"));
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(hasLine(run.err, (dir / "song.wav").string() + ": Export failed: " +
                                     (dir / "song - Drums.wav").string() + ": Is a directory"));
}

}  // namespace
}  // namespace corvane::cli
