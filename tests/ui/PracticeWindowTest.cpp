// SPDX-License-Identifier: GPL-3.0-or-later
#include <QAbstractButton>
#include <QAction>
#include <QLabel>
#include <QSignalSpy>
#include <QSlider>
#include <filesystem>
#include <fstream>

#include "WindowFixture.h"
#include "model/MapText.h"
#include "ui/GridCommands.h"
#include "ui/TimeRuler.h"
#include "ui/Timeline.h"

using namespace corvane;
using namespace corvane::test;
using Unsaved = ui::FileDialogs::Unsaved;

namespace {

struct Practice : WindowTest {
    QString status() { return child<QLabel>("statusLabel")->text(); }
    // A 10 s song whose map, once read, is replaced by one of 120 bpm in 4 (a bar every 2 s)
    // with sections A, B and A from 0, 4 and 8 s.
    bool loadOnGrid() {
        if (!rig.load(10.0) || !QTest::qWaitFor([&] { return !m.isMapping(); }, 20000) ||
            !m.songMap())
            return false;
        analysis::SongMap map = steadyMap(10.0, 120.0, 4);
        map.sections = {{0.0, 4.0, "A"}, {4.0, 8.0, "B"}, {8.0, 10.0, "A"}};
        practice.setSongMap(map);
        return true;
    }
    // The x in `on` of `seconds` along the waveforms (the ruler lines up with them), whole song.
    int xOf(QWidget* on, double seconds) {
        QWidget* waveform = child("waveform");
        const auto x = static_cast<int>(std::lround(seconds / m.duration() * waveform->width()));
        return waveform->mapTo(&view, QPoint(x, 0)).x() - on->mapTo(&view, QPoint()).x();
    }
    std::pair<double, double> loop() { return {m.loop().start, m.loop().end}; }
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

// Alt and the arrows move the loop by bars and change its length; Shift+drag on a waveform or the
// ruler snaps the loop's ends to the beats, Shift+Alt+drag leaves them where they are dropped; a
// double-click on the ruler loops the bar there, on a section's marker that section; the loop's
// label names its bars.
TEST_F(Practice, LoopsSnapToTheGridAndMoveByBars) {
    ASSERT_TRUE(loadOnGrid());
    m.seek(2.2);
    QTest::keyClick(&view, Qt::Key_Right, Qt::AltModifier);  // no loop yet: the bar here
    EXPECT_EQ(loop(), std::pair(2.0, 4.0));
    QTest::keyClick(&view, Qt::Key_Right, Qt::AltModifier);
    QTest::keyClick(&view, Qt::Key_Right, Qt::AltModifier | Qt::ShiftModifier);
    EXPECT_EQ(loop(), std::pair(4.0, 8.0));
    EXPECT_TRUE(child<QLabel>("loopTimesLabel")->text().endsWith("bars 3–4"))
        << child<QLabel>("loopTimesLabel")->text().toStdString();
    QTest::keyClick(&view, Qt::Key_Left, Qt::AltModifier | Qt::ShiftModifier);
    QTest::keyClick(&view, Qt::Key_Left, Qt::AltModifier);
    EXPECT_EQ(loop(), std::pair(2.0, 4.0));

    auto* ruler = child<ui::TimeRuler>("timeRuler");
    QWidget* wave = child("waveform");
    const auto drag = [&](QWidget* on, double from, double to, Qt::KeyboardModifiers keys) {
        const int y = on == ruler ? 5 : on->height() / 2;
        QTest::mousePress(on, Qt::LeftButton, keys, {xOf(on, from), y});
        QTest::mouseMove(on, {xOf(on, to), y});
        QTest::mouseRelease(on, Qt::LeftButton, keys, {xOf(on, to), y});
    };
    drag(wave, 1.13, 3.38, Qt::ShiftModifier);
    EXPECT_EQ(loop(), std::pair(1.0, 3.5));
    drag(ruler, 7.8, 6.1, Qt::ShiftModifier);
    EXPECT_EQ(loop(), std::pair(6.0, 8.0));
    const double pixel = m.duration() / wave->width();
    for (QWidget* on : {wave, static_cast<QWidget*>(ruler)}) {
        drag(on, 1.13, 3.38, Qt::ShiftModifier | Qt::AltModifier);
        EXPECT_NEAR(m.loop().start, 1.13, pixel);
        EXPECT_NEAR(m.loop().end, 3.38, pixel);
    }

    const int band = ui::TimeRuler::kScaleHeight + 5;  // the bar numbers and sections
    const std::tuple<double, int, std::pair<double, double>> clicks[] = {
        {4.0, band, {4.0, 8.0}},           // section B's tag
        {8.0, band, {8.0, m.duration()}},  // the last section runs to the end
        {5.3, band, {4.0, 6.0}},           // away from a tag: the bar
        {0.8, 5, {0.0, 2.0}}};             // above the band: the bar
    for (const auto& [seconds, y, looped] : clicks) {
        const int x = xOf(ruler, seconds) + (y == band ? 8 : 0);
        QTest::mouseDClick(ruler, Qt::LeftButton, {}, QPoint(x, y));
        EXPECT_EQ(loop(), looped) << seconds << " s, y " << y;
    }
    // For people to look at: a marker, the loop's bars and the trainer in the smallest window.
    m.seek(1.0);
    QTest::keyClick(&view, Qt::Key_M);
    practice.setTrainerOn(true);
    view.resize(view.minimumSize());
    saveScreenshot(view, "practice");
}

// Each correction of the grid from the window moves the beats as it should, shows in the bars and
// the tempo, and counts as a change to the session; Reset Grid brings back the map's grid. Without
// beats there is nothing to correct, and the status row says so.
TEST_F(Practice, GridCorrectionsChangeTheGridAndResetUndoesThem) {
    ASSERT_TRUE(loadOnGrid());
    auto* grid = view.findChild<ui::GridCommands*>();
    ASSERT_NE(grid, nullptr);
    const auto times = [&](bool barsOnly) {
        std::vector<double> t;
        for (const analysis::Beat& b : practice.beats())
            if (!barsOnly || b.beat == 1) t.push_back(b.time);
        return t;
    };
    const auto summary = [&] { return child<QLabel>("mapSummary")->text(); };
    const auto trigger = [&](const char* name) { child<QAction>(name)->trigger(); };
    const std::vector<double> found = times(false);
    const auto undone = [&](const char* what) {
        EXPECT_TRUE(m.isModified()) << what;
        trigger("resetGridAction");
        EXPECT_EQ(times(false), found) << what;
        EXPECT_EQ(practice.gridEdits(), model::GridEdits{}) << what;
        EXPECT_EQ(summary(), model::tempoText(practice.songMap(), m.stretch())) << what;
        practice.markSaved();
    };
    practice.markSaved();

    m.seek(3.1);
    QTest::keyClick(&view, Qt::Key_D);
    EXPECT_EQ(times(true), (std::vector<double>{1.0, 3.0, 5.0, 7.0, 9.0}));
    EXPECT_EQ(status(), "Bars now start on the beat at 0:03.0.");
    undone("first downbeat");

    trigger("halveTempoAction");  // every other beat, the downbeats kept
    EXPECT_EQ(times(false), (std::vector<double>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(summary(), "60 bpm");
    undone("halved");

    trigger("doubleTempoAction");
    EXPECT_EQ(times(false).size(), 39u);
    EXPECT_EQ(times(false)[1], 0.25);
    EXPECT_EQ(summary(), "240 bpm");
    for (int i = 0; i < 3; ++i) trigger("doubleTempoAction");
    EXPECT_EQ(practice.gridEdits().tempoPower, ui::GridCommands::kMaxTempoPower);
    undone("doubled");

    for (int i = 0; i < 3; ++i) QTest::keyClick(&view, Qt::Key_Period, Qt::ControlModifier);
    QTest::keyClick(&view, Qt::Key_Comma, Qt::ControlModifier);
    EXPECT_EQ(practice.gridEdits().nudgeSeconds, 0.02);
    EXPECT_NEAR(times(false).front(), 0.02, 1e-12);
    EXPECT_EQ(status(), "The grid is 20 ms later than the song map put it.");
    undone("nudged");

    // Taps follow what is heard: 150 bpm at 80 % is the song's 187.5.
    m.setStretch({0.8, 0.0});
    practice.markSaved();
    QTest::keyClick(&view, Qt::Key_T);
    EXPECT_EQ(status(), "Tap T on each beat you hear; the tempo follows from the second.");
    for (const double at : {100.0, 100.4, 100.8, 101.2}) grid->tap(at);
    EXPECT_NEAR(times(false)[1] - times(false)[0], 0.32, 1e-9);
    EXPECT_EQ(summary(), "150 bpm (80 %)");
    undone("tapped");

    analysis::SongMap free = practice.songMap();
    free.beats.clear();
    free.steadyBeat = false;
    free.tempoBpm = 0.0;
    practice.setSongMap(free);
    QTest::keyClick(&view, Qt::Key_D);
    trigger("halveTempoAction");
    EXPECT_EQ(status(), "The song map found no steady beat to correct.");
    EXPECT_FALSE(m.isModified());
}

// Save Session writes NAME.corvane (a typed name gets the extension); opening it again, over
// changes the person discards when asked, restores what was saved; a moved song is asked for and
// only the same file is taken; an unreadable session says one line; closing asks about changes.
TEST_F(Practice, ASessionSavedAndReopenedRestoresTheStudioAndCloseAsksAboutChanges) {
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

    // Closing with unsaved changes asks once: Cancel keeps the window, Save writes the session
    // first.
    m.setLoop(0.5, 1.5);
    ASSERT_TRUE(m.isModified());
    rig.dialogs.asked.clear();
    rig.dialogs.unsaved = Unsaved::cancel;
    EXPECT_FALSE(view.close());
    EXPECT_TRUE(view.isVisible());
    EXPECT_EQ(rig.dialogs.asked, std::vector<QString>{"unsaved"});
    rig.dialogs.unsaved = Unsaved::save;
    rig.dialogs.next = rig.path("kept.corvane");
    EXPECT_TRUE(view.close());
    EXPECT_TRUE(std::filesystem::exists(rig.dir / "kept.corvane"));
}
