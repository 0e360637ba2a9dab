// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>

#include "audio/Error.h"

namespace corvane::playback {

// Failures a user can cause come back as the file layer's error values.
using audio::Error;

// What a device asks of the one who feeds it: fill `frames` interleaved stereo float frames.
// Called on the device's real-time thread (or the test's thread for an offline device): the
// implementation must not allocate, free, log, block for long or throw.
class RenderSource {
public:
    virtual ~RenderSource() = default;
    virtual void render(float* interleavedStereo, int frames) noexcept = 0;
};

// A stereo 32-bit float output. The playback engine owns one; SDL is the real one, an offline
// device renders on demand for tests. Main thread only.
class AudioDevice {
public:
    virtual ~AudioDevice() = default;
    // Opens the output at `sampleRate` and starts pulling from `source`, or returns why not.
    // The source must outlive the open device.
    virtual std::optional<Error> open(double sampleRate, RenderSource& source) = 0;
    // Stops pulling; when it returns, the source is no longer called.
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // How long a frame rendered now takes to leave the speakers, in frames (the output's own
    // buffering), and whether render() is called at the hardware's pace (a real device) rather
    // than on demand; the playhead is placed with these. Valid while open.
    virtual std::int64_t latencyFrames() const { return 0; }
    virtual bool realtime() const { return false; }
};

}  // namespace corvane::playback
