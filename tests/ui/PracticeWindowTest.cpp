// SPDX-License-Identifier: GPL-3.0-or-later
#include <QAbstractButton>
#include <QAction>
#include <QDir>
#include <QLabel>
#include <QSignalSpy>
#include <QSlider>
#include <filesystem>
#include <fstream>

#include "FakeFileDialogs.h"
#include "ModelTestSupport.h"
#include "ui/ContentView.h"
#include "ui/TimeRuler.h"
#include "ui/Timeline.h"

using namespace corvane;
using namespace corvane::test;
using Unsaved = ui::FileDialogs::Unsaved;

namespace {

struct Practice : ::testing::Test {
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
    template <class T = QWidget>
    T* child(const char* name) {
        T* found = view.findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QString status() { return child<QLabel>("statusLabel")->text(); }
    // Opens `path` as the window does and waits until its session is restored.
    bool openSession(const QString& path) {
        QSignalSpy applied(&m, &model::StudioModel::sessionApplied);
        view.openPath(path);
        return QTest::qWaitFor([&] { return applied.count() == 1; }, 20000);
    }
};

// The person's own markers: the map's sections come and go with the analysis.
model::Session withOwnMarkers(model::Session session) {
    std::erase_if(session.markers, [](const model::Marker& marker) { return marker.section; });
    return session;
}

model::Session current(model::StudioModel& m) {
    return withOwnMarkers(std::get<model::Session>(m.collectSession(0.0)));
}

}  // namespace

// The click's key, button and slider are one setting; M drops a marker where the playhead is and
// the page keys go from marker to marker; the trainer's tempo shows while it runs.
TEST_F(Practice, TheKeysDriveClickMarkersAndTrainer) {
    ASSERT_TRUE(rig.load(4.0));
    auto* click = child<QAbstractButton>("clickButton");
    const bool wasMuted = practice.clickMuted();
    QTest::keyClick(&view, Qt::Key_C);
    EXPECT_EQ(practice.clickMuted(), !wasMuted);
    EXPECT_EQ(click->isChecked(), !practice.clickMuted());
    click->click();
    EXPECT_EQ(practice.clickMuted(), wasMuted);
    child<QSlider>("clickVolumeSlider")->setValue(50);
    EXPECT_EQ(practice.clickVolume(), 0.5f);
    EXPECT_TRUE(child("clickVolumeSlider")->toolTip().contains("(C"));
    child<QAction>("countInEachPassAction")->trigger();  // in Playback > Count-in
    EXPECT_TRUE(practice.countInEachPass());

    const auto own = [&] { return current(m).markers; };
    for (const double at : {2.5, 1.0}) {
        m.seek(at);
        QTest::keyClick(&view, Qt::Key_M);
    }
    ASSERT_EQ(own().size(), 2u);
    EXPECT_EQ(std::pair(own()[0].seconds, own()[1].seconds), std::pair(1.0, 2.5));
    EXPECT_EQ(own()[1].name, "Marker 1");
    EXPECT_TRUE(m.isModified());
    m.seek(1.5);
    QTest::keyClick(&view, Qt::Key_PageDown);
    EXPECT_NEAR(m.position(), 2.5, 1e-6);
    QTest::keyClick(&view, Qt::Key_M, Qt::ShiftModifier);  // the one at the playhead
    EXPECT_EQ(own().size(), 1u);

    EXPECT_FALSE(child("trainerLabel")->isVisible());
    practice.setTrainerOn(true);
    EXPECT_TRUE(child("trainerLabel")->isVisible());
    EXPECT_EQ(child<QLabel>("trainerLabel")->text(), "Trainer 60 % → 100 %");
}

// Alt and the arrows move the loop by bars and change its length; a double-click on the ruler
// loops the bar there; the loop's label names its bars.
TEST_F(Practice, LoopsMoveByBars) {
    ASSERT_TRUE(rig.load(10.0));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !m.isMapping(); }, 20000));
    analysis::SongMap map;  // 120 bpm in 4: a bar every 2 s
    map.durationSeconds = 10.0;
    map.beatsPerBar = 4;
    map.tempoBpm = 120.0;
    map.steadyBeat = true;
    for (int k = 0; k < 20; ++k) map.beats.push_back({k * 0.5, 1 + k / 4, 1 + k % 4});
    practice.setSongMap(map);

    m.seek(2.2);
    QTest::keyClick(&view, Qt::Key_Right, Qt::AltModifier);  // no loop yet: the bar here
    EXPECT_EQ(std::pair(m.loop().start, m.loop().end), std::pair(2.0, 4.0));
    QTest::keyClick(&view, Qt::Key_Right, Qt::AltModifier);
    QTest::keyClick(&view, Qt::Key_Right, Qt::AltModifier | Qt::ShiftModifier);
    EXPECT_EQ(std::pair(m.loop().start, m.loop().end), std::pair(4.0, 8.0));
    EXPECT_TRUE(child<QLabel>("loopTimesLabel")->text().endsWith("bars 3–4"))
        << child<QLabel>("loopTimesLabel")->text().toStdString();
    QTest::keyClick(&view, Qt::Key_Left, Qt::AltModifier | Qt::ShiftModifier);
    QTest::keyClick(&view, Qt::Key_Left, Qt::AltModifier);
    EXPECT_EQ(std::pair(m.loop().start, m.loop().end), std::pair(2.0, 4.0));

    auto* ruler = child<ui::TimeRuler>("timeRuler");
    auto* waveform = child("waveform");
    const int left = waveform->mapTo(&view, QPoint()).x() - ruler->mapTo(&view, QPoint()).x();
    const int x = left + static_cast<int>(waveform->width() * 0.1);  // 0.8 s: bar 1
    QTest::mouseDClick(ruler, Qt::LeftButton, {}, QPoint(x, 5));
    EXPECT_EQ(std::pair(m.loop().start, m.loop().end), std::pair(0.0, 2.0));
    // For people to look at: a marker, the loop's bars and the trainer in the smallest window.
    m.seek(1.0);
    QTest::keyClick(&view, Qt::Key_M);
    practice.setTrainerOn(true);
    view.resize(view.minimumSize());
    QDir().mkpath(QStringLiteral(CORVANE_SCREENSHOT_DIR));
    EXPECT_TRUE(view.grab().save(QStringLiteral(CORVANE_SCREENSHOT_DIR "/practice.png")));
}

