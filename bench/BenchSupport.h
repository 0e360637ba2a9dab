// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::bench {

using Clock = std::chrono::steady_clock;

// Every timing is the median of this many runs: one slow run (a page-cache miss, another process
// waking up) then moves nothing, and the whole bench still takes well under a minute.
constexpr int kRuns = 3;

constexpr double kSampleRate = 44100.0;
constexpr double kSeparateSeconds = 200.0;
constexpr double kCliSeconds = 180.0;

inline void printFigure(std::string_view name, double value, std::string_view unit,
                        int decimals = 3) {
    std::printf("%.*s %.*f %.*s\n", static_cast<int>(name.size()), name.data(), decimals, value,
                static_cast<int>(unit.size()), unit.data());
    std::fflush(stdout);
}

inline void note(const char* text) { std::fprintf(stderr, "corvane-bench: %s\n", text); }

// Median wall time of `kRuns` calls of `run`, in seconds. `run` returns what it made so that
// freeing it happens after the clock stops.
template <class Run>
double medianSeconds(Run run) {
    std::vector<double> seconds;
    for (int i = 0; i < kRuns; ++i) {
        const Clock::time_point start = Clock::now();
        [[maybe_unused]] auto made = run();
        seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    std::sort(seconds.begin(), seconds.end());
    return seconds[seconds.size() / 2];
}

// Studio model figures on a song file: load to ready, the longest main-thread stall while
// loading, and the cost of play() and seek() during playback.
void benchModel(const std::filesystem::path& song);
// The model's load alone (model_load_3min_mp3_seconds and its longest stall); returns the median
// load in seconds, 0 if the song did not load.
double benchModelLoad(const std::filesystem::path& song);

// Window figures with the studio of `song` at 1000 x 700: the whole window's paint, one playhead
// tick, and the real binary's start-up to a drawn window.
void benchWindow(const std::filesystem::path& song, const std::string& corvanePath);

// The song map of 200 s of separated stems, with the separation's time in the same run.
void benchSongMap();

// Stretched playback of a steady tone at each tempo and pitch: the tone's frequency error and
// impurity (the energy from f/2 to 2f outside +-3 Hz of it, against the energy within), beside
// Rubber Band's own offline R3 on the same tone, and the CPU it costs per second of audio.
void benchPlayback();
void benchPlayhead();


}  // namespace corvane::bench
