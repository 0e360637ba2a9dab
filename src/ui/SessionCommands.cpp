// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/SessionCommands.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cmath>
#include <filesystem>

#include "ui/Timeline.h"

namespace corvane::ui {

namespace {
std::filesystem::path localPath(const QString& path) {
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}
QString shownPath(const std::filesystem::path& path) {
    return QFile::decodeName(QByteArray::fromStdString(path.string()));
}
}  // namespace

SessionCommands::SessionCommands(model::StudioModel& model, FileDialogs& dialogs,
                                 Timeline& timeline, QObject* parent)
    : QObject(parent), m_model(model), m_dialogs(dialogs), m_timeline(timeline) {
    connect(&m_model, &model::StudioModel::sessionApplied, this, &SessionCommands::restoreZoom);
    connect(&m_timeline, &Timeline::viewChanged, this, &SessionCommands::followZoom);
    // A new song starts with the whole song in view: not a change the person made.
    connect(&m_timeline, &Timeline::songChanged, this, [this] { m_level = m_timeline.level(); });
}

void SessionCommands::restoreZoom(double zoom) {
    m_restoring = true;
    m_timeline.reset();
    const int levels = std::isfinite(zoom) ? static_cast<int>(std::lround(zoom)) : 0;
    if (levels > 0) m_timeline.zoomAboutPlayhead(levels);
    m_restoring = false;
    m_level = m_timeline.level();
}

void SessionCommands::followZoom() {
    if (m_timeline.level() == m_level) return;
    m_level = m_timeline.level();
    if (!m_restoring && m_model.phase() == model::Phase::ready) m_model.practice().markModified();
}

bool SessionCommands::isSessionFile(const QString& path) {
    return QFileInfo(path).suffix().compare(kSuffix, Qt::CaseInsensitive) == 0;
}

void SessionCommands::open(const QString& path) {
    if (!mayDiscardChanges()) return;
    if (isSessionFile(path))
        openSession(path);
    else
        m_model.load(path);
}

void SessionCommands::openSession(const QString& path) {
    auto read = model::readSession(localPath(path));
    if (auto* why = std::get_if<std::string>(&read)) {
        m_model.showStatus(QString::fromStdString(*why));
        return;
    }
    const model::Session session = std::get<model::Session>(std::move(read));
    QString song = shownPath(session.songPath);
    const model::SongCheck check = model::checkSong(session.songPath, session.fingerprint);
    if (check != model::SongCheck::same) {
        const QString name = QFileInfo(song).fileName();
        const std::optional<QString> found =
            m_dialogs.locateSong(name, check == model::SongCheck::changed);
        if (!found) {
            m_model.showStatus(
                QStringLiteral("Session not opened: its song %1 was not found.").arg(name));
            return;
        }
        // Another file would restore markers and loops onto the wrong music.
        if (model::checkSong(localPath(*found), session.fingerprint) != model::SongCheck::same) {
            m_model.showStatus(
                QStringLiteral("Session not opened: %1 is not the song it was saved with.")
                    .arg(QFileInfo(*found).fileName()));
            return;
        }
        song = *found;
    }
    m_model.openSession(session, song);
}

bool SessionCommands::save() {
    const double zoom = m_timeline.level();
    const auto collected = m_model.collectSession(zoom);
    if (auto* why = std::get_if<std::string>(&collected)) {
        m_model.showStatus(QString::fromStdString(*why));
        return false;
    }
    const QFileInfo song(shownPath(std::get<model::Session>(collected).songPath));
    const QString proposed =
        song.dir().filePath(song.completeBaseName() + QLatin1Char('.') + kSuffix);
    std::optional<QString> to = m_dialogs.saveSessionLocation(proposed);
    if (!to || to->isEmpty()) return false;
    // A typed name without the extension still opens as a session later.
    if (!isSessionFile(*to)) *to += QLatin1Char('.') + kSuffix;
    if (auto why = m_model.saveSession(*to, zoom)) {
        m_model.showStatus(QString::fromStdString(*why));
        return false;
    }
    m_model.showStatus(QStringLiteral("Session saved as %1.").arg(QFileInfo(*to).fileName()));
    return true;
}

bool SessionCommands::mayDiscardChanges() {
    if (m_model.phase() != model::Phase::ready || !m_model.isModified()) return true;
    switch (m_dialogs.askUnsavedChanges()) {
        case FileDialogs::Unsaved::save:
            return save();
        case FileDialogs::Unsaved::discard:
            return true;
        case FileDialogs::Unsaved::cancel:
            return false;
    }
    return false;
}

}  // namespace corvane::ui
