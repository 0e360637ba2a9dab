// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>

#include "TestSupport.h"
#include "demo/DemoSong.h"
#include "dsp/FftPlan.h"
#include "dsp/SeparationKernels.h"
#include "dsp/Separator.h"

using namespace corvane::dsp;
using corvane::test::nearlyEqual;
using corvane::test::noise;
using corvane::test::noiseStereo;
using corvane::test::peakAbs;
using corvane::test::sine;

namespace {

std::vector<StemData> separate(const StereoAudio& audio, int workers = 0) {
    return Separator::separate(audio, nullptr, SeparatorOptions{.workers = workers});
}

std::vector<float> sumOfStems(const std::vector<StemData>& stems, bool left) {
    std::vector<float> sum((left ? stems[0].l : stems[0].r).size(), 0.0f);
    for (const auto& stem : stems) {
        const auto& channel = left ? stem.l : stem.r;
        for (std::size_t i = 0; i < sum.size(); ++i) sum[i] += channel[i];
    }
    return sum;
}

double energy(std::span<const float> x, std::size_t begin = 0, std::size_t end = SIZE_MAX) {
    double e = 0;
    for (std::size_t i = begin; i < std::min(end, x.size()); ++i) e += double{x[i]} * x[i];
    return e;
}

void expectAllZero(std::span<const float> x, const char* what) {
    for (std::size_t i = 0; i < x.size(); ++i) ASSERT_EQ(x[i], 0.0f) << what << " at " << i;
}

}  // namespace

TEST(Separator, EmptyInputGivesFourEmptyStemsAndNoProgress) {
    std::atomic<int> reports = 0;
    auto stems = Separator::separate(StereoAudio{{}, {}, 44100.0}, [&](double) { ++reports; });
    ASSERT_EQ(stems.size(), 4u);
    for (const auto& stem : stems) {
        EXPECT_TRUE(stem.l.empty());
        EXPECT_TRUE(stem.r.empty());
    }
    EXPECT_EQ(reports, 0);
}

TEST(Separator, NoFftPlanGivesNoStemsAndNoProgress) {
    detail::failFftPlansForTesting(true);
    std::atomic<int> reports = 0;
    auto stems = Separator::separate(noiseStereo(5000, 1), [&](double) { ++reports; });
    detail::failFftPlansForTesting(false);
    EXPECT_TRUE(stems.empty());
    EXPECT_EQ(reports, 0);
}

TEST(Separator, StemsSumBackToTheInputAtAnyLength) {
    for (std::size_t n : {1u, 1023u, 1025u, 2u * 44100u + 331u}) {
        const StereoAudio audio = noiseStereo(n, static_cast<std::uint32_t>(n));
        const auto stems = separate(audio);
        ASSERT_EQ(stems.size(), 4u);
        for (const auto& stem : stems) {
            ASSERT_EQ(stem.l.size(), n);
            ASSERT_EQ(stem.r.size(), n);
        }
        EXPECT_TRUE(nearlyEqual(sumOfStems(stems, true), audio.l, 3e-6f)) << "n = " << n;
        EXPECT_TRUE(nearlyEqual(sumOfStems(stems, false), audio.r, 3e-6f)) << "n = " << n;
    }
}

TEST(Separator, LoudInputIsNeitherClampedNorNormalised) {
    StereoAudio audio = noiseStereo(20000, 9);
    for (auto& x : audio.l) x *= 8.0f;
    const auto stems = separate(audio);
    EXPECT_TRUE(nearlyEqual(sumOfStems(stems, true), audio.l, 3e-5f));
    EXPECT_GT(peakAbs(sumOfStems(stems, true)), 3.0f);
}

TEST(Separator, ResultDoesNotDependOnTheWorkerCount) {
    const StereoAudio audio = noiseStereo(30000, 21);
    const auto reference = separate(audio, 1);
    for (int workers : {2, 3, 8}) {
        const auto stems = separate(audio, workers);
        for (int s = 0; s < 4; ++s) {
            EXPECT_EQ(stems[s].l, reference[s].l) << "stem " << s << ", " << workers << " workers";
            EXPECT_EQ(stems[s].r, reference[s].r) << "stem " << s << ", " << workers << " workers";
        }
    }
}

