// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "dsp/common/StemKind.h"

namespace corvane::playback {

inline constexpr int kSources = dsp::kStemCount;

// One source's stem as the mixer reads it: frames [from, to) of l and r, the first heard at
// clock frame startAt once started.
struct Voice {
    const float* l = nullptr;
    const float* r = nullptr;
    std::int64_t from = 0;
    std::int64_t to = 0;
    std::int64_t startAt = 0;
    bool scheduled = false;
    bool started = false;
};

// A loop over song frames [start, end); wraps only while enabled.
struct Loop {
    std::int64_t start = 0;
    std::int64_t end = 0;
    bool enabled = false;
    bool operator==(const Loop&) const = default;
};

using Gains = std::array<std::atomic<float>, kSources>;

// Sums the voices at their ramped gains, chunk by chunk of a clock of its user's (the device's
// for the engine's render, the song's for the stretch feeder), wrapping each voice at the loop.
//
// Gains ramp linearly over `rampFrames` from the gain being heard to the new one, per sample; a
// voice that is not sounding takes a new gain at once. With a loop set, a voice reaching the last
// fadeFrames before the loop's end (or found inside them when the loop is set) crossfades over
// fadeFrames into the loop's start, so the frame after the end is exactly the start's, with no
// gap and no click; a crossfade, once begun, runs to its end and wraps there whatever the loop does
// meanwhile, so turning the loop off or moving it never cuts a fade short. A voice before the
// loop's end plays into it; one already past it plays on to its own end.
//
// With gapFrames set (a count-in before each pass), the two halves of that crossfade come apart:
// the end fades to silence, gapFrames clock frames of silence follow (at least the fade), the
// last fadeFrames of them fading in what precedes the start, and the frame after them is exactly
// the start's. Meanwhile the voice reads the song frames just before the start (gapOf()), so the
// clock counts on through the gap and the user can tell which frames belong to it.
//
// One per thread; allocates nothing; every member is real-time safe.
class LoopMixer {
public:
    static constexpr int kChunkFrames = 256;
    static constexpr int kMaxWraps = 8;
    static constexpr std::int64_t kForever = std::int64_t{1} << 60;

    // The clock voice's wraps in the last mix(): from clock frame `clock` on it reads `song`;
    // the first `gap` of those frames are a count-in's (0: the loop's start at once).
    struct Wrap {
        std::int64_t clock = 0;
        std::int64_t song = 0;
        std::int64_t gap = 0;
    };
    // Song frames [from, to) a voice reads through its latest count-in gap (`to` is where the
    // pass starts); empty when it has had none.
    struct Gap {
        std::int64_t from = 0;
        std::int64_t to = 0;
        bool contains(std::int64_t song) const { return song >= from && song < to; }
    };

    std::array<Voice, kSources> voices{};
    Loop loop;
    int fadeFrames = 1;
    std::int64_t gapFrames = 0;

    // Frames [chunkStart, chunkStart + n) of the clock, n <= kChunkFrames, into left() and
    // right().
    void mix(std::int64_t chunkStart, int n, const Gains& gains, int rampFrames) noexcept;
    const std::array<float, kChunkFrames>& left() const { return m_l; }
    const std::array<float, kChunkFrames>& right() const { return m_r; }
    int wrapCount() const { return m_wrapCount; }
    const Wrap& wrap(int i) const { return m_wraps[static_cast<std::size_t>(i)]; }

    // Every voice heard at its gain at once, without a ramp.
    void snapGains(const Gains& gains) noexcept;
    // Forgets every voice's wraps: a new scheduling plays from `from` again.
    void resetCursors() noexcept { m_cursors = {}; }
    // The first started voice (the clock), or -1.
    int clockVoice() const noexcept;
    // The song frame voice `v` reads at clock frame `clock`, given the wraps so far (in a gap,
    // one before the loop's start).
    std::int64_t songFrameAt(int v, std::int64_t clock) const noexcept;
    Gap gapOf(int v) const noexcept;
    // Clock frames until every voice has played out, as the loop stands (a looping voice
    // never does: kForever).
    std::int64_t framesLeft(std::int64_t clock) const noexcept;

private:
    struct Ramp {
        float current = 1.0f;
        float target = 1.0f;
        float step = 0.0f;
        int remaining = 0;
        bool sounding = false;  // the source was heard in the last chunk
    };
    // Where a voice reads: song frame = from + (clock - startAt) + shift; each wrap lowers the
    // shift by the loop's length.
    struct Cursor {
        std::int64_t startAt = 0;
        std::int64_t shift = 0;
        bool valid = false;
        bool finished = false;  // reached its `to`: never wraps again
        bool fading = false;
        std::int64_t fadeStart = 0;  // song frames [fadeStart, fadeEnd) fade out, and the
        std::int64_t fadeEnd = 0;    // same fadeShift earlier fade in; wraps at fadeEnd
        std::int64_t fadeShift = 0;
        std::int64_t fadeGap = 0;  // the gap this fade wraps into (0: it crossfades)
        bool inGap = false;
        Gap gap{};                     // the latest gap's song frames, the last of them
        std::int64_t gapFadeFrom = 0;  // [gapFadeFrom, gap.to) fading in
    };

    bool loops(const Voice& voice, const Cursor& cursor) const noexcept;
    Cursor& cursorOf(std::size_t v) noexcept;

    std::array<Ramp, kSources> m_ramps{};
    std::array<Cursor, kSources> m_cursors{};
    std::array<float, kChunkFrames> m_l{};
    std::array<float, kChunkFrames> m_r{};
    std::array<float, kChunkFrames> m_fadeL{};  // one voice's crossfade, before its gain
    std::array<float, kChunkFrames> m_fadeR{};
    std::array<Wrap, kMaxWraps> m_wraps{};
    int m_wrapCount = 0;
};

}  // namespace corvane::playback
