// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/Signals.h"

#include <signal.h>

namespace corvane::cli {

namespace {

std::atomic<bool> g_stop{false};
std::atomic<int> g_exitStatus{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

extern "C" void onStopSignal(int number) {
    int none = 0;
    g_exitStatus.compare_exchange_strong(none, kExitSignal + number);
    g_stop.store(true, std::memory_order_relaxed);
}

}  // namespace

void installStopHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

const std::atomic<bool>& stopFlag() { return g_stop; }

void requestStop(int exitStatus) {
    int none = 0;
    g_exitStatus.compare_exchange_strong(none, exitStatus);
    g_stop.store(true);
}

int stopExitStatus() { return g_exitStatus.load(); }

}  // namespace corvane::cli
