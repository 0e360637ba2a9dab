// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/StudioModel.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>

#include "analysis/MapFormats.h"
#include "audio/AudioFileWriter.h"
#include "audio/DisplayText.h"
#include "dsp/common/Mix.h"
#include "model/LocalPath.h"
#include "playback/SdlAudioDevice.h"

namespace corvane::model {

namespace {

constexpr int kStems = dsp::kStemCount;

QString fromUtf8(const std::string& text) { return QString::fromStdString(text); }

// A file or folder name as a status line shows it: control characters escaped, one line.
QString shownName(const QString& name) {
    return fromUtf8(audio::escapeControlCharacters(name.toStdString()));
}

QStringList sdlOutputs() {
    QStringList names;
    for (const std::string& name : playback::SdlAudioDevice::outputNames())
        names << QString::fromStdString(name);
    return names;
}
}  // namespace

StudioModel::StudioModel(ExportDialogs* dialogs, DeviceFactory makeDevice, QObject* parent,
                         OutputLister listOutputs)
    : QObject(parent),
      m_listOutputs(listOutputs ? std::move(listOutputs) : OutputLister(sdlOutputs)),
      m_transport(makeDevice ? std::move(makeDevice) : DeviceFactory([this] {
          return std::make_unique<playback::SdlAudioDevice>(m_outputName.toStdString());
      })),
      m_dialogs(dialogs) {
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
    connect(&m_loader, &Loader::decoded, this, &StudioModel::leaveStudioForLoad);
    connect(&m_loader, &Loader::progressed, this, &StudioModel::setProgress);
    connect(&m_loader, &Loader::failed, this, &StudioModel::failLoading);
    connect(&m_loader, &Loader::finished, this, &StudioModel::finishLoading);
    connect(this, &StudioModel::stripsChanged, &m_practice, &PracticeModel::markModified);
    connect(this, &StudioModel::methodChanged, &m_practice, &PracticeModel::markModified);
    connect(&m_mapJob, &SongMapJob::progressed, this, [this](double fraction) {
        m_songMapProgress = fraction;
        forward(&StudioModel::songMapChanged);
    });
    connect(&m_mapJob, &SongMapJob::finished, this,
            [this](const std::optional<analysis::SongMap>& map) {
                m_songMapProgress = 1.0;
                publish(m_songMap, map, &StudioModel::songMapChanged);
                if (map) m_practice.setSongMap(*map);
            });
    connect(&m_mapJob, &SongMapJob::written, this, &StudioModel::setStatus);
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

QStringList StudioModel::outputNames() const { return m_listOutputs(); }

void StudioModel::setOutputName(const QString& name) {
    Q_ASSERT(QThread::currentThread() == thread());
    m_outputName = name;
    if (m_transport.hasSong()) {
        m_transport.reopenOutput(effectiveGains(m_strips));
        if (!m_transport.hasOutput())
            setStatus(QString::fromUtf8(kEngineFailed) +
                      QStringLiteral("the output \"%1\" did not open.").arg(name));
    }
    emit outputChanged();
    emit changed();
}

void StudioModel::checkSoundOutput() {
    if (!m_transport.probeOutput()) setStatus(QString::fromUtf8(kNoSoundOutput));
}

void StudioModel::toggleLoop() {
    if (!loop().isSet()) {
        setStatus(QString::fromUtf8(kNoLoop));
        return;
    }
    setLoopEnabled(!loop().enabled);
}

void StudioModel::forward(void (StudioModel::*signal)()) {
    emit(this->*signal)();
    emit changed();
}

// The loader's destructor cancels and joins a load in flight: closing the window during a load is
// prompt.
StudioModel::~StudioModel() { m_transport.stopPlayback(); }

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
    setReseparating(false);  // a newer load supersedes it
    m_pendingSession.reset();   // openSession() sets it again after this
    m_loadingPath = filePath;
    // With a song in the studio, the file is read first: a file that turns out not to be audio
    // must not cost the person their song, loop and mix.
    m_opening = m_phase == Phase::ready;
    if (m_opening) {
        setStatus(QStringLiteral("Opening ") + shownName(QFileInfo(filePath).fileName()) +
                  QStringLiteral("…"));
    } else {
        m_transport.stopPlayback();
        setPhase(Phase::processing);
        setProgress(0.0);
        setStatus(QString());
        publish(m_fileName, QFileInfo(filePath).fileName(), &StudioModel::fileNameChanged);
        dropSongMap();
    }
    m_loader.load(localPath(filePath), m_method);
}

void StudioModel::leaveStudioForLoad() {
    if (!m_opening) return;
    m_opening = false;
    m_transport.stopPlayback();
    setPhase(Phase::processing);
    setProgress(0.0);
    setStatus(QString());
    publish(m_fileName, QFileInfo(m_loadingPath).fileName(), &StudioModel::fileNameChanged);
    dropSongMap();
}

void StudioModel::dropSongMap() {
    // Another song: the map of the one before has no place any more.
    m_mapJob.cancel();
    m_songMapProgress = 0.0;
    publish(m_songMap, std::optional<analysis::SongMap>(), &StudioModel::songMapChanged);
}

void StudioModel::setReseparating(bool on) {
    if (m_reseparating == on) return;
    m_reseparating = on;
    emit separatingChanged();
    emit changed();
}

void StudioModel::setMethod(dsp::SeparationMethod method) {
    Q_ASSERT(QThread::currentThread() == thread());
    if (method == m_method) return;
    publish(m_method, method, &StudioModel::methodChanged);
    if (m_reseparating) {
        // Chosen back while the song is separated again: that work is dropped; the studio, which
        // went on playing the stems it had, is as it was.
        setReseparating(false);
        m_loader.cancel();
        setProgress(1.0);
        if (method == m_songMethod) return;
    }
    if (!m_loadingPath.isEmpty()) {
        load(m_loadingPath);
        return;
    }
    if (m_phase == Phase::ready && method != m_songMethod) reseparate();
}

void StudioModel::reseparate() {
    // The stems in the studio play on; the new ones take over where the song is when they come.
    setProgress(0.0);
    setStatus(QString());
    m_loadingPath.clear();
    setReseparating(true);
    m_loader.separate(m_song, m_method);
}

void StudioModel::finishLoading(const LoadResult& loaded) {
    const bool again = m_reseparating;
    const bool modified = m_practice.isModified();
    Song song = loaded.song;
    // Unmapping the previous song's stems (hundreds of MB) takes milliseconds: done aside, once
    // the transport has let go of them too.
    Song old = std::exchange(m_song, song);
    publish(m_peaks, loaded.peaks, &StudioModel::peaksChanged);
    publish(m_duration, m_song.seconds(m_song.frames), &StudioModel::durationChanged);
    if (again) {
        // The same song: strips, loop, tempo, the click and the playhead stay; what plays goes on.
        m_transport.replaceStems(std::move(song));
        m_practice.stemsReplaced();
        if (!modified) m_practice.markSaved();
    } else {
        publish(m_strips, defaultStrips(), &StudioModel::stripsChanged);
        m_transport.setSong(std::move(song), effectiveGains(m_strips));
        m_songFileName = m_fileName;
        m_songFolder = QFileInfo(m_loadingPath).absolutePath();
        m_filePath = m_loadingPath;
        m_practice.songChanged();
    }
    m_songMethod = loaded.method;
    setReseparating(false);
    m_opening = false;
    m_loadingPath.clear();
    if (!old.stems.empty()) std::thread([old = std::move(old)] {}).detach();
    setPhase(Phase::ready);
    setProgress(1.0);
    QString status = loaded.notice;
    if (!again && !m_transport.hasOutput())
        status += (status.isEmpty() ? QString() : QStringLiteral(" ")) +
                  QString::fromUtf8(kNoSoundOutput);
    if (!status.isEmpty()) setStatus(status);
    if (!again && m_pendingSession) {
        const Session session = *std::exchange(m_pendingSession, std::nullopt);
        applySession(session);
        emit sessionApplied(session.zoom);
    }
    // Read once the studio shows, below the window's priority, from the new stems (a song
    // separated again gets a fresh map too).
    m_songMapProgress = 0.0;
    publish(m_songMap, std::optional<analysis::SongMap>(), &StudioModel::songMapChanged);
    m_mapJob.start(m_song);
}

void StudioModel::failLoading(const QString& description) {
    setReseparating(false);
    m_opening = false;
    m_pendingSession.reset();
    m_loadingPath.clear();
    // The song in the studio, if there is one, stays there: a wrong file never costs it.
    if (m_transport.hasSong()) {
        if (m_fileName != m_songFileName)
            publish(m_fileName, m_songFileName, &StudioModel::fileNameChanged);
        setPhase(Phase::ready);
        // Its map went when the studio gave way to the load: read it again.
        if (!m_songMap && !m_mapJob.isBusy()) m_mapJob.start(m_song);
    } else {
        setPhase(Phase::idle);
    }
    setStatus(QString::fromUtf8(kCouldNotRead) + description);
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

void StudioModel::stop() {
    m_transport.stop();
    // Practising a passage, Stop means "from the top of the passage".
    if (loop().enabled) m_transport.seek(loop().start);
}

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

std::optional<QString> StudioModel::askSaveLocation(const QString& proposedName) {
    m_dialogs->setStartFolder(m_exportFolder.isEmpty() ? m_songFolder : m_exportFolder);
    std::optional<QString> to = m_dialogs->saveAudioLocation(proposedName);
    if (to) m_exportFolder = QFileInfo(*to).absolutePath();
    return to;
}

void StudioModel::exportMix() {
    Q_ASSERT(QThread::currentThread() == thread());
    if (m_phase != Phase::ready || !m_dialogs || isExporting()) return;
    // Practice takes at other tempos or pitches get names of their own, so none overwrites
    // another: "My Song - Mix (80 %, +2).wav".
    std::string suffix = "Mix";
    if (const playback::Stretch s = stretch(); !s.isIdentity()) {
        const long semitones = std::lround(s.semitones);
        suffix += " (" + std::to_string(std::lround(s.tempo * 100)) + " %, " +
                  (semitones > 0 ? "+" : "") + std::to_string(semitones) + ")";
    }
    const std::optional<QString> to = askSaveLocation(wavName(suffix));
    if (!to) return;
    std::vector<float> gains = effectiveGains(m_strips);
    gains.resize(m_song.stems.size(), 0.0f);
    ExportJob job;
    job.files.push_back({localPath(*to), m_song.stems, std::move(gains), stretch()});
    if (m_transport.clickAudible()) {  // like every source: in the mix when heard at its start
        job.click = m_transport.clickBeats();
        job.clickGain = m_transport.clickVolume();
    }
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
    const std::optional<QString> to = askSaveLocation(wavName(dsp::title(*kind)));
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
    m_dialogs->setStartFolder(m_exportFolder.isEmpty() ? m_songFolder : m_exportFolder);
    const std::optional<QString> folder = m_dialogs->exportFolder();
    if (!folder) return;
    m_exportFolder = *folder;
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

void StudioModel::exportMap() {
    Q_ASSERT(QThread::currentThread() == thread());
    if (!canExportMap() || !m_dialogs) return;
    if (const std::optional<QString> folder = m_dialogs->exportFolder()) exportMapTo(*folder);
}

void StudioModel::exportMapTo(const QString& folder) {
    Q_ASSERT(QThread::currentThread() == thread());
    if (!canExportMap()) return;
    const QDir dir(folder);
    // The map as shown: with the person's corrections to the grid, if any.
    const analysis::SongMap& map = m_practice.griddedMap();
    // Named like the stems ("NAME - Bass.wav"), with the map's own extensions.
    const auto name = [&](std::string_view suffix, const char* extension) {
        QString wav = wavName(suffix);
        wav.chop(4);  // ".wav"
        return localPath(dir.filePath(wav + QLatin1String(extension)));
    };
    std::vector<std::pair<std::filesystem::path, std::string>> files = {
        {name("Map", ".json"), analysis::toJson(map)},
        {name("Beats", ".txt"), analysis::audacityBeatLabels(map)},
        {name("Chords", ".txt"), analysis::audacityChordLabels(map)},
        {name("Sections", ".txt"), analysis::audacitySectionLabels(map)},
        {name("Beats", ".csv"), analysis::sonicVisualiserBeats(map)},
        {name("Chords", ".csv"), analysis::sonicVisualiserChords(map)},
        {name("Sections", ".csv"), analysis::sonicVisualiserSections(map)}};
    m_mapJob.write(std::move(files), QStringLiteral("Exported the map to ") +
                                         shownName(dir.dirName()) + QStringLiteral("."));
}

}  // namespace corvane::model
