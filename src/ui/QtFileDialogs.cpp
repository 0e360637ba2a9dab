// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/QtFileDialogs.h"

#include <QAbstractButton>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QStandardPaths>

namespace corvane::ui {

namespace {

// The patterns of every audio MIME type the desktop knows, plus the common extensions in case its
// MIME database is thin: what FFmpeg reads is far wider than any one list.
QString audioNameFilter() {
    QStringList patterns = {
        QStringLiteral("*.mp3"),  QStringLiteral("*.m4a"), QStringLiteral("*.aac"),
        QStringLiteral("*.wav"),  QStringLiteral("*.aif"), QStringLiteral("*.aiff"),
        QStringLiteral("*.flac"), QStringLiteral("*.ogg"), QStringLiteral("*.oga"),
        QStringLiteral("*.opus"), QStringLiteral("*.wma"), QStringLiteral("*.mp4")};
    const QMimeDatabase mimes;
    for (const QMimeType& type : mimes.allMimeTypes())
        if (type.name().startsWith(QStringLiteral("audio/"))) patterns += type.globPatterns();
    patterns.removeDuplicates();
    return QStringLiteral("Audio files (%1)").arg(patterns.join(QLatin1Char(' ')));
}

QString musicFolder() {
    const QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
    return QDir(music).exists() ? music : QDir::homePath();
}
}  // namespace

QString QtFileDialogs::saveFolder() const {
    return !m_startFolder.isEmpty() && QDir(m_startFolder).exists() ? m_startFolder : musicFolder();
}

std::optional<QString> QtFileDialogs::openAudioFile() {
    QFileDialog dialog(m_parent, QStringLiteral("Open Audio"), musicFolder());
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters({audioNameFilter(), QStringLiteral("Corvane sessions (*.corvane)"),
                           QStringLiteral("All files (*)")});
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().constFirst();
}

std::optional<QString> QtFileDialogs::saveSessionLocation(const QString& proposedPath) {
    QFileDialog dialog(m_parent, QStringLiteral("Save Session"), QFileInfo(proposedPath).path());
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters({QStringLiteral("Corvane sessions (*.corvane)")});
    dialog.setDefaultSuffix(QStringLiteral("corvane"));
    dialog.selectFile(proposedPath);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().constFirst();
}

std::optional<QString> QtFileDialogs::locateSong(const QString& songName, bool changed) {
    const QString why = changed ? QStringLiteral(
                                      "The file \"%1\" has changed since the session "
                                      "was saved.")
                                : QStringLiteral(
                                      "The song \"%1\" is no longer where the session "
                                      "left it.");
    QMessageBox ask(QMessageBox::Question, QStringLiteral("Find the Song"),
                    why.arg(songName) + QStringLiteral(" Where is it now?"),
                    QMessageBox::Open | QMessageBox::Cancel, m_parent);
    ask.button(QMessageBox::Open)->setText(QStringLiteral("Find It…"));
    if (ask.exec() != QMessageBox::Open) return std::nullopt;
    QFileDialog dialog(m_parent, QStringLiteral("Find ") + songName, musicFolder());
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters({audioNameFilter(), QStringLiteral("All files (*)")});
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().constFirst();
}

FileDialogs::Unsaved QtFileDialogs::askUnsavedChanges() {
    QMessageBox ask(QMessageBox::Question, QStringLiteral("Unsaved Changes"),
                    QStringLiteral("Save the changes to this practice session first?"),
                    QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, m_parent);
    ask.setDefaultButton(QMessageBox::Save);
    switch (ask.exec()) {
        case QMessageBox::Save:
            return Unsaved::save;
        case QMessageBox::Discard:
            return Unsaved::discard;
        default:
            return Unsaved::cancel;
    }
}

std::optional<QString> QtFileDialogs::saveAudioLocation(const QString& proposedName) {
    QFileDialog dialog(m_parent, QStringLiteral("Export"), saveFolder());
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    // The first is the default; each type's extension is what the file is written as.
    const QList<std::pair<QString, QString>> types = {
        {QStringLiteral("WAV 24-bit (*.wav)"), QStringLiteral("wav")},
        {QStringLiteral("FLAC (*.flac)"), QStringLiteral("flac")},
        {QStringLiteral("MP3 (*.mp3)"), QStringLiteral("mp3")}};
    QStringList filters;
    for (const auto& type : types) filters += type.first;
    dialog.setNameFilters(filters);
    dialog.setDefaultSuffix(QStringLiteral("wav"));
    dialog.selectFile(proposedName);
    // Choosing another type renames the proposal to match it.
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&](const QString& filter) {
        for (const auto& type : types) {
            if (type.first != filter) continue;
            dialog.setDefaultSuffix(type.second);
            const QStringList selected = dialog.selectedFiles();
            if (!selected.isEmpty())
                dialog.selectFile(QFileInfo(selected.constFirst()).completeBaseName() +
                                  QLatin1Char('.') + type.second);
        }
    });
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    QString chosen = dialog.selectedFiles().constFirst();
    QString suffix = QStringLiteral("wav");
    for (const auto& type : types)
        if (type.first == dialog.selectedNameFilter()) suffix = type.second;
    // A name must say its format: one ending in another type's extension keeps it, anything else
    // gets the chosen type's extension added rather than a file under a wrong name.
    for (const auto& type : types)
        if (chosen.endsWith(QLatin1Char('.') + type.second, Qt::CaseInsensitive)) return chosen;
    return chosen + QLatin1Char('.') + suffix;
}

std::optional<QString> QtFileDialogs::exportFolder() {
    QFileDialog dialog(m_parent, QStringLiteral("Export All Stems"), saveFolder());
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Export Here"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().constFirst();
}

}  // namespace corvane::ui
