// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/SongMapJob.h"

#include <QThread>
#include <algorithm>
#include <optional>
#include <span>

#include "analysis/SongMapAnalyser.h"
#include "audio/AudioFileWriter.h"
#include "dsp/common/StemKind.h"

namespace corvane::model {

// A worker's report to the main thread.
struct SongMapJob::Report {
    enum What { progressed, mapped, written };
    What what;
    std::uint64_t generation = 0;
    double fraction = 0.0;
    std::optional<analysis::SongMap> map;
    QString outcome;
};

namespace {

// About three seconds of audio per block: small enough that a cancel is noticed at once.
constexpr std::int64_t kBlockFrames = 1 << 17;

// Worker thread: the map of `song`'s stems, absent when cancelled or when it cannot be made.
std::optional<analysis::SongMap> analyse(const Song& song, const std::atomic<bool>& cancel,
                                         const analysis::ProgressFn& progress) {
    if (song.stems.size() != static_cast<std::size_t>(dsp::kStemCount) || song.frames <= 0)
        return std::nullopt;
    analysis::AnalysisOptions options;
    options.cancel = &cancel;
    auto analyser = analysis::SongMapAnalyser::create(
        song.sampleRate, analysis::SongMapAnalyser::Input::stems, options);
    if (!analyser) return std::nullopt;
    for (std::int64_t at = 0; at < song.frames; at += kBlockFrames) {
        const auto from = static_cast<std::size_t>(at);
        const auto len = static_cast<std::size_t>(std::min(kBlockFrames, song.frames - at));
        dsp::StemBlock block;
        block.start = at;
        for (std::size_t k = 0; k < song.stems.size(); ++k) {
            block.channels[2 * k] = std::span<const float>(song.stems[k]->l).subspan(from, len);
            block.channels[2 * k + 1] = std::span<const float>(song.stems[k]->r).subspan(from, len);
        }
        analyser->push(block);
        if (cancel.load()) return std::nullopt;
        // Reading the blocks is most of the work; tracking and harmony the rest.
        progress(0.8 * static_cast<double>(at + static_cast<std::int64_t>(len)) /
                 static_cast<double>(song.frames));
    }
    return analyser->finish([&](double f) { progress(0.8 + 0.2 * f); });
}

}  // namespace

SongMapJob::SongMapJob(QObject* parent)
    : QObject(parent),
      m_reports(std::make_unique<ReportQueue<Report>>([this] { applyReports(); })) {}

SongMapJob::~SongMapJob() {
    // A worker may still post to this object: each must be done before it goes. Cancelled, an
    // analysis stops within a block.
    m_workers.cancelAndJoin();
}

template <class Work>
void SongMapJob::run(Work work) {
    Q_ASSERT(QThread::currentThread() == thread());
    // The destructor joins the worker, so `this` and the queue outlive it.
    m_workers.start([queue = m_reports.get(), work = std::move(work)](
                        const std::atomic<bool>& cancel) {
        work(cancel, [queue](Report report) { queue->post(std::move(report)); });
    });
}

void SongMapJob::start(Song song) {
    cancel();
    const std::uint64_t generation = m_generation;
    m_busy = true;
    run([song = std::move(song), generation](const std::atomic<bool>& cancelled, const auto& post) {
        std::optional<analysis::SongMap> map =
            analyse(song, cancelled, [&post, generation](double fraction) {
                post({Report::progressed, generation, fraction, std::nullopt, {}});
            });
        // A map that could not be made ends the job without one: the studio simply has none.
        if (!cancelled.load()) post({Report::mapped, generation, 1.0, std::move(map), {}});
    });
}

void SongMapJob::cancel() {
    Q_ASSERT(QThread::currentThread() == thread());
    ++m_generation;  // whatever is still queued or on its way is dropped
    m_busy = false;
    // A write in flight ignores the flag: it finishes and reports.
    m_workers.cancelAll();
}

void SongMapJob::write(std::vector<std::pair<std::filesystem::path, std::string>> files,
                       QString success) {
    run([files = std::move(files), success = std::move(success)](const std::atomic<bool>&,
                                                                 const auto& post) {
        const std::optional<audio::Error> error = audio::writeTextFiles(files);
        post({Report::written, 0, 1.0, std::nullopt,
              error ? QStringLiteral("Couldn't export the map: ") +
                          QString::fromStdString(error->description)
                    : success});
    });
}

void SongMapJob::applyReports() {
    for (Report& report : m_reports->take()) {
        if (report.what == Report::written) {
            emit written(report.outcome);
            continue;
        }
        // Checked for each report: a receiver may have started a newer analysis meanwhile.
        if (report.generation != m_generation) continue;
        if (report.what == Report::progressed) {
            emit progressed(std::min(report.fraction, 1.0));
        } else {
            m_busy = false;
            emit finished(report.map);
        }
    }
    m_workers.reap();
}

}  // namespace corvane::model
