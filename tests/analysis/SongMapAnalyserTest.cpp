// SPDX-License-Identifier: GPL-3.0-or-later
// The analysis on signals whose answer is known: a click track's tempo and beats, a triad
// progression's chords, a scale's key; silence, noise and a held chord have no beat; and the same
// samples give the same map however they are pushed.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <numbers>
#include <random>
#include <variant>
#include <vector>

#include "analysis/MapFormats.h"
#include "analysis/SongMapAnalyser.h"
#include "dsp/common/StemKind.h"

namespace corvane::analysis {
namespace {

constexpr double kRate = 44100.0;
constexpr double kPi = std::numbers::pi;

std::vector<dsp::StemData> silentStems(double seconds, double rate = kRate) {
    const auto n = static_cast<std::size_t>(seconds * rate);
    return std::vector<dsp::StemData>(
        4, dsp::StemData{std::vector<float>(n, 0.0f), std::vector<float>(n, 0.0f)});
}

void add(dsp::StemData& stem, std::size_t at, const std::vector<float>& x) {
    for (std::size_t i = 0; i < x.size() && at + i < stem.l.size(); ++i) {
        stem.l[at + i] += x[i];
        stem.r[at + i] += x[i];
    }
}

// A drum hit: a 60 Hz thump and a burst of noise, both dying within 60 ms.
std::vector<float> hit(std::mt19937& rng, float level) {
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> x(static_cast<std::size_t>(0.06 * kRate));
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        x[i] = level * static_cast<float>(0.6 * std::exp(-t * 60.0) * std::sin(2 * kPi * 60.0 * t) +
                                          0.3 * std::exp(-t * 120.0) * u(rng));
    }
    return x;
}

// A note of `seconds` with four harmonics and soft ends (MIDI pitch).
std::vector<float> note(double pitch, double seconds, float level) {
    const double hz = 440.0 * std::pow(2.0, (pitch - 69.0) / 12.0);
    std::vector<float> x(static_cast<std::size_t>(seconds * kRate));
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double env = std::min({1.0, t / 0.01, (seconds - t) / 0.05}) * std::exp(-t * 0.7);
        double v = 0.0;
        for (int h = 1; h <= 4; ++h) v += std::sin(2 * kPi * hz * h * t) / h;
        x[i] = level * static_cast<float>(env * v);
    }
    return x;
}

// Clicks on every beat at `bpm` from `start`, the first of every `perBar` louder.
void clickTrack(std::vector<dsp::StemData>& stems, double bpm, double start,
                std::vector<double>* times = nullptr, int perBar = 4) {
    std::mt19937 rng(7);
    auto& drums = stems[dsp::rawValue(dsp::StemKind::drums)];
    const double seconds = static_cast<double>(drums.l.size()) / kRate;
    for (int b = 0; start + b * 60.0 / bpm < seconds - 0.1; ++b) {
        const double t = start + b * 60.0 / bpm;
        add(drums, static_cast<std::size_t>(t * kRate), hit(rng, b % perBar == 0 ? 0.8f : 0.5f));
        if (times) times->push_back(t);
    }
}

struct Triad {
    int root;  // MIDI pitch of the root, in the fourth octave
    bool minor;
};
const std::vector<Triad> kCAmFG = {{60, false}, {57, true}, {65, false}, {67, false}};

// Triads in the other stem and their roots two octaves down in the bass, `seconds` each, tuned
// `cents` away from A = 440 Hz.
void progression(std::vector<dsp::StemData>& stems, const std::vector<Triad>& chords, double start,
                 double seconds, double cents = 0.0) {
    auto& other = stems[dsp::rawValue(dsp::StemKind::other)];
    auto& bass = stems[dsp::rawValue(dsp::StemKind::bass)];
    for (std::size_t c = 0; c < chords.size(); ++c) {
        const auto at = static_cast<std::size_t>((start + c * seconds) * kRate);
        const Triad& t = chords[c];
        for (const int interval : {0, t.minor ? 3 : 4, 7})
            add(other, at, note(t.root + interval + cents / 100.0, seconds, 0.12f));
        add(bass, at, note(t.root - 24 + cents / 100.0, seconds, 0.3f));
    }
}

