// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>

#include "model/StudioModel.h"

class QLabel;
class QPushButton;
class QSlider;

namespace corvane::ui {

class Timeline;
class WaveformView;

// One mixer strip: the stem's name and what the current method puts in it, its waveform (dimmed
// whenever the stem is not heard: muted, or silenced by another strip's solo), a volume slider
// (0 to 150 %, the level in dB in its tooltip, a double-click back to 100 %) with its percentage,
// solo, mute and an export button, on a rounded background tinted in the stem's colour. Strips
// share the window's height (waveforms 54 to 150 high). Every change is written to the model's
// strip and applied at once. Children are named
// for tests: titleLabel, subtitleLabel, waveform, volumeSlider, volumeLabel, soloButton,
// muteButton, exportButton. Main thread.
class StripView : public QWidget {
    Q_OBJECT
public:
    StripView(model::StudioModel& model, int index, QWidget* parent = nullptr);

    int index() const { return m_index; }
    // The view shared by the strips and the ruler (loop and zoom); see WaveformView.
    void setTimeline(Timeline* timeline);

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Shows the model's strip and peaks; called on every change to either.
    void syncFromModel();
    // Secondary texts follow the palette, so a desktop theme switch keeps them readable.
    void applyPalette();

    model::StudioModel& m_model;
    int m_index;
    QLabel* m_title;
    QLabel* m_subtitle;
    WaveformView* m_waveform;
    QSlider* m_volume;
    QLabel* m_volumeLabel;
    QPushButton* m_solo;
    QPushButton* m_mute;
    QPushButton* m_export;
};

}  // namespace corvane::ui
