// SPDX-License-Identifier: GPL-3.0-or-later
#include "playback/SdlAudioDevice.h"

#include <SDL.h>

#include <cmath>

namespace corvane::playback {

namespace {
// About 23 ms at 44.1 kHz: gain changes are heard promptly, and a busy machine has a whole block's
// time to run the callback before the sound server runs dry.
constexpr Uint16 kBlockFrames = 1024;

void SDLCALL pull(void* user, Uint8* stream, int bytes) {
    static_cast<RenderSource*>(user)->render(reinterpret_cast<float*>(stream),
                                             bytes / static_cast<int>(2 * sizeof(float)));
}

// SDL's own reasons name its back ends' internals ("ALSA: Couldn't open audio device: ..."); what
// the user can act on is that there is no sound output.
Error noOutput() { return Error{"SDL", 0, "No sound output was found."}; }
}  // namespace

SdlAudioDevice::~SdlAudioDevice() { close(); }

std::optional<Error> SdlAudioDevice::open(double sampleRate, RenderSource& source) {
    close();
    if (!(sampleRate >= 1.0 && sampleRate <= 1e6))
        return Error{"Corvane", 0, "Unsupported sample rate."};
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) return noOutput();
    m_subsystem = true;

    SDL_AudioSpec want{};
    want.freq = static_cast<int>(std::lround(sampleRate));
    want.format = AUDIO_F32SYS;
    want.channels = 2;
    want.samples = kBlockFrames;
    want.callback = pull;
    want.userdata = &source;
    SDL_AudioSpec have{};
    // No allowed changes: SDL converts our rate and format to whatever the hardware takes.
    m_device = SDL_OpenAudioDevice(m_name.empty() ? nullptr : m_name.c_str(), 0, &want, &have, 0);
    if (m_device == 0) {
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        m_subsystem = false;
        return noOutput();
    }
    // SDL asks the sound server to hold one buffer of `samples` frames ahead of the speaker: a
    // block rendered now starts to sound about that long from now.
    m_latencyFrames = have.samples;
    SDL_PauseAudioDevice(m_device, 0);
    return std::nullopt;
}

std::vector<std::string> SdlAudioDevice::outputNames() {
    std::vector<std::string> names;
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) return names;
    for (int i = 0, n = SDL_GetNumAudioDevices(0); i < n; ++i)
        if (const char* name = SDL_GetAudioDeviceName(i, 0)) names.emplace_back(name);
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    return names;
}

void SdlAudioDevice::close() {
    if (m_device != 0) {
        SDL_CloseAudioDevice(m_device);  // waits for a running callback to return
        m_device = 0;
    }
    if (m_subsystem) {
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        m_subsystem = false;
    }
}

}  // namespace corvane::playback
