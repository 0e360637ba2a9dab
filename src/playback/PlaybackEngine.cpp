// SPDX-License-Identifier: GPL-3.0-or-later
#include "playback/PlaybackEngine.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cmath>
#include <span>

#include "dsp/common/Mix.h"

namespace corvane::playback {

namespace {

constexpr int kSongFrameBits = 40;
constexpr std::uint64_t kSongFrameMask = (std::uint64_t{1} << kSongFrameBits) - 1;
constexpr std::uint64_t kNothingHeard = ~std::uint64_t{0};

std::uint64_t packHeard(std::uint64_t stream, std::int64_t songFrame) {
    return ((stream & 0xFFFFFF) << kSongFrameBits) |
           (static_cast<std::uint64_t>(std::max<std::int64_t>(songFrame, 0)) & kSongFrameMask);
}

}  // namespace

PlaybackEngine::PlaybackEngine(std::unique_ptr<AudioDevice> device) : m_device(std::move(device)) {
    for (auto& g : m_gains) g.store(1.0f, std::memory_order_relaxed);
}

// The feeder (the last member) stops first; the device closes after.
PlaybackEngine::~PlaybackEngine() { shutdown(); }

std::optional<Error> PlaybackEngine::start(double sampleRate) {
    if (m_device->isOpen() && sampleRate == m_sampleRate) return std::nullopt;
    if (m_device->isOpen()) m_device->close();  // reopen at the new rate; scheduled audio stays
    // The device is closed: nothing renders, so the render side's state is ours to reset. Its
    // first block copies the voice table afresh.
    m_renderedFrames.store(0, std::memory_order_relaxed);
    m_renderTable = VoiceTable{};
    m_renderMixer.voices = {};
    m_renderMixer.snapGains(m_gains);
    m_renderSeen.store(0, std::memory_order_relaxed);
    m_rampFrames.store(std::max(1, static_cast<int>(std::lround(kRampSeconds * sampleRate))));
    m_fadeFrames.store(std::max(1, static_cast<int>(std::lround(kLoopFadeSeconds * sampleRate))));
    m_feeder.setDevice(sampleRate, m_rampFrames.load(), m_fadeFrames.load());
    if (auto error = m_device->open(sampleRate, *this)) {
        m_feeder.setDevice(0.0, m_rampFrames.load(), m_fadeFrames.load());
        return error;
    }
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

void PlaybackEngine::setStretch(Stretch stretch) {
    m_stretch = stretch;
    m_feeder.setStretch(stretch);
}

std::uint64_t PlaybackEngine::publishVoices(bool newStream) {
    ++m_table.generation;
    if (newStream) m_table.stream = m_table.generation;
    // One slot per reader, so that render()'s try-lock only ever meets the main thread here,
    // never the feeder.
    {
        std::lock_guard lock(m_renderLock);
        m_renderWanted = m_table;
    }
    m_feeder.publish(m_table);
    return m_table.generation;
}

void PlaybackEngine::schedule(int source, std::shared_ptr<const dsp::StemData> stem,
                              std::int64_t from, std::int64_t to) {
    assert(source >= 0 && source < kSources && stem);
    const auto length = static_cast<std::int64_t>(std::min(stem->l.size(), stem->r.size()));
    to = std::clamp<std::int64_t>(to, 0, length);
    from = std::clamp<std::int64_t>(from, 0, to);
    m_table.voices[static_cast<std::size_t>(source)] =
        Voice{stem->l.data(), stem->r.data(), from, to, 0, true, false};
    m_table.stretched = !m_stretch.isIdentity();
    const std::uint64_t generation = publishVoices(true);
    auto& held = m_held[static_cast<std::size_t>(source)];
    if (held && held != stem) m_retired.push_back({generation, std::move(held)});
    held = std::move(stem);
    releaseRetired();
}

void PlaybackEngine::startAll(std::int64_t at) {
    for (Voice& voice : m_table.voices) {
        if (!voice.scheduled) continue;
        voice.startAt = at;
        voice.started = true;
    }
    publishVoices(false);
}

void PlaybackEngine::stopSource(int source) {
    assert(source >= 0 && source < kSources);
    m_table.voices[static_cast<std::size_t>(source)] = Voice{};
    const std::uint64_t generation = publishVoices(true);
    auto& held = m_held[static_cast<std::size_t>(source)];
    if (held) m_retired.push_back({generation, std::move(held)});
    releaseRetired();
}

void PlaybackEngine::stopAll() {
    for (int i = 0; i < kSources; ++i) stopSource(i);
}

void PlaybackEngine::releaseRetired() {
    // With the device closed nothing renders, and the next open starts from a fresh copy.
    const std::uint64_t rendered =
        m_device->isOpen() ? m_renderSeen.load(std::memory_order_acquire) : m_table.generation;
    const std::uint64_t seen = std::min(rendered, m_feeder.seenGeneration());
    std::erase_if(m_retired, [seen](const Retired& r) { return r.generation <= seen; });
}

std::int64_t PlaybackEngine::deviceFrame() const {
    return m_renderedFrames.load(std::memory_order_acquire);
}

std::optional<std::int64_t> PlaybackEngine::sourceTime(int source) const {
    assert(source >= 0 && source < kSources);
    // Only the main thread writes m_table, so reading it here needs no lock.
    const Voice& voice = m_table.voices[static_cast<std::size_t>(source)];
    if (!voice.started) return std::nullopt;
    return deviceFrame() - voice.startAt;
}

void PlaybackEngine::setLoop(Loop loop) {
    loop.start = std::max<std::int64_t>(loop.start, 0);
    if (loop.end <= loop.start) loop = Loop{};
    m_table.loop = loop;
    publishVoices(false);  // not a new stream: what plays goes on
}

std::optional<std::int64_t> PlaybackEngine::stretchedSongFrame() const {
    if (!m_table.stretched) return std::nullopt;
    return songFrame();
}

std::optional<std::int64_t> PlaybackEngine::songFrame() const {
    const std::uint64_t heard = m_heard.load(std::memory_order_acquire);
    if (heard == kNothingHeard || (heard >> kSongFrameBits) != (m_table.stream & 0xFFFFFF))
        return std::nullopt;
    return static_cast<std::int64_t>(heard & kSongFrameMask);
}

std::int64_t PlaybackEngine::bufferedFrames() const {
    return static_cast<std::int64_t>(m_ring.readable());
}

bool PlaybackEngine::stretchedToTheEnd() const { return m_feeder.doneStream() == m_table.stream; }

// ---- Render thread -----------------------------------------------------------------------------

void PlaybackEngine::render(float* out, int frames) noexcept {
    // A busy main thread is never waited for: this block plays from the last copy.
    if (m_renderLock.try_lock()) {
        const bool newStream = m_renderWanted.stream != m_renderTable.stream;
        m_renderTable = m_renderWanted;
        m_renderLock.unlock();
        m_renderSeen.store(m_renderTable.generation, std::memory_order_release);
        if (newStream) {
            m_renderMixer.snapGains(m_gains);
            m_renderMixer.resetCursors();
        }
    }
    const std::int64_t blockStart = m_renderedFrames.load(std::memory_order_relaxed);
    if (m_renderTable.stretched) {
        renderStretched(out, frames, blockStart);
    } else {
        m_renderMixer.voices = m_renderTable.voices;
        m_renderMixer.loop = m_renderTable.loop;
        m_renderMixer.fadeFrames = m_fadeFrames.load(std::memory_order_relaxed);
        for (int done = 0; done < frames;) {
            const int n = std::min(LoopMixer::kChunkFrames, frames - done);
            m_renderMixer.mix(blockStart + done, n, m_gains, m_rampFrames);
            float* o = out + 2 * static_cast<std::ptrdiff_t>(done);
            for (int i = 0; i < n; ++i) {
                o[2 * i] = m_renderMixer.left()[static_cast<std::size_t>(i)];
                o[2 * i + 1] = m_renderMixer.right()[static_cast<std::size_t>(i)];
            }
            done += n;
        }
        // The playhead: the song frame the clock voice plays next, wraps included.
        if (const int clock = m_renderMixer.clockVoice(); clock >= 0) {
            const std::int64_t song = m_renderMixer.songFrameAt(clock, blockStart + frames);
            m_heard.store(packHeard(m_renderTable.stream, song), std::memory_order_release);
        }
    }
    m_renderedFrames.store(blockStart + frames, std::memory_order_release);
}

void PlaybackEngine::renderStretched(float* out, int frames, std::int64_t blockStart) noexcept {
    std::fill(out, out + 2 * static_cast<std::ptrdiff_t>(frames), 0.0f);
    const Voice* first = nullptr;
    std::int64_t end = 0;
    for (const Voice& voice : m_renderTable.voices) {
        if (!voice.started) continue;
        if (!first) first = &voice;
        end = std::max(end, voice.to);
    }
    if (!first) return;
    const std::uint64_t stream = m_renderTable.stream;
    for (int i = static_cast<int>(std::clamp<std::int64_t>(first->startAt - blockStart, 0, frames));
         i < frames;) {
        const std::size_t got = m_ring.read(
            m_frames.data(), std::min(static_cast<std::size_t>(frames - i), m_frames.size()));
        if (got == 0) {
            // Nothing ready: silence. Once the feeder has given out everything, the song is over.
            if (m_feeder.doneStream() == stream)
                m_heard.store(packHeard(stream, end), std::memory_order_release);
            break;
        }
        // Frames made before a seek are stale: dropped unheard.
        std::size_t k = 0;
        while (k < got && m_frames[k].generation < stream) ++k;
        if (k == got) continue;
        for (; k < got; ++k, ++i) {
            out[2 * i] = m_frames[k].l;
            out[2 * i + 1] = m_frames[k].r;
        }
        m_heard.store(packHeard(stream, m_frames[got - 1].songFrame), std::memory_order_release);
    }
}

}  // namespace corvane::playback
