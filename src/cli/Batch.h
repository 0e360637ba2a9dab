// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <vector>

#include "cli/CliOptions.h"
#include "cli/OutputPlan.h"
#include "cli/Report.h"

namespace corvane::cli {

// Runs the planned songs, --jobs at a time on a pool of threads that share the cores (each
// separation gets its share of the workers), and reports each to `report`; a progress bar on the
// error stream when one song runs at a time on a terminal. Stops taking songs once stopping()
// (Signals.h); the songs it did not finish are then reported as interrupted or not started.
// Main thread; blocks until every song is done or the run stopped.
void runBatch(const std::vector<SongPlan>& songs, const CliOptions& options, Report& report);

}  // namespace corvane::cli
