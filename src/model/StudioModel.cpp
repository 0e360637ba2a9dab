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

// A file or folder name as a status line shows it: control characters escaped, one line.
QString shownName(const QString& name) {
    return fromUtf8(audio::escapeControlCharacters(name.toStdString()));
}

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
    dsp::SeparationMethod method = dsp::SeparationMethod::standard;
    // A song separated again: the strips and the playhead stay as they are.
    bool keepSettings = false;
    double position = 0.0;
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

namespace {
Transport::DeviceFactory orSdl(Transport::DeviceFactory makeDevice) {
    if (makeDevice) return makeDevice;
    return [] { return std::make_unique<audio::SdlAudioDevice>(); };
}
}  // namespace

StudioModel::StudioModel(ExportDialogs* dialogs, DeviceFactory makeDevice, QObject* parent)
    : QObject(parent),
      m_transport(orSdl(std::move(makeDevice))),
      m_dialogs(dialogs),
      m_waker([this] { applyLoadReports(); }) {
    connect(&m_transport, &Transport::positionChanged, this,
            [this] { forward(&StudioModel::positionChanged); });
    connect(&m_transport, &Transport::isPlayingChanged, this,
            [this] { forward(&StudioModel::isPlayingChanged); });
    connect(&m_transport, &Transport::stretchChanged, this,
            [this] { forward(&StudioModel::stretchChanged); });
    connect(&m_transport, &Transport::loopChanged, this,
            [this] { forward(&StudioModel::loopChanged); });
    connect(&m_transport, &Transport::failed, this, &StudioModel::setStatus);
    connect(&m_exporter, &Exporter::busyChanged, this,
            [this] { forward(&StudioModel::exportChanged); });
    connect(&m_exporter, &Exporter::progressChanged, this,
            [this] { forward(&StudioModel::exportChanged); });
    connect(&m_exporter, &Exporter::finished, this, &StudioModel::setStatus);
}

void StudioModel::setLoop(double a, double b) {
    m_transport.setLoop({std::min(a, b), std::max(a, b), true});
}

void StudioModel::setLoopEnabled(bool enabled) {
    LoopRegion loop = m_transport.loop();
    if (!loop.isSet() || loop.enabled == enabled) return;
    loop.enabled = enabled;
    m_transport.setLoop(loop);
}

void StudioModel::forward(void (StudioModel::*signal)()) {
    emit(this->*signal)();
    emit changed();
}

StudioModel::~StudioModel() {
    m_transport.stopPlayback();
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
    applyGains();
}

QString StudioModel::shownFileName() const { return shownName(m_fileName); }

// ---- Loading -----------------------------------------------------------------------------------

void StudioModel::load(const QString& filePath) {
    Q_ASSERT(QThread::currentThread() == thread());
    m_transport.stopPlayback();
    setPhase(Phase::processing);
    setProgress(0.0);
    setStatus(QString());
    publish(m_fileName, QFileInfo(filePath).fileName(), &StudioModel::fileNameChanged);
    m_loadingPath = filePath;
    m_reseparating = false;
    startLoader([this, path = localPath(filePath), method = m_method](
                    std::uint64_t generation, const std::atomic<bool>& cancel) {
        runLoad(path, generation, method, cancel);
    });
}

void StudioModel::startLoader(std::function<void(std::uint64_t, const std::atomic<bool>&)> work) {
    const std::uint64_t generation = ++m_loadGeneration;
    reapLoaders();
    for (Loader& older : m_loaders) older.cancel->store(true);  // superseded: stop wasting work
    auto done = std::make_shared<std::atomic<bool>>(false);
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    // The worker touches no field: it queues its progress and its result for this thread, where
    // anything from a superseded load is dropped. The destructor joins the worker, so `this`
    // outlives it.
    std::thread worker([work = std::move(work), generation, done, cancel] {
        lowerThreadPriority();
        work(generation, *cancel);
        done->store(true);
    });
    m_loaders.push_back(Loader{std::move(worker), std::move(done), std::move(cancel)});
}

