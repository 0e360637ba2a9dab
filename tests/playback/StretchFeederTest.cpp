// SPDX-License-Identifier: GPL-3.0-or-later
// The stretch feeder sleeps when it has nothing to do and wakes at once when it has.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "TestSupport.h"
#include "dsp/common/StemData.h"
#include "playback/StretchFeeder.h"

namespace corvane::playback {
namespace {

using namespace std::chrono_literals;

template <class Predicate>
bool within(std::chrono::milliseconds limit, Predicate done) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(StretchFeeder, IdleItSleepsAndAStretchedStreamWakesItUntilGivenOutWhole) {
    Gains gains;
    for (auto& g : gains) g.store(1.0f);
    FrameRing ring(1 << 16);
    StretchFeeder feeder(gains, ring);
    feeder.setDevice(48000.0, 480, 240);
    std::this_thread::sleep_for(150ms);
    const std::uint64_t idle = feeder.wakeups();
    EXPECT_LE(idle, 3u);  // a poll every 5 ms would be 30
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(feeder.wakeups(), idle);

    auto stem = std::make_shared<dsp::StemData>();
    stem->l = test::sine(24000, 440.0, 48000.0);
    stem->r = stem->l;
    VoiceTable table;
    table.voices[0] = {stem->l.data(), stem->r.data(), 0, 24000, 0, true, true};
    table.stretched = true;
    table.generation = table.stream = 1;
    feeder.setStretch({0.75, 0.0});
    feeder.publish(table);
    // Half a second of song at 75 %: about two thirds of a second of output, all of it.
    ASSERT_TRUE(within(5000ms, [&] { return feeder.doneStream() == 1; }));
    EXPECT_EQ(feeder.seenGeneration(), 1u);
    EXPECT_NEAR(static_cast<double>(ring.readable()), 32000.0, 600.0);
    const std::uint64_t done = feeder.wakeups();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(feeder.wakeups(), done);  // given out whole: asleep again
}

}  // namespace
}  // namespace corvane::playback
