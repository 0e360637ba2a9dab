// SPDX-License-Identifier: GPL-3.0-or-later
// corvane-bench: prints one figure per line as "name value unit" on stdout, progress notes on
// stderr. Nothing here passes or fails; scripts/bench builds it in Release and runs it.
#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "audio/AudioFileReader.h"
#include "audio/AudioFileWriter.h"
#include "demo/DemoSong.h"
#include "dsp/Separator.h"

extern char** environ;

namespace corvane::bench {

namespace {

namespace fs = std::filesystem;

// Every timing is the median of this many runs: one slow run (a page-cache miss, another process
// waking up) then moves nothing, and the whole bench still takes well under a minute.
// A field of /proc/self/status in bytes ("VmRSS", "VmHWM"), if the kernel has it.
std::optional<double> statusBytes(std::string_view field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.size() > field.size() && line.compare(0, field.size(), field) == 0 &&
            line[field.size()] == ':')
            return std::strtod(line.c_str() + field.size() + 1, nullptr) * 1024.0;  // kB
    }
    return std::nullopt;
}

// Makes VmHWM start again from the current RSS.
bool resetPeakRss() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return static_cast<bool>(clear);
}

// A program's exit status (-1 if it did not run or exit), peak resident size and CPU time.
// The peak is the child's VmHWM, polled while it runs: getrusage's ru_maxrss of a child started
// by posix_spawn also counts this process's own peak, since the child began on its memory.
struct Measured {
    int status = -1;
    double peakBytes = 0.0;
    double cpuSeconds = 0.0;
};
// Without `pollPeak` it only waits: a timed run then shares the cores with nothing of ours.
Measured runMeasured(const std::vector<std::string>& argv, bool pollPeak = true) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    Measured m;
    if (spawned != 0) return m;
    int status = 0;
    rusage usage{};
    const std::string statusFile = "/proc/" + std::to_string(pid) + "/status";
    while (true) {
        const pid_t done = wait4(pid, &status, pollPeak ? WNOHANG : 0, &usage);
        if (done == pid) break;
        if (done < 0) return m;
        std::ifstream in(statusFile);
        for (std::string line; std::getline(in, line);)
            if (line.starts_with("VmHWM:"))
                m.peakBytes =
                    std::max(m.peakBytes, std::strtod(line.c_str() + 6, nullptr) * 1024.0);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    m.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
    };
    m.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    return m;
}

// Runs a program with stdout and stderr thrown away; its exit status, or -1.
int runQuietly(const std::vector<std::string>& argv) { return runMeasured(argv, false).status; }

// Separation of a generated 200-second song, in memory: time, speed-up over one worker, memory.
void benchSeparate() {
    note("separating 200 s of the demo song");
    const dsp::StereoAudio song = demo::makeDemoSong(kSeparateSeconds, kSampleRate);
    const dsp::ProgressFn noProgress = [](double) {};

    // Memory first, while the heap holds nothing of earlier runs that RSS would count as "before".
    malloc_trim(0);
    const std::optional<double> before = statusBytes("VmRSS");
    if (before && resetPeakRss()) {
        // The first run also pays for memory the process has never touched: timed on its own.
        const Clock::time_point start = Clock::now();
        const std::vector<dsp::StemData> stems = dsp::Separator::separate(song, noProgress);
        printFigure("separate_200s_first_run_seconds",
                    std::chrono::duration<double>(Clock::now() - start).count(), "s");
        if (const std::optional<double> peak = statusBytes("VmHWM"))
            printFigure("separate_peak_bytes_per_frame",
                        (*peak - *before) / static_cast<double>(song.frames()), "B", 1);
    } else {
        note("no /proc/self/clear_refs: peak memory not measured");
    }

    const double parallel =
        medianSeconds([&] { return dsp::Separator::separate(song, noProgress); });
    printFigure("separate_200s_seconds", parallel, "s");
    printFigure("separate_200s_realtime_factor", kSeparateSeconds / parallel, "x", 1);

    const double single = medianSeconds([&] {
        return dsp::Separator::separate(song, noProgress, dsp::SeparatorOptions{.workers = 1});
    });
    printFigure("separate_200s_1worker_seconds", single, "s");
    printFigure("separate_parallel_speedup", single / parallel, "x", 2);

    // The refined method on the same song: its memory measured the same way (its first run on
    // the heap the standard runs have used and released), its time also as a ratio to the
    // standard time of this run, which a busy machine moves less than either.
    const dsp::SeparatorOptions refined{.method = dsp::SeparationMethod::refined};
    malloc_trim(0);
    const std::optional<double> refinedBefore = statusBytes("VmRSS");
    if (refinedBefore && resetPeakRss()) {
        const std::vector<dsp::StemData> stems =
            dsp::Separator::separate(song, noProgress, refined);
        if (const std::optional<double> peak = statusBytes("VmHWM"))
            printFigure("separate_refined_peak_bytes_per_frame",
                        (*peak - *refinedBefore) / static_cast<double>(song.frames()), "B", 1);
    }
    const double refinedSeconds =
        medianSeconds([&] { return dsp::Separator::separate(song, noProgress, refined); });
    printFigure("separate_refined_200s_seconds", refinedSeconds, "s");
    printFigure("separate_refined_vs_standard_ratio", refinedSeconds / parallel, "x", 2);
}

