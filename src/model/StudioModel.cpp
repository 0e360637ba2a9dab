// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/StudioModel.h"

#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QThread>
#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>

#include "audio/AudioFileReader.h"
#include "audio/DisplayText.h"
#include "audio/SdlAudioDevice.h"
#include "audio/WavWriter.h"
#include "dsp/Mix.h"
#include "dsp/Peaks.h"
#include "dsp/Separator.h"

namespace corvane::model {

namespace {

constexpr int kStems = dsp::kStemCount;

std::filesystem::path localPath(const QString& path) {
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

QString fromUtf8(const std::string& text) { return QString::fromStdString(text); }

// A little below the window's thread, for this thread and the separation workers it starts
// (Linux threads inherit it): with every core busy separating, the window still gets the CPU the
// moment it needs it instead of waiting for a scheduler slice.
void lowerThreadPriority() {
#ifdef __linux__
    constexpr int kNiceness = 5;
    setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kNiceness);
#endif
}

}  // namespace

// What a finished load hands to the main thread.
struct StudioModel::Loaded {
    std::vector<std::shared_ptr<const dsp::StemData>> stems;
    std::vector<std::vector<float>> peaks;
    double sampleRate = 0.0;
    std::int64_t frames = 0;
    QString notice;  // for the status line once the studio shows; empty if nothing to say
};

// A load worker's report to the main thread.
struct StudioModel::LoadReport {
    enum What { progressed, failed, finished };
    What what;
    std::uint64_t generation;
    double fraction = 0.0;
    QString description;
    std::shared_ptr<Loaded> loaded;
};

StudioModel::StudioModel(ExportDialogs* dialogs, DeviceFactory makeDevice, QObject* parent)
    : QObject(parent), m_makeDevice(std::move(makeDevice)), m_dialogs(dialogs) {
    if (!m_makeDevice) m_makeDevice = [] { return std::make_unique<audio::SdlAudioDevice>(); };
    m_engine = std::make_unique<audio::PlaybackEngine>(m_makeDevice());
    m_timer.setInterval(kTickMilliseconds);
    connect(&m_timer, &QTimer::timeout, this, &StudioModel::tick);
}

StudioModel::~StudioModel() {
    m_timer.stop();
    // A loader may still post to this object; it must be done before the object goes. Cancelled,
    // it stops within a packet or a frame, so closing the window during a load is prompt.
    for (Loader& loader : m_loaders) loader.cancel->store(true);
    for (Loader& loader : m_loaders)
        if (loader.thread.joinable()) loader.thread.join();
}

void StudioModel::setStrip(int index, const Strip& strip) {
    Q_ASSERT(index >= 0 && index < static_cast<int>(m_strips.size()));
    if (index < 0 || index >= static_cast<int>(m_strips.size())) return;
    std::vector<Strip> strips = m_strips;
    strips[static_cast<std::size_t>(index)] = strip;
    publish(m_strips, std::move(strips), &StudioModel::stripsChanged);
}

// ---- Loading -----------------------------------------------------------------------------------

void StudioModel::load(const QString& filePath) {
    Q_ASSERT(QThread::currentThread() == thread());
    stopPlayback();
    setPhase(Phase::processing);
    setProgress(0.0);
    setStatus(QString());
    publish(m_fileName, QFileInfo(filePath).fileName(), &StudioModel::fileNameChanged);

    const std::uint64_t generation = ++m_loadGeneration;
    reapLoaders();
    for (Loader& older : m_loaders) older.cancel->store(true);  // superseded: stop wasting work
    auto done = std::make_shared<std::atomic<bool>>(false);
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    std::filesystem::path path = localPath(filePath);
    // The worker touches no field: it queues its progress and its result for this thread, where
    // anything from a superseded load is dropped. The destructor joins the worker, so `this`
    // outlives it.
    std::thread worker([this, path = std::move(path), generation, done, cancel] {
        lowerThreadPriority();
        runLoad(path, generation, *cancel);
        done->store(true);
    });
    m_loaders.push_back(Loader{std::move(worker), std::move(done), std::move(cancel)});
}

void StudioModel::runLoad(const std::filesystem::path& path, std::uint64_t generation,
                          const std::atomic<bool>& cancel) {
    auto fail = [&](QString description) {
        postReport({LoadReport::failed, generation, 0.0, std::move(description), nullptr});
    };
    audio::ReadNotes notes;
    auto read = audio::readAudio(path, &cancel, &notes);
    if (!read) return fail(fromUtf8(read.error().description));
    dsp::StereoAudio song = std::move(read).value();
    auto loaded = std::make_shared<Loaded>();
    loaded->sampleRate = song.sampleRate;
    loaded->frames = song.frames();
    if (const std::string early = audio::earlyEndText(notes, song.sampleRate); !early.empty()) {
        loaded->notice = fromUtf8(early) + QStringLiteral(".");
        loaded->notice[0] = loaded->notice[0].toUpper();
    }

    const dsp::ProgressFn progress = [this, generation](double fraction) {
        postReport({LoadReport::progressed, generation, fraction, {}, nullptr});
    };
    std::vector<dsp::StemData> stems =
        dsp::Separator::separate(song, progress, dsp::SeparatorOptions{.cancel = &cancel});
    song = {};                  // the decoded song is not needed any more
    if (cancel.load()) return;  // superseded or closing: nobody will read a report
    if (stems.size() != kStems) return fail(QStringLiteral("The separation could not be set up."));
    loaded->peaks = dsp::computePeaks(stems, kPeakBins);
    for (dsp::StemData& stem : stems)
        loaded->stems.push_back(std::make_shared<const dsp::StemData>(std::move(stem)));
    postReport({LoadReport::finished, generation, 0.0, {}, std::move(loaded)});
}

void StudioModel::postReport(LoadReport report) {
    bool wake = false;
    {
        std::lock_guard lock(m_reportsLock);
        wake = m_reports.empty();  // one wake-up per batch; the batch keeps every report
        m_reports.push_back(std::move(report));
    }
    if (wake) QMetaObject::invokeMethod(this, "applyLoadReports", Qt::QueuedConnection);
}

void StudioModel::applyLoadReports() {
    std::vector<LoadReport> batch;
    {
        std::lock_guard lock(m_reportsLock);
        batch.swap(m_reports);
    }
    for (LoadReport& report : batch) {
        if (!isCurrentLoad(report.generation)) continue;  // a superseded load
        switch (report.what) {
            case LoadReport::progressed:
                setProgress(std::min(report.fraction, 1.0));
                break;
            case LoadReport::failed:
                failLoading(report.description);
                break;
            case LoadReport::finished:
                finishLoading(std::move(*report.loaded));
                break;
        }
    }
}

void StudioModel::reapLoaders() {
    auto finished = [](Loader& loader) {
        if (!loader.done->load()) return false;
        loader.thread.join();
        return true;
    };
    m_loaders.erase(std::remove_if(m_loaders.begin(), m_loaders.end(), finished), m_loaders.end());
}

void StudioModel::finishLoading(Loaded&& loaded) {
    // Unmapping the previous song's stems (hundreds of MB) takes milliseconds: done aside.
    if (!m_stems.empty()) std::thread([old = std::move(m_stems)] {}).detach();
    m_stems = std::move(loaded.stems);
    publish(m_peaks, std::move(loaded.peaks), &StudioModel::peaksChanged);
    m_sampleRate = loaded.sampleRate;
    m_totalFrames = loaded.frames;
    publish(m_duration, static_cast<double>(m_totalFrames) / m_sampleRate,
            &StudioModel::durationChanged);
    setPosition(0.0);
    m_startFrame = 0;
    publish(m_strips, defaultStrips(), &StudioModel::stripsChanged);
    buildEngine();
    setPhase(Phase::ready);
    setProgress(1.0);
    if (!loaded.notice.isEmpty()) setStatus(loaded.notice);
    reapLoaders();
}

void StudioModel::failLoading(const QString& description) {
    setPhase(Phase::idle);
    setStatus(QString::fromUtf8(kCouldNotRead) + description);
    reapLoaders();
}

// ---- Playback ----------------------------------------------------------------------------------

void StudioModel::buildEngine() {
    m_engine = std::make_unique<audio::PlaybackEngine>(m_makeDevice());  // the old one closes
    m_hasGraph = true;
    applyGains();
}

void StudioModel::applyGains() {
    Q_ASSERT(QThread::currentThread() == thread());
    if (!m_hasGraph || m_strips.empty()) return;
    const std::vector<float> gains = effectiveGains(m_strips);
    for (std::size_t i = 0; i < gains.size() && i < audio::PlaybackEngine::kSources; ++i)
        m_engine->setGain(static_cast<int>(i), gains[i]);
}

void StudioModel::play() {
    Q_ASSERT(QThread::currentThread() == thread());
    if (m_phase != Phase::ready || m_isPlaying) return;
    if (m_startFrame >= m_totalFrames - 1) {
        m_startFrame = 0;
        setPosition(0.0);
    }
    // Scheduling replaces whatever a source had; a source with nothing to play is cleared.
    for (int i = 0; i < audio::PlaybackEngine::kSources; ++i) {
        if (m_totalFrames - m_startFrame < 1 || i >= static_cast<int>(m_stems.size()))
            m_engine->stopSource(i);
        else
            m_engine->schedule(i, m_stems[static_cast<std::size_t>(i)], m_startFrame,
                               m_totalFrames);
    }
    if (!m_engine->isRunning()) {
        if (auto error = m_engine->start(m_sampleRate)) {
            setStatus(QString::fromUtf8(kEngineFailed) + fromUtf8(error->description));
            return;
        }
    }
    const auto lead = static_cast<std::int64_t>(std::llround(kStartLeadSeconds * m_sampleRate));
    m_engine->startAll(m_engine->deviceFrame() + lead);
    setIsPlaying(true);
    m_timer.start();
}

void StudioModel::pause() {
    Q_ASSERT(QThread::currentThread() == thread());
    if (!m_isPlaying) return;
    const std::int64_t f = currentFrame();
    m_startFrame = std::min(std::max<std::int64_t>(m_totalFrames - 1, 0), f);
    setPosition(static_cast<double>(m_startFrame) / m_sampleRate);
    stopPlayback();
}

void StudioModel::stop() {
    Q_ASSERT(QThread::currentThread() == thread());
    stopPlayback();
    m_startFrame = 0;
    setPosition(0.0);
}

void StudioModel::seek(double seconds) {
    Q_ASSERT(QThread::currentThread() == thread());
    if (m_phase != Phase::ready) return;
    const bool wasPlaying = m_isPlaying;
    if (wasPlaying) stopPlayback();
    // Truncated toward zero; out-of-range and non-finite times land on the nearest end.
    const double k = m_sampleRate * seconds;
    const std::int64_t last = std::max<std::int64_t>(m_totalFrames - 1, 0);
    std::int64_t frame = 0;
    if (k >= static_cast<double>(last))
        frame = last;
    else if (k > 0.0)
        frame = static_cast<std::int64_t>(k);
    m_startFrame = frame;
    setPosition(static_cast<double>(m_startFrame) / m_sampleRate);
    if (wasPlaying) play();
}

void StudioModel::stopPlayback() {
    m_timer.stop();
    m_engine->stopAll();
    setIsPlaying(false);
}

void StudioModel::tick() {
    if (!m_isPlaying) return;
    const std::int64_t f = currentFrame();
    if (f >= m_totalFrames) {
        stopPlayback();
        m_startFrame = 0;
        setPosition(0.0);
    } else {
        setPosition(static_cast<double>(f) / m_sampleRate);
    }
}

std::int64_t StudioModel::currentFrame() const {
    if (!m_hasGraph) return m_startFrame;
    // The vocals source is the clock for all four; before its start it stands at startFrame.
    const std::optional<std::int64_t> played = m_engine->sourceTime(0);
    if (!played) return m_startFrame;
    return m_startFrame + std::max<std::int64_t>(0, *played);
}

// ---- Exports -----------------------------------------------------------------------------------

QString StudioModel::wavName(std::string_view suffix) const {
    const QByteArray name = m_fileName.toUtf8();
    return fromUtf8(audio::wavName(std::string_view(name.constData(), name.size()), suffix));
}

bool StudioModel::write(const std::vector<float>& l, const std::vector<float>& r, const QString& to,
                        bool quiet) {
    if (auto error = audio::writeWav(localPath(to), l, r, m_sampleRate)) {
        setStatus(QString::fromUtf8(kExportFailed) + fromUtf8(error->description));
        return false;
    }
    if (!quiet)
        setStatus(QStringLiteral("Saved ") + QFileInfo(to).fileName() + QStringLiteral("."));
    return true;
}

void StudioModel::exportMix() {
    Q_ASSERT(QThread::currentThread() == thread());
    if (m_phase != Phase::ready || !m_dialogs) return;
    const std::optional<QString> to = m_dialogs->saveWavLocation(wavName("Mix"));
    if (!to) return;
    const auto frames = static_cast<std::size_t>(m_totalFrames);
    std::vector<float> l(frames, 0.0f);
    std::vector<float> r(frames, 0.0f);
    const std::vector<float> gains = effectiveGains(m_strips);
    for (std::size_t i = 0; i < gains.size() && i < m_stems.size(); ++i) {
        const float g = gains[i];
        if (m_strips[i].mute || g == 0.0f) continue;  // silent stems cost nothing
        const dsp::StemData& stem = *m_stems[i];
        dsp::addGained(l, stem.l, g);
        dsp::addGained(r, stem.r, g);
    }
    write(l, r, *to, false);
}

void StudioModel::exportStem(int index) {
    Q_ASSERT(QThread::currentThread() == thread());
    Q_ASSERT(index >= 0 && index < kStems);
    const std::optional<dsp::StemKind> kind = dsp::stemKindFromRaw(index);
    if (!kind || m_phase != Phase::ready || !m_dialogs || index >= static_cast<int>(m_stems.size()))
        return;
    const std::optional<QString> to = m_dialogs->saveWavLocation(wavName(dsp::title(*kind)));
    if (!to) return;
    const dsp::StemData& stem = *m_stems[static_cast<std::size_t>(index)];
    write(stem.l, stem.r, *to, false);
}

void StudioModel::exportAllStems() {
    Q_ASSERT(QThread::currentThread() == thread());
    if (m_phase != Phase::ready || !m_dialogs || m_stems.size() != kStems) return;
    const std::optional<QString> folder = m_dialogs->exportFolder();
    if (!folder) return;
    const QDir dir(*folder);
    QString firstFailure;
    for (dsp::StemKind kind : dsp::kAllStemKinds) {
        const QString to = dir.filePath(wavName(dsp::title(kind)));
        const dsp::StemData& stem = *m_stems[static_cast<std::size_t>(dsp::rawValue(kind))];
        if (!write(stem.l, stem.r, to, true) && firstFailure.isEmpty()) firstFailure = m_status;
    }
    // A failed file is not reported as success: its message stays.
    if (!firstFailure.isEmpty()) {
        setStatus(firstFailure);
        return;
    }
    setStatus(QStringLiteral("Exported 4 stems to ") + dir.dirName() + QStringLiteral("."));
}

}  // namespace corvane::model
