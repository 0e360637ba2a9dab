// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <functional>
#include <vector>

#include "dsp/common/StemData.h"
#include "dsp/common/StereoAudio.h"

namespace corvane::dsp {

// Progress callback: the fraction done, 0 to 1. Called from worker threads, possibly concurrently
// and out of order; it must be thread-safe and must not assume rising values.
using ProgressFn = std::function<void(double fraction)>;

// Standard: the fixed method below, bit for bit, and the default. Refined: cleaner stems for more
// time, with the same guarantees (the stems sum to the input, worker count does not matter).
enum class SeparationMethod { standard, refined };

struct SeparatorOptions {
    SeparationMethod method = SeparationMethod::standard;
    // Worker threads for the parallel passes; 0 means max(hardware threads, 2).
    int workers = 0;
    // When set (from any thread), the separation stops within about one frame's work per worker
    // and returns an empty list: for work nobody wants any more, such as at exit.
    const std::atomic<bool>* cancel = nullptr;
};

// Splits a song into vocals, drums, bass and other by STFT, median filtering, a centre measure
// and a bass cross-over. Every time-frequency bin is shared among the stems by gains summing to 1,
// so the four stems add back to the input within single-precision rounding.
//
// Stateless; any thread; blocks until done. Returns four stems of the input's length in StemKind
// order (four empty stems for empty input), or an empty list if the FFT plan cannot be made or
// the separation was cancelled.
// Non-finite input samples are treated as silence. Allocates the whole working set per call.
class Separator {
public:
    Separator() = delete;
    static std::vector<StemData> separate(const StereoAudio& audio, const ProgressFn& progress,
                                          const SeparatorOptions& options = {});
};

}  // namespace corvane::dsp
