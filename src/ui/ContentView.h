// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>

#include "model/StudioModel.h"
#include "ui/FileDialogs.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QStackedLayout;

namespace corvane::ui {

class DropZone;
class Timeline;

// The window's content: the title row with "Open Audio…", the screen for the model's phase (drop
// zone, progress display or studio), the status line and the fixed information line. The whole
// window takes a dropped file, in every phase; only the first dropped file location counts.
// Children are named for tests: openButton, dropZone, processing, studio, progressLabel,
// progressBar, percentLabel, statusLabel, infoLabel, karaokeButton, exportMixButton,
// exportAllButton, loopButton, timeRuler, and the export row shown while an export runs: exportRow,
// exportProgressBar, cancelExportButton. Main thread.
class ContentView : public QWidget {
    Q_OBJECT
public:
    ContentView(model::StudioModel& model, FileDialogs& dialogs, QWidget* parent = nullptr);

    // Asks for a song with the open dialog and loads it; a cancelled dialog does nothing.
    void openFile();

    // True while a drag carrying a file location hovers over the window.
    bool targeted() const { return m_targeted; }

protected:
    void changeEvent(QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    QWidget* makeHeader();
    QWidget* makeProcessing();
    QWidget* makeStudio();
    QWidget* makeInfoLine();
    QWidget* makeExportRow();
    // Left/Right seek 5 s, Home to the start, 1-4 solo a strip, Shift+1-4 mute it, K karaoke,
    // L loop on or off, Escape clears the loop, Ctrl++ (and +) / Ctrl+- zoom about the playhead,
    // Ctrl+0 the whole song.
    void addStudioKeys();
    void setTargeted(bool targeted);
    void syncFromModel();
    void syncProgress();
    void syncKaraoke();
    void syncLoop();
    void syncExport();
    void toggleKaraoke();

    model::StudioModel& m_model;
    FileDialogs& m_dialogs;
    bool m_targeted = false;

    QPushButton* m_open = nullptr;
    QStackedLayout* m_screens = nullptr;
    DropZone* m_dropZone = nullptr;
    QWidget* m_processing = nullptr;
    QWidget* m_studio = nullptr;
    QLabel* m_progressLabel = nullptr;
    QProgressBar* m_progressBar = nullptr;
    QLabel* m_percent = nullptr;
    QLabel* m_status = nullptr;
    QPushButton* m_karaoke = nullptr;
    QPushButton* m_loop = nullptr;
    Timeline* m_timeline = nullptr;
    QWidget* m_exportRow = nullptr;
    QProgressBar* m_exportBar = nullptr;
    QPushButton* m_cancelExport = nullptr;
};

}  // namespace corvane::ui
