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
    // later frames is the stretcher's tail ringing on past the song (or past a pass that ends
    // into a count-in), and is dropped.
    std::int64_t finalClock = -1;
    SongClock songClock;
    Stretch applied;          // what the stretcher runs at
    Stretch seen;             // the main thread's setting, as last looked at
    double stampTempo = 1.0;  // clock frames each output frame stands for

    // A next pass's tempo taken at a wrap: the stretcher gets it once the wrap and ratioLead
    // frames more are in (a ratio applies from where it analyses, that far behind its input),
    // the stamps from the output frame standing for the wrap on.
    int ratioLead = 0;
    std::int64_t ratioAt = -1;
    std::int64_t stampAt = -1;
    double switchTempo = 1.0;

    // A wrap into a count-in: the pass's last block goes in as final and its tail comes out; then
    // the count-in's silence is written straight to the ring, and the stretcher starts again at
    // the next pass's tempo with the frames mixed after the wrap (the lead-in fading in, standing
    // for clock frames [wrapClock, gapClockTo), the count-in's last frames).
    bool passEnding = false;
    double passTempo = 1.0;
    std::int64_t wrapClock = 0;
    std::int64_t gapFrames = 0;
    std::int64_t gapClockTo = -1;
    std::int64_t gapSong = 0;     // the loop's start: the playhead holds there
    CountIn countIn;              // on the device's clock, from frame 0
    std::int64_t countInPos = 0;  // the next count-in frame's index
    std::int64_t silenceLeft = 0;
    int pendingFrom = 0;  // frames of inL/inR mixed after the wrap, for the next pass
    int pendingCount = 0;

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

void StretchFeeder::setNextPassTempo(std::optional<double> tempo) {
    m_nextPassTempo.store(tempo ? std::clamp(*tempo, Stretch::kMinTempo, Stretch::kMaxTempo) : 0.0);
    m_holdStretch.store(tempo.has_value());
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
    s.seen = s.applied;
    s.stampTempo = s.applied.tempo;
    // Measured with a click train at 48 kHz through switches between 50 and 150 %: a ratio set
    // at the wrap took effect 800 to 1500 input frames before it; set 820 to 1024 frames (about
    // three quarters of the start pad) after it, within about 300 frames of it.
    s.ratioLead = s.stretcher->startPadFrames() * 3 / 4;
    s.ratioAt = s.stampAt = -1;
    s.passEnding = false;
    s.gapClockTo = -1;
    s.silenceLeft = 0;
    s.done = false;
    s.active = true;
}

void StretchFeeder::startPass() {
    State& s = *m_state;
    s.passEnding = false;
    s.finalClock = -1;
    s.applied.tempo = s.passTempo;
    s.stretcher->reset(s.applied);
    for (int pad = s.stretcher->startPadFrames(); pad > 0;) {
        const int n = std::min(pad, kBlockFrames);
        s.stretcher->process(s.zeros.data(), s.zeros.data(), n, false);
        pad -= n;
    }
    s.drop = s.stretcher->startDelayFrames();
    s.fedPos = static_cast<double>(s.wrapClock);
    s.stampTempo = s.passTempo;
    s.ratioAt = s.stampAt = -1;
    s.gapClockTo = s.wrapClock + s.gapFrames;
    // The count-in at the pass's tempo; the stretcher's first frames (the lead-in, counted as
    // handOver() will stamp them) are its last.
    s.countIn.startAt = 0;
    s.countIn.intervalFrames /= s.passTempo;
    s.countInPos = 0;
    std::int64_t leadIn = 0;
    for (double p = s.fedPos; p < static_cast<double>(s.gapClockTo); p += s.stampTempo) ++leadIn;
    s.silenceLeft = std::max<std::int64_t>(0, s.countIn.length() - leadIn);
    s.stretcher->process(s.inL.data() + s.pendingFrom, s.inR.data() + s.pendingFrom, s.pendingCount,
                         false);
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
        s.table.passCountIn = wanted.passCountIn;
        s.mixer.loop = wanted.loop;  // from the next block mixed on
    }
    m_seen.store(wanted.generation, std::memory_order_release);
}

