// SPDX-License-Identifier: GPL-3.0-or-later
// The refined method: the guarantees it shares with the standard one, its own frames and medians,
// and that it separates better.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <mutex>
#include <numbers>
#include <random>

#include "TestSupport.h"
#include "demo/DemoSong.h"
#include "dsp/Separator.h"
#include "dsp/common/FftFlags.h"
#include "dsp/common/Median13.h"
#include "dsp/common/ShortFrames.h"
#include "dsp/refined/RefinedKernels.h"
#include "dsp/refined/RepeatingBackground.h"

using namespace corvane::dsp;
using corvane::test::nearlyEqual;
using corvane::test::noiseStereo;

namespace {

std::vector<StemData> refined(const StereoAudio& audio, int workers = 0,
                              const ProgressFn& progress = nullptr) {
    return Separator::separate(audio, progress,
                               {.method = SeparationMethod::refined, .workers = workers});
}

// 10 log10(|s|^2 / |s - estimate|^2) on the mono downmix.
double sdr(const StereoAudio& truth, const StemData& estimate) {
    double signal = 0, error = 0;
    for (std::size_t i = 0; i < truth.l.size(); ++i) {
        const double s = 0.5 * (double{truth.l[i]} + truth.r[i]);
        const double e = s - 0.5 * (double{estimate.l[i]} + estimate.r[i]);
        signal += s * s, error += e * e;
    }
    return 10 * std::log10(signal / error);
}

}  // namespace

TEST(RefinedSeparator, StemsSumToTheInputAlikeForAnyWorkerCountWithNonFiniteSamplesAsSilence) {
    for (std::size_t n : {1u, 1023u, 1025u, 2u * 44100u + 331u}) {
        StereoAudio clean = noiseStereo(n, static_cast<std::uint32_t>(n) + 9), dirty = clean;
        dirty.l[n / 2] = NAN, dirty.r[n / 3] = INFINITY, dirty.l[n - 1] = -INFINITY;
        clean.l[n / 2] = clean.r[n / 3] = clean.l[n - 1] = 0.0f;
        const auto reference = refined(clean, 1);
        ASSERT_EQ(reference.size(), 4u);
        std::vector<float> l(n), r(n);
        for (const auto& stem : reference) {
            ASSERT_TRUE(stem.l.size() == n && stem.r.size() == n);
            for (std::size_t i = 0; i < n; ++i) l[i] += stem.l[i], r[i] += stem.r[i];
        }
        EXPECT_TRUE(nearlyEqual(l, clean.l, 1e-4f)) << "n = " << n;
        EXPECT_TRUE(nearlyEqual(r, clean.r, 1e-4f)) << "n = " << n;
        for (int workers : {1, 2, 3, 8}) {
            const auto stems = refined(dirty, workers);
            ASSERT_EQ(stems.size(), 4u);
            for (int s = 0; s < 4; ++s) {
                SCOPED_TRACE(testing::Message() << "n = " << n << ", stem " << s << ", " << workers
                                                << " workers, with non-finite samples");
                EXPECT_TRUE(nearlyEqual(stems[s].l, reference[s].l, 0.0f));
                EXPECT_TRUE(nearlyEqual(stems[s].r, reference[s].r, 0.0f));
            }
        }
    }
}

TEST(RefinedSeparator, ChannelRelationsSilenceEmptyInputAndNoFftPlan) {
    const auto x = corvane::test::noise(30000, 21);
    const std::vector<float> zero(x.size());
    for (const auto& stem : refined({x, x, 48000.0}))  // mono: equal channels everywhere
        EXPECT_TRUE(nearlyEqual(stem.l, stem.r, 0.0f));
    for (const auto& stem : refined({x, zero, 44100.0}))  // left only: right exactly zero
        EXPECT_TRUE(nearlyEqual(stem.r, zero, 0.0f));
    for (const auto& stem : refined({zero, zero, 44100.0})) {  // silence: silent and finite
        EXPECT_TRUE(nearlyEqual(stem.l, zero, 0.0f));
        EXPECT_TRUE(nearlyEqual(stem.r, zero, 0.0f));
    }
    int reports = 0;
    const ProgressFn count = [&](double) { ++reports; };
    const auto empty = refined(StereoAudio{}, 0, count);
    ASSERT_EQ(empty.size(), 4u);
    for (const auto& stem : empty) EXPECT_TRUE(stem.l.empty() && stem.r.empty());
    detail::failFftPlansForTesting(true);
    EXPECT_TRUE(refined(noiseStereo(5000, 1), 0, count).empty());
    detail::failFftPlansForTesting(false);
    EXPECT_EQ(reports, 0);
}

