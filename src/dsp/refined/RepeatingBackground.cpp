// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/refined/RepeatingBackground.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "dsp/common/Simd.h"
#include "dsp/common/StftFrames.h"

namespace corvane::dsp {

static_assert(kRepeatBands * kRepeatBandWidth <= kBins);

namespace {
constexpr float kStabiliser = 1e-12f;
}  // namespace

std::int64_t repeatReach(double sampleRate) {
    return static_cast<std::int64_t>(kRepeatReachSeconds * std::min(sampleRate, 48000.0) / kHop);
}

void repeatFeatures(const float* magnitudes, float* features, std::int64_t stride) {
    float norm = 0.0f;
    for (int band = 0; band < kRepeatBands; ++band) {
        float sum = 0.0f;
        for (int k = band * kRepeatBandWidth; k < (band + 1) * kRepeatBandWidth; ++k)
            sum += std::sqrt(std::sqrt(magnitudes[k]));
        features[band * stride] = sum;
        norm += sum * sum;
    }
    const float scale = norm > 0.0f ? 1.0f / std::sqrt(norm) : 0.0f;
    for (int band = 0; band < kRepeatBands; ++band) features[band * stride] *= scale;
}

namespace {

// out[i] = the dot product of frame t's features with frame lo + i's, for i < count: each frame's
// sum taken band after band, as one frame at a time would, so the order of the adds is fixed.
CORVANE_SIMD_CLONES
void similarities(const float* __restrict features, std::int64_t frames, std::int64_t t,
                  std::int64_t lo, std::int64_t count, float* __restrict out) {
    std::fill(out, out + count, 0.0f);
    for (int band = 0; band < kRepeatBands; ++band) {
        const float* __restrict row = features + band * frames + lo;
        const float own = features[band * frames + t];
        for (std::int64_t i = 0; i < count; ++i) out[i] += own * row[i];
    }
}

// The largest of values[from, to), or 0 when none is larger (NaN is never larger).
float largestOf(const float* values, std::int64_t from, std::int64_t to) {
    float largest = 0.0f;
    for (std::int64_t i = from; i < to; ++i) largest = values[i] > largest ? values[i] : largest;
    return largest;
}

}  // namespace

int similarFrames(const float* features, std::int64_t frames, std::int64_t t, std::int64_t reach,
                  std::int64_t spacing, float* similarity, std::int64_t* chosen) {
    spacing = std::max<std::int64_t>(spacing, 1);
    const std::int64_t lo = std::max<std::int64_t>(0, t - reach);
    const std::int64_t count = std::min(frames - 1, t + reach) - lo + 1;
    similarities(features, frames, t, lo, count, similarity);
    std::fill(similarity + std::max<std::int64_t>(0, t - spacing + 1 - lo),
              similarity + std::min(count, t + spacing - lo), 0.0f);
    // The best frame is found from the largest value of each of at most 64 runs, and only the
    // runs a choice clears are looked at again: the same choice as scanning every frame each time.
    constexpr int kRuns = 64;
    const std::int64_t width = std::max<std::int64_t>(32, (count + kRuns - 1) / kRuns);
    const auto runs = static_cast<int>((count + width - 1) / width);
    std::array<float, kRuns> largest{};
    for (int r = 0; r < runs; ++r)
        largest[static_cast<std::size_t>(r)] =
            largestOf(similarity, r * width, std::min(count, (r + 1) * width));
    int found = 0;
    while (found < kRepeatNeighbours) {
        int run = -1;
        float best = 0.0f;
        for (int r = 0; r < runs; ++r)
            if (largest[static_cast<std::size_t>(r)] > best)
                run = r, best = largest[static_cast<std::size_t>(r)];
        if (run < 0) break;
        std::int64_t i = run * width;
        while (similarity[i] != best) ++i;  // the earliest frame holding it
        chosen[found++] = lo + i;
        // Frames too close to the one chosen would repeat it rather than the pattern.
        const std::int64_t from = std::max<std::int64_t>(0, i - spacing + 1);
        const std::int64_t to = std::min(count, i + spacing);
        std::fill(similarity + from, similarity + to, 0.0f);
        for (auto r = static_cast<int>(from / width); r <= (to - 1) / width; ++r)
            largest[static_cast<std::size_t>(r)] =
                largestOf(similarity, r * width, std::min(count, (r + 1) * width));
    }
    return found;
}

namespace {

// Batcher's odd-even merge sort of 16 values (63 compare-exchanges), run on a chunk of bins at
// once: a fixed network sorts every bin alike, with no branch on the data, where a selection per
// bin (nth_element) spent most of the method's time guessing branches.
constexpr int kNetwork = 16;
static_assert(kRepeatNeighbours < kNetwork);
struct Network {
    std::array<std::array<int, 2>, 63> pairs{};
    int count = 0;
};
constexpr Network oddEvenMergeSort() {
    Network n;
    for (int p = 1; p < kNetwork; p *= 2)
        for (int k = p; k >= 1; k /= 2)
            for (int j = k % p; j + k < kNetwork; j += 2 * k)
                for (int i = 0; i < std::min(k, kNetwork - j - k); ++i)
                    if ((i + j) / (2 * p) == (i + j + k) / (2 * p))
                        n.pairs[static_cast<std::size_t>(n.count++)] = {i + j, i + j + k};
    return n;
}
constexpr Network kSort = oddEvenMergeSort();
static_assert(kSort.count == 63);
constexpr int kChunk = 64;  // bins per pass: the 16 lanes stay in the first-level cache

CORVANE_SIMD_CLONES
void compareExchange(float* __restrict a, float* __restrict b, int count) {
    for (int k = 0; k < count; ++k) {
        const float lo = a[k] < b[k] ? a[k] : b[k];
        const float hi = a[k] < b[k] ? b[k] : a[k];
        a[k] = lo, b[k] = hi;
    }
}

}  // namespace

void foregroundShare(const float* own, const float* const* rows, int neighbours, float* share,
                     int count, const float* needed) {
    if (neighbours == 0) {
        std::fill(share, share + count, 1.0f);
        return;
    }
    // Padded to 16 with as many -inf as +inf (one more +inf for an odd count), the neighbours'
    // median lands on lane 7, or between lanes 7 and 8 for an even count.
    const int pad = kNetwork - neighbours;
    const int below = pad / 2;
    float lanes[kNetwork][kChunk];
    for (int k0 = 0; k0 < count; k0 += kChunk) {
        const int m = std::min(kChunk, count - k0);
        if (needed &&
            std::all_of(needed + k0, needed + k0 + m, [](float x) { return x == 0.0f; })) {
            std::fill(share + k0, share + k0 + m, 0.0f);
            continue;
        }
        for (int i = 0; i < kNetwork; ++i) {
            if (i < neighbours)
                std::copy(rows[i] + k0, rows[i] + k0 + m, lanes[i]);
            else
                std::fill(lanes[i], lanes[i] + m,
                          i < neighbours + below ? -std::numeric_limits<float>::infinity()
                                                 : std::numeric_limits<float>::infinity());
        }
        for (int c = 0; c < kSort.count; ++c) {
            const auto [a, b] = kSort.pairs[static_cast<std::size_t>(c)];
            compareExchange(lanes[a], lanes[b], m);
        }
        for (int j = 0; j < m; ++j) {
            const int k = k0 + j;
            if (needed && needed[k] == 0.0f) {
                share[k] = 0.0f;
                continue;
            }
            // The mean of the two middle values for an even count.
            const float median = neighbours % 2 ? lanes[7][j] : 0.5f * (lanes[8][j] + lanes[7][j]);
            const float h = own[k];
            share[k] = (h - std::min(h, median)) / (h + kStabiliser);
        }
    }
}

}  // namespace corvane::dsp