bool StretchFeeder::step() {
    State& s = *m_state;
    if (!s.active || s.done) return false;
    const Stretch live{m_tempo.load(), m_semitones.load()};
    if (!(live == s.seen)) {
        // A change from the main thread, at once (and over a switch under way).
        s.seen = live;
        if (!(live == s.applied) && (!live.isIdentity() || m_holdStretch.load())) {
            s.stretcher->setStretch(live);
            s.applied = live;
            s.stampTempo = live.tempo;
            s.ratioAt = s.stampAt = -1;
        }
    }
    if (s.silenceLeft > 0 && !writeCountIn()) return false;
    const int ready = handOver();
    if (ready < 0) {  // all of the range, or of a pass before a count-in, has come out
        if (s.passEnding) {
            startPass();
            return true;
        }
        s.done = true;
        m_doneStream.store(s.table.stream, std::memory_order_release);
        return false;
    }
    s.mixer.fadeFrames = m_fadeFrames.load(std::memory_order_relaxed);
    // The count-in's silence does not go through the stretcher: only the lead-in is mixed.
    s.mixer.gapFrames = s.table.passCountIn.beats > 0 ? std::max(s.mixer.fadeFrames, 1) : 0;
    const std::int64_t left = s.mixer.framesLeft(s.clock);  // never 0 while looping
    // The ring is full, or the tail is on its way.
    if (ready > 0 || left <= 0 || s.passEnding) return false;
    feed(left);
    return true;
}

int StretchFeeder::handOver() {
    State& s = *m_state;
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
            if (s.stampAt >= 0 && s.fedPos >= static_cast<double>(s.stampAt)) {
                s.stampTempo = s.switchTempo;
                s.stampAt = -1;
            }
            StampedFrame frame{
                s.outL[static_cast<std::size_t>(i)], s.outR[static_cast<std::size_t>(i)],
                s.songClock.songAt(static_cast<std::int64_t>(s.fedPos)), s.table.stream};
            if (s.fedPos < static_cast<double>(s.gapClockTo)) {  // the count-in's end
                frame.songFrame = s.gapSong;
                frame.cue = countInCue(s.countIn, s.countInPos++);
            }
            s.stamped[stamped++] = frame;
            s.fedPos += s.stampTempo;
        }
        m_ring.write(s.stamped.data(), stamped);
        ready = s.stretcher->available();
    }
    return ready;
}

bool StretchFeeder::writeCountIn() {
    State& s = *m_state;
    while (s.silenceLeft > 0) {
        const auto n = static_cast<std::size_t>(std::min<std::int64_t>(
            {s.silenceLeft, kBlockFrames, static_cast<std::int64_t>(m_ring.writable())}));
        if (n == 0) return false;
        for (std::size_t i = 0; i < n; ++i)
            s.stamped[i] = StampedFrame{0.0f, 0.0f, s.gapSong, s.table.stream,
                                        countInCue(s.countIn, s.countInPos++)};
        m_ring.write(s.stamped.data(), n);
        s.silenceLeft -= static_cast<std::int64_t>(n);
    }
    return true;
}

void StretchFeeder::feed(std::int64_t left) {
    State& s = *m_state;
    if (s.ratioAt >= 0 && s.clock >= s.ratioAt) {
        s.applied.tempo = s.switchTempo;
        s.stretcher->setStretch(s.applied);
        s.ratioAt = -1;
    }
    int n = static_cast<int>(std::min<std::int64_t>(kBlockFrames, left));
    if (s.ratioAt > s.clock) n = static_cast<int>(std::min<std::int64_t>(n, s.ratioAt - s.clock));
    // The mixer works in chunks; the stretcher takes the whole block, or what ends a pass.
    bool passEnds = false;
    int fed = 0;
    while (fed < n && !passEnds) {
        const int c = std::min(LoopMixer::kChunkFrames, n - fed);
        s.mixer.mix(s.clock + fed, c, m_gains, m_rampFrames.load(std::memory_order_relaxed));
        for (int w = 0; w < s.mixer.wrapCount(); ++w) {
            const LoopMixer::Wrap& wrap = s.mixer.wrap(w);
            s.songClock.add(wrap.clock, wrap.song);
            const double next = m_nextPassTempo.exchange(0.0);
            if (wrap.gap > 0) {
                passEnds = true;
                s.passTempo = next > 0.0 ? next : s.applied.tempo;
                s.wrapClock = wrap.clock;
                s.gapFrames = wrap.gap;
                s.gapSong = wrap.song + wrap.gap;
                s.countIn = s.table.passCountIn;
            } else if (next > 0.0) {
                s.switchTempo = next;
                s.stampAt = wrap.clock;
                s.ratioAt = wrap.clock + s.ratioLead;
            }
        }
        std::copy_n(s.mixer.left().begin(), c, s.inL.begin() + fed);
        std::copy_n(s.mixer.right().begin(), c, s.inR.begin() + fed);
        fed += c;
    }
    if (passEnds) {
        const auto before = static_cast<int>(s.wrapClock - s.clock);
        s.pendingFrom = before;
        s.pendingCount = fed - before;
        s.clock += fed;
        s.finalClock = s.wrapClock;
        s.passEnding = true;
        s.stretcher->process(s.inL.data(), s.inR.data(), before, true);
        return;
    }
    s.clock += n;
    if (n == left) s.finalClock = s.clock;
    s.stretcher->process(s.inL.data(), s.inR.data(), n, n == left);
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
