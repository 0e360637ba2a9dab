// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/Exporter.h"

#include <QThread>
#include <algorithm>
#include <cerrno>
#include <new>
#include <system_error>

#include "audio/AudioWriter.h"
#include "audio/StagedFiles.h"
#include "dsp/common/Mix.h"
#include "model/StatusText.h"
#include "model/WorkerPriority.h"

namespace corvane::model {

namespace {

// Thrown on the worker between two chunks to leave a file half-way; caught in run().
struct Cancelled {};

// Frames mixed or written between two looks at the cancel flag: a few ms of work, and the
// writer's own transfer size. The two mix buffers of this size are all a plain mix allocates.
constexpr std::size_t kChunkFrames = static_cast<std::size_t>(audio::kChunkFrames);
// Share of a stretched mix's progress spent mixing, and as much again stretching; the rest is
// writing.
constexpr double kMixShare = 0.25;
// Progress is posted when it has moved this much: a 1-hour export sends a few hundred reports.
constexpr double kProgressStep = 0.005;

// The name's extension picks the format (the save dialog offers WAV, FLAC and MP3).
audio::EncodeSettings settingsFor(const std::filesystem::path& path) {
    std::string ext = path.extension().string();
    if (!ext.empty()) ext.erase(0, 1);
    return audio::EncodeSettings{
        audio::formatFromExtension(ext).value_or(audio::AudioFormat::wav24)};
}

}  // namespace

void mixFrames(const ExportJob::File& file, std::size_t start, std::span<float> l,
               std::span<float> r) {
    const std::size_t n = l.size();
    std::fill(l.begin(), l.end(), 0.0f);
    std::fill_n(r.begin(), n, 0.0f);
    for (std::size_t i = 0; i < file.stems.size() && i < file.gains.size(); ++i) {
        const float g = file.gains[i];
        if (g == 0.0f) continue;  // silent stems cost nothing, as in playback
        const dsp::StemData& stem = *file.stems[i];
        dsp::addGained(l, std::span(stem.l).subspan(start, n), g);
        dsp::addGained(r.first(n), std::span(stem.r).subspan(start, n), g);
    }
}

Exporter::Exporter(QObject* parent) : QObject(parent), m_reports([this] { applyReports(); }) {}

Exporter::~Exporter() {
    m_cancel.store(true);
    decide(false);
    join();
}

bool Exporter::mayCommit() {
    post({false, true, 1.0, {}});
    std::unique_lock lock(m_decisionMutex);
    m_decided.wait(lock, [&] { return m_decision.has_value(); });
    return *m_decision;
}

void Exporter::decide(bool commit) {
    const std::lock_guard lock(m_decisionMutex);
    m_decision = commit;
    m_decided.notify_all();
}

void Exporter::join() {
    if (m_worker.joinable()) m_worker.join();
}

bool Exporter::start(ExportJob job) {
    Q_ASSERT(QThread::currentThread() == thread());
    if (m_busy) return false;
    join();  // the last worker has posted its outcome; it only has to end
    m_cancel.store(false);
    {
        const std::lock_guard lock(m_decisionMutex);
        m_decision.reset();
    }
    m_busy = true;
    m_progress = 0.0;
    emit busyChanged();
    emit progressChanged();
    m_worker = std::thread([this, job = std::move(job)]() mutable {
        lowerThreadPriority();
        Report outcome = run(job);
        // Dropped before the outcome is posted: should a new song have come meanwhile, the last
        // reference to the old stems (a second of unmapping for an hour) goes here, not on the
        // main thread while it joins this one.
        job = {};
        post(std::move(outcome));
    });
    return true;
}

void Exporter::cancel() {
    Q_ASSERT(QThread::currentThread() == thread());
    if (m_busy) m_cancel.store(true);
}

std::optional<std::string> Exporter::writeFile(const ExportJob& job, const ExportJob::File& file,
                                               int fd,
                                               const std::function<void(double)>& progress) {
    const auto frames = static_cast<std::size_t>(std::max<std::int64_t>(job.frames, 0));
    const audio::EncodeSettings settings = settingsFor(file.path);
    if (auto refused = audio::checkEncodable(settings, job.sampleRate)) return refused->description;
    const bool mixed = !file.gains.empty();

    // The stretcher takes the whole mix at once: only then is a song-sized mix made, here on the
    // worker, which frees it too.
    std::optional<playback::StretchedAudio> stretched;
    double writeFrom = 0.0;
    if (mixed && !file.stretch.isIdentity()) {
        std::vector<float> l(frames);
        std::vector<float> r(frames);
        for (std::size_t start = 0; start < frames; start += kChunkFrames) {
            if (m_cancel.load()) throw Cancelled{};
            const std::size_t n = std::min(kChunkFrames, frames - start);
            mixFrames(file, start, std::span(l).subspan(start, n), std::span(r).subspan(start, n));
            progress(kMixShare * static_cast<double>(start + n) / static_cast<double>(frames));
        }
        stretched = playback::stretchOffline(l, r, job.sampleRate, file.stretch, &m_cancel,
                                             [&](double f) { progress(kMixShare * (1.0 + f)); });
        if (!stretched) throw Cancelled{};
        writeFrom = 2 * kMixShare;
    }

    auto opened = audio::AudioWriter::open(fd, job.sampleRate, settings);
    if (!opened) return opened.error().description;
    audio::AudioWriter& writer = *opened.value();
    const bool clicked = mixed && !job.click.empty();
    std::vector<float> mixL(mixed && (clicked || !stretched)
                                ? std::min(kChunkFrames, stretched ? stretched->l.size() : frames)
                                : 0);
    std::vector<float> mixR(mixL.size());
    const std::vector<float> beatSound =
        clicked ? playback::clickSound(job.sampleRate, false) : std::vector<float>{};
    const std::vector<float> accentSound =
        clicked ? playback::clickSound(job.sampleRate, true) : std::vector<float>{};
    const std::size_t total = stretched ? stretched->l.size() : frames;
    for (std::size_t start = 0; start < total; start += kChunkFrames) {
        if (m_cancel.load()) throw Cancelled{};
        const std::size_t n = std::min(kChunkFrames, total - start);
        std::span<const float> l;
        std::span<const float> r;
        if (stretched && clicked) {
            std::copy_n(stretched->l.begin() + static_cast<std::ptrdiff_t>(start), n, mixL.begin());
            std::copy_n(stretched->r.begin() + static_cast<std::ptrdiff_t>(start), n, mixR.begin());
        } else if (stretched) {
            l = std::span<const float>(stretched->l).subspan(start, n);
            r = std::span<const float>(stretched->r).subspan(start, n);
        } else if (mixed) {
            mixFrames(file, start, std::span(mixL).first(n), std::span(mixR).first(n));
            l = std::span<const float>(mixL).first(n);
            r = std::span<const float>(mixR).first(n);
        } else {
            l = std::span<const float>(file.stems.at(0)->l).subspan(start, n);
            r = std::span<const float>(file.stems.at(0)->r).subspan(start, n);
        }
        if (clicked) {
            addClicks(job.click, file.stretch.tempo, job.clickGain, beatSound, accentSound,
                      static_cast<std::int64_t>(start), std::span(mixL).first(n),
                      std::span(mixR).first(n));
            l = std::span<const float>(mixL).first(n);
            r = std::span<const float>(mixR).first(n);
        }
        if (auto error = writer.write(l, r)) return error->description;
        progress(writeFrom +
                 (1.0 - writeFrom) * static_cast<double>(start + n) / static_cast<double>(total));
    }
    if (auto error = writer.close()) return error->description;
    return std::nullopt;
}

Exporter::Report Exporter::run(const ExportJob& job) {
    const double fileShare = 1.0 / static_cast<double>(std::max<std::size_t>(job.files.size(), 1));
    double posted = 0.0;
    QString firstFailure;
    auto fail = [&](const std::string& description) {
        if (firstFailure.isEmpty())
            firstFailure = QString::fromUtf8(kExportFailed) + QString::fromStdString(description);
    };
    // Every file of the export is written under a temporary name; those complete take their
    // names together at the end. A cancel or a failure leaves the files that were there before
    // as they were.
    audio::StagedFiles staged;
    try {
        for (std::size_t f = 0; f < job.files.size(); ++f) {
            const ExportJob::File& file = job.files[f];
            const double base = static_cast<double>(f) * fileShare;
            auto progress = [&](double fraction) {
                const double overall = base + fileShare * std::clamp(fraction, 0.0, 1.0);
                if (overall - posted < kProgressStep) return;
                posted = overall;
                post({false, false, overall, {}});
            };
            if (m_cancel.load()) throw Cancelled{};
            audio::Result<audio::StagedFiles::File> created = staged.create(file.path);
            if (!created) {
                fail(created.error().description);
                continue;
            }
            if (auto failure = writeFile(job, file, created.value().fd, progress)) {
                fail(*failure);
                staged.drop(created.value().index);
            }
        }
        if (m_cancel.load() || !mayCommit()) throw Cancelled{};
        if (auto error = staged.commit()) fail(error->description);
    } catch (const Cancelled&) {
        staged.discard();
        return {true, false, 0.0, QStringLiteral("Export cancelled.")};
    } catch (const std::bad_alloc&) {
        staged.discard();
        fail(std::generic_category().message(ENOMEM));
    }
    return {true, false, 1.0, firstFailure.isEmpty() ? job.success : firstFailure};
}

void Exporter::applyReports() {
    std::vector<Report> batch = m_reports.take();
    for (Report& report : batch) {
        if (report.complete) {
            decide(!m_cancel.load());
            continue;
        }
        if (!report.done) {
            m_progress = report.fraction;
            emit progressChanged();
            continue;
        }
        join();
        m_busy = false;
        m_progress = report.fraction;
        emit progressChanged();
        emit busyChanged();
        emit finished(report.status);
    }
}

}  // namespace corvane::model
