// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/StretchControls.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <cmath>

#include "ui/Theme.h"

namespace corvane::ui {

namespace {

constexpr int kTempoStep = 5;  // per cent
constexpr int kSliderWidth = 110;

QSlider* makeSlider(const QString& name, int min, int max, int step, const QString& accessible,
                    const QString& toolTip, QWidget* parent) {
    auto* slider = new QSlider(Qt::Horizontal, parent);
    slider->setObjectName(name);
    slider->setRange(min, max);
    slider->setSingleStep(step);
    slider->setPageStep(step);
    slider->setFixedWidth(kSliderWidth);
    slider->setAccessibleName(accessible);
    slider->setToolTip(toolTip);
    return slider;
}

QLabel* makeValueLabel(const QString& name, const QString& widest, QWidget* parent) {
    auto* label = new QLabel(widest, parent);
    label->setObjectName(name);
    label->setFont(monospacedDigits(font(TextStyle::caption)));
    label->setFixedWidth(label->sizeHint().width());
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return label;
}

}  // namespace

StretchControls::StretchControls(model::StudioModel& model, QWidget* parent)
    : QWidget(parent),
      m_model(model),
      m_tempo(makeSlider(QStringLiteral("tempoSlider"), 50, 150, kTempoStep, tr("Tempo"),
                         tr("Tempo, pitch kept ([ slower, ] faster; with Shift by 1 %)"), this)),
      m_tempoLabel(makeValueLabel(QStringLiteral("tempoLabel"), QStringLiteral("150 %"), this)),
      m_pitch(makeSlider(QStringLiteral("pitchSlider"), -12, 12, 1, tr("Pitch"),
                         tr("Pitch in semitones, tempo kept (- lower, = higher)"), this)),
      m_pitchLabel(makeValueLabel(QStringLiteral("pitchLabel"), QStringLiteral("+12 st"), this)),
      m_reset(new QPushButton(tr("Reset"), this)) {
    m_reset->setObjectName(QStringLiteral("resetStretchButton"));
    m_reset->setAccessibleName(tr("Reset tempo and pitch"));
    m_reset->setToolTip(tr("Back to 100 % tempo and the original pitch (0)"));

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* tempoName = new QLabel(tr("Tempo"), this);
    auto* pitchName = new QLabel(tr("Pitch"), this);
    for (QLabel* label : {tempoName, pitchName}) setSecondaryText(label, palette());
    layout->addWidget(tempoName);
    layout->addWidget(m_tempo);
    layout->addWidget(m_tempoLabel);
    layout->addSpacing(12);
    layout->addWidget(pitchName);
    layout->addWidget(m_pitch);
    layout->addWidget(m_pitchLabel);
    layout->addWidget(m_reset);

    // Snapped to whole steps, so a drag lands where the keys would.
    connect(m_tempo, &QSlider::valueChanged, this, [this](int value) {
        setTempoPercent(static_cast<int>(std::lround(value / double{kTempoStep})) * kTempoStep);
    });
    connect(m_pitch, &QSlider::valueChanged, this, &StretchControls::setSemitones);
    connect(m_reset, &QPushButton::clicked, this, [this] { m_model.setStretch({}); });
    connect(&m_model, &model::StudioModel::stretchChanged, this, &StretchControls::syncFromModel);
    syncFromModel();
}

void StretchControls::setTempoPercent(int percent) {
    playback::Stretch s = m_model.stretch();
    s.tempo = std::clamp(percent, 50, 150) / 100.0;
    if (s != m_model.stretch()) m_model.setStretch(s);
}

void StretchControls::setSemitones(int semitones) {
    playback::Stretch s = m_model.stretch();
    s.semitones = std::clamp(semitones, -12, 12);
    if (s != m_model.stretch()) m_model.setStretch(s);
}

void StretchControls::syncFromModel() {
    const playback::Stretch s = m_model.stretch();
    const int percent = static_cast<int>(std::lround(s.tempo * 100));
    const int semitones = static_cast<int>(std::lround(s.semitones));
    const QSignalBlocker tempoQuiet(m_tempo);
    const QSignalBlocker pitchQuiet(m_pitch);
    m_tempo->setValue(percent);
    m_pitch->setValue(semitones);
    m_tempoLabel->setText(QStringLiteral("%1 %").arg(percent));
    m_pitchLabel->setText(semitones > 0 ? QStringLiteral("+%1 st").arg(semitones)
                                        : QStringLiteral("%1 st").arg(semitones));
    m_reset->setEnabled(!s.isIdentity());
}

}  // namespace corvane::ui
