// SPDX-License-Identifier: GPL-3.0-or-later
// The refined method's parts, each against a plain computation: its short frames, medians, shares,
// repeating background, centre measure, pitch tracks and the partials' motion and hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <random>

#include "TestSupport.h"
#include "dsp/common/FftFlags.h"
#include "dsp/common/LongFrames.h"
#include "dsp/common/Median13.h"
#include "dsp/common/ShortFrames.h"
#include "dsp/refined/PitchTrack.h"
#include "dsp/refined/RefinedKernels.h"
#include "dsp/refined/RepeatingBackground.h"
#include "dsp/refined/VoiceVibrato.h"

using namespace corvane::dsp;
using corvane::test::noiseStereo;

TEST(ShortFrames, MidMagnitudesAreThePlainDftOfFramesCentredOnTheMainFrame) {
    const StereoAudio x = noiseStereo(9000, 3);
    struct Length {
        int length, bins;
    };
    for (const Length f : {Length{kShortFrameLength, kShortBins}, {kLongFrameLength, kLongBins}}) {
        auto plan = FftPlan::create(f.length);
        ASSERT_TRUE(plan);
        EXPECT_NE(std::find(kPlannedFrameLengths.begin(), kPlannedFrameLengths.end(), f.length),
                  kPlannedFrameLengths.end());
        FFTScratch scratch(f.length);
        const auto window = hannWindowOf(f.length);
        std::vector<float> mag(static_cast<std::size_t>(f.bins));
        // Lead-in only, inside, straddling the end, tail: frame u of the short frames is centred
        // where main frame u / 2 is, the long frame t where main frame t is.
        for (std::int64_t u : {0, 3, 4, 9, 13}) {
            const bool isShort = f.length == kShortFrameLength;
            std::int64_t first = 0;
            if (isShort) {
                first = u * kShortHop - 1024 - kShortFrameLength / 2;
                shortMidMagnitude(x.l.data(), x.r.data(), 9000, u, window.data(), *plan, scratch,
                                  mag.data());
            } else {
                first = longFrameStart(u);
                EXPECT_EQ(first, u * kHop - 1024 - kLongFrameLength / 2);
                midMagnitudeFrom(x.l.data(), x.r.data(), 9000, first, window.data(), *plan, scratch,
                                 mag.data(), f.bins);
            }
            for (int k = 0; k < f.bins; k += 5) {
                double sr = 0, si = 0;
                for (int m = 0; m < f.length; ++m) {
                    const std::int64_t i = first + m;
                    const double v =
                        (i >= 0 && i < 9000) ? 0.5 * (double{x.l[i]} + x.r[i]) * window[m] : 0.0;
                    sr += v * std::cos(-2.0 * std::numbers::pi * k * m / f.length);
                    si += v * std::sin(-2.0 * std::numbers::pi * k * m / f.length);
                }
                ASSERT_NEAR(mag[k], std::hypot(sr, si), 2e-4)
                    << f.length << "-point frame " << u << " bin " << k;
            }
        }
    }
    EXPECT_EQ(shortHannWindow(), hannWindowOf(kShortFrameLength));
    EXPECT_EQ(hannWindow(), hannWindowOf(kFrameLength));
}

TEST(Medians, RowsOfAnyLengthEqualThePlainMedian) {
    std::mt19937 rng(5);
    for (int count : {1, 7, kLongBins, kShortBins, kBins}) {
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
        // The narrow median over five bins, on all bins but the last (left as it was).
        std::fill(fast.begin(), fast.end(), -1.0f);
        narrowFrequencyMedian(rows[0], count, fast.data(), count - 1);
        for (int k = 0; k < count - 1; ++k) {
            for (int d = 0; d < 5; ++d) window[d] = rows[0][std::clamp(k + d - 2, 0, count - 1)];
            std::sort(window, window + 5);
            ASSERT_EQ(fast[k], kNarrowMedianWeight * window[2])
                << "narrow, " << count << " bins, bin " << k;
        }
        EXPECT_EQ(fast[count - 1], -1.0f);
    }
}

