// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ui/TimeString.h"

TEST(TimeString, MinutesAndTwoDigitSecondsFractionsDroppedAndExtremesClampedTenthsTruncated) {
    using L = std::numeric_limits<double>;
    // 2^63 - 1 seconds, the largest count an int64 holds, for huge and infinite times; just below
    // 2^63 still converts exactly. Negative, NaN and tiny times read zero.
    const char* max = "153722867280912930:07";
    // clang-format off
    const std::pair<double, const char*> cases[] = {
        {0.0, "0:00"}, {0.999, "0:00"}, {1.0, "0:01"}, {9.5, "0:09"}, {10.0, "0:10"},
        {59.9, "0:59"}, {60.0, "1:00"}, {61.0, "1:01"}, {90.0, "1:30"}, {599.99, "9:59"},
        {600.0, "10:00"}, {3599.0, "59:59"}, {3600.0, "60:00"}, {3725.0, "62:05"},
        {6000.0, "100:00"}, {L::infinity(), max}, {9223372036854775808.0, max}, {1e300, max},
        {9223372036854774784.0, "153722867280912913:04"}, {-3.0, "0:00"}, {-0.0, "0:00"},
        {-1e300, "0:00"}, {-L::infinity(), "0:00"}, {NAN, "0:00"}, {-NAN, "0:00"},
        {L::denorm_min(), "0:00"}};
    // clang-format on
    for (const auto& [seconds, text] : cases)
        EXPECT_EQ(corvane::ui::timeString(seconds), QLatin1String(text)) << seconds;

    // Tenths are truncated, and decimal tenths read as themselves.
    const std::pair<double, const char*> tenths[] = {
        {0.0, "0:00.0"},    {0.09, "0:00.0"},  {2.36, "0:02.3"}, {101430 / 44100.0, "0:02.3"},
        {59.99, "0:59.9"},  {62.05, "1:02.0"}, {-1.0, "0:00.0"}, {NAN, "0:00.0"},
        {3725.5, "62:05.5"}};
    for (const auto& [seconds, text] : tenths)
        EXPECT_EQ(corvane::ui::timeStringTenths(seconds), QLatin1String(text)) << seconds;
}
