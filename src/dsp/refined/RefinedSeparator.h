// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <vector>

#include "dsp/Separator.h"

namespace corvane::dsp {

// The refined method behind Separator::separate with SeparationMethod::refined (callers use that;
// this is its home). Each stem is modelled at the resolution that suits it, and the models share
// every bin of the main frame (2048, hop 1024) by Wiener masks that sum to 1, so the stems add
// back to the input. Five passes:
//  1. analysis: mid and side magnitudes at the main frame, the mid magnitude at a short frame
//  (1024,
//     two per main frame) and the low bins of a long frame (4096), all on the same centres;
//  2. the predominant pitch's salience by harmonic summation, and the centre measure from the
//     mid and side energies of five frames (inter-channel coherence after Avendano & Jot);
//  3. the voice (PitchTrack.h): each frame's pitch, smoothed over a few frames; a gate that opens
//     where the pitch moves as a voice's does (vibrato, glides, speech) and stays shut under held
//     instrument notes, so a song without a singer leaves the vocals nearly empty; and the
//     voice's share of each bin, its harmonic comb in the voice's band, centred. The magnitudes
//     at all three lengths then have that share taken out (kernel additive modelling's
//     backfitting, Liutkus et al. 2014: the other stems are estimated from what the voice
//     leaves);
//  4. the accompaniment's harmonic, percussive and residual shares (Driedger, Müller & Disch 2014)
//     from medians along time and frequency: the long frame below the bass cross-over, where a
//     bass note and a kick meet, the main and short frames above it;
//  5. synthesis at the main frame: vocals from the voice's share; drums from the percussive share;
//     bass from the harmonic share under the cross-over (a low voice's fundamental stays with the
//     voice); other the rest, the residual included; each as a Wiener mask of exponent 2.
// Every estimate looks at most refinedContextFrames() away, so the method keeps no song-wide
// statistic: a block-wise run needs only that context either side. Same contract as
// Separator::separate; any finite input (samples of 1e30 too) gives finite stems.
std::vector<StemData> separateRefined(const StereoAudio& audio, const ProgressFn& progress,
                                      const SeparatorOptions& options);

// Frames of song either side of a stretch that a block-wise run gives the Refined method, so
// that the stretch comes out bit-identical to the whole song's: 80 frames at any rate (1.9 s at
// 44.1 kHz).
std::int64_t refinedContextFrames(double sampleRate);

// The Refined stems of input positions [from, to) only (from a multiple of kHop; to = -1: the
// input's end), with the other positions as context: what separateRefined gives there, whenever
// the context reaches refinedContextFrames() either side of the stretch or to the input's end.
// Only the kept frames are synthesised.
std::vector<StemData> separateRefinedKeeping(const StereoAudio& audio, const ProgressFn& progress,
                                             const SeparatorOptions& options, std::int64_t from,
                                             std::int64_t to);

}  // namespace corvane::dsp
