// SPDX-License-Identifier: GPL-3.0-or-later
// The real corvane-cli on batches: collisions refused before anything is written, failed and
// interrupted writes that leave older files intact and no temporary file behind, resumable runs,
// lists from standard input and JSON lines for scripts.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <fstream>
#include <set>

#include "TestSupport.h"
#include "audio/AudioFileReader.h"
#include "audio/AudioFileWriter.h"
#include "demo/DemoSong.h"

namespace corvane::cli {
namespace {

namespace fs = std::filesystem;
using test::fileContents;
using test::shellQuote;
using test::TempDir;

struct ShellRun {
    int status = -1;
    std::string out, err;
};

// `script` is a shell line in which $CLI is corvane-cli; run in `dir`.
ShellRun shell(const fs::path& dir, const std::string& script) {
    const TempDir logs;
    const std::string command =
        "cd " + shellQuote(dir) + " && CLI=" + shellQuote(CORVANE_CLI_PATH) + " && { " + script +
        "; } >" + shellQuote(logs / "out") + " 2>" + shellQuote(logs / "err");
    const int status = test::runCommand("bash -c " + shellQuote(command));
    return {status, fileContents(logs / "out"), fileContents(logs / "err")};
}

void writeSong(const fs::path& to, double seconds) {
    const dsp::StereoAudio song = demo::makeDemoSong(seconds, 44100.0);
    ASSERT_FALSE(audio::writeWav(to, song.l, song.r, song.sampleRate)) << to;
}

// Every name under `folder`, recursively, relative to it.
std::set<std::string> tree(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        names.insert(e.path().lexically_relative(folder).string());
    return names;
}

std::set<std::string> stems(const std::string& prefix) {
    std::set<std::string> names;
    for (const char* w : {"Vocals", "Drums", "Bass", "Other"}) names.insert(prefix + w + ".wav");
    return names;
}

// Names that two songs, or two outputs of one song, would share, or that would replace an input,
// are found before anything is written: that song is not separated (status 1) and the others are.
// An input that is another song's output is skipped, never separated into stems of stems.
TEST(CliBatch, CollisionsAndInputsAboutToBeReplacedAreRefusedFirst) {
    const TempDir dir;
    fs::create_directories(dir / "a");
    fs::create_directories(dir / "b");
    for (const char* name : {"a/song.wav", "b/song.wav", "x.wav", "x.flac", "...wav"})
        writeSong(dir / name, 2.0);  // x.flac holds WAV data: FFmpeg goes by the contents
    struct Case {
        std::string args, line;
        int status;
        std::set<std::string> written;  // under out/
    };
    const Case cases[] = {
        {"-o out a/song.wav b/song.wav",
         "b/song.wav: not separated: a/song.wav and b/song.wav would both write out/song - "
         "Vocals.wav\n",
         1, stems("song - ")},
        {"-o out x.wav ./x.wav", "./x.wav: not separated: x.wav and ./x.wav would both write", 1,
         stems("x - ")},
        {"-o out x.wav x.flac", "x.flac: not separated: x.wav and x.flac would both write", 1,
         stems("x - ")},
        {"-o out --name '{stem}/../same.{ext}' x.wav",
         "x.wav: not separated: its outputs out/Vocals/../same.wav and out/Drums/../same.wav are "
         "the same file",
         1,
         {}},
        {"-o out x.wav 'out/x - Vocals.wav'",
         "out/x - Vocals.wav: skipped, it is an output of x.wav\n", 0, stems("x - ")},
        {"-o out --name '{track}/{stem}.{ext}' --stems bass ...wav",
         "...wav: 1 stem in",
         0,
         {"...wav", "...wav/Bass.wav"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        fs::remove_all(dir / "out");
        fs::create_directories(dir / "out");
        const ShellRun run = shell(dir.path(), "$CLI " + c.args);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_NE(run.err.find(c.line), std::string::npos) << run.err;
        EXPECT_EQ(tree(dir / "out"), c.written);
    }
}

// A write that fails (here at a file-size limit, as on a full disk) and an interruption by
// SIGINT or SIGTERM: the older file of that name is untouched, no temporary file is left, and
// the status says what happened.
TEST(CliBatch, FailedOrInterruptedWritesLeaveOldFilesAndNoTemporaries) {
    const TempDir dir;
    writeSong(dir / "song.wav", 40.0);
    fs::create_directories(dir / "out");
    const std::string old = "an older take";
    std::ofstream(dir / "out" / "song - Drums.wav") << old;
    const std::set<std::string> before = tree(dir / "out");

    const ShellRun full = shell(dir.path(), "ulimit -f 2000; $CLI -o out song.wav");
    EXPECT_EQ(full.status, 1);
    EXPECT_NE(full.err.find("song.wav: Export failed: out/song - Vocals.wav: File too large"),
              std::string::npos)
        << full.err;
    EXPECT_EQ(tree(dir / "out"), before);
    EXPECT_EQ(fileContents(dir / "out" / "song - Drums.wav"), old);

    // A folder where a stem should go fails the song before any file is renamed.
    fs::create_directories(dir / "out" / "song - Other.wav");
    const ShellRun folder = shell(dir.path(), "$CLI -o out song.wav");
    EXPECT_EQ(folder.status, 1);
    EXPECT_NE(folder.err.find("song.wav: Export failed: out/song - Other.wav: Is a directory"),
              std::string::npos)
        << folder.err;
    EXPECT_EQ(fileContents(dir / "out" / "song - Drums.wav"), old);
    fs::remove(dir / "out" / "song - Other.wav");

    for (const auto& [signal, status] : {std::pair{"INT", 130}, std::pair{"TERM", 143}}) {
        SCOPED_TRACE(signal);
        // The signal comes once the first temporary file exists: in the middle of writing. Every
        // song named still gets its JSON object.
        const ShellRun run =
            shell(dir.path(),
                  "$CLI --json -o out song.wav song.wav & p=$!; "
                  "until ls out/.*.part >/dev/null 2>&1 || ! kill -0 $p 2>/dev/null; "
                  "do sleep 0.005; done; kill -" +
                      std::string(signal) + " $p; wait $p");
        EXPECT_EQ(run.status, status) << run.err;
        EXPECT_NE(run.err.find("Interrupted; unfinished files were removed"), std::string::npos)
            << run.err;
        EXPECT_NE(run.out.find("\"status\":\"interrupted\""), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("\"status\":\"not started\""), std::string::npos) << run.out;
        EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 2) << run.out;
        EXPECT_EQ(tree(dir / "out"), before);
        EXPECT_EQ(fileContents(dir / "out" / "song - Drums.wav"), old);
    }
}

// The process as cron, a service manager or a pipeline may start it: closed standard streams get
// /dev/null (never a stem's file), a reader that quits ends the run with 141 and a line, a
// SIGTERM while a list is read from standard input is an interruption, and the demo's file
// replaces a link at its name rather than writing through it.
TEST(CliProcess, ClosedStreamsPipesSignalsAndLinks) {
    const TempDir dir;
    writeSong(dir / "song.wav", 3.0);
    const ShellRun closed = shell(dir.path(),
                                  "$CLI -j 2 --json -o out song.wav song2.wav >&- 2>&-; "
                                  "echo $? >rc");
    EXPECT_EQ(fileContents(dir / "rc"), "1\n");  // song2.wav is missing; the report went nowhere
    const auto song = audio::readAudio(dir / "song.wav");
    const auto drums = audio::readAudio(dir / "out" / "song - Drums.wav");
    ASSERT_TRUE(song && drums);
    EXPECT_EQ(drums.value().frames(), song.value().frames());

    for (const char* copy : {"b.wav", "c.wav"}) fs::copy_file(dir / "song.wav", dir / copy);
    const ShellRun piped = shell(dir.path(),
                                 "$CLI --json -o p song.wav b.wav c.wav | head -c 10 >/dev/null;"
                                 " echo ${PIPESTATUS[0]}");
    EXPECT_EQ(piped.out, "141\n") << piped.err;
    EXPECT_NE(piped.err.find("Standard output was closed; stopped, unfinished files were removed"),
              std::string::npos)
        << piped.err;

    const ShellRun listening =
        shell(dir.path(), "sleep 5 | $CLI --from - & p=$!; sleep 0.3; kill -TERM $p; wait $p");
    EXPECT_EQ(listening.status, 143) << listening.err;

    fs::create_directories(dir / "demo");
    std::ofstream(dir / "mine.wav") << "my own take";
    fs::create_symlink(dir / "mine.wav", dir / "demo" / "Corvane Demo.wav");
    EXPECT_EQ(shell(dir.path(), "$CLI --demo demo").status, 0);
    EXPECT_EQ(fileContents(dir / "mine.wav"), "my own take");
    EXPECT_FALSE(fs::is_symlink(dir / "demo" / "Corvane Demo.wav"));
}

// --from - with -0 takes names with spaces and newlines; --json gives one valid object per
// song; --skip-existing then resumes: the done song is skipped (its files untouched) and
// counted as done, the one that failed is tried again.
TEST(CliBatch, ListsJsonAndResumingWithSkipExisting) {
    const TempDir dir;
    writeSong(dir / "one.wav", 2.0);
    writeSong(dir / "two\nlines \xe9.wav", 2.0);  // and a Latin-1 byte: not UTF-8
    const std::string list = "printf 'one.wav\\0two\\nlines \\351.wav\\0missing.wav\\0'";
    const ShellRun first = shell(dir.path(), list + " | $CLI -0 --from - --json -j 2 -o out");
    EXPECT_EQ(first.status, 1) << first.err;
    const std::string check =
        "import json,sys\n"
        "import os\n"
        "os.chdir(sys.argv[1])\n"
        "for l in sys.stdin.buffer:\n"
        "  o=json.loads(l.decode('utf-8'))\n"
        "  assert all(os.path.exists(os.fsencode(p)) for p in o['outputs'])\n"
        "  print(o['input'].replace('\\n','|').encode('utf-8','surrogateescape').decode('latin-1'),"
        " o['status'], len(o['outputs']), o['error'] is None, o['seconds'] >= 0)\n";
    std::ofstream(dir / "check.py") << check;
    std::ofstream(dir / "first.json") << first.out;
    std::string lines;
    ASSERT_EQ(
        test::runCommand("python3 " + shellQuote(dir / "check.py") + " " + shellQuote(dir.path()) +
                             " <" + shellQuote(dir / "first.json") + " | sort",
                         &lines),
        0)
        << first.out;
    EXPECT_EQ(lines,
              "missing.wav failed 0 False True\none.wav done 4 True True\n"
              "two|lines \xc3\xa9.wav done 4 True True\n");
    EXPECT_EQ(tree(dir / "out"), [] {
        std::set<std::string> all = stems("one - ");
        all.merge(stems("two\nlines \xe9 - "));
        return all;
    }());

    const auto stamp = fs::last_write_time(dir / "out" / "one - Bass.wav");
    writeSong(dir / "missing.wav", 2.0);
    const ShellRun again = shell(dir.path(), list + " | $CLI -0 --from - --skip-existing -o out");
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_NE(again.err.find("one.wav: skipped, its files exist\n"), std::string::npos);
    EXPECT_NE(again.err.find("missing.wav: 4 stems in "), std::string::npos) << again.err;
    EXPECT_NE(again.err.find("Separated 3 files (2 already done)"), std::string::npos);
    EXPECT_EQ(fs::last_write_time(dir / "out" / "one - Bass.wav"), stamp);
    // Nothing left to do: no audio, time or speed to report.
    const ShellRun done = shell(dir.path(), list + " | $CLI -0 --from - --skip-existing -o out");
    EXPECT_TRUE(done.err.ends_with("\nSeparated 3 files (3 already done)\n")) << done.err;
}

// The peak (KiB, as getrusage reports it) of corvane-cli with `options` on `seconds` of pink
// noise as FLAC, which it must separate into one stem. ru_maxrss of the children is the largest
// of them: corvane-cli, far above ffmpeg and bash; so one measurement per test.
long peakKibOn(int seconds, const std::string& options) {
    const TempDir dir;
    const std::string source = "'anoisesrc=d=" + std::to_string(seconds) + ":c=pink:a=0.1:r=44100'";
    EXPECT_EQ(test::runCommand("ffmpeg -nostdin -loglevel error -f lavfi -i " + source +
                               " -ac 2 -compression_level 0 " + shellQuote(dir / "long.flac")),
              0);
    const ShellRun run =
        shell(dir.path(), "exec $CLI " + options + " --format flac --stems bass -o out long.flac");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("long.flac: 1 stem in "), std::string::npos) << run.err;
    rusage after{};
    getrusage(RUSAGE_CHILDREN, &after);
    testing::Test::RecordProperty("peak_kib", std::to_string(after.ru_maxrss));
    return after.ru_maxrss;
}

// Memory does not grow with the song: 20 minutes of noise (whole, that is 1.7 GB of input and
// stems) are separated with the process's peak under 300 MB.
TEST(CliMemory, TwentyMinutesPeakUnder300MB) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's shadow memory and quarantine are not the program's";
#endif
    EXPECT_LT(peakKibOn(1200, ""), 300 * 1024) << "KiB";
}

// --refined streams too: three minutes, which whole would need over 400 MB (44 bytes a sample
// frame beyond the input), stay under 300 MB.
TEST(CliMemory, RefinedThreeMinutesPeakUnder300MB) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's shadow memory and quarantine are not the program's";
#endif
    EXPECT_LT(peakKibOn(180, "--refined"), 300 * 1024) << "KiB";
}

