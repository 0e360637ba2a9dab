// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QSlider>

#include "model/StudioModel.h"

namespace corvane::ui {

// The transport's position slider. It follows the model's playhead; a drag moves only the slider
// (playback goes on) and seeks once, at release, to where it was let go. A click on the track
// jumps there, like a drag that starts at the click. Range: 0 to max(duration, 0.01) seconds, in
// milliseconds. Arrow keys seek 5 s, Page Up/Down 30 s; the wheel is left to the parent so
// scrolling the window never seeks. Main thread.
class SeekSlider : public QSlider {
    Q_OBJECT
public:
    explicit SeekSlider(model::StudioModel& model, QWidget* parent = nullptr);

    bool dragging() const { return m_dragging; }
    double scrub() const { return m_scrub; }  // seconds, the drag's value

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    void syncFromModel();
    void userChangedValue(int milliseconds);
    // The value whose handle would be centred at `point`, as QSlider maps a drag.
    int valueAt(QPoint point) const;

    model::StudioModel& m_model;
    double m_scrub = 0.0;
    bool m_dragging = false;
};

}  // namespace corvane::ui