TEST(RefinedKernels, GainsSumToOneAndFollowTheirCues) {
    // Cues: percussive q, harmonic h, centre c, foreground f, bass weight b, band w, the voice's
    // comb, the bass line's comb, the vocals' gate (floored), the bass comb's guard against the
    // voice and the pitch-motion gate; then the gains expected.
    struct Row {
        float q, h, c, f, b, w, comb, bassComb, gate, guard, open;
        float vocals, drums, bass, other;
    };
    for (const Row& row :
         {Row{1, 0, 1, 1, 1, 1, 0, 0, 1, 1, 1, 0, 1, 0, 0},  // a hit, even under the cross-over
          Row{0, 1, 1, 1, 1, 1, 0, 0, 1, 1, 1, 0, 0, 1, 0},  // a held low note
          Row{0, 1, 1, 1, 1, 1, 1, 0, 1, 1, 1, 1, 0, 0,
              0},  // a low voice's fundamental, on its comb
          Row{0, 1, 1, 0, 1, 1, 1, 0, 1, 1, 1, 0, 0, 1, 0},  // ... but repeating: a bass line
          Row{0, 1, 1, 1, 0, 1, 0, 0, 1, 1, 1, 1, 0, 0,
              0},  // centred, not repeating, a voice sings
          Row{0, 1, 1, 1, 0, 1, 0, 0, 0.5f, 0.5f, 0, 0.5f, 0, 0, 0.5f},  // ... where none may sing
          Row{0, 1, 0, 1, 0, 1, 0, 0, 1, 1, 1, 0, 0, 0, 1},              // at the sides
          Row{0, 1, 1, 0.25f, 0, 1, 0, 0, 1, 1, 1, 0.25f, 0, 0, 0.75f},  // mostly the background
          Row{0, 1, 1, 1, 0, 0, 0, 0, 1, 1, 1, 0, 0, 0, 1},  // centred, out of the voice's band
          Row{0.5f, 0.5f, 0.25f, 1, 0.5f, 1, 0, 0, 1, 1, 1, 0.25f, 0.375f, 0.25f, 0.125f},
          // A consonant: percussive, centred, not repeating, where a voice is heard ...
          Row{1, 0, 1, 1, 0, 1, 0, 0, 1, 1, 1, 1, 0, 0, 0},
          // ... and where none is: the drums keep it.
          Row{1, 0, 1, 1, 0, 1, 0, 0, 0.5f, 0.5f, 0, 0, 1, 0, 0},
          // A bass note's harmonic above the cross-over, at the sides: the comb's part of it.
          Row{0, 1, 0, 1, 0, 1, 0, 0.7f, 1, 1, 1, 0, 0, 0.7f, 0.3f},
          // ... under a voice singing there: the voice's.
          Row{0, 1, 1, 1, 0, 1, 0, 0.7f, 1, 1, 1, 1, 0, 0, 0},
          // ... centred where no voice sings near: the vocals' floor falls, the comb's guard not.
          Row{0, 1, 1, 1, 0, 1, 0, 0.7f, 0.1f, 0.5f, 0, 0.1f, 0, 0.35f, 0.55f}}) {
        float g[4];
        const StemCues cues{&row.q,    &row.h,        &row.c,   &row.f,    &row.b,  &row.w,
                            &row.comb, &row.bassComb, row.gate, row.guard, row.open};
        refinedStemGains(cues, g, g + 1, g + 2, g + 3, 1);
        EXPECT_FLOAT_EQ(g[0] + g[1] + g[2] + g[3], 1.0f);
        EXPECT_FLOAT_EQ(g[0], row.vocals);
        EXPECT_FLOAT_EQ(g[1], row.drums);
        EXPECT_FLOAT_EQ(g[2], row.bass);
        EXPECT_NEAR(g[3], row.other, 1e-7f);
    }

    // The separation factor leaves a residual where neither estimate dominates by beta.
    const float h[4] = {1, 0, 1, 0}, p[4] = {0, 1, 1, 0};
    float hs[4], ps[4];
    separationShares(h, p, 2.0f, hs, ps, 4);
    EXPECT_FLOAT_EQ(hs[0], 1.0f);
    EXPECT_FLOAT_EQ(ps[1], 1.0f);
    EXPECT_FLOAT_EQ(hs[2], 0.2f);  // 1 / (1 + 4): 60 % residual
    EXPECT_FLOAT_EQ(ps[2], 0.2f);
    EXPECT_EQ(hs[3] + ps[3], 0.0f);  // silence: all residual, and no NaN
    const float huge[2] = {3e38f, 1e38f};
    separationShares(huge, huge + 1, 1.0f, hs, ps, 1);
    EXPECT_FLOAT_EQ(hs[0], 0.9f);

    // A main bin between two short bins takes their mean share.
    std::vector<float> shortShare(kShortBins, 0.0f), out(kBins, 0.0f);
    shortShare[10] = 1.0f;
    blendShortShares(shortShare.data(), 0.5f, out.data());
    EXPECT_FLOAT_EQ(out[20], 0.5f);
    EXPECT_FLOAT_EQ(out[21], 0.25f);
    EXPECT_EQ(out[22], 0.0f);
    // Bins of 21.533 Hz: the cross-over halfway at 215 Hz, a low voice's 86 Hz in the band.
    EXPECT_NEAR(refinedBassWeights(44100.0)[10], 0.5f, 0.01f);
    EXPECT_EQ(vocalBandWeights(44100.0)[4], 1.0f);
}

