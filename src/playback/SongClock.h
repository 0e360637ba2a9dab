// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace corvane::playback {

// The song frame that each frame of a mixing clock stands for: a straight line between loop
// wraps, one segment per wrap, so that what was made before a wrap keeps its song frames while
// what comes after reads the loop's start. Holds the last kSegments segments (wraps of a 0.05 s
// loop over the stretch feeder's whole ring, several times); older ones are forgotten as their
// clock frames pass. Allocates nothing.
class SongClock {
public:
    static constexpr std::size_t kSegments = 64;

    // Forgets every segment: clock frame `clock` is song frame `song`.
    void reset(std::int64_t clock, std::int64_t song) {
        m_begin = m_end = 0;
        add(clock, song);
    }
    // From clock frame `clock` on, song frames run from `song` (clock frames only grow).
    void add(std::int64_t clock, std::int64_t song) {
        if (m_end - m_begin == kSegments) ++m_begin;  // far behind: the oldest is done with
        m_segments[m_end++ % kSegments] = {clock, song};
    }
    // The song frame of clock frame `clock`, no earlier than the last one asked for.
    std::int64_t songAt(std::int64_t clock) {
        while (m_end - m_begin > 1 && m_segments[(m_begin + 1) % kSegments].clock <= clock)
            ++m_begin;
        const Segment& g = m_segments[m_begin % kSegments];
        return g.song + (clock - g.clock);
    }

private:
    struct Segment {
        std::int64_t clock = 0;
        std::int64_t song = 0;
    };
    std::array<Segment, kSegments> m_segments{};
    std::size_t m_begin = 0;
    std::size_t m_end = 0;
};

}  // namespace corvane::playback
