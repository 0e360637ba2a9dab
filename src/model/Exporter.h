// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/Stretcher.h"
#include "model/Song.h"

namespace corvane::model {

// What one export writes: one or more WAV files at the song's rate, each either one raw stem or
// the stems mixed at their gains. Built on the main thread, handed to the worker by value.
struct ExportJob {
    struct File {
        std::filesystem::path path;
        // Mixed with dsp::addGained in stem order; a raw stem is one stem with no gains.
        std::vector<std::shared_ptr<const dsp::StemData>> stems;
        std::vector<float> gains;  // empty: stems[0] written as it is
        // A mix is written at this tempo and pitch, through the stretcher's offline mode.
        audio::Stretch stretch;
    };
    std::vector<File> files;
    double sampleRate = 44100.0;
    std::int64_t frames = 0;
    // The status line when every file was written ("Saved …", "Exported 4 stems to …").
    QString success;
};

// Runs one export at a time on a worker thread, so a long song never freezes the window: mixes
// in chunks, writes 24-bit WAV, and reports progress (0 to 1) and one status line back on the
// main thread. Each file is written under a hidden name and takes its own when complete, so a
// file it replaces survives a cancel or a failure. A cancelled export removes every file it wrote
// and says "Export cancelled."; a failed file is reported as "Export failed: " and its reason,
// the other files still written.
//
// Main thread only; signals are emitted there. The worker touches only its job.
class Exporter : public QObject {
    Q_OBJECT

public:
    explicit Exporter(QObject* parent = nullptr);
    ~Exporter() override;  // cancels and waits for a running export

    // Starts `job`; false (and nothing started) while another export runs.
    bool start(ExportJob job);
    // Asks the running export to stop; finished() follows with "Export cancelled.".
    void cancel();
    bool isBusy() const { return m_busy; }
    double progress() const { return m_progress; }

signals:
    void progressChanged();
    void busyChanged();
    // The outcome as a status line.
    void finished(const QString& status);

private:
    struct Report {
        bool done = false;
        double fraction = 0.0;
        QString status;
    };
    // Worker thread.
    void run(const ExportJob& job);
    void post(Report report);
    // Main thread: takes the worker's reports, on a timer while an export runs (a wake-up posted
    // from the worker would cross threads inside Qt's event queue, unseen by ThreadSanitizer).
    void applyReports();
    void join();

    bool m_busy = false;
    double m_progress = 0.0;
    std::thread m_worker;
    std::atomic<bool> m_cancel{false};
    std::mutex m_reportsLock;
    std::vector<Report> m_reports;
    QTimer m_poll;
};

}  // namespace corvane::model
