// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "TestSupport.h"
#include "dsp/FloatBuf.h"
#include "dsp/StftFrames.h"

using namespace corvane::dsp;
using corvane::test::nearlyEqual;
using corvane::test::noise;

namespace {

// Analysis followed by synthesis with one gain for every bin: the toolkit's round trip.
std::vector<float> roundTrip(const std::vector<float>& x, float gainValue) {
    const auto n = static_cast<std::int64_t>(x.size());
    const auto geometry = frameGeometry(n);
    const auto window = hannWindow();
    auto plan = FftPlan::create(kFrameLength);
    FFTScratch scratch(kFrameLength);
    std::vector<float> re(kBins), im(kBins), gain(kBins, gainValue), out(x.size(), 0.0f);
    for (std::int64_t t = 0; t < geometry.frames; ++t) {
        forwardFrame(x.data(), n, t, window.data(), *plan, scratch, re.data(), im.data());
        inverseFrameAdd(re.data(), im.data(), t, window.data(), *plan, scratch, out.data(), n,
                        gain.data());
    }
    normaliseRange(out.data(), 0, n, windowPowerTable(window.data()));
    return out;
}

}  // namespace

TEST(FrameGeometry, FrameCountsAndPaddedLengths) {
    struct Row {
        std::int64_t n, frames, padded;
    };
    for (Row row : {Row{1, 4, 5120}, Row{1023, 4, 5120}, Row{1024, 5, 6144}, Row{1025, 5, 6144},
                    Row{44100, 47, 49152}}) {
        auto g = frameGeometry(row.n);
        EXPECT_EQ(g.frames, row.frames) << "n = " << row.n;
        EXPECT_EQ(g.paddedLength, row.padded) << "n = " << row.n;
        // The tail of zeros after the input is between 2049 and 3072 long.
        const std::int64_t tail = g.paddedLength - kLeadIn - row.n;
        EXPECT_GE(tail, 2049);
        EXPECT_LE(tail, 3072);
    }
}

TEST(FloatBuf, NeverEmptyAndZeroFilled) {
    FloatBuf empty(0);
    EXPECT_EQ(empty.count(), 1);
    EXPECT_EQ(empty.p()[0], 0.0f);
    FloatBuf large(3 << 20);  // big enough to be mapped rather than heap-allocated
    EXPECT_EQ(large.count(), 3 << 20);
    for (std::int64_t i = 0; i < large.count(); i += 4099) ASSERT_EQ(large.p()[i], 0.0f);
}

TEST(Window, PeriodicHann) {
    const auto w = hannWindow();
    ASSERT_EQ(w.size(), 2048u);
    EXPECT_EQ(w[0], 0.0f);
    EXPECT_EQ(w[1024], 1.0f);
    for (int i = 1; i < 2048; ++i) EXPECT_NEAR(w[i], w[2048 - i], 1e-6f) << i;
}

TEST(WindowPower, TableMatchesSerialSumAtEveryInputPosition) {
    const auto window = hannWindow();
    const auto table = windowPowerTable(window.data());
    for (std::int64_t n : {1, 1023, 5000}) {
        const auto g = frameGeometry(n);
        const auto power = windowPower(g.frames, window.data());
        ASSERT_EQ(static_cast<std::int64_t>(power.size()), g.paddedLength);
        for (std::int64_t i = 0; i < n; ++i) {
            const float expected = power[static_cast<std::size_t>(kLeadIn + i)];
            ASSERT_EQ(table[static_cast<std::size_t>((kLeadIn + i) % kHop)], expected) << i;
            ASSERT_GE(expected, 0.5f);
            ASSERT_LE(expected, 1.0f);
        }
    }
    // The single sample of a one-sample song sits where w[1024]^2 + w[0]^2 = 1 lands.
    EXPECT_EQ(windowPower(4, window.data())[2048], 1.0f);
}

TEST(ForwardFrame, MatchesPlainDft) {
    const std::int64_t n = 5000;
    const auto x = noise(n, 7);
    const auto window = hannWindow();
    auto plan = FftPlan::create(kFrameLength);
    ASSERT_TRUE(plan);
    FFTScratch scratch(kFrameLength);
    std::vector<float> re(kBins), im(kBins);
    for (std::int64_t t : {0, 2, 3, 6}) {  // lead-in only, inside, straddling the end, tail only
        forwardFrame(x.data(), n, t, window.data(), *plan, scratch, re.data(), im.data());
        std::vector<double> frame(kFrameLength);
        for (int m = 0; m < kFrameLength; ++m) {
            const std::int64_t i = t * kHop + m - kLeadIn;
            frame[m] = (i >= 0 && i < n) ? double{x[i]} * double{window[m]} : 0.0;
        }
        for (int k = 0; k < kBins; k += 7) {
            double sr = 0, si = 0;
            for (int m = 0; m < kFrameLength; ++m) {
                const double phase = -2.0 * std::numbers::pi * k * m / kFrameLength;
                sr += frame[m] * std::cos(phase);
                si += frame[m] * std::sin(phase);
            }
            ASSERT_NEAR(re[k], sr, 2e-4) << "frame " << t << " bin " << k;
            ASSERT_NEAR(im[k], si, 2e-4) << "frame " << t << " bin " << k;
        }
        EXPECT_EQ(im[0], 0.0f);
        EXPECT_EQ(im[kBins - 1], 0.0f);
    }
}

TEST(ForwardFrame, NonFiniteSamplesReadAsSilence) {
    std::vector<float> x = noise(4096, 3);
    std::vector<float> clean = x;
    x[100] = NAN;
    x[2000] = INFINITY;
    x[3000] = -INFINITY;
    clean[100] = clean[2000] = clean[3000] = 0.0f;
    const auto window = hannWindow();
    auto plan = FftPlan::create(kFrameLength);
    FFTScratch scratch(kFrameLength);
    std::vector<float> re(kBins), im(kBins), reClean(kBins), imClean(kBins);
    for (std::int64_t t = 0; t < frameGeometry(4096).frames; ++t) {
        forwardFrame(x.data(), 4096, t, window.data(), *plan, scratch, re.data(), im.data());
        forwardFrame(clean.data(), 4096, t, window.data(), *plan, scratch, reClean.data(),
                     imClean.data());
        ASSERT_EQ(re, reClean) << "frame " << t;
        ASSERT_EQ(im, imClean) << "frame " << t;
    }
}

TEST(RoundTrip, UnitGainsGiveTheInputBackAtAnyLength) {
    for (std::size_t n : {1u, 1023u, 1024u, 1025u, 3u * 44100u + 17u}) {
        const auto x = noise(n, static_cast<std::uint32_t>(n));
        const auto y = roundTrip(x, 1.0f);
        EXPECT_TRUE(nearlyEqual(y, x, 2e-6f)) << "n = " << n;
        EXPECT_NEAR(y.front(), x.front(), 2e-6f);
        EXPECT_NEAR(y.back(), x.back(), 2e-6f);
    }
}

TEST(RoundTrip, ZeroGainsGiveExactZeros) {
    const auto y = roundTrip(noise(5000, 1), 0.0f);
    for (std::size_t i = 0; i < y.size(); ++i) ASSERT_EQ(y[i], 0.0f) << i;
}