void StudioModel::setMethod(dsp::SeparationMethod method) {
    Q_ASSERT(QThread::currentThread() == thread());
    if (method == m_method) return;
    publish(m_method, method, &StudioModel::methodChanged);
    if (m_reseparating) {
        // Chosen back while the song is separated again: that work is dropped, the studio stays.
        m_reseparating = false;
        ++m_loadGeneration;
        for (Loader& loader : m_loaders) loader.cancel->store(true);
        setPhase(Phase::ready);
        setProgress(1.0);
        if (method == m_songMethod) return;
    }
    if (m_phase == Phase::processing && !m_loadingPath.isEmpty()) {
        load(m_loadingPath);
        return;
    }
    if (m_phase == Phase::ready && method != m_songMethod) reseparate();
}

void StudioModel::reseparate() {
    const double position = m_transport.position();
    m_transport.pause();
    setPhase(Phase::processing);
    setProgress(0.0);
    setStatus(QString());
    m_reseparating = true;
    m_loadingPath.clear();
    startLoader([this, song = m_song, method = m_method, position](
                    std::uint64_t generation, const std::atomic<bool>& cancel) {
        // The stems sum back to the song, in stem order, as the mixer adds them.
        dsp::StereoAudio audio;
        audio.sampleRate = song.sampleRate;
        const auto frames = static_cast<std::size_t>(song.frames);
        audio.l.assign(frames, 0.0f);
        audio.r.assign(frames, 0.0f);
        for (const auto& stem : song.stems) {
            dsp::addGained(audio.l, std::span(stem->l).first(frames), 1.0f);
            dsp::addGained(audio.r, std::span(stem->r).first(frames), 1.0f);
        }
        auto loaded = std::make_shared<Loaded>();
        loaded->sampleRate = song.sampleRate;
        loaded->frames = song.frames;
        loaded->method = method;
        loaded->keepSettings = true;
        loaded->position = position;
        separateAndPost(std::move(audio), std::move(loaded), generation, cancel);
    });
}

void StudioModel::runLoad(const std::filesystem::path& path, std::uint64_t generation,
                          dsp::SeparationMethod method, const std::atomic<bool>& cancel) {
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
    loaded->method = method;
    separateAndPost(std::move(song), std::move(loaded), generation, cancel);
}

void StudioModel::separateAndPost(dsp::StereoAudio song, std::shared_ptr<Loaded> loaded,
                                  std::uint64_t generation, const std::atomic<bool>& cancel) {
    auto fail = [&](QString description) {
        postReport({LoadReport::failed, generation, 0.0, std::move(description), nullptr});
    };
    const dsp::ProgressFn progress = [this, generation](double fraction) {
        postReport({LoadReport::progressed, generation, fraction, {}, nullptr});
    };
    std::vector<dsp::StemData> stems = dsp::Separator::separate(
        song, progress, dsp::SeparatorOptions{.method = loaded->method, .cancel = &cancel});
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
    if (wake) m_waker.wake();
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
    Song song{std::move(loaded.stems), loaded.sampleRate, loaded.frames};
    // Unmapping the previous song's stems (hundreds of MB) takes milliseconds: done aside, once
    // the transport has let go of them too.
    Song old = std::exchange(m_song, song);
    publish(m_peaks, std::move(loaded.peaks), &StudioModel::peaksChanged);
    publish(m_duration, m_song.seconds(m_song.frames), &StudioModel::durationChanged);
    if (!loaded.keepSettings) publish(m_strips, defaultStrips(), &StudioModel::stripsChanged);
    m_transport.setSong(std::move(song), effectiveGains(m_strips));
    if (loaded.keepSettings) m_transport.seek(loaded.position);
    m_songMethod = loaded.method;
    m_reseparating = false;
    m_loadingPath.clear();
    if (!old.stems.empty()) std::thread([old = std::move(old)] {}).detach();
    setPhase(Phase::ready);
    setProgress(1.0);
    if (!loaded.notice.isEmpty()) setStatus(loaded.notice);
    reapLoaders();
}

