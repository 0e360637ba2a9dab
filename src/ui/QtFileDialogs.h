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
    std::optional<QString> saveSessionLocation(const QString& proposedPath) override;
    std::optional<QString> locateSong(const QString& songName, bool changed) override;
    Unsaved askUnsavedChanges() override;
    void setStartFolder(const QString& folder) override { m_startFolder = folder; }

private:
    // The save dialogs open in the start folder while it exists, else in the music folder.
    QString saveFolder() const;

    QPointer<QWidget> m_parent;
    QString m_startFolder;
};

}  // namespace corvane::ui
