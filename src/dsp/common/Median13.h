// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "dsp/common/StftFrames.h"

namespace corvane::dsp {

// Medians of 13 for the harmonic/percussive split. The fast rows use a 39-comparator min/max
// selection network evaluated across 8 neighbouring bins at once; for finite inputs they return
// exactly what median13Sorted returns.

// The seventh smallest of v[0..12] by insertion sort (each new value goes after its equals):
// the plain reference.
float median13Sorted(const float* v);

// The seventh smallest of v[0..12] by the selection network.
float median13Network(const float* v);

// out[k] = median over d = 0..12 of rows[d][k], for all kBins bins: the median along time when
// rows[d] points to frame t + d - 6 (clamped by the caller).
void timeMedianRow(const float* const rows[13], float* out);

// out[k] = median over d = -6..6 of row[clamp(k + d, 0, kBins - 1)], for all kBins bins: the median
// along frequency with the edge bins repeated.
void frequencyMedianRow(const float* row, float* out);

// The same two medians for rows of any `count` >= 1 bins (spectra of other frame lengths).
// `padded` is the caller's workspace of count + kMedianPadding floats, so that no frame allocates.
// With count kBins both give what the fixed-size rows above give.
inline constexpr int kMedianPadding = 20;
void timeMedianRow(const float* const rows[13], float* out, int count);
void frequencyMedianRow(const float* row, float* out, int count, float* padded);

}  // namespace corvane::dsp
