// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "dsp/Separator.h"
#include "dsp/common/StemData.h"
#include "model/ExportDialogs.h"
#include "model/Exporter.h"
#include "model/Loader.h"
#include "model/MainThreadWaker.h"
#include "model/PracticeModel.h"
#include "model/Session.h"
#include "model/Song.h"
#include "model/SongMapJob.h"
#include "model/StatusText.h"
#include "model/Strip.h"
#include "model/Transport.h"
#include "playback/AudioDevice.h"
#include "playback/PlaybackEngine.h"

namespace corvane::model {

// The one model of the application: the phase, the loaded song's stems, peaks and mixer strips,
// the transport, and the load and export operations. A thin facade over one class per job:
// loading belongs to Loader, playback and the playhead to Transport, exports to Exporter; this
// class publishes their state with its own.
//
// Main thread only: every member is called there and every signal is emitted there (checked by
// assertions in debug builds). Loading runs decoding, separation and peaks on a worker thread that
// gets its input by value and posts its results back; a newer load supersedes an older one, whose
// results and progress are then dropped. Playback runs on the audio device's thread, fed by a
// PlaybackEngine that reads the stems in place.
//
// Each published field has a change signal emitted on every assignment, an equal value included,
// followed by changed() for views that simply redraw.
class StudioModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(double progress READ progress NOTIFY progressChanged)
    Q_PROPERTY(QString fileName READ fileName NOTIFY fileNameChanged)
    Q_PROPERTY(double position READ position NOTIFY positionChanged)
    Q_PROPERTY(double duration READ duration NOTIFY durationChanged)
    Q_PROPERTY(bool isPlaying READ isPlaying NOTIFY isPlayingChanged)
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)

