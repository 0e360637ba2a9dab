// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvane::playback {

// One stereo output frame with the song frame it stands for and the voice-table generation it
// was made for, so the reader can drop what a seek made stale.
struct StampedFrame {
    float l = 0.0f;
    float r = 0.0f;
    std::int64_t songFrame = 0;
    std::uint64_t generation = 0;
};

// A wait-free ring of frames between exactly one producer thread and one consumer thread.
// Allocates once, at construction; push and pop never allocate, lock or wait.
class FrameRing {
public:
    explicit FrameRing(std::size_t capacity) : m_frames(capacity + 1) {}

    // Producer: how many frames push() can take now.
    std::size_t writable() const {
        const std::size_t head = m_head.load(std::memory_order_relaxed);
        const std::size_t tail = m_tail.load(std::memory_order_acquire);
        return (tail + m_frames.size() - head - 1) % m_frames.size();
    }
    // Producer: false when full.
    bool push(const StampedFrame& frame) {
        const std::size_t head = m_head.load(std::memory_order_relaxed);
        const std::size_t next = (head + 1) % m_frames.size();
        if (next == m_tail.load(std::memory_order_acquire)) return false;
        m_frames[head] = frame;
        m_head.store(next, std::memory_order_release);
        return true;
    }
    // Consumer: false when empty.
    bool pop(StampedFrame& frame) {
        const std::size_t tail = m_tail.load(std::memory_order_relaxed);
        if (tail == m_head.load(std::memory_order_acquire)) return false;
        frame = m_frames[tail];
        m_tail.store((tail + 1) % m_frames.size(), std::memory_order_release);
        return true;
    }
    // Either side: frames waiting (a snapshot).
    std::size_t readable() const {
        const std::size_t head = m_head.load(std::memory_order_acquire);
        const std::size_t tail = m_tail.load(std::memory_order_acquire);
        return (head + m_frames.size() - tail) % m_frames.size();
    }

private:
    std::vector<StampedFrame> m_frames;
    std::atomic<std::size_t> m_head{0};  // next slot the producer writes
    std::atomic<std::size_t> m_tail{0};  // next slot the consumer reads
};

}  // namespace corvane::playback
