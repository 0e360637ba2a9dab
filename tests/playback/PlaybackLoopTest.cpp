// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "LoopReference.h"
#include "OfflinePlayer.h"
#include "TestSupport.h"
#include "playback/OfflineAudioDevice.h"
#include "playback/PlaybackEngine.h"

using namespace corvane;
using namespace corvane::playback;
using Loop = PlaybackEngine::Loop;
using namespace corvane::playback::looptest;

namespace {

constexpr double kRate = 48000.0;

// An engine on an offline device at 48 kHz playing one stem on source 0, scheduled and started.
struct LoopRig : OfflinePlayer {
    explicit LoopRig(std::shared_ptr<const dsp::StemData> s) : stem(std::move(s)) {}
    void play(std::int64_t from, std::int64_t at) {
        engine.schedule(0, stem, from, static_cast<std::int64_t>(stem->l.size()));
        engine.startAll(at);
    }
    std::shared_ptr<const dsp::StemData> stem;
};

}  // namespace

// Through the engine on its device: the render thread takes each loop change from the voice
// table while playing (the mixer's own test runs every case; these are the ones with changes).
TEST(PlaybackEngineLoop, WrapsFromBToAToTheSampleWithoutAGapAcrossLoopChangesWhilePlaying) {
    for (const LoopCase& c : loopCases()) {
        if (c.steps.size() < 2 && c.from != 9000) continue;
        SCOPED_TRACE(c.name);
        LoopRig rig(rampStem(20000));
        constexpr std::int64_t kAt = 300;  // a lead before the start
        rig.play(c.from, kAt);
        Reference ref{c.from, 20000, {}};
        std::int64_t device = 0;
        int faded = 0;
        for (const LoopCase::Step& step : c.steps) {
            rig.engine.setLoop(step.loop);
            ref.loop = step.loop;
            for (int done = 0; done < step.frames; done += c.block) {
                const auto out = rig.device->render(c.block, c.block);
                for (int i = 0; i < c.block; ++i, ++device) {
                    const auto [want, inFade] = device < kAt ? std::pair(0.0f, false) : ref.step();
                    faded += inFade;
                    if (inFade)
                        ASSERT_NEAR(out[2 * i], want, 0.05f) << "device frame " << device;
                    else
                        ASSERT_EQ(out[2 * i], want) << "device frame " << device;
                    ASSERT_EQ(out[2 * i + 1], -out[2 * i]) << "device frame " << device;
                }
                ASSERT_EQ(rig.engine.songFrame(), device < kAt ? c.from : ref.playhead())
                    << "device frame " << device;
            }
        }
        EXPECT_EQ(faded > 0, c.from != 9000);  // the one past B never wraps
    }
}

TEST(PlaybackEngineLoop, TheCrossfadeOnAFullScaleSineStepsNoFurtherThanTheSinePlusTheFadesSlope) {
    constexpr std::int64_t kFrames = 48000;
    auto sine = std::make_shared<dsp::StemData>();
    sine->l = test::sine(kFrames, 440.0, kRate, 1.0f);
    sine->r = sine->l;
    float sineStep = 0.0f;
    for (std::size_t i = 1; i < sine->l.size(); ++i)
        sineStep = std::max(sineStep, std::abs(sine->l[i] - sine->l[i - 1]));
    // A loop whose ends are far apart on the wave: a bare jump from B - 1 to A would be a click.
    const std::int64_t a = 10000;
    std::int64_t b = 30000;
    for (std::int64_t k = 30000; k < 30100; k += 20)  // device blocks of 20 meet B
        if (std::abs(sine->l[k - 1] - sine->l[a]) > std::abs(sine->l[b - 1] - sine->l[a])) b = k;
    ASSERT_GT(std::abs(sine->l[b - 1] - sine->l[a]), 1.5f);

    LoopRig rig(sine);
    rig.play(0, 0);
    // Set at these device frames: on, off in the middle of the first fade (it runs on and wraps),
    // on again with the source inside the fade window (a full fade, a little past B), and moved.
    const std::int64_t length = b - a;
    const std::pair<std::int64_t, Loop> changes[] = {{0, {a, b, true}},
                                                     {b - 100, {a, b, false}},
                                                     {b + length - 120, {a, b, true}},
                                                     {b + 3 * length, {a + 77, b - 1500, true}}};
    std::vector<float> out;
    for (std::int64_t device = 0; device < b + 6 * length; device += 20) {
        for (const auto& [at, loop] : changes)
            if (at == device) rig.engine.setLoop(loop);
        const auto block = rig.device->render(20, 20);
        out.insert(out.end(), block.begin(), block.end());
    }
    const float bound = sineStep + 2.0f / (kFade + 1) + 1e-6f;
    for (std::size_t i = 2; i < out.size(); i += 2)
        ASSERT_LE(std::abs(out[i] - out[i - 2]), bound) << "frame " << i / 2;
    EXPECT_EQ(out[2 * b], sine->l[a]);  // the first frame after the first wrap is A's own
}

TEST(PlaybackEngineLoop, StretchedPlaybackWrapsTooWithTheSongFramesStampedInTheRing) {
    constexpr std::int64_t kA = 12000;
    constexpr std::int64_t kB = 24000;
    auto tone = std::make_shared<dsp::StemData>();
    tone->l = test::sine(48000, 440.0, kRate);
    tone->r = tone->l;
    LoopRig rig(tone);
    rig.engine.setStretch({0.75, 2.0});
    rig.engine.setLoop({kA, kB, true});
    rig.play(0, 0);
    // As fast as the feeder prepares it; a stretched loop never plays out.
    constexpr std::size_t kHeard = 176 * 512;
    std::vector<float> heard;
    std::vector<std::int64_t> playhead;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (heard.size() < 2 * kHeard && std::chrono::steady_clock::now() < deadline) {
        if (rig.engine.bufferedFrames() < 512) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        const auto block = rig.device->render(512, 512);
        heard.insert(heard.end(), block.begin(), block.end());
        playhead.push_back(rig.engine.stretchedSongFrame().value_or(-1));
    }
    ASSERT_EQ(heard.size(), 2 * kHeard);
    EXPECT_FALSE(rig.engine.stretchedToTheEnd());
    int wraps = 0;
    for (std::size_t i = 1; i < playhead.size(); ++i) {
        ASSERT_GE(playhead[i], 0) << "block " << i;
        ASSERT_LT(playhead[i], kB) << "block " << i;
        if (playhead[i] < playhead[i - 1]) {
            ++wraps;  // back to A, having come up to B (a block is 384 song frames at 75 %)
            EXPECT_NEAR(static_cast<double>(playhead[i]), kA, 400.0) << "block " << i;
            EXPECT_NEAR(static_cast<double>(playhead[i - 1]), kB, 400.0) << "block " << i;
        }
    }
    // 90112 device frames at 75 % are 67584 song frames: up to B, then 12000 a loop.
    EXPECT_EQ(wraps, 4);
    // No gap: the tone never drops out for more than a few frames once it has begun.
    int quiet = 0;
    for (std::size_t i = 2 * 4800; i < heard.size(); i += 2) {
        quiet = std::abs(heard[i]) < 1e-3f ? quiet + 1 : 0;
        ASSERT_LT(quiet, 8) << "frame " << i / 2;
    }
}