public:
    // Makes the output device for each new playback graph: SDL's by default, an offline one in
    // tests.
    using DeviceFactory = Transport::DeviceFactory;

    static constexpr int kPeakBins = Loader::kPeakBins;

    using OutputLister = std::function<QStringList()>;
    explicit StudioModel(ExportDialogs* dialogs = nullptr, DeviceFactory makeDevice = {},
                         QObject* parent = nullptr, OutputLister listOutputs = {});
    ~StudioModel() override;

    // Published state.
    Phase phase() const { return m_phase; }
    dsp::SeparationMethod method() const { return m_method; }
    double progress() const { return m_progress; }
    QString fileName() const { return m_fileName; }
    // The file name as messages show it: control characters escaped, so it stays on one line.
    QString shownFileName() const;
    const std::vector<Strip>& strips() const { return m_strips; }
    const std::vector<std::vector<float>>& peaks() const { return m_peaks; }
    double position() const { return m_transport.position(); }
    double duration() const { return m_duration; }
    bool isPlaying() const { return m_transport.isPlaying(); }
    QString status() const { return m_status; }

    // The song as loaded (for tests and the benchmark; views use the published state).
    double sampleRate() const { return m_song.sampleRate; }
    std::int64_t totalFrames() const { return m_song.frames; }
    std::int64_t startFrame() const { return m_transport.startFrame(); }
    const std::vector<std::shared_ptr<const dsp::StemData>>& stems() const { return m_song.stems; }
    playback::PlaybackEngine& engine() { return m_transport.engine(); }
    Transport& transport() { return m_transport; }
    // The practice tools of the loaded song: map, grid, markers, click and speed trainer.
    PracticeModel& practice() { return m_practice; }

    void setDialogs(ExportDialogs* dialogs) { m_dialogs = dialogs; }

    // The views' one way to change a strip's volume, solo or mute; the change is heard at once.
    void setStrip(int index, const Strip& strip);

    // Starts loading a song file; returns at once. Without a song in the studio, the phase
    // becomes processing at once. With one, the studio stays as it is (playing on) while the file
    // is decoded, with "Opening <name>…" as the status; only once the file decodes does playback
    // stop and the phase become processing. A load that fails never costs the studio's song: its
    // strips, loop, tempo and pitch stay as they were, the phase returns to ready, and the status
    // says why. The phase is idle after a failure only when there was no song to keep.
    void load(const QString& filePath);
    // A load or a separation again is under way (its outcome not reported yet).
    bool isLoading() const { return m_loader.isBusy(); }

    // The separation method for this song and the ones loaded after it (Standard by default).
    // With a song in the studio, choosing the other method separates it again from its stems
    // (they sum to the song: nothing is decoded again) in the background while the studio stays
    // and plays on, with isSeparating() true and `progress` following the work; the new stems
    // then replace the old at the same song position, seamlessly, keeping the strips, loop, tempo
    // and pitch. Choosing back while that runs cancels it. During a file's load, the load starts
    // over with the chosen method.
    void setMethod(dsp::SeparationMethod method);
    // The studio's song is being separated again by the other method (see setMethod()).
    bool isSeparating() const { return m_reseparating; }

    // Gives each playing stem its strip's effective gain, at once. setStrip() already does; kept
    // for callers that changed nothing else.
    void applyGains();

    // The sound outputs the system lists by name (SDL's, unless a lister was given), and the one
    // playback uses: empty for the system's default. Choosing another moves what plays there at
    // once, going on from the same place.
    QStringList outputNames() const;
    QString outputName() const { return m_outputName; }
    void setOutputName(const QString& name);
    // Says kNoSoundOutput in `status` if no sound output opens; for start-up, so the person
    // knows before pressing Play.
    void checkSoundOutput();

    // Tempo and pitch of what plays and of the exported mix (stems export raw).
    void setStretch(playback::Stretch stretch) { m_transport.setStretch(stretch); }
    playback::Stretch stretch() const { return m_transport.stretch(); }

    // The loop, in song seconds. setLoop() takes A and B in either order and turns the loop on;
    // a region shorter than Transport::kMinLoopSeconds clears it. setLoopEnabled() does nothing
    // without a region; toggleLoop() then says in `status` how to mark one.
    LoopRegion loop() const { return m_transport.loop(); }
    void setLoop(double a, double b);
    void setLoopEnabled(bool enabled);
    void toggleLoop();
    void clearLoop() { m_transport.setLoop({}); }

    // Transport. Times in seconds. stop() returns to the loop's start while a loop is on, else to
    // the top of the song.
    void play();
    void pause();
    void stop();
    void seek(double seconds);

    // Exports through the dialogs, written on a worker; the outcome is reported in `status`.
    // One export at a time: while one runs, these do nothing.
    void exportMix();
    void exportStem(int index);
    void exportAllStems();
    // The song map (beats, bars, tempo, key, chords, sections) of the studio's song, read aside
    // once the studio shows; absent until it arrives, for another song, and when none could be
    // made, which the studio simply does without. A song loaded again or separated again gets a
    // fresh one.
    const std::optional<analysis::SongMap>& songMap() const { return m_songMap; }
    // True while the map is being read; its progress from 0 to 1.
    bool isMapping() const { return m_mapJob.isBusy(); }
    double songMapProgress() const { return m_songMapProgress; }
    // Whether exportMap() has a map to write now (for enabling an "Export Map…" action).
    bool canExportMap() const { return m_songMap.has_value() && m_phase == Phase::ready; }
    // Writes the map into `folder`, aside, named from the song: "NAME - Map.json", label files
    // for Audacity ("NAME - Beats.txt", "NAME - Chords.txt", "NAME - Sections.txt") and for
    // Sonic Visualiser (the same names ending in .csv), all or none. The outcome goes to `status`.
    // Does nothing without a map.
    void exportMapTo(const QString& folder);

    // Stops the running export; it leaves no file and says "Export cancelled.".
    void cancelExport() { m_exporter.cancel(); }
    bool isExporting() const { return m_exporter.isBusy(); }
    // 0 to 1 while an export runs.
    double exportProgress() const { return m_exporter.progress(); }

    // Sessions. collectSession(): the studio as a session, `zoom` being the window's, or one line
    // saying why not (no song, or its file unreadable for the fingerprint). saveSession(): that,
    // written to `to`; the session is then no longer modified; the failure's line otherwise.
    std::variant<Session, std::string> collectSession(double zoom) const;
    std::optional<std::string> saveSession(const QString& to, double zoom);
    // Loads `songPath` (the session's song, or where the person found it) with the session's
    // method and, once it is ready, restores the rest: sessionApplied() then. A failed or
    // superseded load drops the session.
    void openSession(const Session& session, const QString& songPath);
    // Restores a session on the song already loaded: method, strips, tempo, pitch, loop and the
    // practice tools; afterwards nothing is modified.
    void applySession(const Session& session);
    // Whether anything a session holds changed since it was saved, restored or the song loaded;
    // the window adds its zoom through practice().markModified().
    bool isModified() const { return m_practice.isModified(); }
    // Puts a line of the window's own (a session saved, or why not) in `status`.
    void showStatus(const QString& line) { setStatus(line); }

