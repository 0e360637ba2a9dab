// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "TestSupport.h"
#include "playback/OfflineAudioDevice.h"
#include "playback/PlaybackEngine.h"

using namespace corvane;
using namespace corvane::playback;
using Loop = PlaybackEngine::Loop;

namespace {

constexpr double kRate = 48000.0;
constexpr std::int64_t kFade = 240;  // 5 ms at 48 kHz

// An engine on an offline device at 48 kHz playing one stem on source 0.
struct LoopRig {
    explicit LoopRig(std::shared_ptr<const dsp::StemData> s) : stem(std::move(s)) {
        EXPECT_FALSE(engine.start(kRate).has_value());
    }
    void play(std::int64_t from, std::int64_t at) {
        engine.schedule(0, stem, from, static_cast<std::int64_t>(stem->l.size()));
        engine.startAll(at);
    }
    std::shared_ptr<const dsp::StemData> stem;
    std::unique_ptr<OfflineAudioDevice> owned = std::make_unique<OfflineAudioDevice>();
    OfflineAudioDevice* device = owned.get();
    PlaybackEngine engine{std::move(owned)};
};

// Every sample is its frame index (negated on the right): the output says which frame played.
std::shared_ptr<const dsp::StemData> rampStem(std::int64_t frames) {
    auto stem = std::make_shared<dsp::StemData>();
    for (std::int64_t i = 0; i < frames; ++i) {
        stem->l.push_back(static_cast<float>(i));
        stem->r.push_back(-static_cast<float>(i));
    }
    return stem;
}

// What a looping source must play, frame by frame: the plain rule, kept apart from the engine's
// chunked mixing. `next` is the song frame it plays next. A fade begins when the source reaches
// the last kFade frames before B (or is found there when the loop is set), fades B's side out and
// the same frames a loop earlier in, and once begun runs to its end and wraps there.
struct Reference {
    std::int64_t next;
    std::int64_t length;
    Loop loop;
    bool finished = false;
    bool fading = false;
    std::int64_t fadeStart = 0, fadeEnd = 0, shift = 0;

    void follow() {
        const std::int64_t fade = std::min(kFade, (loop.end - loop.start) / 2);
        const bool loops = loop.enabled && loop.end <= length && !finished;
        if (!fading && loops && next >= loop.end - fade && next <= loop.end) {
            fading = true;
            fadeStart = next;
            fadeEnd = std::min(std::max(loop.end, next + fade), length);
            shift = loop.end - loop.start;
        }
        if (fading && next == fadeEnd) {
            fading = false;
            next -= shift;
        }
        if (next >= length) finished = true;
    }
    // The next output sample (left), and whether it lies in a crossfade.
    std::pair<float, bool> step() {
        follow();
        if (finished) return {0.0f, false};
        const std::int64_t s = next++;
        const bool faded = fading;
        float value = static_cast<float>(s);
        if (faded) {
            const double w = static_cast<double>(s - fadeStart + 1) / (fadeEnd - fadeStart + 1);
            const std::int64_t in = s - shift;
            value = static_cast<float>(s * (1 - w) + (in >= 0 ? in : 0) * w);
        }
        follow();
        return {value, faded};
    }
    // The playhead as the engine reports it.
    std::int64_t playhead() const { return std::min(next, length); }
};

}  // namespace

TEST(PlaybackEngineLoop, WrapsFromBToAToTheSampleWithoutAGapAcrossLoopChangesWhilePlaying) {
    struct Step {
        int frames;
        Loop loop;  // set before these frames render
    };
    struct Case {
        const char* name;
        std::int64_t from;
        int block;
        std::vector<Step> steps;
    };
    const Loop on{3000, 8000, true};
    const Case cases[] = {
        {"into the loop, several wraps", 0, 512, {{29000, on}}},
        {"started past B: plays on to the end", 9000, 300, {{12000, on}}},
        {"A within the fade: fades in from before the song", 0, 37, {{20000, {100, 6000, true}}}},
        {"A at 0, a short loop", 500, 256, {{12000, {0, 2400, true}}}},
        {"B at the song's end", 15000, 1000, {{30000, {12000, 20000, true}}}},
        {"on while playing, then off: plays on from where it is",
         0,
         500,
         {{2000, {}}, {15000, on}, {6000, {on.start, on.end, false}}, {9000, on}}},
        {"on inside the fade window, then off within the fade: it runs its length and wraps",
         7600,
         100,
         {{500, {}}, {100, on}, {15000, {on.start, on.end, false}}}},
        {"the region moves while playing",
         0,
         128,
         {{9000, on}, {9000, {1000, 4000, true}}, {9000, {5000, 15000, true}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopRig rig(rampStem(20000));
        constexpr std::int64_t kAt = 300;  // a lead before the start
        rig.play(c.from, kAt);
        Reference ref{c.from, 20000, {}};
        std::int64_t device = 0;
        int faded = 0;
        for (const Step& step : c.steps) {
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
        // Every case but the one past B crossfades at least once.
        EXPECT_EQ(faded > 0, c.from != 9000);
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
