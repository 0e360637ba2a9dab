// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

namespace corvane::dsp {

// The predominant pitch of a song and what it says about a voice, on the main frames
// (StftFrames.h). Harmonic summation (after Klapuri 2006): each candidate fundamental scores the
// compressed magnitudes at its first harmonics, weighted down with the harmonic's number, so the
// strongest harmonic source of a frame wins. The choice is smoothed over a few frames either side
// (a bounded stand-in for a Viterbi path, so a block-wise run needs bounded context), and a voice
// is told from an instrument by how its pitch moves: a voice glides and has vibrato, a piano,
// organ or guitar note holds its pitch. Pure; any thread.

// Candidates: kPitchCandidates fundamentals kPitchStepCents apart from kPitchLowHz (70 Hz to
// 1120 Hz: a low male voice to a high female one).
inline constexpr int kPitchCandidates = 240;
inline constexpr float kPitchLowHz = 70.0f;
inline constexpr float kPitchStepCents = 20.0f;
inline constexpr int kPitchHarmonics = 12;
// Frames either side over which the salience is pooled before a frame's pitch is chosen.
inline constexpr int kPitchSmoothHalf = 2;
// Frames either side over which the pitch's movement is measured for the voice gate.
inline constexpr int kMotionHalf = 8;

// Where each candidate's harmonics fall on the main frame's bins at one sample rate: harmonic h
// of candidate c lies between bins bin[i] and bin[i] + 1 (i = c * kPitchHarmonics + h - 1), at
// fraction frac[i], and counts with weight[i] (0 past about 5 kHz or the top bin).
struct PitchGrid {
    std::vector<int> bin;
    std::vector<float> frac;
    std::vector<float> weight;
    float binHz = 0.0f;
};
PitchGrid makePitchGrid(double sampleRate);

// The bass line's candidates: as many, as far apart, from kBassLowHz (27.5 Hz to 440 Hz), with
// kBassHarmonics harmonics on the long frame's lowest `bins` bins (LongFrames.h), whose bins are
// fine enough to tell neighbouring bass notes apart.
inline constexpr float kBassLowHz = 27.5f;
inline constexpr int kBassHarmonics = 6;
PitchGrid makeBassGrid(double sampleRate, int bins);

// The salience of every bass candidate from one long frame's mid magnitudes (`bins` values, at
// most kLongBins): the weighted sum of its harmonics' square-root magnitudes, the fundamental
// included. The bass's pitch is then choosePitch() over these rows.
void bassSalience(const float* magnitude, const PitchGrid& grid, int bins, float* salience);

// The salience of every candidate (kPitchCandidates values) from one frame's mid magnitudes
// (kBins values): the weighted sum, over its harmonics, of the square-root magnitudes (linearly
// interpolated between bins) above about 150 Hz, where a bass line's fundamental does not count.
void pitchSalience(const float* magnitude, const PitchGrid& grid, float* salience);

// The pitch of frame t in cents above kPitchLowHz, from the salience rows of frames
// t - kPitchSmoothHalf .. t + kPitchSmoothHalf (rows[kPitchSmoothHalf] is frame t; the caller
// repeats the edge rows): the candidate that is strongest when each row's best value within two
// candidates is summed, refined to a fraction of a step on frame t's own row. -1 when every
// salience is 0 (silence).
float choosePitch(const float* const* rows);

// A chosen pitch in Hz from its cents above the candidates' lowest (kPitchLowHz for the voice,
// kBassLowHz for the bass line); 0 where none was found (cents -1).
inline float pitchHz(float lowestHz, float cents) {
    return cents < 0.0f ? 0.0f : lowestHz * std::exp2(cents / 1200.0f);
}

// How much the pitch moves around frame t, in cents per frame: the mean over frames
// t - kMotionHalf .. t + kMotionHalf of the step from the frame before, where steps of
// kMaxGlideCents or more (a jump to another note or source) and unvoiced frames count as 0.
// cents holds 2 * kMotionHalf + 2 values, the first one frame before the window (the caller
// repeats the edge frames).
inline constexpr float kMaxGlideCents = 80.0f;
float pitchMotion(const float* cents);

// The voice gate of a frame from its pitch motion: 0 below kMotionFloorCents (a held pitch), 1
// from kMotionFullCents (vibrato, a glide, speech), a cubic smoothstep between.
inline constexpr float kMotionFloorCents = 3.0f;
inline constexpr float kMotionFullCents = 9.0f;
float voiceGate(float motion);

// Whether the voice's pitch is the bass line's own, so the voice's comb under the cross-over
// would take the bass: within kBassAgreementCents of the bass line's pitch times 1 to 4 (the
// voice's tracker on a bass note's fundamental or one of its harmonics, which the bass holds
// in those bins), and, on the bass note itself, not moving as a voice does at this very frame
// (`motionGate`, voiceGate before its hold): a held bass note beside a sung glide. A voice that
// both trackers follow moves, and keeps its comb.
inline constexpr float kBassAgreementCents = 50.0f;
inline constexpr float kBassAgreementMotion = 0.25f;
bool followsBassLine(float voiceHz, float bassHz, float motionGate);

// Whether the one note both trackers follow (the voice's pitch on the bass line's own) is a held
// lead rather than a bass note, from the long frame's mid magnitudes `row` (`bins` bins of binHz):
// the energy about its fundamental (three bins) is at least kLeadFundamentalRatio times the energy
// about its 2nd to 4th harmonics together. A bass note puts most of its energy in those harmonics;
// a voice or a dark lead sung low enough for the bass tracker to take is led by its fundamental.
// Such a lead keeps its comb under the cross-over where the partials sing: the vibrato gate
// (VoiceVibrato.h) above kLeadSung before its hold.
inline constexpr float kLeadFundamentalRatio = 2.0f;
inline constexpr float kLeadSung = 0.5f;
bool fundamentalLeads(const float* row, int bins, float f0Hz, float binHz);

// Adds the harmonic comb of fundamental f0Hz to comb (kBins values, each kept at the largest
// weight it gets): each harmonic up to maxHz is a Gaussian around its bin whose width grows with
// its frequency (the frame's vibrato spreads a high partial over more bins).
void harmonicComb(float f0Hz, float binHz, float maxHz, float* comb);

}  // namespace corvane::dsp
