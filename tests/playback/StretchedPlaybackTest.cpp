// SPDX-License-Identifier: GPL-3.0-or-later
// Slowed and transposed playback as it is heard, through the engine on an offline device paced
// like a real one: a steady tone stays one clean tone, clicks stay sharp, seeks and steps off or
// back to 100 % leave no gap and no click, a held tone keeps its level across loop wraps, and the
// playhead sits on the sample heard.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <numbers>
#include <thread>

#include "OfflinePlayer.h"
#include "TestSupport.h"
#include "ToneQuality.h"
#include "playback/OfflineAudioDevice.h"
#include "playback/PlaybackEngine.h"

namespace corvane::playback {
namespace {

constexpr double kRate = 48000.0;

// A held 440 Hz note with a 2 Hz tremolo, `seconds` long.
std::shared_ptr<const dsp::StemData> heldNote(double seconds) {
    std::vector<float> x(static_cast<std::size_t>(seconds * kRate));
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        x[i] = static_cast<float>(0.4 * (0.8 + 0.2 * std::sin(2 * std::numbers::pi * 2 * t)) *
                                  std::sin(2 * std::numbers::pi * 440.0 * t));
    }
    return stemOf(std::move(x));
}

using Player = OfflinePlayer;

TEST(StretchedPlayback, ASteadyToneStaysOneCleanToneSlowedOrAnOctaveUp) {
    for (const Stretch stretch : {Stretch{0.75, 0.0}, Stretch{1.0, 12.0}}) {
        SCOPED_TRACE(testing::Message() << stretch.tempo << " x, " << stretch.semitones << " st");
        Player p;
        p.engine.setStretch(stretch);
        p.play(heldNote(12.0), 0);
        const std::vector<float> out = p.render(static_cast<std::int64_t>(8 * kRate));
        const std::span<const float> window(out.data() + static_cast<std::size_t>(2 * kRate),
                                            static_cast<std::size_t>(4 * kRate));
        const double want = 440.0 * std::pow(2.0, stretch.semitones / 12.0);
        const test::ToneQuality q = test::toneQuality(window, kRate, want);
        EXPECT_NEAR(q.hz, want, 0.5);
        EXPECT_LT(q.impurityDb, -30.0);  // Rubber Band's own R2 warbled at -5 dB
    }
}

// 10 % to 90 % of a click's envelope (the largest |x| over each 0.25 ms), in ms.
double attackMs(std::span<const float> x, std::size_t around) {
    constexpr std::size_t kBin = 12;
    std::vector<float> env;
    for (std::size_t b = around > 4800 ? around - 4800 : 0;
         b + kBin < std::min(x.size(), around + 4800); b += kBin) {
        float m = 0.0f;
        for (std::size_t i = 0; i < kBin; ++i) m = std::max(m, std::abs(x[b + i]));
        env.push_back(m);
    }
    const float peak = *std::max_element(env.begin(), env.end());
    std::size_t top =
        static_cast<std::size_t>(std::max_element(env.begin(), env.end()) - env.begin());
    std::size_t hi = top, lo = top;
    while (hi > 0 && env[hi - 1] >= 0.9f * peak) --hi;
    while (lo > 0 && env[lo - 1] >= 0.1f * peak) --lo;
    return static_cast<double>((hi - lo + 1) * kBin) / kRate * 1000.0;
}

TEST(StretchedPlayback, DrumClicksStaySharpWhenSlowed) {
    // A click every half second: a 2 kHz burst rising over 2 ms, decaying over 40 ms.
    std::vector<float> x(static_cast<std::size_t>(6 * kRate));
    for (std::size_t c = 4800; c + 4800 < x.size(); c += 24000)
        for (std::size_t i = 0; i < 4800; ++i) {
            const double t = static_cast<double>(i) / kRate;
            x[c + i] = static_cast<float>(0.8 * std::min(1.0, t / 0.002) * std::exp(-t / 0.04) *
                                          std::sin(2 * std::numbers::pi * 2000 * t));
        }
    const double original = attackMs(x, 4800 + 3 * 24000);
    for (const double tempo : {0.75, 0.5}) {
        SCOPED_TRACE(tempo);
        Player p;
        p.engine.setStretch({tempo, 0.0});
        p.play(stemOf(x), 0);
        const std::vector<float> out = p.render(static_cast<std::int64_t>(5.5 * kRate / tempo));
        for (int k = 2; k < 9; ++k) {  // the clicks past the stretcher's start
            const auto at = static_cast<std::size_t>((4800 + k * 24000) / tempo);
            EXPECT_LE(attackMs(out, at), 2.0 * original + 0.3) << "click " << k;
        }
    }
}

// The longest run of 1 ms windows whose peak is under `fraction` of the steady level, in ms.
double quietMs(std::span<const float> x, float level, float fraction) {
    constexpr std::size_t kWindow = 48;
    double longest = 0, run = 0;
    for (std::size_t b = 0; b + kWindow <= x.size(); b += kWindow) {
        float m = 0.0f;
        for (std::size_t i = 0; i < kWindow; ++i) m = std::max(m, std::abs(x[b + i]));
        run = m < fraction * level ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    return longest;
}

TEST(StretchedPlayback, SeeksAndStepsOffOrBackTo100LeaveNoGapAndNoClick) {
    struct Change {
        const char* what;
        Stretch before, after;
        bool seek;
    };
    const Change changes[] = {
        {"seek at 100 %", {}, {}, true},
        {"seek at 75 %", {0.75, 0.0}, {0.75, 0.0}, true},
        {"100 % to 95 %", {}, {0.95, 0.0}, false},
        {"0 to +1 semitone", {}, {1.0, 1.0}, false},
        {"75 % back to 100 %", {0.75, 0.0}, {}, false},
    };
    const auto tone = stemOf(test::sine(static_cast<std::size_t>(20 * kRate), 440.0, kRate));
    for (const Change& c : changes) {
        SCOPED_TRACE(c.what);
        Player p;
        p.engine.setStretch(c.before);
        p.play(tone, 0);
        std::vector<float> heard = p.render(static_cast<std::int64_t>(kRate));
        // As the transport does: the new setting, then the sources again from what is heard now
        // (or from the seek's target), crossfaded.
        p.engine.setStretch(c.after);
        p.play(tone, c.seek ? static_cast<std::int64_t>(6 * kRate) : p.now(), true);
        // The very next block, before the feeder can have started: never silence.
        const std::vector<float> next = p.render(512, 512, false);
        EXPECT_GT(test::peakAbs(next), 0.4f);
        heard.insert(heard.end(), next.begin(), next.end());
        const std::vector<float> after = p.render(static_cast<std::int64_t>(kRate));
        heard.insert(heard.end(), after.begin(), after.end());
        const std::span<const float> around(heard.data() + static_cast<std::size_t>(kRate / 2),
                                            static_cast<std::size_t>(kRate));
        EXPECT_EQ(quietMs(around, 0.5f, 0.1f), 0.0);   // never silent
        EXPECT_LE(quietMs(around, 0.5f, 0.5f), 10.0);  // at most 10 ms below half the level
        float step = 0.0f;  // no click: no step beyond the tone's own and the crossfade's slope
        for (std::size_t i = 1; i < around.size(); ++i)
            step = std::max(step, std::abs(around[i] - around[i - 1]));
        EXPECT_LT(step, 0.5f * 2 * std::numbers::pi_v<float> * 440.0f / 48000.0f * 1.1f + 0.01f);
    }
}

// The level (dB) of what is near `hz` in each 50 ms of x: a band-pass (RBJ, Q 4) and the RMS of
// its output, which a phase step in the tone does not cancel as a narrow transform would.
std::vector<double> bandLevels(std::span<const float> x, double hz) {
    const double w = 2 * std::numbers::pi * hz / kRate, alpha = std::sin(w) / (2 * 4.0);
    const double b0 = alpha, b2 = -alpha, a0 = 1 + alpha, a1 = -2 * std::cos(w), a2 = 1 - alpha;
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0, sum = 0;
    std::vector<double> levels;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double y = (b0 * x[i] + b2 * x2 - a1 * y1 - a2 * y2) / a0;
        x2 = x1, x1 = x[i], y2 = y1, y1 = y;
        sum += y * y;
        if ((i + 1) % 2400 == 0) {
            levels.push_back(10 * std::log10(sum / 2400 + 1e-20));
            sum = 0;
        }
    }
    return levels;
}

TEST(StretchedPlayback, AHeldToneKeepsItsLevelAcrossLoopWraps) {
    // A steady 440 Hz tone with a 1 kHz blip each second: transients like a drum's, which is
    // where a stretcher fed badly at a wrap loses the tone.
    std::vector<float> x = test::sine(static_cast<std::size_t>(20 * kRate), 440.0, kRate, 0.4f);
    for (std::size_t s = 0; s + 960 < x.size(); s += static_cast<std::size_t>(kRate))
        for (std::size_t i = 0; i < 960; ++i)
            x[s + i] += static_cast<float>(
                0.3 * std::sin(2 * std::numbers::pi * 1000 * static_cast<double>(i) / kRate));
    const auto note = stemOf(std::move(x));
    for (const double seconds : {3.8, 3.93, 1.0}) {
        SCOPED_TRACE(seconds);
        Player p;
        p.engine.setStretch({0.75, 2.0});
        p.engine.setLoop({static_cast<std::int64_t>(10.0 * kRate),
                          static_cast<std::int64_t>((10.0 + seconds) * kRate), true});
        p.play(note, static_cast<std::int64_t>(9.0 * kRate));
        const std::vector<float> out = p.render(static_cast<std::int64_t>(12 * kRate));
        const std::vector<double> levels = bandLevels(out, 440.0 * std::pow(2.0, 2.0 / 12.0));
        // Each wrap, in seconds of output: the song reaches the loop's end after (10 + L - 9) /
        // 0.75 s, then every L / 0.75 s. The second before it and the second after it (the
        // transient right after the start aside) are at one level.
        auto mean = [&](double from, double to) {
            double sum = 0;
            int n = 0;
            for (auto k = static_cast<std::size_t>(from / 0.05); k < to / 0.05; ++k, ++n)
                sum += levels[k];
            return sum / n;
        };
        int wraps = 0;
        for (double wrap = (1.0 + seconds) / 0.75; wrap + 1.1 < 12.0; wrap += seconds / 0.75) {
            ++wraps;
            EXPECT_NEAR(mean(wrap + 0.1, wrap + 1.1), mean(wrap - 1.0, wrap), 1.0)
                << "the wrap at " << wrap << " s of output";
        }
        EXPECT_GE(wraps, 1);
    }
}

TEST(StretchedPlayback, ThePlayheadIsTheSongFrameOfTheSampleHeard) {
    constexpr std::int64_t kClick = 96000;  // 2 s in
    std::vector<float> x(static_cast<std::size_t>(4 * kRate), 0.0f);
    for (int i = 0; i < 48; ++i) x[static_cast<std::size_t>(kClick + i)] = 0.9f;
    for (const double tempo : {1.0, 0.75}) {
        SCOPED_TRACE(tempo);
        Player p;
        p.engine.setStretch({tempo, 0.0});
        p.play(stemOf(x), 0);
        std::int64_t rendered = 0;
        for (int block = 0; block < 1000; ++block) {
            const std::vector<float> out = p.render(256, 256);
            rendered += 256;
            const auto hit = std::find_if(out.begin(), out.end(), [](float v) { return v > 0.4f; });
            if (hit == out.end()) continue;
            // The playhead after this block, counted back to the click's sample.
            const auto after = static_cast<double>(out.end() - hit);
            const double clickSong = static_cast<double>(p.now()) - after * tempo;
            EXPECT_NEAR(clickSong, static_cast<double>(kClick), 0.010 * kRate);
            break;
        }
        EXPECT_LT(rendered, 256 * 999) << "the click was never heard";
    }
}

}  // namespace
}  // namespace corvane::playback
