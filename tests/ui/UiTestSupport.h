// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QImage>
#include <QString>
#include <QWidget>

#include "ModelTestSupport.h"
#include "ui/FileDialogs.h"

namespace corvane::test {

// File dialogs for the window, answering from queues like FakeDialogs.
class FakeFileDialogs : public FakeExportDialogs<ui::FileDialogs> {
public:
    std::deque<QString> openAnswers;
    int openRequests = 0;

    std::optional<QString> openAudioFile() override {
        ++openRequests;
        return takeAnswer(openAnswers);
    }
};

// A model on offline devices with the window's fake dialogs, optionally with a song loaded.
struct UiRig {
    TempDir dir;
    FakeFileDialogs dialogs;
    audio::OfflineAudioDevice* device = nullptr;
    std::unique_ptr<model::StudioModel> model = offlineModel(&dialogs, device);

    // Loads a generated song of `seconds` (the demo song) and waits until it is ready.
    bool loadSong(double seconds = 4.0, const std::string& name = "song.wav");
};

// The widget rendered to an image at its current size.
QImage render(QWidget& widget);

// Saves a widget's picture under the build folder's screenshots/ for people to look at.
void saveScreenshot(QWidget& widget, const QString& name);

}  // namespace corvane::test
