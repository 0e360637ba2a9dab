// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/Peaks.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace corvane::model {

namespace {
constexpr float kSilenceFloor = 1e-6f;
constexpr std::int64_t kMaxReadsPerBin = 64;
}  // namespace

std::vector<std::vector<float>> computePeaks(const std::vector<dsp::StemData>& stems, int bins) {
    bins = std::max(bins, 0);
    std::vector<std::vector<float>> envelopes;
    envelopes.reserve(stems.size());
    float loudest = 0.0f;
    bool any = false;
    for (const dsp::StemData& stem : stems) {
        std::vector<float> envelope(static_cast<std::size_t>(bins), 0.0f);
        const auto n = static_cast<std::int64_t>(stem.l.size());
        // The right channel is read with the left's length; a shorter one is read only as far as
        // it goes rather than past its end.
        const auto nr = static_cast<std::int64_t>(stem.r.size());
        if (n > 0) {
            for (std::int64_t b = 0; b < bins; ++b) {
                const std::int64_t start = (b * n) / bins;
                const std::int64_t end = std::max(start + 1, ((b + 1) * n) / bins);
                const std::int64_t step =
                    std::max<std::int64_t>((end - start) / kMaxReadsPerBin, 1);
                float m = 0.0f;
                for (std::int64_t i = start; i < std::min(end, n); i += step) {
                    const float left = std::fabs(stem.l[static_cast<std::size_t>(i)]);
                    if (left >= m) m = left;  // NaN compares false and never wins
                    if (i < nr) {
                        const float right = std::fabs(stem.r[static_cast<std::size_t>(i)]);
                        if (right >= m) m = right;
                    }
                }
                envelope[static_cast<std::size_t>(b)] = m;
            }
        }
        for (float v : envelope) {
            loudest = any ? std::max(loudest, v) : v;
            any = true;
        }
        envelopes.push_back(std::move(envelope));
    }
    if (!any) loudest = 1.0f;
    const float scale = loudest > kSilenceFloor ? loudest : kSilenceFloor;
    for (auto& envelope : envelopes)
        for (float& v : envelope) v = v / scale;
    return envelopes;
}

}  // namespace corvane::model
