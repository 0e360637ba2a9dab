// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "analysis/SongMap.h"
#include "model/ReportQueue.h"
#include "model/Song.h"
#include "model/WorkerThreads.h"

namespace corvane::model {

// Reads the song map of the studio's song aside, after the studio is shown, and writes exported
// maps. One map at a time: start() or cancel() drops the one in flight, which stops within a block
// of analysis and reports nothing more. A map that cannot be made (the analysis set-up failed, or
// it was cancelled) is simply not reported: the studio does without one.
//
// Main thread only; signals are emitted there. Each job runs on a worker of its own, below the
// window's priority, reading the song's stems in place (shared, immutable) and touching nothing of
// this object but its report queue. The destructor cancels and joins every worker.
class SongMapJob : public QObject {
    Q_OBJECT

public:
    explicit SongMapJob(QObject* parent = nullptr);
    ~SongMapJob() override;
    SongMapJob(const SongMapJob&) = delete;
    SongMapJob& operator=(const SongMapJob&) = delete;

    // Starts analysing `song`, superseding any analysis in flight.
    void start(Song song);
    // Drops the analysis in flight, if any.
    void cancel();
    // An analysis has started that has not ended yet (with a map or without one).
    bool isBusy() const { return m_busy; }

    // Writes each text to its path through one staged set (all or none take their names), aside;
    // finished with the outcome: `success` or the first failure in one line. Writes are not
    // superseded: each one reports.
    void write(std::vector<std::pair<std::filesystem::path, std::string>> files, QString success);

signals:
    // 0 to 1 while the newest analysis runs.
    void progressed(double fraction);
    // The newest analysis ended: its map, or none when one could not be made (not after cancel).
    void finished(const std::optional<analysis::SongMap>& map);
    // A write's outcome, for the status line.
    void written(const QString& outcome);

private:
    struct Report;
    template <class Work>
    void run(Work work);
    void applyReports();

    std::uint64_t m_generation = 0;  // of the newest analysis
    bool m_busy = false;
    WorkerThreads m_workers;
    std::unique_ptr<ReportQueue<Report>> m_reports;
};

}  // namespace corvane::model
