// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <optional>

class QPainter;

#include "model/Song.h"
#include "model/StudioModel.h"

namespace corvane::ui {

// What the four waveforms and the time ruler share: the song they show (its length in seconds)
// and the loop being dragged out with Shift held, which all of them show before it is handed to
// the model on release. Times in song seconds; x in the caller's own pixels. Main thread.
class Timeline : public QObject {
    Q_OBJECT
public:
    // Follows the model: a new song (or new stems for it) resets the view.
    explicit Timeline(model::StudioModel& model, QObject* parent = nullptr);

    // The song shown; the model hook calls this, the benchmark gives its own.
    void setSong(const model::Song& song);
    const model::Song& song() const { return m_song; }
    double duration() const { return m_duration; }

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

    // A Shift-drag from A to B: begin at A, move to each new B, end hands it to the model
    // (setLoop, which clears a region too short to be a loop: a Shift-click).
    void beginLoopDrag(double seconds);
    void moveLoopDrag(double seconds);
    void endLoopDrag();
    bool isDraggingLoop() const { return m_draft.has_value(); }

signals:
    // The loop shown changed: the model's, or the one being dragged.
    void loopShownChanged();
    // A new song: everything drawn is stale.
    void songChanged();

private:
    void followModel();

    model::StudioModel& m_model;
    model::Song m_song;
    double m_duration = 0.0;
    std::optional<std::pair<double, double>> m_draft;  // A and B of the drag in progress
};

// Shades the loop region `timeline` shows across a view `width` by `height`, with a line at each
// end; fainter while the loop is off. Nothing without a region.
void paintLoop(QPainter& painter, const Timeline& timeline, double width, double height);

}  // namespace corvane::ui
