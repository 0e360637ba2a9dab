// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

namespace corvane::dsp {

// A first-in first-out hand-over between two threads that holds at most `capacity` items, so a
// fast producer waits for a slow consumer instead of filling memory. Any threads.
template <class T>
class BoundedQueue {
public:
    explicit BoundedQueue(std::size_t capacity) : m_capacity(capacity) {}

    // Blocks while full. False if the queue was closed or cancelled (the item is dropped).
    bool push(T item) {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_items.size() < m_capacity || m_closed; });
        if (m_closed) return false;
        m_items.push_back(std::move(item));
        m_changed.notify_all();
        return true;
    }

    // Blocks while empty and open. Nothing once closed and drained, or cancelled.
    std::optional<T> pop() {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return !m_items.empty() || m_closed || m_ended; });
        if (m_items.empty()) return std::nullopt;
        T item = std::move(m_items.front());
        m_items.pop_front();
        m_changed.notify_all();
        return item;
    }

    // An item if one is queued, without waiting (for a pool of spare buffers).
    std::optional<T> tryPop() {
        const std::lock_guard lock(m_mutex);
        if (m_items.empty()) return std::nullopt;
        T item = std::move(m_items.front());
        m_items.pop_front();
        m_changed.notify_all();
        return item;
    }

    // The producer is done: pops drain what is queued, then return nothing.
    void end() {
        const std::lock_guard lock(m_mutex);
        m_ended = true;
        m_changed.notify_all();
    }

    // Stops both sides at once: queued items are dropped, push and pop return immediately.
    void cancel() {
        const std::lock_guard lock(m_mutex);
        m_closed = true;
        m_items.clear();
        m_changed.notify_all();
    }

private:
    std::size_t m_capacity;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<T> m_items;
    bool m_ended = false;
    bool m_closed = false;
};

}  // namespace corvane::dsp
