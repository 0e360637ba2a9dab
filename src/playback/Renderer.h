// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>

#include "playback/ClickTrack.h"
#include "playback/FrameRing.h"
#include "playback/LoopMixer.h"
#include "playback/VoiceTable.h"

namespace corvane::playback {

// The real-time side of the engine: turns the latest voice table into output, mixing the stems
// directly (LoopMixer) or reading what the stretch feeder made (the ring).
//
// A change of stream while something sounds (a seek, a step off or back to 100 %, stems made
// anew, a stop) never leaves a gap or a click: what was heard goes on at full level until the new
// stream has sound (a stretched one needs a moment for Rubber Band to start), then the two are
// crossfaded over kSwitchFadeSeconds. A stretched stream that is left keeps kTailFrames of its
// prepared frames for that, so the ring can take the new stream at once; a direct one goes on
// mixing its own voices, whose stems the engine keeps alive until oldestInUse() passes them.
//
// Every member is for the render thread (the main thread only while the device is closed).
// Wait-free; allocates nothing.
class Renderer {
public:
    static constexpr double kSwitchFadeSeconds = 0.005;
    static constexpr int kTailFrames = 8192;  // 0.17 s at 48 kHz: Rubber Band's start, and more

    // What the speaker plays at a device frame: the song frame, the stream it belongs to and how
    // many song frames pass per device frame there (the tempo, 1 unstretched).
    struct Heard {
        std::int64_t song = 0;
        std::uint64_t stream = 0;
        double rate = 1.0;
    };

    Renderer(FrameRing& ring, const Gains& gains, const std::atomic<float>& clickGain)
        : m_ring(ring), m_gains(gains), m_clickGain(clickGain) {}

    // Main thread, device closed: the click's sounds at the device's rate.
    void prepareClick(double sampleRate, int rampFrames) {
        m_click.prepare(sampleRate, rampFrames);
    }

    // Device opened at a new rate: forget everything.
    void reset(int rampFrames, int loopFadeFrames, int switchFadeFrames) noexcept;
    // The table render() plays from; false (kept as it was) while a crossfade is under way and
    // `table` would start another, which then waits the few milliseconds to its end.
    bool take(const VoiceTable& table) noexcept;
    // Renders device frames [blockStart, blockStart + frames) into out (interleaved stereo).
    // `feederDone` is the stream the stretch feeder has given out whole.
    void render(float* out, int frames, std::int64_t blockStart, std::uint64_t feederDone) noexcept;

    // The oldest table generation whose stems may still be read (a fading direct stream's).
    std::uint64_t oldestInUse() const noexcept;
    // What was rendered at device frame `device` (at most kHistoryChunks chunks back, else the
    // oldest kept); nothing before anything was heard since the last reset.
    std::optional<Heard> heardAt(std::int64_t device) const noexcept;

private:
    enum class Previous { none, direct, tail };
    bool sounding() const noexcept;
    // The current stream's next n frames into m_curL/m_curR; false when it has nothing to
    // give yet (a stretched stream still starting, while something else is heard).
    // Each also gives the song frame heard at each frame (m_curSong, m_prevSong; -1: none) and
    // its count-in cue (m_curCue, m_prevCue).
    bool renderCurrent(int n, std::int64_t clock, std::uint64_t feederDone, std::int64_t& songFrom,
                       std::int64_t& songTo) noexcept;
    void renderPrevious(int n, std::int64_t clock, std::int64_t& songFrom,
                        std::int64_t& songTo) noexcept;
    void record(std::int64_t device, int frames, std::int64_t song, std::int64_t songEnd,
                std::uint64_t stream) noexcept;

    // One chunk rendered: its first device frame, the song frames it played and their stream.
    struct Chunk {
        std::int64_t device = 0;
        int frames = 0;
        std::int64_t song = 0;
        std::int64_t songEnd = 0;
        std::uint64_t stream = 0;
    };
    static constexpr int kHistoryChunks = 128;  // 32768 frames: any output latency

    FrameRing& m_ring;
    const Gains& m_gains;
    const std::atomic<float>& m_clickGain;
    ClickTrack m_click;
    int m_rampFrames = 1;
    int m_loopFadeFrames = 1;
    int m_switchFadeFrames = 1;

    VoiceTable m_table;
    LoopMixer m_mixer;
    bool m_streamHeard = false;  // the current stream has given sound

    Previous m_previous = Previous::none;
    bool m_crossfading = false;
    int m_fadePos = 0;
    std::uint64_t m_previousGeneration = 0;
    std::uint64_t m_previousStream = 0;
    LoopMixer m_previousMixer;
    std::array<StampedFrame, kTailFrames> m_tail{};
    int m_tailSize = 0;
    int m_tailPos = 0;

    std::array<StampedFrame, LoopMixer::kChunkFrames> m_frames{};
    std::array<float, LoopMixer::kChunkFrames> m_curL{}, m_curR{}, m_prevL{}, m_prevR{};
    std::array<std::int64_t, LoopMixer::kChunkFrames> m_curSong{}, m_prevSong{};
    std::array<ClickCue, LoopMixer::kChunkFrames> m_curCue{}, m_prevCue{};
    CountIn m_gapPlan;  // the count-in of the direct mix's latest gap

    std::array<Chunk, kHistoryChunks> m_history{};
    std::uint64_t m_historyCount = 0;
};

}  // namespace corvane::playback
