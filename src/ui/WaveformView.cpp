// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/WaveformView.h"

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <limits>

#include "ui/BeatGrid.h"
#include "ui/Theme.h"
#include "ui/Timeline.h"

namespace corvane::ui {

namespace {
constexpr double kCornerRadius = 6.0;
constexpr double kBackgroundOpacity = 0.12;
constexpr double kBarHeightShare = 0.95;
constexpr double kBarGap = 0.5;
constexpr double kMinBarWidth = 0.5;
constexpr double kMinBarHeight = 1.0;
constexpr double kDimmedOpacity = 0.25;
constexpr double kOpacity = 0.9;
constexpr double kPlayheadWidth = 2.0;
constexpr int kBarsPerRun = 8;

// The pixels an antialiased playhead at `x` touches, with one to spare on each side.
QRect playheadPixels(double x, int height) {
    const int left = static_cast<int>(std::floor(x)) - 1;
    const int right = static_cast<int>(std::ceil(x + kPlayheadWidth)) + 1;
    return QRect(left, 0, right - left, height);
}

// Draws through `draw(layerPainter, opaqueColour)` onto a layer covering `dirty`, then puts the
// layer onto `painter` at `opacity`. Opaque drawing on a layer, made translucent once: Qt 6 hands
// a translucent fill's spans to its GUI thread pool in batches, and for hundreds of thin bars
// those hand-offs cost ten times the drawing.
template <class Draw>
void drawOnLayer(QPainter& painter, const QRect& dirty, double dpr, QColor colour, double opacity,
                 Draw&& draw) {
    const QRect device =
        QRectF(QPointF(dirty.topLeft()) * dpr, QSizeF(dirty.size()) * dpr).toAlignedRect();
    const QPointF origin = QPointF(device.topLeft()) / dpr;
    QImage layer(device.size(), QImage::Format_ARGB32_Premultiplied);
    layer.setDevicePixelRatio(dpr);
    layer.fill(Qt::transparent);
    {
        QPainter onLayer(&layer);
        onLayer.translate(-origin);
        colour.setAlpha(255);
        draw(onLayer, colour);
    }
    painter.setOpacity(opacity);
    painter.drawImage(origin, layer);
    painter.setOpacity(1.0);
}
}  // namespace

WaveformView::WaveformView(model::StudioModel& model, QWidget* parent)
    : QWidget(parent),
      m_model(model),
      m_color(colors::gray),
      m_playheadX(std::numeric_limits<double>::quiet_NaN()) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    connect(&m_model, &model::StudioModel::positionChanged, this, &WaveformView::movePlayhead);
    connect(&m_model, &model::StudioModel::durationChanged, this, qOverload<>(&QWidget::update));
    connect(&m_model, &model::StudioModel::songMapChanged, this, qOverload<>(&QWidget::update));
    connect(&m_model.practice(), &model::PracticeModel::gridChanged, this,
            qOverload<>(&QWidget::update));
}

void WaveformView::setPeaks(std::vector<float> peaks) {
    // The strip hands the peaks over on every strip change; equal ones need no repaint.
    if (peaks == m_peaks) return;
    m_peaks = std::move(peaks);
    update();
}

void WaveformView::setColor(const QColor& color) {
    if (color == m_color) return;
    m_color = color;
    update();
}

void WaveformView::setTimeline(Timeline* timeline, int stem) {
    if (m_timeline) {
        disconnect(m_timeline, nullptr, this, nullptr);
        disconnect(&m_timeline->peakCache(), nullptr, this, nullptr);
    }
    m_timeline = timeline;
    m_stem = stem;
    if (m_timeline) {
        connect(m_timeline, &Timeline::loopShownChanged, this, qOverload<>(&QWidget::update));
        connect(m_timeline, &Timeline::songChanged, this, qOverload<>(&QWidget::update));
        connect(m_timeline, &Timeline::viewChanged, this, qOverload<>(&QWidget::update));
        connect(&m_timeline->peakCache(), &model::PeakCache::tilesArrived, this, [this] {
            if (m_timeline->isZoomed()) update();
        });
    }
    update();
}

void WaveformView::setDimmed(bool dimmed) {
    if (dimmed == m_dimmed) return;
    m_dimmed = dimmed;
    update();
}

double WaveformView::playheadX() const {
    const double duration = m_timeline ? m_timeline->duration() : m_model.duration();
    if (m_peaks.empty() || !(duration > 0.0)) return std::numeric_limits<double>::quiet_NaN();
    if (m_timeline) return m_timeline->xOf(m_model.position(), width()) - 1.0;
    return m_model.position() / duration * width() - 1.0;
}

