// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <vector>

namespace corvane::dsp {

// A decoded song: two equally long de-interleaved channels of 32-bit float samples at the file's
// own rate. Full scale is +/-1.0, but louder samples are normal input and are never clamped here.
// Invariant: l.size() == r.size(); a one-channel source has r equal to l.
struct StereoAudio {
    std::vector<float> l;
    std::vector<float> r;
    double sampleRate = 44100.0;  // Hz

    std::int64_t frames() const { return static_cast<std::int64_t>(l.size()); }
};

}  // namespace corvane::dsp
