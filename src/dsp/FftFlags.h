// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <fftw3.h>

namespace corvane::dsp {

// Planner flags shared by the build-time wisdom tool and FftPlan: wisdom is found only for the
// same size (kFrameLength) and flags.
inline constexpr unsigned kForwardFlags = FFTW_MEASURE;
inline constexpr unsigned kInverseFlags = FFTW_MEASURE | FFTW_DESTROY_INPUT;

}  // namespace corvane::dsp
