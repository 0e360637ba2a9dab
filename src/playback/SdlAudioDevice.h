// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "playback/AudioDevice.h"

namespace corvane::playback {

// The default output through SDL2 (PipeWire, PulseAudio, ALSA or JACK, as SDL finds them),
// opened in 32-bit float stereo at the song's rate; SDL converts to the hardware's rate.
// The render source is called on SDL's audio thread. Main thread only.
class SdlAudioDevice final : public AudioDevice {
public:
    // The system's default output, or the one SDL lists under `name` (outputNames()).
    explicit SdlAudioDevice(std::string name = {}) : m_name(std::move(name)) {}
    ~SdlAudioDevice() override;
    SdlAudioDevice(const SdlAudioDevice&) = delete;
    SdlAudioDevice& operator=(const SdlAudioDevice&) = delete;

    std::optional<Error> open(double sampleRate, RenderSource& source) override;
    void close() override;
    bool isOpen() const override { return m_device != 0; }
    std::int64_t latencyFrames() const override { return m_latencyFrames; }
    bool realtime() const override { return true; }

    // The outputs SDL can open by name, as it lists them now (empty when it lists none, or there is
    // no sound at all). Main thread.
    static std::vector<std::string> outputNames();

private:
    std::string m_name;
    std::uint32_t m_device = 0;
    std::int64_t m_latencyFrames = 0;
    bool m_subsystem = false;
};

}  // namespace corvane::playback
