// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "analysis/SongMap.h"

class QPainter;
class QPalette;

namespace corvane::model {
class StudioModel;
}

namespace corvane::ui {

class Timeline;

// One line of the beat grid in a view: its time in song seconds, whether it starts a bar, and
// that bar's number (1-based, as the map counts them).
struct GridLine {
    double seconds = 0.0;
    bool bar = false;
    int barNumber = 0;
    bool operator==(const GridLine&) const = default;
};

// The grid lines for `span` seconds from `start` across `width` pixels. Every beat while beats
// lie at least kMinGridSpacing pixels apart; zoomed further out, bars only, then every 2nd, 4th,
// 8th... bar (counted from bar 1), so that lines never come closer than that and the grid never
// turns into a grey wash. Empty without beats. Pure.
std::vector<GridLine> gridLines(const analysis::SongMap& map, double start, double span,
                                double width);
// The bars whose numbers the ruler writes: every 1st, 2nd, 4th... bar from bar 1, at least
// kMinBarLabelSpacing pixels apart. Pure.
std::vector<GridLine> barLabels(const analysis::SongMap& map, double start, double span,
                                double width);

constexpr double kMinGridSpacing = 7.0;
constexpr double kMinBarLabelSpacing = 26.0;
// How far a section's line on the ruler reaches above the band with the bar numbers, in pixels.
constexpr double kSectionLineAbove = 4.0;

// The map the window draws: the song map with the person's grid corrections (beats, bars and
// tempo); null while there is no map.
const analysis::SongMap* shownMap(model::StudioModel& model);

// Draws the grid of `map` over a waveform `width` by `height` showing `timeline`'s view: bars
// stronger than beats, in the palette's text colour. Nothing without a map.
void paintBeatGrid(QPainter& painter, const Timeline& timeline, const analysis::SongMap* map,
                   const QPalette& palette, double width, double height);

// The section of `map` whose marker paintRulerMap draws at x of a ruler `width` wide (its line or
// tag), the later one where two overlap (it is drawn on top); none elsewhere.
std::optional<std::size_t> sectionMarkerAt(const Timeline& timeline, const analysis::SongMap* map,
                                           double width, double x);

// Draws bar numbers and section markers (a line and a tag with the section's letter at each
// section's start) in a band of the time ruler from `top`, `height` high and `width` wide.
void paintRulerMap(QPainter& painter, const Timeline& timeline, const analysis::SongMap* map,
                   const QPalette& palette, double width, double top, double height);

}  // namespace corvane::ui
