// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QIcon>
#include <QWidget>

#include "model/StudioModel.h"

class QLabel;
class QPushButton;

namespace corvane::ui {

class SeekSlider;

// Stop, play/pause (Space), the playhead time, the seek slider and the song's length, on a faint
// rounded background. Space toggles play and pause while the bar is shown, whatever has focus.
// Children are named for tests: stopButton, playPauseButton, positionLabel, seekSlider,
// durationLabel. A playhead tick touches only the position label and the slider, both of fixed
// size, so it costs a small repaint and no relayout. Main thread.
class TransportBar : public QWidget {
    Q_OBJECT
public:
    explicit TransportBar(model::StudioModel& model, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void syncFromModel();
    void showPosition();
    void showPlaying();
    void togglePlayback();

    model::StudioModel& m_model;
    QIcon m_playIcon;
    QIcon m_pauseIcon;
    QPushButton* m_stop;
    QPushButton* m_playPause;
    QLabel* m_position;
    SeekSlider* m_slider;
    QLabel* m_duration;
};

}  // namespace corvane::ui