TEST(Separator, ChannelRelationsDecideTheCentreStems) {
    const std::size_t n = 30000;
    const auto x = noise(n, 3);
    {
        SCOPED_TRACE("mono: other is silent, every stem has equal channels");
        const auto stems = separate({x, x, 44100.0});
        expectAllZero(stems[3].l, "other left");
        expectAllZero(stems[3].r, "other right");
        for (const auto& stem : stems) EXPECT_EQ(stem.l, stem.r);
        EXPECT_GT(energy(stems[0].l), 0.1 * energy(x));
    }
    {
        SCOPED_TRACE("left only: right channels exactly zero, vocals near silent");
        const auto stems = separate({x, std::vector<float>(n, 0.0f), 44100.0});
        for (const auto& stem : stems) expectAllZero(stem.r, "right");
        EXPECT_LT(peakAbs(stems[0].l), 1e-5f);
    }
    {
        SCOPED_TRACE("negated right: vocals silent");
        std::vector<float> negated(x);
        for (auto& v : negated) v = -v;
        const auto stems = separate({x, negated, 44100.0});
        expectAllZero(stems[0].l, "vocals left");
        expectAllZero(stems[0].r, "vocals right");
    }
    {
        SCOPED_TRACE("swapped channels swap every stem");
        const auto y = noise(n, 4);
        const auto a = separate({x, y, 44100.0});
        const auto b = separate({y, x, 44100.0});
        for (int s = 0; s < 4; ++s) {
            EXPECT_TRUE(nearlyEqual(a[s].l, b[s].r, 1e-6f)) << "stem " << s;
            EXPECT_TRUE(nearlyEqual(a[s].r, b[s].l, 1e-6f)) << "stem " << s;
        }
    }
}

TEST(Separator, SilenceStaysSilent) {
    for (std::size_t n : {1u, 44100u}) {
        const auto stems = separate({std::vector<float>(n), std::vector<float>(n), 44100.0});
        ASSERT_EQ(stems.size(), 4u);
        for (const auto& stem : stems) {
            expectAllZero(stem.l, "left");
            expectAllZero(stem.r, "right");
        }
    }
}

TEST(Separator, NonFiniteSamplesAreSeparatedAsSilence) {
    StereoAudio dirty = noiseStereo(20000, 8);
    StereoAudio clean = dirty;
    dirty.l[500] = NAN;
    dirty.r[9000] = INFINITY;
    dirty.l[15000] = -INFINITY;
    clean.l[500] = clean.r[9000] = clean.l[15000] = 0.0f;
    const auto a = separate(dirty);
    const auto b = separate(clean);
    for (int s = 0; s < 4; ++s) {
        ASSERT_LT(peakAbs(a[s].l), 10.0f) << "stem " << s;  // finite, not blown up
        ASSERT_LT(peakAbs(a[s].r), 10.0f) << "stem " << s;
        EXPECT_EQ(a[s].l, b[s].l) << "stem " << s;
        EXPECT_EQ(a[s].r, b[s].r) << "stem " << s;
    }
}

TEST(Separator, SteadyToneIsNotPercussiveAndAClickIs) {
    const double rate = 44100.0;
    const std::size_t n = 2 * 44100;
    {
        const auto tone = sine(n, 1000.0, rate);
        const auto stems = separate({tone, tone, rate});
        // Away from the start and end, where the zero padding pulls the time median down.
        const std::size_t a = 20000, b = n - 20000;
        EXPECT_LT(energy(stems[1].l, a, b), 1e-4 * energy(tone, a, b));
    }
    {
        std::vector<float> click(n, 0.0f);
        click[n / 2] = 1.0f;
        const auto stems = separate({click, click, rate});
        // Above the bass cross-over the click belongs to the drums.
        std::vector<float> aboveBass(n);
        for (std::size_t i = 0; i < n; ++i) aboveBass[i] = click[i] - stems[2].l[i];
        EXPECT_GT(energy(stems[1].l), 0.95 * energy(aboveBass));
    }
}

