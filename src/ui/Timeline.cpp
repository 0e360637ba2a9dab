// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/Timeline.h"

#include <QPainter>
#include <algorithm>

#include "ui/Theme.h"

namespace corvane::ui {

namespace {
constexpr double kLoopOpacity = 0.18;
constexpr double kLoopOffOpacity = 0.07;
constexpr double kLoopEdgeOpacity = 0.85;
constexpr double kLoopOffEdgeOpacity = 0.3;
constexpr double kLoopEdgeWidth = 1.0;
}  // namespace

Timeline::Timeline(model::StudioModel& model, QObject* parent) : QObject(parent), m_model(model) {
    // Peaks are published with every new set of stems (a load or a new separation).
    connect(&m_model, &model::StudioModel::peaksChanged, this, &Timeline::followModel);
    connect(&m_model, &model::StudioModel::durationChanged, this, &Timeline::followModel);
    connect(&m_model, &model::StudioModel::loopChanged, this, &Timeline::loopShownChanged);
    followModel();
}

void Timeline::followModel() {
    model::Song song;
    song.stems = m_model.stems();
    song.sampleRate = m_model.sampleRate();
    song.frames = m_model.totalFrames();
    const bool same = song.stems == m_song.stems && song.frames == m_song.frames &&
                      song.sampleRate == m_song.sampleRate && m_duration == m_model.duration();
    if (!same) setSong(song);
}

void Timeline::setSong(const model::Song& song) {
    m_song = song;
    m_duration = song.frames > 0 && song.sampleRate > 0.0 ? song.seconds(song.frames) : 0.0;
    m_draft.reset();
    emit songChanged();
    emit loopShownChanged();
}

double Timeline::secondsAt(double x, double width) const {
    double f = 0.0;
    if (width > 0.0 && x > 0.0) f = x > width ? 1.0 : x / width;
    return f * m_duration;
}

double Timeline::xOf(double seconds, double width) const {
    return m_duration > 0.0 ? seconds / m_duration * width : 0.0;
}

std::optional<Timeline::ShownLoop> Timeline::shownLoop() const {
    if (m_draft)
        return ShownLoop{std::min(m_draft->first, m_draft->second),
                         std::max(m_draft->first, m_draft->second), true};
    const model::LoopRegion loop = m_model.loop();
    if (!loop.isSet()) return std::nullopt;
    return ShownLoop{loop.start, loop.end, loop.enabled};
}

void Timeline::beginLoopDrag(double seconds) {
    m_draft = std::pair{seconds, seconds};
    emit loopShownChanged();
}

void Timeline::moveLoopDrag(double seconds) {
    if (!m_draft) return;
    m_draft->second = seconds;
    emit loopShownChanged();
}

void Timeline::endLoopDrag() {
    if (!m_draft) return;
    const auto [a, b] = *m_draft;
    m_draft.reset();
    m_model.setLoop(a, b);  // emits loopChanged, which repaints with the model's region
    emit loopShownChanged();
}

void paintLoop(QPainter& painter, const Timeline& timeline, double width, double height) {
    const std::optional<Timeline::ShownLoop> loop = timeline.shownLoop();
    if (!loop) return;
    const double a = timeline.xOf(loop->start, width);
    const double b = timeline.xOf(loop->end, width);
    if (b < 0.0 || a > width) return;
    QColor fill = colors::accent;
    fill.setAlphaF(static_cast<float>(loop->enabled ? kLoopOpacity : kLoopOffOpacity));
    painter.fillRect(QRectF(a, 0.0, b - a, height), fill);
    QColor edge = colors::accent;
    edge.setAlphaF(static_cast<float>(loop->enabled ? kLoopEdgeOpacity : kLoopOffEdgeOpacity));
    painter.fillRect(QRectF(a - kLoopEdgeWidth / 2, 0.0, kLoopEdgeWidth, height), edge);
    painter.fillRect(QRectF(b - kLoopEdgeWidth / 2, 0.0, kLoopEdgeWidth, height), edge);
}

}  // namespace corvane::ui
