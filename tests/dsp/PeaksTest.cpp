// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>

#include "TestSupport.h"
#include "dsp/Peaks.h"

using namespace corvane::dsp;

namespace {
StemData constantStem(std::size_t n, float value) {
    return {std::vector<float>(n, value), std::vector<float>(n, value)};
}
}  // namespace

TEST(Peaks, EmptyInputs) {
    EXPECT_TRUE(computePeaks({}, 600).empty());
    auto zeroBins = computePeaks({constantStem(100, 0.5f)}, 0);
    ASSERT_EQ(zeroBins.size(), 1u);
    EXPECT_TRUE(zeroBins[0].empty());
    auto emptyStems = computePeaks({StemData{}, StemData{}}, 600);
    ASSERT_EQ(emptyStems.size(), 2u);
    for (const auto& e : emptyStems) EXPECT_EQ(e, std::vector<float>(600, 0.0f));
}

TEST(Peaks, NormalisedTogetherAcrossStems) {
    std::vector<StemData> stems = {constantStem(44100, 0.0f), constantStem(44100, 0.5f),
                                   constantStem(44100, 0.25f), constantStem(44100, 0.0f)};
    stems[1].r[44100 / 2] = -0.5f;  // negative counts by its absolute value
    const auto peaks = computePeaks(stems, 600);
    ASSERT_EQ(peaks.size(), 4u);
    for (const auto& e : peaks) ASSERT_EQ(e.size(), 600u);
    EXPECT_EQ(peaks[0],
              std::vector<float>(600, 0.0f));  // silent next to loud: zeros, not stretched
    EXPECT_EQ(peaks[1], std::vector<float>(600, 1.0f));  // the loudest doubles to exactly 1
    EXPECT_EQ(peaks[2], std::vector<float>(600, 0.5f));
}

TEST(Peaks, TheLargerChannelWinsAndNaNNeverDoes) {
    StemData stem{{0.3f, NAN}, {-0.8f, 0.2f}};
    StemData loud{{1.0f, 1.0f}, {1.0f, 1.0f}};
    const auto peaks = computePeaks({stem, loud}, 2);
    EXPECT_FLOAT_EQ(peaks[0][0], 0.8f);
    EXPECT_FLOAT_EQ(peaks[0][1], 0.2f);
}

TEST(Peaks, SilenceGivesZerosAndFewSamplesRepeat) {
    EXPECT_EQ(computePeaks({constantStem(1000, 0.0f)}, 10)[0], std::vector<float>(10, 0.0f));
    // Three samples over six bins: neighbouring bins repeat the same sample.
    StemData shortStem{{0.1f, 0.2f, 0.4f}, {0.0f, 0.0f, 0.0f}};
    const auto peaks = computePeaks({shortStem}, 6);
    const std::vector<float> expected = {0.25f, 0.25f, 0.5f, 0.5f, 1.0f, 1.0f};
    EXPECT_EQ(peaks[0], expected);
}

TEST(Peaks, LongBinsAreSampledWithAStride) {
    // 600 bins over 600 * 1000 samples: each bin reads every 15th sample from its start, so a
    // lone spike off that grid does not show.
    StemData stem = constantStem(600 * 1000, 0.1f);
    stem.l[1] = 0.9f;          // off the grid of bin 0
    stem.l[1000 + 15] = 0.5f;  // on the grid of bin 1
    const auto peaks = computePeaks({stem}, 600);
    EXPECT_FLOAT_EQ(peaks[0][0], 0.2f);
    EXPECT_FLOAT_EQ(peaks[0][1], 1.0f);
}
