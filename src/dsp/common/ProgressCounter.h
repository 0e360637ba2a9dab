// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>

namespace corvane::dsp {

// Counts the finished units of one parallel pass and reports the overall fraction done,
// base + span * done / total, at every 64th unit and at the last. The lock guards only the count;
// the report is made after it is released, on the calling worker's thread, so reports from
// different workers may overlap and arrive out of order.
class ProgressCounter {
public:
    ProgressCounter(std::int64_t total, double base, double span,
                    const std::function<void(double)>& report);

    // Any worker thread, after each finished unit.
    void advance();

private:
    std::mutex m_lock;
    std::int64_t m_done = 0;
    std::int64_t m_total;
    double m_base;
    double m_span;
    const std::function<void(double)>& m_report;
};

}  // namespace corvane::dsp
