// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <fftw3.h>

#include <array>

#include "dsp/common/LongFrames.h"
#include "dsp/common/ShortFrames.h"
#include "dsp/common/StftFrames.h"

namespace corvane::dsp {

// Planner flags shared by the build-time wisdom tool and FftPlan: wisdom is found only for the
// same size and flags.
inline constexpr unsigned kForwardFlags = FFTW_MEASURE;
inline constexpr unsigned kInverseFlags = FFTW_MEASURE | FFTW_DESTROY_INPUT;

// Every frame length a separation method plans, each from its own home: the wisdom tool measures
// plans for all of them.
inline constexpr std::array<int, 3> kPlannedFrameLengths = {kFrameLength, kShortFrameLength,
                                                            kLongFrameLength};

}  // namespace corvane::dsp
