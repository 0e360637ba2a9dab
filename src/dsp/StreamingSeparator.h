// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "dsp/Separator.h"
#include "dsp/common/StemKind.h"

namespace corvane::dsp {

// Consecutive samples of the four stems, [start, start + frames) of the song; channels[2 * s + c]
// is stem s (StemKind raw value), channel c (0 left, 1 right).
struct StemBlock {
    std::int64_t start = 0;
    std::array<std::span<const float>, 2 * kStemCount> channels;
    std::int64_t frames() const { return static_cast<std::int64_t>(channels[0].size()); }
};

// The separation of a song that arrives in pieces, with memory bounded by the block size instead
// of the song's length, and stems bit-identical to Separator::separate of the whole song: the
// Standard method's engine (standard/StandardSeparator.h) or the Refined one's
// (refined/RefinedStream.h), as options.method says.
//
// One thread feeds it; the separation of each block runs on `options.workers` threads. The sink
// is called on the feeding thread, in song order, with spans valid only during the call.
// Memory: about 30 MB for Standard (kBlockFrames frames at a time), about 150 MB for Refined
// (longer blocks with about 10 s of context), whatever the song's length.
class StreamingSeparator {
public:
    using Sink = std::function<void(const StemBlock&)>;
    static constexpr std::int64_t kBlockFrames = 384;  // STFT frames separated at once

    // Null when the FFT plan cannot be made.
    static std::unique_ptr<StreamingSeparator> create(double sampleRate, Sink sink,
                                                      const SeparatorOptions& options = {});
    ~StreamingSeparator();
    StreamingSeparator(const StreamingSeparator&) = delete;
    StreamingSeparator& operator=(const StreamingSeparator&) = delete;

    // Appends samples (l and r of equal length); separates and hands on what is complete.
    void push(std::span<const float> l, std::span<const float> r);
    // The song has ended: separates and hands on the rest. Call once, after the last push.
    void finish();
    // Samples pushed so far.
    std::int64_t frames() const;

private:
    struct Impl;
    explicit StreamingSeparator(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

}  // namespace corvane::dsp
