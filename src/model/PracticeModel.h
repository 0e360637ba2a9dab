// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <optional>
#include <string>
#include <vector>

#include "analysis/SongMap.h"
#include "model/BeatGrid.h"
#include "model/Markers.h"
#include "model/Session.h"
#include "model/SpeedTrainer.h"
#include "model/Transport.h"

namespace corvane::model {

// The practice tools of the loaded song: its map and the person's grid corrections, the markers,
// the click (level, mute, count-in) on the corrected grid, and the speed trainer, which sets each
// loop pass's tempo. Also keeps whether any of what a session holds changed since it was last
// saved or restored.
//
// Main thread only, like the Transport it drives; every signal is emitted there. Passes are
// counted from the playhead the transport publishes (about 30 times a second): a pass ends when
// the playhead goes back from the loop's second half into its first. The next pass's tempo is
// given to the transport a pass ahead, so the engine switches to it on the wrap itself, without a
// gap; the pass's tempo is set again (a no-op by then) when the playhead shows the new pass.
class PracticeModel : public QObject {
    Q_OBJECT

public:
    explicit PracticeModel(Transport& transport, QObject* parent = nullptr);

    // The map as analysed (empty until setSongMap()), and as the grid edits make it: its beats
    // (beats()) and the tempo they beat at, the rest as analysed.
    const analysis::SongMap& songMap() const { return m_map; }
    const analysis::SongMap& griddedMap() const { return m_griddedMap; }
    const std::vector<analysis::Beat>& beats() const { return m_griddedMap.beats; }
    const GridEdits& gridEdits() const { return m_edits; }
    void setGridEdits(const GridEdits& edits);

    const Markers& markers() const { return m_markers; }
    // As Markers does; each change is published.
    int addMarker(double seconds, std::string name = {});
    bool renameMarker(int index, std::string name);
    bool removeMarker(int index);

    // The click's level (linear, 0 to 2), mute and count-in bars (0, 1 or 2), and whether the
    // count-in also comes before each loop pass, kept across songs.
    float clickVolume() const { return m_transport.clickVolume(); }
    bool clickMuted() const { return m_transport.clickMuted(); }
    int countInBars() const { return m_transport.countInBars(); }
    bool countInEachPass() const { return m_transport.countInEachPass(); }
    void setClickVolume(float volume);
    void setClickMuted(bool muted);
    void toggleClick() { setClickMuted(!clickMuted()); }
    void setCountInBars(int bars);
    void setCountInEachPass(bool each);

    // The trainer: on, it plays its start tempo at once and each loop pass at its plan's tempo;
    // once a plan that stops is done, playback pauses at the loop's start and finished() is true.
    // New settings start the plan again.
    const SpeedTrainerSettings& trainerSettings() const { return m_trainer.settings(); }
    void setTrainerSettings(const SpeedTrainerSettings& settings);
    bool trainerOn() const { return m_trainerOn; }
    void setTrainerOn(bool on);
    int trainerPass() const { return m_pass; }
    bool trainerFinished() const { return m_finished; }

    // Whether what a session holds changed since it was saved, restored, or the song loaded.
    bool isModified() const { return m_modified; }
    void markModified() { setModified(true); }
    void markSaved() { setModified(false); }

    // Called by the studio: a new song (map, grid edits, markers and the trainer's passes
    // cleared, nothing modified), or the same song's stems made anew (its click beats given to
    // the transport again).
    void songChanged();
    void stemsReplaced();

    // This model's part of a session: markers, grid edits, click and trainer (with the trainer on,
    // `tempo` becomes its start tempo, where a restored session starts).
    void fillSession(Session& session) const;
    // Restores that part; the tempo and loop are the studio's.
    void applySession(const Session& session);

public slots:
    // The map of the loaded song: its beats (through the grid edits) become the click's, its
    // sections markers.
    void setSongMap(const analysis::SongMap& map);

signals:
    void gridChanged();  // the map or the edits, so beats()
    void markersChanged();
    void clickChanged();
    void trainerChanged();  // settings, on or off, pass, finished
    void modifiedChanged();

private:
    void updateGrid();
    void onPosition();
    void applyTrainerTempo();
    void setModified(bool modified);

    Transport& m_transport;
    analysis::SongMap m_map;
    GridEdits m_edits;
    analysis::SongMap m_griddedMap;
    Markers m_markers;
    SpeedTrainer m_trainer{SpeedTrainerSettings{}};
    bool m_trainerOn = false;
    int m_pass = 0;
    bool m_finished = false;
    bool m_settingTempo = false;  // the trainer's own tempo changes modify no session
    double m_lastPosition = 0.0;
    bool m_modified = false;
};

}  // namespace corvane::model
