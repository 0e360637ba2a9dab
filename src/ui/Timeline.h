// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <optional>

class QPainter;
class QWheelEvent;

#include "model/PeakCache.h"
#include "model/Song.h"
#include "model/StudioModel.h"

namespace corvane::ui {

// What the four waveforms and the time ruler share: the song they show (its length in seconds),
// the part of it in view, and the loop being dragged out with Shift held, which all of them show
// before it is handed to the model on release.
//
// The view is a zoom level and a start: level 0 is the whole song; each level shows 2^(-1/4) of
// the one before, down to kMinSpanSeconds across (the last level). Levels are whole numbers so
// that the same zoom gives the same frames per pixel again, which the peak cache is keyed on.
// A playhead that leaves the view (playing off the right edge, a loop's wrap or a seek key taking
// it elsewhere) turns the page to it. Times in song seconds; x in the caller's own pixels. Main
// thread.
class Timeline : public QObject {
    Q_OBJECT
public:
    // Follows the model: a new song (or new stems for it) resets the view.
    explicit Timeline(model::StudioModel& model, QObject* parent = nullptr);

    // The song shown; the model hook calls this, the benchmark gives its own.
    void setSong(const model::Song& song);
    const model::Song& song() const { return m_song; }
    // The stems' min and max per pixel when zoomed, shared by the four waveforms.
    model::PeakCache& peakCache() { return m_peakCache; }
    // Frames of the song per pixel of a view `width` wide at this zoom.
    double framesPerPixel(double width) const;
    double duration() const { return m_duration; }

    static constexpr double kMinSpanSeconds = 1.0;
    static constexpr int kLevelsPerOctave = 4;

    int level() const { return m_level; }
    int maxLevel() const;
    bool isZoomed() const { return m_level > 0; }
    double start() const { return m_start; }
    // Seconds across the view.
    double span() const;

    // Zooms in by `levels` (out when negative) keeping the time at `anchorFraction` of the view
    // where it is.
    void zoomBy(int levels, double anchorFraction);
    // Zooms by `levels` about the playhead while it is in view, else about the middle.
    void zoomAboutPlayhead(int levels);
    // Back to the whole song.
    void reset();
    // Moves the view by `seconds` (later when positive), kept within the song.
    void scrollBy(double seconds);
    void scrollTo(double start);
    // A wheel step over a view `width` wide at x: with Ctrl it zooms about x, else it scrolls.
    void wheel(const QWheelEvent& event, double x, double width);

    // Seconds at x in a view `width` wide, limited to the song; x past either edge is that edge.
    double secondsAt(double x, double width) const;
    // Where `seconds` falls in a view `width` wide (outside 0 to width when not shown).
    double xOf(double seconds, double width) const;

    // The loop region as shown: the one being dragged, else the model's while it is set.
    struct ShownLoop {
        double start = 0.0;
        double end = 0.0;
        bool enabled = false;
    };
    std::optional<ShownLoop> shownLoop() const;

    // Where a Shift-drag at x in a view `width` wide puts an end of the loop: on the grid's
    // nearest beat while beat lines are drawn (kMinGridSpacing apart or more), else on its
    // nearest bar line; at x itself when `free` (Alt held), without a grid, or more than a beat
    // (a bar) from the grid (in a free-time intro before its first beat).
    double loopPointAt(double x, double width, bool free) const;

    // A Shift-drag from A to B: begin at A, move to each new B, end hands it to the model
    // (setLoop, which clears a region too short to be a loop: a Shift-click, or both ends on
    // one beat).
    void beginLoopDrag(double seconds);
    void moveLoopDrag(double seconds);
    void endLoopDrag();
    bool isDraggingLoop() const { return m_draft.has_value(); }

signals:
    // The part of the song in view changed (zoom or scroll).
    void viewChanged();
    // The loop shown changed: the model's, or the one being dragged.
    void loopShownChanged();
    // A new song: everything drawn is stale.
    void songChanged();

private:
    void followModel();
    void followPlayhead();
    void setView(int level, double start);

    model::StudioModel& m_model;
    model::Song m_song;
    double m_duration = 0.0;
    int m_level = 0;
    double m_start = 0.0;
    double m_lastPosition = 0.0;
    int m_wheelRemainder = 0;  // eighths of a degree not yet turned into a zoom step
    std::optional<std::pair<double, double>> m_draft;  // A and B of the drag in progress
    model::PeakCache m_peakCache;
};

// Shades the loop region `timeline` shows across a view `width` by `height`, with a line at each
// end; fainter while the loop is off. Nothing without a region.
void paintLoop(QPainter& painter, const Timeline& timeline, double width, double height);

}  // namespace corvane::ui