public slots:
    // "Export Map…": asks for a folder with the export dialogs, then exportMapTo() it.
    void exportMap();

signals:
    // songMap(), isMapping() or songMapProgress() changed.
    void songMapChanged();
    void phaseChanged();
    void progressChanged();
    void fileNameChanged();
    void stripsChanged();
    void peaksChanged();
    void positionChanged();
    void durationChanged();
    void isPlayingChanged();
    void statusChanged();
    void stretchChanged();
    void methodChanged();
    // isSeparating() changed.
    void separatingChanged();
    void loopChanged();
    void outputChanged();
    // isExporting() or exportProgress() changed.
    void exportChanged();
    // A session opened with openSession() is restored; the window restores its `zoom`.
    void sessionApplied(double zoom);
    void changed();

private:
    // Lets view tests put the model in states that a real load passes through too quickly to
    // catch (a given progress, the processing phase).
    friend class StudioModelTestAccess;

    template <class T>
    void publish(T& field, T value, void (StudioModel::*signal)());
    void setPhase(Phase phase) { publish(m_phase, phase, &StudioModel::phaseChanged); }
    void setProgress(double v) { publish(m_progress, v, &StudioModel::progressChanged); }
    void setStatus(const QString& v) { publish(m_status, v, &StudioModel::statusChanged); }

    void reseparate();
    void finishLoading(const LoadResult& loaded);
    void failLoading(const QString& description);
    // The file of a load beside the studio decoded: the studio makes way for its separation.
    void leaveStudioForLoad();
    void setReseparating(bool on);
    void dropSongMap();
    // Re-emits a transport change as this model's own published change.
    void forward(void (StudioModel::*signal)());
    // Hands `job` to the exporter unless one is running.
    void startExport(ExportJob job);
    QString wavName(std::string_view suffix) const;
    // Asks the dialogs for a file named `proposedName`, opening beside the song or the last export.
    std::optional<QString> askSaveLocation(const QString& proposedName);

    // Published.
    Phase m_phase = Phase::idle;
    dsp::SeparationMethod m_method = dsp::SeparationMethod::standard;
    double m_progress = 0.0;
    QString m_fileName;
    std::vector<Strip> m_strips = defaultStrips();
    std::vector<std::vector<float>> m_peaks;
    double m_duration = 0.0;
    QString m_status;

    // The output chosen (empty: the default), read by the default device factory, so declared
    // before the transport that makes a device at once.
    QString m_outputName;
    OutputLister m_listOutputs;
    // The loaded song, and its playback.
    Song m_song;
    dsp::SeparationMethod m_songMethod = dsp::SeparationMethod::standard;  // the stems' method
    QString m_loadingPath;        // the file of the load in flight, if it is one
    QString m_filePath;           // the loaded song's file
    QString m_songFileName;       // the file of the song in the studio
    QString m_songFolder;         // and the folder it is in
    QString m_exportFolder;       // where the last export of this run went
    std::optional<Session> m_pendingSession;  // restored once the load in flight is ready
    bool m_opening = false;       // that file is decoded while the studio stays
    bool m_reseparating = false;  // the load in flight separates the studio's song again
    Transport m_transport;
    PracticeModel m_practice{m_transport};

    ExportDialogs* m_dialogs = nullptr;
    Exporter m_exporter;

    Loader m_loader;

    std::optional<analysis::SongMap> m_songMap;
    double m_songMapProgress = 0.0;
    SongMapJob m_mapJob;
};

template <class T>
void StudioModel::publish(T& field, T value, void (StudioModel::*signal)()) {
    Q_ASSERT(QThread::currentThread() == thread());
    field = std::move(value);
    emit(this->*signal)();
    emit changed();
}

}  // namespace corvane::model
