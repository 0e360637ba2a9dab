// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/TransportBar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <algorithm>

#include "ui/ChordLane.h"
#include "ui/SeekSlider.h"
#include "ui/Theme.h"
#include "ui/TimeString.h"

namespace corvane::ui {

namespace {

constexpr QSize kButtonSize{44, 32};
constexpr int kStopIconSize = 18;
// Play and pause share one icon box, so switching them never changes the button's width.
constexpr int kPlayPauseIconSize = 20;
constexpr int kTimeLabelWidth = 44;
constexpr qreal kCornerRadius = 10.0;

QPushButton* makeButton(const QString& objectName, int iconSize, QWidget* parent) {
    auto* button = new QPushButton(parent);
    button->setObjectName(objectName);
    button->setIconSize(QSize(iconSize, iconSize));
    button->setFixedSize(kButtonSize);
    return button;
}

QLabel* makeTimeLabel(const QString& objectName, QWidget* parent) {
    auto* label = new QLabel(timeString(0.0), parent);
    label->setObjectName(objectName);
    label->setFont(monospacedDigits(font(TextStyle::body)));
    label->setAlignment(Qt::AlignCenter);
    // Fixed in both directions: a new text then only repaints the label, it never asks the bar
    // to lay out again (30 times a second during playback).
    // Wide enough for the playhead's tenths in an hour-long song.
    const int width = label->fontMetrics().horizontalAdvance(QStringLiteral("00:00.0")) + 8;
    label->setFixedSize(std::max(kTimeLabelWidth, width), label->sizeHint().height());
    return label;
}

}  // namespace

TransportBar::TransportBar(model::StudioModel& model, QWidget* parent)
    : QWidget(parent),
      m_model(model),
      m_playIcon(themedIcon(QStringLiteral("media-playback-start"))),
      m_pauseIcon(themedIcon(QStringLiteral("media-playback-pause"))),
      m_stop(makeButton(QStringLiteral("stopButton"), kStopIconSize, this)),
      m_playPause(makeButton(QStringLiteral("playPauseButton"), kPlayPauseIconSize, this)),
      m_position(makeTimeLabel(QStringLiteral("positionLabel"), this)),
      m_slider(new SeekSlider(model, this)),
      m_duration(makeTimeLabel(QStringLiteral("durationLabel"), this)) {
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);

    m_stop->setIcon(themedIcon(QStringLiteral("media-playback-stop")));
    m_stop->setToolTip(tr("Stop"));
    m_stop->setAccessibleName(tr("Stop"));
    m_slider->setObjectName(QStringLiteral("seekSlider"));

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(10, 10, 10, 10);
    layout->setSpacing(12);
    layout->addWidget(m_stop, 0, Qt::AlignVCenter);
    layout->addWidget(m_playPause, 0, Qt::AlignVCenter);
    layout->addWidget(m_position, 0, Qt::AlignVCenter);
    layout->addWidget(m_slider, 1, Qt::AlignVCenter);
    layout->addWidget(m_duration, 0, Qt::AlignVCenter);
    layout->addWidget(new MapSummary(m_model, this), 0, Qt::AlignVCenter);

    connect(m_stop, &QPushButton::clicked, &m_model, &model::StudioModel::stop);
    connect(m_playPause, &QPushButton::clicked, this, &TransportBar::togglePlayback);
    connect(&m_model, &model::StudioModel::positionChanged, this, &TransportBar::showPosition);
    connect(&m_model, &model::StudioModel::isPlayingChanged, this, &TransportBar::showPlaying);
    connect(&m_model, &model::StudioModel::durationChanged, this, &TransportBar::syncFromModel);
    syncFromModel();
}

void TransportBar::syncFromModel() {
    showPosition();
    showPlaying();
    m_duration->setText(timeString(m_model.duration()));
}

void TransportBar::showPosition() { m_position->setText(timeStringTenths(m_model.position())); }

void TransportBar::showPlaying() {
    const bool playing = m_model.isPlaying();
    m_playPause->setIcon(playing ? m_pauseIcon : m_playIcon);
    const QString action = playing ? tr("Pause") : tr("Play");
    m_playPause->setToolTip(tr("%1 (Space)").arg(action));
    m_playPause->setAccessibleName(action);
}

void TransportBar::togglePlayback() {
    if (m_model.isPlaying())
        m_model.pause();
    else
        m_model.play();
}

void TransportBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(quaternaryFill(palette()));
    painter.drawRoundedRect(QRectF(rect()), kCornerRadius, kCornerRadius);
}

}  // namespace corvane::ui
