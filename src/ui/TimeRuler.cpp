// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/TimeRuler.h"

#include <QEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>
#include <array>
#include <cmath>

#include "ui/BeatGrid.h"
#include "ui/Theme.h"
#include "ui/TimeString.h"
#include "ui/Timeline.h"

namespace corvane::ui {

namespace {

struct Step {
    double seconds;
    int minorPerMajor;
};
constexpr std::array<Step, 16> kSteps = {{{0.1, 5},
                                          {0.2, 4},
                                          {0.5, 5},
                                          {1.0, 5},
                                          {2.0, 4},
                                          {5.0, 5},
                                          {10.0, 5},
                                          {15.0, 3},
                                          {30.0, 3},
                                          {60.0, 4},
                                          {120.0, 4},
                                          {300.0, 5},
                                          {600.0, 5},
                                          {900.0, 3},
                                          {1800.0, 3},
                                          {3600.0, 4}}};
constexpr double kMajorTick = 7.0;
constexpr double kMinorTick = 3.0;

double labelStep(double span, double width, double minSpacing) {
    if (!(span > 0.0) || !(width > 0.0)) return kSteps.back().seconds;
    for (const Step& s : kSteps)
        if (s.seconds / span * width >= minSpacing) return s.seconds;
    return kSteps.back().seconds;
}

// "m:ss" for whole seconds, "m:ss.d" for tenths; from whole tenths, so 0.3 is never 0:00.2.
QString label(double seconds, bool tenths) {
    const long long t = std::llround(seconds * 10.0);
    if (!tenths) return timeString(static_cast<double>(t / 10));
    return timeString(static_cast<double>(t / 10)) + QLatin1Char('.') + QString::number(t % 10);
}

}  // namespace

std::vector<RulerTick> rulerTicks(double start, double span, double width, double minSpacing) {
    std::vector<RulerTick> ticks;
    if (!(span > 0.0) || !(width > 0.0)) return ticks;
    const double step = labelStep(span, width, minSpacing);
    const auto first = static_cast<long long>(std::ceil(start / step - 1e-9));
    const auto last = static_cast<long long>(std::floor((start + span) / step + 1e-9));
    for (long long k = first; k <= last; ++k) {
        const double t = static_cast<double>(k) * step;
        ticks.push_back({t, label(t, step < 1.0)});
    }
    return ticks;
}

double minorTickStep(double step) {
    for (const Step& s : kSteps)
        if (s.seconds == step) return step / s.minorPerMajor;
    return step;
}

TimeRuler::TimeRuler(model::StudioModel& model, Timeline& timeline, QWidget* alignedWith,
                     QWidget* parent)
    : QWidget(parent), m_model(model), m_timeline(timeline), m_alignedWith(alignedWith) {
    setObjectName(QStringLiteral("timeRuler"));
    setFixedHeight(kHeight);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAccessibleName(QStringLiteral("Time ruler"));
    setToolTip(QStringLiteral(
        "Drag or wheel to scroll, Ctrl+wheel to zoom (Ctrl++, Ctrl+-, Ctrl+0 for the whole "
        "song); Shift+drag sets a loop on the beats (Shift+Alt+drag freely), a double-click "
        "loops that bar, or that section on its tag; M adds a marker"));
    connect(&m_timeline, &Timeline::viewChanged, this, qOverload<>(&QWidget::update));
    connect(&m_timeline, &Timeline::songChanged, this, qOverload<>(&QWidget::update));
    connect(&m_timeline, &Timeline::loopShownChanged, this, qOverload<>(&QWidget::update));
    connect(&m_model, &model::StudioModel::positionChanged, this, qOverload<>(&QWidget::update));
    connect(&m_model, &model::StudioModel::songMapChanged, this, qOverload<>(&QWidget::update));
    connect(&m_model.practice(), &model::PracticeModel::markersChanged, this,
            qOverload<>(&QWidget::update));
    connect(&m_model.practice(), &model::PracticeModel::gridChanged, this,
            qOverload<>(&QWidget::update));
    if (m_alignedWith) m_alignedWith->installEventFilter(this);
}

bool TimeRuler::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_alignedWith &&
        (event->type() == QEvent::Resize || event->type() == QEvent::Move))
        update();
    return QWidget::eventFilter(watched, event);
}

double TimeRuler::axisLeft() const {
    if (!m_alignedWith || !window()) return 0.0;
    const QPoint there = m_alignedWith->mapTo(window(), QPoint(0, 0));
    return mapFrom(window(), there).x();
}

double TimeRuler::axisWidth() const { return m_alignedWith ? m_alignedWith->width() : width(); }

std::vector<RulerTick> TimeRuler::ticks() const {
    if (!(m_timeline.duration() > 0.0)) return {};
    return rulerTicks(m_timeline.start(), m_timeline.span(), axisWidth(), kMinLabelSpacing);
}