TEST(RefinedSeparator, ProgressRisesThroughFourPassesToOneAndCancellingGivesNoStems) {
    // (n + 2048) / 1024 + 2 frames: 130 for 129024 samples, 4 for 100 (most of 8 workers idle).
    for (auto [n, frames, workers] :
         {std::tuple{100u, 4, 8}, {129024u, 130, 1}, {129024u, 130, 3}}) {
        SCOPED_TRACE(testing::Message() << frames << " frames, " << workers << " workers");
        std::mutex lock;
        std::vector<double> values;
        const ProgressFn record = [&](double v) {
            std::lock_guard guard(lock);
            values.push_back(v);
        };
        ASSERT_EQ(refined(noiseStereo(n, 4), workers, record).size(), 4u);
        std::sort(values.begin(), values.end());
        // Every 64th unit and the last of each pass: frames, frames, 2 * frames and 8 * frames
        // units.
        const std::size_t expected =
            (frames + 63) / 64 * 2 + (2 * frames + 63) / 64 + (8 * frames + 63) / 64;
        EXPECT_EQ(values.size(), expected);
        EXPECT_GT(values.front(), 0.0);
        EXPECT_EQ(values.back(), 1.0);
        for (double pass : {0.2, 0.4, 0.55})
            EXPECT_NE(std::find(values.begin(), values.end(), pass), values.end());
    }
    std::atomic<bool> cancel{false};
    std::atomic<int> reports = 0;
    const ProgressFn cancelAtOnce = [&](double) { ++reports, cancel = true; };
    EXPECT_TRUE(
        Separator::separate(noiseStereo(200000, 5), cancelAtOnce,
                            {.method = SeparationMethod::refined, .workers = 2, .cancel = &cancel})
            .empty());
    EXPECT_LT(reports.load(), 10);  // a full run reports about 25 times
}

TEST(RefinedSeparator, DemoSongStemsAreCleanerThanTheStandardMethods) {
    corvane::demo::DemoParts parts;
    const StereoAudio song = corvane::demo::makeDemoSong(8.0, 44100.0, &parts);
    const auto standard = Separator::separate(song, nullptr);
    const auto better = refined(song);
    const StereoAudio* truth[4] = {&parts.lead, &parts.drums, &parts.bass, &parts.chords};
    double gain = 0;
    for (int s = 0; s < 4; ++s) {
        const double before = sdr(*truth[s], standard[s]), after = sdr(*truth[s], better[s]);
        // The kick leaves the bass for the drums; no stem may get much worse (the softer centre
        // measure lets a little more of the wide chords into the vocals: about -0.6 dB on other).
        EXPECT_GT(after, before - 1.0) << "stem " << s << ": " << before << " -> " << after;
        gain += (after - before) / 4;
    }
    EXPECT_GT(gain, 1.0) << "mean SDR gain over the four stems, dB";
}

TEST(ShortFrames, MidMagnitudeIsThePlainDftOfTheFrameCentredOnTheMainFrame) {
    auto plan = FftPlan::create(kShortFrameLength);
    ASSERT_TRUE(plan);
    EXPECT_NE(
        std::find(kPlannedFrameLengths.begin(), kPlannedFrameLengths.end(), kShortFrameLength),
        kPlannedFrameLengths.end());
    FFTScratch scratch(kShortFrameLength);
    const auto window = shortHannWindow();
    const StereoAudio x = noiseStereo(6000, 3);
    std::vector<float> mag(kShortBins);
    for (std::int64_t u : {0, 3, 4, 9, 13}) {  // lead-in only, inside, straddling the end, tail
        shortMidMagnitude(x.l.data(), x.r.data(), 6000, u, window.data(), *plan, scratch,
                          mag.data());
        // Centred where main frame u / 2 is: input u * 512 - 1024.
        const std::int64_t first = u * kShortHop - 1024 - kShortFrameLength / 2;
        for (int k = 0; k < kShortBins; k += 5) {
            double sr = 0, si = 0;
            for (int m = 0; m < kShortFrameLength; ++m) {
                const std::int64_t i = first + m;
                const double v =
                    (i >= 0 && i < 6000) ? 0.5 * (double{x.l[i]} + x.r[i]) * window[m] : 0.0;
                sr += v * std::cos(-2.0 * std::numbers::pi * k * m / kShortFrameLength);
                si += v * std::sin(-2.0 * std::numbers::pi * k * m / kShortFrameLength);
            }
            ASSERT_NEAR(mag[k], std::hypot(sr, si), 1e-4) << "frame " << u << " bin " << k;
        }
    }
}

