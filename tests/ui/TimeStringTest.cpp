// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ui/TimeString.h"

using corvane::ui::timeString;

namespace {

struct Case {
    double seconds;
    const char* text;
};

void expectAll(std::initializer_list<Case> cases) {
    for (const Case& c : cases)
        EXPECT_EQ(timeString(c.seconds), QLatin1String(c.text)) << c.seconds;
}

}  // namespace

TEST(TimeString, MinutesAndTwoDigitSecondsWithFractionsDropped) {
    expectAll({{0.0, "0:00"},
               {0.999, "0:00"},
               {1.0, "0:01"},
               {9.5, "0:09"},
               {10.0, "0:10"},
               {59.9, "0:59"},
               {60.0, "1:00"},
               {61.0, "1:01"},
               {90.0, "1:30"},
               {599.99, "9:59"},
               {600.0, "10:00"}});
}

TEST(TimeString, MinutesGrowPastAnHour) {
    expectAll({{3599.0, "59:59"}, {3600.0, "60:00"}, {3725.0, "62:05"}, {6000.0, "100:00"}});
}

TEST(TimeString, NegativeAndNaNReadZero) {
    const double inf = std::numeric_limits<double>::infinity();
    expectAll({{-3.0, "0:00"},
               {-0.0, "0:00"},
               {-1e300, "0:00"},
               {-inf, "0:00"},
               {std::nan(""), "0:00"},
               {-std::nan(""), "0:00"},
               {std::numeric_limits<double>::denorm_min(), "0:00"}});
}

TEST(TimeString, HugeAndInfiniteTimesClampInsteadOfOverflowing) {
    // 2^63 - 1 seconds: the largest count an int64 holds.
    const QString largest = QStringLiteral("153722867280912930:07");
    EXPECT_EQ(timeString(std::numeric_limits<double>::infinity()), largest);
    EXPECT_EQ(timeString(9223372036854775808.0), largest);
    EXPECT_EQ(timeString(1e300), largest);
    // Just below 2^63 still converts exactly: 2^63 - 1024.
    EXPECT_EQ(timeString(9223372036854774784.0), QStringLiteral("153722867280912913:04"));
}