void TimeRuler::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const double left = axisLeft(), w = axisWidth(), h = height();
    painter.translate(left, 0.0);
    painter.fillRect(QRectF(0.0, 0.0, w, h), quaternaryFill(palette()));
    if (!(m_timeline.duration() > 0.0)) return;
    painter.setClipRect(QRectF(0.0, 0.0, w, h));
    paintLoop(painter, m_timeline, w, h);

    const QColor ink = secondaryText(palette());
    const std::vector<RulerTick> majors = ticks();
    const double start = m_timeline.start(), end = start + m_timeline.span();
    {
        const double step = labelStep(m_timeline.span(), w, kMinLabelSpacing);
        const double minor = minorTickStep(step);
        const auto first = static_cast<long long>(std::ceil(start / minor - 1e-9));
        const auto last = static_cast<long long>(std::floor(end / minor + 1e-9));
        for (long long k = first; k <= last; ++k) {
            const double x = std::round(m_timeline.xOf(static_cast<double>(k) * minor, w));
            painter.fillRect(QRectF(x, 0.0, 1.0, kMinorTick), ink);
        }
    }
    painter.setFont(ui::font(TextStyle::caption2));
    painter.setPen(ink);
    for (const RulerTick& tick : majors) {
        const double x = std::round(m_timeline.xOf(tick.seconds, w));
        painter.fillRect(QRectF(x, 0.0, 1.0, kMajorTick), ink);
        // A label that would run past the right edge goes to the left of its tick instead.
        const double textWidth = painter.fontMetrics().horizontalAdvance(tick.label);
        const bool flip = x + 3.0 + textWidth > w;
        painter.drawText(QRectF(flip ? x - 3.0 - kMinLabelSpacing : x + 3.0, kMinorTick,
                                kMinLabelSpacing, kScaleHeight - kMinorTick),
                         (flip ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter, tick.label);
    }
    paintRulerMap(painter, m_timeline, shownMap(m_model), palette(), w, kScaleHeight,
                  kMapBandHeight);
    paintMarkers(painter, w);
    const double playhead = m_timeline.xOf(m_model.position(), w);
    painter.fillRect(QRectF(playhead - 1.0, 0.0, 2.0, h), primaryText(palette()));
}

void TimeRuler::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return event->ignore();
    const double x = event->position().x() - axisLeft();
    if (event->modifiers() & Qt::ShiftModifier) {
        m_drag = Drag::loop;
        m_timeline.beginLoopDrag(loopPointAt(*event));
    } else {
        m_drag = Drag::scroll;
        m_pressX = x;
        m_pressStart = m_timeline.start();
    }
    event->accept();
}

void TimeRuler::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton) || m_drag == Drag::none) return event->ignore();
    const double x = event->position().x() - axisLeft();
    if (m_drag == Drag::loop) {
        m_timeline.moveLoopDrag(loopPointAt(*event));
    } else if (axisWidth() > 0.0) {
        // The song follows the pointer, as when dragging a page.
        m_timeline.scrollTo(m_pressStart - (x - m_pressX) / axisWidth() * m_timeline.span());
    }
    event->accept();
}

void TimeRuler::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || m_drag == Drag::none) return event->ignore();
    if (m_drag == Drag::loop) {
        m_timeline.moveLoopDrag(loopPointAt(*event));
        m_timeline.endLoopDrag();
    }
    m_drag = Drag::none;
    event->accept();
}

double TimeRuler::loopPointAt(const QMouseEvent& event) const {
    return m_timeline.loopPointAt(event.position().x() - axisLeft(), axisWidth(),
                                  event.modifiers().testFlag(Qt::AltModifier));
}

void TimeRuler::paintMarkers(QPainter& painter, double width) {
    const double start = m_timeline.start(), end = start + m_timeline.span();
    const QColor flag = colors::accent;
    painter.setFont(ui::font(TextStyle::caption2));
    for (const model::Marker& marker : m_model.practice().markers().all()) {
        // The map's sections already have their tags in the band below.
        if (marker.section || marker.seconds < start || marker.seconds > end) continue;
        const double x = std::round(m_timeline.xOf(marker.seconds, width));
        painter.fillRect(QRectF(x, 0.0, 2.0, kScaleHeight), flag);
        const QString name = QString::fromStdString(marker.name);
        const double textWidth = painter.fontMetrics().horizontalAdvance(name) + 6.0;
        const QRectF tag(x + 2.0, 0.0, textWidth, painter.fontMetrics().height());
        painter.fillRect(tag, flag);
        painter.setPen(Qt::white);
        painter.drawText(tag, Qt::AlignCenter, name);
    }
}

void TimeRuler::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return event->ignore();
    const double x = event->position().x() - axisLeft();
    // A section's line reaches a little above the map band; its tag is in the band.
    const analysis::SongMap* map = shownMap(m_model);
    const std::optional<std::size_t> section =
        event->position().y() >= kScaleHeight - kSectionLineAbove
            ? sectionMarkerAt(m_timeline, map, axisWidth(), x)
            : std::nullopt;
    if (section) {
        // To the next section's start, or the song's end after the last.
        const std::size_t next = *section + 1;
        m_model.setLoop(map->sections[*section].start, next < map->sections.size()
                                                           ? map->sections[next].start
                                                           : m_model.duration());
    } else if (const auto bar = model::barLoop(m_model.practice().beats(),
                                               m_timeline.secondsAt(x, axisWidth()))) {
        m_model.setLoop(bar->start, bar->end);
    }
    event->accept();
}

void TimeRuler::wheelEvent(QWheelEvent* event) {
    m_timeline.wheel(*event, event->position().x() - axisLeft(), axisWidth());
    event->accept();
}

}  // namespace corvane::ui
