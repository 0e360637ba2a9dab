// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>

#include "playback/AudioDevice.h"

namespace corvane::playback {

// The default output through SDL2 (PipeWire, PulseAudio, ALSA or JACK, as SDL finds them),
// opened in 32-bit float stereo at the song's rate; SDL converts to the hardware's rate.
// The render source is called on SDL's audio thread. Main thread only.
class SdlAudioDevice final : public AudioDevice {
public:
    SdlAudioDevice() = default;
    ~SdlAudioDevice() override;
    SdlAudioDevice(const SdlAudioDevice&) = delete;
    SdlAudioDevice& operator=(const SdlAudioDevice&) = delete;

    std::optional<Error> open(double sampleRate, RenderSource& source) override;
    void close() override;
    bool isOpen() const override { return m_device != 0; }

private:
    std::uint32_t m_device = 0;
    bool m_subsystem = false;
};

}  // namespace corvane::playback
