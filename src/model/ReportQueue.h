// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "model/MainThreadWaker.h"

namespace corvane::model {

// Reports from workers to the thread that made the queue (the main thread), in the order they
// were posted. They cross in this mutex-guarded vector, which ThreadSanitizer sees, where a
// queued Qt call would cross inside Qt's event queue, hidden from it.
template <class Report>
class ReportQueue {
public:
    // `onReports` runs on the owner's thread after one or more posts; it takes them with take().
    explicit ReportQueue(std::function<void()> onReports) : m_waker(std::move(onReports)) {}

    // Any thread; holds the lock only to append.
    void post(Report report) {
        bool wake = false;
        {
            std::lock_guard lock(m_lock);
            wake = m_reports.empty();  // one wake-up per batch; the batch keeps every report
            m_reports.push_back(std::move(report));
        }
        if (wake) m_waker.wake();
    }

    // Owner's thread: every report posted so far, oldest first.
    std::vector<Report> take() {
        std::vector<Report> batch;
        std::lock_guard lock(m_lock);
        batch.swap(m_reports);
        return batch;
    }

private:
    std::mutex m_lock;
    std::vector<Report> m_reports;
    MainThreadWaker m_waker;
};

}  // namespace corvane::model
