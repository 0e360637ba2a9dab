// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <vector>

#include "dsp/Separator.h"

namespace corvane::dsp {

// The refined method behind Separator::separate with SeparationMethod::refined (callers use that;
// this is its home). Each stem's cue is taken at the resolution that suits it, and the stems share
// every bin of the main frame (2048, hop 1024) by gains that sum to 1, so the stems add back to
// the input. Six passes:
//  1. analysis: mid and side magnitudes at the main frame, the mid magnitude at a short frame
//  (1024,
//     two per main frame) and the low bins of a long frame (4096), all on the same centres;
//  2. the centre measure from the mid and side energies of five frames (inter-channel coherence
//     after Avendano & Jot), and the saliences by harmonic summation of the predominant pitch
//     (main frame) and of the bass line (long frame);
//  3. the voice: each frame's pitch, smoothed over a few frames (PitchTrack.h), and two gates
//     that open where something moves as a voice does (vibrato, glides, speech) and stay shut
//     under held instrument notes: the vocals' where the centred partials move (VoiceVibrato.h),
//     the consonants' where the tracked pitch does, both held down where the first has hardly
//     opened within 10 s (no voice sings near); the bass line's pitch the same way;
//  4. harmonic and percussive shares from medians along time and frequency (Driedger, Müller &
//     Disch's split, separation factor 1): the long frame below the bass cross-over, where a bass
//     note and a kick meet, the main and short frames above it;
//  5. the repeating background (REPET-SIM, Rafii & Pardo): the per-bin median of the harmonic part
//     over the frames most like each one within 20 s; what exceeds it is foreground;
//  6. synthesis at the main frame (RefinedKernels.h): drums from the percussive share, less what
//     of it is centred and foreground where the gate is open (a voice's consonants); vocals where
//     the harmonic part is centred, in the voice's band and foreground, halved where the gate is
//     shut (a tenth where it has hardly opened within 10 s), and under the cross-over only along
//     the voice's harmonic comb (a low voice's fundamental); bass the harmonic part under the
//     cross-over less that comb, and above it part of the bins along the bass line's harmonic
//     comb; other the rest.
// Every estimate looks at most 20 s away, so the method keeps no song-wide statistic: a block-wise
// run needs refinedContextFrames() of context either side. Same contract as Separator::separate;
// any finite input up to about 1e33 (samples of 1e30 too) gives finite stems that sum to it.
std::vector<StemData> separateRefined(const StereoAudio& audio, const ProgressFn& progress,
                                      const SeparatorOptions& options);

// Frames of song either side of a stretch that a block-wise run gives the Refined method, so
// that the stretch comes out bit-identical to the whole song's: 20 s (at most 937 frames, 20 s at
// 48 kHz) and 19 frames (20.4 s at 44.1 kHz).
std::int64_t refinedContextFrames(double sampleRate);

// The Refined stems of input positions [from, to) only (from a multiple of kHop; to = -1: the
// input's end), with the other positions as context: what separateRefined gives there, whenever
// the context reaches refinedContextFrames() either side of the stretch or to the input's end.
// Only the kept frames are synthesised and searched for repeats. The stems go to `stems`, whose
// channels' memory is reused (a block-wise run would fault in fresh pages for every block
// otherwise); false, and `stems` unspecified, when cancelled or without an FFT plan.
bool separateRefinedKeeping(const StereoAudio& audio, const ProgressFn& progress,
                            const SeparatorOptions& options, std::int64_t from, std::int64_t to,
                            std::vector<StemData>& stems);

}  // namespace corvane::dsp
