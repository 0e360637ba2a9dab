// SPDX-License-Identifier: GPL-3.0-or-later
// The refined method as a whole: the guarantees it shares with the standard one, its progress,
// and that it separates better (its parts are tested one by one in RefinedPartsTest.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>
#include <numbers>
#include <random>

#include "TestSupport.h"
#include "dsp/Separator.h"

using namespace corvane::dsp;
using corvane::test::nearlyEqual;
using corvane::test::noiseStereo;

namespace {

std::vector<StemData> refined(const StereoAudio& audio, int workers = 0,
                              const ProgressFn& progress = nullptr) {
    return Separator::separate(audio, progress,
                               {.method = SeparationMethod::refined, .workers = workers});
}

double energy(const std::vector<float>& x) {
    double sum = 0;
    for (float v : x) sum += double{v} * v;
    return sum;
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

// A held note at `hz` with `harmonics` partials of falling level, amplitude `level`.
std::vector<float> heldNote(std::size_t n, double rate, double hz, int harmonics, double level) {
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double phase = 2 * std::numbers::pi * hz * static_cast<double>(i) / rate;
        double v = 0;
        for (int h = 1; h <= harmonics; ++h) v += std::sin(h * phase) / h;
        x[i] = static_cast<float>(level * v);
    }
    return x;
}

// A sung line, centred: a new note every 0.3 to 0.6 s, any semitone from 147 to 587 Hz (seeded:
// it does not repeat the way an accompaniment does), glides between them, 5.5 Hz vibrato of
// +-35 cents, 15 partials.
std::vector<float> sungLine(std::size_t n, double rate, double level, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<float> x(n);
    double phase = 0, glide = 220.0, target = 220.0;
    std::size_t next = 0;
    const double follow = 1.0 - std::exp(-1.0 / (0.04 * rate));
    for (std::size_t i = 0; i < n; ++i) {
        if (i == next) {
            target = 146.8 * std::exp2(static_cast<double>(rng() % 25) / 12.0);
            next += static_cast<std::size_t>((0.3 + 0.1 * static_cast<double>(rng() % 4)) * rate);
        }
        const double t = static_cast<double>(i) / rate;
        glide += (target - glide) * follow;
        const double vibrato = std::exp2(35.0 * std::sin(2 * std::numbers::pi * 5.5 * t) / 1200);
        phase += 2 * std::numbers::pi * glide * vibrato / rate;
        double v = 0;
        for (int h = 1; h <= 15; ++h) v += std::sin(h * phase) / (h > 2 ? h : 1);
        x[i] = static_cast<float>(level * v);
    }
    return x;
}

}  // namespace

TEST(RefinedSeparator, ProgressRisesThroughItsPassesToOne) {
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
        // Every 64th unit and the last of each pass: frames (analysis), frames (centre and
        // salience), 3 * frames (pitch, gate, held gate), frames (medians), 2 * frames (repeat
        // features, then the search) and 8 * frames (synthesis).
        const std::size_t expected = (frames + 63) / 64 * 3 + (3 * frames + 63) / 64 +
                                     (2 * frames + 63) / 64 + (8 * frames + 63) / 64;
        EXPECT_EQ(values.size(), expected);
        EXPECT_GT(values.front(), 0.0);
        EXPECT_EQ(values.back(), 1.0);
        for (double pass : {0.25, 0.35, 0.4, 0.5, 0.6})
            EXPECT_NE(std::find(values.begin(), values.end(), pass), values.end());
    }
}

