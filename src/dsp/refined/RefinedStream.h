// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "dsp/Separator.h"
#include "dsp/StreamingSeparator.h"

namespace corvane::dsp {

// The Refined separation of a song that arrives in pieces, bit-identical to the whole song's,
// with memory bounded by the sample rate instead of the song's length. Every Refined estimate
// looks at most about 20 s away (the repeating background's reach, RefinedSeparator.h), so the
// song is separated a block at a time with refinedContextFrames() of song on either side, of
// which only the block's own samples are kept; the context is analysed again by the next block,
// the price of streaming (the analysis about 2.1 times the whole song's, the synthesis once).
//
// StreamingSeparator's engine for SeparationMethod::refined, with its threads and contract.
// Memory: about 250 MB at any rate from 25 kHz up (a block of 1,536 frames, 36 s at 44.1 kHz,
// and 880 frames of context either side; the window and the stems keep their memory from block
// to block, so that no block faults in fresh pages for them).
class RefinedStream {
public:
    RefinedStream(double sampleRate, StreamingSeparator::Sink sink,
                  const SeparatorOptions& options);

    void push(std::span<const float> l, std::span<const float> r);
    void finish();
    std::int64_t frames() const { return m_n; }

    // STFT frames kept from each block at `sampleRate`, and of context either side.
    static std::int64_t blockFrames(double sampleRate);

private:
    void run();

    double m_sampleRate;
    StreamingSeparator::Sink m_sink;
    SeparatorOptions m_options;
    std::int64_t m_context;         // samples either side of a block
    std::int64_t m_block;           // samples
    std::vector<float> m_l, m_r;    // input from m_base on
    StereoAudio m_window;           // the block and its context, as last separated
    std::vector<StemData> m_stems;  // the stems of that window's block
    std::int64_t m_base = 0;
    std::int64_t m_n = 0;        // samples pushed
    std::int64_t m_emitted = 0;  // samples handed to the sink
    bool m_ended = false;
    bool m_failed = false;  // cancelled: nothing more is handed on
};

}  // namespace corvane::dsp
