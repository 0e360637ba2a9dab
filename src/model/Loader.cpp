// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/Loader.h"

#include <QThread>
#include <algorithm>
#include <span>

#include "audio/AudioFileReader.h"
#include "audio/DisplayText.h"
#include "dsp/common/Mix.h"
#include "dsp/common/StemKind.h"
#include "model/Peaks.h"

namespace corvane::model {

// A worker's report to the main thread.
struct Loader::Report {
    enum What { decoded, progressed, failed, finished };
    What what;
    std::uint64_t generation = 0;
    double fraction = 0.0;
    QString description;
    std::shared_ptr<LoadResult> result;
};

namespace {

QString fromUtf8(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

Loader::Loader(QObject* parent) : QObject(parent), m_reports([this] { applyReports(); }) {}

Loader::~Loader() {
    // A worker may still post to this object; it must be done before the object goes. Cancelled,
    // it stops within a packet or a frame, so closing the window during a load is prompt.
    m_workers.cancelAndJoin();
}

void Loader::separateAndPost(dsp::StereoAudio audio, std::shared_ptr<LoadResult> result,
                             std::uint64_t generation, const std::atomic<bool>& cancel,
                             const Post& post) {
    const dsp::ProgressFn progress = [&post, generation](double fraction) {
        post({Report::progressed, generation, fraction, {}, nullptr});
    };
    std::vector<dsp::StemData> stems = dsp::Separator::separate(
        audio, progress, dsp::SeparatorOptions{.method = result->method, .cancel = &cancel});
    audio = {};                 // the decoded song is not needed any more
    if (cancel.load()) return;  // superseded or closing: nobody will read a report
    if (stems.size() != dsp::kStemCount)
        return post({Report::failed, generation, 0.0,
                     QStringLiteral("The separation could not be set up."), nullptr});
    result->peaks = computePeaks(stems, Loader::kPeakBins);
    for (dsp::StemData& stem : stems)
        result->song.stems.push_back(std::make_shared<const dsp::StemData>(std::move(stem)));
    post({Report::finished, generation, 0.0, {}, std::move(result)});
}

void Loader::load(std::filesystem::path path, dsp::SeparationMethod method) {
    const std::uint64_t generation = m_generation + 1;
    start([path = std::move(path), method, generation](const std::atomic<bool>& cancel,
                                                       const Post& post) {
        audio::ReadNotes notes;
        auto read = audio::readAudio(path, &cancel, &notes);
        if (!read)
            return post({Report::failed, generation, 0.0, fromUtf8(read.error().description), {}});
        dsp::StereoAudio audio = std::move(read).value();
        post({Report::decoded, generation, 0.0, {}, nullptr});
        auto result = std::make_shared<LoadResult>();
        result->song.sampleRate = audio.sampleRate;
        result->song.frames = audio.frames();
        result->method = method;
        if (const std::string early = audio::earlyEndText(notes, audio.sampleRate);
            !early.empty()) {
            result->notice = fromUtf8(early) + QStringLiteral(".");
            result->notice[0] = result->notice[0].toUpper();
        }
        separateAndPost(std::move(audio), std::move(result), generation, cancel, post);
    });
}

void Loader::separate(Song song, dsp::SeparationMethod method) {
    const std::uint64_t generation = m_generation + 1;
    start([song = std::move(song), method, generation](const std::atomic<bool>& cancel,
                                                       const Post& post) {
        // The stems sum back to the song, in stem order, as the mixer adds them.
        dsp::StereoAudio audio;
        audio.sampleRate = song.sampleRate;
        const auto frames = static_cast<std::size_t>(std::max<std::int64_t>(song.frames, 0));
        audio.l.assign(frames, 0.0f);
        audio.r.assign(frames, 0.0f);
        for (const auto& stem : song.stems) {
            dsp::addGained(audio.l, std::span(stem->l).first(frames), 1.0f);
            dsp::addGained(audio.r, std::span(stem->r).first(frames), 1.0f);
        }
        auto result = std::make_shared<LoadResult>();
        result->song.sampleRate = song.sampleRate;
        result->song.frames = song.frames;
        result->method = method;
        separateAndPost(std::move(audio), std::move(result), generation, cancel, post);
    });
}

void Loader::start(Work work) {
    Q_ASSERT(QThread::currentThread() == thread());
    ++m_generation;
    m_busy = true;
    m_workers.cancelAll();  // superseded: stop wasting work
    // The destructor joins the worker, so `this` outlives it.
    m_workers.start([this, work = std::move(work)](const std::atomic<bool>& cancel) {
        work(cancel, [this](Report report) { post(std::move(report)); });
    });
}

void Loader::cancel() {
    Q_ASSERT(QThread::currentThread() == thread());
    ++m_generation;  // whatever is still queued or on its way is dropped
    m_busy = false;
    m_workers.cancelAll();
}

void Loader::post(Report report) { m_reports.post(std::move(report)); }

void Loader::applyReports() {
    std::vector<Report> batch = m_reports.take();
    for (Report& report : batch) {
        // Checked for each report: a receiver may have started a newer load meanwhile.
        if (report.generation != m_generation) {
            // A load that ended just as it was superseded: its stems (gigabytes for an hour)
            // are unmapped aside, not on this thread.
            if (report.result) std::thread([dropped = std::move(report.result)] {}).detach();
            continue;
        }
        switch (report.what) {
            case Report::decoded:
                emit decoded();
                break;
            case Report::progressed:
                emit progressed(std::min(report.fraction, 1.0));
                break;
            case Report::failed:
                m_busy = false;
                emit failed(report.description);
                break;
            case Report::finished:
                m_busy = false;
                emit finished(*report.result);
                break;
        }
    }
    m_workers.reap();
}

}  // namespace corvane::model
