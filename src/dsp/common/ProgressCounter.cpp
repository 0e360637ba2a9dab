// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/common/ProgressCounter.h"

namespace corvane::dsp {

ProgressCounter::ProgressCounter(std::int64_t total, double base, double span,
                                 const std::function<void(double)>& report)
    : m_total(total), m_base(base), m_span(span), m_report(report) {}

void ProgressCounter::advance() {
    std::int64_t d;
    {
        std::lock_guard lock(m_lock);
        d = ++m_done;
    }
    if ((d % 64 == 0 || d == m_total) && m_report)
        m_report(m_base + (m_span * static_cast<double>(d)) / static_cast<double>(m_total));
}

}  // namespace corvane::dsp