// The README's recipes, run here: GNU parallel with two job slots on this machine (":" stands
// for the SSH hosts) over generated songs and one broken file, then the retry that skips what
// is done; and the Slurm array's slicing of a list, every song in exactly one task.
TEST(CliRecipes, GnuParallelWithRetriesAndSlurmSlices) {
    if (test::runCommand("command -v parallel >/dev/null") != 0) GTEST_SKIP() << "no parallel";
    const TempDir dir;
    fs::create_directories(dir / "music" / "album");
    for (const char* name : {"music/one.wav", "music/album/two songs.wav", "music/three.wav"})
        writeSong(dir / name, 2.0);
    std::ofstream(dir / "music" / "broken.wav") << "not audio";
    const std::string recipe =
        "find music -name '*.wav' -print0 | parallel --will-cite -0 --sshlogin 2/: "
        "--joblog jobs.log $CLI --skip-existing -o stems --name \"'{track}/{stem}.{ext}'\" {}";
    const ShellRun first = shell(dir.path(), recipe);
    EXPECT_EQ(first.status, 1) << first.err;  // parallel: the number of failed jobs
    std::set<std::string> expected = {"one", "two songs", "three"};
    for (const char* song : {"one", "two songs", "three"})
        for (const std::string& stem : stems(std::string(song) + "/")) expected.insert(stem);
    EXPECT_EQ(tree(dir / "stems"), expected);
    // The job log's exit values: 0 for each song, 1 for the broken file.
    std::string exits;
    ASSERT_EQ(test::runCommand("cd " + shellQuote(dir.path()) +
                                   " && awk -F'\\t' 'NR > 1 {print $7, $NF ~ /broken/}' "
                                   "jobs.log | sort",
                               &exits),
              0);
    EXPECT_EQ(exits, "0 0\n0 0\n0 0\n1 1\n");

    const ShellRun retry = shell(dir.path(), recipe);
    EXPECT_EQ(retry.status, 1);
    for (const char* song : {"one.wav", "two songs.wav", "three.wav"})
        EXPECT_NE(retry.err.find(std::string(song) + ": skipped, its files exist"),
                  std::string::npos)
            << retry.err;

    std::string slices;
    ASSERT_EQ(
        test::runCommand("cd " + shellQuote(dir.path()) +
                             " && find music -name '*.wav' | sort > songs.txt && for i in 0 1 "
                             "2; do SLURM_ARRAY_TASK_ID=$i SLURM_ARRAY_TASK_COUNT=3; sed -n "
                             "\"$((SLURM_ARRAY_TASK_ID + 1))~${SLURM_ARRAY_TASK_COUNT}p\" "
                             "songs.txt; done | sort | diff - songs.txt && wc -l <songs.txt",
                         &slices),
        0);
    EXPECT_EQ(slices, "4\n");
}

}  // namespace
}  // namespace corvane::cli
