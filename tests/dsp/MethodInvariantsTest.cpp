// SPDX-License-Identifier: GPL-3.0-or-later
// What every separation method guarantees, run over each: the stems sum to the input whatever the
// worker count, non-finite samples count as silence, any finite input gives finite stems, mono and
// one-sided input keep their channel relations, and empty input, a missing FFT plan and a cancel
// give what the contract says.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>

#include "TestSupport.h"
#include "dsp/Separator.h"
#include "dsp/common/FftPlan.h"

namespace corvane::dsp {
namespace {

using test::nearlyEqual;
using test::noiseStereo;

class MethodInvariants : public testing::TestWithParam<SeparationMethod> {
protected:
    std::vector<StemData> separate(const StereoAudio& audio, int workers = 0,
                                   const ProgressFn& progress = nullptr,
                                   const std::atomic<bool>* cancel = nullptr) const {
        return Separator::separate(audio, progress,
                                   {.method = GetParam(), .workers = workers, .cancel = cancel});
    }
    // How closely the stems add back: single-precision rounding of the method's own steps.
    float sumTolerance() const { return GetParam() == SeparationMethod::standard ? 3e-6f : 1e-4f; }
};

// The sum of both channels of every stem, against the input within `tolerance` (relative).
void expectSum(const StereoAudio& in, const std::vector<StemData>& stems, float tolerance) {
    ASSERT_EQ(stems.size(), 4u);
    for (int c = 0; c < 2; ++c) {
        const std::vector<float>& x = c == 0 ? in.l : in.r;
        std::vector<float> sum(x.size(), 0.0f);
        for (const StemData& stem : stems) {
            const std::vector<float>& y = c == 0 ? stem.l : stem.r;
            ASSERT_EQ(y.size(), x.size());
            for (std::size_t i = 0; i < x.size(); ++i) sum[i] += y[i];
        }
        EXPECT_TRUE(nearlyEqual(sum, x, tolerance * std::max(test::peakAbs(x), 1e-30f)))
            << "channel " << c;
    }
}

TEST_P(MethodInvariants, StemsSumToTheInputAlikeForAnyWorkerCountWithNonFiniteSamplesAsSilence) {
    for (std::size_t n : {1u, 1023u, 1025u, 2u * 44100u + 331u}) {
        StereoAudio clean = noiseStereo(n, static_cast<std::uint32_t>(n)), dirty = clean;
        dirty.l[n / 2] = NAN, dirty.r[n / 3] = INFINITY, dirty.l[n - 1] = -INFINITY;
        clean.l[n / 2] = clean.r[n / 3] = clean.l[n - 1] = 0.0f;
        const auto reference = separate(clean, 1);
        SCOPED_TRACE(testing::Message() << "n = " << n);
        expectSum(clean, reference, sumTolerance());
        for (int workers : {1, 2, 3, 8}) {
            const auto stems = separate(dirty, workers);
            ASSERT_EQ(stems.size(), 4u);
            for (int s = 0; s < 4; ++s) {
                SCOPED_TRACE(testing::Message() << "stem " << s << ", " << workers << " workers");
                EXPECT_TRUE(nearlyEqual(stems[s].l, reference[s].l, 0.0f));
                EXPECT_TRUE(nearlyEqual(stems[s].r, reference[s].r, 0.0f));
            }
        }
    }
}

// Samples far beyond full scale (a broken or hostile float file) still give finite stems that sum
// to the input: no intermediate square may overflow, nor a transform.
TEST_P(MethodInvariants, AnyFiniteInputGivesFiniteStemsThatSumToIt) {
    for (const float scale : {1e17f, 1e30f, 3e37f}) {
        StereoAudio song = noiseStereo(3 * 44100, 8);
        for (std::size_t i = 0; i < song.l.size(); ++i) {
            song.r[i] = 0.3f * song.r[i] + song.l[i];  // partly centred: every stem gets some
            song.l[i] *= scale;
            song.r[i] *= i < 44100 ? 1.0f : scale;  // loud and quiet frames side by side
        }
        SCOPED_TRACE(testing::Message() << "samples of " << scale);
        expectSum(song, separate(song, 2), 1e-5f);
    }
}

TEST_P(MethodInvariants, MonoLeftOnlySilenceEmptyInputAndNoFftPlan) {
    const auto x = test::noise(30000, 21);
    const std::vector<float> zero(x.size());
    for (const auto& stem : separate({x, x, 48000.0}))  // mono: equal channels everywhere
        EXPECT_TRUE(nearlyEqual(stem.l, stem.r, 0.0f));
    for (const auto& stem : separate({x, zero, 44100.0}))  // left only: right exactly zero
        EXPECT_TRUE(nearlyEqual(stem.r, zero, 0.0f));
    for (const auto& stem : separate({zero, zero, 44100.0})) {  // silence: silent and finite
        EXPECT_TRUE(nearlyEqual(stem.l, zero, 0.0f));
        EXPECT_TRUE(nearlyEqual(stem.r, zero, 0.0f));
    }
    int reports = 0;
    const ProgressFn count = [&](double) { ++reports; };
    const auto empty = separate(StereoAudio{}, 0, count);
    ASSERT_EQ(empty.size(), 4u);
    for (const auto& stem : empty) EXPECT_TRUE(stem.l.empty() && stem.r.empty());
    detail::failFftPlansForTesting(true);
    EXPECT_TRUE(separate(noiseStereo(5000, 1), 0, count).empty());
    detail::failFftPlansForTesting(false);
    EXPECT_EQ(reports, 0);
}

TEST_P(MethodInvariants, CancellingStopsEarlyWithNoStems) {
    std::atomic<bool> cancel{false};
    std::atomic<int> reports = 0;
    const ProgressFn cancelAtOnce = [&](double) { ++reports, cancel = true; };
    EXPECT_TRUE(separate(noiseStereo(200000, 5), 2, cancelAtOnce, &cancel).empty());
    EXPECT_LT(reports.load(), 10);  // a full run reports about 40 times
}

INSTANTIATE_TEST_SUITE_P(BothMethods, MethodInvariants,
                         testing::Values(SeparationMethod::standard, SeparationMethod::refined),
                         [](const testing::TestParamInfo<SeparationMethod>& method) {
                             return method.param == SeparationMethod::standard ? "Standard"
                                                                               : "Refined";
                         });

}  // namespace
}  // namespace corvane::dsp
