// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/BeatGrid.h"

#include <QPainter>
#include <algorithm>
#include <cmath>

#include "model/StudioModel.h"
#include "ui/Theme.h"
#include "ui/Timeline.h"

namespace corvane::ui {

namespace {

constexpr double kBarOpacity = 0.38;
constexpr double kBeatOpacity = 0.16;
constexpr double kSectionTagWidth = 16.0;

// The song's typical beat and bar lengths in seconds (from the tempo, else from the beats).
double beatSeconds(const analysis::SongMap& map) {
    if (map.tempoBpm > 0.0) return 60.0 / map.tempoBpm;
    if (map.beats.size() < 2) return 0.0;
    return (map.beats.back().time - map.beats.front().time) /
           static_cast<double>(map.beats.size() - 1);
}

// The smallest power of two `n` for which `n` times `pixels` reaches `minimum` (at most 2^20).
int powerOfTwoStep(double pixels, double minimum) {
    int n = 1;
    while (n < (1 << 20) && !(pixels * n >= minimum)) n *= 2;
    return n;
}

// Calls `take(beat)` for the beats from `start` to `start + span`, with a beat's room to spare on
// each side so lines at the edges are drawn.
template <class Take>
void forBeatsInView(const analysis::SongMap& map, double start, double span, double margin,
                    Take&& take) {
    const auto first =
        std::lower_bound(map.beats.begin(), map.beats.end(), start - margin,
                         [](const analysis::Beat& b, double t) { return b.time < t; });
    for (auto it = first; it != map.beats.end() && it->time <= start + span + margin; ++it)
        take(*it);
}

std::vector<GridLine> linesEvery(const analysis::SongMap& map, double start, double span,
                                 double width, double minSpacing) {
    std::vector<GridLine> lines;
    const double beat = beatSeconds(map);
    if (map.beats.empty() || !(beat > 0.0) || !(span > 0.0) || !(width > 0.0)) return lines;
    const double beatPixels = beat / span * width;
    const int perBar = std::max(map.beatsPerBar, 1);
    const bool everyBeat = beatPixels >= minSpacing;
    const int barStep = everyBeat ? 1 : powerOfTwoStep(beatPixels * perBar, minSpacing);
    forBeatsInView(map, start, span, beat, [&](const analysis::Beat& b) {
        const bool bar = b.beat == 1;
        if (!bar && !everyBeat) return;
        if (bar && (b.bar - 1) % barStep != 0) return;
        lines.push_back({b.time, bar, b.bar});
    });
    return lines;
}

}  // namespace

std::vector<GridLine> gridLines(const analysis::SongMap& map, double start, double span,
                                double width) {
    return linesEvery(map, start, span, width, kMinGridSpacing);
}

std::vector<GridLine> barLabels(const analysis::SongMap& map, double start, double span,
                                double width) {
    // Labels only at bars, however far in: the beats' own numbers would crowd the ruler.
    std::vector<GridLine> labels;
    const double beat = beatSeconds(map);
    if (map.beats.empty() || !(beat > 0.0) || !(span > 0.0) || !(width > 0.0)) return labels;
    const double barPixels = beat * std::max(map.beatsPerBar, 1) / span * width;
    const int step = powerOfTwoStep(barPixels, kMinBarLabelSpacing);
    forBeatsInView(map, start, span, beat, [&](const analysis::Beat& b) {
        if (b.beat == 1 && (b.bar - 1) % step == 0) labels.push_back({b.time, true, b.bar});
    });
    return labels;
}

const analysis::SongMap* shownMap(model::StudioModel& model) {
    // The studio's map goes while a new one is read; the practice model keeps its last till then.
    return model.songMap() ? &model.practice().griddedMap() : nullptr;
}

void paintBeatGrid(QPainter& painter, const Timeline& timeline, const analysis::SongMap* map,
                   const QPalette& palette, double width, double height) {
    if (!map || !(timeline.duration() > 0.0)) return;
    const std::vector<GridLine> lines = gridLines(*map, timeline.start(), timeline.span(), width);
    if (lines.empty()) return;
    const QColor ink = primaryText(palette);
    QColor barInk = ink, beatInk = ink;
    barInk.setAlphaF(kBarOpacity);
    beatInk.setAlphaF(kBeatOpacity);
    for (const GridLine& line : lines) {
        // Whole pixels: a line between two pixels would be two fainter ones, a smear.
        const double x = std::round(timeline.xOf(line.seconds, width));
        painter.fillRect(QRectF(x, 0.0, 1.0, height), line.bar ? barInk : beatInk);
    }
}

std::optional<std::size_t> sectionMarkerAt(const Timeline& timeline, const analysis::SongMap* map,
                                           double width, double x) {
    std::optional<std::size_t> found;
    if (!map || !(timeline.duration() > 0.0)) return found;
    for (std::size_t i = 0; i < map->sections.size(); ++i) {
        // As drawn: a 2 px line at the start, the tag to its right; a pixel to spare on the left.
        const double at = std::round(timeline.xOf(map->sections[i].start, width));
        if (x >= at - 1.0 && x < at + 2.0 + kSectionTagWidth) found = i;
    }
    return found;
}

void paintRulerMap(QPainter& painter, const Timeline& timeline, const analysis::SongMap* map,
                   const QPalette& palette, double width, double top, double height) {
    if (!map || !(timeline.duration() > 0.0)) return;
    const double start = timeline.start(), span = timeline.span();
    const QColor ink = secondaryText(palette);
    painter.save();
    QFont font = ui::font(TextStyle::caption2);
    painter.setFont(font);
    for (const GridLine& bar : barLabels(*map, start, span, width)) {
        const double x = std::round(timeline.xOf(bar.seconds, width));
        painter.fillRect(QRectF(x, top, 1.0, height), ink);
        painter.setPen(ink);
        painter.drawText(QRectF(x + 2.0, top, kMinBarLabelSpacing, height),
                         Qt::AlignLeft | Qt::AlignVCenter, QString::number(bar.barNumber));
    }
    // Sections over the numbers: where a part begins matters more than a bar's number.
    font.setBold(true);
    painter.setFont(font);
    for (const analysis::Section& section : map->sections) {
        if (section.end < start || section.start > start + span) continue;
        const double x = std::round(timeline.xOf(section.start, width));
        const QColor tint = colors::indigo;
        painter.fillRect(QRectF(x, top - kSectionLineAbove, 2.0, height + kSectionLineAbove), tint);
        const QRectF tag(x + 2.0, top, kSectionTagWidth, height);
        painter.fillRect(tag, tint);
        painter.setPen(Qt::white);
        painter.drawText(tag, Qt::AlignCenter, QString::fromStdString(section.label));
    }
    painter.restore();
}

}  // namespace corvane::ui