void WaveformView::movePlayhead() {
    const double x = playheadX();
    if (x == m_playheadX || (std::isnan(x) && std::isnan(m_playheadX))) return;
    if (!std::isnan(m_playheadX)) update(playheadPixels(m_playheadX, height()));
    if (!std::isnan(x)) update(playheadPixels(x, height()));
    m_playheadX = x;
}

void WaveformView::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const double w = width();
    const double h = height();

    QPainterPath frame;
    frame.addRoundedRect(QRectF(0.0, 0.0, w, h), kCornerRadius, kCornerRadius);
    painter.setPen(Qt::NoPen);
    QColor background(Qt::black);
    background.setAlphaF(kBackgroundOpacity);
    painter.fillPath(frame, background);

    m_playheadX = std::numeric_limits<double>::quiet_NaN();
    const std::size_t n = m_peaks.size();
    if (n == 0) return;
    painter.setClipPath(frame);

    // The grid lies under the bars, which stay readable over it.
    if (m_timeline) paintBeatGrid(painter, *m_timeline, shownMap(m_model), palette(), w, h);
    const QRect dirty = event->rect() & rect();
    if (!dirty.isEmpty()) {
        if (m_timeline && m_timeline->isZoomed() && m_stem >= 0)
            paintColumns(painter, dirty);
        else
            paintBars(painter, dirty);
    }

    if (m_timeline) paintLoop(painter, *m_timeline, w, h);

    const double x = playheadX();
    if (!std::isnan(x)) {
        painter.fillRect(QRectF(x, 0.0, kPlayheadWidth, h), primaryText(palette()));
        m_playheadX = x;
    }
}

void WaveformView::paintBars(QPainter& painter, const QRect& dirty) const {
    const std::size_t n = m_peaks.size();
    const double w = width();
    const double h = height();
    // Bar i begins at origin + i * step: the whole song across the view, or the envelope
    // stretched through the zoom (the coarse picture until finer peaks arrive).
    double step = w / static_cast<double>(n);
    double firstX = 0.0;
    if (m_timeline && m_timeline->isZoomed()) {
        const double duration = m_timeline->duration();
        step = duration / static_cast<double>(n) / m_timeline->span() * w;
        firstX = m_timeline->xOf(0.0, w);
    }
    double barWidth = step - kBarGap;
    if (barWidth <= kMinBarWidth) barWidth = kMinBarWidth;
    const double mid = h * 0.5;

    // Only the bars that reach into the dirty area: a playhead tick repaints a few pixels.
    const double from = dirty.left() - 1.0;
    const double to = dirty.right() + 2.0;
    const auto first = static_cast<std::size_t>(
        std::clamp(std::floor((from - firstX - barWidth) / step), 0.0, static_cast<double>(n)));
    const auto last = static_cast<std::size_t>(
        std::clamp(std::ceil((to - firstX) / step) + 1.0, 0.0, static_cast<double>(n)));

    const double dpr = devicePixelRatioF();
    const double opacity = (m_dimmed ? kDimmedOpacity : kOpacity) * m_color.alphaF();
    drawOnLayer(painter, dirty, dpr, m_color, opacity, [&](QPainter& bars, const QColor& opaque) {
        bars.setRenderHint(QPainter::Antialiasing);
        // Qt's rasterizer slows down more than linearly with a path's size, so the envelope is
        // filled in runs of a few bars, split only where neighbours share no device pixel: each
        // pixel then gets exactly the coverage one path of all the bars would give it. Right to
        // left, because each row's cells are kept in a list sorted by x that is searched from
        // its left end.
        QPainterPath run;
        run.setFillRule(Qt::WindingFill);
        int inRun = 0;
        for (std::size_t i = last; i-- > first;) {
            const double x = firstX + static_cast<double>(i) * step;
            if (x < to && x + barWidth > from) {
                double barHeight = m_peaks[i] * h * kBarHeightShare;
                if (!(barHeight >= kMinBarHeight)) barHeight = kMinBarHeight;  // NaN too
                run.addRect(QRectF(x, mid - barHeight / 2.0, barWidth, barHeight));
                ++inRun;
            }
            const double previousEnd = (x - step + barWidth) * dpr;
            if (inRun >= kBarsPerRun && std::ceil(previousEnd) <= std::floor(x * dpr)) {
                bars.fillPath(run, opaque);
                run.clear();
                inRun = 0;
            }
        }
        if (inRun > 0) bars.fillPath(run, opaque);
    });
}

