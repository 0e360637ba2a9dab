// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/PracticeControls.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <cmath>

#include "ui/Theme.h"

namespace corvane::ui {

namespace {
constexpr int kMaxClickPercent = 200;  // the click's level goes to 2 (linear)
}

ClickControls::ClickControls(model::StudioModel& model, QWidget* parent)
    : QWidget(parent), m_model(model) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(4);
    m_click = new QPushButton(QStringLiteral("Click"), this);
    m_click->setObjectName(QStringLiteral("clickButton"));
    m_click->setCheckable(true);
    m_click->setAccessibleName(QStringLiteral("Click"));
    m_click->setToolTip(QStringLiteral("Metronome click on the song's beats, on or off (C)"));
    // Only as wide as its word: the row beside the tempo and pitch is full at the smallest window.
    m_click->setFixedWidth(m_click->fontMetrics().horizontalAdvance(m_click->text()) + 24);
    connect(m_click, &QPushButton::clicked, this, [this] { m_model.practice().toggleClick(); });
    row->addWidget(m_click);
    m_volume = new QSlider(Qt::Horizontal, this);
    m_volume->setObjectName(QStringLiteral("clickVolumeSlider"));
    m_volume->setRange(0, kMaxClickPercent);
    m_volume->setFixedWidth(64);
    m_volume->setAccessibleName(QStringLiteral("Click volume"));
    connect(m_volume, &QSlider::valueChanged, this, [this](int percent) {
        const float volume = static_cast<float>(percent) / 100.0f;
        if (volume != m_model.practice().clickVolume()) m_model.practice().setClickVolume(volume);
    });
    row->addWidget(m_volume);
    connect(&m_model.practice(), &model::PracticeModel::clickChanged, this, &ClickControls::sync);
    sync();
}

void ClickControls::sync() {
    const model::PracticeModel& practice = m_model.practice();
    m_click->setChecked(!practice.clickMuted());
    const int percent = static_cast<int>(std::lround(practice.clickVolume() * 100.0f));
    if (m_volume->value() != percent) m_volume->setValue(percent);
    m_volume->setToolTip(
        QStringLiteral("Click volume, %1 % (C turns the click on or off)").arg(percent));
}

TrainerLabel::TrainerLabel(model::StudioModel& model, QWidget* parent)
    : QLabel(parent), m_model(model) {
    setObjectName(QStringLiteral("trainerLabel"));
    setAccessibleName(QStringLiteral("Speed trainer tempo"));
    setToolTip(QStringLiteral("The speed trainer's tempo for this pass of the loop (Ctrl+T)"));
    setFont(monospacedDigits(font()));
    connect(&m_model.practice(), &model::PracticeModel::trainerChanged, this, &TrainerLabel::sync);
    connect(&m_model, &model::StudioModel::stretchChanged, this, &TrainerLabel::sync);
    sync();
}

void TrainerLabel::sync() {
    const model::PracticeModel& practice = m_model.practice();
    setVisible(practice.trainerOn());
    const long percent = std::lround(m_model.stretch().tempo * 100.0);
    const long target = std::lround(practice.trainerSettings().targetPercent);
    setText(practice.trainerFinished()
                ? QStringLiteral("Trainer done at %1 %").arg(percent)
                : QStringLiteral("Trainer %1 % → %2 %").arg(percent).arg(target));
}

SpeedTrainerDialog::SpeedTrainerDialog(model::PracticeModel& practice, QWidget* parent)
    : QDialog(parent), m_practice(practice) {
    setObjectName(QStringLiteral("speedTrainerDialog"));
    setWindowTitle(QStringLiteral("Speed Trainer"));
    const model::SpeedTrainerSettings& now = practice.trainerSettings();
    auto* form = new QFormLayout(this);
    const auto percentBox = [this](double value, double low) {
        auto* box = new QDoubleSpinBox(this);
        box->setRange(low, model::SpeedTrainer::kMaxPercent);
        box->setDecimals(0);
        box->setSuffix(QStringLiteral(" %"));
        box->setValue(value);
        return box;
    };
    m_on = new QCheckBox(QStringLiteral("Speed trainer on"), this);
    m_on->setChecked(practice.trainerOn());
    form->addRow(m_on);
    m_start = percentBox(now.startPercent, model::SpeedTrainer::kMinPercent);
    form->addRow(QStringLiteral("Start at"), m_start);
    m_step = percentBox(now.stepPercent, -model::SpeedTrainer::kMaxPercent);
    form->addRow(QStringLiteral("Step"), m_step);
    m_passes = new QSpinBox(this);
    m_passes->setRange(1, 99);
    m_passes->setValue(now.passesPerStep);
    m_passes->setSuffix(QStringLiteral(" passes"));
    form->addRow(QStringLiteral("Every"), m_passes);
    m_target = percentBox(now.targetPercent, model::SpeedTrainer::kMinPercent);
    form->addRow(QStringLiteral("Up to"), m_target);
    m_stop = new QCheckBox(QStringLiteral("Stop at the target (else keep looping there)"), this);
    m_stop->setChecked(now.stopAtTarget);
    form->addRow(m_stop);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &SpeedTrainerDialog::apply);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    form->addRow(buttons);
}

void SpeedTrainerDialog::apply() {
    model::SpeedTrainerSettings settings;
    settings.startPercent = m_start->value();
    settings.stepPercent = m_step->value();
    settings.passesPerStep = m_passes->value();
    settings.targetPercent = m_target->value();
    settings.stopAtTarget = m_stop->isChecked();
    if (settings != m_practice.trainerSettings()) m_practice.setTrainerSettings(settings);
    if (m_on->isChecked() != m_practice.trainerOn()) m_practice.setTrainerOn(m_on->isChecked());
    accept();
}

}  // namespace corvane::ui
