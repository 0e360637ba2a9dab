// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the real corvane-cli binary on songs written into a temporary folder, and checks the
// demo song it can write.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <numbers>
#include <numeric>
#include <regex>
#include <set>
#include <tuple>

#include "TestSupport.h"
#include "audio/AudioFileReader.h"
#include "audio/AudioFileWriter.h"
#include "demo/DemoSong.h"
#include "dsp/Separator.h"

namespace corvane::cli {
namespace {

namespace fs = std::filesystem;
using test::fileContents;
using test::shellQuote;
using test::TempDir;

// Each WAV read back may be off by rounding plus the scale difference between writing
// (2^23 - 1) and reading (2^23): under 1.5 steps of 24 bits.
constexpr float kLsb24 = 1.0f / 8388608.0f;
constexpr float kWavError = 1.5f * kLsb24;

struct CliRun {
    int status = -1;
    std::string out, err;
};

// Runs corvane-cli with `args` (already quoted) and stdin empty. With `terminal`, on a
// pseudo-terminal from script(1), which passes on the exit status and prints all on stdout.
CliRun runCli(const std::string& args, bool terminal = false) {
    const TempDir logs;
    std::string command = shellQuote(CORVANE_CLI_PATH) + " " + args;
    if (terminal) command = "script -qec " + shellQuote(command) + " /dev/null";
    const int status = test::runCommand(command + " >" + shellQuote(logs / "out") + " 2>" +
                                        shellQuote(logs / "err") + " </dev/null");
    return {status, fileContents(logs / "out"), fileContents(logs / "err")};
}

// A 3-second demo song at half level (so the instrumental is not clipped), as a 24-bit WAV.
void writeSong(const fs::path& to) {
    dsp::StereoAudio song = demo::makeDemoSong(3.0, 44100.0);
    for (float& x : song.l) x *= 0.5f;
    for (float& x : song.r) x *= 0.5f;
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
    for (const char* word : {"Vocals", "Drums", "Bass", "Other"})
        extra.insert(song + " - " + word + ".wav");
    return extra;
}

// Exit status 0, 1 or 2 and how stdout and stderr begin (an empty expectation: nothing at all).
// Two files of which one is missing: the other is still separated, next to itself.
TEST(Cli, ExitStatusFirstLinesAndFilesWritten) {
    const TempDir dir;
    writeSong(dir / "take.2.wav");
    const std::string usage = "Usage: corvane-cli [-o DIR] [--instrumental] FILE...\n";
    const std::tuple<std::string, int, std::string, std::string> cases[] = {
        {"--help --bogus", 0, usage, ""},  // help wins over what follows
        {"", 2, "", "corvane-cli: no FILE given\n" + usage},
        {"--bogus song.wav", 2, "", "corvane-cli: unknown option '--bogus'\n" + usage},
        {shellQuote(dir / "gone.wav") + " " + shellQuote(dir / "take.2.wav"), 1, "",
         (dir / "gone.wav").string() + ": Couldn't read that file: No such file or directory\n"},
        {"--demo " + shellQuote(dir / "demo"), 0, "",
         "Wrote the demo song: " + (dir / "demo" / "Corvane Demo.wav").string() + "\n"},
    };
    for (const auto& [args, status, out, err] : cases) {
        const CliRun run = runCli(args);
        EXPECT_EQ(run.status, status) << args;
        EXPECT_TRUE(out.empty() ? run.out.empty() : run.out.starts_with(out)) << args << run.out;
        EXPECT_TRUE(err.empty() ? run.err.empty() : run.err.starts_with(err)) << args << run.err;
    }
    // All but the last extension stay in the stem names.
    EXPECT_EQ(filesIn(dir.path()), stemNames("take.2", {"take.2.wav", "demo"}));
    EXPECT_EQ(filesIn(dir / "demo"), stemNames("Corvane Demo", {"Corvane Demo.wav"}));
    const dsp::StereoAudio demoSong = readBack(dir / "demo" / "Corvane Demo.wav");
    EXPECT_EQ(demoSong.sampleRate, 44100.0);
    EXPECT_TRUE(test::nearlyEqual(demoSong.l, demo::makeDemoSong(30.0, 44100.0).l, kWavError));
    EXPECT_EQ(readBack(dir / "demo" / "Corvane Demo - Bass.wav").frames(), 30 * 44100);
}

// -o DIR and --instrumental. Without a terminal there is no bar, just one line per file and a
// summary, so a log reads cleanly; on one (script(1)) the bar is drawn in place.
TEST(CliOutput, SeparatesIntoAFolderWithTheInstrumentalAndABarOnlyOnATerminal) {
    const TempDir dir;
    writeSong(dir / "a.wav");
    const fs::path out = dir / "stems" / "nested";
    const CliRun run =
        runCli("--instrumental -o " + shellQuote(out) + " " + shellQuote(dir / "a.wav"));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");
    const std::string took = " in [0-9]+\\.[0-9]{2} s";
    EXPECT_TRUE(std::regex_match(
        run.err,
        std::regex(".*/a\\.wav: 4 stems and the instrumental" + took +
                   "\nSeparated 1 file \\(0:03 of audio\\)" + took + ", [0-9.]+× real time\n")))
        << run.err;
    EXPECT_EQ(filesIn(dir.path()), (std::set<std::string>{"a.wav", "stems"}));
    EXPECT_EQ(filesIn(out), stemNames("a", {"a - Instrumental.wav"}));

    const dsp::StereoAudio song = readBack(dir / "a.wav");
    const std::vector<dsp::StemData> stems = dsp::Separator::separate(song, nullptr);
    ASSERT_EQ(stems.size(), 4u);
    std::vector<dsp::StereoAudio> files;
    for (const char* word : {"Vocals", "Drums", "Bass", "Other", "Instrumental"})
        files.push_back(readBack(out / (std::string("a - ") + word + ".wav")));
    for (bool left : {true, false}) {
        SCOPED_TRACE(left ? "left" : "right");
        auto side = [left](const auto& a) -> const std::vector<float>& { return left ? a.l : a.r; };
        // Each file holds the stem it is named for, rounded to 24 bits.
        for (int s = 0; s < 4; ++s)
            ASSERT_TRUE(test::nearlyEqual(side(files[s]), side(stems[s]), kWavError)) << s;
        std::vector<float> all(song.l.size()), music(song.l.size());
        for (std::size_t i = 0; i < all.size(); ++i) {
            music[i] = side(files[1])[i] + side(files[2])[i] + side(files[3])[i];
            all[i] = side(files[0])[i] + music[i];
        }
        // Each stem is rounded to 24 bits on its own; the separator adds only float rounding.
        EXPECT_TRUE(test::nearlyEqual(all, side(song), 4 * kWavError + kLsb24));
        EXPECT_TRUE(test::nearlyEqual(side(files[4]), music, 4 * kWavError));
    }
    if (test::runCommand("command -v script >/dev/null") != 0) GTEST_SKIP() << "no script(1)";
    const CliRun bar =
        runCli("-o " + shellQuote(dir / "t") + " " + shellQuote(dir / "a.wav"), true);
    EXPECT_EQ(bar.status, 0);
    for (const char* part : {"\r", "100%", "a.wav: 4 stems in "})
        EXPECT_NE(bar.out.find(part), std::string::npos) << bar.out;
}

// --format, --stems and a --name with folders: only the chosen stems, where the template puts
// them, in the format asked for; a format the song's rate cannot have fails before any file.
TEST(CliOutput, FormatStemsAndNameTemplateWithFolders) {
    const TempDir dir;
    writeSong(dir / "a.wav");
    const CliRun run =
        runCli("--format flac --stems bass,vocals --name '{track}/{stem}.{ext}' -o " +
               shellQuote(dir / "out") + " " + shellQuote(dir / "a.wav"));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.err.find("a.wav: 2 stems in ") != std::string::npos) << run.err;
    EXPECT_EQ(filesIn(dir / "out" / "a"), (std::set<std::string>{"Vocals.flac", "Bass.flac"}));
    const std::vector<dsp::StemData> stems = dsp::Separator::separate(readBack(dir / "a.wav"), {});
    EXPECT_TRUE(
        test::nearlyEqual(readBack(dir / "out" / "a" / "Bass.flac").r, stems[2].r, kWavError));

