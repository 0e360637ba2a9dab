// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QColor>
#include <QDir>
#include <QTest>
#include <algorithm>
#include <cmath>

#include "FakeFileDialogs.h"
#include "ModelTestSupport.h"
#include "ui/ContentView.h"
#include "ui/StripView.h"

namespace corvane::test {

// WCAG's contrast ratio of two opaque colours: 1 (same) to 21 (black on white).
inline double contrast(const QColor& a, const QColor& b) {
    const auto luminance = [](const QColor& c) {
        const auto channel = [](double v) {
            return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) +
               0.0722 * channel(c.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// Saves a widget's picture under the build folder's screenshots/ for people to look at.
inline void saveScreenshot(QWidget& widget, const QString& name) {
    QDir().mkpath(QStringLiteral(CORVANE_SCREENSHOT_DIR));
    EXPECT_TRUE(widget.grab().save(QStringLiteral(CORVANE_SCREENSHOT_DIR "/") + name + ".png"));
}

// The window on a model with offline devices and fake dialogs, shown and active (so its
// shortcuts take keys), 1000 by 700.
struct WindowTest : ::testing::Test {
    Rig<FakeFileDialogs> rig;
    model::StudioModel& m = *rig.model;
    model::PracticeModel& practice = m.practice();
    ui::ContentView view{m, rig.dialogs};

    void SetUp() override {
        view.resize(1000, 700);
        view.show();
        view.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
    }

    // The child called `name`, of the strip `strip` if one is given.
    template <class T = QWidget>
    T* child(const char* name, int strip = -1) {
        QWidget* in = strip < 0 ? static_cast<QWidget*>(&view)
                                : view.findChildren<ui::StripView*>().at(strip);
        T* found = in->findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
};

}  // namespace corvane::test
