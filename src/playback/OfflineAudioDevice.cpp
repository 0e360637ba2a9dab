// SPDX-License-Identifier: GPL-3.0-or-later
#include "playback/OfflineAudioDevice.h"

#include <algorithm>

namespace corvane::playback {

OfflineAudioDevice::OfflineAudioDevice(std::optional<Error> openFailure)
    : m_openFailure(std::move(openFailure)) {}

std::optional<Error> OfflineAudioDevice::open(double sampleRate, RenderSource& source) {
    if (m_openFailure) return m_openFailure;
    m_source = &source;
    m_sampleRate = sampleRate;
    ++m_openCount;
    return std::nullopt;
}

void OfflineAudioDevice::close() { m_source = nullptr; }

std::vector<float> OfflineAudioDevice::render(int frames, int blockFrames) {
    std::vector<float> out(2 * static_cast<std::size_t>(std::max(frames, 0)), 0.0f);
    if (!m_source) return out;
    for (int done = 0; done < frames;) {
        const int n = std::min(blockFrames, frames - done);
        m_source->render(out.data() + 2 * done, n);
        done += n;
    }
    m_captured.insert(m_captured.end(), out.begin(), out.end());
    return out;
}

void OfflineAudioDevice::renderInto(float* out, int frames) {
    if (m_source) m_source->render(out, frames);
}

}  // namespace corvane::playback
