// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <vector>

#include "dsp/Separator.h"

namespace corvane::dsp {

// The refined method behind Separator::separate with SeparationMethod::refined (callers use that;
// this is its home). Four passes:
//  1. analysis: the mid magnitude at the main frame (2048, hop 1024) and at a short frame (1024,
//     hop 512) on the same centres, and the channels' difference and total energies;
//  2. medians: at both lengths, harmonic (median along time) versus percussive (median along
//     frequency), as soft power-2 shares; the two percussive shares are combined in a weighted
//     mean, the short frame placing the hits sharply in time, the main one resolving the tones
//     around them; the centre measure from the stereo energies of five frames (inter-channel
//     coherence after Avendano & Jot);
//  3. repeating background: the per-bin median of the harmonic part over the frames most similar
//     to each frame within 10 s (REPET-SIM, Rafii & Pardo); what exceeds it is foreground;
//  4. synthesis at the main frame: per-bin gains from the percussive share, a bass cross-over at
//     about 215 Hz (acting on the harmonic part only, so the kick goes to the drums), the voice's
//     band, the centre measure and the foreground share, shared by both channels and summing to
//     1, so the stems add back to the input.
// Every estimate looks at most 10 s away (the medians 6 frames, about 0.15 s), so the method keeps
// no song-wide statistic: a block-wise run needs 10 s of context either side. Same contract as
// Separator::separate.
std::vector<StemData> separateRefined(const StereoAudio& audio, const ProgressFn& progress,
                                      const SeparatorOptions& options);

// Frames of song either side of a stretch that a block-wise run gives the Refined method, so
// that the stretch comes out bit-identical to the whole song's: 10 s and 18 frames (10.4 s at 44.1
// kHz).
std::int64_t refinedContextFrames(double sampleRate);

// The Refined stems of input positions [from, to) only (from a multiple of kHop; to = -1: the
// input's end), with the other positions as context: what separateRefined gives there, whenever
// the context reaches refinedContextFrames() either side of the stretch or to the input's end.
// Only the kept frames are synthesised and searched for repeats.
std::vector<StemData> separateRefinedKeeping(const StereoAudio& audio, const ProgressFn& progress,
                                             const SeparatorOptions& options, std::int64_t from,
                                             std::int64_t to);

}  // namespace corvane::dsp
