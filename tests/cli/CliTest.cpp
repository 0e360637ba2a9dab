// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the real corvane-cli binary on songs written into a temporary folder.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <span>
#include <sstream>
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

// One step of a 24-bit sample; each WAV read back may be off by rounding plus the scale
// difference between writing (2^23 - 1) and reading (2^23), under 1.5 steps in all.
constexpr float kLsb24 = 1.0f / 8388608.0f;
constexpr float kWavError = 1.5f * kLsb24;

const std::vector<std::string> kStemWords = {"Vocals", "Drums", "Bass", "Other"};

std::string quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string quote(const fs::path& p) { return quote(p.string()); }

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

bool hasLine(const std::string& text, const std::string& line) {
    for (const std::string& l : lines(text))
        if (l == line) return true;
    return false;
}

struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs corvane-cli with `args` (already quoted as needed), stdin empty, stdout and stderr kept.
CliRun runCli(const std::string& args) {
    const TempDir logs;
    const std::string command = quote(std::string(CORVANE_CLI_PATH)) + " " + args + " >" +
                                quote(logs / "out") + " 2>" + quote(logs / "err") + " </dev/null";
    CliRun run;
    run.status = test::runCommand(command);
    run.out = readText(logs / "out");
    run.err = readText(logs / "err");
    return run;
}

// A 3-second demo song at `gain`, written as a 24-bit WAV.
void writeSong(const fs::path& to, float gain = 1.0f) {
    dsp::StereoAudio song = demo::makeDemoSong(3.0, 44100.0);
    for (float& x : song.l) x *= gain;
    for (float& x : song.r) x *= gain;
    ASSERT_FALSE(audio::writeWav(to, song.l, song.r, song.sampleRate).has_value()) << to;
}

dsp::StereoAudio readBack(const fs::path& path) {
    audio::Result<dsp::StereoAudio> read = audio::readAudio(path);
    if (!read) {
        ADD_FAILURE() << path << ": " << read.error().description;
        return {};
    }
    return std::move(read).value();
}

std::set<std::string> filesIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

