// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <thread>

#include "TestSupport.h"
#include "demo/DemoSong.h"
#include "dsp/Separator.h"
#include "dsp/common/FftPlan.h"
#include "dsp/common/ProgressCounter.h"
#include "dsp/standard/SeparationKernels.h"

using namespace corvane::dsp;
using corvane::test::nearlyEqual;
using corvane::test::noiseStereo;

namespace {

std::vector<StemData> separate(const StereoAudio& audio, int workers = 0) {
    return Separator::separate(audio, nullptr, SeparatorOptions{.workers = workers});
}

double energy(std::span<const float> x, std::size_t begin = 0, std::size_t end = SIZE_MAX) {
    double e = 0;
    for (std::size_t i = begin; i < std::min(end, x.size()); ++i) e += double{x[i]} * x[i];
    return e;
}

// Every value reported from any thread, sorted when read (they may arrive out of order).
struct Recorder {
    std::mutex lock;
    std::vector<double> values;
    ProgressFn report = [this](double v) {
        std::lock_guard guard(lock);
        values.push_back(v);
    };
    std::vector<double> sorted() {
        std::sort(values.begin(), values.end());
        return values;
    }
};

// Appends what a counter of `total` units reports: every 64th unit and the last.
void addReports(std::vector<double>& to, std::int64_t total, double base, double span) {
    for (std::int64_t d = 64; d <= total; d += 64) to.push_back(base + (span * d) / total);
    if (total % 64 != 0) to.push_back(base + (span * total) / total);
}

}  // namespace

TEST(Separator, EmptyInputSilenceAndNoFftPlan) {
    Recorder recorder;
    const auto empty = Separator::separate(StereoAudio{}, recorder.report);
    ASSERT_EQ(empty.size(), 4u);
    for (const auto& stem : empty) EXPECT_TRUE(stem.l.empty() && stem.r.empty());
    detail::failFftPlansForTesting(true);
    EXPECT_TRUE(Separator::separate(noiseStereo(5000, 1), recorder.report).empty());
    detail::failFftPlansForTesting(false);
    EXPECT_TRUE(recorder.values.empty());
    for (std::size_t n : {1u, 44100u}) {
        const std::vector<float> silence(n);
        const auto stems = separate({silence, silence, 44100.0});
        ASSERT_EQ(stems.size(), 4u);
        for (const auto& stem : stems) {
            EXPECT_TRUE(nearlyEqual(stem.l, silence, 0.0f)) << "silence of " << n;
            EXPECT_TRUE(nearlyEqual(stem.r, silence, 0.0f)) << "silence of " << n;
        }
    }
}

TEST(Separator, ChannelRelationsDecideTheCentreStems) {
    const auto x = corvane::test::noise(30000, 3);
    const std::vector<float> zero(x.size());
    std::vector<float> negated(x);
    for (auto& v : negated) v = -v;
    auto stems = separate({x, x, 44100.0});  // mono: other silent, equal channels everywhere
    EXPECT_TRUE(nearlyEqual(stems[3].l, zero, 0.0f));
    for (const auto& stem : stems) EXPECT_TRUE(nearlyEqual(stem.l, stem.r, 0.0f));
    stems = separate({x, zero, 44100.0});  // left only: right exactly zero, vocals near silent
    for (const auto& stem : stems) EXPECT_TRUE(nearlyEqual(stem.r, zero, 0.0f));
    EXPECT_LT(corvane::test::peakAbs(stems[0].l), 1e-5f);
    stems = separate({x, negated, 44100.0});  // opposite channels: vocals silent
    EXPECT_TRUE(nearlyEqual(stems[0].l, zero, 0.0f));
    EXPECT_TRUE(nearlyEqual(stems[0].r, zero, 0.0f));
}

