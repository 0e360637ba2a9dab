// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLabel>
#include <QPointer>
#include <QString>
#include <QWidget>

#include "model/StudioModel.h"

namespace corvane::ui {

class Timeline;

// The chord lane under the time ruler: the song map's chords in view, each a box with its name as
// heard (transposed with the pitch control), the one at the playhead highlighted, and the next one
// named at the right edge when it lies beyond the view. Lines up with the waveform it is given,
// like the ruler. While the map is read it says so quietly; without harmony, "no chords". Dragging
// and the wheel move the view as on the ruler. Main thread.
class ChordLane : public QWidget {
    Q_OBJECT
public:
    static constexpr int kHeight = 22;

    ChordLane(model::StudioModel& model, Timeline& timeline, QWidget* alignedWith,
              QWidget* parent = nullptr);

    // The chord at the playhead and the one after it, as drawn ("Am", "G7", "N.C."); empty
    // where there is none.
    QString currentChord() const;
    QString nextChord() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    double axisLeft() const;
    double axisWidth() const;
    // Index of the chord at the playhead, or -1.
    int currentIndex() const;
    QString chordName(int index) const;

    model::StudioModel& m_model;
    Timeline& m_timeline;
    QPointer<QWidget> m_alignedWith;
};

// The song's tempo and key as heard, for the transport bar: "96 bpm (80 %) · A minor → B minor
// (+2)"; hidden until the map arrives. Named mapSummary for tests. Main thread.
class MapSummary : public QLabel {
    Q_OBJECT
public:
    explicit MapSummary(model::StudioModel& model, QWidget* parent = nullptr);

private:
    void sync();
    model::StudioModel& m_model;
};

// The time ruler with the chord lane under it, in one widget for the strips' column.
QWidget* makeRulerWithLanes(model::StudioModel& model, Timeline& timeline, QWidget* alignedWith,
                            QWidget* parent);

}  // namespace corvane::ui
