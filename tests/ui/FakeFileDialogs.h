// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFileInfo>

#include "ModelTestSupport.h"
#include "ui/FileDialogs.h"

namespace corvane::test {

// The window's dialogs: each logs its request in `asked` ("open", the proposed file name, "missing
// NAME" or "changed NAME" when a session's song is asked for, "unsaved") and gives `next` once;
// the unsaved-changes question gives `unsaved`.
struct FakeFileDialogs : FakeExportDialogs<ui::FileDialogs> {
    Unsaved unsaved = Unsaved::discard;
    std::optional<QString> openAudioFile() override { return answer("open"); }
    std::optional<QString> saveSessionLocation(const QString& proposedPath) override {
        return answer(QFileInfo(proposedPath).fileName());
    }
    std::optional<QString> locateSong(const QString& name, bool changed) override {
        return answer((changed ? QStringLiteral("changed ") : QStringLiteral("missing ")) + name);
    }
    Unsaved askUnsavedChanges() override {
        asked.push_back(QStringLiteral("unsaved"));
        return unsaved;
    }
};

}  // namespace corvane::test
