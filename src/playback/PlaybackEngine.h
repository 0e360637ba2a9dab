// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "audio/Error.h"
#include "dsp/common/StemData.h"
#include "dsp/common/StemKind.h"
#include "playback/AudioDevice.h"
#include "playback/FrameRing.h"
#include "playback/LoopMixer.h"
#include "playback/Renderer.h"
#include "playback/StretchFeeder.h"
#include "playback/Stretcher.h"
#include "playback/VoiceTable.h"

namespace corvane::playback {

// Four stereo sources, each with a linear gain, summed into one stereo output: the real-time
// graph behind the transport.
//
// Sources read immutable stems in place (a shared pointer to const data plus a frame range), so
// scheduling costs nothing however long the song. A source plays its range once, starting at a
// given device frame; all sources given the same start frame play sample-aligned.
//
// Gains ramp linearly over kRampSeconds from the gain being heard to the new one, per sample, so
// a mute or a slider drag never clicks or zippers; a source that is not sounding takes a new gain
// at once.
//
// With a loop set, every source wraps from the loop's end back to its start, on the song's frames:
// the last kLoopFadeSeconds before the end fade out while the same stretch before the start fades
// in, so the frame after the end is exactly the start's, with no gap and no click. A source that
// is before the loop's end plays into the loop; one already past it plays on to its own end.
//
// With a tempo or pitch set, the mixed stereo signal goes through Rubber Band's real-time mode on
// a feeder thread of the engine's own, which works ahead into a wait-free ring; render() then only
// reads that ring, each frame stamped with the song frame it stands for (the playhead).
//
// Threads: every member is for the main thread, except render(), which the device calls on its
// real-time thread. render() is wait-free: it only try-locks the voice table the main thread
// writes, and renders from its own last copy when the main thread is busy with it; the clock is
// an atomic. Stems a voice stops pointing into are released on the main thread once render() and
// the feeder have acknowledged the change, never in either of them.
class PlaybackEngine final : private RenderSource {
public:
    static constexpr int kSources = playback::kSources;
    static constexpr double kRampSeconds = 0.010;
    static constexpr double kLoopFadeSeconds = 0.005;
    using Loop = playback::Loop;

    explicit PlaybackEngine(std::unique_ptr<AudioDevice> device);
    ~PlaybackEngine() override;
    PlaybackEngine(const PlaybackEngine&) = delete;
    PlaybackEngine& operator=(const PlaybackEngine&) = delete;

    // Opens the device at `sampleRate` if it is not running; returns why it could not.
    std::optional<Error> start(double sampleRate);
    bool isRunning() const;
    // Closes the device; every source is stopped.
    void shutdown();

    double sampleRate() const { return m_sampleRate; }

    // The linear gain a source is heard at; a sounding source ramps to it over kRampSeconds.
    void setGain(int source, float gain);
    float gain(int source) const;

    // Queues frames [from, to) of `stem` on a source, replacing whatever it had; it stays silent
    // until startAll().
    void schedule(int source, std::shared_ptr<const dsp::StemData> stem, std::int64_t from,
                  std::int64_t to);
    // Starts every scheduled source so that its first frame plays at device frame `at`.
    void startAll(std::int64_t at);
    // Schedules frames [from, to) of each stem on its source (a null stem: the source silent) and
    // starts them all at device frame `at`, as one change. `seamless`: what plays goes on until
    // this has sound and is then crossfaded into it, with no gap (a seek, a step off or back to
    // 100 %, stems made anew); otherwise what plays fades out at once, as on a stop.
    void playAll(const std::array<std::shared_ptr<const dsp::StemData>, kSources>& stems,
                 std::int64_t from, std::int64_t to, std::int64_t at, bool seamless);
    // Discards what one source, or every source, has scheduled.
    void stopSource(int source);
    void stopAll();

    // Tempo and pitch for what is scheduled from now on. Between two non-identity values it also
    // changes what is playing, at once; whether the sources are stretched at all is fixed when
    // they are scheduled (the transport reschedules when that changes): they are when either is
    // not the identity or a next pass's tempo is set.
    void setStretch(Stretch stretch);
    Stretch stretch() const { return m_stretch; }
    // The song frame being heard while stretched sources play (their `from` before the first
    // frame is heard, their `to` once all of it was); nothing when not stretching.
    std::optional<std::int64_t> stretchedSongFrame() const;
    // Stretched frames prepared ahead of the device, and whether the feeder has given out the
    // whole range (tests wait on these instead of on the clock).
    std::int64_t bufferedFrames() const;
    bool stretchedToTheEnd() const;

