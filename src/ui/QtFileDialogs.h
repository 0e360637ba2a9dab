// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QPointer>
#include <QWidget>

#include "ui/FileDialogs.h"

namespace corvane::ui {

// The file dialogs as Qt shows them, modal over `parent`. Main thread.
class QtFileDialogs final : public FileDialogs {
public:
    explicit QtFileDialogs(QWidget* parent = nullptr) : m_parent(parent) {}
    void setParent(QWidget* parent) { m_parent = parent; }

    std::optional<QString> openAudioFile() override;
    std::optional<QString> saveAudioLocation(const QString& proposedName) override;
    std::optional<QString> exportFolder() override;

private:
    QPointer<QWidget> m_parent;
};

}  // namespace corvane::ui
