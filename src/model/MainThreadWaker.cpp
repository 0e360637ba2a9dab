// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/MainThreadWaker.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cstdint>
#include <stdexcept>

namespace corvane::model {

MainThreadWaker::MainThreadWaker(std::function<void()> onWake, QObject* parent)
    : QObject(parent), m_onWake(std::move(onWake)) {
    m_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_fd < 0) throw std::runtime_error("eventfd failed");
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = ::read(m_fd, &count, sizeof count);
        m_onWake();
    });
}

MainThreadWaker::~MainThreadWaker() {
    delete m_notifier;
    ::close(m_fd);
}

void MainThreadWaker::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_fd, &one, sizeof one);
}

}  // namespace corvane::model
