// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <thread>

#include "TestSupport.h"
#include "dsp/ProgressCounter.h"
#include "dsp/Separator.h"

using namespace corvane::dsp;

namespace {

// Every value a separation reports, sorted (they may arrive out of order).
std::vector<double> reportedValues(std::size_t frames, int workers) {
    std::mutex lock;
    std::vector<double> values;
    ProgressFn progress = [&](double v) {
        std::lock_guard guard(lock);
        values.push_back(v);
    };
    auto stems = Separator::separate(corvane::test::noiseStereo(frames, 4), progress,
                                     SeparatorOptions{.workers = workers});
    EXPECT_EQ(stems.size(), 4u);
    std::sort(values.begin(), values.end());
    return values;
}

}  // namespace

TEST(ProgressCounter, ReportsEvery64thUnitAndTheLastFromManyThreads) {
    std::mutex lock;
    std::vector<double> values;
    std::function<void(double)> report = [&](double v) {
        std::lock_guard guard(lock);
        values.push_back(v);
    };
    ProgressCounter counter(4000, 0.6, 0.4, report);
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&] {
                for (int i = 0; i < 1000; ++i) counter.advance();
            });
    }
    ASSERT_EQ(values.size(), 4000u / 64u + 1u);
    std::sort(values.begin(), values.end());
    for (std::size_t i = 0; i + 1 < values.size(); ++i)
        EXPECT_EQ(values[i], 0.6 + (0.4 * 64.0 * static_cast<double>(i + 1)) / 4000.0);
    EXPECT_EQ(values.back(), 1.0);
}

TEST(SeparationProgress, FourFramesWithEightWorkersReportOncePerPass) {
    // 100 samples make 4 frames: the iterations beyond the fourth have nothing to do.
    // (0.2 + 0.4 is a hair above 0.6 in binary; the value is the one the formula gives.)
    EXPECT_EQ(reportedValues(100, 8), (std::vector<double>{0.2, 0.2 + (0.4 * 4) / 4, 1.0}));
}

TEST(SeparationProgress, OneHundredThirtyFrames) {
    // (n + 2048) / 1024 + 2 = 130 frames.
    const std::size_t n = 129024;
    std::vector<double> expected;
    auto pass = [&](std::int64_t total, double base, double span) {
        for (std::int64_t d = 64; d <= total; d += 64)
            expected.push_back(base + (span * d) / total);
        if (total % 64 != 0) expected.push_back(base + (span * total) / total);
    };
    pass(130, 0.0, 0.2);
    pass(130, 0.2, 0.4);
    pass(1040, 0.6, 0.4);
    std::sort(expected.begin(), expected.end());
    for (int workers : {1, 2, 3}) {
        const auto values = reportedValues(n, workers);
        EXPECT_EQ(values, expected) << workers << " workers";
        ASSERT_FALSE(values.empty());
        EXPECT_EQ(values.back(), 1.0);
        EXPECT_EQ(values[2], 0.2);  // the analysis pass ends exactly at 0.2
    }
}
