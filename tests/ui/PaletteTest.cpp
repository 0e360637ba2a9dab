// SPDX-License-Identifier: GPL-3.0-or-later
// How the window's icons and texts read in dark and light palettes, measured on screenshots.
#include <QLabel>
#include <QPushButton>
#include <cmath>

#include "WindowFixture.h"
#include "ui/Theme.h"

using namespace corvane;
using namespace corvane::test;

namespace {

// The strongest contrast a pixel of `box` in `shot` has against `background`: the ink of an icon
// or the stems of a text's letters.
double ink(const QImage& shot, const QRect& box, const QColor& background) {
    double best = 1.0;
    for (int y = box.top(); y <= box.bottom(); ++y)
        for (int x = box.left(); x <= box.right(); ++x)
            best = std::max(best, contrast(shot.pixelColor(x, y), background));
    return best;
}

QPalette darkPalette() {
    QPalette p;
    const QColor text(0xE6, 0xE6, 0xE6);
    for (auto [role, colour] : {std::pair{QPalette::Window, QColor(0x2D, 0x2D, 0x30)},
                                {QPalette::WindowText, text},
                                {QPalette::Base, QColor(0x1E, 0x1E, 0x1E)},
                                {QPalette::AlternateBase, QColor(0x2D, 0x2D, 0x30)},
                                {QPalette::Button, QColor(0x3A, 0x3A, 0x3D)},
                                {QPalette::ButtonText, text},
                                {QPalette::Text, text},
                                {QPalette::ToolTipBase, QColor(0x3A, 0x3A, 0x3D)},
                                {QPalette::ToolTipText, text},
                                {QPalette::Highlight, QColor(0x2F, 0x65, 0xCA)},
                                {QPalette::HighlightedText, Qt::white}})
        p.setColor(role, colour);
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x80, 0x80, 0x80));
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x80, 0x80, 0x80));
    return p;
}

struct Palette : WindowTest {};

}  // namespace

// Measured on screenshots of the window, in light and dark palettes and at the smallest and a
// usual size: icons reach 3:1 against their buttons, secondary text 4.5:1 against what is behind
// it. The pictures land in build/screenshots/ (window-light-780x600.png, …).
TEST_F(Palette, IconsAndSecondaryTextReadWellInDarkAndLight) {
    ASSERT_TRUE(rig.load(8.0, "My Song.wav"));
    setStrips(m, {{1.0f, 0, 0}, {0.7f, 0, 0}, {1.0f, 0, 1}});
    m.setLoop(2.0, 5.0);
    m.seek(3.0);
    const QPalette light = QApplication::palette();
    for (const bool dark : {false, true}) {
        QApplication::setPalette(dark ? darkPalette() : light);
        for (const QSize size : {QSize(780, 600), QSize(1280, 800)}) {
            SCOPED_TRACE(testing::Message() << (dark ? "dark " : "light ") << size.width());
            view.resize(size);
            QCoreApplication::processEvents();
            const QImage shot = view.grab().toImage();
            ASSERT_EQ(shot.size(), size) << "a 1x grab, so widget and picture pixels agree";
            const auto box = [&](QWidget* w) {
                return QRect(w->mapTo(&view, QPoint()), w->size());
            };
            for (QWidget* button : {child("stopButton"), child("playPauseButton"),
                                    child("openButton"), child("exportButton", 1)}) {
                const QRect b = box(button);
                const QColor face = shot.pixelColor(b.center().x(), b.top() + 4);
                EXPECT_GE(ink(shot, b.adjusted(4, 6, -4, -6), face), 3.0)
                    << button->objectName().toStdString();
            }
            for (QWidget* label : {child("infoLabel"), child("subtitleLabel", 1),
                                   child("volumeLabel", 2), child("tempoLabel")}) {
                const QRect b = box(label);
                const QColor behind = shot.pixelColor(b.topLeft());
                EXPECT_GE(ink(shot, b, behind), 4.5) << label->objectName().toStdString();
            }
            saveScreenshot(view, QStringLiteral("window-%1-%2x%3")
                                     .arg(dark ? "dark" : "light")
                                     .arg(size.width())
                                     .arg(size.height()));
        }
    }
    QApplication::setPalette(light);
}
