// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

namespace corvane::ui {

// Minutes and seconds, "%d:%02d": 0 -> "0:00", 59.9 -> "0:59", 3725 -> "62:05". Fractions are
// dropped; zero, negative and non-finite-negative times read 0:00. No hours field.
QString timeString(double seconds);
// The same with tenths, truncated like the seconds: 2.36 -> "0:02.3", 62.05 -> "1:02.0". For the
// playhead and the loop, which the ruler shows to tenths when zoomed in.
QString timeStringTenths(double seconds);

}  // namespace corvane::ui