// Save Session writes NAME.corvane (a typed name gets the extension); opening it again, over
// changes the person discards when asked, restores what was saved; a moved song is asked for and
// only the same file is taken; an unreadable session says one line.
TEST_F(Practice, ASessionSavedAndReopenedRestoresTheStudio) {
    ASSERT_TRUE(rig.load(4.0, "Tune.wav"));
    m.setStretch({0.9, 2.0});
    m.setLoop(1.0, 2.5);
    setStrips(m, {{0.5f, false, true}});
    m.seek(1.5);
    QTest::keyClick(&view, Qt::Key_M);
    QTest::keyClick(&view, Qt::Key_C);
    auto* timeline = view.findChild<ui::Timeline*>();
    m.practice().markSaved();
    QTest::keyClick(&view, Qt::Key_Plus, Qt::ControlModifier);
    const int zoom = timeline->level();
    EXPECT_GT(zoom, 0);
    ASSERT_TRUE(m.isModified()) << "zooming is a change too";
    rig.dialogs.next = rig.path("practice");
    QTest::keyClick(&view, Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(rig.dialogs.asked.back(), "Tune.corvane");
    EXPECT_EQ(status(), "Session saved as practice.corvane.");
    EXPECT_FALSE(m.isModified());
    const QString file = rig.path("practice.corvane");
    const model::Session saved = current(m);

    m.setStretch({});
    m.clearLoop();
    QTest::keyClick(&view, Qt::Key_M, Qt::ShiftModifier);
    timeline->reset();
    ASSERT_TRUE(m.isModified());
    rig.dialogs.next = file;
    QSignalSpy applied(&m, &model::StudioModel::sessionApplied);
    QTest::keyClick(&view, Qt::Key_O, Qt::ControlModifier);
    ASSERT_TRUE(QTest::qWaitFor([&] { return applied.count() == 1; }, 20000));
    EXPECT_EQ(rig.dialogs.asked, (std::vector<QString>{"Tune.corvane", "open", "unsaved"}));
    EXPECT_TRUE(current(m) == saved);
    EXPECT_EQ(timeline->level(), zoom);
    EXPECT_FALSE(m.isModified());

    std::filesystem::rename(rig.dir / "Tune.wav", rig.dir / "Moved.wav");
    writeSong(rig.dir, "Other.wav", demo::makeDemoSong(3.0));
    rig.dialogs.next = rig.path("Other.wav");
    view.openPath(file);
    EXPECT_EQ(rig.dialogs.asked.back(), "missing Tune.wav");
    EXPECT_EQ(status(), "Session not opened: Other.wav is not the song it was saved with.");
    view.openPath(file);  // and the person cancels
    EXPECT_EQ(status(), "Session not opened: its song Tune.wav was not found.");
    m.setStretch({});
    rig.dialogs.next = rig.path("Moved.wav");
    ASSERT_TRUE(openSession(file));
    EXPECT_EQ(m.fileName(), "Moved.wav");
    model::Session moved = current(m);
    moved.songPath = saved.songPath;
    EXPECT_TRUE(moved == saved);

    std::ofstream(rig.dir / "bad.corvane") << "{ not json";
    view.openPath(rig.path("bad.corvane"));
    EXPECT_TRUE(status().startsWith("Cannot open session bad.corvane")) << status().toStdString();
    EXPECT_EQ(m.fileName(), "Moved.wav");
}

// Closing with unsaved changes asks once: Cancel keeps the window, Save writes the session first.
TEST_F(Practice, UnsavedChangesAreAskedAboutOnClose) {
    ASSERT_TRUE(rig.load(2.0));
    m.setLoop(0.5, 1.5);
    ASSERT_TRUE(m.isModified());
    rig.dialogs.unsaved = Unsaved::cancel;
    EXPECT_FALSE(view.close());
    EXPECT_TRUE(view.isVisible());
    EXPECT_EQ(rig.dialogs.asked, std::vector<QString>{"unsaved"});
    rig.dialogs.unsaved = Unsaved::save;
    rig.dialogs.next = rig.path("kept.corvane");
    EXPECT_TRUE(view.close());
    EXPECT_TRUE(std::filesystem::exists(rig.dir / "kept.corvane"));
}