void StudioModel::failLoading(const QString& description) {
    m_reseparating = false;
    m_loadingPath.clear();
    setPhase(Phase::idle);
    setStatus(QString::fromUtf8(kCouldNotRead) + description);
    reapLoaders();
}

// ---- Playback ----------------------------------------------------------------------------------

void StudioModel::applyGains() {
    Q_ASSERT(QThread::currentThread() == thread());
    if (m_strips.empty()) return;
    m_transport.setGains(effectiveGains(m_strips));
}

void StudioModel::play() {
    if (m_phase == Phase::ready) m_transport.play();
}

void StudioModel::pause() { m_transport.pause(); }

void StudioModel::stop() { m_transport.stop(); }

void StudioModel::seek(double seconds) {
    if (m_phase == Phase::ready) m_transport.seek(seconds);
}

// ---- Exports -----------------------------------------------------------------------------------

QString StudioModel::wavName(std::string_view suffix) const {
    const QByteArray name = m_fileName.toUtf8();
    return fromUtf8(audio::wavName(std::string_view(name.constData(), name.size()), suffix));
}

void StudioModel::startExport(ExportJob job) {
    job.sampleRate = m_song.sampleRate;
    job.frames = m_song.frames;
    m_exporter.start(std::move(job));
}

void StudioModel::exportMix() {
    Q_ASSERT(QThread::currentThread() == thread());
    if (m_phase != Phase::ready || !m_dialogs || isExporting()) return;
    const std::optional<QString> to = m_dialogs->saveAudioLocation(wavName("Mix"));
    if (!to) return;
    std::vector<float> gains = effectiveGains(m_strips);
    gains.resize(m_song.stems.size(), 0.0f);
    ExportJob job;
    job.files.push_back({localPath(*to), m_song.stems, std::move(gains), stretch()});
    job.success =
        QStringLiteral("Saved ") + shownName(QFileInfo(*to).fileName()) + QStringLiteral(".");
    startExport(std::move(job));
}

void StudioModel::exportStem(int index) {
    Q_ASSERT(QThread::currentThread() == thread());
    Q_ASSERT(index >= 0 && index < kStems);
    const std::optional<dsp::StemKind> kind = dsp::stemKindFromRaw(index);
    if (!kind || m_phase != Phase::ready || !m_dialogs || isExporting() ||
        index >= static_cast<int>(m_song.stems.size()))
        return;
    const std::optional<QString> to = m_dialogs->saveAudioLocation(wavName(dsp::title(*kind)));
    if (!to) return;
    ExportJob job;
    job.files.push_back({localPath(*to), {m_song.stems[static_cast<std::size_t>(index)]}, {}, {}});
    job.success =
        QStringLiteral("Saved ") + shownName(QFileInfo(*to).fileName()) + QStringLiteral(".");
    startExport(std::move(job));
}

void StudioModel::exportAllStems() {
    Q_ASSERT(QThread::currentThread() == thread());
    if (m_phase != Phase::ready || !m_dialogs || isExporting() || m_song.stems.size() != kStems)
        return;
    const std::optional<QString> folder = m_dialogs->exportFolder();
    if (!folder) return;
    const QDir dir(*folder);
    ExportJob job;
    for (dsp::StemKind kind : dsp::kAllStemKinds) {
        const QString to = dir.filePath(wavName(dsp::title(kind)));
        job.files.push_back(
            {localPath(to), {m_song.stems[static_cast<std::size_t>(dsp::rawValue(kind))]}, {}, {}});
    }
    // A failed file is not reported as success: the first failure is the outcome then.
    job.success =
        QStringLiteral("Exported 4 stems to ") + shownName(dir.dirName()) + QStringLiteral(".");
    startExport(std::move(job));
}

}  // namespace corvane::model
