// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "dsp/StreamingSeparator.h"

namespace corvane::analysis::detail {

// The analysis works on two frame clocks, the same at every sample rate:
// onset frames at 44100 / 512 Hz (11.6 ms; the rate the tempo tracker's constants are made for)
// and chroma frames every kChromaStep onset frames (92.9 ms). Onset frame n and chroma frame
// n / kChromaStep are centred at n / kFrameRate seconds.
inline constexpr double kFrameRate = 44100.0 / 512.0;  // Hz
inline constexpr int kChromaStep = 8;
inline constexpr int kChromaBins = 36;  // a third of a semitone each; bin 0 is centred on C
inline constexpr int kTimbreBands = 6;

// What the analysis keeps of a song: 16 floats per onset frame and 72 per chroma frame (about
// 0.5 MB per minute, 31 MB per hour), never the samples.
struct FrameFeatures {
    double sampleRate = 44100.0;
    std::int64_t samples = 0;
    bool stems = true;  // false: every stem is the mix

    // Per onset frame: half-wave rectified log-spectral flux of the rhythm stem (drums) in all
    // bins, below 150 Hz (kick), from 150 Hz to 2 kHz (snare) and above 2 kHz (hats, cymbals);
    // the same flux of the mix.
    std::vector<float> rhythmFlux, rhythmLowFlux, rhythmMidFlux, rhythmHighFlux, mixFlux;
    // Per onset frame: mean square of each stem's mid signal (StemKind order) and of the mix.
    std::array<std::vector<float>, 4> stemEnergy;
    std::vector<float> mixEnergy;
    // Per onset frame, kTimbreBands values: log energy of the mix in bands up to 16 kHz.
    std::vector<float> timbre;

    // Per chroma frame, kChromaBins values: spectral peaks of the harmony (every stem but the
    // drums) from 100 Hz to 2.5 kHz, and of the bass stem from 30 to 300 Hz weighted
    // towards its lowest notes, each peak's magnitude put at its interpolated pitch. Not yet
    // corrected for tuning.
    std::vector<float> treble, bass;
    // The weighted mean over all strong peaks of (cos, sin)(2 pi pitch in semitones): its angle is
    // the song's tuning offset from A = 440 Hz.
    double tuningCos = 0.0, tuningSin = 0.0;

    std::int64_t onsetFrames() const { return static_cast<std::int64_t>(rhythmFlux.size()); }
    std::int64_t chromaFrames() const {
        return static_cast<std::int64_t>(treble.size()) / kChromaBins;
    }
    double seconds() const { return static_cast<double>(samples) / sampleRate; }
};

// Reduces a song, pushed in order a block at a time, to FrameFeatures. Memory: the features plus
// one analysis window of each signal (about 4 x 16384 floats at 44.1 kHz). One thread pushes;
// each block's frames are computed on up to `workers` threads, with the same result for any count.
class FeatureExtractor {
public:
    // Null when an FFT plan cannot be made.
    static std::unique_ptr<FeatureExtractor> create(double sampleRate, bool stems, int workers);
    ~FeatureExtractor();
    FeatureExtractor(const FeatureExtractor&) = delete;
    FeatureExtractor& operator=(const FeatureExtractor&) = delete;

    // Stems input only: the four stems' samples of one block.
    void pushStems(const dsp::StemBlock& block);
    // Mix input only.
    void pushMix(std::span<const float> l, std::span<const float> r);
    // The song has ended: computes the frames that reach past its end. Call once.
    FrameFeatures finish();

private:
    struct Impl;
    explicit FeatureExtractor(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m;
};

}  // namespace corvane::analysis::detail
