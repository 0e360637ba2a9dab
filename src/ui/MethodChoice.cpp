// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/MethodChoice.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QPushButton>

namespace corvane::ui {

MethodChoice::MethodChoice(model::StudioModel& model, QWidget* parent)
    : QWidget(parent), m_model(model) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    auto* group = new QButtonGroup(this);
    group->setExclusive(true);
    auto add = [&](const QString& name, const QString& text, const QString& tip,
                   dsp::SeparationMethod method) {
        auto* button = new QPushButton(text, this);
        button->setObjectName(name);
        button->setCheckable(true);
        button->setToolTip(tip);
        button->setAccessibleName(text + QStringLiteral(" separation"));
        group->addButton(button);
        row->addWidget(button);
        connect(button, &QPushButton::clicked, this, [this, method] { m_model.setMethod(method); });
        return button;
    };
    m_standard = add(QStringLiteral("standardButton"), QStringLiteral("Standard"),
                     QStringLiteral("Standard separation: the fast, classic split"),
                     dsp::SeparationMethod::standard);
    m_refined = add(QStringLiteral("refinedButton"), QStringLiteral("Refined"),
                    QStringLiteral("Refined separation: cleaner stems for a little more time"),
                    dsp::SeparationMethod::refined);
    connect(&m_model, &model::StudioModel::methodChanged, this, &MethodChoice::syncFromModel);
    syncFromModel();
}

void MethodChoice::syncFromModel() {
    const bool refined = m_model.method() == dsp::SeparationMethod::refined;
    m_standard->setChecked(!refined);
    m_refined->setChecked(refined);
}

}  // namespace corvane::ui
