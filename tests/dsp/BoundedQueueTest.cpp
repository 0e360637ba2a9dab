// SPDX-License-Identifier: GPL-3.0-or-later
// The hand-over between a decoder and a separator: it holds its capacity and lets both sides go on
// a cancel.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "dsp/common/BoundedQueue.h"

namespace corvane::dsp {
namespace {

TEST(BoundedQueue, AFullQueueHoldsTheProducerAndACancelReleasesBothSides) {
    BoundedQueue<int> queue(2);
    std::atomic<int> pushed{0};
    std::thread producer([&] {
        for (int i = 0; i < 5 && queue.push(i); ++i) ++pushed;
    });
    while (pushed < 2) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(pushed, 2);  // the third push waits for room
    EXPECT_EQ(queue.pop(), 0);
    while (pushed < 3) std::this_thread::yield();
    queue.cancel();
    producer.join();
    EXPECT_EQ(pushed, 3);
    EXPECT_EQ(queue.pop(), std::nullopt);

    BoundedQueue<int> ended(4);
    ended.push(7);
    ended.end();
    EXPECT_EQ(ended.pop(), 7);  // drained before it reports the end
    EXPECT_EQ(ended.pop(), std::nullopt);
}

}  // namespace
}  // namespace corvane::dsp
