// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/refined/PitchTrack.h"

#include <algorithm>
#include <cmath>

#include "dsp/common/LongFrames.h"
#include "dsp/common/Simd.h"
#include "dsp/common/Smoothstep.h"
#include "dsp/common/StftFrames.h"

namespace corvane::dsp {

namespace {
// Harmonics above this carry little of a voice's pitch and much of everything else.
constexpr float kSalienceTopHz = 5000.0f;
// Below this a bass line's fundamental would outvote the voice: the bins are left out.
constexpr float kSalienceFloorHz = 150.0f;
constexpr float kHarmonicDecay = 0.85f;
constexpr int kSearch = 2;  // candidates either side pooled per row (40 cents)

// Each candidate's weighted sum of `compressed` at its first `harmonics` harmonics, read between
// bins.
void harmonicSums(const float* compressed, const PitchGrid& grid, int harmonics, float* salience) {
    for (int c = 0; c < kPitchCandidates; ++c) {
        float sum = 0.0f;
        for (int h = 0; h < harmonics; ++h) {
            const auto i = static_cast<std::size_t>(c * kPitchHarmonics + h);
            const int b = grid.bin[i];
            const float f = grid.frac[i];
            sum += grid.weight[i] * ((1.0f - f) * compressed[b] + f * compressed[b + 1]);
        }
        salience[c] = sum;
    }
}

}  // namespace

PitchGrid makePitchGrid(double sampleRate) {
    PitchGrid grid;
    grid.binHz = static_cast<float>(sampleRate) * kInverseFrameLength;
    const std::size_t size = static_cast<std::size_t>(kPitchCandidates) * kPitchHarmonics;
    grid.bin.assign(size, 0);
    grid.frac.assign(size, 0.0f);
    grid.weight.assign(size, 0.0f);
    for (int c = 0; c < kPitchCandidates; ++c) {
        const float f0 = kPitchLowHz * std::exp2(static_cast<float>(c) * kPitchStepCents / 1200.0f);
        float weight = 1.0f;
        for (int h = 1; h <= kPitchHarmonics; ++h, weight *= kHarmonicDecay) {
            const float hz = static_cast<float>(h) * f0;
            const float position = hz / grid.binHz;
            const auto i = static_cast<std::size_t>(c * kPitchHarmonics + h - 1);
            if (hz > kSalienceTopHz || position >= static_cast<float>(kBins - 1)) continue;
            grid.bin[i] = static_cast<int>(position);
            grid.frac[i] = position - static_cast<float>(grid.bin[i]);
            grid.weight[i] = weight;
        }
    }
    return grid;
}

PitchGrid makeBassGrid(double sampleRate, int bins) {
    PitchGrid grid;
    grid.binHz = static_cast<float>(sampleRate) / static_cast<float>(kLongFrameLength);
    const std::size_t size = static_cast<std::size_t>(kPitchCandidates) * kPitchHarmonics;
    grid.bin.assign(size, 0);
    grid.frac.assign(size, 0.0f);
    grid.weight.assign(size, 0.0f);
    for (int c = 0; c < kPitchCandidates; ++c) {
        const float f0 = kBassLowHz * std::exp2(static_cast<float>(c) * kPitchStepCents / 1200.0f);
        float weight = 1.0f;
        for (int h = 1; h <= kBassHarmonics; ++h, weight *= kHarmonicDecay) {
            const float position = static_cast<float>(h) * f0 / grid.binHz;
            if (position >= static_cast<float>(bins - 1)) break;
            const auto i = static_cast<std::size_t>(c * kPitchHarmonics + h - 1);
            grid.bin[i] = static_cast<int>(position);
            grid.frac[i] = position - static_cast<float>(grid.bin[i]);
            grid.weight[i] = weight;
        }
    }
    return grid;
}

void bassSalience(const float* magnitude, const PitchGrid& grid, int bins, float* salience) {
    float compressed[kLongBins];
    for (int k = 0; k < std::min(bins, kLongBins); ++k) compressed[k] = std::sqrt(magnitude[k]);
    harmonicSums(compressed, grid, kBassHarmonics, salience);
}

void pitchSalience(const float* magnitude, const PitchGrid& grid, float* salience) {
    float compressed[kBins];
    const int floorBin = static_cast<int>(std::ceil(kSalienceFloorHz / grid.binHz));
    for (int k = 0; k < kBins; ++k) compressed[k] = k < floorBin ? 0.0f : std::sqrt(magnitude[k]);
    harmonicSums(compressed, grid, kPitchHarmonics, salience);
}

float choosePitch(const float* const* rows) {
    float best = 0.0f;
    int chosen = -1;
    for (int c = 0; c < kPitchCandidates; ++c) {
        const int lo = std::max(0, c - kSearch), hi = std::min(kPitchCandidates - 1, c + kSearch);
        float sum = 0.0f;
        for (int d = 0; d <= 2 * kPitchSmoothHalf; ++d)
            sum += *std::max_element(rows[d] + lo, rows[d] + hi + 1);
        if (sum > best) best = sum, chosen = c;
    }
    if (chosen < 0) return -1.0f;
    // The frame's own peak near the pooled choice, refined by a parabola through its neighbours.
    const float* own = rows[kPitchSmoothHalf];
    const int lo = std::max(0, chosen - kSearch),
              hi = std::min(kPitchCandidates - 1, chosen + kSearch);
    const int peak = static_cast<int>(std::max_element(own + lo, own + hi + 1) - own);
    float offset = 0.0f;
    if (peak > 0 && peak + 1 < kPitchCandidates) {
        const float a = own[peak - 1], b = own[peak], c = own[peak + 1];
        const float curve = a - 2.0f * b + c;
        if (curve < 0.0f) offset = std::clamp(0.5f * (a - c) / curve, -0.5f, 0.5f);
    }
    return (static_cast<float>(peak) + offset) * kPitchStepCents;
}

float pitchMotion(const float* cents) {
    float sum = 0.0f;
    for (int i = 1; i < 2 * kMotionHalf + 2; ++i) {
        if (cents[i] < 0.0f || cents[i - 1] < 0.0f) continue;
        const float step = std::abs(cents[i] - cents[i - 1]);
        if (step < kMaxGlideCents) sum += step;
    }
    return sum / static_cast<float>(2 * kMotionHalf + 1);
}

float voiceGate(float motion) {
    return smoothstep((motion - kMotionFloorCents) / (kMotionFullCents - kMotionFloorCents));
}

bool followsBassLine(float voiceHz, float bassHz, float motionGate) {
    if (voiceHz <= 0.0f || bassHz <= 0.0f) return false;
    const float multiple = std::round(voiceHz / bassHz);
    if (multiple < 1.0f || multiple > 4.0f) return false;
    if (std::abs(1200.0f * std::log2(voiceHz / (multiple * bassHz))) >= kBassAgreementCents)
        return false;
    return multiple >= 2.0f || motionGate <= kBassAgreementMotion;
}

bool fundamentalLeads(const float* row, int bins, float f0Hz, float binHz) {
    if (f0Hz <= 0.0f) return false;
    const int fundamental = static_cast<int>(std::lround(f0Hz / binHz));
    auto around = [&](int centre) {
        float energy = 0.0f;
        for (int k = std::max(0, centre - 1); k <= std::min(bins - 1, centre + 1); ++k)
            energy += row[k] * row[k];
        return energy;
    };
    float harmonics = 0.0f;
    for (int h = 2; h <= 4 && h * fundamental + 1 < bins; ++h) harmonics += around(h * fundamental);
    const float own = around(fundamental);
    return own > 0.0f && own >= kLeadFundamentalRatio * harmonics;
}

void harmonicComb(float f0Hz, float binHz, float maxHz, float* comb) {
    if (f0Hz <= 0.0f) return;
    for (int h = 1; static_cast<float>(h) * f0Hz <= maxHz; ++h) {
        const float centre = static_cast<float>(h) * f0Hz / binHz;
        if (centre >= static_cast<float>(kBins - 1)) break;
        // The window's main lobe (about one bin) and 1 % of the partial's frequency for the
        // pitch's own movement and the estimate's error.
        const float width = std::sqrt(1.0f + 0.0001f * centre * centre);
        const float inverse = -0.5f / (width * width);
        const int lo = std::max(0, static_cast<int>(centre - 3.0f * width));
        const int hi = std::min(kBins - 1, static_cast<int>(centre + 3.0f * width) + 1);
        for (int k = lo; k <= hi; ++k) {
            const float x = static_cast<float>(k) - centre;
            comb[k] = std::max(comb[k], std::exp(inverse * x * x));
        }
    }
}

}  // namespace corvane::dsp
