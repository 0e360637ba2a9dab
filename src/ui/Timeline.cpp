// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/Timeline.h"

#include <QPainter>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

#include "model/BeatGrid.h"
#include "ui/BeatGrid.h"
#include "ui/Theme.h"

namespace corvane::ui {

namespace {
constexpr double kLoopOpacity = 0.18;
constexpr double kLoopOffOpacity = 0.07;
constexpr double kLoopEdgeOpacity = 0.85;
constexpr double kLoopOffEdgeOpacity = 0.3;
constexpr double kLoopEdgeWidth = 1.0;
constexpr int kWheelNotch = 120;         // eighths of a degree per notch
constexpr double kScrollPerNotch = 0.1;  // of the view's span
}  // namespace

Timeline::Timeline(model::StudioModel& model, QObject* parent) : QObject(parent), m_model(model) {
    // Peaks are published with every new set of stems (a load or a new separation).
    connect(&m_model, &model::StudioModel::peaksChanged, this, &Timeline::followModel);
    connect(&m_model, &model::StudioModel::durationChanged, this, &Timeline::followModel);
    connect(&m_model, &model::StudioModel::loopChanged, this, &Timeline::loopShownChanged);
    connect(&m_model, &model::StudioModel::positionChanged, this, &Timeline::followPlayhead);
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
    const double duration =
        song.frames > 0 && song.sampleRate > 0.0 ? song.seconds(song.frames) : 0.0;
    // New stems for the same song (the other method) keep the view; another song starts whole.
    if (duration != m_duration) {
        m_level = 0;
        m_start = 0.0;
    }
    m_duration = duration;
    m_draft.reset();
    m_peakCache.setSong(song);
    emit songChanged();
    emit viewChanged();
    emit loopShownChanged();
}

int Timeline::maxLevel() const {
    if (!(m_duration > kMinSpanSeconds)) return 0;
    return static_cast<int>(std::ceil(kLevelsPerOctave * std::log2(m_duration / kMinSpanSeconds)));
}

double Timeline::span() const {
    if (m_level == 0) return m_duration;
    const double zoomed = m_duration * std::exp2(-static_cast<double>(m_level) / kLevelsPerOctave);
    return std::max(zoomed, std::min(m_duration, kMinSpanSeconds));
}

double Timeline::framesPerPixel(double width) const {
    return width > 0.0 ? span() * m_song.sampleRate / width : 0.0;
}

void Timeline::setView(int level, double start) {
    level = std::clamp(level, 0, maxLevel());
    const int oldLevel = m_level;
    m_level = level;
    const double room = std::max(m_duration - span(), 0.0);
    start = std::clamp(std::isfinite(start) ? start : 0.0, 0.0, room);
    if (level == 0) start = 0.0;
    if (level == oldLevel && start == m_start) return;
    m_start = start;
    emit viewChanged();
}

void Timeline::zoomBy(int levels, double anchorFraction) {
    const double f = std::clamp(anchorFraction, 0.0, 1.0);
    const double anchor = m_start + f * span();
    const int level = std::clamp(m_level + levels, 0, maxLevel());
    const int old = m_level;
    m_level = level;  // span() of the new level
    const double start = anchor - f * span();
    m_level = old;
    setView(level, start);
}

void Timeline::zoomAboutPlayhead(int levels) {
    const double f = (m_model.position() - m_start) / span();
    zoomBy(levels, f >= 0.0 && f <= 1.0 ? f : 0.5);
}

void Timeline::reset() { setView(0, 0.0); }

void Timeline::scrollBy(double seconds) { setView(m_level, m_start + seconds); }

void Timeline::scrollTo(double start) { setView(m_level, start); }

void Timeline::wheel(const QWheelEvent& event, double x, double width) {
    const QPoint delta = event.angleDelta();
    if (event.modifiers() & Qt::ControlModifier) {
        // Touchpads send small deltas: they add up to whole levels.
        m_wheelRemainder += delta.y() != 0 ? delta.y() : delta.x();
        const int levels = m_wheelRemainder / kWheelNotch;
        m_wheelRemainder -= levels * kWheelNotch;
        if (levels != 0 && width > 0.0) zoomBy(levels, x / width);
        return;
    }
    // Down or right is later; a vertical wheel is the common one.
    const int notches = delta.x() != 0 && delta.y() == 0 ? -delta.x() : -delta.y();
    scrollBy(static_cast<double>(notches) / kWheelNotch * kScrollPerNotch * span());
}

void Timeline::followPlayhead() {
    const double position = m_model.position();
    const double end = m_start + span();
    // Only a playhead that was in view and left it turns the page (playing past the end, a loop
    // going back to its start, a seek key): a view scrolled away on purpose stays.
    if (m_level > 0 && m_lastPosition >= m_start && m_lastPosition < end &&
        (position > end || position < m_start))
        scrollTo(position);
    m_lastPosition = position;
}

double Timeline::secondsAt(double x, double width) const {
    double f = 0.0;
    if (width > 0.0 && x > 0.0) f = x > width ? 1.0 : x / width;
    if (m_level == 0) return f * m_duration;
    return std::clamp(m_start + f * span(), 0.0, m_duration);
}

double Timeline::xOf(double seconds, double width) const {
    if (!(m_duration > 0.0)) return 0.0;
    if (m_level == 0) return seconds / m_duration * width;
    return (seconds - m_start) / span() * width;
}

double Timeline::loopPointAt(double x, double width, bool free) const {
    const double seconds = secondsAt(x, width);
    const analysis::SongMap& map = m_model.practice().griddedMap();
    const std::vector<analysis::Beat>& beats = map.beats;
    if (free || beats.size() < 2 || !(width > 0.0) || !(span() > 0.0)) return seconds;
    // The beat's length where the pointer is: a map's tempo may drift through the song.
    const auto after =
        std::lower_bound(beats.begin(), beats.end(), seconds,
                         [](const analysis::Beat& b, double t) { return b.time < t; });
    const auto i = std::clamp<std::ptrdiff_t>(after - beats.begin(), 1,
                                              static_cast<std::ptrdiff_t>(beats.size()) - 1);
    const double beat =
        beats[static_cast<std::size_t>(i)].time - beats[static_cast<std::size_t>(i - 1)].time;
    const bool bars = beat / span() * width < kMinGridSpacing;  // as the beat lines show
    const double snapped =
        bars ? model::snapToBar(beats, seconds) : model::snapToBeat(beats, seconds);
    const double step = bars ? beat * std::max(map.beatsPerBar, 1) : beat;
    return std::abs(snapped - seconds) <= step ? snapped : seconds;
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
