// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

namespace corvane::model {

// Wakes the thread that made it (the main thread) from any thread, without a Qt event: wake()
// only writes to an eventfd, whose notifier runs `onWake` in the owner's event loop. Several
// wakes before the loop gets to it run `onWake` once. What the woken code reads must be handed
// over under a lock of its own (a queue), which the thread sanitizer then sees, where a queued
// Qt call would cross inside Qt, hidden from it.
class MainThreadWaker : public QObject {
public:
    explicit MainThreadWaker(std::function<void()> onWake, QObject* parent = nullptr);
    ~MainThreadWaker() override;
    MainThreadWaker(const MainThreadWaker&) = delete;
    MainThreadWaker& operator=(const MainThreadWaker&) = delete;

    // Any thread; never blocks.
    void wake();

private:
    int m_fd = -1;
    QSocketNotifier* m_notifier = nullptr;
    std::function<void()> m_onWake;
};

}  // namespace corvane::model
