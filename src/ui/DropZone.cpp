// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/DropZone.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QVBoxLayout>

#include "ui/Theme.h"

namespace corvane::ui {

DropZone::DropZone(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("dropZone"));
    setCursor(Qt::PointingHandCursor);
    setAccessibleName(QStringLiteral("Drop a song here, or click to choose one"));
    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(10);
    layout->addStretch(1);
    auto* icon = new IconLabel(QStringLiteral("document-import"), 42, QPalette::WindowText, this);
    icon->setObjectName(QStringLiteral("dropIcon"));
    icon->setAlignment(Qt::AlignCenter);
    layout->addWidget(icon);
    auto* title = new QLabel(QStringLiteral("Drop a song here"), this);
    QFont bold = ui::font(TextStyle::title3);
    bold.setBold(true);
    title->setFont(bold);
    title->setAlignment(Qt::AlignCenter);
    layout->addWidget(title);
    auto* formats = new QLabel(
        QStringLiteral("Any audio file FFmpeg can read: MP3, M4A, WAV, AIFF, FLAC, OGG…"), this);
    auto* click = new QLabel(QStringLiteral("…or click here to choose one (Ctrl+O)"), this);
    click->setObjectName(QStringLiteral("dropClickHint"));
    for (QLabel* label : {formats, click}) {
        label->setFont(ui::font(TextStyle::body));
        label->setAlignment(Qt::AlignCenter);
        setSecondaryText(label, label->palette());
        layout->addWidget(label);
    }
    layout->addStretch(1);
    // The labels let clicks through, so the whole area answers them.
    for (QLabel* label : std::initializer_list<QLabel*>{icon, title, formats, click})
        label->setAttribute(Qt::WA_TransparentForMouseEvents);
}

void DropZone::setTargeted(bool targeted) {
    if (targeted == m_targeted) return;
    m_targeted = targeted;
    update();
}

void DropZone::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    constexpr double kLine = 2.0;
    QColor color = secondaryText(palette());
    color.setAlphaF(color.alphaF() * 0.5f);
    QPen pen(m_targeted ? colors::accent : color, kLine);
    pen.setDashPattern({8.0 / kLine, 8.0 / kLine});  // in line widths: 8 on, 8 off
    pen.setDashOffset(0);
    pen.setCapStyle(Qt::FlatCap);
    pen.setJoinStyle(Qt::MiterJoin);
    pen.setMiterLimit(10);
    painter.setPen(pen);
    // Stroked inside the edge: inset by half the line.
    const QRectF box = QRectF(rect()).adjusted(kLine / 2, kLine / 2, -kLine / 2, -kLine / 2);
    painter.drawRoundedRect(box, 16 - kLine / 2, 16 - kLine / 2);
}

void DropZone::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) &&
        onClick)
        onClick();
}

}  // namespace corvane::ui
