// SPDX-License-Identifier: GPL-3.0-or-later
// The ring between the stretch feeder and the render thread: blocks across the wrap, full and
// empty, and every frame in order from one thread to another.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "playback/FrameRing.h"

namespace corvane::playback {
namespace {

StampedFrame frame(std::int64_t i) {
    return {static_cast<float>(i), -static_cast<float>(i), i, static_cast<std::uint64_t>(i)};
}

TEST(FrameRing, BlocksWrapAroundAndStopAtFullAndEmpty) {
    FrameRing ring(10);
    std::vector<StampedFrame> in, out(16);
    for (int i = 0; i < 16; ++i) in.push_back(frame(i));
    EXPECT_EQ(ring.write(in.data(), 7), 7u);
    EXPECT_EQ(ring.read(out.data(), 5), 5u);
    EXPECT_EQ(ring.write(in.data() + 7, 16 - 7), 8u);  // room for 8: the rest is refused
    EXPECT_EQ(ring.writable(), 0u);
    EXPECT_EQ(ring.readable(), 10u);
    StampedFrame next;
    ASSERT_TRUE(ring.peek(next));
    EXPECT_EQ(next.songFrame, 5);
    EXPECT_EQ(ring.read(out.data(), 16), 10u);  // across the wrap
    for (int i = 0; i < 10; ++i) EXPECT_EQ(out[static_cast<std::size_t>(i)].songFrame, 5 + i);
    EXPECT_EQ(ring.read(out.data(), 1), 0u);
    EXPECT_FALSE(ring.peek(next));
}

TEST(FrameRing, TwoThreadsPassEveryFrameInOrder) {
    constexpr std::int64_t kFrames = 200000;
    FrameRing ring(1000);
    std::thread producer([&] {
        std::mt19937 random(1);
        std::vector<StampedFrame> block(300);
        for (std::int64_t sent = 0; sent < kFrames;) {
            const auto n = std::min<std::int64_t>(kFrames - sent, 1 + random() % 300);
            for (std::int64_t i = 0; i < n; ++i)
                block[static_cast<std::size_t>(i)] = frame(sent + i);
            sent +=
                static_cast<std::int64_t>(ring.write(block.data(), static_cast<std::size_t>(n)));
            if (ring.writable() == 0) std::this_thread::yield();
        }
    });
    std::mt19937 random(2);
    std::vector<StampedFrame> block(257);
    for (std::int64_t got = 0; got < kFrames;) {
        const std::size_t n = ring.read(block.data(), 1 + random() % 257);
        for (std::size_t i = 0; i < n; ++i, ++got) ASSERT_EQ(block[i].songFrame, got);
        if (n == 0) std::this_thread::yield();
    }
    producer.join();
}

}  // namespace
}  // namespace corvane::playback
