// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/PeakPyramid.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace corvane::model {

namespace {

constexpr int kLanes = 8;

// min and max of n samples. Eight independent lanes, so the vectoriser can keep them in one
// register each without reordering anything; NaN fails both comparisons and is never taken.
void scan(const float* x, std::int64_t n, PeakRange& out) {
    float lo[kLanes], hi[kLanes];
    for (int k = 0; k < kLanes; ++k) {
        lo[k] = out.min;
        hi[k] = out.max;
    }
    std::int64_t i = 0;
    for (; i + kLanes <= n; i += kLanes)
        for (int k = 0; k < kLanes; ++k) {
            const float v = x[i + k];
            lo[k] = v < lo[k] ? v : lo[k];
            hi[k] = v > hi[k] ? v : hi[k];
        }
    for (; i < n; ++i) {
        const float v = x[i];
        lo[0] = v < lo[0] ? v : lo[0];
        hi[0] = v > hi[0] ? v : hi[0];
    }
    for (int k = 0; k < kLanes; ++k) {
        out.min = lo[k] < out.min ? lo[k] : out.min;
        out.max = hi[k] > out.max ? hi[k] : out.max;
    }
}

std::int64_t readable(const dsp::StemData& stem) {
    return static_cast<std::int64_t>(std::min(stem.l.size(), stem.r.size()));
}

}  // namespace

PeakRange PeakRange::empty() {
    return {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity()};
}

void PeakRange::add(const PeakRange& other) {
    min = other.min < min ? other.min : min;
    max = other.max > max ? other.max : max;
}

PeakRange scanRange(const dsp::StemData& stem, std::int64_t from, std::int64_t to) {
    PeakRange r = PeakRange::empty();
    from = std::max<std::int64_t>(from, 0);
    to = std::min(to, readable(stem));
    if (from >= to) return r;
    scan(stem.l.data() + from, to - from, r);
    scan(stem.r.data() + from, to - from, r);
    return r;
}

PeakPyramid PeakPyramid::build(const dsp::StemData& stem, std::int64_t frames,
                               const std::atomic<bool>* cancel) {
    PeakPyramid p;
    p.m_frames = std::clamp<std::int64_t>(frames, 0, readable(stem));
    if (p.m_frames == 0) return p;
    const std::int64_t blocks = (p.m_frames + kBlockFrames - 1) / kBlockFrames;
    std::vector<PeakRange> level(static_cast<std::size_t>(blocks));
    constexpr std::int64_t kBlocksBetweenChecks = 4096;  // about a million frames
    for (std::int64_t b = 0; b < blocks; ++b) {
        if (cancel && b % kBlocksBetweenChecks == 0 && cancel->load(std::memory_order_relaxed))
            return PeakPyramid();
        const std::int64_t from = b * kBlockFrames;
        const std::int64_t to = std::min(from + kBlockFrames, p.m_frames);
        PeakRange r = PeakRange::empty();
        scan(stem.l.data() + from, to - from, r);
        scan(stem.r.data() + from, to - from, r);
        level[static_cast<std::size_t>(b)] = r;
    }
    p.m_levels.push_back(std::move(level));
    while (p.m_levels.back().size() > 1) {
        const std::vector<PeakRange>& below = p.m_levels.back();
        std::vector<PeakRange> up((below.size() + 1) / 2);
        for (std::size_t j = 0; j < up.size(); ++j) {
            up[j] = below[2 * j];
            if (2 * j + 1 < below.size()) up[j].add(below[2 * j + 1]);
        }
        p.m_levels.push_back(std::move(up));
    }
    return p;
}

PeakRange PeakPyramid::range(const dsp::StemData& stem, std::int64_t from, std::int64_t to) const {
    from = std::max<std::int64_t>(from, 0);
    to = std::min(to, m_frames);
    if (from >= to) return PeakRange::empty();
    // Whole blocks [lo, hi); the last block counts as whole when the range runs to the end.
    std::int64_t lo = (from + kBlockFrames - 1) / kBlockFrames;
    std::int64_t hi =
        to == m_frames ? static_cast<std::int64_t>(m_levels[0].size()) : to / kBlockFrames;
    if (lo >= hi) return scanRange(stem, from, to);
    PeakRange r = scanRange(stem, from, lo * kBlockFrames);
    if (to < m_frames) r.add(scanRange(stem, hi * kBlockFrames, to));
    // Bottom-up over the levels: an odd edge block is taken whole and the edge moves inward.
    for (std::size_t k = 0; lo < hi; ++k, lo >>= 1, hi >>= 1) {
        const std::vector<PeakRange>& level = m_levels[k];
        if (lo & 1) r.add(level[static_cast<std::size_t>(lo++)]);
        if (hi & 1) r.add(level[static_cast<std::size_t>(--hi)]);
    }
    return r;
}

float PeakPyramid::peakAbs() const {
    if (m_levels.empty()) return 0.0f;
    const PeakRange& all = m_levels.back().front();
    if (all.isEmpty()) return 0.0f;
    return std::max(std::fabs(all.min), std::fabs(all.max));
}

}  // namespace corvane::model