TEST(RepeatingBackground, NeighboursAreTheMostSimilarFramesApartAndTheMedianSetsTheForeground) {
    // Frames repeating with a period of 4: frame t's features are unit vector t % 4 (kept band
    // by band).
    constexpr std::int64_t kFrames = 40;
    std::vector<float> features(kFrames * kRepeatBands, 0.0f);
    for (std::int64_t t = 0; t < kFrames; ++t) features[t % 4 * kFrames + t] = 1.0f;
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
    for (std::int64_t t = 0; t < kFrames; ++t) same[t] = 1.0f;
    std::vector<float> similarity(2 * kFrames + 1);
    std::array<std::int64_t, kRepeatNeighbours> chosen{};
    const int found =
        similarFrames(same.data(), kFrames, 20, kFrames, 2, similarity.data(), chosen.data());
    EXPECT_EQ(found, kRepeatNeighbours);
    for (int i = 0; i < found; ++i) {
        EXPECT_GE(std::abs(chosen[i] - 20), 2);
        for (int j = 0; j < i; ++j) EXPECT_GE(std::abs(chosen[i] - chosen[j]), 2);
    }

    // Bins: above the median (4 over 2), below it, silent.
    const float own[3] = {4.0f, 1.0f, 0.0f};
    const float a[3] = {1.0f, 5.0f, 1.0f}, b[3] = {2.0f, 5.0f, 1.0f}, c[3] = {3.0f, 5.0f, 1.0f};
    const float* rows[3] = {a, b, c};
    float share[3];
    foregroundShare(own, rows, 3, share, 3);
    EXPECT_FLOAT_EQ(share[0], 0.5f);
    EXPECT_FLOAT_EQ(share[1], 0.0f);
    EXPECT_FLOAT_EQ(share[2], 0.0f);
    foregroundShare(own, rows, 0, share, 3);  // nothing to compare with: all foreground
    EXPECT_EQ(std::vector<float>(share, share + 3), std::vector<float>(3, 1.0f));

    // Every count of neighbours, over more bins than one pass takes and with ties: exactly the
    // plain median's shares, and 0 where a bin is not needed.
    constexpr int kCount = 150;
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> level(0, 20);
    std::vector<std::vector<float>> neighbours(kRepeatNeighbours, std::vector<float>(kCount));
    std::vector<const float*> pointers;
    for (auto& row : neighbours) {
        for (float& x : row) x = static_cast<float>(level(rng)) * 0.25f;
        pointers.push_back(row.data());
    }
    std::vector<float> mine(kCount), needed(kCount, 1.0f), got(kCount);
    for (float& x : mine) x = static_cast<float>(level(rng)) * 0.25f;
    needed[3] = needed[140] = 0.0f;
    for (int n = 1; n <= kRepeatNeighbours; ++n) {
        foregroundShare(mine.data(), pointers.data(), n, got.data(), kCount, needed.data());
        for (int k = 0; k < kCount; ++k) {
            std::vector<float> v;
            for (int i = 0; i < n; ++i) v.push_back(neighbours[i][k]);
            std::sort(v.begin(), v.end());
            const float median = n % 2 ? v[n / 2] : 0.5f * (v[n / 2] + v[n / 2 - 1]);
            const float h = mine[k];
            const float want = needed[k] == 0.0f ? 0.0f : (h - std::min(h, median)) / (h + 1e-12f);
            ASSERT_EQ(got[k], want) << n << " neighbours, bin " << k;
        }
    }
}

