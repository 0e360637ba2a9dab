// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <vector>

namespace corvane::dsp {

// Per-bin arithmetic of the refined method, plain loops for the vectoriser. Pure; any thread.

// The percussive share of each main bin from the short frame's harmonic estimate h (median along
// time) and percussive estimate p (median along frequency), kShortBins each: p^2 / (h^2 + p^2),
// with the energies of a main bin that falls between two short bins taken as their mean.
// out has kBins values.
void shortPercussiveShare(const float* h, const float* p, float* out);

// Both percussive shares combined per bin into out (kBins values), a weighted mean that leans on
// the main frame: the short frame places a hit sharply, the main frame resolves the tones around
// it.
void combinePercussiveShares(const float* mainShare, const float* shortShare, float* out);

// The channels' difference energy |L - R|^2 and total energy |L|^2 + |R|^2 of each of `count`
// bins of one main frame, the statistics the centre measure is smoothed from.
void stereoEnergies(const float* lre, const float* lim, const float* rre, const float* rim,
                    float* difference, float* total, int count);

// The squared centre measure of each bin from the stereo energies of five consecutive frames
// (about 0.1 s, this frame in the middle), weighted 1, 2, 3, 2, 1:
// c = 1 - sum |L - R|^2 / sum (|L|^2 + |R|^2), clamped to [0, 1]. As Avendano & Jot's inter-channel
// coherence (2004), the expectations are taken over a few frames: a centred source keeps c near 1,
// a decorrelated wide one (reverb, double-tracking, chorus) no longer reaches it by chance in one
// frame. Mono gives 1 everywhere.
void smoothedCentreSquared(const float* const* difference, const float* const* total, float* c2,
                           int count);

// Weight of the bass for each of the kBins bins at `sampleRate`: 1 up to 170 Hz, 0 from 260 Hz, a
// cubic smoothstep between (0.5 at 215 Hz). Higher than the standard cross-over: with the kick
// sent to the drums by the percussive split, the cross-over can take in the bass's second and
// third harmonics.
std::vector<float> refinedBassWeights(double sampleRate);

// Weight of the vocals for each of the kBins bins at `sampleRate`: a voice's partials and
// consonants lie between about 100 Hz and 10 kHz, so 0 below 60 Hz and from 16 kHz, 1 from
// 120 Hz to 8 kHz, a cubic smoothstep in between.
std::vector<float> vocalBandWeights(double sampleRate);

// Gains of the four stems (vocals, drums, bass, other) for each bin, summing to 1 up to rounding:
//   drums  = q                    percussive, at every frequency: the kick too
//   bass   = (1 - q) b            what is not percussive below the cross-over b
//   vocals = (1 - q)(1 - b) w c^(1/2) f   harmonic, above the cross-over, in the voice's band w,
//                                         centred and not part of the repeating background
//   other  = the rest of the harmonic part above the cross-over
// q is the combined percussive share, c2 = c^2 the squared centre measure (a soft c^(1/2), not c^2:
// the square drops too much of a voice whose bins reverb or other parts disturb), b the bass
// weight, f the foreground share (RepeatingBackground.h).
void refinedStemGains(const float* q, const float* c2, const float* b, const float* w,
                      const float* f, float* vocals, float* drums, float* bass, float* other,
                      int count);

}  // namespace corvane::dsp
