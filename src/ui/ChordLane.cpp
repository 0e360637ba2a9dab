// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/ChordLane.h"

#include <QEvent>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <cmath>

#include "model/MapText.h"
#include "ui/BeatGrid.h"
#include "ui/Theme.h"
#include "ui/TimeRuler.h"
#include "ui/Timeline.h"

namespace corvane::ui {

namespace {

constexpr double kGap = 1.0;
constexpr double kRadius = 4.0;
constexpr double kMinTextWidth = 18.0;
constexpr double kNextTagWidth = 56.0;

}  // namespace

ChordLane::ChordLane(model::StudioModel& model, Timeline& timeline, QWidget* alignedWith,
                     QWidget* parent)
    : QWidget(parent), m_model(model), m_timeline(timeline), m_alignedWith(alignedWith) {
    setObjectName(QStringLiteral("chordLane"));
    setFixedHeight(kHeight);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAccessibleName(QStringLiteral("Chords"));
    const auto repaint = qOverload<>(&QWidget::update);
    connect(&m_timeline, &Timeline::viewChanged, this, repaint);
    connect(&m_timeline, &Timeline::songChanged, this, repaint);
    connect(&m_model, &model::StudioModel::songMapChanged, this, repaint);
    connect(&m_model, &model::StudioModel::stretchChanged, this, repaint);
    // The highlight moves only when the playhead crosses into another chord; a repaint per tick
    // of the playhead is still cheap: a few dozen boxes.
    connect(&m_model, &model::StudioModel::positionChanged, this, repaint);
    if (m_alignedWith) m_alignedWith->installEventFilter(this);
}

bool ChordLane::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_alignedWith &&
        (event->type() == QEvent::Resize || event->type() == QEvent::Move))
        update();
    return QWidget::eventFilter(watched, event);
}

double ChordLane::axisLeft() const {
    if (!m_alignedWith || !window()) return 0.0;
    return mapFrom(window(), m_alignedWith->mapTo(window(), QPoint(0, 0))).x();
}

double ChordLane::axisWidth() const { return m_alignedWith ? m_alignedWith->width() : width(); }

int ChordLane::currentIndex() const {
    const std::optional<analysis::SongMap>& map = m_model.songMap();
    if (!map) return -1;
    const analysis::Chord* chord = map->chordAt(m_model.position());
    return chord ? static_cast<int>(chord - map->chords.data()) : -1;
}

QString ChordLane::chordName(int index) const {
    const std::optional<analysis::SongMap>& map = m_model.songMap();
    if (!map || index < 0 || index >= static_cast<int>(map->chords.size())) return {};
    return model::chordText(map->chords[static_cast<std::size_t>(index)], map->key,
                            m_model.stretch());
}

QString ChordLane::currentChord() const { return chordName(currentIndex()); }

QString ChordLane::nextChord() const {
    const int current = currentIndex();
    return current < 0 ? QString() : chordName(current + 1);
}

