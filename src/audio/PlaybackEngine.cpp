// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/PlaybackEngine.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <span>

#include "dsp/Mix.h"

namespace corvane::audio {

PlaybackEngine::PlaybackEngine(std::unique_ptr<AudioDevice> device) : m_device(std::move(device)) {
    for (auto& g : m_gains) g.store(1.0f, std::memory_order_relaxed);
}

PlaybackEngine::~PlaybackEngine() { shutdown(); }

std::optional<Error> PlaybackEngine::start(double sampleRate) {
    if (m_device->isOpen() && sampleRate == m_sampleRate) return std::nullopt;
    if (m_device->isOpen()) m_device->close();  // reopen at the new rate; scheduled audio stays
    // The device is closed: nothing renders, so the render side's state is ours to reset. Its
    // first block copies the voice table afresh.
    m_renderedFrames.store(0, std::memory_order_relaxed);
    m_renderVoices = {};
    for (std::size_t s = 0; s < m_ramps.size(); ++s) {
        const float g = m_gains[s].load(std::memory_order_relaxed);
        m_ramps[s] = Ramp{g, g, 0.0f, 0, false};
    }
    m_seenGeneration.store(0, std::memory_order_relaxed);
    m_rampFrames = std::max(1, static_cast<int>(std::lround(kRampSeconds * sampleRate)));
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

std::uint64_t PlaybackEngine::publishVoices() { return ++m_generation; }

void PlaybackEngine::schedule(int source, std::shared_ptr<const dsp::StemData> stem,
                              std::int64_t from, std::int64_t to) {
    assert(source >= 0 && source < kSources && stem);
    const auto length = static_cast<std::int64_t>(std::min(stem->l.size(), stem->r.size()));
    to = std::clamp<std::int64_t>(to, 0, length);
    from = std::clamp<std::int64_t>(from, 0, to);
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(m_lock);
        m_voices[static_cast<std::size_t>(source)] =
            Voice{stem->l.data(), stem->r.data(), from, to, 0, true, false};
        generation = publishVoices();
    }
    auto& held = m_held[static_cast<std::size_t>(source)];
    if (held && held != stem) m_retired.push_back({generation, std::move(held)});
    held = std::move(stem);
    releaseRetired();
}

void PlaybackEngine::startAll(std::int64_t at) {
    std::lock_guard lock(m_lock);
    for (Voice& voice : m_voices) {
        if (!voice.scheduled) continue;
        voice.startAt = at;
        voice.started = true;
    }
    publishVoices();
}

void PlaybackEngine::stopSource(int source) {
    assert(source >= 0 && source < kSources);
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(m_lock);
        m_voices[static_cast<std::size_t>(source)] = Voice{};
        generation = publishVoices();
    }
    auto& held = m_held[static_cast<std::size_t>(source)];
    if (held) m_retired.push_back({generation, std::move(held)});
    releaseRetired();
}

void PlaybackEngine::stopAll() {
    for (int i = 0; i < kSources; ++i) stopSource(i);
}

void PlaybackEngine::releaseRetired() {
    // With the device closed nothing renders, and the next open starts from a fresh copy.
    const std::uint64_t seen =
        m_device->isOpen() ? m_seenGeneration.load(std::memory_order_acquire) : m_generation;
    std::erase_if(m_retired, [seen](const Retired& r) { return r.generation <= seen; });
}

std::int64_t PlaybackEngine::deviceFrame() const {
    return m_renderedFrames.load(std::memory_order_acquire);
}

std::optional<std::int64_t> PlaybackEngine::sourceTime(int source) const {
    assert(source >= 0 && source < kSources);
    // Only the main thread writes m_voices, so reading it here needs no lock.
    const Voice& voice = m_voices[static_cast<std::size_t>(source)];
    if (!voice.started) return std::nullopt;
    return deviceFrame() - voice.startAt;
}

void PlaybackEngine::render(float* out, int frames) noexcept {
    // A busy main thread is never waited for: this block plays from the last copy.
    if (m_lock.try_lock()) {
        m_renderVoices = m_voices;
        const std::uint64_t generation = m_generation;
        m_lock.unlock();
        m_seenGeneration.store(generation, std::memory_order_release);
    }
    const std::int64_t blockStart = m_renderedFrames.load(std::memory_order_relaxed);
    for (int done = 0; done < frames;) {
        const int n = std::min(kChunkFrames, frames - done);
        mixChunk(blockStart + done, n);
        float* o = out + 2 * static_cast<std::ptrdiff_t>(done);
        for (int i = 0; i < n; ++i) {
            o[2 * i] = m_mixL[static_cast<std::size_t>(i)];
            o[2 * i + 1] = m_mixR[static_cast<std::size_t>(i)];
        }
        done += n;
    }
    m_renderedFrames.store(blockStart + frames, std::memory_order_release);
}

void PlaybackEngine::mixChunk(std::int64_t chunkStart, int n) noexcept {
    const std::span<float> mixL(m_mixL.data(), static_cast<std::size_t>(n));
    const std::span<float> mixR(m_mixR.data(), static_cast<std::size_t>(n));
    std::fill(mixL.begin(), mixL.end(), 0.0f);
    std::fill(mixR.begin(), mixR.end(), 0.0f);
    for (std::size_t s = 0; s < m_renderVoices.size(); ++s) {
        const Voice& voice = m_renderVoices[s];
        Ramp& ramp = m_ramps[s];
        // Chunk frames [begin, end) of this chunk that fall inside the voice's range.
        std::int64_t begin = chunkStart;
        std::int64_t end = chunkStart;
        if (voice.started) {
            const std::int64_t voiceEnd = voice.startAt + (voice.to - voice.from);
            begin = std::max(chunkStart, voice.startAt);
            end = std::min(chunkStart + n, voiceEnd);
        }
        const float target = m_gains[s].load(std::memory_order_relaxed);
        if (!ramp.sounding || begin >= end) {
            // Silent until now: the new gain holds from the first sample heard.
            ramp = Ramp{target, target, 0.0f, 0, false};
        } else if (target != ramp.target) {
            ramp.target = target;
            ramp.step = (target - ramp.current) / static_cast<float>(m_rampFrames);
            ramp.remaining = m_rampFrames;
        }
        ramp.sounding = begin < end;
        if (begin >= end) continue;

        const std::int64_t offset = voice.from + (begin - voice.startAt);
        auto count = static_cast<std::size_t>(end - begin);
        std::span<const float> l(voice.l + offset, count);
        std::span<const float> r(voice.r + offset, count);
        std::span<float> outL = mixL.subspan(static_cast<std::size_t>(begin - chunkStart), count);
        std::span<float> outR = mixR.subspan(static_cast<std::size_t>(begin - chunkStart), count);
        if (ramp.remaining > 0) {
            const auto ramped = std::min(count, static_cast<std::size_t>(ramp.remaining));
            dsp::addRamped(outL.first(ramped), l, ramp.current, ramp.step);
            ramp.current = dsp::addRamped(outR.first(ramped), r, ramp.current, ramp.step);
            ramp.remaining -= static_cast<int>(ramped);
            if (ramp.remaining == 0) ramp.current = ramp.target;  // land exactly
            l = l.subspan(ramped);
            r = r.subspan(ramped);
            outL = outL.subspan(ramped);
            outR = outR.subspan(ramped);
        }
        // A silent stem adds nothing, as in the exported mix.
        if (outL.empty() || ramp.current == 0.0f) continue;
        dsp::addGained(outL, l, ramp.current);
        dsp::addGained(outR, r, ramp.current);
    }
}

}  // namespace corvane::audio
