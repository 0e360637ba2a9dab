// SPDX-License-Identifier: GPL-3.0-or-later
#include "demo/DemoSong.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <tuple>
#include <vector>

namespace corvane::demo {

namespace {

// 120 BPM in 4/4, written on a grid of sixteenth notes.
constexpr double kStepSeconds = 0.125;
constexpr int kStepsPerBar = 16;
constexpr double kBarSeconds = kStepSeconds * kStepsPerBar;

// Master level: brings the mix peak to about -1 dBFS. Each part's own levels below are relative.
constexpr float kMasterGain = 0.84f;

// An oscillator phase: a full cycle is 2^32, so it wraps by itself and needs no branch.
using Phase = std::uint32_t;

// xorshift32: its output is fixed by the seed on every platform, unlike the standard
// distributions whose results differ between library versions.
class Rng {
public:
    explicit Rng(std::uint32_t seed) : m_state(seed * 0x9E3779B1u + 0x7F4A7C15u) {
        if (m_state == 0) m_state = 0x6D2B79F5u;
    }
    std::uint32_t next() {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        return m_state;
    }
    // Uniform in [-1, 1).
    float bipolar() { return static_cast<float>(next() >> 8) * (2.0f / 16777216.0f) - 1.0f; }
    // Any phase, uniformly.
    Phase phase() { return next(); }

private:
    std::uint32_t m_state;
};

// Phase step per frame for `hz` at `period` seconds per frame; hz must lie below the sample rate.
inline Phase phaseStep(double hz, double period) {
    return static_cast<Phase>(hz * period * 4294967296.0);
}

// One cycle of a waveform read with linear interpolation: a std::sin per sample would make a
// 200-second song take seconds. The error (about 3e-7 of full scale) puts what it adds some
// 130 dB down.
class Wavetable {
public:
    // The pure sine.
    static const Wavetable& sine() {
        static const Wavetable table(0.0f);
        return table;
    }
    // Fundamental plus a soft second harmonic: pads and lead.
    static const Wavetable& tone() {
        static const Wavetable table(0.25f);
        return table;
    }

    float operator()(Phase phase) const {
        const Phase i = phase >> kFracBits;
        const float frac = static_cast<float>(phase & kFracMask) * (1.0f / (kFracMask + 1.0f));
        return m_v[i] + frac * (m_v[i + 1] - m_v[i]);
    }

private:
    static constexpr int kBits = 12;
    static constexpr int kSize = 1 << kBits;
    static constexpr int kFracBits = 32 - kBits;
    static constexpr Phase kFracMask = (Phase{1} << kFracBits) - 1;

    explicit Wavetable(float octave) {
        for (int i = 0; i <= kSize; ++i) {
            const double x = 2.0 * std::numbers::pi * i / kSize;
            m_v[static_cast<std::size_t>(i)] =
                static_cast<float>(std::sin(x) + octave * std::sin(2.0 * x));
        }
    }
    std::array<float, kSize + 1> m_v{};
};

// 6x^5 - 15x^4 + 10x^3 on [0, 1], clamped outside: a note edge whose first two derivatives are
// continuous, so its spectrum falls steeply and the bass stays below its cut-off.
inline float smoothEdge(double x) {
    if (x <= 0.0) return 0.0f;
    if (x >= 1.0) return 1.0f;
    return static_cast<float>(x * x * x * (x * (x * 6.0 - 15.0) + 10.0));
}

// A note's gain over time: smooth rise over `attack` seconds, 1 until `gate`, smooth fall over
// `release` seconds after it.
struct NoteShape {
    double attack;
    double gate;
    double release;

