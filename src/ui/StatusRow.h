// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>

#include "model/StudioModel.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QStackedLayout;

namespace corvane::ui {

// The row under the screens that says one thing at a time: a running export's progress (with
// Cancel), the progress of separating the song again by the other method (with Cancel, which
// chooses the method back), or else the model's status line on one line, elided if long (the
// whole text in its tooltip). Its height is reserved even when it has nothing to say, so the
// layout above and below never moves when a message appears.
// Children, named for tests: statusLabel, exportRow, exportProgressBar, cancelExportButton,
// separatingRow, separatingLabel, separatingProgressBar, cancelSeparatingButton. Main thread.
class StatusRow : public QWidget {
    Q_OBJECT
public:
    StatusRow(model::StudioModel& model, QWidget* parent);

private:
    QWidget* makeBusyRow(const QString& name, QLabel* label, QProgressBar* bar,
                         QPushButton* cancel);
    void sync();

    model::StudioModel& m_model;
    QStackedLayout* m_pages = nullptr;
    QWidget* m_empty = nullptr;
    QLabel* m_status = nullptr;
    QWidget* m_exportRow = nullptr;
    QProgressBar* m_exportBar = nullptr;
    QWidget* m_separatingRow = nullptr;
    QLabel* m_separatingLabel = nullptr;
    QProgressBar* m_separatingBar = nullptr;
};

}  // namespace corvane::ui
