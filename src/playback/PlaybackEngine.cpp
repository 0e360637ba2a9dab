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
    m_feeder = std::thread([this] { feed(); });
}

PlaybackEngine::~PlaybackEngine() {
    m_quit.store(true);
    m_feeder.join();
    shutdown();
}

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
    m_feedRate.store(sampleRate);
    if (auto error = m_device->open(sampleRate, *this)) {
        m_feedRate.store(0.0);
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
    m_liveTempo.store(stretch.tempo);
    m_liveSemitones.store(stretch.semitones);
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
    {
        std::lock_guard lock(m_feedLock);
        m_feedWanted = m_table;
    }
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
    const std::uint64_t seen = std::min(rendered, m_feederSeen.load(std::memory_order_acquire));
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

bool PlaybackEngine::stretchedToTheEnd() const {
    return m_feederDoneGeneration.load(std::memory_order_acquire) == m_table.stream;
}

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
            const int n = std::min(Mixer::kChunkFrames, frames - done);
            m_renderMixer.mix(blockStart + done, n, m_gains, m_rampFrames);
            float* o = out + 2 * static_cast<std::ptrdiff_t>(done);
            for (int i = 0; i < n; ++i) {
                o[2 * i] = m_renderMixer.l[static_cast<std::size_t>(i)];
                o[2 * i + 1] = m_renderMixer.r[static_cast<std::size_t>(i)];
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
    for (int i = std::clamp<std::int64_t>(first->startAt - blockStart, 0, frames); i < frames;
         ++i) {
        StampedFrame frame;
        bool got = false;
        while (m_ring.pop(frame)) {
            if (frame.generation < stream) continue;  // made before a seek: stale
            got = true;
            break;
        }
        if (!got) {
            // Nothing ready: silence. Once the feeder has given out everything, the song is over.
            if (m_feederDoneGeneration.load(std::memory_order_acquire) == stream)
                m_heard.store(packHeard(stream, end), std::memory_order_release);
            break;
        }
        out[2 * i] = frame.l;
        out[2 * i + 1] = frame.r;
        m_heard.store(packHeard(stream, frame.songFrame), std::memory_order_release);
    }
}

void PlaybackEngine::Mixer::snapGains(
    const std::array<std::atomic<float>, kSources>& gains) noexcept {
    for (std::size_t s = 0; s < ramps.size(); ++s) {
        const float g = gains[s].load(std::memory_order_relaxed);
        ramps[s] = Ramp{g, g, 0.0f, 0, false};
    }
}

int PlaybackEngine::Mixer::clockVoice() const noexcept {
    for (std::size_t v = 0; v < voices.size(); ++v)
        if (voices[v].started) return static_cast<int>(v);
    return -1;
}

bool PlaybackEngine::Mixer::loops(const Voice& voice, const Cursor& cursor) const noexcept {
    return loop.enabled && loop.start < loop.end && loop.end <= voice.to && !cursor.finished;
}

PlaybackEngine::Mixer::Cursor& PlaybackEngine::Mixer::cursorOf(std::size_t v) noexcept {
    Cursor& cursor = cursors[v];
    // Started again at another time: the voice plays from its `from` again.
    if (!cursor.valid || cursor.startAt != voices[v].startAt)
        cursor = Cursor{voices[v].startAt, 0, true, false};
    return cursor;
}

std::int64_t PlaybackEngine::Mixer::songFrameAt(int v, std::int64_t clock) const noexcept {
    const Voice& voice = voices[static_cast<std::size_t>(v)];
    if (!voice.started || clock <= voice.startAt) return voice.from;
    const Cursor& cursor = cursors[static_cast<std::size_t>(v)];
    const bool current = cursor.valid && cursor.startAt == voice.startAt;
    // mix() wraps as soon as a fade's last frame is out, so the shift is up to date.
    return std::min(voice.from + (clock - voice.startAt) + (current ? cursor.shift : 0), voice.to);
}

std::int64_t PlaybackEngine::Mixer::framesLeft(std::int64_t clock) const noexcept {
    std::int64_t left = 0;
    for (std::size_t v = 0; v < voices.size(); ++v) {
        const Voice& voice = voices[v];
        const Cursor& cursor = cursors[v];
        if (!voice.started || cursor.finished) continue;
        const std::int64_t at = std::max(clock, voice.startAt);
        const std::int64_t song = songFrameAt(static_cast<int>(v), at);
        if (song >= voice.to) continue;
        if (cursor.fading || (loops(voice, cursor) && song <= loop.end)) return kForever;
        left = std::max(left, (at - clock) + (voice.to - song));
    }
    return left;
}

void PlaybackEngine::Mixer::mix(std::int64_t chunkStart, int n,
                                const std::array<std::atomic<float>, kSources>& gains,
                                int rampFrames) noexcept {
    const std::span<float> mixL(l.data(), static_cast<std::size_t>(n));
    const std::span<float> mixR(r.data(), static_cast<std::size_t>(n));
    std::fill(mixL.begin(), mixL.end(), 0.0f);
    std::fill(mixR.begin(), mixR.end(), 0.0f);
    wrapCount = 0;
    const int clock = clockVoice();
    const std::int64_t chunkEnd = chunkStart + n;
    // The fade never takes more than half the loop, so what fades in lies inside the loop.
    const std::int64_t fade =
        std::clamp<std::int64_t>((loop.end - loop.start) / 2, 0, std::max(fadeFrames, 0));
    const std::int64_t fadeFrom = loop.end - fade;  // where a voice begins to fade
    for (std::size_t s = 0; s < voices.size(); ++s) {
        const Voice& voice = voices[s];
        Ramp& ramp = ramps[s];
        Cursor& cursor = cursorOf(s);
        // From clock frame `pos` on, the voice reads song frame `song`; nothing more is heard in
        // this chunk once pos reaches its end or the voice has finished.
        std::int64_t pos = chunkEnd;
        std::int64_t song = 0;
        // Begins a fade at `song` if the loop asks for one, and wraps a fade that is over.
        auto follow = [&] {
            if (!cursor.fading && loops(voice, cursor) && song >= fadeFrom && song <= loop.end) {
                cursor.fading = true;
                cursor.fadeStart = song;
                cursor.fadeEnd = std::min(std::max(loop.end, song + fade), voice.to);
                cursor.fadeShift = loop.end - loop.start;
            }
            if (cursor.fading && song == cursor.fadeEnd) {
                cursor.fading = false;
                cursor.shift -= cursor.fadeShift;
                song -= cursor.fadeShift;
                if (static_cast<int>(s) == clock && wrapCount < kMaxWraps)
                    wraps[static_cast<std::size_t>(wrapCount++)] = Wrap{pos, song};
            }
            if (song >= voice.to) cursor.finished = true;
        };
        if (voice.started && !cursor.finished) {
            pos = std::max(chunkStart, voice.startAt);
            song = voice.from + (pos - voice.startAt) + cursor.shift;
            if (pos < chunkEnd) follow();
        }
        const bool sounding = pos < chunkEnd && !cursor.finished;
        const float target = gains[s].load(std::memory_order_relaxed);
        if (!ramp.sounding || !sounding) {
            // Silent until now: the new gain holds from the first sample heard.
            ramp = Ramp{target, target, 0.0f, 0, false};
        } else if (target != ramp.target) {
            ramp.target = target;
            ramp.step = (target - ramp.current) / static_cast<float>(rampFrames);
            ramp.remaining = rampFrames;
        }
        ramp.sounding = sounding;

        while (pos < chunkEnd && !cursor.finished) {
            // One piece: straight from the stem, or a stretch of a fade (built in fadeL/fadeR).
            auto count = static_cast<std::size_t>(std::min(chunkEnd - pos, voice.to - song));
            std::span<const float> inL;
            std::span<const float> inR;
            if (cursor.fading) {
                count = std::min(count, static_cast<std::size_t>(cursor.fadeEnd - song));
                const float scale =
                    1.0f / static_cast<float>(cursor.fadeEnd - cursor.fadeStart + 1);
                for (std::size_t k = 0; k < count; ++k) {
                    const std::int64_t out = song + static_cast<std::int64_t>(k);
                    const std::int64_t in = out - cursor.fadeShift;  // before the song: silence
                    const float w = static_cast<float>(out - cursor.fadeStart + 1) * scale;
                    const float l0 = in >= 0 ? voice.l[in] : 0.0f;
                    const float r0 = in >= 0 ? voice.r[in] : 0.0f;
                    fadeL[k] = voice.l[out] * (1.0f - w) + l0 * w;
                    fadeR[k] = voice.r[out] * (1.0f - w) + r0 * w;
                }
                inL = std::span<const float>(fadeL.data(), count);
                inR = std::span<const float>(fadeR.data(), count);
            } else {
                if (loops(voice, cursor) && song < fadeFrom)
                    count = std::min(count, static_cast<std::size_t>(fadeFrom - song));
                inL = std::span<const float>(voice.l + song, count);
                inR = std::span<const float>(voice.r + song, count);
            }
            std::span<float> outL = mixL.subspan(static_cast<std::size_t>(pos - chunkStart), count);
            std::span<float> outR = mixR.subspan(static_cast<std::size_t>(pos - chunkStart), count);
            pos += static_cast<std::int64_t>(count);
            song += static_cast<std::int64_t>(count);
            follow();

            if (ramp.remaining > 0) {
                const auto ramped = std::min(count, static_cast<std::size_t>(ramp.remaining));
                dsp::addRamped(outL.first(ramped), inL, ramp.current, ramp.step);
                ramp.current = dsp::addRamped(outR.first(ramped), inR, ramp.current, ramp.step);
                ramp.remaining -= static_cast<int>(ramped);
                if (ramp.remaining == 0) ramp.current = ramp.target;  // land exactly
                inL = inL.subspan(ramped);
                inR = inR.subspan(ramped);
                outL = outL.subspan(ramped);
                outR = outR.subspan(ramped);
            }
            // A silent stem adds nothing, as in the exported mix.
            if (outL.empty() || ramp.current == 0.0f) continue;
            dsp::addGained(outL, inL, ramp.current);
            dsp::addGained(outR, inR, ramp.current);
        }
    }
}

// ---- Feeder thread -----------------------------------------------------------------------------

void PlaybackEngine::feed() {
    using namespace std::chrono_literals;
    VoiceTable table;
    std::unique_ptr<Mixer> mixer = std::make_unique<Mixer>();
    std::unique_ptr<RealtimeStretcher> stretcher;
    double stretcherRate = 0.0;
    bool active = false;
    bool done = false;
    std::int64_t clock = 0;  // frames mixed and fed, from the range's start
    int drop = 0;            // output frames still to drop (the stretcher's start delay)
    double fedPos = 0.0;     // the clock frame the next output frame stands for
    // The clock voice's song frame by clock frame: each segment holds from its clock frame on
    // (one per wrap), so that output frames made from before a wrap keep their song frames.
    struct Segment {
        std::int64_t clock;
        std::int64_t song;
    };
    constexpr std::size_t kSegments = 64;  // wraps of 0.05 s loops in the ring, several times
    std::array<Segment, kSegments> segments{};
    std::size_t segBegin = 0;
    std::size_t segEnd = 0;
    auto addSegment = [&](Segment segment) {
        if (segEnd - segBegin == kSegments) ++segBegin;  // far behind: the oldest is done with
        segments[segEnd++ % kSegments] = segment;
    };
    auto songAt = [&](std::int64_t c) {
        while (segEnd - segBegin > 1 && segments[(segBegin + 1) % kSegments].clock <= c) ++segBegin;
        const Segment& g = segments[segBegin % kSegments];
        return g.song + (c - g.clock);
    };
    Stretch applied;
    std::array<float, kFeedBlockFrames> outL{};
    std::array<float, kFeedBlockFrames> outR{};
    std::array<float, kFeedBlockFrames> zeros{};

    while (!m_quit.load()) {
        if (m_feedLock.try_lock()) {
            const VoiceTable wanted = m_feedWanted;
            m_feedLock.unlock();
            if (wanted.stream != table.stream || wanted.stretched != table.stretched) {
                table = wanted;
                active = false;
                const double rate = m_feedRate.load();
                std::int64_t first = -1;
                mixer->voices = {};
                mixer->resetCursors();
                mixer->loop = table.loop;
                for (std::size_t s = 0; s < table.voices.size(); ++s) {
                    Voice voice = table.voices[s];
                    if (!voice.scheduled) continue;
                    if (first < 0) first = voice.from;
                    // On the song's own clock: frame 0 is the range's first.
                    voice.startAt = 0;
                    voice.started = true;
                    mixer->voices[s] = voice;
                }
                if (table.stretched && first >= 0 && rate > 0.0) {
                    if (!stretcher || stretcherRate != rate) {
                        stretcher = std::make_unique<RealtimeStretcher>(rate, kFeedBlockFrames);
                        stretcherRate = rate;
                    }
                    applied = Stretch{m_liveTempo.load(), m_liveSemitones.load()};
                    stretcher->reset(applied);
                    mixer->snapGains(m_gains);
                    // Leading silence so the first real frame comes out first, aligned.
                    for (int pad = stretcher->startPadFrames(); pad > 0;) {
                        const int n = std::min(pad, kFeedBlockFrames);
                        stretcher->process(zeros.data(), zeros.data(), n, false);
                        pad -= n;
                    }
                    drop = stretcher->startDelayFrames();
                    segBegin = segEnd = 0;
                    addSegment({0, first});
                    fedPos = 0.0;
                    clock = 0;
                    done = false;
                    active = true;
                }
            } else {
                table.generation = wanted.generation;
                table.loop = wanted.loop;
                mixer->loop = wanted.loop;  // from the next block mixed on
            }
            m_feederSeen.store(wanted.generation, std::memory_order_release);
        }
        if (!active || done) {
            std::this_thread::sleep_for(5ms);
            continue;
        }
        const Stretch live{m_liveTempo.load(), m_liveSemitones.load()};
        if (!(live == applied) && !live.isIdentity()) {
            stretcher->setStretch(live);
            applied = live;
        }
        // Hand over what is ready, as far as the ring has room.
        int ready = stretcher->available();
        while (ready > 0 && m_ring.writable() > 0) {
            const int n = std::min({ready, kFeedBlockFrames, static_cast<int>(m_ring.writable())});
            const int got = stretcher->retrieve(outL.data(), outR.data(), n);
            for (int i = 0; i < got; ++i) {
                if (drop > 0) {
                    --drop;
                    continue;
                }
                m_ring.push({outL[static_cast<std::size_t>(i)], outR[static_cast<std::size_t>(i)],
                             songAt(static_cast<std::int64_t>(fedPos)), table.stream});
                fedPos += applied.tempo;
            }
            ready = stretcher->available();
        }
        if (ready < 0) {  // all of the range has come out
            done = true;
            m_feederDoneGeneration.store(table.stream, std::memory_order_release);
            continue;
        }
        mixer->fadeFrames = m_fadeFrames.load(std::memory_order_relaxed);
        const std::int64_t left = mixer->framesLeft(clock);  // never 0 while looping
        if (ready > 0 || left <= 0) {
            std::this_thread::sleep_for(2ms);  // the ring is full, or the tail is on its way
            continue;
        }
        const int n = static_cast<int>(std::min<std::int64_t>(kFeedBlockFrames, left));
        // The mixer works in chunks; the stretcher takes the whole block.
        std::array<float, kFeedBlockFrames> inL{};
        std::array<float, kFeedBlockFrames> inR{};
        for (int fed = 0; fed < n;) {
            const int c = std::min(Mixer::kChunkFrames, n - fed);
            mixer->mix(clock + fed, c, m_gains, m_rampFrames);
            for (int w = 0; w < mixer->wrapCount; ++w) {
                const Mixer::Wrap& wrap = mixer->wraps[static_cast<std::size_t>(w)];
                addSegment({wrap.clock, wrap.song});
            }
            std::copy_n(mixer->l.begin(), c, inL.begin() + fed);
            std::copy_n(mixer->r.begin(), c, inR.begin() + fed);
            fed += c;
        }
        clock += n;
        stretcher->process(inL.data(), inR.data(), n, n == left);
    }
}

}  // namespace corvane::playback