    const CliRun opus =
        runCli("--format opus -o " + shellQuote(dir / "o") + " " + shellQuote(dir / "a.wav"));
    EXPECT_EQ(opus.status, 1);
    EXPECT_TRUE(opus.err.starts_with((dir / "a.wav").string() +
                                     ": Export failed: Opus files are 8, 12, 16, 24 or 48 kHz "
                                     "only and this song is 44.1 kHz"))
        << opus.err;
    EXPECT_FALSE(fs::exists(dir / "o"));
}

// What a user deserves to hear, each on one line: a file cut short, a rate no song has, and a
// name holding a newline or an escape sequence.
TEST(CliNotes, EarlyEndsRefusedRatesAndControlCharactersStayOnOneLine) {
    const TempDir dir;
    ASSERT_EQ(test::runCommand("ffmpeg -nostdin -loglevel error -f lavfi -i "
                               "'aevalsrc=0.3*sin(2*PI*440*t):s=44100:d=10' -c:a flac " +
                               shellQuote(dir / "cut.flac")),
              0);
    fs::resize_file(dir / "cut.flac", fs::file_size(dir / "cut.flac") / 2);
    writeSong(dir / "one hertz.wav");
    {  // the fmt chunk's rate and byte rate
        std::fstream f(dir / "one hertz.wav", std::ios::in | std::ios::out | std::ios::binary);
        const std::uint32_t rate = 1, bytes = 6;
        f.seekp(24);
        f.write(reinterpret_cast<const char*>(&rate), 4);
        f.write(reinterpret_cast<const char*>(&bytes), 4);
    }
    const CliRun run =
        runCli("-o " + shellQuote(dir / "out") + " " + shellQuote(dir / "cut.flac") + " " +
               shellQuote(dir / "one hertz.wav") + " " + shellQuote(dir / "new\nline\x1b[2J.wav"));
    EXPECT_EQ(run.status, 1);
    const std::string d = dir.path().string();
    EXPECT_TRUE(std::regex_search(
        run.err, std::regex("cut\\.flac: 4 stems \\(the file ends early, at 0:05 of 0:10\\) in ")))
        << run.err;
    EXPECT_NE(run.err.find(d + "/one hertz.wav: Couldn't read that file: Unsupported sample rate "
                               "(1 Hz).\n"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find(d + "/new\\nline\\x1b[2J.wav: Couldn't read that file: No such file "
                               "or directory\n"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 4) << run.err;
}

TEST(DemoSong, DeterministicMixOfItsPartsCentredLeadWideChordsAndALowBass) {
    demo::DemoParts p;
    const dsp::StereoAudio mix = demo::makeDemoSong(8.0, 44100.0, &p),
                           again = demo::makeDemoSong(8.0, 44100.0);
    for (auto ch : {&dsp::StereoAudio::l, &dsp::StereoAudio::r}) {
        std::vector<float> sum(p.drums.*ch);
        for (std::size_t i = 0; i < sum.size(); ++i)
            sum[i] = sum[i] + (p.bass.*ch)[i] + (p.chords.*ch)[i] + (p.lead.*ch)[i];
        EXPECT_TRUE(test::nearlyEqual(mix.*ch, again.*ch, 0.0f));
        EXPECT_TRUE(test::nearlyEqual(mix.*ch, sum, 0.0f));
    }
    EXPECT_TRUE(test::nearlyEqual(p.lead.l, p.lead.r, 0.0f));
    auto dot = [](const std::vector<float>& a, const std::vector<float>& b) {
        return std::inner_product(a.begin(), a.end(), b.begin(), 0.0);
    };
    const double ll = dot(p.chords.l, p.chords.l), rr = dot(p.chords.r, p.chords.r);
    EXPECT_LT(std::fabs(dot(p.chords.l, p.chords.r) / std::sqrt(ll * rr)), 0.5);

    // The bass has nothing above 120 Hz. A Blackman-Harris window's side lobes sit 92 dB down:
    // the strong low notes cannot leak into what is measured far above them.
    const std::vector<float>& bass = p.bass.l;
    std::vector<float> x(8192);
    for (std::size_t at = 0; at + x.size() <= bass.size(); at += x.size()) {
        for (std::size_t i = 0; i < x.size(); ++i) {
            const double a = 2.0 * std::numbers::pi * static_cast<double>(i) / (x.size() - 1.0);
            x[i] = bass[at + i] *
                   static_cast<float>(0.35875 - 0.48829 * std::cos(a) + 0.14128 * std::cos(2 * a) -
                                      0.01168 * std::cos(3 * a));
        }
        double fundamental = 0.0;
        for (double hz = 40.0; hz <= 85.0; hz += 1.0)
            fundamental = std::max(fundamental, test::powerAt(x, hz, 44100.0));
        ASSERT_GT(fundamental, 0.0) << "window at frame " << at;
        for (double hz = 120.0; hz <= 2000.0; hz += 10.0)
            ASSERT_LT(10.0 * std::log10(test::powerAt(x, hz, 44100.0) / fundamental), -60.0)
                << hz << " Hz in the window at frame " << at;
    }
}

}  // namespace
}  // namespace corvane::cli