SongMap analyse(const std::vector<dsp::StemData>& stems, AnalysisOptions options = {}) {
    const std::optional<SongMap> map = SongMapAnalyser::analyseStems(stems, kRate, {}, options);
    EXPECT_TRUE(map);
    return map.value_or(SongMap{});
}

// Drums alone: their tempo and beats, and no chords or key.
TEST(SongMapAnalyser, ClickTrackGivesItsTempoAndBeatsWithin20MsButNoHarmony) {
    for (const double bpm : {92.0, 120.0, 150.0}) {
        std::vector<dsp::StemData> stems = silentStems(24.0);
        std::vector<double> clicks;
        clickTrack(stems, bpm, 0.5, &clicks);
        const SongMap map = analyse(stems);
        ASSERT_TRUE(map.steadyBeat) << bpm;
        EXPECT_FALSE(map.hasHarmony() || map.key) << bpm;
        EXPECT_NEAR(map.tempoBpm, bpm, 0.01 * bpm);
        EXPECT_GE(map.beats.size(), clicks.size() * 9 / 10) << bpm;
        for (const Beat& b : map.beats) {
            double nearest = 1e9;
            for (const double c : clicks) nearest = std::min(nearest, std::abs(c - b.time));
            EXPECT_LT(nearest, 0.020) << bpm << " bpm, beat at " << b.time;
        }
        // Bars count up from 1 and beats within them run 1, 2, ... beatsPerBar.
        EXPECT_EQ(map.beats.front().bar, 1);
        for (std::size_t i = 1; i < map.beats.size(); ++i) {
            const Beat& a = map.beats[i - 1];
            const Beat& b = map.beats[i];
            EXPECT_TRUE(b.beat == a.beat + 1 ? b.bar == a.bar : b.beat == 1 && b.bar == a.bar + 1)
                << "beat " << i;
        }
    }
}

TEST(SongMapAnalyser, TriadProgressionAndScaleGiveTheirChordsAndKey) {
    // C, Am, F, G in C major, two bars of 120 bpm each, twice, over a click.
    std::vector<dsp::StemData> stems = silentStems(34.0);
    clickTrack(stems, 120.0, 0.5);
    const std::vector<Triad>& chords = kCAmFG;
    progression(stems, chords, 0.5, 4.0);
    progression(stems, chords, 16.5, 4.0);
    const SongMap map = analyse(stems);
    for (int c = 0; c < 8; ++c) {
        const double mid = 0.5 + c * 4.0 + 2.0;
        const Chord* at = map.chordAt(mid);
        ASSERT_NE(at, nullptr) << "chord " << c;
        const Triad& want = chords[static_cast<std::size_t>(c % 4)];
        EXPECT_EQ(at->root, want.root % 12) << "chord " << c << " at " << mid;
        EXPECT_EQ(at->quality, want.minor ? ChordQuality::minor : ChordQuality::major)
            << "chord " << c << " at " << mid;
    }
    EXPECT_EQ(map.key, (Key{0, Mode::major}));
    // After the music: no chord.
    EXPECT_EQ(map.chordAt(33.5)->quality, ChordQuality::none);

    // D major, up and down in quarter seconds over a held D in the bass: the scale's key.
    stems = silentStems(14.0);
    constexpr int kScale[] = {0, 2, 4, 5, 7, 9, 11, 12, 11, 9, 7, 5, 4, 2, 0};
    auto& other = stems[dsp::rawValue(dsp::StemKind::other)];
    for (int round = 0; round < 3; ++round)
        for (int i = 0; i < 15; ++i)
            add(other, static_cast<std::size_t>((0.5 + round * 4.2 + i * 0.25) * kRate),
                note(62 + kScale[i], i == 0 || i == 14 ? 0.5 : 0.25, 0.2f));
    add(stems[dsp::rawValue(dsp::StemKind::bass)], static_cast<std::size_t>(0.5 * kRate),
        note(38, 13.0, 0.3f));
    const std::optional<Key> scaleKey = analyse(stems).key;
    ASSERT_TRUE(scaleKey);
    EXPECT_EQ(keyName(*scaleKey), "D major");
}

