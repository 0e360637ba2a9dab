// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/TimeString.h"

#include <cstdint>
#include <limits>

namespace corvane::ui {

QString timeString(double seconds) {
    // NaN fails the comparison too, so it reads as zero.
    const double t = seconds > 0.0 ? seconds : 0.0;
    // Converting a double at or past 2^63 (or +inf) to int64 is undefined: clamp first.
    constexpr double kTwoTo63 = 9223372036854775808.0;
    const std::int64_t n =
        t >= kTwoTo63 ? std::numeric_limits<std::int64_t>::max() : static_cast<std::int64_t>(t);
    const std::int64_t minutes = n / 60;
    const std::int64_t rest = n - 60 * minutes;
    return QStringLiteral("%1:%2").arg(minutes).arg(rest, 2, 10, QLatin1Char('0'));
}

QString timeStringTenths(double seconds) {
    const double t = seconds > 0.0 ? seconds : 0.0;
    // A hair over, so a time that is a whole number of tenths in decimal (2.3, stored as
    // 2.2999…) reads as itself; far past any song's length the tenth is simply 0.
    constexpr double kLargest = 1e15;
    const auto tenths = t < kLargest ? static_cast<std::int64_t>(t * 10.0 + 1e-6) : 0;
    return timeString(t < kLargest ? static_cast<double>(tenths / 10) : t) + QLatin1Char('.') +
           QString::number(tenths % 10);
}

}  // namespace corvane::ui
