// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include "cli/CliOptions.h"
#include "cli/OutputPlan.h"
#include "cli/StemJob.h"

namespace corvane::cli {

// What a run tells: one line per song on the error stream ("Song.mp3: 4 stems in 0.42 s"), one
// JSON object per song on the output stream with --json, and the summary at the end. Every song
// named gets its JSON object, also after an interruption ("interrupted", "not started").
// A closed output stream (a pipe whose reader quit) stops the run through requestStop(), never a
// silent death. Any thread; lines are written whole, under one mutex.
class Report {
public:
    Report(const CliOptions& options, std::FILE* out, std::FILE* err);

    // The outcome of a song that was planned, started or skipped.
    void song(const SongPlan& plan, const SongOutcome& outcome, double seconds);
    // A song the run did not finish: `started` tells "interrupted" from "not started". JSON only.
    void unfinished(const SongPlan& plan, bool started);
    // "Separated 3 files (3:25 of audio) in 0.63 s, 325× real time; 1 failed".
    void summary() const;
    // 0 when every song was separated or skipped, 1 when any failed.
    int exitStatus() const;

private:
    void json(const SongPlan& plan, const char* status, const SongOutcome* outcome,
              double seconds);
    std::string stemCount() const;

    const CliOptions& m_options;
    std::FILE* m_out;
    std::FILE* m_err;
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
    mutable std::mutex m_mutex;
    int m_done = 0;  // skipped songs included
    int m_skipped = 0;
    int m_failed = 0;
    double m_audioSeconds = 0.0;
};

}  // namespace corvane::cli