std::set<std::string> stemNames(const std::string& song) {
    std::set<std::string> names;
    for (const std::string& word : kStemWords) names.insert(song + " - " + word + ".wav");
    return names;
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

// --- Exit status and messages -----------------------------------------------------------------

TEST(CliExitStatus, GoodFileExitsZeroAndWritesFourStemsNextToIt) {
    const TempDir dir;
    writeSong(dir / "song.wav");
    const CliRun run = runCli(quote(dir / "song.wav"));
    EXPECT_EQ(run.status, 0) << run.err;

    std::set<std::string> expected = stemNames("song");
    expected.insert("song.wav");
    EXPECT_EQ(filesIn(dir.path()), expected);
    EXPECT_TRUE(run.out.empty()) << run.out;
}

TEST(CliExitStatus, OneMissingFileExitsOneButTheOthersAreStillSeparated) {
    const TempDir dir;
    writeSong(dir / "song.wav");
    const CliRun run = runCli(quote(dir / "missing.wav") + " " + quote(dir / "song.wav"));
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_TRUE(hasLine(run.err, (dir / "missing.wav").string() +
                                     ": Couldn't read that file: No such file or directory"))
        << run.err;
    for (const std::string& name : stemNames("song")) EXPECT_TRUE(fs::exists(dir / name)) << name;
    EXPECT_FALSE(fs::exists(dir / "missing - Vocals.wav"));
}

TEST(CliExitStatus, UnreadableFilesEachGiveTheirOwnLineAndNoStems) {
    const TempDir dir;
    { std::ofstream(dir / "notes.mp3") << "not a song, just some text\n"; }
    { std::ofstream(dir / "empty.wav"); }
    fs::create_directory(dir / "folder.wav");
    writeSong(dir / "song.wav");

    for (const std::string name : {"notes.mp3", "empty.wav", "folder.wav"}) {
        SCOPED_TRACE(name);
        const CliRun run = runCli(quote(dir / name));
        EXPECT_EQ(run.status, 1);
        const std::vector<std::string> errLines = lines(run.err);
        ASSERT_FALSE(errLines.empty());
        const std::string prefix = (dir / name).string() + ": Couldn't read that file: ";
        EXPECT_EQ(errLines[0].substr(0, prefix.size()), prefix) << run.err;
        EXPECT_GT(errLines[0].size(), prefix.size()) << "the cause is missing";
        EXPECT_TRUE(hasLine(run.err, "Separated 0 of 1 file; 1 failed")) << run.err;
    }
    EXPECT_EQ(filesIn(dir.path()),
              (std::set<std::string>{"notes.mp3", "empty.wav", "folder.wav", "song.wav"}));
}

TEST(CliExitStatus, UsageErrorsExitTwoWithUsageOnStderr) {
    const TempDir dir;
    writeSong(dir / "song.wav");
    const std::string song = quote(dir / "song.wav");
    struct Case {
        std::string args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"", "corvane-cli: no FILE given"},
        {"--bogus " + song, "corvane-cli: unknown option '--bogus'"},
        {"-x " + song, "corvane-cli: unknown option '-x'"},
        {song + " -o", "corvane-cli: option '-o' needs a folder"},
        {"--demo", "corvane-cli: option '--demo' needs a folder"},
        {"--demo " + quote(dir / "d") + " " + song, "corvane-cli: --demo takes no FILE"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const CliRun run = runCli(c.args);
        EXPECT_EQ(run.status, 2);
        EXPECT_TRUE(hasLine(run.err, c.message)) << run.err;
        EXPECT_NE(run.err.find("Usage: corvane-cli"), std::string::npos) << run.err;
        EXPECT_TRUE(run.out.empty()) << run.out;
    }
    EXPECT_EQ(filesIn(dir.path()), std::set<std::string>{"song.wav"}) << "nothing was written";
}

TEST(CliExitStatus, HelpGoesToStdoutAndExitsZero) {
    for (const std::string flag : {"--help", "-h"}) {
        SCOPED_TRACE(flag);
        const CliRun run = runCli(flag + " --bogus");  // help wins over what follows
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out.rfind("Usage: corvane-cli", 0), 0u) << run.out;
        for (const std::string option : {"-o, --output DIR", "--instrumental", "--demo DIR"})
            EXPECT_NE(run.out.find(option), std::string::npos) << option;
        EXPECT_TRUE(run.err.empty()) << run.err;
    }
}

TEST(CliExitStatus, WithoutTerminalPrintsOneLinePerFileAndASummary) {
    const TempDir dir;
    writeSong(dir / "a.wav");
    writeSong(dir / "b.wav");
    const CliRun run = runCli(quote(dir / "a.wav") + " " + quote(dir / "b.wav"));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err.find('\r'), std::string::npos) << "no progress bar into a file";
    const std::vector<std::string> errLines = lines(run.err);
    ASSERT_EQ(errLines.size(), 3u) << run.err;
    EXPECT_TRUE(
        std::regex_match(errLines[0], std::regex(".*/a\\.wav: 4 stems in [0-9]+\\.[0-9]{2} s")))
        << errLines[0];
    EXPECT_TRUE(
        std::regex_match(errLines[1], std::regex(".*/b\\.wav: 4 stems in [0-9]+\\.[0-9]{2} s")))
        << errLines[1];
    EXPECT_TRUE(std::regex_match(
        errLines[2], std::regex("Separated 2 files \\(0:06 of audio\\) in [0-9]+\\.[0-9]{2} s, "
                                "[0-9.]+× real time")))
        << errLines[2];
}

