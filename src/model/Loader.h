// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "dsp/Separator.h"
#include "dsp/common/StereoAudio.h"
#include "model/ReportQueue.h"
#include "model/Song.h"
#include "model/WorkerThreads.h"

namespace corvane::model {

// What a finished load hands over: the separated song, its waveform peaks (one envelope of
// Loader::kPeakBins values per stem), the method that made the stems, and a notice for the status
// line (empty if there is nothing to say).
struct LoadResult {
    Song song;
    std::vector<std::vector<float>> peaks;
    dsp::SeparationMethod method = dsp::SeparationMethod::standard;
    QString notice;
};

// Loads songs aside, one job: decodes a file (or takes a loaded song's stems again), separates it,
// computes its peaks, and reports progress and the outcome on the main thread. The newest load is
// the only one that counts: starting one, or cancel(), stops those in flight early and drops
// everything they would still report, so the signals only ever speak of the newest load.
//
// Main thread only; signals are emitted there, from the event loop. Each load runs on a worker
// thread of its own, a little below the window's priority, that gets its input by value and
// touches nothing of this object but its report queue; reports wake the main thread through a
// MainThreadWaker.
class Loader : public QObject {
    Q_OBJECT

public:
    static constexpr int kPeakBins = 600;

    explicit Loader(QObject* parent = nullptr);
    ~Loader() override;  // cancels every worker and waits for it (within a packet or a frame)
    Loader(const Loader&) = delete;
    Loader& operator=(const Loader&) = delete;

    // Decodes the file at `path` and separates it with `method`.
    void load(std::filesystem::path path, dsp::SeparationMethod method);
    // Separates `song` again with `method`, from the sum of its stems in stem order (the song
    // they were made from): nothing is decoded again.
    void separate(Song song, dsp::SeparationMethod method);
    // Drops the load in flight, if any: it stops early and nothing more of it is reported.
    void cancel();
    // A load has started whose outcome has not been reported yet.
    bool isBusy() const { return m_busy; }

signals:
    // A file load has decoded its file and goes on to separate it; a file that fails to decode
    // reports failed() instead. Separating a song again does not decode and never says this.
    void decoded();
    // The load's progress, 0 to 1 (the separation's passes may report slightly out of order).
    void progressed(double fraction);
    // The load failed; `description` is the reason in one line ("No such file or directory").
    void failed(const QString& description);
    void finished(const model::LoadResult& result);

private:
    struct Report;
    using Post = std::function<void(Report)>;
    using Work = std::function<void(const std::atomic<bool>& cancel, const Post& post)>;

    // Worker thread: separates `audio` into `result` (its rate, frames and method already set),
    // computes the peaks, and posts progress and the outcome.
    static void separateAndPost(dsp::StereoAudio audio, std::shared_ptr<LoadResult> result,
                                std::uint64_t generation, const std::atomic<bool>& cancel,
                                const Post& post);
    // Worker thread: computes the peaks of `stems`, hands them to `result` and posts it.
    static void postFinished(std::vector<dsp::StemData> stems, std::shared_ptr<LoadResult> result,
                             std::uint64_t generation, const Post& post);
    // Main thread: runs `work` on a fresh worker as the newest load, superseding any in flight.
    void start(Work work);
    // Any thread: queues a report and wakes the main thread for it.
    void post(Report report);
    // Main thread: applies the queued reports in order, dropping those of superseded loads.
    void applyReports();

    std::uint64_t m_generation = 0;  // of the newest load
    bool m_busy = false;
    // A load's cancel flag is set when a newer load supersedes it or the loader goes.
    WorkerThreads m_workers;
    ReportQueue<Report> m_reports;
};

}  // namespace corvane::model
