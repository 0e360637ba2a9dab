// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/refined/RefinedStream.h"

#include <algorithm>
#include <cassert>

#include "dsp/common/StemKind.h"
#include "dsp/common/StftFrames.h"
#include "dsp/refined/RefinedSeparator.h"

namespace corvane::dsp {

namespace {
// Samples per push() step, so the input never holds more than a window and one step.
constexpr std::int64_t kPushStep = 64 * kHop;
}  // namespace

std::int64_t RefinedStream::blockFrames(double sampleRate) {
    // Three times the context on each side keeps the analysis done twice at 5/3; from 25 kHz up
    // the cap holds a block, its context and its stems near 250 MB, the analysis done 2.1 times
    // at 44.1 kHz (2048 frames: 1.9 times, but near 290 MB).
    return std::clamp<std::int64_t>(3 * refinedContextFrames(sampleRate), 256, 1536);
}

RefinedStream::RefinedStream(double sampleRate, StreamingSeparator::Sink sink,
                             const SeparatorOptions& options)
    : m_sampleRate(sampleRate),
      m_sink(std::move(sink)),
      m_options(options),
      m_context(refinedContextFrames(sampleRate) * kHop),
      m_block(blockFrames(sampleRate) * kHop) {
    m_l.reserve(static_cast<std::size_t>(2 * m_context + m_block + kPushStep));
    m_r.reserve(m_l.capacity());
    // A whole window from the start, so the second block's longer one does not move it.
    m_window.l.reserve(static_cast<std::size_t>(2 * m_context + m_block));
    m_window.r.reserve(m_window.l.capacity());
}

void RefinedStream::push(std::span<const float> l, std::span<const float> r) {
    assert(l.size() == r.size() && !m_ended);
    for (std::size_t at = 0; at < l.size() && !m_failed; at += kPushStep) {
        const std::size_t count = std::min<std::size_t>(kPushStep, l.size() - at);
        m_l.insert(m_l.end(), l.begin() + at, l.begin() + at + count);
        m_r.insert(m_r.end(), r.begin() + at, r.begin() + at + count);
        m_n += static_cast<std::int64_t>(count);
        run();
    }
}

void RefinedStream::finish() {
    m_ended = true;
    run();
}

void RefinedStream::run() {
    const ProgressFn noProgress;
    while (!m_failed) {
        // Song positions: the kept stretch [from, to) and its window [begin, end).
        const std::int64_t from = m_emitted;
        std::int64_t to = from + m_block;
        if (m_ended) {
            if (from >= m_n) return;
            to = std::min(to, m_n);
        } else if (m_n < to + m_context) {
            return;  // the context after the block has not arrived yet
        }
        const std::int64_t begin = std::max<std::int64_t>(0, from - m_context);
        const std::int64_t end = std::min(m_n, to + m_context);
        // The window and the stems keep their memory from block to block.
        m_window.sampleRate = m_sampleRate;
        m_window.l.assign(m_l.begin() + (begin - m_base), m_l.begin() + (end - m_base));
        m_window.r.assign(m_r.begin() + (begin - m_base), m_r.begin() + (end - m_base));
        if (!separateRefinedKeeping(m_window, noProgress, m_options, from - begin, to - begin,
                                    m_stems)) {
            m_failed = true;  // cancelled, or no FFT plan
            return;
        }
        StemBlock block;
        block.start = from;
        for (std::size_t s = 0; s < m_stems.size(); ++s) {
            block.channels[2 * s] = m_stems[s].l;
            block.channels[2 * s + 1] = m_stems[s].r;
        }
        m_sink(block);
        m_emitted = to;
        // The next window starts a context before the next block.
        const std::int64_t keepFrom = std::max<std::int64_t>(m_base, to - m_context);
        const auto drop = static_cast<std::ptrdiff_t>(keepFrom - m_base);
        m_l.erase(m_l.begin(), m_l.begin() + drop);
        m_r.erase(m_r.begin(), m_r.begin() + drop);
        m_base = keepFrom;
    }
}

}  // namespace corvane::dsp