TEST(SongMapAnalyser, BarsFollowTheHarmonyThroughAPickupAndInThreeFour) {
    // 4/4 at 100 bpm with the chords changing every bar from the second beat on: that beat is a
    // downbeat, and the first is a one-beat pickup (bar 1, beat 4).
    std::vector<dsp::StemData> stems = silentStems(26.0);
    const double beat = 0.6;
    clickTrack(stems, 100.0, 0.5);
    std::vector<Triad> bars;
    for (int bar = 0; bar < 9; ++bar) bars.push_back(kCAmFG[bar % 4]);
    bars.push_back({62, true});
    progression(stems, bars, 0.5 + beat, 4 * beat);
    SongMap map = analyse(stems);
    ASSERT_EQ(map.beatsPerBar, 4);
    ASSERT_FALSE(map.beats.empty());
    EXPECT_NEAR(map.beats[0].time, 0.5, 0.02);
    EXPECT_EQ(map.beats[0].bar, 1);
    EXPECT_EQ(map.beats[0].beat, 4);
    for (const Beat& b : map.beats) {
        if (b.beat != 1) continue;
        EXPECT_NEAR(std::remainder(b.time - 0.5 - beat, 4 * beat), 0.0, 0.02) << b.time;
    }

    // 3/4 at 120 bpm, a chord a bar.
    stems = silentStems(26.0);
    clickTrack(stems, 120.0, 0.5, nullptr, 3);
    std::vector<Triad> waltz;
    for (int bar = 0; bar < 16; ++bar)
        waltz.push_back(bar % 2 ? Triad{67, false} : Triad{60, false});
    progression(stems, waltz, 0.5, 1.5);
    map = analyse(stems);
    EXPECT_EQ(map.beatsPerBar, 3);
    for (const Beat& b : map.beats) {
        if (b.beat != 1) continue;
        EXPECT_NEAR(std::remainder(b.time - 0.5, 1.5), 0.0, 0.02) << b.time;
    }
}

TEST(SongMapAnalyser, FreeIntroGetsNoBeatsAndDetunedChordsAreStillFound) {
    // Eight seconds of held chords 40 cents sharp, then a click track under the same chords.
    std::vector<dsp::StemData> stems = silentStems(26.0);
    progression(stems, {{62, true}, {67, false}, {60, false}, {65, false}, {62, true}}, 0.0, 5.0,
                40.0);
    std::vector<double> clicks;
    clickTrack(stems, 120.0, 8.0, &clicks);
    const SongMap map = analyse(stems);
    ASSERT_TRUE(map.steadyBeat);
    EXPECT_GE(map.beats.front().time, 7.9);
    EXPECT_NEAR(map.tempoBpm, 120.0, 1.2);
    const int roots[] = {2, 7, 0, 5, 2};
    for (int c = 0; c < 5; ++c) {
        const Chord* at = map.chordAt(c * 5.0 + 2.5);
        ASSERT_NE(at, nullptr) << c;
        EXPECT_EQ(at->root, roots[c]) << "chord " << c;
        EXPECT_EQ(at->quality, c % 4 == 0 ? ChordQuality::minor : ChordQuality::major) << c;
    }
}

