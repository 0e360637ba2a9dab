// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/QtFileDialogs.h"

#include <QDir>
#include <QFileDialog>
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

std::optional<QString> QtFileDialogs::openAudioFile() {
    QFileDialog dialog(m_parent, QStringLiteral("Open Audio"), musicFolder());
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters({audioNameFilter(), QStringLiteral("All files (*)")});
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().constFirst();
}

std::optional<QString> QtFileDialogs::saveWavLocation(const QString& proposedName) {
    QFileDialog dialog(m_parent, QStringLiteral("Export"), musicFolder());
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(QStringLiteral("WAV audio (*.wav)"));
    dialog.setDefaultSuffix(QStringLiteral("wav"));
    dialog.selectFile(proposedName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    QString chosen = dialog.selectedFiles().constFirst();
    // Only WAV names: another extension gets .wav added rather than a WAV under a wrong name.
    if (!chosen.endsWith(QStringLiteral(".wav"), Qt::CaseInsensitive))
        chosen += QStringLiteral(".wav");
    return chosen;
}

std::optional<QString> QtFileDialogs::exportFolder() {
    QFileDialog dialog(m_parent, QStringLiteral("Export All Stems"), musicFolder());
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Export Here"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().constFirst();
}

}  // namespace corvane::ui