namespace {

// A small multitrack whose parts are known: a sung line (vibrato, glides between notes) in the
// centre, held chords spread wide, a bass line and drums (a kick and noise hats).
struct Multitrack {
    StereoAudio mix, vocals, drums, bass, other;
};
Multitrack makeMultitrack(double rate, double seconds) {
    const auto n = static_cast<std::size_t>(rate * seconds);
    Multitrack m;
    for (StereoAudio* part : {&m.mix, &m.vocals, &m.drums, &m.bass, &m.other})
        *part = {std::vector<float>(n), std::vector<float>(n), rate};
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    const double roots[] = {55.0, 73.4, 65.4, 49.0};
    const std::vector<float> voice = sungLine(n, rate, 0.1, 5);
    double bassPhase = 0;
    double chordPhase[3][2] = {};
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / rate;
        m.vocals.l[i] = m.vocals.r[i] = voice[i];

        const double root = roots[static_cast<int>(t / 2.0) % 4];
        bassPhase += 2 * std::numbers::pi * root / rate;
        const float bass =
            static_cast<float>(0.3 * (std::sin(bassPhase) + 0.4 * std::sin(2 * bassPhase) +
                                      0.2 * std::sin(3 * bassPhase)));
        m.bass.l[i] = m.bass.r[i] = bass;

        for (int c = 0; c < 3; ++c)  // a chord of three notes, each channel a little detuned
            for (int side = 0; side < 2; ++side) {
                const double hz =
                    root * 8 * std::exp2((c * 4 + (c == 2)) / 12.0) * (1 + 0.002 * side);
                chordPhase[c][side] += 2 * std::numbers::pi * hz / rate;
                const float x = static_cast<float>(0.1 * (std::sin(chordPhase[c][side]) +
                                                          0.5 * std::sin(2 * chordPhase[c][side])));
                (side ? m.other.r : m.other.l)[i] += x * (side == c % 2 ? 1.0f : 0.4f);
            }

        const double beat = std::fmod(t, 0.5), off = std::fmod(t + 0.25, 0.5);
        const float kick = static_cast<float>(0.6 * std::exp(-beat * 25) *
                                              std::sin(2 * std::numbers::pi * 60 * beat));
        const float hat = static_cast<float>(0.15 * std::exp(-off * 60)) * uniform(rng);
        m.drums.l[i] = kick + hat;
        m.drums.r[i] = kick + 0.7f * hat;
    }
    for (std::size_t i = 0; i < n; ++i) {
        m.mix.l[i] = m.vocals.l[i] + m.drums.l[i] + m.bass.l[i] + m.other.l[i];
        m.mix.r[i] = m.vocals.r[i] + m.drums.r[i] + m.bass.r[i] + m.other.r[i];
    }
    return m;
}

}  // namespace

TEST(RefinedSeparator, AGeneratedMultitrackComesOutCleanerThanWithTheStandardMethod) {
    const Multitrack song = makeMultitrack(44100.0, 12.0);
    const auto standard = Separator::separate(song.mix, nullptr);
    const auto better = refined(song.mix);
    ASSERT_EQ(better.size(), 4u);
    const StereoAudio* truth[4] = {&song.vocals, &song.drums, &song.bass, &song.other};
    double before[4], after[4];
    for (int s = 0; s < 4; ++s)
        before[s] = sdr(*truth[s], standard[s]), after[s] = sdr(*truth[s], better[s]);
    // The kick leaves the bass for the drums: both come out far cleaner.
    EXPECT_GT(after[1], before[1] + 1.0) << "drums: " << before[1] << " -> " << after[1];
    EXPECT_GT(after[2], before[2] + 1.0) << "bass: " << before[2] << " -> " << after[2];
    // A loud synthetic line whose notes recur within seconds is partly taken for repeating
    // background, so the vocals and other stems may lose a little here (unlike on the quality
    // benchmark's songs), never much.
    for (int s : {0, 3})
        EXPECT_GT(after[s], before[s] - 3.0)
            << "stem " << s << ": " << before[s] << " -> " << after[s];
}

TEST(RefinedSeparator, AVoiceGoesToVocalsAndHeldInstrumentNotesDoNot) {
    constexpr double kRate = 44100.0;
    const std::size_t n = 6 * 44100;
    // Held organ-like chords (steady pitch, centred, as loud as a lead) and a bass note under
    // them, no voice: the vocals stem must stay at least 20 dB under the mix.
    std::vector<float> backing(n, 0.0f);
    for (double hz : {220.0, 277.2, 329.6}) {
        const auto note = heldNote(n, kRate, hz, 10, 0.08);
        for (std::size_t i = 0; i < n; ++i) backing[i] += note[i];
    }
    const auto low = heldNote(n, kRate, 55.0, 6, 0.15);
    for (std::size_t i = 0; i < n; ++i) backing[i] += low[i];
    const auto instrumental = refined({backing, backing, kRate}, 2);
    ASSERT_EQ(instrumental.size(), 4u);
    const double level = 10 * std::log10(energy(instrumental[0].l) / energy(backing));
    EXPECT_LT(level, -20.0) << "vocals of an instrumental, dB under the mix";

    // A sung line over the same backing: most of it lands in vocals.
    const auto voice = sungLine(n, kRate, 0.25, 7);
    std::vector<float> mix(n);
    for (std::size_t i = 0; i < n; ++i) mix[i] = backing[i] + voice[i];
    const auto sung = refined({mix, mix, kRate}, 2);
    ASSERT_EQ(sung.size(), 4u);
    double along = 0;
    for (std::size_t i = 0; i < n; ++i) along += double{sung[0].l[i]} * voice[i];
    EXPECT_GT(along / energy(voice), 0.35) << "share of the voice in vocals";
}
