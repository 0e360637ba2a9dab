// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QPointer>
class QPainter;
#include <QString>
#include <QWidget>
#include <vector>

#include "model/StudioModel.h"

namespace corvane::ui {

class Timeline;

// One labelled tick of the time ruler, in song seconds.
struct RulerTick {
    double seconds = 0.0;
    QString label;
    friend bool operator==(const RulerTick&, const RulerTick&) = default;
};

// The labelled ticks for `span` seconds from `start` across `width` pixels, at the smallest step
// of 0.1, 0.2, 0.5, 1, 2, 5, 10, 15, 30 s, 1, 2, 5, 10, 15, 30 min or 1 h that leaves
// `minSpacing` pixels between labels. Labels are minutes:seconds ("1:05"), with tenths below a
// one-second step ("0:01.5"). Pure.
std::vector<RulerTick> rulerTicks(double start, double span, double width, double minSpacing);
// The unlabelled ticks' step for a labelled one.
double minorTickStep(double step);

// The time ruler under the strips: minute:second ticks for the part of the song in view, the
// song map's bar numbers and section markers, the person's markers, the loop region and the
// playhead. It lines up with the waveform it is given (its own x between that waveform's left and
// right edges). Dragging scrolls the view, Shift+drag sets the loop (on the beats; with Alt
// freely), the wheel scrolls and Ctrl+wheel zooms, as on the waveforms; a double-click loops the
// bar there, or on a section's marker that section. Main thread.
class TimeRuler : public QWidget {
    Q_OBJECT
public:
    // The time scale on top; the song map's bar numbers and section markers in a band below.
    static constexpr int kScaleHeight = 24;
    static constexpr int kMapBandHeight = 13;
    static constexpr int kHeight = kScaleHeight + kMapBandHeight;
    static constexpr double kMinLabelSpacing = 70.0;

    TimeRuler(model::StudioModel& model, Timeline& timeline, QWidget* alignedWith,
              QWidget* parent = nullptr);

    // The labelled ticks drawn now.
    std::vector<RulerTick> ticks() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The x range of the axis in this widget's pixels: under the waveform it lines up with.
    double axisLeft() const;
    double axisWidth() const;
    // Where a loop drag's end is for this event (through the timeline, which snaps it).
    double loopPointAt(const QMouseEvent& event) const;
    void paintMarkers(QPainter& painter, double width);

    model::StudioModel& m_model;
    Timeline& m_timeline;
    QPointer<QWidget> m_alignedWith;
    enum class Drag { none, scroll, loop } m_drag = Drag::none;
    double m_pressX = 0.0;
    double m_pressStart = 0.0;
};

}  // namespace corvane::ui