TEST(BassWeights, KnownValuesAt44100And48000) {
    const auto w44 = bassWeights(44100.0);
    ASSERT_EQ(w44.size(), 1025u);
    for (int k = 0; k <= 5; ++k) EXPECT_EQ(w44[k], 1.0f) << k;
    EXPECT_NEAR(w44[6], 0.9367f, 1e-4f);
    EXPECT_NEAR(w44[7], 0.4817f, 1e-4f);
    EXPECT_NEAR(w44[8], 0.0456f, 1e-4f);
    for (int k = 9; k < 1025; ++k) ASSERT_EQ(w44[k], 0.0f) << k;

    const auto w48 = bassWeights(48000.0);
    for (int k = 0; k <= 5; ++k) EXPECT_EQ(w48[k], 1.0f) << k;
    EXPECT_NEAR(w48[6], 0.7267f, 1e-4f);
    EXPECT_NEAR(w48[7], 0.1742f, 1e-4f);
    for (int k = 8; k < 1025; ++k) ASSERT_EQ(w48[k], 0.0f) << k;
}

TEST(StemGains, SumToOneForAnyMaskCentreAndBassWeight) {
    const int count = 1000;
    const auto c2 = noise(count, 1, 0.5f), q = noise(count, 2, 0.5f), b = noise(count, 3, 0.5f);
    std::vector<float> c(count), qq(count), bb(count);
    for (int k = 0; k < count; ++k) {  // map to [0, 1], with the ends included
        c[k] = k == 0 ? 0.0f : (k == 1 ? 1.0f : c2[k] + 0.5f);
        qq[k] = k == 2 ? 0.0f : (k == 3 ? 1.0f : q[k] + 0.5f);
        bb[k] = k == 4 ? 0.0f : (k == 5 ? 1.0f : b[k] + 0.5f);
    }
    std::vector<float> v(count), d(count), ba(count), o(count);
    stemGains(c.data(), qq.data(), bb.data(), v.data(), d.data(), ba.data(), o.data(), count);
    for (int k = 0; k < count; ++k) {
        ASSERT_NEAR(v[k] + d[k] + ba[k] + o[k], 1.0f, 1e-6f) << k;
        ASSERT_GE(std::min({v[k], d[k], ba[k], o[k]}), 0.0f) << k;
    }
}

TEST(Separator, DemoSongPartsLandInTheirStems) {
    corvane::demo::DemoParts parts;
    const StereoAudio song = corvane::demo::makeDemoSong(8.0, 44100.0, &parts);
    const auto stems = separate(song);
    ASSERT_EQ(stems.size(), 4u);
    // Share of a part's energy that a stem carries: the projection of the stem on the part.
    auto share = [](const StemData& stem, const StereoAudio& part) {
        double dot = 0, norm = 0;
        for (std::size_t i = 0; i < part.l.size(); ++i) {
            dot += double{stem.l[i]} * part.l[i] + double{stem.r[i]} * part.r[i];
            norm += double{part.l[i]} * part.l[i] + double{part.r[i]} * part.r[i];
        }
        return dot / norm;
    };
    EXPECT_GT(share(stems[0], parts.lead), 0.7);
    EXPECT_GT(share(stems[2], parts.bass), 0.95);
    EXPECT_GT(share(stems[3], parts.chords), 0.4);
    // The kick sits below the cross-over and goes to the bass; of what is left, the drums stem
    // takes nearly all.
    const double drumsAbove =
        share(stems[0], parts.drums) + share(stems[1], parts.drums) + share(stems[3], parts.drums);
    EXPECT_GT(share(stems[1], parts.drums), 0.8 * drumsAbove);
}

TEST(Separator, CancellingStopsEarlyWithNoStems) {
    const StereoAudio audio = noiseStereo(200000, 5);
    std::atomic<bool> cancel{true};
    EXPECT_TRUE(Separator::separate(audio, nullptr, {.cancel = &cancel}).empty());

    // Cancelled from the first progress report, in the middle of the analysis.
    cancel = false;
    std::atomic<int> reports = 0;
    auto stems = Separator::separate(audio,
                                     [&](double) {
                                         ++reports;
                                         cancel = true;
                                     },
                                     {.workers = 2, .cancel = &cancel});
    EXPECT_TRUE(stems.empty());
    EXPECT_LT(reports.load(), 10);  // a full run reports about 40 times
}