    double seconds() const { return gate + release; }
    float at(double t) const {
        if (t >= attack && t <= gate) return 1.0f;
        return smoothEdge(t / attack) * smoothEdge((gate + release - t) / release);
    }
};

// The span of frames [first, last) a sound starting at `startSeconds` and lasting `seconds` covers.
struct FrameRange {
    std::int64_t first;
    std::int64_t last;
};

FrameRange framesFor(double startSeconds, double seconds, double sampleRate, std::int64_t frames) {
    const auto first = static_cast<std::int64_t>(std::llround(startSeconds * sampleRate));
    const auto length = static_cast<std::int64_t>(std::llround(seconds * sampleRate));
    return {std::min(first, frames), std::min(first + length, frames)};
}

// One bar of the four-chord loop: the bass notes and the pad voicing (pad tones 220-523 Hz, their
// second harmonics below 1.1 kHz).
struct Chord {
    double rootHz;   // bass on most steps
    double fifthHz;  // bass pick-up at the end of the bar
    std::array<double, 4> padHz;
};

constexpr std::array<Chord, 4> kProgression = {{
    {55.00, 41.20, {220.00, 329.63, 440.00, 523.25}},  // A minor
    {43.65, 65.41, {220.00, 261.63, 349.23, 440.00}},  // F major
    {65.41, 49.00, {261.63, 329.63, 392.00, 523.25}},  // C major
    {49.00, 73.42, {246.94, 293.66, 392.00, 493.88}},  // G major
}};

struct Note {
    int step;    // sixteenth within the four-bar loop
    int length;  // in sixteenths
    double hz;
};

// Lead melody over the four-bar loop, A minor pentatonic between F4 and E5.
constexpr std::array<Note, 18> kMelody = {{
    {0, 4, 659.26},
    {4, 2, 587.33},
    {6, 2, 523.25},
    {8, 6, 440.00},
    {14, 2, 523.25},
    {16, 4, 523.25},
    {20, 2, 440.00},
    {22, 2, 392.00},
    {24, 8, 349.23},
    {32, 3, 392.00},
    {35, 3, 440.00},
    {38, 2, 523.25},
    {40, 6, 659.26},
    {46, 2, 587.33},
    {48, 4, 587.33},
    {52, 4, 493.88},
    {56, 6, 392.00},
    {62, 2, 440.00},
}};

// Bass rhythm within a bar: onset steps and lengths; the last note plays the fifth.
constexpr std::array<int, 6> kBassSteps = {0, 3, 6, 8, 11, 14};
constexpr std::array<int, 6> kBassLengths = {3, 3, 2, 3, 3, 2};

class Synth {
public:
    Synth(std::int64_t frames, double sampleRate)
        : m_frames(frames),
          m_rate(sampleRate),
          m_period(1.0 / sampleRate),
          m_sine(Wavetable::sine()),
          m_tone(Wavetable::tone()) {}

    void drums(dsp::StereoAudio& out) const {
        for (int bar = 0; bar * kBarSeconds < seconds(); ++bar) {
            const double t0 = bar * kBarSeconds;
            Rng velocity(static_cast<std::uint32_t>(bar) * 977u + 1u);
            kick(out, t0, 1.0f);
            kick(out, t0 + 8 * kStepSeconds, 0.9f);
            if (bar % 2 == 1) kick(out, t0 + 10 * kStepSeconds, 0.7f);
            snare(out, t0 + 4 * kStepSeconds, static_cast<std::uint32_t>(bar * 2));
            snare(out, t0 + 12 * kStepSeconds, static_cast<std::uint32_t>(bar * 2 + 1));
            for (int step = 0; step < kStepsPerBar; step += 2) {
                // Off-beat hats a little louder, alternating a little left and right.
                const float level = (step % 4 == 2 ? 1.0f : 0.7f) + 0.1f * velocity.bipolar();
                const bool left = (step / 2) % 2 == 0;
                hat(out, t0 + step * kStepSeconds, level * (left ? 1.0f : 0.8f),
                    level * (left ? 0.8f : 1.0f), static_cast<std::uint32_t>(bar * 16 + step));
            }
        }
    }

    void bass(dsp::StereoAudio& out) const {
        for (int bar = 0; bar * kBarSeconds < seconds(); ++bar) {
            const Chord& chord = kProgression[static_cast<std::size_t>(bar % 4)];
            for (std::size_t i = 0; i < kBassSteps.size(); ++i) {
                const double hz = i + 1 == kBassSteps.size() ? chord.fifthHz : chord.rootHz;
                bassNote(out, bar * kBarSeconds + kBassSteps[i] * kStepSeconds,
                         kBassLengths[i] * kStepSeconds - 0.02, hz);
            }
        }
    }

    void chords(dsp::StereoAudio& out) const {
        Rng rng(0xC40D5u);
        for (int bar = 0; bar * kBarSeconds < seconds(); ++bar) {
            const Chord& chord = kProgression[static_cast<std::size_t>(bar % 4)];
            padChord(out, bar * kBarSeconds, chord, rng);
        }
    }

    void lead(dsp::StereoAudio& out) const {
        constexpr double kLoopSeconds = 4 * kBarSeconds;
        for (int loop = 0; loop * kLoopSeconds < seconds(); ++loop) {
            for (const Note& note : kMelody) {
                leadNote(out, loop * kLoopSeconds + note.step * kStepSeconds,
                         note.length * kStepSeconds * 0.85, note.hz);
            }
        }
    }

private:
    double seconds() const { return static_cast<double>(m_frames) / m_rate; }