TEST(Median13, RowsOfAnyLengthEqualThePlainMedian) {
    std::mt19937 rng(5);
    for (int count : {1, 7, kShortBins, kBins}) {
        std::vector<float> plane(13 * count);
        for (float& x : plane) x = static_cast<float>(rng() % 50);  // many repeats
        const float* rows[13];
        for (int d = 0; d < 13; ++d) rows[d] = plane.data() + d * count;
        std::vector<float> fast(count), padded(count + kMedianPadding);
        float window[13];
        timeMedianRow(rows, fast.data(), count);
        for (int k = 0; k < count; ++k) {
            for (int d = 0; d < 13; ++d) window[d] = rows[d][k];
            ASSERT_EQ(fast[k], median13Sorted(window)) << "time, " << count << " bins, bin " << k;
        }
        frequencyMedianRow(rows[0], fast.data(), count, padded.data());
        for (int k = 0; k < count; ++k) {
            for (int d = 0; d < 13; ++d) window[d] = rows[0][std::clamp(k + d - 6, 0, count - 1)];
            ASSERT_EQ(fast[k], median13Sorted(window)) << "freq, " << count << " bins, bin " << k;
        }
    }
}

TEST(RefinedKernels, GainsSumToOneAndFollowTheirCues) {
    // Columns: percussive share q, centre measure c2, bass weight b, voice band w.
    struct Row {
        float q, c2, b, w;
        float vocals, drums, bass, other;
    };
    for (const Row& row : {Row{1, 1, 1, 1, 0, 1, 0, 0},  // a hit, even under the cross-over
                           Row{0, 1, 1, 1, 0, 0, 1, 0},  // a held low note
                           Row{0, 1, 0, 1, 1, 0, 0, 0},  // centred, in the voice's band
                           Row{0, 0, 0, 1, 0, 0, 0, 1},  // at the sides
                           Row{0, 1, 0, 0, 0, 0, 0, 1},  // centred, out of the band
                           Row{0.5f, 0.0625f, 0.5f, 1, 0.125f, 0.5f, 0.25f, 0.125f}}) {
        float g[4];
        const float f = 1.0f;
        refinedStemGains(&row.q, &row.c2, &row.b, &row.w, &f, g, g + 1, g + 2, g + 3, 1);
        EXPECT_FLOAT_EQ(g[0] + g[1] + g[2] + g[3], 1.0f);
        EXPECT_FLOAT_EQ(g[0], row.vocals);
        EXPECT_FLOAT_EQ(g[1], row.drums);
        EXPECT_FLOAT_EQ(g[2], row.bass);
        EXPECT_FLOAT_EQ(g[3], row.other);
    }
    // A main bin between two short bins takes their mean energies.
    std::vector<float> h(kShortBins, 1.0f), p(kShortBins, 0.0f), share(kBins);
    p[10] = 1.0f;
    shortPercussiveShare(h.data(), p.data(), share.data());
    EXPECT_FLOAT_EQ(share[20], 0.5f);
    EXPECT_FLOAT_EQ(share[21], 0.5f / 1.5f);
    EXPECT_EQ(share[22], 0.0f);
    const auto b = refinedBassWeights(44100.0);  // bins of 21.533 Hz
    EXPECT_EQ(b[7], 1.0f);                       // 151 Hz
    EXPECT_NEAR(b[10], 0.5f, 0.01f);             // 215 Hz
    EXPECT_EQ(b[13], 0.0f);                      // 280 Hz
    const auto w = vocalBandWeights(44100.0);
    EXPECT_EQ(w[0], 0.0f);
    EXPECT_EQ(w[100], 1.0f);   // 2.2 kHz
    EXPECT_EQ(w[1000], 0.0f);  // 21.5 kHz
}

