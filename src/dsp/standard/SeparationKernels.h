// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <vector>

namespace corvane::dsp {

// Per-bin arithmetic of the separation, written as plain loops for the vectoriser.
// All are pure and may run on any thread; `count` is a bin count.

// out = |(L + R) / 2|, the magnitude of the mid spectrum.
void midMagnitude(const float* lre, const float* lim, const float* rre, const float* rim,
                  float* out, int count);

// out = Q^2 / (H^2 + Q^2 + 1e-12): the soft (Wiener-like) percussive share of each bin, from the
// harmonic estimate H (median along time) and the percussive estimate Q (median along frequency).
void percussiveMask(const float* h, const float* q, float* out, int count);

// Weight of the bass stem for each of the 1025 bins at `sampleRate`: 1 up to 120 Hz, 0 from
// 180 Hz, a cubic smoothstep between (0.5 at 150 Hz).
std::vector<float> bassWeights(double sampleRate);

// How alike the left and right bins are: 1 for identical bins, 0 for one-sided or opposite ones,
// clamped to [0, 1]; the vocals take its square.
void centreMeasureSquared(const float* lre, const float* lim, const float* rre, const float* rim,
                          float* c2, int count);

// Gains of the four stems (vocals, drums, bass, other) for each bin from the squared centre
// measure c2, the percussive mask q and the bass weight b. They sum to 1 in every bin.
// A null output is skipped.
void stemGains(const float* c2, const float* q, const float* b, float* vocals, float* drums,
               float* bass, float* other, int count);

}  // namespace corvane::dsp