    // Sine swept from about 150 Hz down to 50 Hz, fast decay; same in both channels.
    void kick(dsp::StereoAudio& out, double start, float level) const {
        constexpr double kSeconds = 0.35;
        const auto [first, last] = framesFor(start, kSeconds, m_rate, m_frames);
        const double sweepDecay = std::exp(-1.0 / (0.035 * m_rate));
        const double ampDecay = std::exp(-1.0 / (0.11 * m_rate));
        const double perTailFrame = 1.0 / (0.03 * m_rate);  // a short fade-out avoids a click
        double sweep = 1.0;
        double amp = 0.55 * level * kMasterGain;
        Phase phase = 0;
        for (std::int64_t i = first; i < last; ++i) {
            const double fade = std::min(1.0, static_cast<double>(last - i) * perTailFrame);
            const float x = static_cast<float>(amp * fade) * m_sine(phase);
            out.l[static_cast<std::size_t>(i)] += x;
            out.r[static_cast<std::size_t>(i)] += x;
            phase += phaseStep(50.0 + 100.0 * sweep, m_period);
            sweep *= sweepDecay;
            amp *= ampDecay;
        }
    }

    // Noise burst plus a 190 Hz body; same in both channels.
    void snare(dsp::StereoAudio& out, double start, std::uint32_t seed) const {
        constexpr double kSeconds = 0.22;
        const auto [first, last] = framesFor(start, kSeconds, m_rate, m_frames);
        const double noiseDecay = std::exp(-1.0 / (0.05 * m_rate));
        const double toneDecay = std::exp(-1.0 / (0.035 * m_rate));
        const double perTailFrame = 1.0 / (0.02 * m_rate);
        Rng rng(0x5AA3u + seed);
        double noiseAmp = 0.22 * kMasterGain;
        double toneAmp = 0.2 * kMasterGain;
        const Phase step = phaseStep(190.0, m_period);
        Phase phase = 0;
        for (std::int64_t i = first; i < last; ++i) {
            const double fade = std::min(1.0, static_cast<double>(last - i) * perTailFrame);
            const float x = static_cast<float>(noiseAmp * fade) * rng.bipolar() +
                            static_cast<float>(toneAmp * fade) * m_sine(phase);
            out.l[static_cast<std::size_t>(i)] += x;
            out.r[static_cast<std::size_t>(i)] += x;
            phase += step;
            noiseAmp *= noiseDecay;
            toneAmp *= toneDecay;
        }
    }

    // Short second difference of noise: a gentle high-pass that leaves the hiss.
    void hat(dsp::StereoAudio& out, double start, float levelL, float levelR,
             std::uint32_t seed) const {
        constexpr double kSeconds = 0.07;
        const auto [first, last] = framesFor(start, kSeconds, m_rate, m_frames);
        const double decay = std::exp(-1.0 / (0.018 * m_rate));
        Rng rng(0x4A7u + seed);
        float n1 = 0.0f;
        float n2 = 0.0f;
        double amp = 0.05 * kMasterGain;
        for (std::int64_t i = first; i < last; ++i) {
            const float n0 = rng.bipolar();
            const float x = static_cast<float>(amp) * (n0 - 2.0f * n1 + n2);
            out.l[static_cast<std::size_t>(i)] += levelL * x;
            out.r[static_cast<std::size_t>(i)] += levelR * x;
            n2 = n1;
            n1 = n0;
            amp *= decay;
        }
    }

    // A pure sine, centred. Its edges are slow because faster ones spread the low notes' energy
    // past 120 Hz.
    void bassNote(dsp::StereoAudio& out, double start, double gate, double hz) const {
        const NoteShape shape{0.08, gate, 0.1};
        const auto [first, last] = framesFor(start, shape.seconds(), m_rate, m_frames);
        const double decay = std::exp(-1.0 / (1.2 * m_rate));
        double amp = 0.36 * kMasterGain;
        const Phase step = phaseStep(hz, m_period);
        Phase phase = 0;
        for (std::int64_t i = first; i < last; ++i) {
            const float env = shape.at(static_cast<double>(i - first) * m_period);
            const float x = static_cast<float>(amp) * env * m_sine(phase);
            out.l[static_cast<std::size_t>(i)] += x;
            out.r[static_cast<std::size_t>(i)] += x;
            phase += step;
            amp *= decay;
        }
    }

