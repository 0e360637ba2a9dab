// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/ProgressBar.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <utility>

namespace corvane::cli {

namespace {

constexpr int kBarCells = 24;
constexpr auto kRedrawInterval = std::chrono::milliseconds(50);

int terminalColumns(std::FILE* out) {
    winsize size{};
    if (::ioctl(::fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

}  // namespace

ProgressBar::ProgressBar(std::FILE* out, std::string label)
    : m_out(out), m_label(std::move(label)) {}

void ProgressBar::phase(std::string_view what) {
    const std::lock_guard lock(m_drawMutex);
    m_phase = what;
    draw(m_best.load(std::memory_order_relaxed));
}

void ProgressBar::update(double fraction) {
    if (!(fraction >= 0.0)) return;  // NaN too
    fraction = std::min(fraction, 1.0);
    double best = m_best.load(std::memory_order_relaxed);
    while (fraction > best &&
           !m_best.compare_exchange_weak(best, fraction, std::memory_order_relaxed)) {
    }
    if (fraction <= best) return;

    // A worker that finds another one drawing just moves on: progress must never slow the work.
    const std::unique_lock lock(m_drawMutex, std::try_to_lock);
    if (!lock.owns_lock()) return;
    const auto now = std::chrono::steady_clock::now();
    if (m_drawn && now - m_lastDraw < kRedrawInterval && fraction < 1.0) return;
    draw(m_best.load(std::memory_order_relaxed));
}

void ProgressBar::clear() {
    const std::lock_guard lock(m_drawMutex);
    if (m_drawn) std::fputs("\r\033[K", m_out);
    std::fflush(m_out);
    m_drawn = false;
}

void ProgressBar::draw(double fraction) {
    const int filled = static_cast<int>(std::floor(fraction * kBarCells));
    const int percent = static_cast<int>(std::floor(fraction * 100.0));
    std::string bar(kBarCells, ' ');
    std::fill_n(bar.begin(), filled, '=');
    if (filled < kBarCells) bar[static_cast<std::size_t>(filled)] = '>';

    // Long names are cut from the front so the line never wraps, which would break the '\r'.
    const int room = terminalColumns(m_out) - kBarCells - 24;
    std::string label = m_label;
    if (room > 3 && static_cast<int>(label.size()) > room) {
        std::size_t from = label.size() - static_cast<std::size_t>(room - 3);
        while (from < label.size() && (static_cast<unsigned char>(label[from]) & 0xC0) == 0x80)
            ++from;  // never start inside a UTF-8 sequence
        label = "..." + label.substr(from);
    }

    std::fprintf(m_out, "\r\033[K%s  [%s] %3d%%  %s", label.c_str(), bar.c_str(), percent,
                 m_phase.c_str());
    std::fflush(m_out);
    m_lastDraw = std::chrono::steady_clock::now();
    m_drawn = true;
}

}  // namespace corvane::cli
