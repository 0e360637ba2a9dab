// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "model/ReportQueue.h"
#include "model/Song.h"
#include "playback/ClickTrack.h"
#include "playback/Stretcher.h"

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
        playback::Stretch stretch;
    };
    std::vector<File> files;
    double sampleRate = 44100.0;
    std::int64_t frames = 0;
    // The metronome on these beats (song frames) at clickGain, added to every mix after the
    // stretcher, as playback hears it; empty: no click. Raw stems never get it.
    playback::ClickBeats click;
    float clickGain = 0.0f;
    // The status line when every file was written ("Saved …", "Exported 4 stems to …").
    QString success;
};

// The mix of frames [start, start + l.size()) of `file`'s stems at its gains, written over l and r
// (r at least as long as l; every stem must hold those frames): zeros, then each stem whose gain
// is not 0 added by dsp::addGained in stem order, the rule playback and the command line's
// instrumental follow too. A mix made chunk by chunk is therefore the whole-song mix to the bit.
// Any thread; allocates nothing.
void mixFrames(const ExportJob::File& file, std::size_t start, std::span<float> l,
               std::span<float> r);

// Runs one export at a time on a worker thread, so a long song never freezes the window: mixes
// a chunk at a time straight into the writer (nothing song-sized is allocated, except the whole
// mix the stretcher needs for a mix at another tempo or pitch), writes the format the name's
// extension picks, and reports progress (0 to 1) and one status line back on the main thread,
// woken by a MainThreadWaker rather than a polling timer. The files are written through
// audio::StagedFiles: each under a hidden name, and those complete take their names together at
// the end, so a file it replaces survives a cancel or a failure. A cancelled export leaves no file
// of its own and says "Export cancelled."; a failed file is reported as "Export failed: " and its
// reason, the other files still written. The files take their names only on the main thread's
// word, so a cancel asked for before the finished export is reported always wins.
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
        bool complete = false;  // every file written: may they take their names?
        double fraction = 0.0;
        QString status;
    };
    // Worker thread: writes every file of `job`; the outcome to post.
    Report run(const ExportJob& job);
    // Writes one file of the job through `fd` (its staged temporary), reporting its own progress
    // (0 to 1) to `progress`: nothing when it is complete, or the failure's description. Throws
    // Cancelled.
    std::optional<std::string> writeFile(const ExportJob& job, const ExportJob::File& file, int fd,
                                         const std::function<void(double)>& progress);
    // Any thread: queues a report and wakes the main thread for it.
    void post(Report report) { m_reports.post(std::move(report)); }
    // Main thread: applies the worker's queued reports in order.
    void applyReports();
    void join();
    // Worker thread: waits for the main thread to say whether the complete files are committed.
    bool mayCommit();
    // Main thread: answers mayCommit().
    void decide(bool commit);

    bool m_busy = false;
    double m_progress = 0.0;
    std::thread m_worker;
    std::atomic<bool> m_cancel{false};
    std::mutex m_decisionMutex;
    std::condition_variable m_decided;
    std::optional<bool> m_decision;
    ReportQueue<Report> m_reports;
};

}  // namespace corvane::model