TEST(RefinedKernels, CentreMeasureFromMidAndSideOverFiveFrames) {
    // Bins: mono (L = R), left only, opposite phase, and a wide part that looks centred in the
    // middle frame only (its neighbours have L = -R), and a huge mono bin.
    float mid[5][5], side[5][5];
    for (int f = 0; f < 5; ++f) {
        const float lre[5] = {1, 1, 1, 1, 3e38f}, lim[5] = {0.5f, 0, 0, 0, 0};
        const float rre[5] = {1, 0, -1, f == 2 ? 1.0f : -1.0f, 3e38f};
        const float rim[5] = {0.5f, 0, 0, 0, 0};
        midSideMagnitudes(lre, lim, rre, rim, mid[f], side[f], 5);
    }
    EXPECT_FLOAT_EQ(mid[0][4], 3e38f);
    const float* m[5] = {mid[0], mid[1], mid[2], mid[3], mid[4]};
    const float* s[5] = {side[0], side[1], side[2], side[3], side[4]};
    float c[5];
    smoothedCentre(m, s, c, 5);
    EXPECT_FLOAT_EQ(c[0], 1.0f);
    EXPECT_FLOAT_EQ(c[1], 0.0f);
    EXPECT_FLOAT_EQ(c[2], 0.0f);
    EXPECT_FLOAT_EQ(c[3], 0.0f);  // 1 - 2 * 6 / 9 clamps to 0, where the frame alone says 1
    EXPECT_FLOAT_EQ(c[4], 1.0f);
    const float zero[5] = {};
    const float* silent[5] = {zero, zero, zero, zero, zero};
    smoothedCentre(silent, silent, c, 5);  // silence counts as centred: mono silence stays alike
    EXPECT_FLOAT_EQ(c[0], 1.0f);
}

