// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/standard/SeparationKernels.h"

#include <algorithm>
#include <cmath>

#include "dsp/common/Simd.h"
#include "dsp/common/Smoothstep.h"
#include "dsp/common/StftFrames.h"

namespace corvane::dsp {

namespace {
constexpr float kStabiliser = 1e-12f;
constexpr float kCrossoverHz = 120.0f;
constexpr float kCrossoverWidthHz = 60.0f;
}  // namespace

CORVANE_SIMD_CLONES
void midMagnitude(const float* __restrict lre, const float* __restrict lim,
                  const float* __restrict rre, const float* __restrict rim, float* __restrict out,
                  int count) {
    for (int k = 0; k < count; ++k) {
        float mr = (lre[k] + rre[k]) * 0.5f;
        float mi = (lim[k] + rim[k]) * 0.5f;
        out[k] = std::sqrt(mr * mr + mi * mi);
    }
}

CORVANE_SIMD_CLONES
void percussiveMask(const float* __restrict h, const float* __restrict q, float* __restrict out,
                    int count) {
    for (int k = 0; k < count; ++k) {
        float q2 = q[k] * q[k];
        out[k] = q2 / (h[k] * h[k] + q2 + kStabiliser);
    }
}

std::vector<float> bassWeights(double sampleRate) {
    return crossoverWeights(sampleRate, kCrossoverHz, kCrossoverWidthHz);
}

CORVANE_SIMD_CLONES
void centreMeasureSquared(const float* __restrict lre, const float* __restrict lim,
                          const float* __restrict rre, const float* __restrict rim,
                          float* __restrict c2, int count) {
    for (int k = 0; k < count; ++k) {
        float dr = lre[k] - rre[k];
        float di = lim[k] - rim[k];
        float energy = lre[k] * lre[k] + lim[k] * lim[k] + rre[k] * rre[k] + rim[k] * rim[k];
        float sim = 1.0f - (dr * dr + di * di) / (energy + kStabiliser);
        float c = std::min(std::max(sim, 0.0f), 1.0f);  // branch-free, so it vectorises
        c2[k] = c * c;
    }
}

CORVANE_SIMD_CLONES
void stemGains(const float* __restrict c2, const float* __restrict q, const float* __restrict b,
               float* __restrict vocals, float* __restrict drums, float* __restrict bass,
               float* __restrict other, int count) {
    // Written out per stem so each loop stays a simple stream the vectoriser takes.
    if (vocals)
        for (int k = 0; k < count; ++k) vocals[k] = (1.0f - q[k]) * (1.0f - b[k]) * c2[k];
    if (drums)
        for (int k = 0; k < count; ++k) drums[k] = (1.0f - b[k]) * q[k];
    if (bass)
        for (int k = 0; k < count; ++k) bass[k] = b[k];
    if (other)
        for (int k = 0; k < count; ++k) other[k] = (1.0f - b[k]) * (1.0f - q[k]) * (1.0f - c2[k]);
}

}  // namespace corvane::dsp
