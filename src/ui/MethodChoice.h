// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>

#include "model/StudioModel.h"

class QPushButton;

namespace corvane::ui {

// The two separation methods as a two-choice control, "Standard" and "Refined", always showing
// the model's method; a click chooses it (the model separates the song again if one is loaded,
// and a click back cancels that). The window shows one by the transport and one under the
// progress display. Children are named for tests: standardButton, refinedButton. Main thread.
class MethodChoice : public QWidget {
    Q_OBJECT
public:
    explicit MethodChoice(model::StudioModel& model, QWidget* parent = nullptr);

private:
    void syncFromModel();

    model::StudioModel& m_model;
    QPushButton* m_standard;
    QPushButton* m_refined;
};

}  // namespace corvane::ui
