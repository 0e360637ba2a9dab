// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>
#include <span>
#include <vector>

#include "TestSupport.h"
#include "demo/DemoSong.h"

namespace corvane::demo {
namespace {

using test::nearlyEqual;
constexpr double kRate = 44100.0;

constexpr auto kChannels = {&dsp::StereoAudio::l, &dsp::StereoAudio::r};

TEST(DemoSong, IsDeterministicAndTheMixIsExactlyTheSumOfItsParts) {
    DemoParts p;
    const dsp::StereoAudio mix = makeDemoSong(8.0, kRate, &p), again = makeDemoSong(8.0, kRate);
    for (auto ch : kChannels) {
        std::vector<float> sum(p.drums.*ch);
        for (std::size_t i = 0; i < sum.size(); ++i)
            sum[i] = sum[i] + (p.bass.*ch)[i] + (p.chords.*ch)[i] + (p.lead.*ch)[i];
        EXPECT_TRUE(nearlyEqual(mix.*ch, again.*ch, 0.0f));
        EXPECT_TRUE(nearlyEqual(mix.*ch, sum, 0.0f));
    }
}

// A Blackman-Harris window's side lobes sit 92 dB down: the strong low notes cannot leak into what
// is measured far above them.
TEST(DemoSong, BassHasNothingAbove120Hz) {
    DemoParts p;
    makeDemoSong(8.0, kRate, &p);
    const std::vector<float>& bass = p.bass.l;
    std::vector<float> x(8192);
    for (std::size_t at = 0; at + x.size() <= bass.size(); at += x.size()) {
        for (std::size_t i = 0; i < x.size(); ++i) {
            const double a = 2.0 * std::numbers::pi * static_cast<double>(i) / (x.size() - 1.0);
            x[i] = bass[at + i] *
                   static_cast<float>(0.35875 - 0.48829 * std::cos(a) + 0.14128 * std::cos(2 * a) -
                                      0.01168 * std::cos(3 * a));
        }
        double fundamental = 0.0;
        for (double hz = 40.0; hz <= 85.0; hz += 1.0)
            fundamental = std::max(fundamental, test::powerAt(x, hz, kRate));
        ASSERT_GT(fundamental, 0.0) << "window at frame " << at;
        for (double hz = 120.0; hz <= 2000.0; hz += 10.0)
            ASSERT_LT(10.0 * std::log10(test::powerAt(x, hz, kRate) / fundamental), -60.0)
                << hz << " Hz in the window at frame " << at;
    }
}

// Near -1 dBFS without clipping; the lead (the "vocals") centred, the chords wide.
TEST(DemoSong, LevelsAndStereoImage) {
    DemoParts p;
    const dsp::StereoAudio mix = makeDemoSong(8.0, kRate, &p);
    const float peak = std::max(test::peakAbs(mix.l), test::peakAbs(mix.r));
    EXPECT_LT(peak, 1.0f);
    EXPECT_GT(peak, 0.7f);
    for (const dsp::StereoAudio* part : {&p.drums, &p.bass, &p.chords, &p.lead})
        EXPECT_GT(test::peakAbs(part->l), 0.05f) << "a silent part";
    EXPECT_TRUE(nearlyEqual(p.lead.l, p.lead.r, 0.0f));
    EXPECT_TRUE(nearlyEqual(p.bass.l, p.bass.r, 0.0f));
    auto dot = [](const std::vector<float>& a, const std::vector<float>& b) {
        return std::inner_product(a.begin(), a.end(), b.begin(), 0.0);
    };
    const double ll = dot(p.chords.l, p.chords.l), rr = dot(p.chords.r, p.chords.r);
    EXPECT_LT(std::fabs(dot(p.chords.l, p.chords.r) / std::sqrt(ll * rr)), 0.5);
    EXPECT_NEAR(std::sqrt(ll / rr), 1.0, 0.3) << "chords lean to one side";
}

}  // namespace
}  // namespace corvane::demo
