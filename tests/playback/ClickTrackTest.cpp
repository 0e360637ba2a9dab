// SPDX-License-Identifier: GPL-3.0-or-later
// The metronome as heard through the engine on an offline device: on the beats to the sample at
// 100 % and across loop wraps, with the song's own beats at 75 %, accented on the downbeat, at
// its own level, and a count-in of whole bars before the song and before each loop pass.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <iostream>
#include <thread>

#include "OfflinePlayer.h"
#include "TestSupport.h"
#include "playback/ClickTrack.h"
#include "playback/OfflineAudioDevice.h"
#include "playback/PlaybackEngine.h"

namespace corvane::playback {
namespace {

constexpr double kRate = 48000.0;

// Where a sound starts after at least `quiet` frames below `threshold`, and its peak.
struct Onset {
    std::int64_t frame;
    float peak;
};
std::vector<Onset> onsets(const std::vector<float>& x, float threshold, int quiet = 400) {
    std::vector<Onset> found;
    std::int64_t lastLoud = -quiet - 1;
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (std::abs(x[i]) <= threshold) continue;
        const auto at = static_cast<std::int64_t>(i);
        if (at - lastLoud > quiet) found.push_back({at, 0.0f});
        found.back().peak = std::max(found.back().peak, std::abs(x[i]));
        lastLoud = at;
    }
    return found;
}

using Player = OfflinePlayer;

std::shared_ptr<const ClickBeats> beatsEvery(std::int64_t first, std::int64_t period, int count,
                                             int perBar) {
    auto beats = std::make_shared<ClickBeats>();
    for (int k = 0; k < count; ++k) beats->push_back({first + k * period, k % perBar == 0});
    return beats;
}

TEST(Click, LandsOnEveryBeatHeardToTheSampleThroughLoopWrapsAtItsOwnLevel) {
    // Beats every 2000 frames, a bar of 4 from frame 1000; the song is silent, so all that is
    // heard is the click. Played from a beat (3000) at device frame 500, looping [5000, 9000):
    // the beat at the loop's start sounds at every wrap, the downbeat at 9000 never.
    const std::int64_t at = 500, from = 3000;
    const Loop loop{5000, 9000, true};
    const auto beats = beatsEvery(1000, 2000, 10, 4);
    std::vector<std::int64_t> want;  // an independent walk of the song frames heard
    std::vector<bool> wantAccent;
    for (std::int64_t d = at; d < 30000; ++d) {
        std::int64_t s = from + (d - at);
        if (s >= loop.end) s = loop.start + (s - loop.start) % (loop.end - loop.start);
        for (const ClickBeat& b : *beats)
            if (b.frame == s) {
                want.push_back(d);
                wantAccent.push_back(b.downbeat);
            }
    }
    for (const float volume : {1.0f, 0.5f}) {
        SCOPED_TRACE(testing::Message() << "volume " << volume);
        Player p;
        p.engine.setClickBeats(beats);
        p.engine.setClickVolume(volume);
        p.engine.setClickMuted(false);
        p.engine.setLoop(loop);
        const auto silent = stemOf(std::vector<float>(40000, 0.0f));
        p.engine.playAll({silent}, from, 40000, at, false);
        const auto got = onsets(p.render(30000), 1e-4f);
        ASSERT_EQ(got.size(), want.size());
        for (std::size_t k = 0; k < want.size(); ++k) {
            ASSERT_EQ(got[k].frame, want[k]) << "click " << k;
            const float level = wantAccent[k] ? ClickTrack::kAccentLevel : ClickTrack::kBeatLevel;
            ASSERT_NEAR(got[k].peak, level * volume, 1e-3) << "click " << k;
        }
    }
    // Muted (as it starts), nothing.
    Player p;
    p.engine.setClickBeats(beats);
    p.engine.playAll({stemOf(std::vector<float>(40000, 0.0f))}, from, 40000, at, false);
    EXPECT_TRUE(onsets(p.render(10000), 1e-6f).empty());
}

TEST(Click, CountInIsWholeBarsAtTheTempoPlayedThenTheSongsFirstBeat) {
    // 120 beats a minute in 3/4.
    const auto beats = beatsEvery(0, 24000, 12, 3);
    const CountIn slow = planCountIn(*beats, 0, 0.75, 1, kRate, 0);
    EXPECT_EQ(slow.beats, 3);
    EXPECT_DOUBLE_EQ(slow.intervalFrames, 32000.0);
    EXPECT_EQ(planCountIn({}, 0, 1.0, 2, kRate, 0).beats, 8);  // no beats: 4/4 at 120
    for (const int bars : {1, 2}) {
        SCOPED_TRACE(testing::Message() << bars << " bars");
        Player p;
        p.engine.setClickBeats(beats);
        p.engine.setClickMuted(false);
        const CountIn c = planCountIn(*beats, 0, 1.0, bars, kRate, 300);
        ASSERT_EQ(c.endAt(), 300 + bars * 3 * 24000);
        p.engine.setCountIn(c);
        p.engine.playAll({stemOf(std::vector<float>(200000, 0.0f))}, 0, 200000, c.endAt(), false);
        const auto got = onsets(p.render(c.endAt() + 1000), 1e-4f);
        ASSERT_EQ(got.size(), static_cast<std::size_t>(bars * 3 + 1));
        for (std::size_t k = 0; k < got.size(); ++k) {
            EXPECT_EQ(got[k].frame, 300 + static_cast<std::int64_t>(k) * 24000) << "click " << k;
            const bool accent = k % 3 == 0;
            EXPECT_NEAR(got[k].peak, accent ? ClickTrack::kAccentLevel : ClickTrack::kBeatLevel,
                        1e-3)
                << "click " << k;
        }
    }
}

// The frames heard as the walk goes: the count-in's clicks from `wrap`, then the song's beats of
// the pass from `wrap + countIn.length()` at `tempo`, and so on for `passes` wraps.
std::vector<Onset> passClicks(const ClickBeats& beats, const Loop& loop, const CountIn& countIn,
                              double tempo, std::int64_t wrap, int passes) {
    std::vector<Onset> want;
    const auto level = [](bool accent) {
        return accent ? ClickTrack::kAccentLevel : ClickTrack::kBeatLevel;
    };
    const double interval = countIn.intervalFrames / tempo;
    const auto gap = static_cast<std::int64_t>(interval * countIn.beats + 0.5);
    for (int pass = 0; pass < passes; ++pass) {
        for (int j = 0; j < countIn.beats; ++j)
            want.push_back({wrap + std::lround(j * interval), level(j % countIn.beatsPerBar == 0)});
        for (const ClickBeat& b : beats)
            if (b.frame >= loop.start && b.frame < loop.end)
                want.push_back({wrap + gap +
                                    static_cast<std::int64_t>(std::ceil(
                                        static_cast<double>(b.frame - loop.start) / tempo)),
                                level(b.downbeat)});
        wrap += gap + static_cast<std::int64_t>(
                          std::ceil(static_cast<double>(loop.end - loop.start) / tempo));
    }
    return want;
}

TEST(Click, ACountInBeforeEachPassSilencesTheSongForItsBarsThenTheLoopStartsToTheSample) {
    // 120 beats a minute in 4/4: a bar is 96000 frames. The loop is bar 2, played from 12000
    // frames before its end; the song is a quiet tone (exactly zero nowhere after frame 0).
    const auto beats = beatsEvery(0, 24000, 16, 4);
    const Loop loop{96000, 192000, true};
    const std::int64_t from = 180000, fade = 240;  // 5 ms
    const auto tone = stemOf(test::sine(300000, 440.0, kRate, 0.2f));
    for (const int bars : {1, 2}) {
        SCOPED_TRACE(testing::Message() << bars << " bars");
        const CountIn countIn = planCountIn(*beats, loop.start, 1.0, bars, kRate, 0);
        ASSERT_EQ(countIn.length(), bars * 96000);
        const std::int64_t wrap = loop.end - from, gap = countIn.length();
        const std::int64_t total = wrap + 2 * (gap + 96000) - fade;  // short of a third wrap
        // The song alone (the click on, at no level): its sound up to the loop's end, silence
        // but for the start's 5 ms lead-in fading in, then the loop's start to the sample.
        Player p;
        p.engine.setClickBeats(beats);
        p.engine.setClickMuted(false);
        p.engine.setClickVolume(0.0f);
        p.engine.setLoop(loop);
        p.engine.setPassCountIn(countIn);
        p.play(tone, from);
        std::vector<float> out = p.render(wrap + gap / 2);
        EXPECT_EQ(p.now(), loop.start) << "the playhead holds at the start through the count-in";
        const std::vector<float> rest = p.render(total - static_cast<std::int64_t>(out.size()));
        out.insert(out.end(), rest.begin(), rest.end());
        const auto& song = tone->l;
        for (std::int64_t d = 0; d < wrap - fade; ++d)
            ASSERT_EQ(out[d], song[from + d]) << "device frame " << d;
        for (int pass = 0; pass < 2; ++pass) {
            const std::int64_t w = wrap + pass * (gap + 96000);
            for (std::int64_t d = w - fade; d < w + gap; ++d) {
                if (d >= w && d < w + gap - fade) {
                    ASSERT_EQ(out[d], 0.0f) << "device frame " << d;
                }
                // The fades: the end's out, the lead-in's in, never louder than the song.
                ASSERT_LE(std::abs(out[d]), 0.2f) << "device frame " << d;
            }
            for (std::int64_t d = w + gap; d < w + gap + 96000 - fade; ++d)
                ASSERT_EQ(out[d], song[loop.start + d - w - gap]) << "device frame " << d;
        }

        // The click alone, on the device's frames: the count-in's bars from the wrap, then the
        // loop's own beats from its start; twice.
        Player c;
        c.engine.setClickBeats(beats);
        c.engine.setClickMuted(false);
        c.engine.setLoop(loop);
        c.engine.setPassCountIn(countIn);
        c.play(stemOf(std::vector<float>(300000, 0.0f)), from);
        const auto got = onsets(c.render(total - 600), 1e-4f);
        const auto want = passClicks(*beats, loop, countIn, 1.0, wrap, 2);
        ASSERT_EQ(got.size(), want.size());
        for (std::size_t k = 0; k < want.size(); ++k) {
            EXPECT_EQ(got[k].frame, want[k].frame) << "click " << k;
            EXPECT_NEAR(got[k].peak, want[k].peak, 1e-3) << "click " << k;
        }
    }
}

TEST(Click, AStretchedCountInBeforeEachPassIsAtTheNextPassesTempoAndTheSongResumesAtItsEnd) {
    // As above, stretched: a pass at 75 % and the next at 60 %, as the speed trainer plays them.
    // The count-in is at the coming pass's tempo, 160000 device frames (4 beats of 40000) on the
    // click's clock; the stretched song falls silent at the wrap, and its burst on the loop's
    // start is heard where the count-in ends.
    const auto beats = beatsEvery(0, 24000, 16, 4);
    const Loop loop{96000, 192000, true};
    std::vector<float> song = test::sine(300000, 440.0, kRate, 0.1f);
    for (int i = 0; i < 240; ++i)
        song[static_cast<std::size_t>(loop.start + i)] +=
            0.7f * static_cast<float>(std::sin(0.3 * i));
    const CountIn countIn = planCountIn(*beats, loop.start, 1.0, 1, kRate, 0);
    const std::int64_t from = 174000;  // the wrap 24000 device frames on
    std::vector<float> heard[2];
    for (const bool click : {false, true}) {
        Player p;
        p.engine.setStretch({0.75, 0.0});
        p.engine.setNextPassTempo(0.6);
        p.engine.setClickBeats(beats);
        p.engine.setClickMuted(false);
        p.engine.setClickVolume(click ? 1.0f : 0.0f);
        for (int s = 0; s < kSources; ++s) p.engine.setGain(s, click ? 0.0f : 1.0f);
        p.engine.setLoop(loop);
        p.engine.setPassCountIn(countIn);
        p.play(stemOf(song), from);
        heard[click] = p.render(24000 + 160000 / 2);
        if (!click) {
            EXPECT_EQ(p.now(), loop.start);
        }
        const auto rest = p.render(160000 / 2 + 160000 - 1000);
        heard[click].insert(heard[click].end(), rest.begin(), rest.end());
    }
    // No beat before the wrap: the count-in's are the first clicks, then the pass's.
    const std::int64_t wrap = 24000;
    const auto clicks = onsets(heard[1], 1e-4f);
    const auto want = passClicks(*beats, loop, countIn, 0.6, wrap, 1);
    ASSERT_EQ(clicks.size(), want.size());
    for (std::size_t k = 0; k < want.size(); ++k) {
        // The count-in's to the frame; the song's beats a frame either way, as its stamps add
        // up a tempo that is no binary fraction.
        EXPECT_NEAR(clicks[k].frame, want[k].frame, k < 4 ? 0 : 1) << "click " << k;
        EXPECT_NEAR(clicks[k].peak, want[k].peak, 1e-3) << "click " << k;
    }
    // The song: silent from the wrap to the lead-in (5 ms, 400 frames at 60 %), then the burst.
    const std::vector<float>& out = heard[0];
    const std::int64_t end = wrap + countIn.length() * 10 / 6;
    for (std::int64_t d = wrap; d < end - 402; ++d) ASSERT_EQ(out[d], 0.0f) << "device frame " << d;
    EXPECT_GT(test::peakAbs(std::span(out).subspan(wrap - 480, 480)), 0.05f) << "heard up to it";
    const auto bursts = onsets(std::vector<float>(out.begin() + wrap, out.end()), 0.3f, 4000);
    ASSERT_FALSE(bursts.empty());
    std::cout << "the loop's start heard " << wrap + bursts[0].frame - end
              << " frames from the count-in's end at 60 %\n";
    EXPECT_NEAR(wrap + bursts[0].frame, end, 144);
}

TEST(Click, FollowsTheSongsOwnBeatsAtThreeQuartersTempo) {
    // The song has a 5 ms burst on each beat; the click alone and the song alone, rendered the
    // same way, must start together within the stretcher's precision.
    const auto beats = beatsEvery(12000, 24000, 7, 4);
    std::vector<float> song(200000, 0.0f);
    for (const ClickBeat& b : *beats)
        for (int i = 0; i < 240; ++i)
            song[static_cast<std::size_t>(b.frame + i)] =
                0.5f * static_cast<float>(std::sin(0.3 * i));
    std::vector<Onset> heard[2];
    for (const bool click : {false, true}) {
        Player p;
        p.engine.setStretch({0.75, 0.0});
        p.engine.setNextPassTempo(0.6);
        p.engine.setClickBeats(beats);
        p.engine.setClickMuted(!click);
        for (int s = 0; s < kSources; ++s) p.engine.setGain(s, click ? 0.0f : 1.0f);
        p.engine.playAll({stemOf(song)}, 0, 200000, 0, false);
        heard[click] = onsets(p.render(230000), click ? 1e-4f : 0.05f, 4000);
    }
    ASSERT_EQ(heard[1].size(), beats->size());
    ASSERT_EQ(heard[0].size(), beats->size());
    std::int64_t worst = 0;
    for (std::size_t k = 0; k < beats->size(); ++k) {
        // 24000 song frames a beat are 32000 device frames at 75 %.
        if (k > 0) {
            EXPECT_NEAR(heard[1][k].frame - heard[1][k - 1].frame, 32000, 2) << k;
        }
        worst = std::max(worst, std::abs(heard[1][k].frame - heard[0][k].frame));
    }
    std::cout << "click against the stretched song's beats at 75 %: at most " << worst
              << " frames apart\n";
    EXPECT_LE(worst, 144);  // 3 ms; measured 31 and 95 frames (0.6 and 2 ms), alternating
}

}  // namespace
}  // namespace corvane::playback
