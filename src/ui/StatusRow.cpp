// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/StatusRow.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedLayout>
#include <algorithm>
#include <cmath>

#include "ui/Theme.h"

namespace corvane::ui {

namespace {

// One line whatever the text's length: elided in the middle (file names keep both ends), so a
// long message neither wraps, which would move the layout, nor widens the window.
class OneLineLabel : public QLabel {
public:
    using QLabel::QLabel;
    QSize minimumSizeHint() const override { return {0, QLabel::minimumSizeHint().height()}; }
    QSize sizeHint() const override { return {0, QLabel::sizeHint().height()}; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(palette().color(foregroundRole()));
        const QRect box = contentsRect();
        painter.drawText(box, static_cast<int>(alignment()),
                         fontMetrics().elidedText(text(), Qt::ElideMiddle, box.width()));
    }
};

}  // namespace

StatusRow::StatusRow(model::StudioModel& model, QWidget* parent) : QWidget(parent), m_model(model) {
    setObjectName(QStringLiteral("statusRow"));
    m_pages = new QStackedLayout(this);
    m_pages->setContentsMargins(0, 0, 0, 0);
    m_empty = new QWidget(this);
    m_pages->addWidget(m_empty);

    m_status = new OneLineLabel(this);
    m_status->setObjectName(QStringLiteral("statusLabel"));
    m_status->setFont(ui::font(TextStyle::body));
    m_status->setAlignment(Qt::AlignCenter);
    m_status->setAccessibleName(QStringLiteral("Status"));
    m_pages->addWidget(m_status);

    auto* exporting = new QLabel(QStringLiteral("Exporting…"), this);
    m_exportBar = new QProgressBar(this);
    m_exportBar->setObjectName(QStringLiteral("exportProgressBar"));
    m_exportBar->setAccessibleName(QStringLiteral("Export progress"));
    auto* cancelExport = new QPushButton(QStringLiteral("Cancel"), this);
    cancelExport->setObjectName(QStringLiteral("cancelExportButton"));
    cancelExport->setToolTip(QStringLiteral("Stop this export; no file is left behind (Esc)"));
    cancelExport->setAccessibleName(QStringLiteral("Cancel export"));
    connect(cancelExport, &QPushButton::clicked, this, [this] { m_model.cancelExport(); });
    m_exportRow = makeBusyRow(QStringLiteral("exportRow"), exporting, m_exportBar, cancelExport);

    m_separatingLabel = new QLabel(this);
    m_separatingLabel->setObjectName(QStringLiteral("separatingLabel"));
    m_separatingBar = new QProgressBar(this);
    m_separatingBar->setObjectName(QStringLiteral("separatingProgressBar"));
    m_separatingBar->setAccessibleName(QStringLiteral("Separation progress"));
    auto* cancelSeparating = new QPushButton(QStringLiteral("Cancel"), this);
    cancelSeparating->setObjectName(QStringLiteral("cancelSeparatingButton"));
    cancelSeparating->setToolTip(QStringLiteral("Keep the stems that play now"));
    cancelSeparating->setAccessibleName(QStringLiteral("Cancel separation"));
    connect(cancelSeparating, &QPushButton::clicked, this, [this] {
        // While it runs the chosen method is the other one than the stems': choosing back
        // cancels.
        m_model.setMethod(m_model.method() == dsp::SeparationMethod::refined
                              ? dsp::SeparationMethod::standard
                              : dsp::SeparationMethod::refined);
    });
    m_separatingRow = makeBusyRow(QStringLiteral("separatingRow"), m_separatingLabel,
                                  m_separatingBar, cancelSeparating);

    // Reserved: as tall as the tallest thing it may show.
    int height = 0;
    for (QWidget* page : std::initializer_list<QWidget*>{m_status, m_exportRow, m_separatingRow})
        height = std::max(height, page->sizeHint().height());
    setFixedHeight(height);

    connect(&m_model, &model::StudioModel::statusChanged, this, &StatusRow::sync);
    connect(&m_model, &model::StudioModel::exportChanged, this, &StatusRow::sync);
    connect(&m_model, &model::StudioModel::separatingChanged, this, &StatusRow::sync);
    connect(&m_model, &model::StudioModel::progressChanged, this, &StatusRow::sync);
    sync();
}

QWidget* StatusRow::makeBusyRow(const QString& name, QLabel* label, QProgressBar* bar,
                                QPushButton* cancel) {
    auto* row = new QWidget(this);
    row->setObjectName(name);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    for (QWidget* w : std::initializer_list<QWidget*>{label, bar, cancel}) w->setParent(row);
    label->setFont(ui::font(TextStyle::body));
    bar->setRange(0, 1000);
    bar->setTextVisible(false);
    layout->addWidget(label);
    layout->addWidget(bar, 1);
    layout->addWidget(cancel);
    m_pages->addWidget(row);
    return row;
}

void StatusRow::sync() {
    const auto permille = [](double fraction) {
        return static_cast<int>(std::lround(std::clamp(fraction, 0.0, 1.0) * 1000));
    };
    m_status->setText(m_model.status());
    m_status->setToolTip(m_model.status());
    if (m_model.isExporting()) {
        m_exportBar->setValue(permille(m_model.exportProgress()));
        m_pages->setCurrentWidget(m_exportRow);
    } else if (m_model.isSeparating()) {
        const bool refined = m_model.method() == dsp::SeparationMethod::refined;
        m_separatingLabel->setText(refined ? QStringLiteral("Separating with Refined…")
                                           : QStringLiteral("Separating with Standard…"));
        m_separatingBar->setValue(permille(m_model.progress()));
        m_pages->setCurrentWidget(m_separatingRow);
    } else {
        m_pages->setCurrentWidget(m_model.status().isEmpty() ? m_empty : m_status);
    }
}

}  // namespace corvane::ui