TEST(Separator, SteadyToneIsNotPercussiveAndAClickIs) {
    const std::size_t n = 2 * 44100;
    const auto tone = corvane::test::sine(n, 1000.0, 44100.0);
    // Away from the ends, where the zero padding pulls the time median down.
    const std::size_t a = 20000, b = n - 20000;
    EXPECT_LT(energy(separate({tone, tone, 44100.0})[1].l, a, b), 1e-4 * energy(tone, a, b));
    std::vector<float> click(n, 0.0f), aboveBass(n);
    click[n / 2] = 1.0f;
    const auto stems = separate({click, click, 44100.0});
    for (std::size_t i = 0; i < n; ++i) aboveBass[i] = click[i] - stems[2].l[i];
    EXPECT_GT(energy(stems[1].l), 0.95 * energy(aboveBass));
}

TEST(BassWeights, KnownValuesAt44100And48000) {
    // Bins from 6 on lie on the cross-over; the rest are exactly 1 below it and 0 above.
    for (const auto& [rate, ramp] : {std::pair{44100.0, std::vector{0.9367f, 0.4817f, 0.0456f}},
                                     {48000.0, std::vector{0.7267f, 0.1742f}}}) {
        const auto w = bassWeights(rate);
        ASSERT_EQ(w.size(), 1025u);
        for (std::size_t k = 0; k < w.size(); ++k) {
            const bool onRamp = k >= 6 && k < 6 + ramp.size();
            ASSERT_NEAR(w[k], onRamp ? ramp[k - 6] : (k < 6 ? 1.0f : 0.0f), onRamp ? 1e-4f : 0.0f)
                << "bin " << k << " at " << rate;
        }
    }
}

TEST(Separator, DemoSongPartsLandInTheirStems) {
    corvane::demo::DemoParts parts;
    const auto stems = separate(corvane::demo::makeDemoSong(8.0, 44100.0, &parts));
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
    // The kick goes to the bass; of what is above it, the drums stem takes nearly all.
    const double drumsAbove =
        share(stems[0], parts.drums) + share(stems[1], parts.drums) + share(stems[3], parts.drums);
    EXPECT_GT(share(stems[1], parts.drums), 0.8 * drumsAbove);
}

TEST(ProgressCounter, ReportsEvery64thUnitAndTheLastFromManyThreads) {
    // Enough units for the threads to overlap; the total is no multiple of 64, so the last unit
    // reports on its own.
    constexpr std::int64_t kPerThread = 100'008, kTotal = 4 * kPerThread;
    Recorder recorder;
    ProgressCounter counter(kTotal, 0.6, 0.4, recorder.report);
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&] {
                for (std::int64_t i = 0; i < kPerThread; ++i) counter.advance();
            });
    }
    std::vector<double> expected;
    addReports(expected, kTotal, 0.6, 0.4);
    ASSERT_EQ(expected.size(), static_cast<std::size_t>(kTotal / 64 + 1));
    ASSERT_EQ(expected.back(), 1.0);
    EXPECT_EQ(recorder.sorted(), expected);
}

TEST(Separator, ThreePassesReportProgressAtTheirOwnUnits) {
    // Frames are (n + 2048) / 1024 + 2; with 8 workers for 4 frames, four have nothing to do.
    for (auto [n, frames, workers] :
         {std::tuple{100u, 4, 8}, {129024u, 130, 1}, {129024u, 130, 2}, {129024u, 130, 3}}) {
        SCOPED_TRACE(testing::Message() << frames << " frames, " << workers << " workers");
        std::vector<double> expected;
        addReports(expected, frames, 0.0, 0.2);
        addReports(expected, frames, 0.2, 0.4);
        addReports(expected, 8 * frames, 0.6, 0.4);  // one unit per frame, stem and channel
        std::sort(expected.begin(), expected.end());
        Recorder recorder;
        EXPECT_EQ(
            Separator::separate(noiseStereo(n, 4), recorder.report, {.workers = workers}).size(),
            4u);
        EXPECT_EQ(recorder.sorted(), expected);
    }
}
