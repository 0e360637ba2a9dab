// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/refined/RefinedKernels.h"

#include <algorithm>
#include <cmath>

#include "dsp/common/LongFrames.h"
#include "dsp/common/ShortFrames.h"
#include "dsp/common/Simd.h"
#include "dsp/common/Smoothstep.h"
#include "dsp/common/StftFrames.h"

namespace corvane::dsp {

namespace {
constexpr float kCrossoverHz = 170.0f;
constexpr float kCrossoverWidthHz = 90.0f;
// Added to denominators that are sums of squares of ratios in [0, 1]: only a silent bin gets
// near it, and its shares then do not matter.
constexpr float kStabiliser = 1e-20f;

// |re + i im| for any finite parts: those above 2^60 are squared at 2^-64 of their size.
inline float magnitude(float re, float im) {
    const float down = std::max(std::abs(re), std::abs(im)) > 0x1p60f ? 0x1p-64f : 1.0f;
    re *= down, im *= down;
    return std::sqrt(re * re + im * im) / down;
}
}  // namespace

CORVANE_SIMD_CLONES
void midSideMagnitudes(const float* __restrict lre, const float* __restrict lim,
                       const float* __restrict rre, const float* __restrict rim,
                       float* __restrict mid, float* __restrict side, int count) {
    for (int k = 0; k < count; ++k) {
        // Halved before adding, so two parts near the float limit do not overflow.
        const float lr = lre[k] * 0.5f, li = lim[k] * 0.5f, rr = rre[k] * 0.5f, ri = rim[k] * 0.5f;
        mid[k] = magnitude(lr + rr, li + ri);
        side[k] = magnitude(lr - rr, li - ri);
    }
}

CORVANE_SIMD_CLONES
void smoothedCentre(const float* const* mid, const float* const* side, float* __restrict centre,
                    int count) {
    constexpr float kWeights[5] = {1.0f, 2.0f, 3.0f, 2.0f, 1.0f};
    for (int k = 0; k < count; ++k) {
        float largest = 0.0f;
        for (int i = 0; i < 5; ++i) largest = std::max(largest, std::max(mid[i][k], side[i][k]));
        float sides = 0.0f, totals = 0.0f;
        for (int i = 0; i < 5; ++i) {
            // Ratios in [0, 1], so their squares cannot overflow; 0 / 0 is avoided by the max.
            const float m = mid[i][k] / std::max(largest, 1e-30f);
            const float s = side[i][k] / std::max(largest, 1e-30f);
            sides += kWeights[i] * s * s;
            totals += kWeights[i] * (m * m + s * s);
        }
        const float c = totals > 0.0f ? 1.0f - 2.0f * sides / totals : 1.0f;
        centre[k] = std::min(std::max(c, 0.0f), 1.0f);
    }
}

CORVANE_SIMD_CLONES
void separationShares(const float* __restrict h, const float* __restrict p, float beta,
                      float* __restrict harmonic, float* __restrict percussive, int count) {
    const float beta2 = beta * beta;
    for (int k = 0; k < count; ++k) {
        const float largest = std::max(std::max(h[k], p[k]), 1e-30f);
        const float x = h[k] / largest, y = p[k] / largest;
        const float x2 = x * x, y2 = y * y;
        harmonic[k] = x2 / (x2 + beta2 * y2 + kStabiliser);
        percussive[k] = y2 / (y2 + beta2 * x2 + kStabiliser);
    }
}

CORVANE_SIMD_CLONES
void blendShortShares(const float* __restrict shortShare, float weight, float* __restrict out) {
    static_assert(kBins == 2 * kShortBins - 1);
    for (int j = 0; j < kShortBins; ++j) out[2 * j] += weight * shortShare[j];
    for (int j = 0; j + 1 < kShortBins; ++j)
        out[2 * j + 1] += weight * 0.5f * (shortShare[j] + shortShare[j + 1]);
}

void blendLongShares(const float* longShare, const float* w, float* out, int count) {
    for (int k = 0; k < count; ++k) out[k] = w[k] * longShare[2 * k] + (1.0f - w[k]) * out[k];
}

int narrowMedianBins(double sampleRate) {
    return std::min(
        kLongBins, static_cast<int>(std::ceil(kNarrowMedianTopHz * kLongFrameLength / sampleRate)));
}

void narrowFrequencyMedian(const float* row, int count, float* out, int bins) {
    for (int k = 0; k < bins; ++k) {
        float v[5];
        for (int d = 0; d < 5; ++d) v[d] = row[std::clamp(k + d - 2, 0, count - 1)];
        // The median of five by min and max alone: the third value lies between the larger of the
        // two pairs' smaller values and the smaller of their larger ones.
        const float low = std::max(std::min(v[0], v[1]), std::min(v[2], v[3]));
        const float high = std::min(std::max(v[0], v[1]), std::max(v[2], v[3]));
        out[k] = kNarrowMedianWeight *
                 std::max(std::min(low, high), std::min(std::max(low, high), v[4]));
    }
}

CORVANE_SIMD_CLONES
void smoothedOverFrames(const float* __restrict before, const float* __restrict own,
                        const float* __restrict after, float* __restrict out, int count) {
    for (int k = 0; k < count; ++k) out[k] = 0.5f * own[k] + 0.25f * (before[k] + after[k]);
}

CORVANE_SIMD_CLONES
void refinedStemGains(const StemCues& cues, float* __restrict vocals, float* __restrict drums,
                      float* __restrict bass, float* __restrict other, int count) {
    const float* __restrict q = cues.percussive;
    const float* __restrict h = cues.harmonic;
    const float* __restrict c = cues.centre;
    const float* __restrict f = cues.foreground;
    const float* __restrict b = cues.bass;
    const float* __restrict w = cues.band;
    const float* __restrict comb = cues.voiceComb;
    const float* __restrict bassComb = cues.bassComb;
    const float gate = cues.gate;
    const float open = cues.open;
    const float guard = cues.bassGuard;
    for (int k = 0; k < count; ++k) {
        const float voice = w[k] * std::sqrt(c[k]) * f[k];  // centred, in the band, not repeating
        const float low = voice * comb[k];
        const float above = 1.0f - b[k];
        const float spoken = q[k] * voice * open * above;
        vocals[k] = (1.0f - q[k]) * (above * voice * gate + b[k] * low) + spoken;
        drums[k] = q[k] - spoken;
        bass[k] = h[k] * (b[k] * (1.0f - low) + above * bassComb[k] * (1.0f - voice * guard));
        other[k] = 1.0f - vocals[k] - drums[k] - bass[k];
    }
}

std::vector<float> refinedBassWeights(double sampleRate) {
    return crossoverWeights(sampleRate, kCrossoverHz, kCrossoverWidthHz);
}

std::vector<float> vocalBandWeights(double sampleRate) {
    const float binWidth = static_cast<float>(sampleRate) * kInverseFrameLength;
    std::vector<float> weights(kBins);
    for (int k = 0; k < kBins; ++k) {
        const float hz = static_cast<float>(k) * binWidth;
        weights[static_cast<std::size_t>(k)] =
            smoothstep((hz - 50.0f) / 30.0f) * (1.0f - smoothstep((hz - 8000.0f) / 8000.0f));
    }
    return weights;
}

}  // namespace corvane::dsp
