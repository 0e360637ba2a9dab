// SPDX-License-Identifier: GPL-3.0-or-later
#include "playback/StretchFeeder.h"

#include <algorithm>
#include <chrono>

#include "playback/SongClock.h"

namespace corvane::playback {

namespace {
// While the ring is full the feeder looks again after this long: a small part of the ring's
// length, so the ring stays nearly full, and seldom enough to cost nothing.
constexpr auto kFullRingWait = std::chrono::milliseconds(10);
}  // namespace

struct StretchFeeder::State {
    VoiceTable table;
    LoopMixer mixer;
    std::unique_ptr<RealtimeStretcher> stretcher;
    double stretcherRate = 0.0;
    bool active = false;
    bool done = false;
    std::int64_t clock = 0;  // frames mixed and fed, from the range's start
    int drop = 0;            // output frames still to drop (the stretcher's start delay)
    double fedPos = 0.0;     // the clock frame the next output frame stands for
    // Clock frames mixed in all, once the last block went in (-1 before): output standing for
    // later frames is the stretcher's tail ringing on past the song, and is dropped.
    std::int64_t finalClock = -1;
    SongClock songClock;
    Stretch applied;
    std::array<float, kBlockFrames> inL{}, inR{}, outL{}, outR{}, zeros{};
    std::array<StampedFrame, kBlockFrames> stamped{};
};

StretchFeeder::StretchFeeder(const Gains& gains, FrameRing& ring)
    : m_gains(gains), m_ring(ring), m_state(std::make_unique<State>()) {
    m_thread = std::thread([this] { run(); });
}

StretchFeeder::~StretchFeeder() {
    {
        const std::lock_guard lock(m_wakeLock);
        m_quit = true;
    }
    m_woken.notify_all();
    m_thread.join();
}

void StretchFeeder::wake() {
    {
        const std::lock_guard lock(m_wakeLock);
        m_pending = true;
    }
    m_woken.notify_all();
}

void StretchFeeder::publish(const VoiceTable& table) {
    {
        const std::lock_guard lock(m_tableLock);
        m_wanted = table;
    }
    wake();
}

void StretchFeeder::setDevice(double sampleRate, int rampFrames, int fadeFrames) {
    m_rampFrames.store(rampFrames);
    m_fadeFrames.store(fadeFrames);
    m_rate.store(sampleRate);
    wake();
}

void StretchFeeder::setStretch(Stretch stretch) {
    m_tempo.store(stretch.tempo);
    m_semitones.store(stretch.semitones);
    wake();
}

void StretchFeeder::startStream() {
    State& s = *m_state;
    s.active = false;
    const double rate = m_rate.load();
    std::int64_t first = -1;
    s.mixer.voices = {};
    s.mixer.resetCursors();
    s.mixer.loop = s.table.loop;
    for (std::size_t i = 0; i < s.table.voices.size(); ++i) {
        Voice voice = s.table.voices[i];
        if (!voice.scheduled) continue;
        if (first < 0) first = voice.from;
        // On the song's own clock: frame 0 is the range's first.
        voice.startAt = 0;
        voice.started = true;
        s.mixer.voices[i] = voice;
    }
    if (!s.table.stretched || first < 0 || rate <= 0.0) return;
    if (!s.stretcher || s.stretcherRate != rate) {
        s.stretcher = std::make_unique<RealtimeStretcher>(rate, kBlockFrames);
        s.stretcherRate = rate;
    }
    s.applied = Stretch{m_tempo.load(), m_semitones.load()};
    s.stretcher->reset(s.applied);
    s.mixer.snapGains(m_gains);
    // Leading silence so the first real frame comes out first, aligned.
    for (int pad = s.stretcher->startPadFrames(); pad > 0;) {
        const int n = std::min(pad, kBlockFrames);
        s.stretcher->process(s.zeros.data(), s.zeros.data(), n, false);
        pad -= n;
    }
    s.drop = s.stretcher->startDelayFrames();
    s.songClock.reset(0, first);
    s.fedPos = 0.0;
    s.clock = 0;
    s.finalClock = -1;
    s.done = false;
    s.active = true;
}

void StretchFeeder::takeTable() {
    State& s = *m_state;
    if (!m_tableLock.try_lock()) return;  // the main thread is writing it: next time
    const VoiceTable wanted = m_wanted;
    m_tableLock.unlock();
    if (wanted.stream != s.table.stream || wanted.stretched != s.table.stretched) {
        s.table = wanted;
        startStream();
    } else {
        s.table.generation = wanted.generation;
        s.table.loop = wanted.loop;
        s.mixer.loop = wanted.loop;  // from the next block mixed on
    }
    m_seen.store(wanted.generation, std::memory_order_release);
}

bool StretchFeeder::step() {
    State& s = *m_state;
    if (!s.active || s.done) return false;
    const Stretch live{m_tempo.load(), m_semitones.load()};
    if (!(live == s.applied) && !live.isIdentity()) {
        s.stretcher->setStretch(live);
        s.applied = live;
    }
    // Hand over what is ready, as far as the ring has room.
    int ready = s.stretcher->available();
    while (ready > 0 && m_ring.writable() > 0) {
        const int n = std::min({ready, kBlockFrames, static_cast<int>(m_ring.writable())});
        const int got = s.stretcher->retrieve(s.outL.data(), s.outR.data(), n);
        std::size_t stamped = 0;
        for (int i = 0; i < got; ++i) {
            if (s.drop > 0) {
                --s.drop;
                continue;
            }
            if (s.finalClock >= 0 && s.fedPos >= static_cast<double>(s.finalClock)) continue;
            s.stamped[stamped++] = {
                s.outL[static_cast<std::size_t>(i)], s.outR[static_cast<std::size_t>(i)],
                s.songClock.songAt(static_cast<std::int64_t>(s.fedPos)), s.table.stream};
            s.fedPos += s.applied.tempo;
        }
        m_ring.write(s.stamped.data(), stamped);
        ready = s.stretcher->available();
    }
    if (ready < 0) {  // all of the range has come out
        s.done = true;
        m_doneStream.store(s.table.stream, std::memory_order_release);
        return false;
    }
    s.mixer.fadeFrames = m_fadeFrames.load(std::memory_order_relaxed);
    const std::int64_t left = s.mixer.framesLeft(s.clock);  // never 0 while looping
    if (ready > 0 || left <= 0) return false;  // the ring is full, or the tail is on its way
    const int n = static_cast<int>(std::min<std::int64_t>(kBlockFrames, left));
    // The mixer works in chunks; the stretcher takes the whole block.
    for (int fed = 0; fed < n;) {
        const int c = std::min(LoopMixer::kChunkFrames, n - fed);
        s.mixer.mix(s.clock + fed, c, m_gains, m_rampFrames.load(std::memory_order_relaxed));
        for (int w = 0; w < s.mixer.wrapCount(); ++w)
            s.songClock.add(s.mixer.wrap(w).clock, s.mixer.wrap(w).song);
        std::copy_n(s.mixer.left().begin(), c, s.inL.begin() + fed);
        std::copy_n(s.mixer.right().begin(), c, s.inR.begin() + fed);
        fed += c;
    }
    s.clock += n;
    if (n == left) s.finalClock = s.clock;
    s.stretcher->process(s.inL.data(), s.inR.data(), n, n == left);
    return true;
}

void StretchFeeder::run() {
    while (true) {
        {
            std::unique_lock lock(m_wakeLock);
            if (m_quit) return;
            m_pending = false;
        }
        m_wakeups.fetch_add(1, std::memory_order_relaxed);
        takeTable();
        while (step()) {
            // Work as long as there is some; a change of table is looked at between blocks.
            bool changed = false;
            {
                const std::lock_guard lock(m_wakeLock);
                if (m_quit) return;
                changed = m_pending;
            }
            if (changed) break;
        }
        std::unique_lock lock(m_wakeLock);
        if (m_pending || m_quit) continue;
        const State& s = *m_state;
        if (s.active && !s.done)
            m_woken.wait_for(lock, kFullRingWait, [&] { return m_pending || m_quit; });
        else
            m_woken.wait(lock, [&] { return m_pending || m_quit; });
    }
}

}  // namespace corvane::playback
