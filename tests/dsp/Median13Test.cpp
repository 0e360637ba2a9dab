// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "dsp/Median13.h"

using namespace corvane::dsp;

namespace {

// Values with many repeats, as magnitudes of quiet or clipped material have.
std::vector<float> repetitiveValues(std::size_t count, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> level(0, 9);
    std::uniform_real_distribution<float> fine(0.0f, 4.0f);
    std::vector<float> v(count);
    for (auto& x : v) x = (rng() % 3 == 0) ? static_cast<float>(level(rng)) : fine(rng);
    return v;
}

}  // namespace

TEST(Median13, NetworkSelectsTheSeventhOfEveryZeroOnePattern) {
    // A comparator network selects correctly for all inputs iff it does for all 0/1 inputs.
    for (int bits = 0; bits < (1 << 13); ++bits) {
        float v[13];
        for (int i = 0; i < 13; ++i) v[i] = static_cast<float>((bits >> i) & 1);
        ASSERT_EQ(median13Network(v), median13Sorted(v)) << "pattern " << bits;
    }
}

TEST(Median13, NetworkEqualsInsertionSortOnRandomValues) {
    const auto values = repetitiveValues(13 * 20000, 5);
    for (std::size_t i = 0; i + 13 <= values.size(); i += 13) {
        float sorted[13];
        std::copy_n(values.data() + i, 13, sorted);
        std::sort(sorted, sorted + 13);
        ASSERT_EQ(median13Sorted(values.data() + i), sorted[6]);
        ASSERT_EQ(median13Network(values.data() + i), sorted[6]) << "group " << i / 13;
    }
}

TEST(Median13, RowsEqualThePlainMedianWithClampedNeighbours) {
    constexpr int kFrames = 9;  // fewer than 13, so the clamping repeats edge frames
    const auto plane = repetitiveValues(kFrames * kBins, 11);
    std::vector<float> fast(kBins);
    float window[13];
    for (int t = 0; t < kFrames; ++t) {
        const float* rows[13];
        for (int d = 0; d < 13; ++d)
            rows[d] = plane.data() + std::clamp(t + d - 6, 0, kFrames - 1) * kBins;
        timeMedianRow(rows, fast.data());
        for (int k = 0; k < kBins; ++k) {
            for (int d = 0; d < 13; ++d) window[d] = rows[d][k];
            ASSERT_EQ(fast[k], median13Sorted(window))
                << "time median, frame " << t << " bin " << k;
        }
        const float* row = plane.data() + t * kBins;
        frequencyMedianRow(row, fast.data());
        for (int k = 0; k < kBins; ++k) {
            for (int d = 0; d < 13; ++d) window[d] = row[std::clamp(k + d - 6, 0, kBins - 1)];
            ASSERT_EQ(fast[k], median13Sorted(window))
                << "frequency median, frame " << t << " bin " << k;
        }
    }
}
