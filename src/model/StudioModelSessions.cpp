// SPDX-License-Identifier: GPL-3.0-or-later
// The studio as a saved session, and a session back into the studio.
#include <QThread>
#include <algorithm>
#include <cmath>

#include "model/LocalPath.h"
#include "model/StudioModel.h"

namespace corvane::model {

std::variant<Session, std::string> StudioModel::collectSession(double zoom) const {
    if (m_phase != Phase::ready || m_filePath.isEmpty()) return std::string("No song to save.");
    Session session;
    session.songPath = localPath(m_filePath);
    auto fingerprint = fingerprintOf(session.songPath);
    if (auto* why = std::get_if<std::string>(&fingerprint)) return *why;
    session.fingerprint = std::get<SongFingerprint>(fingerprint);
    session.method = m_method;
    session.strips = m_strips;
    session.tempo = m_transport.stretch().tempo;
    session.semitones = m_transport.stretch().semitones;
    session.loop = m_transport.loop();
    session.zoom = zoom;
    m_practice.fillSession(session);
    return session;
}

std::optional<std::string> StudioModel::saveSession(const QString& to, double zoom) {
    auto session = collectSession(zoom);
    if (auto* why = std::get_if<std::string>(&session)) return *why;
    if (auto why = model::saveSession(localPath(to), std::get<Session>(session))) return why;
    m_practice.markSaved();
    return std::nullopt;
}

void StudioModel::openSession(const Session& session, const QString& songPath) {
    Q_ASSERT(QThread::currentThread() == thread());
    // Set directly: the song about to load is separated this way, the one in the studio not again.
    if (session.method != m_method) publish(m_method, session.method, &StudioModel::methodChanged);
    load(songPath);
    m_pendingSession = session;
}

void StudioModel::applySession(const Session& session) {
    Q_ASSERT(QThread::currentThread() == thread());
    setMethod(session.method);
    std::vector<Strip> strips = defaultStrips();
    if (session.strips.size() == strips.size()) {
        for (std::size_t i = 0; i < strips.size(); ++i) {
            const float v = session.strips[i].volume;
            strips[i].volume = std::isfinite(v) ? std::clamp(v, 0.0f, 1.5f) : 1.0f;
            strips[i].solo = session.strips[i].solo;
            strips[i].mute = session.strips[i].mute;
        }
    }
    publish(m_strips, std::move(strips), &StudioModel::stripsChanged);
    applyGains();
    m_transport.setStretch({session.tempo, session.semitones});
    m_transport.setLoop(session.loop);
    m_practice.applySession(session);  // last: nothing modified now
}

}  // namespace corvane::model
