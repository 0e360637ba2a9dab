// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace corvane::cli {

// One line on a terminal, redrawn in place with '\r': "Song.mp3  [=====     ]  48%  separating".
// The separator reports from several workers at once and out of order, so update() keeps the
// highest fraction seen and redraws at most 20 times a second from whichever thread gets there.
class ProgressBar {
public:
    // Main thread. Draws nothing until the first phase() or update().
    ProgressBar(std::FILE* out, std::string label);
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    // Main thread, between separations: names what is happening now ("reading") and redraws.
    void phase(std::string_view what);
    // Any thread: the separation's fraction done, 0 to 1.
    void update(double fraction);
    // Main thread, once no update() can still run: erases the line.
    void clear();

private:
    void draw(double fraction);  // with m_drawMutex held

    std::FILE* m_out;
    std::string m_label;
    std::string m_phase;  // written only on the main thread while no worker runs
    std::atomic<double> m_best{0.0};
    std::mutex m_drawMutex;
    std::chrono::steady_clock::time_point m_lastDraw{};
    bool m_drawn = false;
};

}  // namespace corvane::cli