TEST(PitchTrack, HarmonicSummationFindsTheFundamentalAndTheGatesFollowItsMotion) {
    const PitchGrid grid = makePitchGrid(44100.0);
    // A harmonic spectrum at 196 Hz (G3): peaks at its partials, 1 / h, on a noise floor.
    std::vector<float> spectrum(kBins, 0.01f);
    for (int h = 1; h <= 15; ++h) {
        const float bin = 196.0f * static_cast<float>(h) / grid.binHz;
        const int k = static_cast<int>(std::lround(bin));
        spectrum[k] += 1.0f / static_cast<float>(h);
    }
    std::vector<float> salience(kPitchCandidates);
    pitchSalience(spectrum.data(), grid, salience.data());
    const float* rows[2 * kPitchSmoothHalf + 1];
    std::fill(std::begin(rows), std::end(rows), salience.data());
    const float cents = choosePitch(rows);
    const float hz = kPitchLowHz * std::exp2(cents / 1200.0f);
    EXPECT_NEAR(1200.0f * std::log2(hz / 196.0f), 0.0f, 30.0f) << hz << " Hz";
    std::vector<float> silent(kPitchCandidates, 0.0f);
    std::fill(std::begin(rows), std::end(rows), silent.data());
    EXPECT_EQ(choosePitch(rows), -1.0f);

    // The bass line on the long frame: a 55 Hz note (A1) and its harmonics, its fundamental
    // counted, found within a few cents, not an octave off.
    const PitchGrid bassGrid = makeBassGrid(44100.0, kLongBins);
    std::vector<float> low(kLongBins, 0.01f);
    for (int h = 1; h <= 8; ++h)
        low[static_cast<std::size_t>(std::lround(55.0f * static_cast<float>(h) /
                                                 bassGrid.binHz))] += 1.0f / static_cast<float>(h);
    bassSalience(low.data(), bassGrid, kLongBins, salience.data());
    std::fill(std::begin(rows), std::end(rows), salience.data());
    const float bassHz = kBassLowHz * std::exp2(choosePitch(rows) / 1200.0f);
    EXPECT_NEAR(1200.0f * std::log2(bassHz / 55.0f), 0.0f, 40.0f) << bassHz << " Hz";

    // Motion: a held pitch, vibrato, a jump to another note, and an unvoiced stretch.
    std::array<float, 2 * kMotionHalf + 2> held{}, vibrato{}, jumps{}, unvoiced{};
    for (int i = 0; i < 2 * kMotionHalf + 2; ++i) {
        held[i] = 1000.0f;
        vibrato[i] = 1000.0f + 40.0f * std::sin(0.8f * static_cast<float>(i));
        jumps[i] = i % 2 ? 1000.0f : 1500.0f;
        unvoiced[i] = i % 2 ? -1.0f : 1000.0f;
    }
    EXPECT_EQ(voiceGate(pitchMotion(held.data())), 0.0f);
    EXPECT_EQ(voiceGate(pitchMotion(vibrato.data())), 1.0f);
    EXPECT_EQ(voiceGate(pitchMotion(jumps.data())), 0.0f);
    EXPECT_EQ(pitchMotion(unvoiced.data()), 0.0f);

    // The voice's pitch on the bass line: on a held bass note or its harmonics up to the 4th,
    // not on a fifth, not past the 4th, and not where it moves as a voice on the note itself.
    EXPECT_TRUE(followsBassLine(110.0f * std::exp2(0.03f), 110.0f, 0.0f));  // 36 cents sharp
    EXPECT_FALSE(followsBassLine(110.0f * std::exp2(0.05f), 110.0f, 0.0f));
    EXPECT_FALSE(followsBassLine(110.0f, 110.0f, 1.0f));
    EXPECT_TRUE(followsBassLine(330.0f, 82.5f, 1.0f));
    EXPECT_FALSE(followsBassLine(165.0f, 110.0f, 0.0f));
    EXPECT_FALSE(followsBassLine(550.0f, 110.0f, 0.0f));
    EXPECT_FALSE(followsBassLine(-1.0f, 110.0f, 0.0f));
    // ... and whether that one note is a lead, led by its fundamental, or a bass note, whose
    // 2nd to 4th harmonics carry more.
    std::vector<float> lead(kLongBins, 0.0f), bassNote(kLongBins, 0.0f);
    const float bassLevels[4] = {0.6f, 1.0f, 0.8f, 0.5f};
    for (int h = 1; h <= 4; ++h) {
        const auto k =
            static_cast<std::size_t>(std::lround(110.0f * static_cast<float>(h) / bassGrid.binHz));
        lead[k] = 1.0f / static_cast<float>(h), bassNote[k] = bassLevels[h - 1];
    }
    EXPECT_TRUE(fundamentalLeads(lead.data(), kLongBins, 110.0f, bassGrid.binHz));
    EXPECT_FALSE(fundamentalLeads(bassNote.data(), kLongBins, 110.0f, bassGrid.binHz));
    EXPECT_FALSE(
        fundamentalLeads(std::vector<float>(kLongBins).data(), kLongBins, 110.0f, bassGrid.binHz));

    // The comb: 1 on each harmonic's bin, falling between them, nothing past the top.
    std::vector<float> comb(kBins, 0.0f);
    harmonicComb(215.33f, grid.binHz, 3000.0f, comb.data());  // 10 bins apart
    EXPECT_NEAR(comb[10], 1.0f, 1e-3f);
    EXPECT_NEAR(comb[130], 1.0f, 1e-3f);
    EXPECT_LT(comb[15], 0.01f);
    EXPECT_EQ(comb[150], 0.0f);  // 3.2 kHz
}

