// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <sys/resource.h>
#include <unistd.h>

namespace corvane::model {

// Puts the calling thread a little below the window's thread, for itself and the threads it
// starts (Linux threads inherit it): with every core busy loading or exporting, the window still
// gets the CPU the moment it needs it instead of waiting for a scheduler slice. Worker threads
// call it first thing.
inline void lowerThreadPriority() {
#ifdef __linux__
    constexpr int kNiceness = 5;
    setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kNiceness);
#endif
}

}  // namespace corvane::model