TEST(SongMapAnalyser, RepeatedPartsShareALabel) {
    // A B A B: eight bars of C-Am over a quiet click, then eight of F-G with a loud bass and
    // clicks twice as strong, twice over.
    std::vector<dsp::StemData> stems = silentStems(70.0);
    clickTrack(stems, 120.0, 0.5);
    for (int part = 0; part < 4; ++part) {
        const double start = 0.5 + part * 16.0;
        std::vector<Triad> chords;
        for (int bar = 0; bar < 8; ++bar)
            chords.push_back(part % 2 ? (bar % 2 ? Triad{67, false} : Triad{65, false})
                                      : (bar % 2 ? Triad{57, true} : Triad{60, false}));
        progression(stems, chords, start, 2.0);
        if (part % 2)
            for (auto* s : {&stems[0].l, &stems[0].r})  // a voice-like tone in the B parts
                for (std::size_t i = static_cast<std::size_t>(start * kRate);
                     i < static_cast<std::size_t>((start + 16.0) * kRate); ++i)
                    (*s)[i] += 0.1f * static_cast<float>(std::sin(2 * kPi * 523.25 * i / kRate));
    }
    const SongMap map = analyse(stems);
    // The label sounding in the middle of each part.
    auto labelAt = [&](double t) {
        for (const Section& s : map.sections)
            if (s.start <= t && t < s.end) return s.label;
        return std::string();
    };
    EXPECT_EQ(labelAt(8.5), labelAt(40.5));
    EXPECT_EQ(labelAt(24.5), labelAt(56.5));
    EXPECT_NE(labelAt(8.5), labelAt(24.5));
    EXPECT_EQ(map.sections.front().label, "A");
    for (const double boundary : {16.5, 32.5, 48.5}) {
        double nearest = 1e9;
        for (const Section& s : map.sections)
            nearest = std::min(nearest, std::abs(s.start - boundary));
        EXPECT_LT(nearest, 2.1) << boundary;
    }
}

TEST(SongMapAnalyser, SilenceNoiseAndAHeldChordHaveNoBeat) {
    // Silence: nothing at all.
    SongMap map = analyse(silentStems(12.0));
    EXPECT_FALSE(map.steadyBeat);
    EXPECT_TRUE(map.beats.empty());
    EXPECT_FALSE(map.hasHarmony());
    EXPECT_FALSE(map.key);
    EXPECT_DOUBLE_EQ(map.durationSeconds, 12.0);
    ASSERT_FALSE(map.chords.empty());
    EXPECT_DOUBLE_EQ(map.chords.back().end, 12.0);

    // A noise pad: no beat, no harmony.
    std::vector<dsp::StemData> stems = silentStems(15.0);
    std::mt19937 rng(3);
    std::normal_distribution<float> g(0.0f, 0.1f);
    for (auto& s : stems)
        for (std::size_t i = 0; i < s.l.size(); ++i) s.l[i] = s.r[i] = g(rng);
    map = analyse(stems);
    EXPECT_TRUE(map.beats.empty());
    EXPECT_FALSE(map.hasHarmony());
    EXPECT_FALSE(map.key);

    // A held C major chord: no beat, and its chord.
    stems = silentStems(15.0);
    progression(stems, {{60, false}}, 0.5, 14.0);
    map = analyse(stems);
    EXPECT_TRUE(map.beats.empty());
    ASSERT_NE(map.chordAt(7.0), nullptr);
    EXPECT_EQ(map.chordAt(7.0)->root, 0);
    EXPECT_EQ(map.chordAt(7.0)->quality, ChordQuality::major);
}

TEST(SongMapAnalyser, SameMapForAnyBlockSizeAndWorkerCount) {
    std::vector<dsp::StemData> stems = silentStems(18.0);
    clickTrack(stems, 132.0, 0.2);
    progression(stems, {{62, true}, {67, false}, {60, false}}, 0.2, 5.0);
    const std::string whole = toJson(analyse(stems, {.workers = 2}));

    auto streamed = SongMapAnalyser::create(kRate, SongMapAnalyser::Input::stems, {.workers = 1});
    ASSERT_TRUE(streamed);
    const std::size_t n = stems[0].l.size();
    std::size_t at = 0;
    for (std::size_t len = 1; at < n; len = len * 3 + 7) {  // ragged blocks, from 1 sample up
        const std::size_t take = std::min(len, n - at);
        dsp::StemBlock block;
        block.start = static_cast<std::int64_t>(at);
        for (int k = 0; k < 4; ++k) {
            block.channels[static_cast<std::size_t>(2 * k)] =
                std::span<const float>(stems[static_cast<std::size_t>(k)].l).subspan(at, take);
            block.channels[static_cast<std::size_t>(2 * k + 1)] =
                std::span<const float>(stems[static_cast<std::size_t>(k)].r).subspan(at, take);
        }
        streamed->push(block);
        at += take;
    }
    std::vector<double> reports;
    const std::optional<SongMap> map = streamed->finish([&](double f) { reports.push_back(f); });
    ASSERT_TRUE(map);
    EXPECT_EQ(toJson(*map), whole);
    ASSERT_FALSE(reports.empty());
    EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
    EXPECT_DOUBLE_EQ(reports.back(), 1.0);
}

