// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFile>
#include <QString>
#include <filesystem>

namespace corvane::model {

// A path from the window as the file system takes it: in the locale's own encoding, so a name
// that is not UTF-8 still names its file.
inline std::filesystem::path localPath(const QString& path) {
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

}  // namespace corvane::model
