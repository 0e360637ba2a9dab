// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/Exporter.h"

#include <QThread>
#include <algorithm>
#include <cerrno>
#include <new>
#include <span>
#include <system_error>

#include "audio/WavWriter.h"
#include "dsp/Mix.h"
#include "model/StatusText.h"

namespace corvane::model {

namespace {

// Thrown from the writer's chunk callback to leave a write half-way; caught in run().
struct Cancelled {};

// Frames mixed between two looks at the cancel flag: a few ms of work.
constexpr std::int64_t kMixChunkFrames = 65536;
// Share of a mixed file's progress spent mixing (and as much again stretching); the rest is
// writing.
constexpr double kMixShare = 0.25;
// Progress is posted when it has moved this much: a 1-hour export sends a few hundred reports.
constexpr double kProgressStep = 0.005;

// Where a file is written before it takes its name: a hidden sibling, so a cancel or a failure
// never destroys a file that was there before. A destination that exists but is no regular file
// (a device) is written in place.
std::filesystem::path partPath(const std::filesystem::path& to) {
    std::error_code ec;
    const auto status = std::filesystem::status(to, ec);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) return to;
    return to.parent_path() / ("." + to.filename().string() + ".part");
}

void removeFile(const std::filesystem::path& path) {
    std::error_code ignored;
    if (std::filesystem::is_regular_file(path, ignored)) std::filesystem::remove(path, ignored);
}

// How often the main thread looks for the worker's reports: a smooth progress bar, and an outcome
// shown within a frame.
constexpr int kPollMilliseconds = 15;

}  // namespace

Exporter::Exporter(QObject* parent) : QObject(parent) {
    m_poll.setInterval(kPollMilliseconds);
    connect(&m_poll, &QTimer::timeout, this, &Exporter::applyReports);
}

Exporter::~Exporter() {
    m_cancel.store(true);
    join();
}

void Exporter::join() {
    if (m_worker.joinable()) m_worker.join();
}

bool Exporter::start(ExportJob job) {
    Q_ASSERT(QThread::currentThread() == thread());
    if (m_busy) return false;
    join();  // the last worker has posted its outcome; it only has to end
    m_cancel.store(false);
    m_busy = true;
    m_progress = 0.0;
    emit busyChanged();
    emit progressChanged();
    m_worker = std::thread([this, job = std::move(job)] { run(job); });
    m_poll.start();
    return true;
}

void Exporter::cancel() {
    Q_ASSERT(QThread::currentThread() == thread());
    if (m_busy) m_cancel.store(true);
}

void Exporter::run(const ExportJob& job) {
    const auto frames = static_cast<std::size_t>(std::max<std::int64_t>(job.frames, 0));
    const double fileShare = 1.0 / static_cast<double>(std::max<std::size_t>(job.files.size(), 1));
    double posted = 0.0;
    auto progress = [&](double fraction) {
        if (fraction - posted < kProgressStep) return;
        posted = fraction;
        post({false, fraction, {}});
    };
    std::vector<std::filesystem::path> written;
    QString firstFailure;
    auto fail = [&](const std::string& description) {
        if (firstFailure.isEmpty())
            firstFailure = QString::fromUtf8(kExportFailed) + QString::fromStdString(description);
    };
    try {
        for (std::size_t f = 0; f < job.files.size(); ++f) {
            const ExportJob::File& file = job.files[f];
            const double base = static_cast<double>(f) * fileShare;
            std::vector<float> l;
            std::vector<float> r;
            std::span<const float> outL;
            std::span<const float> outR;
            double writeFrom = 0.0;
            if (file.gains.empty()) {
                outL = std::span<const float>(file.stems.at(0)->l).first(frames);
                outR = std::span<const float>(file.stems.at(0)->r).first(frames);
            } else {
                writeFrom = kMixShare;
                l.assign(frames, 0.0f);
                r.assign(frames, 0.0f);
                // In chunks, so a cancel is prompt; the sum per sample is the same as whole.
                for (std::size_t start = 0; start < frames; start += kMixChunkFrames) {
                    if (m_cancel.load()) throw Cancelled{};
                    const std::size_t n = std::min<std::size_t>(kMixChunkFrames, frames - start);
                    for (std::size_t i = 0; i < file.stems.size() && i < file.gains.size(); ++i) {
                        const float g = file.gains[i];
                        if (g == 0.0f) continue;  // silent stems cost nothing
                        const dsp::StemData& stem = *file.stems[i];
                        dsp::addGained(std::span(l).subspan(start, n),
                                       std::span(stem.l).subspan(start, n), g);
                        dsp::addGained(std::span(r).subspan(start, n),
                                       std::span(stem.r).subspan(start, n), g);
                    }
                    progress(base + fileShare * kMixShare * static_cast<double>(start + n) /
                                        static_cast<double>(frames));
                }
                if (!file.stretch.isIdentity()) {
                    writeFrom = 2 * kMixShare;
                    auto stretched = audio::stretchOffline(
                        l, r, job.sampleRate, file.stretch, &m_cancel, [&](double fraction) {
                            progress(base + fileShare * kMixShare * (1.0 + fraction));
                        });
                    if (!stretched) throw Cancelled{};
                    l = std::move(stretched->l);
                    r = std::move(stretched->r);
                }
                outL = l;
                outR = r;
            }
            if (m_cancel.load()) throw Cancelled{};
            const std::filesystem::path part = partPath(file.path);
            written.push_back(part);
            std::int64_t done = 0;
            audio::WavWriteOptions options;
            options.onChunk = [&](std::int64_t n) {
                if (m_cancel.load()) throw Cancelled{};
                done += n;
                progress(base +
                         fileShare * (writeFrom + (1.0 - writeFrom) * static_cast<double>(done) /
                                                      static_cast<double>(frames)));
            };
            // The name's extension picks the format (the save dialog offers WAV, FLAC and MP3).
            std::string ext = file.path.extension().string();
            if (!ext.empty()) ext.erase(0, 1);
            const audio::EncodeSettings settings{
                audio::formatFromExtension(ext).value_or(audio::AudioFormat::wav24)};
            if (auto error =
                    audio::writeAudio(part, outL, outR, job.sampleRate, settings, options)) {
                fail(error->description);
                if (part != file.path) removeFile(part);
                continue;
            }
            if (part == file.path) continue;
            std::error_code renamed;
            std::filesystem::rename(part, file.path, renamed);
            if (renamed) {
                fail(renamed.message());
                removeFile(part);
            } else {
                written.back() = file.path;
            }
        }
    } catch (const Cancelled&) {
        // Nothing half-written stays, nor the files of this export already complete.
        for (const auto& path : written) removeFile(path);
        post({true, 0.0, QStringLiteral("Export cancelled.")});
        return;
    } catch (const std::bad_alloc&) {
        fail(std::generic_category().message(ENOMEM));
    }
    post({true, 1.0, firstFailure.isEmpty() ? job.success : firstFailure});
}

void Exporter::post(Report report) {
    std::lock_guard lock(m_reportsLock);
    m_reports.push_back(std::move(report));
}

void Exporter::applyReports() {
    std::vector<Report> batch;
    {
        std::lock_guard lock(m_reportsLock);
        batch.swap(m_reports);
    }
    for (Report& report : batch) {
        if (!report.done) {
            m_progress = report.fraction;
            emit progressChanged();
            continue;
        }
        join();
        m_poll.stop();
        m_busy = false;
        m_progress = report.fraction;
        emit progressChanged();
        emit busyChanged();
        emit finished(report.status);
    }
}

}  // namespace corvane::model