TEST(SongMapAnalyser, MixInputReadsTheSameClickTrack) {
    std::vector<dsp::StemData> stems = silentStems(20.0);
    clickTrack(stems, 100.0, 0.4);
    progression(stems, {{57, true}, {65, false}}, 0.4, 9.0);
    dsp::StereoAudio mix;
    mix.sampleRate = kRate;
    mix.l.assign(stems[0].l.size(), 0.0f);
    mix.r = mix.l;
    for (const auto& s : stems)
        for (std::size_t i = 0; i < s.l.size(); ++i) {
            mix.l[i] += s.l[i];
            mix.r[i] += s.r[i];
        }
    const std::optional<SongMap> map = SongMapAnalyser::analyseMix(mix);
    ASSERT_TRUE(map);
    EXPECT_NEAR(map->tempoBpm, 100.0, 1.0);
    ASSERT_NE(map->chordAt(5.0), nullptr);
    EXPECT_EQ(map->chordAt(5.0)->root, 9);
}

TEST(SongMapAnalyser, CancelledBadAndOddInputNeverCrash) {
    std::vector<dsp::StemData> stems = silentStems(10.0);
    clickTrack(stems, 120.0, 0.1);
    std::atomic<bool> cancel{true};
    EXPECT_FALSE(SongMapAnalyser::analyseStems(stems, kRate, {}, {.cancel = &cancel}));

    std::vector<dsp::StemData> three(stems.begin(), stems.begin() + 3);
    EXPECT_FALSE(SongMapAnalyser::analyseStems(three, kRate));
    std::vector<dsp::StemData> ragged = stems;
    ragged[2].r.pop_back();
    EXPECT_FALSE(SongMapAnalyser::analyseStems(ragged, kRate));
    EXPECT_FALSE(SongMapAnalyser::create(0.0, SongMapAnalyser::Input::stems));

    // Empty, a fraction of a second, and samples that are not finite: a map, never a crash.
    for (const double seconds : {0.0, 0.3}) {
        const SongMap map = analyse(silentStems(seconds));
        EXPECT_TRUE(map.beats.empty());
        EXPECT_TRUE(std::holds_alternative<SongMap>(fromJson(toJson(map))));
    }
    for (std::size_t i = 0; i < stems[1].l.size(); i += 1000) {
        stems[1].l[i] = std::numeric_limits<float>::quiet_NaN();
        stems[3].r[i] = std::numeric_limits<float>::infinity();
    }
    const SongMap map = analyse(stems);
    EXPECT_TRUE(std::holds_alternative<SongMap>(fromJson(toJson(map))));
    for (const Beat& b : map.beats) EXPECT_TRUE(std::isfinite(b.time));
}

// Other sample rates: the frame clocks are the same in seconds.
TEST(SongMapAnalyser, TempoHoldsAtOtherSampleRates) {
    for (const double rate : {22050.0, 48000.0, 96000.0}) {
        std::vector<dsp::StemData> stems = silentStems(20.0, rate);
        const std::size_t n = stems[1].l.size();
        for (int b = 0; b < 39; ++b) {
            const auto at = static_cast<std::size_t>((0.5 + b * 0.5) * rate);
            for (std::size_t i = 0; i < static_cast<std::size_t>(0.03 * rate) && at + i < n; ++i) {
                const double t = static_cast<double>(i) / rate;
                const auto v =
                    static_cast<float>(0.5 * std::exp(-t * 80.0) * std::sin(2 * kPi * 80.0 * t));
                stems[1].l[at + i] = stems[1].r[at + i] = v;
            }
        }
        const std::optional<SongMap> map = SongMapAnalyser::analyseStems(stems, rate);
        ASSERT_TRUE(map) << rate;
        EXPECT_NEAR(map->tempoBpm, 120.0, 1.2) << rate;
    }
}

}  // namespace
}  // namespace corvane::analysis