// The whole command-line tool on a 3-minute MP3, and the decoding part of it alone; then the
// studio model loading and playing the same song. `loadOnly` keeps to the CLI and the model's load
// of the song, with the ratio of the two in this run.
void benchCli(bool loadOnly) {
    char pattern[] = "/tmp/corvane-bench-XXXXXX";
    if (!mkdtemp(pattern)) {
        note("cannot make a temporary folder: CLI figures skipped");
        return;
    }
    const fs::path dir = pattern;
    const fs::path wav = dir / "x.wav";
    const fs::path mp3 = dir / "x.mp3";

    note("encoding a 3-minute MP3");
    {
        const dsp::StereoAudio song = demo::makeDemoSong(kCliSeconds, kSampleRate);
        if (audio::writeWav(wav, song.l, song.r, song.sampleRate)) note("could not write x.wav");
    }
    const int encoded = runQuietly({"/usr/bin/env", "ffmpeg", "-nostdin", "-loglevel", "error",
                                    "-y", "-i", wav.string(), "-b:a", "192k", mp3.string()});
    fs::remove(wav);
    if (encoded != 0) {
        note("ffmpeg could not make the MP3: CLI figures skipped");
    } else {
        const double decode = medianSeconds([&] { return audio::readAudio(mp3); });
        printFigure("decode_3min_mp3_seconds", decode, "s");

        note("running corvane-cli on it");
        const std::vector<std::string> cli = {CORVANE_CLI_PATH, "-o", (dir / "out").string(),
                                              mp3.string()};
        bool failed = false;
        const double whole = medianSeconds([&] {
            failed = failed || runQuietly(cli) != 0;
            return 0;
        });
        if (failed)
            note("corvane-cli failed on the MP3: cli_3min_mp3_seconds not printed");
        else
            printFigure("cli_3min_mp3_seconds", whole, "s");

        if (loadOnly) {
            note("loading it into the studio model");
            const double load = benchModelLoad(mp3);
            if (load > 0 && !failed) printFigure("model_load_over_cli", load / whole, "x", 2);
            std::error_code ec;
            fs::remove_all(dir, ec);
            return;
        }

        note("running corvane-cli --map on it");
        std::vector<std::string> mapCli = cli;
        mapCli.insert(mapCli.begin() + 1, "--map");
        bool mapFailed = false;
        const double withMap = medianSeconds([&] {
            mapFailed = mapFailed || runQuietly(mapCli) != 0;
            return 0;
        });
        if (mapFailed || failed) {
            note("corvane-cli --map failed on the MP3: cli_map_3min_mp3_seconds not printed");
        } else {
            printFigure("cli_map_3min_mp3_seconds", withMap, "s");
            printFigure("cli_map_over_plain", withMap / whole, "x", 2);
        }

        note("loading it into the studio model");
        benchModel(mp3);
        note("drawing the studio window");
        benchWindow(mp3, CORVANE_APP_PATH);
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
}

// The same maths as a user would script it (bench/numpy_reference.py, with Debian's numpy and
// scipy) on the same file, once (it takes some 20 times as long): the ratio of the two, both
// measured in this run, is what another job on the machine moves least.
void benchNumpy(const fs::path& song, const fs::path& out, double cliSeconds,
                double refinedSeconds) {
    note("running the numpy version of the same separation on it");
    const Clock::time_point start = Clock::now();
    const Measured m =
        runMeasured({"/usr/bin/python3", CORVANE_SOURCE_DIR "/bench/numpy_reference.py",
                     song.string(), out.string()},
                    false);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (m.status != 0) {
        note("the numpy version failed (python3-numpy, python3-scipy?): no speed-up printed");
        return;
    }
    printFigure("numpy_197s_flac_seconds", seconds, "s");
    // numpy works on one core, the CLI on both: a busy machine lowers the wall-time ratio more
    // than the work each does, which the CPU times (decoding included on both sides) show.
    printFigure("numpy_197s_flac_cpu_seconds", m.cpuSeconds, "s");
    printFigure("cli_speedup_over_numpy", seconds / cliSeconds, "x", 1);
    if (refinedSeconds > 0)
        printFigure("cli_refined_speedup_over_numpy", seconds / refinedSeconds, "x", 1);
}

// corvane-cli as a catalogue tool: the whole process on a 197-second FLAC (decoded, separated and
// written as four WAVs in overlapped blocks), its CPU time beside it (CPU above wall time is the
// overlap at work), and the peak memory on a one-hour FLAC, which streaming keeps bounded.
void benchCatalogue() {
    std::string pattern = (fs::temp_directory_path() / "corvane-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        note("cannot make a temporary folder: catalogue figures skipped");
        return;
    }
    const fs::path dir = pattern;
    const fs::path wav = dir / "x.wav", flac = dir / "x.flac", hour = dir / "hour.flac";
    note("encoding a 197-second FLAC");
    {
        const dsp::StereoAudio song = demo::makeDemoSong(197.0, kSampleRate);
        if (audio::writeWav(wav, song.l, song.r, song.sampleRate)) note("could not write x.wav");
    }
    const int encoded = runQuietly({"/usr/bin/env", "ffmpeg", "-nostdin", "-loglevel", "error",
                                    "-y", "-i", wav.string(), flac.string()});
    fs::remove(wav);
    if (encoded == 0) {
        note("running corvane-cli on it");
        const std::vector<std::string> cli = {CORVANE_CLI_PATH, "-o", (dir / "out").string(),
                                              flac.string()};
        std::vector<double> cpu;
        bool failed = false;
        const double wall = medianSeconds([&] {
            const Measured m = runMeasured(cli, false);
            failed = failed || m.status != 0;
            cpu.push_back(m.cpuSeconds);
            return 0;
        });
        std::sort(cpu.begin(), cpu.end());
        if (failed) {
            note("corvane-cli failed on the FLAC: cli_197s_flac_seconds not printed");
        } else {
            printFigure("cli_197s_flac_seconds", wall, "s");
            printFigure("cli_197s_flac_cpu_seconds", cpu[cpu.size() / 2], "s");
            // The same with --refined (streamed too), beside the numpy time of this run.
            note("running corvane-cli --refined on it");
            std::vector<std::string> refinedCli = cli;
            refinedCli.insert(refinedCli.begin() + 1, "--refined");
            bool refinedFailed = false;
            const double refinedWall = medianSeconds([&] {
                refinedFailed = refinedFailed || runMeasured(refinedCli, false).status != 0;
                return 0;
            });
            if (refinedFailed)
                note(
                    "corvane-cli --refined failed on the FLAC: cli_refined_197s_flac_seconds "
                    "not printed");
            else
                printFigure("cli_refined_197s_flac_seconds", refinedWall, "s");
            benchNumpy(flac, dir / "numpy", wall, refinedFailed ? 0.0 : refinedWall);
        }
    } else {
        note("ffmpeg could not make the FLAC: cli_197s_flac_seconds not printed");
    }

    note("one hour of noise as FLAC, through corvane-cli");
    const int made = runQuietly({"/usr/bin/env", "ffmpeg", "-nostdin", "-loglevel", "error", "-y",
                                 "-f", "lavfi", "-i", "anoisesrc=d=3600:c=pink:a=0.1:r=44100",
                                 "-ac", "2", "-compression_level", "0", hour.string()});
    if (made == 0) {
        const Measured m = runMeasured({CORVANE_CLI_PATH, "--format", "flac", "--stems", "bass",
                                        "-o", (dir / "hour").string(), hour.string()});
        if (m.status == 0)
            printFigure("cli_1h_peak_mb", m.peakBytes / 1e6, "MB", 0);
        else
            note("corvane-cli failed on the hour: cli_1h_peak_mb not printed");
        // Refined streams with a bounded context either side of each block: bounded as well.
        note("the same hour with --refined");
        const Measured refined =
            runMeasured({CORVANE_CLI_PATH, "--refined", "--format", "flac", "--stems", "bass", "-o",
                         (dir / "hour-refined").string(), hour.string()});
        if (refined.status == 0)
            printFigure("cli_1h_refined_peak_mb", refined.peakBytes / 1e6, "MB", 0);
        else
            note("corvane-cli --refined failed on the hour: cli_1h_refined_peak_mb not printed");
    } else {
        note("ffmpeg could not make the hour: cli_1h_peak_mb not printed");
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
}

}  // namespace

}  // namespace corvane::bench

int main(int argc, char** argv) {
    // The studio model runs on an event loop, the window benchmark draws widgets: offscreen when
    // there is no display.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // Sections by name ("catalogue" for the command-line figures alone, "map" for the song map
    // beside a separation, "load" for the studio's load of a song against the CLI's, "playback" for stretched playback's quality and cost, "playhead" for
    // the playhead against the sound server); all without a name.
    auto wanted = [&](std::string_view section) {
        return argc < 2 || std::find(argv + 1, argv + argc, section) != argv + argc;
    };
    if (wanted("separate")) corvane::bench::benchSeparate();
    if (wanted("separate") || wanted("map")) corvane::bench::benchSongMap();
    if (wanted("cli")) corvane::bench::benchCli(false);
    if (wanted("load") && argc >= 2 && !wanted("cli")) corvane::bench::benchCli(true);
    if (wanted("catalogue")) corvane::bench::benchCatalogue();
    if (wanted("playback")) corvane::bench::benchPlayback();
    if (wanted("playback") || wanted("playhead")) corvane::bench::benchPlayhead();
    return 0;
}