    // The loop every source follows from its next frame on, without rescheduling anything; while
    // stretched, from what the feeder mixes next (up to the ring's length ahead of the device).
    void setLoop(Loop loop);
    Loop loop() const { return m_table.loop; }
    // The song frame being heard: offline, the one the first playing source plays next (its
    // `from` before its start, its `to` once played out); on a real device, the one leaving the
    // speakers now, through the device's latency. For either path; nothing before anything of the
    // current scheduling, or of what it crossfades from, was rendered.
    std::optional<std::int64_t> songFrame() const;

    // The metronome, mixed after the stretcher on the song frames heard (see ClickTrack): the
    // beats it follows (sorted by frame; none: silent but for a count-in), its level and mute,
    // heard at once with a short ramp.
    void setClickBeats(std::shared_ptr<const ClickBeats> beats);
    void setClickVolume(float gain);
    void setClickMuted(bool muted);
    float clickVolume() const { return m_clickVolume; }
    bool clickMuted() const { return m_clickMuted; }
    // Clicks on the device's clock before the song is heard (a start `at` its endAt()); a
    // default CountIn clears it.
    void setCountIn(const CountIn& countIn);
    // A count-in before each pass of the loop: its interval in song frames, as planCountIn()
    // gives it at tempo 1 (no beats: none). At every wrap the song fades out at the loop's end,
    // the count-in's bars click at the tempo of the pass to come (their frames stamped with the
    // loop's start, so the playhead holds there), and the pass starts at the loop's start to the
    // sample, faded in as a wrap's crossfade would. Heard from the next wrap on.
    void setPassCountIn(const CountIn& countIn);
    // The tempo (1: the song's) the next loop pass plays at from its first frame: the feeder
    // switches the stretcher where it feeds the wrap, once. Set, the sources are stretched
    // even at 100 % (from their next scheduling), so the switch needs no new stream; nothing
    // ends that.
    void setNextPassTempo(std::optional<double> tempo);
    bool holdsStretch() const { return m_holdStretch; }

    // Frames the device has rendered so far: the engine's clock.
    std::int64_t deviceFrame() const;
    // The source's own clock at the last render: frames since its start (negative before it),
    // or nothing when the source is not playing.
    std::optional<std::int64_t> sourceTime(int source) const;

private:
    void render(float* interleavedStereo, int frames) noexcept override;
    // Main thread: hands m_table, changed once more (a new stream if `newStream`), to render()
    // and the feeder; returns its generation.
    std::uint64_t publishVoices(bool newStream);
    // Main thread: frees the stems render() and the feeder no longer point into.
    void releaseRetired();

    static constexpr std::size_t kRingFrames = 16384;  // about 0.35 s at 48 kHz

    std::unique_ptr<AudioDevice> m_device;
    double m_sampleRate = 0.0;
    std::atomic<int> m_rampFrames{1};  // set while the device is closed
    std::atomic<int> m_fadeFrames{1};  // the loop's crossfade; likewise
    Stretch m_stretch;                 // main thread
    bool m_holdStretch = false;        // main thread: a next pass's tempo is set

    // The wanted voices: m_table is the main thread's own; publishVoices() copies it into one
    // slot for render() and one for the feeder, each under its own lock, which each reader only
    // try-locks (and, when it is busy, goes on from its last copy).
    VoiceTable m_table;
    std::mutex m_renderLock;
    VoiceTable m_renderWanted;

    float m_clickVolume = 1.0f;  // main thread
    bool m_clickMuted = true;
    std::atomic<float> m_clickGain{0.0f};  // what render() ramps the click to
    std::shared_ptr<const ClickBeats> m_clickBeats;

    // Render thread only (and the main thread while the device is closed).
    Renderer m_renderer{m_ring, m_gains, m_clickGain};

    // Written by render(), read by the main thread.
    std::atomic<std::int64_t> m_renderedFrames{0};
    std::atomic<std::uint64_t> m_renderSeen{0};
    // What is heard, under a sequence lock: the song frame, its stream, the song frames per
    // device frame there and when render() said so (steady clock, ns).
    std::atomic<std::uint64_t> m_heardSequence{0};
    std::atomic<std::int64_t> m_heardSong{0};
    std::atomic<std::uint64_t> m_heardStream{0};
    std::atomic<double> m_heardRate{1.0};
    std::atomic<std::int64_t> m_heardAtNs{0};
    // Main thread: the stream playAll() crossfades from, whose frames still count as heard.
    std::uint64_t m_soundingStream = 0;

    FrameRing m_ring{kRingFrames};
    Gains m_gains;
    // Main thread only: keeps the stems the voices point into alive, and those the other threads
    // may still be reading until both acknowledge the generation that dropped them.
    std::array<std::shared_ptr<const dsp::StemData>, kSources> m_held;
    struct Retired {
        std::uint64_t generation;
        std::shared_ptr<const void> data;  // stems or click beats
    };
    std::vector<Retired> m_retired;
    StretchFeeder m_feeder{m_gains, m_ring};  // last: its thread reads the members above
};

}  // namespace corvane::playback
