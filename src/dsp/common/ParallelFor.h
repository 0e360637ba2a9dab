// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace corvane::dsp {

// Runs body(i) for every i in [0, iterations) on up to `threads` threads, the caller among them,
// and returns when every body has returned. Bodies must not throw.
template <class Body>
void parallelFor(int iterations, int threads, const Body& body) {
    threads = std::clamp(threads, 1, std::max(iterations, 1));
    std::atomic<int> next{0};
    auto drain = [&] {
        for (int i = next++; i < iterations; i = next++) body(i);
    };
    std::vector<std::jthread> pool;
    pool.reserve(static_cast<std::size_t>(threads - 1));
    for (int t = 1; t < threads; ++t) pool.emplace_back(drain);
    drain();
}  // the jthreads join here

// max(hardware threads, 2), the default worker count.
inline int defaultWorkerCount() {
    return std::max(static_cast<int>(std::thread::hardware_concurrency()), 2);
}

}  // namespace corvane::dsp
