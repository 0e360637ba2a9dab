// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "dsp/common/StemData.h"

namespace corvane::model {

// The loaded song as playback and export need it: four immutable stems (index i for the stem
// of raw value i), shared with any thread that reads them, at the song's rate. Copied by value.
struct Song {
    std::vector<std::shared_ptr<const dsp::StemData>> stems;
    double sampleRate = 44100.0;
    std::int64_t frames = 0;  // every stem holds at least this many samples per channel

    double seconds(std::int64_t frame) const { return static_cast<double>(frame) / sampleRate; }
};

}  // namespace corvane::model
