// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <vector>

namespace corvane::dsp {

// The repeating background of the harmonic part, after Rafii & Pardo's nearest-neighbour median
// (REPET-SIM, 2012): an accompaniment repeats (a chord, a riff, a bar), a voice rarely repeats at
// the same instants, so the per-bin median over the frames most similar to a frame estimates the
// background in it, and what exceeds that median is foreground. Only frames within a bounded
// window are compared, so a block-wise run needs bounded context. Pure; any thread.

// Frames are described for the comparison by kRepeatBands sums of kRepeatBandWidth main bins
// each, from DC up (about 11 kHz at 44.1 kHz), scaled to unit length. Each bin counts by the
// fourth root of its magnitude: uncompressed, a few loud partials (most often the voice's)
// decided which frames looked alike; compressed, the accompaniment's many quieter ones have
// their say too.
inline constexpr int kRepeatBands = 64;
inline constexpr int kRepeatBandWidth = 8;
inline constexpr int kRepeatNeighbours = 15;  // frames the median is taken over, at most

// Frames are compared within kRepeatReachSeconds of each other (10 and 15 s: 0.25 and 0.08 dB
// lower in the quality benchmark's mean), at least kRepeatSpacingSeconds apart (one sustained
// note is not a repeat).
inline constexpr double kRepeatReachSeconds = 20.0;
inline constexpr double kRepeatSpacingSeconds = 1.0;

// The reach in main frames at `sampleRate`: kRepeatReachSeconds at a rate of at most 48 kHz, so
// a block-wise run's memory stops growing with the rate.
std::int64_t repeatReach(double sampleRate);

// The comparison features of one frame from its magnitudes (kBins values) into features[0],
// features[stride], ... (kRepeatBands values); an all-zero frame gives zeros. The features of
// all frames are kept band by band (stride = the frame count), so that one frame's similarity to
// all others is a run of plain multiply-adds along the frames.
void repeatFeatures(const float* magnitudes, float* features, std::int64_t stride);

// Finds the frames most similar to frame t (cosine similarity of the features, band by band:
// band b of frame u at features[b * frames + u]) among frames t - reach .. t + reach of
// `frames`, at least `spacing` (1 or more) frames from t and from each other, only those with a
// positive similarity; at most kRepeatNeighbours, into chosen. similarity is the caller's scratch
// of 2 * reach + 1 values. Returns how many were found. Ties go to the earlier frame, so the choice
// depends on the data only.
int similarFrames(const float* features, std::int64_t frames, std::int64_t t, std::int64_t reach,
                  std::int64_t spacing, float* similarity, std::int64_t* chosen);

// The foreground share of each of `count` bins: (h - min(h, m)) / h, where m is the median of the
// `rows` neighbours' magnitudes in that bin (the background estimate) and h the frame's own
// magnitude; 1 everywhere when there are no neighbours (nothing to compare with), 0 in a silent
// bin. With `needed`, a bin where it is 0 gets 0 (a bin whose share nothing uses), and a run of
// such bins as long as one pass of the sorting network is not sorted at all.
void foregroundShare(const float* own, const float* const* rows, int neighbours, float* share,
                     int count, const float* needed = nullptr);

}  // namespace corvane::dsp
