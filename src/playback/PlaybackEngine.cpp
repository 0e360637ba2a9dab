// SPDX-License-Identifier: GPL-3.0-or-later
#include "playback/PlaybackEngine.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cmath>
#include <span>

#include "dsp/common/Mix.h"

namespace corvane::playback {

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
    m_renderSeen.store(0, std::memory_order_relaxed);
    m_rampFrames.store(std::max(1, static_cast<int>(std::lround(kRampSeconds * sampleRate))));
    m_fadeFrames.store(std::max(1, static_cast<int>(std::lround(kLoopFadeSeconds * sampleRate))));
    m_renderer.reset(m_rampFrames.load(), m_fadeFrames.load(),
                     static_cast<int>(std::lround(Renderer::kSwitchFadeSeconds * sampleRate)));
    m_renderer.prepareClick(sampleRate, m_rampFrames.load());
    m_heardSequence.store(0);
    m_heardStream.store(0);
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

void PlaybackEngine::setClickBeats(std::shared_ptr<const ClickBeats> beats) {
    m_table.clickBeats = beats && !beats->empty() ? beats->data() : nullptr;
    m_table.clickBeatCount = beats ? beats->size() : 0;
    const std::uint64_t generation = publishVoices(false);
    if (m_clickBeats) m_retired.push_back({generation, std::move(m_clickBeats)});
    m_clickBeats = std::move(beats);
    releaseRetired();
}

void PlaybackEngine::setClickVolume(float gain) {
    m_clickVolume = std::max(0.0f, gain);
    m_clickGain.store(m_clickMuted ? 0.0f : m_clickVolume, std::memory_order_relaxed);
}

void PlaybackEngine::setClickMuted(bool muted) {
    m_clickMuted = muted;
    m_clickGain.store(m_clickMuted ? 0.0f : m_clickVolume, std::memory_order_relaxed);
}

void PlaybackEngine::setCountIn(const CountIn& countIn) {
    m_table.countIn = countIn;
    publishVoices(false);
}

void PlaybackEngine::setPassCountIn(const CountIn& countIn) {
    m_table.passCountIn = countIn;
    publishVoices(false);
}

void PlaybackEngine::setNextPassTempo(std::optional<double> tempo) {
    m_holdStretch = tempo.has_value();
    m_feeder.setNextPassTempo(tempo);
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
    m_table.stretched = !m_stretch.isIdentity() || m_holdStretch;
    const std::uint64_t generation = publishVoices(true);
    auto& held = m_held[static_cast<std::size_t>(source)];
    if (held && held != stem) m_retired.push_back({generation, std::move(held)});
    held = std::move(stem);
    releaseRetired();
}

void PlaybackEngine::playAll(
    const std::array<std::shared_ptr<const dsp::StemData>, kSources>& stems, std::int64_t from,
    std::int64_t to, std::int64_t at, bool seamless) {
    m_soundingStream = 0;
    for (const Voice& v : m_table.voices)
        if (v.started) m_soundingStream = m_table.stream;
    for (int s = 0; s < kSources; ++s) {
        const auto& stem = stems[static_cast<std::size_t>(s)];
        Voice& voice = m_table.voices[static_cast<std::size_t>(s)];
        if (!stem) {
            voice = Voice{};
        } else {
            const auto length = static_cast<std::int64_t>(std::min(stem->l.size(), stem->r.size()));
            const std::int64_t end = std::clamp<std::int64_t>(to, 0, length);
            voice = Voice{stem->l.data(),
                          stem->r.data(),
                          std::clamp<std::int64_t>(from, 0, end),
                          end,
                          at,
                          true,
                          true};
        }
    }
    m_table.stretched = !m_stretch.isIdentity() || m_holdStretch;
    m_table.seamless = seamless;
    const std::uint64_t generation = publishVoices(true);
    m_table.seamless = false;  // what follows (a stop, a schedule) cuts as it always did
    for (int s = 0; s < kSources; ++s) {
        auto& held = m_held[static_cast<std::size_t>(s)];
        const auto& stem = stems[static_cast<std::size_t>(s)];
        if (held && held != stem) m_retired.push_back({generation, std::move(held)});
        held = stem;
    }
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
    // The last render's word, read whole (a sequence lock: odd while render() writes it).
    std::int64_t song = 0;
    std::uint64_t stream = 0;
    double rate = 1.0;
    std::int64_t at = 0;
    for (int tries = 0;; ++tries) {
        const std::uint64_t before = m_heardSequence.load(std::memory_order_acquire);
        song = m_heardSong.load(std::memory_order_acquire);
        stream = m_heardStream.load(std::memory_order_acquire);
        rate = m_heardRate.load(std::memory_order_acquire);
        at = m_heardAtNs.load(std::memory_order_acquire);
        // Acquire loads keep the second look at the sequence after them (no fences: the thread
        // sanitizer understands these).
        if (before % 2 == 0 && before == m_heardSequence.load(std::memory_order_relaxed)) break;
        if (tries > 1000) return std::nullopt;
    }
    // What plays is this scheduling's, or what it is crossfading from; before either was heard,
    // nothing.
    if (stream == 0 || (stream != m_table.stream && stream != m_soundingStream))
        return std::nullopt;
    if (m_device->realtime() && m_sampleRate > 0.0) {
        // Between two renders the speaker moves on at the song's pace: at most a block's worth.
        const double elapsed =
            static_cast<double>(std::chrono::steady_clock::now().time_since_epoch().count() - at) *
            1e-9;
        song += static_cast<std::int64_t>(std::clamp(elapsed, 0.0, 0.1) * m_sampleRate * rate);
    }
    return song;
}

std::int64_t PlaybackEngine::bufferedFrames() const {
    return static_cast<std::int64_t>(m_ring.readable());
}

bool PlaybackEngine::stretchedToTheEnd() const { return m_feeder.doneStream() == m_table.stream; }

// ---- Render thread -----------------------------------------------------------------------------

void PlaybackEngine::render(float* out, int frames) noexcept {
    // A busy main thread is never waited for: this block plays from the last copy.
    if (m_renderLock.try_lock()) {
        m_renderer.take(m_renderWanted);
        m_renderLock.unlock();
    }
    const std::int64_t blockStart = m_renderedFrames.load(std::memory_order_relaxed);
    m_renderer.render(out, frames, blockStart, m_feeder.doneStream());
    m_renderSeen.store(m_renderer.oldestInUse(), std::memory_order_release);
    // The playhead: on a real device, what leaves the speakers now, a latency behind the first
    // frame of this block; offline, the song frame after the block, played on demand.
    const bool live = m_device->realtime();
    if (const auto heard = m_renderer.heardAt(live ? blockStart - m_device->latencyFrames()
                                                   : blockStart + frames)) {
        m_heardSequence.fetch_add(1, std::memory_order_relaxed);  // odd: being written
        // Release stores: a reader that sees any of them also sees the sequence made odd.
        m_heardSong.store(heard->song, std::memory_order_release);
        m_heardStream.store(heard->stream, std::memory_order_release);
        m_heardRate.store(heard->rate, std::memory_order_release);
        m_heardAtNs.store(std::chrono::steady_clock::now().time_since_epoch().count(),
                          std::memory_order_release);
        m_heardSequence.fetch_add(1, std::memory_order_release);
    }
    m_renderedFrames.store(blockStart + frames, std::memory_order_release);
}

}  // namespace corvane::playback
