// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "analysis/SongMap.h"
#include "dsp/StreamingSeparator.h"
#include "dsp/common/StemData.h"
#include "dsp/common/StereoAudio.h"

namespace corvane::analysis {

// Progress: the fraction done, 0 to 1, from the thread that runs the analysis, rising.
using ProgressFn = std::function<void(double fraction)>;

struct AnalysisOptions {
    // Threads for the frame computations; 0 means max(hardware threads, 2).
    int workers = 0;
    // When set (from any thread), the analysis stops within one block's or one step's work and
    // gives no map: for a song that was replaced or a window that closes.
    const std::atomic<bool>* cancel = nullptr;
};

// Reads a song map (beats, bars, tempo, key, chords, sections) from the four separated stems:
// rhythm from the drums stem (from the mix where the drums are nearly silent), harmony from the
// other stems without the drums in the way. The same analysis runs on a plain
// mix (Input::mix), where every stem is the mix.
//
// Feed it the song in order, a block at a time (any block sizes; the command line hands on the
// streaming separator's blocks), then call finish() once. Each block is reduced at once to a few
// numbers per 11.6 ms frame and 92.9 ms chroma frame, so memory grows by about 0.5 MB per minute
// of song (31 MB per hour); while a block is reduced, nine floats per sample of the block (mono
// copies of the stems and their sums) and one analysis window per signal (16384 samples at most
// at 44.1 kHz) come on top. Deterministic: the same samples give the same map for any block
// sizes and worker counts. One thread at a time (any thread); the frames of each block are
// computed on `workers` threads. The map of 200 s of stems takes about half the Standard
// separation's time (corvane-bench's map_200s_seconds).
class SongMapAnalyser {
public:
    enum class Input { stems, mix };

    // Null when the FFT plans cannot be made. `sampleRate` in Hz, the stems' own rate.
    static std::unique_ptr<SongMapAnalyser> create(double sampleRate, Input input,
                                                   const AnalysisOptions& options = {});
    ~SongMapAnalyser();
    SongMapAnalyser(const SongMapAnalyser&) = delete;
    SongMapAnalyser& operator=(const SongMapAnalyser&) = delete;

    // Input::stems only: the next block of the four stems (all eight channels the same length).
    void push(const dsp::StemBlock& block);
    // Input::mix only: the next block of the mix (l and r of equal length).
    void pushMix(std::span<const float> l, std::span<const float> r);
    // The song has ended: tracks the beats and finds the bars, chords, key and sections. Reports
    // progress on the calling thread. Absent when cancelled. Call once.
    std::optional<SongMap> finish(const ProgressFn& progress = {});

    // The whole song at once: stems in StemKind order (vocals, drums, bass, other), stereo at
    // `sampleRate`. Progress covers the whole analysis. Absent when cancelled, when the stems are
    // not four of equal length, or when the FFT plans cannot be made.
    static std::optional<SongMap> analyseStems(const std::vector<dsp::StemData>& stems,
                                               double sampleRate, const ProgressFn& progress = {},
                                               const AnalysisOptions& options = {});
    static std::optional<SongMap> analyseMix(const dsp::StereoAudio& mix,
                                             const ProgressFn& progress = {},
                                             const AnalysisOptions& options = {});

private:
    struct Impl;
    explicit SongMapAnalyser(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m;
};

}  // namespace corvane::analysis
