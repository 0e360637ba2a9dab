// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <vector>

namespace corvane::dsp {

// Per-bin arithmetic of the refined method, plain loops for the vectoriser. Pure; any thread;
// `count` is a bin count. No intermediate value overflows for any finite spectrum: energies are
// compared as ratios to the largest magnitude involved, never squared as they come.

// |(L + R) / 2| and |(L - R) / 2| of each bin, the mid and side magnitudes.
void midSideMagnitudes(const float* lre, const float* lim, const float* rre, const float* rim,
                       float* mid, float* side, int count);

// The centre measure of each bin from the mid and side magnitudes of five consecutive frames
// (about 0.1 s, this frame in the middle), weighted 1, 2, 3, 2, 1:
// c = 1 - sum |L - R|^2 / sum (|L|^2 + |R|^2) = 1 - 2 sum side^2 / sum (mid^2 + side^2), clamped
// to [0, 1]. As Avendano & Jot's inter-channel coherence (2004), the expectations are taken over a
// few frames, so a decorrelated wide part (reverb, double-tracking, chorus) does not reach 1 by
// chance in one frame. Mono and silence give 1, one channel alone or opposite phase 0.
void smoothedCentre(const float* const* mid, const float* const* side, float* centre, int count);

// The harmonic and percussive shares of each bin from a harmonic estimate h (median along time)
// and a percussive estimate p (median along frequency), with Driedger, Müller & Disch's separation
// factor beta (2014) in soft form: harmonic = h^2 / (h^2 + (beta p)^2), percussive =
// p^2 / (p^2 + (beta h)^2). Their sum is at most 1; what is left is the residual (noise, the
// attack of a note, a sound neither steady nor sharp), which goes to the other stem.
void separationShares(const float* h, const float* p, float beta, float* harmonic,
                      float* percussive, int count);

// Shares of kShortBins short bins spread over the kBins main bins: an even main bin 2j takes short
// bin j's, an odd one the mean of its two neighbours'; added with weight `weight` into out, which
// holds (1 - weight) times the main frame's shares.
void blendShortShares(const float* shortShare, float weight, float* out);

// Shares of the long frame's bins 2k (k < count) blended into main bins k: out[k] = w[k] long +
// (1 - w[k]) out[k], where w is the bass weight (the long frame decides where the bass lives).
void blendLongShares(const float* longShare, const float* w, float* out, int count);

// Below kNarrowMedianTopHz the long frame's median along frequency spans five bins (about 54 Hz)
// instead of 13, and counts kNarrowMedianWeight of itself: a kick drum's thump is a hump a few bins
// wide there, which the wide median read as harmonic and handed to the bass, while a steady bass
// tone's own peak fills part of five bins, which the weight keeps from reading as percussive.
// +0.40 dB in the mean on the quality benchmark (drums +1.0, bass +0.5); weights of 1 and 0.5
// below 90 Hz gave +0.42 and +0.20 dB, but 1 took a steady sub bass for drums on the generated
// multitrack.
inline constexpr float kNarrowMedianTopHz = 120.0f;
inline constexpr float kNarrowMedianWeight = 0.7f;

// How many of the long frame's bins lie below kNarrowMedianTopHz at `sampleRate`.
int narrowMedianBins(double sampleRate);

// out[k] = kNarrowMedianWeight times the median of row[k - 2 .. k + 2] for k < bins (bins <=
// count; the edge bins of the count-long row repeated); the bins from `bins` on are left as they
// are.
void narrowFrequencyMedian(const float* row, int count, float* out, int bins);

// A frame's foreground share smoothed over the frames either side, weighted 1/4, 1/2, 1/4 (pass
// `own` for a missing neighbour): each frame's share is the median of its own set of similar
// frames, and the scatter of that choice from one frame to the next is noise, not music. +0.06 dB
// in the quality benchmark's mean (vocals +0.17), with 11 of its 12 songs higher.
void smoothedOverFrames(const float* before, const float* own, const float* after, float* out,
                        int count);

// The cues the stems' gains are made from, each of `count` bins of one frame except `gate`.
struct StemCues {
    const float* percussive;  // q, the percussive share
    const float* harmonic;    // h, the harmonic share (1 - q - h is the residual)
    const float* centre;      // c, the centre measure
    const float* foreground;  // f, the share above the repeating background
    const float* bass;        // b, the bass cross-over's weight
    const float* band;        // w, the voice's band
    const float* voiceComb;   // the voice's harmonic comb under the cross-over, times the gate
    const float* bassComb;  // the bass line's harmonic comb above the cross-over, times its weight
    float gate;             // g, the vocals' part where no voice may sing (VoiceVibrato.h), 0..1
    float bassGuard;        // G, the same at kGateFloor even where no voice sings near
    float open;             // o, the pitch-motion gate (PitchTrack.h; 0 where no voice is heard)
};

// Gains of the four stems (vocals, drums, bass, other) for each bin, summing to 1 up to rounding:
//   vocals = (1 - q) ((1 - b) v g + b v comb) + s   with v = w c^(1/2) f: the voice above the
//                      cross-over where it is centred, in its band and above the repeating
//                      background, held down where the partials do not move as a voice's; under
//                      the cross-over only along the comb of its harmonics (a low voice's
//                      fundamental, which the bass would take otherwise); and s = q v o (1 - b),
//                      the part of the percussive share that is the voice's where the pitch gate is
//                      open (a voice's consonants and fast glides, which look percussive)
//   drums  = q - s     percussive, at every frequency: the kick too
//   bass   = h b (1 - v comb) + h (1 - b) B (1 - v G)   harmonic under the cross-over, less the
//                      voice's harmonics; above it along the bass line's comb B, where the voice
//                      is not (a bass note's upper harmonics, which the other stem took before);
//                      G keeps the usual floor where no voice sings near, or the comb would take a
//                      centred lead instrument's notes on the bass's harmonics (-0.9 dB for the
//                      bass of the quality benchmark's song without a singer)
//   other  = the rest  harmonic above the cross-over, and any residual
// These are the Wiener masks of the stems' models (the mix's magnitude times each share) with
// exponent 1: exponent 2 measured 0.2 dB lower on the quality benchmark.
void refinedStemGains(const StemCues& cues, float* vocals, float* drums, float* bass, float* other,
                      int count);

// Weight of the bass for each of the kBins bins at `sampleRate`: 1 up to 170 Hz, 0 from 260 Hz, a
// cubic smoothstep between. Higher than the standard cross-over: with the kick sent to the drums
// by the percussive split, the cross-over can take in the bass's second and third harmonics.
std::vector<float> refinedBassWeights(double sampleRate);

// Weight of the vocals for each of the kBins bins at `sampleRate`: a voice's partials and
// consonants lie between about 80 Hz (a low male voice's fundamental) and 10 kHz, so 0 below
// 50 Hz and from 16 kHz, 1 from 80 Hz to 8 kHz, a cubic smoothstep in between.
std::vector<float> vocalBandWeights(double sampleRate);

}  // namespace corvane::dsp