void ChordLane::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const double left = axisLeft(), w = axisWidth(), h = height();
    painter.translate(left, 0.0);
    painter.setClipRect(QRectF(0.0, 0.0, w, h));
    painter.setFont(ui::font(TextStyle::caption));
    const QColor faint = secondaryText(palette());
    const std::optional<analysis::SongMap>& map = m_model.songMap();
    if (!map || !map->hasHarmony()) {
        // Quiet words, never an error: the studio works without a map.
        QString words;
        if (m_model.isMapping())
            words = QStringLiteral("Reading beats and chords… %1%")
                        .arg(static_cast<int>(m_model.songMapProgress() * 100.0));
        else if (map)
            words = QStringLiteral("no chords");
        painter.setPen(faint);
        painter.drawText(QRectF(6.0, 0.0, w - 12.0, h), Qt::AlignLeft | Qt::AlignVCenter, words);
        return;
    }
    if (!(m_timeline.duration() > 0.0)) return;
    const double start = m_timeline.start(), end = start + m_timeline.span();
    const int current = currentIndex();
    QColor box = quaternaryFill(palette());
    for (int i = 0; i < static_cast<int>(map->chords.size()); ++i) {
        const analysis::Chord& chord = map->chords[static_cast<std::size_t>(i)];
        if (chord.end < start || chord.start > end) continue;
        const double x0 = m_timeline.xOf(chord.start, w), x1 = m_timeline.xOf(chord.end, w);
        const QRectF rect(x0 + kGap, 1.0, std::max(x1 - x0 - 2.0 * kGap, 1.0), h - 2.0);
        const bool none = chord.quality == analysis::ChordQuality::none;
        const bool here = i == current;
        if (!none || here) {
            QPainterPath path;
            path.addRoundedRect(rect, kRadius, kRadius);
            painter.fillPath(path, here ? colors::accent : box);
        }
        if (rect.width() < kMinTextWidth) continue;
        painter.setPen(here ? QColor(Qt::white) : (none ? faint : primaryText(palette())));
        // Pinned to the view's left edge while the chord's start is scrolled out of it.
        QRectF text = rect.adjusted(4.0, 0.0, -2.0, 0.0);
        text.setLeft(std::max(text.left(), 4.0));
        painter.drawText(text, Qt::AlignLeft | Qt::AlignVCenter,
                         painter.fontMetrics().elidedText(chordName(i), Qt::ElideRight,
                                                          static_cast<int>(text.width())));
    }
    // The next chord, when it begins beyond the right edge, is named there.
    const int next = current + 1;
    if (current >= 0 && next < static_cast<int>(map->chords.size()) &&
        map->chords[static_cast<std::size_t>(next)].start >= end) {
        const QRectF tag(w - kNextTagWidth, 1.0, kNextTagWidth, h - 2.0);
        QPainterPath path;
        path.addRoundedRect(tag, kRadius, kRadius);
        painter.fillPath(path, palette().window());
        painter.fillPath(path, box);
        painter.setPen(primaryText(palette()));
        painter.drawText(tag.adjusted(4.0, 0.0, -4.0, 0.0), Qt::AlignRight | Qt::AlignVCenter,
                         QStringLiteral("→ ") + chordName(next));
    }
}

void ChordLane::wheelEvent(QWheelEvent* event) {
    m_timeline.wheel(*event, event->position().x() - axisLeft(), axisWidth());
    event->accept();
}

MapSummary::MapSummary(model::StudioModel& model, QWidget* parent)
    : QLabel(parent), m_model(model) {
    setObjectName(QStringLiteral("mapSummary"));
    setFont(ui::font(TextStyle::body));
    setToolTip(QStringLiteral("Tempo and key as heard at the chosen tempo and pitch"));
    setSecondaryText(this, palette());
    connect(&m_model, &model::StudioModel::songMapChanged, this, &MapSummary::sync);
    connect(&m_model, &model::StudioModel::stretchChanged, this, &MapSummary::sync);
    connect(&m_model.practice(), &model::PracticeModel::gridChanged, this, &MapSummary::sync);
    sync();
}

void MapSummary::sync() {
    const analysis::SongMap* map = shownMap(m_model);
    if (!map) {
        setVisible(false);
        return;
    }
    QString text = model::tempoText(*map, m_model.stretch());
    const QString key = model::keyText(*map, m_model.stretch());
    if (!key.isEmpty()) text += QStringLiteral(" · ") + key;
    setText(text);
    setVisible(true);
}

QWidget* makeRulerWithLanes(model::StudioModel& model, Timeline& timeline, QWidget* alignedWith,
                            QWidget* parent) {
    auto* lanes = new QWidget(parent);
    auto* column = new QVBoxLayout(lanes);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(3);
    column->addWidget(new TimeRuler(model, timeline, alignedWith, lanes));
    column->addWidget(new ChordLane(model, timeline, alignedWith, lanes));
    return lanes;
}

}  // namespace corvane::ui
