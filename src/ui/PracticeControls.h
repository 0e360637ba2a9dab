// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDialog>
#include <QLabel>
#include <QWidget>

#include "model/StudioModel.h"

class QCheckBox;
class QDoubleSpinBox;
class QPushButton;
class QSlider;
class QSpinBox;

namespace corvane::ui {

// The click's switch and level beside the transport. Children named for tests: clickButton,
// clickVolumeSlider. Main thread.
class ClickControls : public QWidget {
    Q_OBJECT
public:
    ClickControls(model::StudioModel& model, QWidget* parent);

private:
    void sync();

    model::StudioModel& m_model;
    QPushButton* m_click = nullptr;
    QSlider* m_volume = nullptr;
};

// The speed trainer's tempo for the loop's pass now, shown only while the trainer is on
// ("trainerLabel"). Main thread.
class TrainerLabel : public QLabel {
    Q_OBJECT
public:
    TrainerLabel(model::StudioModel& model, QWidget* parent);

private:
    void sync();

    model::StudioModel& m_model;
};

// The speed trainer's plan and its switch ("Speed Trainer…"); OK applies both. Main thread.
class SpeedTrainerDialog : public QDialog {
    Q_OBJECT
public:
    SpeedTrainerDialog(model::PracticeModel& practice, QWidget* parent);

private:
    void apply();

    model::PracticeModel& m_practice;
    QCheckBox* m_on = nullptr;
    QDoubleSpinBox* m_start = nullptr;
    QDoubleSpinBox* m_step = nullptr;
    QSpinBox* m_passes = nullptr;
    QDoubleSpinBox* m_target = nullptr;
    QCheckBox* m_stop = nullptr;
};

}  // namespace corvane::ui
