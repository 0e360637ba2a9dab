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
#include "playback/Stretcher.h"

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
    static constexpr int kSources = dsp::kStemCount;
    static constexpr double kRampSeconds = 0.010;
    static constexpr double kLoopFadeSeconds = 0.005;

    // A loop over song frames [start, end); wraps only while enabled.
    struct Loop {
        std::int64_t start = 0;
        std::int64_t end = 0;
        bool enabled = false;
        bool operator==(const Loop&) const = default;
    };

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
    // Discards what one source, or every source, has scheduled.
    void stopSource(int source);
    void stopAll();

    // Tempo and pitch for what is scheduled from now on. Between two non-identity values it also
    // changes what is playing, at once; whether the sources are stretched at all is fixed when
    // they are scheduled (the transport reschedules when that changes).
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
    // The song frame the first playing source plays next (its `from` before its start, its `to`
    // once played out), for either path; nothing before anything of the current scheduling was
    // rendered.
    std::optional<std::int64_t> songFrame() const;

    // Frames the device has rendered so far: the engine's clock.
    std::int64_t deviceFrame() const;
    // The source's own clock at the last render: frames since its start (negative before it),
    // or nothing when the source is not playing.
    std::optional<std::int64_t> sourceTime(int source) const;

private:
    struct Voice {
        const float* l = nullptr;
        const float* r = nullptr;
        std::int64_t from = 0;
        std::int64_t to = 0;
        std::int64_t startAt = 0;
        bool scheduled = false;
        bool started = false;
    };
    struct VoiceTable {
        std::array<Voice, kSources> voices{};
        bool stretched = false;
        Loop loop;
        std::uint64_t generation = 0;  // every change
        std::uint64_t stream = 0;      // changes of what is scheduled (not of start times)
    };
    // Sums the voices at their ramped gains, chunk by chunk of a clock of its user's (the device's
    // for render(), the song's for the feeder), wrapping each voice at the loop. One per thread;
    // allocates nothing.
    struct Mixer {
        struct Ramp {
            float current = 1.0f;
            float target = 1.0f;
            float step = 0.0f;
            int remaining = 0;
            bool sounding = false;  // the source was heard in the last chunk
        };
        // Where a voice reads: song frame = from + (clock - startAt) + shift; each wrap lowers
        // the shift by the loop's length. A crossfade, once begun, runs to its end and wraps
        // there whatever the loop does meanwhile, so turning the loop off or moving it never
        // cuts a fade short (a click).
        struct Cursor {
            std::int64_t startAt = 0;
            std::int64_t shift = 0;
            bool valid = false;
            bool finished = false;  // reached its `to`: never wraps again
            bool fading = false;
            std::int64_t fadeStart = 0;  // song frames [fadeStart, fadeEnd) fade out, and the
            std::int64_t fadeEnd = 0;    // same fadeShift earlier fade in; wraps at fadeEnd
            std::int64_t fadeShift = 0;
        };
        // The clock voice's wraps in the last mix(): from clock frame `clock` on it reads `song`.
        struct Wrap {
            std::int64_t clock = 0;
            std::int64_t song = 0;
        };
        static constexpr int kChunkFrames = 256;
        static constexpr int kMaxWraps = 8;
        std::array<Voice, kSources> voices{};
        std::array<Ramp, kSources> ramps{};
        std::array<Cursor, kSources> cursors{};
        Loop loop;
        int fadeFrames = 1;
        std::array<float, kChunkFrames> l{};
        std::array<float, kChunkFrames> r{};
        std::array<float, kChunkFrames> fadeL{};  // one voice's crossfade, before its gain
        std::array<float, kChunkFrames> fadeR{};
        std::array<Wrap, kMaxWraps> wraps{};
        int wrapCount = 0;
        // Frames [chunkStart, chunkStart + n) of the clock, n <= kChunkFrames, into l and r.
        // A voice reaching the last fadeFrames before the loop's end (or found inside them when
        // the loop is set) crossfades over fadeFrames into the loop's start.
        void mix(std::int64_t chunkStart, int n,
                 const std::array<std::atomic<float>, kSources>& gains, int rampFrames) noexcept;
        void snapGains(const std::array<std::atomic<float>, kSources>& gains) noexcept;
        // Forgets every voice's wraps: a new scheduling plays from `from` again.
        void resetCursors() noexcept { cursors = {}; }
        // The first started voice (the clock), or -1.
        int clockVoice() const noexcept;
        // The song frame voice `v` reads at clock frame `clock`, given the wraps so far.
        std::int64_t songFrameAt(int v, std::int64_t clock) const noexcept;
        // Clock frames until every voice has played out, as the loop stands (a looping voice
        // never does: kForever).
        std::int64_t framesLeft(std::int64_t clock) const noexcept;
        static constexpr std::int64_t kForever = std::int64_t{1} << 60;

    private:
        bool loops(const Voice& voice, const Cursor& cursor) const noexcept;
        Cursor& cursorOf(std::size_t v) noexcept;
    };

    void render(float* interleavedStereo, int frames) noexcept override;
    void renderStretched(float* out, int frames, std::int64_t blockStart) noexcept;
    // Feeder thread: runs until m_quit.
    void feed();
    // Main thread: hands m_table, changed once more (a new stream if `newStream`), to render()
    // and the feeder; returns its generation.
    std::uint64_t publishVoices(bool newStream);
    // Main thread: frees the stems render() and the feeder no longer point into.
    void releaseRetired();

    static constexpr int kFeedBlockFrames = 512;
    static constexpr std::size_t kRingFrames = 16384;  // about 0.35 s at 48 kHz

    std::unique_ptr<AudioDevice> m_device;
    double m_sampleRate = 0.0;
    std::atomic<int> m_rampFrames{1};  // set while the device is closed; the feeder reads it
    std::atomic<int> m_fadeFrames{1};  // the loop's crossfade; likewise
    Stretch m_stretch;                 // main thread

    // The wanted voices: m_table is the main thread's own; publishVoices() copies it into one
    // slot for render() and one for the feeder, each under its own lock, which each reader only
    // try-locks (and, when it is busy, goes on from its last copy).
    VoiceTable m_table;
    std::mutex m_renderLock;
    VoiceTable m_renderWanted;
    std::mutex m_feedLock;
    VoiceTable m_feedWanted;

    // Render thread only (and the main thread while the device is closed).
    VoiceTable m_renderTable;
    Mixer m_renderMixer;

    // Written by render(), read by the main thread.
    std::atomic<std::int64_t> m_renderedFrames{0};
    std::atomic<std::uint64_t> m_renderSeen{0};
    // The stream (low 24 bits) in the top bits, the song frame heard in the low 40; all ones
    // before anything was heard.
    std::atomic<std::uint64_t> m_heard{~std::uint64_t{0}};

    // Written by the feeder.
    std::atomic<std::uint64_t> m_feederSeen{0};
    std::atomic<std::uint64_t> m_feederDoneGeneration{0};
    // Read by the feeder for every block.
    std::atomic<double> m_liveTempo{1.0};
    std::atomic<double> m_liveSemitones{0.0};
    std::atomic<double> m_feedRate{0.0};  // the device's rate; 0 while closed
    std::atomic<bool> m_quit{false};
    FrameRing m_ring{kRingFrames};

    std::array<std::atomic<float>, kSources> m_gains;
    // Main thread only: keeps the stems the voices point into alive, and those the other threads
    // may still be reading until both acknowledge the generation that dropped them.
    std::array<std::shared_ptr<const dsp::StemData>, kSources> m_held;
    struct Retired {
        std::uint64_t generation;
        std::shared_ptr<const dsp::StemData> stem;
    };
    std::vector<Retired> m_retired;
    std::thread m_feeder;  // last: starts when everything it reads exists
};

}  // namespace corvane::playback
