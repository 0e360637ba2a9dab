// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "dsp/Separator.h"
#include "dsp/StreamingSeparator.h"

namespace corvane::dsp {

// The Standard method (callers use Separator and StreamingSeparator; this is its home): the mid
// magnitude of every 2048-sample frame, harmonic (median along time over 13 frames) against
// percussive (median along frequency over 13 bins) as a soft mask, the centre measure of each
// bin, and the bass cross-over at 120-180 Hz, as gains that share every bin among the four stems
// and sum to 1.
//
// One implementation serves both forms. Every step is local, so the song is separated a block of
// kBlockFrames frames at a time: a frame's mask needs the magnitudes of six frames either side
// and an output sample the two frames that cover it. The whole song is the same engine run over
// the song in place, writing straight into the stems, so both give the same bits.
//
// Frames whose samples exceed kMaxFramePeak (StftFrames.h) are analysed scaled down, so any
// finite input gives finite stems that sum to it.

// Same contract as Separator::separate: progress in three passes (analysis 0 to 0.2, masks 0.2
// to 0.6, synthesis 0.6 to 1), counted per frame, per frame, and per frame, stem and channel.
std::vector<StemData> separateStandard(const StereoAudio& audio, const ProgressFn& progress,
                                       const SeparatorOptions& options);

// StreamingSeparator's engine for the Standard method, with its threads and contract.
// Memory: about 75 kB per frame of the block (about 30 MB), whatever the song's length.
class StandardStream {
public:
    static std::unique_ptr<StandardStream> create(double sampleRate, StreamingSeparator::Sink sink,
                                                  const SeparatorOptions& options);
    ~StandardStream();
    StandardStream(const StandardStream&) = delete;
    StandardStream& operator=(const StandardStream&) = delete;

    void push(std::span<const float> l, std::span<const float> r);
    void finish();
    std::int64_t frames() const;

    struct Engine;

private:
    explicit StandardStream(std::unique_ptr<Engine> engine);
    std::unique_ptr<Engine> m_engine;
};

}  // namespace corvane::dsp