TEST(VoiceVibrato, StruckNotesStayShutAndSungOrHeldLinesOpenTheGate) {
    // Ten consecutive main frames (plain DFT of the bins the measure reads) of a centred chord
    // struck and dying away at 20 dB a second, the same chord held, and a line with 5.5 Hz
    // vibrato of +-45 cents, each note with ten partials.
    constexpr double kRate = 44100.0;
    constexpr int kFrames = 10, kReadBins = 200;  // 4 kHz is bin 186
    auto meanShare = [&](auto&& sample) {
        std::vector<float> re(kFrames * kBins), im(re.size()), mag(re.size()), centre(re.size(), 1);
        const auto window = hannWindowOf(kFrameLength);
        std::vector<double> x(kFrameLength);
        for (int t = 0; t < kFrames; ++t) {
            for (int m = 0; m < kFrameLength; ++m) x[m] = sample(t * kHop + m) * window[m];
            for (int k = 0; k < kReadBins; ++k) {
                double sr = 0, si = 0;
                for (int m = 0; m < kFrameLength; ++m) {
                    sr += x[m] * std::cos(2.0 * std::numbers::pi * k * m / kFrameLength);
                    si -= x[m] * std::sin(2.0 * std::numbers::pi * k * m / kFrameLength);
                }
                const std::size_t i = static_cast<std::size_t>(t * kBins + k);
                re[i] = static_cast<float>(sr), im[i] = static_cast<float>(si);
                mag[i] = static_cast<float>(std::hypot(sr, si));
            }
        }
        const MidPlanes planes{re.data(), im.data(), kBins, mag.data(), centre.data()};
        const auto binHz = static_cast<float>(kRate / kFrameLength);
        Partials before, now;
        findPartials(planes, 1, binHz, before);
        float sum = 0;
        for (int t = 2; t < kFrames; ++t) {
            findPartials(planes, t, binHz, now);
            sum += sungPartialShare(before, now);
            before = now;
        }
        return sum / (kFrames - 2);
    };
    auto partials = [](double phase) {
        double v = 0;
        for (int h = 1; h <= 10; ++h) v += std::sin(h * phase) / h;
        return v;
    };
    auto chord = [&](int i) {
        double v = 0;
        for (double hz : {220.0, 277.2, 329.6})
            v += partials(2 * std::numbers::pi * hz * i / kRate);
        return v;
    };
    const float struck = meanShare([&](int i) { return chord(i) * std::exp(-2.3 * i / kRate); });
    const float held = meanShare(chord);
    const float sung = meanShare([&](int i) {
        // The phase of 300 Hz times 2^(0.45 sin(2 pi 5.5 t) / 12), integrated.
        const double t = i / kRate, depth = 300.0 * std::log(2.0) * 0.45 / 12.0;
        return partials(2 * std::numbers::pi * 300.0 * t -
                        depth / 5.5 * std::cos(2 * std::numbers::pi * 5.5 * t));
    });
    EXPECT_LT(struck, 0.05f) << "struck notes";
    EXPECT_GT(held, 0.6f) << "held notes";
    EXPECT_GT(sung, 0.6f) << "a sung line";

    // The gate from the shares around a frame: shut, half open, open.
    const float floor = kVibratoShareFloor, full = kVibratoShareFull;
    for (const auto& [share, gate] :
         {std::pair{floor - 0.1f, 0.0f}, {0.5f * (floor + full), 0.5f}, {full + 0.1f, 1.0f}}) {
        const std::vector<float> shares(40, share);
        EXPECT_NEAR(vibratoGate(shares.data(), 40, 20), gate, 1e-5f) << share;
    }

    // A voice's presence: full where the gate opens often nearby, none where it has not opened
    // for a while; a run over part of the frames gives the same values wherever their window lies
    // inside it, bit for bit (a block-wise run's stems depend on it).
    constexpr std::int64_t kAll = 3000, kHalf = 400, kFrom = 1000;
    std::vector<float> gates(kAll), presence(kAll), part(kAll - kFrom);
    for (std::int64_t t = 0; t < kAll; ++t)
        gates[t] = t < 200 ? 1.0f : t < 2000 ? 0.0f : 0.5f + 0.5f * std::sin(0.37f * t);
    voicePresence(gates.data(), kAll, kHalf, presence.data());
    for (const float top : {kPresenceSung, kPresenceFull}) {
        EXPECT_EQ(presenceWeight(presence[100], top), 1.0f);
        EXPECT_EQ(presenceWeight(presence[1500], top), 0.0f);
        EXPECT_EQ(presenceWeight(presence[2900], top), 1.0f);
    }
    // The vocals' gate: its floors, and opened only where a voice sings near.
    EXPECT_EQ(vocalsGate(presence[100], 0.0f), kGateFloor);
    EXPECT_EQ(vocalsGate(presence[100], 1.0f), 1.0f);
    EXPECT_EQ(vocalsGate(presence[1500], 1.0f), kGateFloorAlone);
    voicePresence(gates.data() + kFrom, kAll - kFrom, kHalf, part.data());
    for (std::int64_t t = kFrom + kHalf; t < kAll; ++t)
        ASSERT_EQ(part[t - kFrom], presence[t]) << t;
    EXPECT_EQ(presenceHalf(44100.0), 431);
    EXPECT_EQ(presenceHalf(96000.0), presenceHalf(48000.0));
}
