// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "model/WorkerPriority.h"

namespace corvane::model {

// The background threads of one job (a load, a map), each with its own cancel flag and a little
// below the window's priority. A thread is joined once it has ended (reap(), at the job's next
// start or report), so a superseded worker never holds up the main thread; cancelAndJoin() is for
// the owner's destructor, before anything a worker posts to goes. Main thread only.
class WorkerThreads {
public:
    WorkerThreads() = default;
    ~WorkerThreads() { cancelAndJoin(); }
    WorkerThreads(const WorkerThreads&) = delete;
    WorkerThreads& operator=(const WorkerThreads&) = delete;

    // Runs `work(cancel)` on a new thread; `cancel` is set by cancelAll() and cancelAndJoin().
    template <class Work>
    void start(Work work) {
        reap();
        auto done = std::make_shared<std::atomic<bool>>(false);
        auto cancel = std::make_shared<std::atomic<bool>>(false);
        std::thread thread([work = std::move(work), done, cancel]() mutable {
            lowerThreadPriority();
            work(static_cast<const std::atomic<bool>&>(*cancel));
            done->store(true);
        });
        m_workers.push_back(Worker{std::move(thread), std::move(done), std::move(cancel)});
    }

    // Asks every worker to stop early; they end on their own.
    void cancelAll() {
        for (Worker& worker : m_workers) worker.cancel->store(true);
    }

    // Joins the workers that have ended.
    void reap() {
        auto ended = [](Worker& worker) {
            if (!worker.done->load()) return false;
            worker.thread.join();
            return true;
        };
        m_workers.erase(std::remove_if(m_workers.begin(), m_workers.end(), ended), m_workers.end());
    }

    void cancelAndJoin() {
        cancelAll();
        for (Worker& worker : m_workers)
            if (worker.thread.joinable()) worker.thread.join();
        m_workers.clear();
    }

private:
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
        std::shared_ptr<std::atomic<bool>> cancel;
    };
    std::vector<Worker> m_workers;
};

}  // namespace corvane::model