    // One pad chord. Each tone is detuned its own way in each channel and starts from its own
    // phase there, so left and right are decorrelated and the chords sit at the sides rather than
    // in the centre.
    void padChord(dsp::StereoAudio& out, double start, const Chord& chord, Rng& rng) const {
        constexpr double kDetune = 0.003;
        constexpr std::size_t kTones = std::tuple_size_v<decltype(Chord::padHz)>;
        const NoteShape shape{0.12, kBarSeconds, 0.25};
        const auto [first, last] = framesFor(start, shape.seconds(), m_rate, m_frames);
        std::array<Phase, kTones> phaseL{};
        std::array<Phase, kTones> phaseR{};
        std::array<Phase, kTones> stepL{};
        std::array<Phase, kTones> stepR{};
        for (std::size_t k = 0; k < kTones; ++k) {
            phaseL[k] = rng.phase();
            phaseR[k] = rng.phase();
            stepL[k] = phaseStep(chord.padHz[k] * (1.0 - kDetune), m_period);
            stepR[k] = phaseStep(chord.padHz[k] * (1.0 + kDetune), m_period);
        }
        const float amp = 0.045f * kMasterGain;
        for (std::int64_t i = first; i < last; ++i) {
            const float env = amp * shape.at(static_cast<double>(i - first) * m_period);
            float l = 0.0f;
            float r = 0.0f;
            for (std::size_t k = 0; k < kTones; ++k) {
                l += m_tone(phaseL[k]);
                r += m_tone(phaseR[k]);
                phaseL[k] += stepL[k];
                phaseR[k] += stepR[k];
            }
            out.l[static_cast<std::size_t>(i)] += env * l;
            out.r[static_cast<std::size_t>(i)] += env * r;
        }
    }

    // Centred melody note with vibrato; identical in both channels.
    void leadNote(dsp::StereoAudio& out, double start, double gate, double hz) const {
        constexpr double kVibratoHz = 5.5;
        constexpr double kVibratoDepth = 0.004;
        const NoteShape shape{0.015, gate, 0.05};
        const auto [first, last] = framesFor(start, shape.seconds(), m_rate, m_frames);
        const double decay = std::exp(-1.0 / (0.25 * m_rate));
        double body = 0.6;
        Phase phase = 0;
        Phase vibrato = 0;
        const Phase vibratoStep = phaseStep(kVibratoHz, m_period);
        for (std::int64_t i = first; i < last; ++i) {
            const float env = static_cast<float>(0.2 * kMasterGain * (0.4 + body)) *
                              shape.at(static_cast<double>(i - first) * m_period);
            const float x = env * m_tone(phase);
            out.l[static_cast<std::size_t>(i)] += x;
            out.r[static_cast<std::size_t>(i)] += x;
            phase += phaseStep(hz * (1.0 + kVibratoDepth * m_sine(vibrato)), m_period);
            vibrato += vibratoStep;
            body *= decay;
        }
    }

    std::int64_t m_frames;
    double m_rate;    // Hz
    double m_period;  // seconds per frame
    const Wavetable& m_sine;
    const Wavetable& m_tone;
};

dsp::StereoAudio silence(std::int64_t frames, double sampleRate) {
    const auto n = static_cast<std::size_t>(frames);
    return {std::vector<float>(n, 0.0f), std::vector<float>(n, 0.0f), sampleRate};
}

void addInto(dsp::StereoAudio& mix, const dsp::StereoAudio& part) {
    for (std::size_t i = 0; i < mix.l.size(); ++i) mix.l[i] += part.l[i];
    for (std::size_t i = 0; i < mix.r.size(); ++i) mix.r[i] += part.r[i];
}

}  // namespace

dsp::StereoAudio makeDemoSong(double seconds, double sampleRate, DemoParts* parts) {
    const double framesWanted = seconds * sampleRate;
    const std::int64_t frames =
        framesWanted > 0.0 && std::isfinite(framesWanted) && sampleRate > 0.0
            ? static_cast<std::int64_t>(std::llround(framesWanted))
            : 0;
    const Synth synth(frames, sampleRate);

    if (parts) {
        parts->drums = silence(frames, sampleRate);
        parts->bass = silence(frames, sampleRate);
        parts->chords = silence(frames, sampleRate);
        parts->lead = silence(frames, sampleRate);
        synth.drums(parts->drums);
        synth.bass(parts->bass);
        synth.chords(parts->chords);
        synth.lead(parts->lead);
        dsp::StereoAudio mix = parts->drums;
        addInto(mix, parts->bass);
        addInto(mix, parts->chords);
        addInto(mix, parts->lead);
        return mix;
    }

    // Without `parts`, one scratch part at a time keeps memory at twice the song, and adding them
    // in the same order gives the same floats as above.
    dsp::StereoAudio mix = silence(frames, sampleRate);
    synth.drums(mix);
    dsp::StereoAudio part = silence(frames, sampleRate);
    synth.bass(part);
    addInto(mix, part);
    std::fill(part.l.begin(), part.l.end(), 0.0f);
    std::fill(part.r.begin(), part.r.end(), 0.0f);
    synth.chords(part);
    addInto(mix, part);
    std::fill(part.l.begin(), part.l.end(), 0.0f);
    std::fill(part.r.begin(), part.r.end(), 0.0f);
    synth.lead(part);
    addInto(mix, part);
    return mix;
}

}  // namespace corvane::demo
