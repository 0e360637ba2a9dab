// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "playback/ClickTrack.h"

namespace corvane::playback {

// One stereo output frame with the song frame it stands for and the stream it was made for, so
// the reader can drop what a seek made stale; in a count-in between loop passes, the song frame
// is the loop's start (held) and the cue says so.
struct StampedFrame {
    float l = 0.0f;
    float r = 0.0f;
    std::int64_t songFrame = 0;
    std::uint64_t generation = 0;
    ClickCue cue = ClickCue::none;
};

// A wait-free ring of frames between exactly one producer thread and one consumer thread, moved in
// blocks (at most two copies each, either side of the wrap). Allocates once, at construction;
// write and read never allocate, lock or wait.
class FrameRing {
public:
    explicit FrameRing(std::size_t capacity) : m_frames(capacity + 1) {}

    std::size_t capacity() const { return m_frames.size() - 1; }

    // Producer: how many frames write() can take now.
    std::size_t writable() const {
        const std::size_t head = m_head.load(std::memory_order_relaxed);
        const std::size_t tail = m_tail.load(std::memory_order_acquire);
        return (tail + m_frames.size() - head - 1) % m_frames.size();
    }
    // Producer: appends as many of `count` frames as there is room for; returns how many.
    std::size_t write(const StampedFrame* frames, std::size_t count) {
        const std::size_t head = m_head.load(std::memory_order_relaxed);
        count = std::min(count, writable());
        const std::size_t first = std::min(count, m_frames.size() - head);
        std::copy_n(frames, first, m_frames.begin() + static_cast<std::ptrdiff_t>(head));
        std::copy_n(frames + first, count - first, m_frames.begin());
        m_head.store((head + count) % m_frames.size(), std::memory_order_release);
        return count;
    }
    // Either side: frames waiting (a snapshot).
    std::size_t readable() const {
        const std::size_t head = m_head.load(std::memory_order_acquire);
        const std::size_t tail = m_tail.load(std::memory_order_acquire);
        return (head + m_frames.size() - tail) % m_frames.size();
    }
    // Consumer: takes up to `count` frames into `out`; returns how many.
    std::size_t read(StampedFrame* out, std::size_t count) {
        const std::size_t tail = m_tail.load(std::memory_order_relaxed);
        count = std::min(count, readable());
        const std::size_t first = std::min(count, m_frames.size() - tail);
        std::copy_n(m_frames.begin() + static_cast<std::ptrdiff_t>(tail), first, out);
        std::copy_n(m_frames.begin(), count - first, out + first);
        m_tail.store((tail + count) % m_frames.size(), std::memory_order_release);
        return count;
    }
    // Consumer: the frame `ahead` places after the next one read() would give, left in the ring
    // (ahead < readable()); false when there is none.
    bool peek(StampedFrame& frame, std::size_t ahead = 0) const {
        if (ahead >= readable()) return false;
        frame = m_frames[(m_tail.load(std::memory_order_relaxed) + ahead) % m_frames.size()];
        return true;
    }
    // Consumer: drops up to `count` frames unread; returns how many.
    std::size_t skip(std::size_t count) {
        const std::size_t tail = m_tail.load(std::memory_order_relaxed);
        count = std::min(count, readable());
        m_tail.store((tail + count) % m_frames.size(), std::memory_order_release);
        return count;
    }

private:
    std::vector<StampedFrame> m_frames;
    std::atomic<std::size_t> m_head{0};  // next slot the producer writes
    std::atomic<std::size_t> m_tail{0};  // next slot the consumer reads
};

}  // namespace corvane::playback
