// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numbers>
#include <span>
#include <vector>

#include "TestSupport.h"
#include "demo/DemoSong.h"

namespace corvane::demo {
namespace {

using test::nearlyEqual;
using test::peakAbs;

constexpr double kRate = 44100.0;

// `x` times a 4-term Blackman-Harris window. Its side lobes sit 92 dB down, so a strong low tone
// cannot leak into the frequencies measured far above it.
std::vector<double> blackmanHarris(std::span<const float> x) {
    std::vector<double> out(x.size());
    const double n = static_cast<double>(x.size() - 1);
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double a = 2.0 * std::numbers::pi * static_cast<double>(i) / n;
        out[i] = x[i] * (0.35875 - 0.48829 * std::cos(a) + 0.14128 * std::cos(2 * a) -
                         0.01168 * std::cos(3 * a));
    }
    return out;
}

// Power of `x` at `hz`, by Goertzel.
double powerAt(std::span<const double> x, double hz, double sampleRate) {
    const double coeff = 2.0 * std::cos(2.0 * std::numbers::pi * hz / sampleRate);
    double s1 = 0.0;
    double s2 = 0.0;
    for (double v : x) {
        const double s = v + coeff * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    return s1 * s1 + s2 * s2 - coeff * s1 * s2;
}

double correlation(std::span<const float> a, std::span<const float> b) {
    double ab = 0.0;
    double aa = 0.0;
    double bb = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        ab += static_cast<double>(a[i]) * b[i];
        aa += static_cast<double>(a[i]) * a[i];
        bb += static_cast<double>(b[i]) * b[i];
    }
    return ab / std::sqrt(aa * bb);
}

double rms(std::span<const float> x) {
    double sum = 0.0;
    for (float v : x) sum += static_cast<double>(v) * v;
    return std::sqrt(sum / static_cast<double>(x.size()));
}

// One 8-second song (four bars) with its parts, made once for the whole suite.
class DemoSongTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_parts = new DemoParts;
        s_mix = new dsp::StereoAudio(makeDemoSong(8.0, kRate, s_parts));
    }
    static void TearDownTestSuite() {
        delete s_mix;
        delete s_parts;
    }
    static const dsp::StereoAudio& mix() { return *s_mix; }
    static const DemoParts& parts() { return *s_parts; }

private:
    static inline dsp::StereoAudio* s_mix = nullptr;
    static inline DemoParts* s_parts = nullptr;
};

TEST_F(DemoSongTest, SameArgumentsGiveTheSameSamples) {
    const dsp::StereoAudio again = makeDemoSong(8.0, kRate);
    EXPECT_TRUE(nearlyEqual(mix().l, again.l, 0.0f));
    EXPECT_TRUE(nearlyEqual(mix().r, again.r, 0.0f));
}

TEST_F(DemoSongTest, MixIsExactlyDrumsPlusBassPlusChordsPlusLead) {
    const DemoParts& p = parts();
    std::vector<float> l(mix().l.size());
    std::vector<float> r(mix().r.size());
    for (std::size_t i = 0; i < l.size(); ++i) {
        l[i] = p.drums.l[i] + p.bass.l[i] + p.chords.l[i] + p.lead.l[i];
        r[i] = p.drums.r[i] + p.bass.r[i] + p.chords.r[i] + p.lead.r[i];
    }
    EXPECT_TRUE(nearlyEqual(mix().l, l, 0.0f));
    EXPECT_TRUE(nearlyEqual(mix().r, r, 0.0f));
}

TEST_F(DemoSongTest, LengthAndRateFollowTheArguments) {
    EXPECT_EQ(mix().frames(), 8 * 44100);
    EXPECT_EQ(mix().r.size(), mix().l.size());
    for (const dsp::StereoAudio* part :
         {&parts().drums, &parts().bass, &parts().chords, &parts().lead}) {
        EXPECT_EQ(part->l.size(), mix().l.size());
        EXPECT_EQ(part->r.size(), mix().l.size());
        EXPECT_EQ(part->sampleRate, kRate);
    }

    const dsp::StereoAudio at48k = makeDemoSong(2.5, 48000.0);
    EXPECT_EQ(at48k.frames(), 120000);
    EXPECT_EQ(at48k.r.size(), at48k.l.size());
    EXPECT_EQ(at48k.sampleRate, 48000.0);

    EXPECT_EQ(makeDemoSong(0.0, kRate).frames(), 0);
    EXPECT_EQ(makeDemoSong(-1.0, kRate).frames(), 0);
}

TEST_F(DemoSongTest, PeaksBelowFullScaleAndEveryPartIsHeard) {
    const float peak = std::max(peakAbs(mix().l), peakAbs(mix().r));
    EXPECT_LT(peak, 1.0f);
    EXPECT_GT(peak, 0.7f);  // about -1 dBFS, not a whisper

    // Every part plays in every second of the song, in both channels.
    const auto second = static_cast<std::size_t>(kRate);
    for (const dsp::StereoAudio* part :
         {&parts().drums, &parts().bass, &parts().chords, &parts().lead}) {
        for (std::size_t at = 0; at + second <= part->l.size(); at += second) {
            EXPECT_GT(rms(std::span(part->l).subspan(at, second)), 0.01)
                << "second " << at / second;
            EXPECT_GT(rms(std::span(part->r).subspan(at, second)), 0.01)
                << "second " << at / second;
        }
    }
}

TEST_F(DemoSongTest, BassHasNothingAbove120Hz) {
    constexpr std::size_t kWindow = 8192;
    const std::vector<float>& bass = parts().bass.l;
    for (std::size_t at = 0; at + kWindow <= bass.size(); at += kWindow) {
        const std::vector<double> window = blackmanHarris(std::span(bass).subspan(at, kWindow));
        double fundamental = 0.0;
        for (double hz = 40.0; hz <= 85.0; hz += 1.0)
            fundamental = std::max(fundamental, powerAt(window, hz, kRate));
        ASSERT_GT(fundamental, 0.0) << "window at frame " << at;
        for (double hz = 120.0; hz <= 2000.0; hz += 10.0) {
            const double db = 10.0 * std::log10(powerAt(window, hz, kRate) / fundamental);
            ASSERT_LT(db, -60.0) << hz << " Hz in the window at frame " << at;
        }
    }
    EXPECT_TRUE(nearlyEqual(parts().bass.l, parts().bass.r, 0.0f)) << "bass is centred";
}

TEST_F(DemoSongTest, LeadIsIdenticalInBothChannels) {
    EXPECT_TRUE(nearlyEqual(parts().lead.l, parts().lead.r, 0.0f));
    EXPECT_GT(peakAbs(parts().lead.l), 0.05f);
}

TEST_F(DemoSongTest, ChordsAreWideNotCentred) {
    const DemoParts& p = parts();
    EXPECT_LT(std::fabs(correlation(p.chords.l, p.chords.r)), 0.5);
    const double balance = rms(p.chords.l) / rms(p.chords.r);
    EXPECT_GT(balance, 0.7);
    EXPECT_LT(balance, 1.4);
}

}  // namespace
}  // namespace corvane::demo
