// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "analysis/SongMap.h"
#include "model/Transport.h"

namespace corvane::model {

// The person's corrections to the map's beat grid, kept in a session and applied in this order:
// a tapped tempo replaces the grid with a steady one from its first beat; the tempo is doubled
// or halved (tempoPower: +1 doubles, -1 halves); the grid is nudged by nudgeSeconds; the beat
// nearest firstDownbeat becomes a bar's first beat.
struct GridEdits {
    std::optional<double> tappedBpm;
    int tempoPower = 0;
    double nudgeSeconds = 0.0;
    std::optional<double> firstDownbeat;
    bool operator==(const GridEdits&) const = default;
};

// The grid after `edits`, within [0, durationSeconds), numbered like the map (a pickup's beats in
// bar 1). Any thread.
std::vector<analysis::Beat> applyGridEdits(std::vector<analysis::Beat> beats, int beatsPerBar,
                                           const GridEdits& edits, double durationSeconds);

// The tempo of the grid after `edits`, from the map's `tempoBpm`: a tapped tempo replaces it, each
// step of tempoPower doubles or halves it. Any thread.
double gridTempoBpm(double tempoBpm, const GridEdits& edits);

// A tempo from taps of a key: the mean interval of the last kMaxTaps taps; a pause longer than
// kResetSeconds starts a new count.
class TapTempo {
public:
    static constexpr int kMaxTaps = 8;
    static constexpr double kResetSeconds = 2.0;
    void tap(double seconds);
    std::optional<double> bpm() const;

private:
    std::vector<double> m_taps;
};

// Loops and times on the grid. `beats` as the map gives them (bar 1-based, beat 1 a downbeat).
double snapToBeat(const std::vector<analysis::Beat>& beats, double seconds);
double snapToBar(const std::vector<analysis::Beat>& beats, double seconds);
// The bar holding `seconds`, as an enabled loop; nothing off the grid.
std::optional<LoopRegion> barLoop(const std::vector<analysis::Beat>& beats, double seconds);
// The loop moved by `bars` bars (each end to the bar line nearest it, then on), or its end moved
// by `bars` bars, never shorter than one bar; unchanged where the grid ends.
LoopRegion moveLoopByBars(const std::vector<analysis::Beat>& beats, LoopRegion loop, int bars);
LoopRegion resizeLoopByBars(const std::vector<analysis::Beat>& beats, LoopRegion loop, int bars);
// "bars 9–12" (or "bar 9"), the bars the loop covers; empty off the grid.
std::string barsText(const std::vector<analysis::Beat>& beats, LoopRegion loop);

}  // namespace corvane::model
