// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QColor>
#include <QWidget>

class QPainter;
#include <vector>

#include "model/StudioModel.h"

namespace corvane::ui {

class Timeline;

// One stem's peak envelope as thin bars centred on the middle line, with the playhead, on a
// faint rounded background. Pressing or dragging anywhere with the primary button seeks the song
// to that place; with Shift held, the drag sets the loop from where it began to where it ends,
// its ends on the song map's beats (bars when zoomed out) unless Alt is held too (through the
// shared Timeline, which every waveform shows while it is dragged). The loop region
// is shaded, fainter while it is off.
// Sizes in device-independent pixels. It follows the model's position itself and repaints only
// the few pixels the playhead leaves and enters, so playback costs little. Main thread.
class WaveformView : public QWidget {
    Q_OBJECT
public:
    explicit WaveformView(model::StudioModel& model, QWidget* parent = nullptr);

    void setPeaks(std::vector<float> peaks);
    void setColor(const QColor& color);
    void setDimmed(bool dimmed);
    // The view shared with the other strips and the ruler; without one the view shows the whole
    // song and has no loop. Zoomed in, the bars are stem `stem`'s own min and max per pixel from
    // the timeline's peak cache, and the envelope's bins wherever those have not arrived yet.
    void setTimeline(Timeline* timeline, int stem = -1);

    const std::vector<float>& peaks() const { return m_peaks; }
    QColor color() const { return m_color; }
    bool dimmed() const { return m_dimmed; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    void seekTo(double x);
    double secondsAt(double x) const;
    // Where a loop drag's end is for this event (through the timeline, which snaps it).
    double loopPointAt(const QMouseEvent& event) const;
    // Fills the bars that reach into `dirty` (widget pixels).
    void paintBars(QPainter& painter, const QRect& dirty) const;
    // Zoomed in: one column per pixel from the peak cache, the envelope where it has none yet.
    void paintColumns(QPainter& painter, const QRect& dirty) const;
    // The playhead's left edge for the model's position, or NaN when none is drawn.
    double playheadX() const;
    void movePlayhead();

    model::StudioModel& m_model;
    Timeline* m_timeline = nullptr;
    int m_stem = -1;
    bool m_draggingLoop = false;
    std::vector<float> m_peaks;
    QColor m_color;
    bool m_dimmed = false;
    double m_playheadX;  // where the playhead was last drawn or asked to be; NaN for none
};

}  // namespace corvane::ui
