// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/PlaybackEngine.h"

#include <algorithm>
#include <cassert>

namespace corvane::audio {

PlaybackEngine::PlaybackEngine(std::unique_ptr<AudioDevice> device) : m_device(std::move(device)) {
    for (auto& g : m_gains) g.store(1.0f, std::memory_order_relaxed);
}

PlaybackEngine::~PlaybackEngine() { shutdown(); }

std::optional<Error> PlaybackEngine::start(double sampleRate) {
    if (m_device->isOpen() && sampleRate == m_sampleRate) return std::nullopt;
    if (m_device->isOpen()) m_device->close();  // reopen at the new rate; scheduled audio stays
    {
        std::lock_guard lock(m_lock);
        m_renderedFrames = 0;
    }
    if (auto error = m_device->open(sampleRate, *this)) return error;
    m_sampleRate = sampleRate;
    return std::nullopt;
}

bool PlaybackEngine::isRunning() const { return m_device->isOpen(); }

void PlaybackEngine::shutdown() {
    if (m_device->isOpen()) m_device->close();
    stopAll();
}

void PlaybackEngine::setGain(int source, float gain) {
    assert(source >= 0 && source < kSources);
    m_gains[static_cast<std::size_t>(source)].store(gain, std::memory_order_relaxed);
}

float PlaybackEngine::gain(int source) const {
    assert(source >= 0 && source < kSources);
    return m_gains[static_cast<std::size_t>(source)].load(std::memory_order_relaxed);
}

void PlaybackEngine::schedule(int source, std::shared_ptr<const dsp::StemData> stem,
                              std::int64_t from, std::int64_t to) {
    assert(source >= 0 && source < kSources && stem);
    const auto length = static_cast<std::int64_t>(std::min(stem->l.size(), stem->r.size()));
    to = std::clamp<std::int64_t>(to, 0, length);
    from = std::clamp<std::int64_t>(from, 0, to);
    {
        std::lock_guard lock(m_lock);
        m_voices[static_cast<std::size_t>(source)] =
            Voice{stem->l.data(), stem->r.data(), from, to, 0, true, false};
    }
    // The voice no longer points into the old stem; it is released here, on the main thread.
    m_held[static_cast<std::size_t>(source)] = std::move(stem);
}

void PlaybackEngine::startAll(std::int64_t at) {
    std::lock_guard lock(m_lock);
    for (Voice& voice : m_voices) {
        if (!voice.scheduled) continue;
        voice.startAt = at;
        voice.started = true;
    }
}

void PlaybackEngine::stopSource(int source) {
    assert(source >= 0 && source < kSources);
    {
        std::lock_guard lock(m_lock);
        m_voices[static_cast<std::size_t>(source)] = Voice{};
    }
    m_held[static_cast<std::size_t>(source)].reset();
}

void PlaybackEngine::stopAll() {
    for (int i = 0; i < kSources; ++i) stopSource(i);
}

std::int64_t PlaybackEngine::deviceFrame() const {
    std::lock_guard lock(m_lock);
    return m_renderedFrames;
}

std::optional<std::int64_t> PlaybackEngine::sourceTime(int source) const {
    assert(source >= 0 && source < kSources);
    std::lock_guard lock(m_lock);
    const Voice& voice = m_voices[static_cast<std::size_t>(source)];
    if (!voice.started) return std::nullopt;
    return m_renderedFrames - voice.startAt;
}

void PlaybackEngine::render(float* out, int frames) noexcept {
    std::fill(out, out + 2 * static_cast<std::ptrdiff_t>(frames), 0.0f);
    std::lock_guard lock(m_lock);
    const std::int64_t blockStart = m_renderedFrames;
    for (std::size_t s = 0; s < m_voices.size(); ++s) {
        const Voice& voice = m_voices[s];
        if (!voice.started) continue;
        // Device frames [begin, end) of this block that fall inside the voice's range.
        const std::int64_t voiceEnd = voice.startAt + (voice.to - voice.from);
        const std::int64_t begin = std::max(blockStart, voice.startAt);
        const std::int64_t end = std::min(blockStart + frames, voiceEnd);
        if (begin >= end) continue;
        const float g = m_gains[s].load(std::memory_order_relaxed);
        const float* l = voice.l + voice.from + (begin - voice.startAt);
        const float* r = voice.r + voice.from + (begin - voice.startAt);
        float* o = out + 2 * (begin - blockStart);
        const auto count = static_cast<std::ptrdiff_t>(end - begin);
        for (std::ptrdiff_t i = 0; i < count; ++i) {
            o[2 * i] += l[i] * g;
            o[2 * i + 1] += r[i] * g;
        }
    }
    m_renderedFrames = blockStart + frames;
}

}  // namespace corvane::audio