void WaveformView::paintColumns(QPainter& painter, const QRect& dirty) const {
    const double w = width();
    const double h = height();
    const double framesPerPixel = m_timeline->framesPerPixel(w);
    if (!(framesPerPixel > 0.0)) return paintBars(painter, dirty);
    model::PeakCache& cache = m_timeline->peakCache();
    // Pixel x shows the column holding the time at its centre; columns sit on a grid from the
    // song's start, so the same zoom finds the same tiles again after a scroll.
    const double columnAtZero =
        m_timeline->start() * m_timeline->song().sampleRate / framesPerPixel;
    const auto columnAt = [&](int x) {
        return static_cast<std::int64_t>(std::floor(columnAtZero + x + 0.5));
    };
    const std::int64_t tileColumns = model::PeakCache::kTileColumns;
    const auto tileOf = [&](std::int64_t c) { return c >= 0 ? c / tileColumns : -1; };
    // The neighbours first: the worker makes the newest request first, which is what shows.
    const std::int64_t firstTile = tileOf(columnAt(dirty.left()));
    const std::int64_t lastTile = tileOf(columnAt(dirty.right()));
    cache.tile(framesPerPixel, lastTile + 1);
    if (firstTile > 0) cache.tile(framesPerPixel, firstTile - 1);

    const double opacity = (m_dimmed ? kDimmedOpacity : kOpacity) * m_color.alphaF();
    drawOnLayer(
        painter, dirty, devicePixelRatioF(), m_color, opacity,
        [&](QPainter& columns, const QColor& opaque) {
            const double mid = h * 0.5;
            const double half = h * kBarHeightShare * 0.5;  // full scale reaches this far
            const double bins = static_cast<double>(m_peaks.size());
            const double binsPerColumn =
                framesPerPixel / static_cast<double>(m_timeline->song().frames) * bins;
            std::int64_t tileIndex = -2;
            std::shared_ptr<const model::PeakCache::Tile> tile;
            for (int x = dirty.left(); x <= dirty.right(); ++x) {
                const std::int64_t c = columnAt(x);
                if (c < 0) continue;
                if (tileOf(c) != tileIndex) {
                    tileIndex = tileOf(c);
                    tile = cache.tile(framesPerPixel, tileIndex);
                }
                double top = mid;
                double bottom = mid;
                if (tile && static_cast<std::size_t>(m_stem) < tile->columns.size()) {
                    const model::PeakRange r =
                        tile->columns[static_cast<std::size_t>(m_stem)]
                                     [static_cast<std::size_t>(c - tileIndex * tileColumns)];
                    if (r.isEmpty()) continue;  // past the song's end
                    top = mid - static_cast<double>(r.max) * half;
                    bottom = mid - static_cast<double>(r.min) * half;
                } else {
                    // Until the finer peaks come, the envelope bin under the column's centre.
                    const double bin = std::floor((static_cast<double>(c) + 0.5) * binsPerColumn);
                    if (!(bin >= 0.0 && bin < bins)) continue;
                    const double peak = m_peaks[static_cast<std::size_t>(bin)];
                    top = mid - peak * half;
                    bottom = mid + peak * half;
                }
                if (!(bottom - top >= kMinBarHeight)) {  // a silent column still shows; NaN too
                    const double centre = std::isfinite(top + bottom) ? (top + bottom) / 2.0 : mid;
                    top = centre - kMinBarHeight / 2.0;
                    bottom = centre + kMinBarHeight / 2.0;
                }
                columns.fillRect(QRectF(x, top, 1.0, bottom - top), opaque);
            }
        });
}

// Only the primary button seeks: a right or middle click (a context menu, a paste) must not
// restart what plays. With Shift held it marks a loop instead, on the grid unless Alt is held too,
// and does not seek.
void WaveformView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return event->ignore();
    if (m_timeline && (event->modifiers() & Qt::ShiftModifier)) {
        m_draggingLoop = true;
        m_timeline->beginLoopDrag(loopPointAt(*event));
    } else {
        seekTo(event->position().x());
    }
    event->accept();
}

void WaveformView::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton)) return event->ignore();
    if (m_draggingLoop)
        m_timeline->moveLoopDrag(loopPointAt(*event));
    else
        seekTo(event->position().x());
    event->accept();
}

void WaveformView::wheelEvent(QWheelEvent* event) {
    if (!m_timeline) return event->ignore();
    m_timeline->wheel(*event, event->position().x(), width());
    event->accept();
}

void WaveformView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !m_draggingLoop) return event->ignore();
    m_draggingLoop = false;
    m_timeline->moveLoopDrag(loopPointAt(*event));
    m_timeline->endLoopDrag();
    event->accept();
}

double WaveformView::secondsAt(double x) const {
    if (m_timeline) return m_timeline->secondsAt(x, width());
    const double w = width();
    double f = 0.0;
    if (w > 0.0 && x > 0.0) f = x > w ? 1.0 : x / w;
    return f * m_model.duration();
}

double WaveformView::loopPointAt(const QMouseEvent& event) const {
    return m_timeline->loopPointAt(event.position().x(), width(),
                                   event.modifiers().testFlag(Qt::AltModifier));
}

void WaveformView::seekTo(double x) { m_model.seek(secondsAt(x)); }

}  // namespace corvane::ui