TEST(RepeatingBackground, NeighboursAreTheMostSimilarFramesApartAndTheMedianSetsTheForeground) {
    // Frames repeating with a period of 4: frame t's features are unit vector t % 4.
    constexpr std::int64_t kFrames = 40;
    std::vector<float> features(kFrames * kRepeatBands, 0.0f);
    for (std::int64_t t = 0; t < kFrames; ++t) features[t * kRepeatBands + t % 4] = 1.0f;
    struct Case {
        std::int64_t t, reach, spacing;
        std::vector<std::int64_t> expected;
    };
    for (const Case& c : {Case{20, 10, 2, {12, 16, 24, 28}},  // only the same phase, never itself
                          Case{20, 10, 5, {12, 28}},          // 16 and 24 are too close to 20
                          Case{1, 10, 2, {5, 9}},             // the window stops at the start
                          Case{20, 2, 2, {}}}) {              // no repeat within reach
        SCOPED_TRACE(testing::Message() << "frame " << c.t << ", spacing " << c.spacing);
        std::vector<float> similarity(static_cast<std::size_t>(2 * c.reach + 1));
        std::array<std::int64_t, kRepeatNeighbours> chosen{};
        const int found = similarFrames(features.data(), kFrames, c.t, c.reach, c.spacing,
                                        similarity.data(), chosen.data());
        std::vector<std::int64_t> got(chosen.begin(), chosen.begin() + found);
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, c.expected);
    }
    // Identical frames: at most kRepeatNeighbours, each at least `spacing` from t and the others.
    std::vector<float> same(kFrames * kRepeatBands, 0.0f);
    for (std::int64_t t = 0; t < kFrames; ++t) same[t * kRepeatBands] = 1.0f;
    std::vector<float> similarity(2 * kFrames + 1);
    std::array<std::int64_t, kRepeatNeighbours> chosen{};
    const int found =
        similarFrames(same.data(), kFrames, 20, kFrames, 2, similarity.data(), chosen.data());
    EXPECT_EQ(found, kRepeatNeighbours);
    for (int i = 0; i < found; ++i) {
        EXPECT_GE(std::abs(chosen[i] - 20), 2);
        for (int j = 0; j < i; ++j) EXPECT_GE(std::abs(chosen[i] - chosen[j]), 2);
    }

    // Bins: above the median (4 over 2), below it, silent; an even count takes the middle mean.
    const float own[3] = {4.0f, 1.0f, 0.0f};
    const float a[3] = {1.0f, 5.0f, 1.0f}, b[3] = {2.0f, 5.0f, 1.0f}, c[3] = {3.0f, 5.0f, 1.0f};
    const float* rows[3] = {a, b, c};
    float share[3], scratch[kRepeatNeighbours];
    foregroundShare(own, rows, 3, share, 3, scratch);
    EXPECT_FLOAT_EQ(share[0], 0.5f);
    EXPECT_FLOAT_EQ(share[1], 0.0f);
    EXPECT_FLOAT_EQ(share[2], 0.0f);
    const float* pair[2] = {a, c};
    foregroundShare(own, pair, 2, share, 3, scratch);
    EXPECT_FLOAT_EQ(share[0], 0.5f);
    foregroundShare(own, rows, 0, share, 3, scratch);  // nothing to compare with: all foreground
    EXPECT_EQ(std::vector<float>(share, share + 3), std::vector<float>(3, 1.0f));
}

TEST(RefinedKernels, CentreMeasureFromEnergiesOverFiveFrames) {
    // Bins: mono (L = R), left only, opposite phase, and a wide part that looks centred in the
    // middle frame only (its neighbours have L = -R): 1 - 24 / 18 clamps to 0, where the frame
    // alone would say 1.
    const float lre[4] = {1, 1, 1, 1}, lim[4] = {0.5f, 0, 0, 0};
    const float rre[4] = {1, 0, -1, 1}, rim[4] = {0.5f, 0, 0, 0};
    const float sideRe[4] = {1, 0, -1, -1};  // right channel of the neighbouring frames
    const float zero[4] = {};
    float d[5][4], e[5][4];
    for (int f = 0; f < 5; ++f)
        stereoEnergies(lre, f == 2 ? lim : zero, f == 2 ? rre : sideRe, f == 2 ? rim : zero, d[f],
                       e[f], 4);
    const float* dr[5] = {d[0], d[1], d[2], d[3], d[4]};
    const float* er[5] = {e[0], e[1], e[2], e[3], e[4]};
    float c2[4];
    smoothedCentreSquared(dr, er, c2, 4);
    EXPECT_FLOAT_EQ(c2[0], 1.0f);
    EXPECT_FLOAT_EQ(c2[1], 0.0f);
    EXPECT_FLOAT_EQ(c2[2], 0.0f);
    EXPECT_FLOAT_EQ(c2[3], 0.0f);
    // Silence counts as centred, so mono silence stays alike in both channels.
    const float* silent[5] = {zero, zero, zero, zero, zero};
    smoothedCentreSquared(silent, silent, c2, 4);
    EXPECT_FLOAT_EQ(c2[0], 1.0f);
}
