// SPDX-License-Identifier: GPL-3.0-or-later
// The STFT frames and medians of 13 the separation is built from, and the waveform peaks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

#include "TestSupport.h"
#include "dsp/common/Median13.h"
#include "dsp/common/StftFrames.h"

using namespace corvane::dsp;
using corvane::test::noise;

TEST(FrameGeometry, FramesPaddingAndWindowPowerTableAtEveryInputPosition) {
    const auto window = hannWindow();
    const auto table = windowPowerTable(window.data());
    struct Row {
        std::int64_t n, frames, padded;
    };
    for (Row row : {Row{1, 4, 5120}, Row{1023, 4, 5120}, Row{1024, 5, 6144}, Row{1025, 5, 6144},
                    Row{44100, 47, 49152}}) {
        SCOPED_TRACE(row.n);
        const auto g = frameGeometry(row.n);
        EXPECT_EQ(g.frames, row.frames);
        EXPECT_EQ(g.paddedLength, row.padded);
        const auto power = windowPower(g.frames, window.data());
        ASSERT_EQ(static_cast<std::int64_t>(power.size()), g.paddedLength);
        for (std::int64_t i = 0; i < row.n; ++i) {
            const float expected = power[static_cast<std::size_t>(kLeadIn + i)];
            ASSERT_EQ(table[static_cast<std::size_t>((kLeadIn + i) % kHop)], expected) << i;
            ASSERT_TRUE(expected >= 0.5f && expected <= 1.0f) << expected << " at " << i;
        }
    }
    // A periodic Hann window: a one-sample song sits where w[1024]^2 + w[0]^2 = 1 lands.
    EXPECT_EQ(windowPower(4, window.data())[2048], 1.0f);
}

TEST(StftFrames, ForwardFrameIsThePlainDftAndUnitGainsGiveTheInputBackAtAnyLength) {
    const auto window = hannWindow();
    auto plan = FftPlan::create(kFrameLength);
    ASSERT_TRUE(plan);
    FFTScratch scratch(kFrameLength);
    std::vector<float> re(kBins), im(kBins), gain(kBins, 1.0f);
    const auto x = noise(5000, 7);
    for (std::int64_t t : {0, 2, 3, 6}) {  // lead-in only, inside, straddling the end, tail only
        forwardFrame(x.data(), 5000, t, window.data(), *plan, scratch, re.data(), im.data());
        EXPECT_TRUE(im[0] == 0.0f && im[kBins - 1] == 0.0f) << "frame " << t;
        for (int k = 0; k < kBins; k += 7) {
            double sr = 0, si = 0;
            for (int m = 0; m < kFrameLength; ++m) {
                const std::int64_t i = t * kHop + m - kLeadIn;
                const double v = (i >= 0 && i < 5000) ? double{x[i]} * double{window[m]} : 0.0;
                sr += v * std::cos(-2.0 * std::numbers::pi * k * m / kFrameLength);
                si += v * std::sin(-2.0 * std::numbers::pi * k * m / kFrameLength);
            }
            ASSERT_NEAR(re[k], sr, 2e-4) << "frame " << t << " bin " << k;
            ASSERT_NEAR(im[k], si, 2e-4) << "frame " << t << " bin " << k;
        }
    }
    for (std::int64_t n : {1, 1023, 1024, 1025, 3 * 44100 + 17}) {
        const auto in = noise(static_cast<std::size_t>(n), static_cast<std::uint32_t>(n));
        std::vector<float> out(in.size(), 0.0f);
        for (std::int64_t t = 0; t < frameGeometry(n).frames; ++t) {
            forwardFrame(in.data(), n, t, window.data(), *plan, scratch, re.data(), im.data());
            inverseFrameAdd(re.data(), im.data(), t, window.data(), *plan, scratch, out.data(), n,
                            gain.data());
        }
        normaliseRange(out.data(), 0, n, windowPowerTable(window.data()));
        // Every sample, the first and the last included; the first bad index is named.
        EXPECT_TRUE(corvane::test::nearlyEqual(out, in, 2e-6f)) << "round trip of " << n;
    }
}

TEST(Median13, NetworkEqualsInsertionSortOnEveryZeroOnePattern) {
    // A comparator network selects correctly for all inputs iff it does for all 0/1 inputs; the
    // rows below compare the two on other values.
    for (int bits = 0; bits < (1 << 13); ++bits) {
        float v[13];
        for (int i = 0; i < 13; ++i) v[i] = static_cast<float>((bits >> i) & 1);
        ASSERT_EQ(median13Network(v), median13Sorted(v)) << "pattern " << bits;
    }
}

TEST(Median13, RowsEqualThePlainMedianWithClampedNeighbours) {
    constexpr int kFrames = 9;  // fewer than 13, so the clamping repeats edge frames
    // Values with many repeats, as magnitudes of quiet or clipped material have.
    std::mt19937 rng(11);
    std::vector<float> plane(kFrames * kBins);
    for (float& x : plane)
        x = static_cast<float>(rng() % 3 == 0 ? rng() % 10 : rng() % 4000) / 1000;
    std::vector<float> fast(kBins);
    float window[13];
    for (int t = 0; t < kFrames; ++t) {
        const float* rows[13];
        for (int d = 0; d < 13; ++d)
            rows[d] = plane.data() + std::clamp(t + d - 6, 0, kFrames - 1) * kBins;
        timeMedianRow(rows, fast.data());
        for (int k = 0; k < kBins; ++k) {
            for (int d = 0; d < 13; ++d) window[d] = rows[d][k];
            ASSERT_EQ(fast[k], median13Sorted(window)) << "time, frame " << t << " bin " << k;
        }
        const float* row = plane.data() + t * kBins;
        frequencyMedianRow(row, fast.data());
        for (int k = 0; k < kBins; ++k) {
            for (int d = 0; d < 13; ++d) window[d] = row[std::clamp(k + d - 6, 0, kBins - 1)];
            ASSERT_EQ(fast[k], median13Sorted(window)) << "frequency, frame " << t << " bin " << k;
        }
    }
}
