// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/refined/RepeatingBackground.h"

#include <algorithm>
#include <cmath>

#include "dsp/common/Simd.h"
#include "dsp/common/StftFrames.h"

namespace corvane::dsp {

static_assert(kRepeatBands * kRepeatBandWidth <= kBins);

namespace {
constexpr float kStabiliser = 1e-12f;
}  // namespace

void repeatFeatures(const float* harmonic, float* features) {
    float norm = 0.0f;
    for (int band = 0; band < kRepeatBands; ++band) {
        float sum = 0.0f;
        for (int k = band * kRepeatBandWidth; k < (band + 1) * kRepeatBandWidth; ++k)
            sum += harmonic[k];
        features[band] = sum;
        norm += sum * sum;
    }
    const float scale = norm > 0.0f ? 1.0f / std::sqrt(norm) : 0.0f;
    for (int band = 0; band < kRepeatBands; ++band) features[band] *= scale;
}

CORVANE_SIMD_CLONES
static float dot(const float* __restrict a, const float* __restrict b) {
    float sum = 0.0f;
    for (int band = 0; band < kRepeatBands; ++band) sum += a[band] * b[band];
    return sum;
}

int similarFrames(const float* features, std::int64_t frames, std::int64_t t, std::int64_t reach,
                  std::int64_t spacing, float* similarity, std::int64_t* chosen) {
    const std::int64_t lo = std::max<std::int64_t>(0, t - reach);
    const std::int64_t hi = std::min(frames - 1, t + reach);
    const float* own = features + t * kRepeatBands;
    for (std::int64_t u = lo; u <= hi; ++u)
        similarity[u - lo] =
            std::abs(u - t) < spacing ? 0.0f : dot(own, features + u * kRepeatBands);
    int found = 0;
    while (found < kRepeatNeighbours) {
        std::int64_t best = -1;
        float bestSimilarity = 0.0f;
        for (std::int64_t u = lo; u <= hi; ++u)
            if (similarity[u - lo] > bestSimilarity) best = u, bestSimilarity = similarity[u - lo];
        if (best < 0) break;
        chosen[found++] = best;
        // Frames too close to the one chosen would repeat it rather than the pattern.
        const std::int64_t from = std::max(lo, best - spacing + 1);
        const std::int64_t to = std::min(hi, best + spacing - 1);
        for (std::int64_t u = from; u <= to; ++u) similarity[u - lo] = 0.0f;
    }
    return found;
}

void foregroundShare(const float* own, const float* const* rows, int neighbours, float* share,
                     int count, float* scratch, const float* needed) {
    if (neighbours == 0) {
        std::fill(share, share + count, 1.0f);
        return;
    }
    const int middle = neighbours / 2;
    for (int k = 0; k < count; ++k) {
        if (needed && needed[k] == 0.0f) {
            share[k] = 0.0f;
            continue;
        }
        for (int i = 0; i < neighbours; ++i) scratch[i] = rows[i][k];
        std::nth_element(scratch, scratch + middle, scratch + neighbours);
        float median = scratch[middle];
        if (neighbours % 2 == 0)  // the mean of the two middle values
            median = 0.5f * (median + *std::max_element(scratch, scratch + middle));
        const float h = own[k];
        share[k] = (h - std::min(h, median)) / (h + kStabiliser);
    }
}

}  // namespace corvane::dsp
