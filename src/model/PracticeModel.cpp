// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/PracticeModel.h"

#include <QThread>
#include <utility>

namespace corvane::model {

PracticeModel::PracticeModel(Transport& transport, QObject* parent)
    : QObject(parent), m_transport(transport) {
    connect(&m_transport, &Transport::positionChanged, this, &PracticeModel::onPosition);
    connect(&m_transport, &Transport::loopChanged, this, &PracticeModel::markModified);
    connect(&m_transport, &Transport::stretchChanged, this, [this] {
        if (!m_settingTempo) markModified();
    });
}

void PracticeModel::setSongMap(const analysis::SongMap& map) {
    Q_ASSERT(QThread::currentThread() == thread());
    m_map = map;
    m_markers.setSections(map.sections);
    updateGrid();
    emit markersChanged();
}

void PracticeModel::setGridEdits(const GridEdits& edits) {
    if (edits == m_edits) return;  // nothing changes, nothing to save
    m_edits = edits;
    updateGrid();
    markModified();
}

void PracticeModel::updateGrid() {
    const double duration = m_transport.hasSong()
                                ? m_transport.song().seconds(m_transport.song().frames)
                                : m_map.durationSeconds;
    m_griddedMap = m_map;
    if (!m_map.beats.empty()) {
        m_griddedMap.beats = applyGridEdits(m_map.beats, m_map.beatsPerBar, m_edits, duration);
        m_griddedMap.tempoBpm = gridTempoBpm(m_map.tempoBpm, m_edits);
    }
    const std::vector<analysis::Beat>& beats = m_griddedMap.beats;
    std::vector<double> times;
    std::vector<bool> downbeats;
    times.reserve(beats.size());
    downbeats.reserve(beats.size());
    for (const analysis::Beat& b : beats) {
        times.push_back(b.time);
        downbeats.push_back(b.beat == 1);
    }
    m_transport.setClickBeats(times, downbeats);
    emit gridChanged();
}

int PracticeModel::addMarker(double seconds, std::string name) {
    const int index = m_markers.add(seconds, std::move(name));
    emit markersChanged();
    markModified();
    return index;
}

bool PracticeModel::renameMarker(int index, std::string name) {
    if (!m_markers.rename(index, std::move(name))) return false;
    emit markersChanged();
    markModified();
    return true;
}

bool PracticeModel::removeMarker(int index) {
    if (!m_markers.remove(index)) return false;
    emit markersChanged();
    markModified();
    return true;
}

void PracticeModel::setClickVolume(float volume) {
    m_transport.setClickVolume(volume);
    emit clickChanged();
    markModified();
}

void PracticeModel::setClickMuted(bool muted) {
    m_transport.setClickMuted(muted);
    emit clickChanged();
    markModified();
}

void PracticeModel::setCountInBars(int bars) {
    m_transport.setCountInBars(bars);
    emit clickChanged();
    markModified();
}

void PracticeModel::setCountInEachPass(bool each) {
    m_transport.setCountInEachPass(each);
    emit clickChanged();
    markModified();
}

void PracticeModel::setTrainerSettings(const SpeedTrainerSettings& settings) {
    m_trainer = SpeedTrainer(settings);
    m_pass = 0;
    m_finished = false;
    if (m_trainerOn) applyTrainerTempo();
    emit trainerChanged();
    markModified();
}

void PracticeModel::setTrainerOn(bool on) {
    m_trainerOn = on;
    m_pass = 0;
    m_finished = false;
    if (on)
        applyTrainerTempo();
    else
        m_transport.setNextPassTempo(std::nullopt);
    emit trainerChanged();
    markModified();
}

void PracticeModel::applyTrainerTempo() {
    const std::optional<double> tempo = m_trainer.tempoForPass(m_pass);
    if (!tempo) return;
    playback::Stretch stretch = m_transport.stretch();
    stretch.tempo = *tempo;
    m_settingTempo = true;
    m_transport.setStretch(stretch);
    m_settingTempo = false;
    // The pass after a plan's last plays on at its tempo until the pause.
    m_transport.setNextPassTempo(m_trainer.tempoForPass(m_pass + 1).value_or(*tempo));
}

void PracticeModel::onPosition() {
    const double position = m_transport.position();
    const double last = std::exchange(m_lastPosition, position);
    const LoopRegion loop = m_transport.loop();
    if (!m_trainerOn || m_finished || !m_transport.isPlaying() || !loop.enabled || !loop.isSet())
        return;
    // A wrap takes the playhead from near the loop's end to near its start; a tick is a few
    // hundredths of a second, a loop at least a beat.
    const double middle = (loop.start + loop.end) / 2;
    if (!(last >= middle && last <= loop.end && position >= loop.start && position < middle))
        return;
    ++m_pass;
    if (m_trainer.tempoForPass(m_pass)) {
        applyTrainerTempo();
    } else {
        m_finished = true;
        m_transport.pause();
        m_transport.seek(loop.start);
        m_transport.setNextPassTempo(std::nullopt);
    }
    emit trainerChanged();
}

void PracticeModel::setModified(bool modified) {
    if (m_modified == modified) return;
    m_modified = modified;
    emit modifiedChanged();
}

void PracticeModel::songChanged() {
    m_map = {};
    m_edits = {};
    m_markers = {};
    m_pass = 0;
    m_finished = false;
    m_lastPosition = 0.0;
    updateGrid();
    emit markersChanged();
    emit trainerChanged();
    markSaved();
}

void PracticeModel::stemsReplaced() { updateGrid(); }

void PracticeModel::fillSession(Session& session) const {
    session.markers = m_markers.all();
    session.grid = m_edits;
    session.clickVolume = clickVolume();
    session.clickMuted = clickMuted();
    session.countInBars = countInBars();
    session.countInEachPass = countInEachPass();
    session.trainerOn = m_trainerOn;
    session.trainer = m_trainer.settings();
    if (m_trainerOn) session.tempo = m_trainer.tempoForPass(0).value_or(session.tempo);
}

void PracticeModel::applySession(const Session& session) {
    Markers markers;
    markers.assign(session.markers);
    // The map's sections, when it came first, stay the map's.
    if (!m_map.sections.empty()) markers.setSections(m_map.sections);
    m_markers = std::move(markers);
    m_edits = session.grid;
    updateGrid();
    emit markersChanged();
    m_transport.setClickVolume(session.clickVolume);
    m_transport.setClickMuted(session.clickMuted);
    m_transport.setCountInBars(session.countInBars);
    m_transport.setCountInEachPass(session.countInEachPass);
    emit clickChanged();
    m_trainer = SpeedTrainer(session.trainer);
    m_trainerOn = false;
    setTrainerOn(session.trainerOn);
    markSaved();
}

}  // namespace corvane::model
