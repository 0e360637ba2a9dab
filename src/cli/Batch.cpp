// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/Batch.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include "audio/DisplayText.h"
#include "cli/ProgressBar.h"
#include "cli/Signals.h"
#include "cli/StemJob.h"
#include "dsp/common/ParallelFor.h"

namespace corvane::cli {

void runBatch(const std::vector<SongPlan>& songs, const CliOptions& options, Report& report) {
    using Clock = std::chrono::steady_clock;
    const bool terminal = ::isatty(STDERR_FILENO) == 1 && options.jobs == 1 && !options.json;
    const int threads = std::min<int>(options.jobs, static_cast<int>(songs.size()));
    const int workersPerSong = std::max(1, dsp::defaultWorkerCount() / std::max(threads, 1));
    // 0 not started, 1 running or stopped part-way, 2 reported.
    const auto state = std::make_unique<std::atomic<int>[]>(songs.size());

    auto runSong = [&](std::size_t i) {
        const SongPlan& song = songs[i];
        const Clock::time_point start = Clock::now();
        state[i] = 1;
        SongOutcome outcome;
        if (song.verdict == SongPlan::Verdict::refuse) {
            outcome = SongOutcome::with(SongOutcome::Status::failed, song.why);
        } else if (song.verdict == SongPlan::Verdict::skip) {
            outcome = SongOutcome::with(SongOutcome::Status::skipped, song.why);
        } else {
            std::optional<ProgressBar> bar;
            if (terminal) {
                bar.emplace(stderr, audio::escapeControlCharacters(song.input.string()));
                bar->phase("separating");
            }
            StemJobSettings settings;
            settings.encode = options.encode;
            if (options.refined) settings.method = dsp::SeparationMethod::refined;
            settings.workers = workersPerSong;
            settings.cancel = &stopFlag();
            if (bar) settings.progress = [&](double f) { bar->update(f); };
            outcome = separateSong(song.input, song.outputs, settings);
            if (bar) bar->clear();
        }
        if (outcome.status == SongOutcome::Status::cancelled) return;
        report.song(song, outcome, std::chrono::duration<double>(Clock::now() - start).count());
        state[i] = 2;
    };

    std::atomic<std::size_t> next{0};
    auto worker = [&] {
        for (std::size_t i; !stopping() && (i = next.fetch_add(1)) < songs.size();) runSong(i);
    };
    if (threads <= 1) {
        worker();
    } else {
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t) pool.emplace_back(worker);
        for (std::thread& t : pool) t.join();
    }
    if (!stopping()) return;
    for (std::size_t i = 0; i < songs.size(); ++i)
        if (state[i] != 2) report.unfinished(songs[i], state[i] == 1);
}

}  // namespace corvane::cli