TEST(CliExitStatus, OnATerminalDrawsAProgressBar) {
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

// --- Output names and folders -----------------------------------------------------------------

TEST(CliOutput, DotsInTheNameKeepAllButTheLastExtension) {
    const TempDir dir;
    writeSong(dir / "song.wav");
    ASSERT_EQ(test::runCommand("ffmpeg -nostdin -loglevel error -i " + quote(dir / "song.wav") +
                               " " + quote(dir / "take.2.flac")),
              0);
    fs::remove(dir / "song.wav");

    const CliRun run = runCli(quote(dir / "take.2.flac"));
    EXPECT_EQ(run.status, 0) << run.err;
    std::set<std::string> expected = stemNames("take.2");
    expected.insert("take.2.flac");
    EXPECT_EQ(filesIn(dir.path()), expected);
}

TEST(CliOutput, OutputFolderIsCreatedAndNothingLandsNextToTheSong) {
    const TempDir dir;
    writeSong(dir / "song.wav");
    const fs::path out = dir / "stems" / "nested";
    const CliRun run = runCli("-o " + quote(out) + " " + quote(dir / "song.wav"));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(filesIn(out), stemNames("song"));
    EXPECT_EQ(filesIn(dir.path()), (std::set<std::string>{"song.wav", "stems"}));
}

TEST(CliOutput, FolderThatCannotBeCreatedFailsTheFile) {
    const TempDir dir;
    writeSong(dir / "song.wav");
    { std::ofstream(dir / "blocker") << "a file where a folder should go\n"; }
    const CliRun run =
        runCli("-o " + quote(dir / "blocker" / "sub") + " " + quote(dir / "song.wav"));
    EXPECT_EQ(run.status, 1);
    const std::vector<std::string> errLines = lines(run.err);
    ASSERT_FALSE(errLines.empty());
    EXPECT_EQ(errLines[0], (dir / "song.wav").string() +
                               ": Export failed: couldn't create the folder " +
                               (dir / "blocker" / "sub").string() + ": Not a directory");
}

TEST(CliOutput, StemThatCannotBeWrittenFailsTheFileWithItsCause) {
    const TempDir dir;
    writeSong(dir / "song.wav");
    writeSong(dir / "next.wav");
    fs::create_directory(dir / "song - Drums.wav");  // a folder in the way of a stem
    const CliRun run = runCli(quote(dir / "song.wav") + " " + quote(dir / "next.wav"));
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(hasLine(run.err, (dir / "song.wav").string() + ": Export failed: " +
                                     (dir / "song - Drums.wav").string() + ": Is a directory"))
        << run.err;
    for (const std::string& name : stemNames("next")) EXPECT_TRUE(fs::exists(dir / name)) << name;
}

TEST(CliOutput, ExistingOutputFilesAreReplaced) {
    const TempDir dir;
    writeSong(dir / "song.wav");
    for (const std::string& name : stemNames("song"))
        std::ofstream(dir / name) << "stale content from an earlier run\n";
    const CliRun run = runCli(quote(dir / "song.wav"));
    ASSERT_EQ(run.status, 0) << run.err;
    for (const std::string& name : stemNames("song")) {
        SCOPED_TRACE(name);
        EXPECT_EQ(readBack(dir / name).frames(), 3 * 44100);
    }
}

TEST(CliOutput, DemoWritesTheSongAndItsStems) {
    const TempDir dir;
    const fs::path out = dir / "demo";
    const CliRun run = runCli("--demo " + quote(out));
    EXPECT_EQ(run.status, 0) << run.err;
    std::set<std::string> expected = stemNames("Corvane Demo");
    expected.insert("Corvane Demo.wav");
    EXPECT_EQ(filesIn(out), expected);

    const dsp::StereoAudio song = readBack(out / "Corvane Demo.wav");
    EXPECT_EQ(song.frames(), 30 * 44100);
    EXPECT_EQ(song.sampleRate, 44100.0);
    const dsp::StereoAudio expectedSong = demo::makeDemoSong(30.0, 44100.0);
    EXPECT_TRUE(test::nearlyEqual(song.l, expectedSong.l, kWavError));
    EXPECT_EQ(readBack(out / "Corvane Demo - Bass.wav").frames(), 30 * 44100);
}

// --- What is in the files ---------------------------------------------------------------------

TEST(CliContent, StemsAddBackToTheSong) {
    const TempDir dir;
    writeSong(dir / "song.wav");
    ASSERT_EQ(runCli(quote(dir / "song.wav")).status, 0);

    const dsp::StereoAudio song = readBack(dir / "song.wav");
    std::vector<dsp::StereoAudio> stems;
    for (const std::string& word : kStemWords)
        stems.push_back(readBack(dir / ("song - " + word + ".wav")));
    std::vector<float> l(song.l.size(), 0.0f);
    std::vector<float> r(song.r.size(), 0.0f);
    for (const dsp::StereoAudio& stem : stems) {
        ASSERT_EQ(stem.frames(), song.frames());
        EXPECT_EQ(stem.sampleRate, song.sampleRate);
        for (std::size_t i = 0; i < l.size(); ++i) l[i] += stem.l[i];
        for (std::size_t i = 0; i < r.size(); ++i) r[i] += stem.r[i];
    }
    // Each stem is rounded to 24 bits on its own; the separator itself adds only float rounding.
    EXPECT_TRUE(test::nearlyEqual(l, song.l, 4 * kWavError + kLsb24));
    EXPECT_TRUE(test::nearlyEqual(r, song.r, 4 * kWavError + kLsb24));
}

TEST(CliContent, EachFileHoldsTheStemItIsNamedFor) {
    const TempDir dir;
    writeSong(dir / "song.wav");
    ASSERT_EQ(runCli(quote(dir / "song.wav")).status, 0);
    const dsp::StereoAudio vocals = readBack(dir / "song - Vocals.wav");
    const dsp::StereoAudio drums = readBack(dir / "song - Drums.wav");
    const dsp::StereoAudio bass = readBack(dir / "song - Bass.wav");
    const dsp::StereoAudio other = readBack(dir / "song - Other.wav");

    // The demo's lead is centred and its chords are wide: vocals must be the more centred one.
    EXPECT_GT(stereoCorrelation(vocals), stereoCorrelation(other));
    // Bass is the low end only: the smoothest of the four. Drums carry the hi-hats and the
    // snare's noise: the roughest.
    for (const dsp::StereoAudio* stem : {&vocals, &drums, &other})
        EXPECT_LT(roughness(bass.l), roughness(stem->l));
    for (const dsp::StereoAudio* stem : {&vocals, &bass, &other})
        EXPECT_GT(roughness(drums.l), roughness(stem->l));
}

TEST(CliContent, InstrumentalIsDrumsPlusBassPlusOther) {
    const TempDir dir;
    writeSong(dir / "song.wav", 0.5f);  // headroom, so the sum is not clipped
    const fs::path out = dir / "out";
    const CliRun run = runCli("--instrumental -o " + quote(out) + " " + quote(dir / "song.wav"));
    ASSERT_EQ(run.status, 0) << run.err;
    std::set<std::string> expected = stemNames("song");
    expected.insert("song - Instrumental.wav");
    EXPECT_EQ(filesIn(out), expected);

    const dsp::StereoAudio drums = readBack(out / "song - Drums.wav");
    const dsp::StereoAudio bass = readBack(out / "song - Bass.wav");
    const dsp::StereoAudio other = readBack(out / "song - Other.wav");
    const dsp::StereoAudio instrumental = readBack(out / "song - Instrumental.wav");
    std::vector<float> l(drums.l.size());
    std::vector<float> r(drums.r.size());
    for (std::size_t i = 0; i < l.size(); ++i) l[i] = drums.l[i] + bass.l[i] + other.l[i];
    for (std::size_t i = 0; i < r.size(); ++i) r[i] = drums.r[i] + bass.r[i] + other.r[i];
    EXPECT_TRUE(test::nearlyEqual(instrumental.l, l, 4 * kWavError));
    EXPECT_TRUE(test::nearlyEqual(instrumental.r, r, 4 * kWavError));
    EXPECT_GT(test::peakAbs(instrumental.l), 0.1f);
}

}  // namespace
}  // namespace corvane::cli
