// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/SeekSlider.h"

#include <QMouseEvent>
#include <QSignalBlocker>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QWheelEvent>
#include <algorithm>
#include <climits>
#include <cmath>

namespace corvane::ui {

namespace {

// A slider needs some range to draw a handle; a song-less model still gets one at the start.
constexpr double kMinimumRangeSeconds = 0.01;

int toMilliseconds(double seconds) {
    if (!(seconds > 0.0)) return 0;  // negative and NaN
    const double ms = std::round(seconds * 1000.0);
    return ms >= static_cast<double>(INT_MAX) ? INT_MAX : static_cast<int>(ms);
}

}  // namespace

SeekSlider::SeekSlider(model::StudioModel& model, QWidget* parent)
    : QSlider(Qt::Horizontal, parent), m_model(model) {
    setTracking(true);
    setSingleStep(5000);
    setPageStep(30000);
    setAccessibleName(tr("Playback position"));
    setToolTip(tr("Playback position (Left and Right seek 5 s, Home to the start)"));

    connect(this, &QAbstractSlider::sliderPressed, this, [this] {
        m_scrub = m_model.position();
        m_dragging = true;
    });
    connect(this, &QAbstractSlider::sliderReleased, this, [this] {
        m_dragging = false;
        m_model.seek(m_scrub);
    });
    // Model syncs run with signals blocked, so everything arriving here is the user's.
    connect(this, &QAbstractSlider::valueChanged, this, &SeekSlider::userChangedValue);

    connect(&m_model, &model::StudioModel::positionChanged, this, &SeekSlider::syncFromModel);
    connect(&m_model, &model::StudioModel::durationChanged, this, &SeekSlider::syncFromModel);
    syncFromModel();
}

void SeekSlider::syncFromModel() {
    const QSignalBlocker blocker(this);
    setRange(0, toMilliseconds(std::max(m_model.duration(), kMinimumRangeSeconds)));
    // While dragging the thumb shows the scrub; the label next to it keeps the real playhead.
    if (!m_dragging) setValue(toMilliseconds(m_model.position()));
}

void SeekSlider::userChangedValue(int milliseconds) {
    m_scrub = milliseconds / 1000.0;
    if (m_dragging) return;
    // Keys move the value without a press: seek at once, or the next tick would snap it back.
    // Without a song the seek does nothing, and the thumb goes back to where the model is.
    m_model.seek(m_scrub);
    syncFromModel();
}

void SeekSlider::mousePressEvent(QMouseEvent* event) {
    QStyleOptionSlider opt;
    initStyleOption(&opt);
    const QRect handle =
        style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle, this);
    const QPoint point = event->position().toPoint();
    const bool jump = (event->button() == Qt::LeftButton || event->button() == Qt::MiddleButton) &&
                      event->buttons() == event->button() && !handle.contains(point);
    if (!jump) {
        QSlider::mousePressEvent(event);
        return;
    }
    // A media seek bar jumps to a click instead of paging. Put the handle under the pointer
    // first (silently: nothing is seeked yet), so QSlider takes the press as grabbing the handle;
    // the release then seeks once, to the click or to wherever the drag went from there.
    const int value = valueAt(point);
    {
        const QSignalBlocker blocker(this);
        setValue(value);
    }
    QSlider::mousePressEvent(event);
    if (m_dragging)
        m_scrub = value / 1000.0;
    else
        syncFromModel();  // the style did not hand over the handle: show the model again
}

void SeekSlider::wheelEvent(QWheelEvent* event) { event->ignore(); }

int SeekSlider::valueAt(QPoint point) const {
    QStyleOptionSlider opt;
    initStyleOption(&opt);
    const QRect groove =
        style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderGroove, this);
    const QRect handle =
        style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle, this);
    // The same arithmetic QSlider applies to a drag, so a click and a drag agree to the pixel.
    const int start = groove.x();
    const int span = groove.right() - handle.width() + 1 - start;
    const int offset = handle.center().x() - handle.left();
    return QStyle::sliderValueFromPosition(minimum(), maximum(), point.x() - offset - start, span,
                                           opt.upsideDown);
}

}  // namespace corvane::ui
