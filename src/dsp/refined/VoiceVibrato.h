// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstdint>

#include "dsp/common/StftFrames.h"

namespace corvane::dsp {

// Whether a voice sings, from how a frame's centred partials move and hold. A struck or plucked
// note (piano, guitar) keeps each partial's frequency and lets it die away; a voice's vibrato,
// glides and drift move every partial (after Regnier & Peeters' vibrato-based singing voice
// detection, 2009), and a sung note without vibrato (a held voice sample too) keeps its partials
// at their level. Unlike the predominant pitch's motion (PitchTrack.h), this does not depend on
// which source the pitch tracker follows, which under a loud accompaniment is often not the
// voice. Pure; any thread.

// Partials are the mid spectrum's local maxima from kVibratoLowHz to kVibratoTopHz, at least
// kVibratoPeakFloor of the frame's largest magnitude there.
inline constexpr float kVibratoLowHz = 150.0f;
inline constexpr float kVibratoTopHz = 4000.0f;
inline constexpr float kVibratoPeakFloor = 0.02f;
// A partial goes on when it lies within kVibratoMaxCents of the nearest partial of the frame
// before, at a level within a factor of two of that one's (not a new note or noise). It moves when
// it lies at least kVibratoMinCents away; it keeps its level when it is above kHoldLevel of that
// one's (it falls by less than 0.26 dB a hop, about 11 dB a second), and dies away when it holds
// its pitch and falls further.
inline constexpr float kVibratoMinCents = 6.0f;
inline constexpr float kVibratoMaxCents = 100.0f;
inline constexpr float kHoldLevel = 0.97f;
// The gate: the sung share's mean over kVibratoSmoothHalf frames either side, shut up to
// kVibratoShareFloor, open from kVibratoShareFull (a cubic smoothstep between).
inline constexpr int kVibratoSmoothHalf = 8;
inline constexpr float kVibratoShareFloor = 0.45f;
inline constexpr float kVibratoShareFull = 0.6f;

// Where no voice sings, the vocals keep kGateFloor of what the other cues give them: the gate
// misses some leads (0.4: the backings' vocals 1.0 dB lower, GM-sung songs -0.06 dB, funk -0.08).
// Where the gate opens on less than kPresenceLow of the frames within kPresenceSeconds either side
// (its mean there), most likely no voice sings near at all (a song without a singer, a long
// instrumental break), and the floor falls to kGateFloorAlone; from kPresenceFull it is kGateFloor,
// a cubic smoothstep between. A centred lead instrument's held notes open the gate now and then,
// and its melody no longer keeps half its share in the vocals there. The pitch-motion gate
// (PitchTrack.h) closes there too, for a melody's glides and the attacks it took for consonants,
// and the gate itself opens only as far as the presence reaches kPresenceSung: the same melody's
// held notes opened it in a song without a singer (its gate's mean there 0.06 to 0.08 against
// 0.11 to 0.19 where our pop singer, the one with least vibrato, sings).
inline constexpr float kGateFloor = 0.5f;
inline constexpr float kGateFloorAlone = 0.1f;
inline constexpr double kPresenceSeconds = 10.0;
inline constexpr float kPresenceLow = 0.05f;
inline constexpr float kPresenceSung = 0.12f;
inline constexpr float kPresenceFull = 0.2f;

// Partials are looked for in bins [1, vibratoTopBin(binHz)) of the main frame.
int vibratoTopBin(float binHz);

// The main frames' mid spectra (StftFrames.h), frame after frame: real and imaginary parts of
// the first vibratoTopBin() bins (`bins` per frame: all the phases read), and the kBins
// magnitudes and centre measure (RefinedKernels.h).
struct MidPlanes {
    const float* re;
    const float* im;
    int bins;
    const float* magnitude;
    const float* centre;
};

// One frame's partials in ascending frequency: where (in bins), how loud, how much they count
// (squared magnitude relative to the frame's largest, times the centre measure).
struct Partials {
    std::array<float, kBins / 2 + 1> bin{}, level{}, weight{};
    int count = 0;
};

// Frame t's partials, each at its frequency from its bin's phase advance since frame t - 1 (the
// first frame against itself). Magnitudes up to 2^60 (StemSynthesis.h's scaled frames) keep
// every value finite.
void findPartials(const MidPlanes& planes, std::int64_t t, float binHz, Partials& out);

// The share of `now`'s partial energy that sings, 0..1 (0 where there are none): the larger of
// the share in partials that moved since `before` (the frame before's partials) and the share in
// partials that kept their level less the share in those that held their pitch and died away.
float sungPartialShare(const Partials& before, const Partials& now);

// The vibrato gate of frame t, 0..1, from every frame's sung share (`frames` values).
float vibratoGate(const float* shares, std::int64_t frames, std::int64_t t);

// Frames either side the voice's presence is measured over at `sampleRate`: kPresenceSeconds, in
// frames of a rate of at most 48 kHz (so a block-wise run's context stops growing with the rate).
std::int64_t presenceHalf(double sampleRate);

// How near a voice sings to every frame (`frames` values into `presence`): the vibrato gates'
// mean over `half` frames either side (clamped to the frames there are). The mean is summed
// exactly (the gates in steps of 2^-16), so a block-wise run gives each frame whose window lies
// inside the block the whole song's value.
void voicePresence(const float* gates, std::int64_t frames, std::int64_t half, float* presence);

// 0 for a presence under kPresenceLow, 1 from `full`, a cubic smoothstep between.
float presenceWeight(float presence, float full);

// The vocals' gate of a frame from its presence and its vibrato gate (held): its floor
// (kGateFloorAlone to kGateFloor with the presence up to kPresenceFull), opened by the vibrato gate
// as far as the presence reaches kPresenceSung.
float vocalsGate(float presence, float vibrato);

}  // namespace corvane::dsp
