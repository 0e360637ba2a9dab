// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/BeatGrid.h"

#include <algorithm>
#include <cmath>

namespace corvane::model {
namespace {

using analysis::Beat;

std::size_t nearest(const std::vector<double>& times, double t) {
    const auto it = std::lower_bound(times.begin(), times.end(), t);
    if (it == times.begin()) return 0;
    if (it == times.end()) return times.size() - 1;
    return static_cast<std::size_t>(it - times.begin()) - (t - *(it - 1) <= *it - t ? 1 : 0);
}

std::vector<double> barLines(const std::vector<Beat>& beats) {
    std::vector<double> lines;
    for (const Beat& b : beats)
        if (b.beat == 1) lines.push_back(b.time);
    return lines;
}

// Numbers beats from `downbeat` (an index) on: bar 1 holds beat 0, so a pickup is bar 1.
void numberFrom(std::vector<Beat>& beats, std::size_t downbeat, int perBar) {
    const auto floorDiv = [](long a, long b) { return a >= 0 ? a / b : -((-a + b - 1) / b); };
    const long first = floorDiv(-static_cast<long>(downbeat), perBar);
    for (std::size_t k = 0; k < beats.size(); ++k) {
        const long offset = static_cast<long>(k) - static_cast<long>(downbeat);
        const long bar = floorDiv(offset, perBar);
        beats[k].bar = static_cast<int>(bar - first + 1);
        beats[k].beat = static_cast<int>(offset - bar * perBar + 1);
    }
}

}  // namespace

std::vector<Beat> applyGridEdits(std::vector<Beat> beats, int beatsPerBar, const GridEdits& edits,
                                 double durationSeconds) {
    const int perBar = std::max(1, beatsPerBar);
    std::size_t downbeat = 0;
    for (std::size_t k = 0; k < beats.size(); ++k)
        if (beats[k].beat == 1) {
            downbeat = k;
            break;
        }
    std::vector<double> t;
    for (const Beat& b : beats) t.push_back(b.time);
    if (edits.tappedBpm && *edits.tappedBpm > 0.0 && std::isfinite(*edits.tappedBpm)) {
        const double period = 60.0 / *edits.tappedBpm;
        double from = t.empty() ? 0.0 : t[downbeat];
        while (from - period >= 0.0) from -= period;
        t.clear();
        for (double x = from; x < durationSeconds; x += period) t.push_back(x);
        downbeat = 0;
        for (std::size_t k = 0; k < t.size(); ++k)
            if (std::abs(t[k] - (beats.empty() ? 0.0 : beats[0].time)) < period / 2) {
                downbeat = k;  // first beat of the old grid stays a downbeat if it was
                break;
            }
    }
    for (int p = edits.tempoPower; p > 0 && t.size() >= 2; --p) {
        std::vector<double> doubled;
        for (std::size_t k = 0; k + 1 < t.size(); ++k) {
            doubled.push_back(t[k]);
            doubled.push_back(0.5 * (t[k] + t[k + 1]));
        }
        doubled.push_back(t.back());
        t = std::move(doubled);
        downbeat *= 2;
    }
    for (int p = edits.tempoPower; p < 0 && t.size() >= 2; ++p) {
        // Every other beat, keeping the downbeat's.
        std::vector<double> halved;
        for (std::size_t k = downbeat % 2; k < t.size(); k += 2) halved.push_back(t[k]);
        t = std::move(halved);
        downbeat /= 2;
    }
    std::vector<Beat> out;
    std::size_t kept = 0;
    for (std::size_t k = 0; k < t.size(); ++k) {
        const double x = t[k] + (std::isfinite(edits.nudgeSeconds) ? edits.nudgeSeconds : 0.0);
        if (x < 0.0 || x >= durationSeconds) continue;
        if (k == downbeat) kept = out.size();
        out.push_back({x, 1, 1});
    }
    if (out.empty()) return out;
    if (edits.firstDownbeat) {
        std::vector<double> times;
        for (const Beat& b : out) times.push_back(b.time);
        kept = nearest(times, *edits.firstDownbeat);
    }
    numberFrom(out, kept, perBar);
    return out;
}

double gridTempoBpm(double tempoBpm, const GridEdits& edits) {
    const bool tapped =
        edits.tappedBpm && *edits.tappedBpm > 0.0 && std::isfinite(*edits.tappedBpm);
    return std::ldexp(tapped ? *edits.tappedBpm : tempoBpm, edits.tempoPower);
}

void TapTempo::tap(double seconds) {
    if (!m_taps.empty() && (seconds - m_taps.back() > kResetSeconds || seconds < m_taps.back()))
        m_taps.clear();
    m_taps.push_back(seconds);
    if (m_taps.size() > static_cast<std::size_t>(kMaxTaps)) m_taps.erase(m_taps.begin());
}

std::optional<double> TapTempo::bpm() const {
    if (m_taps.size() < 2) return std::nullopt;
    const double mean = (m_taps.back() - m_taps.front()) / static_cast<double>(m_taps.size() - 1);
    if (mean <= 0.0) return std::nullopt;
    return 60.0 / mean;
}

double snapToBeat(const std::vector<Beat>& beats, double seconds) {
    // Searched in place: a drag snaps on every move of the pointer, and an hour's beats copied
    // each time cost a millisecond.
    const auto it = std::lower_bound(beats.begin(), beats.end(), seconds,
                                     [](const Beat& b, double t) { return b.time < t; });
    if (it == beats.begin()) return beats.empty() ? seconds : it->time;
    if (it == beats.end()) return beats.back().time;
    return seconds - (it - 1)->time <= it->time - seconds ? (it - 1)->time : it->time;
}

double snapToBar(const std::vector<Beat>& beats, double seconds) {
    const std::vector<double> lines = barLines(beats);
    return lines.empty() ? seconds : lines[nearest(lines, seconds)];
}

std::optional<LoopRegion> barLoop(const std::vector<Beat>& beats, double seconds) {
    const std::vector<double> lines = barLines(beats);
    const auto it = std::upper_bound(lines.begin(), lines.end(), seconds);
    if (it == lines.begin() || it == lines.end()) return std::nullopt;
    return LoopRegion{*(it - 1), *it, true};
}

LoopRegion moveLoopByBars(const std::vector<Beat>& beats, LoopRegion loop, int bars) {
    const std::vector<double> lines = barLines(beats);
    if (lines.size() < 2) return loop;
    const long a = static_cast<long>(nearest(lines, loop.start)) + bars;
    const long b = static_cast<long>(nearest(lines, loop.end)) + bars;
    if (a < 0 || b >= static_cast<long>(lines.size()) || b <= a) return loop;
    return {lines[static_cast<std::size_t>(a)], lines[static_cast<std::size_t>(b)], loop.enabled};
}

LoopRegion resizeLoopByBars(const std::vector<Beat>& beats, LoopRegion loop, int bars) {
    const std::vector<double> lines = barLines(beats);
    if (lines.size() < 2) return loop;
    const long a = static_cast<long>(nearest(lines, loop.start));
    const long b = std::max(a + 1, static_cast<long>(nearest(lines, loop.end)) + bars);
    if (b >= static_cast<long>(lines.size())) return loop;
    return {lines[static_cast<std::size_t>(a)], lines[static_cast<std::size_t>(b)], loop.enabled};
}

std::string barsText(const std::vector<Beat>& beats, LoopRegion loop) {
    if (beats.empty() || !loop.isSet()) return {};
    // The bar of the beat at or before a time (the first beat's before the grid).
    const auto barAt = [&](double t) {
        int bar = beats.front().bar;
        for (const Beat& b : beats)
            if (b.time <= t + 1e-6) bar = b.bar;
        return bar;
    };
    // A loop set by ear or at the playhead starts or ends a few ms off the bar line: the bars it
    // holds are those it covers more than a 32nd note at 120 bpm of.
    constexpr double kSlack = 0.06;
    const int first = barAt(loop.start + kSlack);
    const int last = std::max(first, barAt(loop.end - kSlack));
    if (first == last) return "bar " + std::to_string(first);
    return "bars " + std::to_string(first) + "\u2013" + std::to_string(last);
}

}  // namespace corvane::model
