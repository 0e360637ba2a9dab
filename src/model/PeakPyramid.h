// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "dsp/common/StemData.h"

namespace corvane::model {

// The smallest and largest sample of a stretch of a stem, both channels together. Empty (nothing
// read) when min > max.
struct PeakRange {
    float min;
    float max;

    static PeakRange empty();
    bool isEmpty() const { return min > max; }
    void add(const PeakRange& other);
    friend bool operator==(const PeakRange&, const PeakRange&) = default;
};

// Minimum and maximum of one stem over blocks of kBlockFrames frames, then over pairs of those,
// and so on up to one value for the whole stem: any stretch of the stem then costs a few dozen
// values plus at most two partial blocks of samples, whatever its length, so a waveform of a
// one-hour song can be drawn at any zoom in O(pixels). About 16 bytes per 256 frames.
//
// Built once per song; immutable after. Pure, no allocation after build(); any thread.
class PeakPyramid {
public:
    static constexpr std::int64_t kBlockFrames = 256;

    PeakPyramid() = default;
    // Reads the first `frames` frames of both channels (no further than either goes). When
    // `cancel` is given and becomes true, stops within about a million frames and gives an empty
    // pyramid.
    static PeakPyramid build(const dsp::StemData& stem, std::int64_t frames,
                             const std::atomic<bool>* cancel = nullptr);

    // min and max over frames [from, to) of `stem`, the one it was built from; exact: whole
    // blocks from the levels, partial ones from the samples. Limited to the frames built; an
    // empty range gives PeakRange::empty(). NaN samples are never a minimum or maximum.
    PeakRange range(const dsp::StemData& stem, std::int64_t from, std::int64_t to) const;

    std::int64_t frames() const { return m_frames; }
    // The largest magnitude of any sample (0 for an empty stem).
    float peakAbs() const;
    int levels() const { return static_cast<int>(m_levels.size()); }

private:
    std::int64_t m_frames = 0;
    // m_levels[0][b] covers frames [b, b + 1) * kBlockFrames (the last block may be shorter);
    // m_levels[k][b] merges m_levels[k - 1][2b] and [2b + 1] (if there is one).
    std::vector<std::vector<PeakRange>> m_levels;
};

// The min and max of frames [from, to) read sample by sample: what PeakPyramid::range() must
// equal, and what it reads for partial blocks.
PeakRange scanRange(const dsp::StemData& stem, std::int64_t from, std::int64_t to);

}  // namespace corvane::model
