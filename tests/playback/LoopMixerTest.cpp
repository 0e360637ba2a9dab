// SPDX-License-Identifier: GPL-3.0-or-later
// The mixer on its own clock, no device and no threads: every loop case sample for sample against
// the reference model, and gains that ramp without a step.
#include <gtest/gtest.h>

#include "LoopReference.h"
#include "playback/LoopMixer.h"

namespace corvane::playback {
namespace {

using namespace looptest;

void setUnit(Gains& gains) {
    for (auto& g : gains) g.store(1.0f);
}

TEST(LoopMixer, EveryLoopCaseIsTheReferenceToTheSampleWithItsPlayhead) {
    Gains gains;
    setUnit(gains);
    for (const LoopCase& c : loopCases()) {
        SCOPED_TRACE(c.name);
        const auto stem = rampStem(20000);
        LoopMixer mixer;
        mixer.fadeFrames = static_cast<int>(kFade);
        mixer.voices[0] = {stem->l.data(), stem->r.data(), c.from, 20000, 0, true, true};
        mixer.snapGains(gains);
        Reference ref{c.from, 20000, {}};
        std::int64_t clock = 0;
        for (const LoopCase::Step& step : c.steps) {
            mixer.loop = step.loop;
            ref.loop = step.loop;
            // Chunks of the case's block size, cut to the mixer's chunk length.
            for (int done = 0; done < step.frames;) {
                const int n = std::min({c.block, LoopMixer::kChunkFrames, step.frames - done});
                mixer.mix(clock, n, gains, 1);
                for (int i = 0; i < n; ++i, ++clock) {
                    const auto [want, inFade] = ref.step();
                    const float got = mixer.left()[static_cast<std::size_t>(i)];
                    if (inFade)
                        ASSERT_NEAR(got, want, 0.05f) << "clock frame " << clock;
                    else
                        ASSERT_EQ(got, want) << "clock frame " << clock;
                    ASSERT_EQ(mixer.right()[static_cast<std::size_t>(i)], -got);
                }
                ASSERT_EQ(mixer.songFrameAt(0, clock), ref.playhead()) << "clock frame " << clock;
                done += n;
            }
        }
    }
}

TEST(LoopMixer, AGainChangeRampsLinearlyOverItsFramesAndASilentVoiceTakesItAtOnce) {
    auto ones = std::make_shared<dsp::StemData>();
    ones->l.assign(4096, 1.0f);
    ones->r.assign(4096, 1.0f);
    Gains gains;
    setUnit(gains);
    LoopMixer mixer;
    mixer.voices[0] = {ones->l.data(), ones->r.data(), 0, 4096, 0, true, true};
    mixer.voices[1] = {ones->l.data(), ones->r.data(), 0, 4096, 1000, true, true};  // not yet
    mixer.snapGains(gains);
    mixer.mix(0, 100, gains, 64);
    gains[0].store(0.0f);
    gains[1].store(0.5f);
    mixer.mix(100, 128, gains, 64);
    for (int i = 0; i < 128; ++i) {
        const float want = i < 64 ? 1.0f - static_cast<float>(i + 1) / 64.0f : 0.0f;
        ASSERT_NEAR(mixer.left()[static_cast<std::size_t>(i)], want, 1e-6f) << i;
    }
    mixer.mix(1000, 4, gains, 64);  // voice 1 starts at its new gain, no ramp
    EXPECT_EQ(mixer.left()[0], 0.5f);
    EXPECT_EQ(mixer.framesLeft(1004), 4092);
}

}  // namespace
}  // namespace corvane::playback
