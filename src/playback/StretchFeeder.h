// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

#include "playback/FrameRing.h"
#include "playback/LoopMixer.h"
#include "playback/Stretcher.h"
#include "playback/VoiceTable.h"

namespace corvane::playback {

// The thread that makes stretched playback: it mixes the scheduled voices on the song's own
// clock (looping as the mixer does), runs the mix through Rubber Band's real-time mode and works
// ahead into a wait-free ring, each frame stamped with the song frame it stands for and the
// stream it was made for. The render thread only reads the ring.
//
// It sleeps on a condition the main thread signals (a new voice table, a tempo or pitch, the end)
// whenever it has nothing to do: no stretched stream, a stream given out whole. While the ring is
// full it looks again after a fraction of the ring's length.
//
// Threads: the constructor, the destructor and every member but the readers of progress are for
// the main thread; the feeder's own thread reads the gains and settings through atomics and the
// voice table through publish()'s lock, which it only try-locks.
class StretchFeeder {
public:
    static constexpr int kBlockFrames = 512;

    // `gains` and `ring` are the engine's and must outlive the feeder.
    StretchFeeder(const Gains& gains, FrameRing& ring);
    ~StretchFeeder();
    StretchFeeder(const StretchFeeder&) = delete;
    StretchFeeder& operator=(const StretchFeeder&) = delete;

    // Main thread: what to play from now on (a copy is taken), and the device's settings it is
    // mixed with (rate in Hz, 0 while the device is closed; ramp and loop-fade lengths in frames).
    void publish(const VoiceTable& table);
    void setDevice(double sampleRate, int rampFrames, int fadeFrames);
    // Main thread: the tempo and pitch heard from the next block on.
    void setStretch(Stretch stretch);
    // Main thread: the tempo of the next loop pass, switched where its wrap is fed (taken by that
    // wrap only); set or not, whether the identity is stretched too (a trainer at 100 %).
    void setNextPassTempo(std::optional<double> tempo);

    // The generation of the last table the feeder took, and the stream it has given out whole.
    std::uint64_t seenGeneration() const { return m_seen.load(std::memory_order_acquire); }
    std::uint64_t doneStream() const { return m_doneStream.load(std::memory_order_acquire); }
    // Times the thread has woken to look for work (tests check it sleeps when idle).
    std::uint64_t wakeups() const { return m_wakeups.load(std::memory_order_relaxed); }

private:
    void run();
    void wake();
    // Takes a changed table; true when it starts a new stretched stream.
    void takeTable();
    void startStream();
    // One step of work: hands over what the stretcher has ready and feeds it a block. False when
    // there is nothing to do until something changes or the ring drains.
    bool step();
    // Hands over what the stretcher has ready, as far as the ring has room; its available().
    int handOver();
    // Mixes and feeds one block of at most `left` frames, or up to a wrap into a count-in.
    void feed(std::int64_t left);
    // Writes what is left of a count-in's silence; false while the ring is full.
    bool writeCountIn();
    // After a pass's last frame came out: the stretcher starts again at the next pass's tempo
    // with what follows the wrap, behind the count-in's silence.
    void startPass();

    const Gains& m_gains;
    FrameRing& m_ring;

    std::mutex m_tableLock;
    VoiceTable m_wanted;  // under m_tableLock
    std::atomic<double> m_rate{0.0};
    std::atomic<int> m_rampFrames{1};
    std::atomic<int> m_fadeFrames{1};
    std::atomic<double> m_tempo{1.0};
    std::atomic<double> m_semitones{0.0};
    std::atomic<double> m_nextPassTempo{0.0};  // 0: none, or already taken by a wrap
    std::atomic<bool> m_holdStretch{false};

    std::mutex m_wakeLock;
    std::condition_variable m_woken;
    bool m_pending = false;  // under m_wakeLock: something changed since the thread looked
    bool m_quit = false;     // under m_wakeLock

    std::atomic<std::uint64_t> m_seen{0};
    std::atomic<std::uint64_t> m_doneStream{0};
    std::atomic<std::uint64_t> m_wakeups{0};

    // The feeder thread's own.
    struct State;
    std::unique_ptr<State> m_state;
    std::thread m_thread;  // last: starts when everything it reads exists
};

}  // namespace corvane::playback
