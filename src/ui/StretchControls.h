// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>

#include "model/StudioModel.h"

class QLabel;
class QPushButton;
class QSlider;

namespace corvane::ui {

// Tempo (50 to 150 % in steps of 5, pitch kept) and pitch (-12 to +12 semitones, tempo kept) of
// what plays, with a reset to 100 % and 0. Keys, window-wide while shown: [ and ] tempo -/+ 5 %,
// - and = pitch -/+ 1 semitone. Children are named for tests: tempoSlider, tempoLabel,
// pitchSlider, pitchLabel, resetStretchButton. Main thread.
class StretchControls : public QWidget {
    Q_OBJECT
public:
    explicit StretchControls(model::StudioModel& model, QWidget* parent = nullptr);

private:
    void syncFromModel();
    void setTempoPercent(int percent);
    void setSemitones(int semitones);

    model::StudioModel& m_model;
    QSlider* m_tempo;
    QLabel* m_tempoLabel;
    QSlider* m_pitch;
    QLabel* m_pitchLabel;
    QPushButton* m_reset;
};

}  // namespace corvane::ui
