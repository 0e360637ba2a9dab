// SPDX-License-Identifier: GPL-3.0-or-later
#include "UiTestSupport.h"

#include <QDir>

#include "demo/DemoSong.h"

namespace corvane::test {

bool UiRig::loadSong(double seconds, const std::string& name) {
    return loadAndWait(*model, writeSong(dir, name, demo::makeDemoSong(seconds, 44100.0)));
}

QImage render(QWidget& widget) {
    QImage image(widget.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    widget.render(&image);
    return image;
}

void saveScreenshot(QWidget& widget, const QString& name) {
    QDir().mkpath(QStringLiteral(CORVANE_SCREENSHOT_DIR));
    widget.grab().save(QStringLiteral(CORVANE_SCREENSHOT_DIR "/") + name + QStringLiteral(".png"));
}

}  // namespace corvane::test
