// SPDX-License-Identifier: GPL-3.0-or-later
// The window's commands: loops by mouse and keys, zoom and scroll, the menu bar and the tab order.
#include <QAbstractButton>
#include <QAbstractSlider>
#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <cmath>
#include <set>

#include "WindowFixture.h"
#include "ui/Theme.h"
#include "ui/TimeRuler.h"
#include "ui/TimeString.h"
#include "ui/Timeline.h"
#include "ui/WaveformView.h"

using namespace corvane;
using namespace corvane::test;
using ui::timeString;

namespace {

struct WindowCommands : WindowTest {};

}  // namespace

TEST_F(WindowCommands, ShiftDragSetsTheLoopWhichLTogglesAndEscapeClears) {
    ASSERT_TRUE(rig.load(10.0));
    const auto freely = Qt::ShiftModifier | Qt::AltModifier;
    const auto waveform = [&](int i) { return child<ui::WaveformView>("waveform", i); };
    ui::WaveformView* wave = waveform(2);
    const int w = wave->width(), y = wave->height() / 2;
    // How blue the top row of each waveform is at x (above the bars, so only the shading shows).
    const auto shade = [&](int i, int x) {
        return waveform(i)->grab().toImage().pixelColor(x, 1).blueF();
    };
    const std::vector<double> before = {shade(0, w / 3), shade(1, w / 3), shade(2, w / 3),
                                        shade(3, w / 3)};

    QTest::mousePress(wave, Qt::LeftButton, freely, {w / 4, y});
    QTest::mouseMove(wave, {w / 2, y});
    EXPECT_FALSE(m.loop().isSet()) << "the model hears of it at release";
    for (int i = 0; i < 4; ++i) EXPECT_GT(shade(i, w / 3), before[i] + 0.02) << "dragging " << i;
    QTest::mouseRelease(wave, Qt::LeftButton, freely, {w / 2, y});
    const model::LoopRegion set = m.loop();
    EXPECT_TRUE(set.enabled);
    EXPECT_NEAR(set.start, 10.0 * (w / 4) / w, 1e-9);
    EXPECT_NEAR(set.end, 10.0 * (w / 2) / w, 1e-9);
    EXPECT_EQ(m.startFrame(), 0) << "a Shift-drag does not seek";
    for (int i = 0; i < 4; ++i) {
        EXPECT_GT(shade(i, w / 3), before[i] + 0.02) << "strip " << i;
        EXPECT_NEAR(shade(i, 3 * w / 4), before[i], 0.01) << "outside, strip " << i;
    }
    EXPECT_TRUE(child<QPushButton>("loopButton")->isChecked());

    // Key, then whether a loop is set and on; the region itself stays until cleared.
    const std::tuple<Qt::Key, bool, bool> keys[] = {{Qt::Key_L, true, false},
                                                    {Qt::Key_L, true, true},
                                                    {Qt::Key_Escape, false, false},
                                                    {Qt::Key_L, false, false}};
    const double on = shade(1, w / 3);
    for (const auto& [key, isSet, enabled] : keys) {
        QTest::keyClick(&view, key);
        if (isSet && !enabled) {  // off: still shown, fainter
            EXPECT_GT(shade(1, w / 3), before[1] + 0.005);
            EXPECT_LT(shade(1, w / 3), on - 0.01);
        }
        EXPECT_EQ(std::tuple(m.loop().isSet(), m.loop().enabled), std::tuple(isSet, enabled))
            << QKeySequence(key).toString().toStdString();
        if (isSet) {
            EXPECT_EQ(std::pair(m.loop().start, m.loop().end), std::pair(set.start, set.end));
        }
        EXPECT_EQ(child<QPushButton>("loopButton")->isChecked(), enabled);
    }
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(shade(i, w / 3), before[i], 0.01) << "cleared " << i;

    // Dragged right to left, the region is the same; a Shift-click clears it; the right button
    // marks nothing.
    QTest::mousePress(waveform(0), Qt::LeftButton, freely, {w / 2, y});
    QTest::mouseMove(waveform(0), {w / 4, y});
    QTest::mouseRelease(waveform(0), Qt::LeftButton, freely, {w / 4, y});
    EXPECT_EQ(std::pair(m.loop().start, m.loop().end), std::pair(set.start, set.end));
    QTest::keyClick(&view, Qt::Key_L);
    saveScreenshot(*child("studio"), "loop-off");
    QTest::mouseClick(waveform(3), Qt::LeftButton, Qt::ShiftModifier, {w / 3, y});
    EXPECT_FALSE(m.loop().isSet());
    QTest::mousePress(wave, Qt::RightButton, Qt::ShiftModifier, {w / 4, y});
    QTest::mouseMove(wave, {w / 2, y});
    QTest::mouseRelease(wave, Qt::RightButton, Qt::ShiftModifier, {w / 2, y});
    EXPECT_FALSE(m.loop().isSet());
    EXPECT_EQ(m.startFrame(), 0);
    // A plain press still seeks.
    QTest::mouseClick(wave, Qt::LeftButton, {}, {w / 2, y});
    EXPECT_NEAR(m.position(), 5.0, 10.0 / w);
}

// Zoom and scroll are one view for the four strips and the ruler: the wheel with Ctrl zooms about
// the pointer, without it scrolls, a drag on the ruler scrolls, the keys zoom about the playhead,
// and a click seeks to the time under the pointer at any zoom. A label whose tick sits at the
// right edge of the ruler is drawn whole, to the tick's left.
TEST_F(WindowCommands, ZoomAndScrollMoveTheStripsAndTheRulerTogether) {
    ASSERT_TRUE(rig.load(20.0));
    auto* timeline = view.findChild<ui::Timeline*>();
    ASSERT_NE(timeline, nullptr);
    auto* ruler = child<ui::TimeRuler>("timeRuler");
    const auto waveform = [&](int i) { return child<ui::WaveformView>("waveform", i); };
    const int w = waveform(0)->width(), y = waveform(0)->height() / 2;
    {
        const std::vector<ui::RulerTick> ticks = ruler->ticks();
        ASSERT_TRUE(!ticks.empty() && ticks.back().seconds == 20.0) << "a tick at the very end";
        const QImage img = ruler->grab().toImage();
        const int right = ruler->mapFrom(&view, waveform(0)->mapTo(&view, QPoint(w, 0))).x();
        const int textWidth =
            QFontMetrics(ui::font(ui::TextStyle::caption2)).horizontalAdvance(ticks.back().label);
        const QColor background = img.pixelColor(right - textWidth - 20, img.height() - 2);
        int inked = 0;
        for (int yy = img.height() / 3; yy < img.height(); ++yy)
            for (int x = right - 4 - textWidth; x < right - 2; ++x)
                inked += contrast(img.pixelColor(x, yy), background) > 2.0;
        EXPECT_GT(inked, 12) << "the last label's letters left of its tick";
    }
    const auto wheel = [&](QWidget* on, QPoint at, int notches, Qt::KeyboardModifiers mods) {
        QWheelEvent e(at, on->mapToGlobal(at), {}, {0, 120 * notches}, Qt::NoButton, mods,
                      Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(on, &e);
    };
    // Where a click at x seeks on each strip: one time for all four, at any zoom.
    const auto seekAt = [&](int x) {
        std::vector<double> at;
        for (int i = 0; i < 4; ++i) {
            QTest::mouseClick(waveform(i), Qt::LeftButton, {}, {x, y});
            at.push_back(m.position());
        }
        EXPECT_TRUE(std::all_of(at.begin(), at.end(), [&](double s) { return s == at[0]; }));
        return at[0];
    };
    // The ruler's labels lie in view, a step apart, each naming its own time.
    const auto checkRuler = [&] {
        const std::vector<ui::RulerTick> ticks = ruler->ticks();
        ASSERT_GE(ticks.size(), 2u);
        const double step = ticks[1].seconds - ticks[0].seconds;
        EXPECT_LE(ticks.front().seconds - timeline->start(), step + 1e-9);
        for (const ui::RulerTick& t : ticks) {
            EXPECT_GE(t.seconds, timeline->start() - 1e-9);
            EXPECT_LE(t.seconds, timeline->start() + timeline->span() + 1e-9);
            if (step >= 1.0) {
                EXPECT_EQ(t.label, ui::timeString(t.seconds + 1e-9));
            }
        }
    };
    const double frame = 1.0 / 44100.0;
    checkRuler();
    EXPECT_EQ(ruler->ticks().front().label, "0:00");
    EXPECT_NEAR(seekAt(w / 4), 20.0 * (w / 4) / w, frame);

    wheel(waveform(1), {w / 4, y}, 4, Qt::ControlModifier);  // an octave in, about that place
    EXPECT_EQ(std::tuple(timeline->level(), timeline->span()), std::tuple(4, 10.0));
    EXPECT_NEAR(seekAt(w / 4), 20.0 * (w / 4) / w, frame) << "the time under the pointer stays";
    EXPECT_NEAR(seekAt(w), timeline->start() + 10.0, frame);
    checkRuler();

    const double start = timeline->start();
    wheel(waveform(2), {w / 2, y}, -3, {});  // down three notches: later by 30 % of the view
    EXPECT_NEAR(timeline->start(), start + 3.0, 1e-9);
    const QPoint onRuler(ruler->mapFromGlobal(waveform(0)->mapToGlobal(QPoint(w / 2, 0))).x(),
                         ruler->height() / 2);
    QTest::mousePress(ruler, Qt::LeftButton, {}, onRuler);
    QTest::mouseMove(ruler, onRuler - QPoint(w / 4, 0));
    QTest::mouseRelease(ruler, Qt::LeftButton, {}, onRuler - QPoint(w / 4, 0));
    EXPECT_NEAR(timeline->start(), start + 3.0 + 10.0 * (w / 4) / w, 1e-9)
        << "the song follows the pointer";
    EXPECT_NEAR(seekAt(0), timeline->start(), frame);
    checkRuler();
    // Shift+drag on the ruler marks a loop (with Alt, off the grid) and scrolls nothing.
    const double before = timeline->start();
    const auto freely = Qt::ShiftModifier | Qt::AltModifier;
    QTest::mousePress(ruler, Qt::LeftButton, freely, onRuler);
    QTest::mouseMove(ruler, onRuler + QPoint(w / 4, 0));
    QTest::mouseRelease(ruler, Qt::LeftButton, freely, onRuler + QPoint(w / 4, 0));
    EXPECT_EQ(timeline->start(), before);
    EXPECT_NEAR(m.loop().start, before + 5.0, 10.0 / w);
    EXPECT_NEAR(m.loop().end, before + 7.5, 10.0 / w);
    // The picture once the finer peaks are in (each tile arrives with a repaint).
    QSignalSpy arrived(&timeline->peakCache(), &model::PeakCache::tilesArrived);
    child("studio")->repaint();
    while (arrived.wait(300)) {
    }
    QCoreApplication::processEvents();
    saveScreenshot(*child("studio"), "zoomed-loop");

    // Keys, then the zoom level; - and = stay pitch.
    const std::tuple<Qt::Key, Qt::KeyboardModifiers, int> keys[] = {
        {Qt::Key_0, Qt::ControlModifier, 0},
        {Qt::Key_Plus, Qt::ControlModifier, 2},
        {Qt::Key_Plus, {}, 4},
        {Qt::Key_Equal, Qt::ControlModifier, 6},
        {Qt::Key_Minus, Qt::ControlModifier, 4},
        {Qt::Key_Minus, {}, 4},
        {Qt::Key_Equal, {}, 4}};
    for (const auto& [key, mods, level] : keys) {
        QTest::keyClick(&view, key, mods);
        EXPECT_EQ(timeline->level(), level) << QKeySequence(key | mods).toString().toStdString();
    }
    EXPECT_EQ(m.stretch().semitones, 0.0) << "- then =";

    // Playing off the right edge of a zoomed view turns the page; a view scrolled away stays.
    timeline->scrollTo(0.0);
    m.seek(timeline->span() - 0.2);
    m.play();
    rig.device->render(5292 + 22050);
    ASSERT_TRUE(QTest::qWaitFor([&] { return timeline->start() > 0.0; }, 2000));
    EXPECT_LE(timeline->start(), m.position());
    // Back before the view's start (a loop's wrap, a key): the view goes with it.
    QTest::keyClick(&view, Qt::Key_Left);
    EXPECT_EQ(timeline->start(), m.position());
    timeline->scrollTo(m.position() + 2.0);
    const double away = timeline->start();
    rig.device->render(22050);
    QSignalSpy(&m, &model::StudioModel::positionChanged).wait(500);
    EXPECT_EQ(timeline->start(), away) << "scrolled away on purpose";
    m.stop();
    QTest::keyClick(&view, Qt::Key_0, Qt::ControlModifier);
    EXPECT_NEAR(seekAt(w / 2), 20.0 * (w / 2) / w, frame);
}

// The menu bar lists every command with its shortcut; the shortcuts work from the window, the
// song's commands only with a song.
TEST_F(WindowCommands, TheMenuBarListsEveryCommandWithItsShortcut) {
    QStringList menus;
    std::vector<QAction*> commands;
    for (QAction* menu : child<QMenuBar>("menuBar")->actions()) {
        menus << menu->text().remove('&');
        for (QAction* a : menu->menu()->actions())
            if (!a->isSeparator() && !a->menu()) commands.push_back(a);
    }
    EXPECT_EQ(menus, QStringList({"File", "Playback", "Markers", "Mixer", "View", "Help"}));
    EXPECT_EQ(child<QMenu>("countInMenu")->actions().size(), 5);  // 0, 1, 2 bars, |, each pass
    EXPECT_GE(commands.size(), 45u);
    for (QAction* a : commands)
        EXPECT_TRUE(a->objectName() == "aboutAction" || !a->shortcut().isEmpty())
            << a->text().toStdString();
    // The grid's corrections, in their own submenu: a tooltip each, naming its key if it has one.
    for (QAction* a : child<QMenu>("beatGridMenu")->actions()) {
        if (a->isSeparator()) continue;
        const QString key = a->shortcut().toString(QKeySequence::NativeText);
        EXPECT_TRUE(key.isEmpty() ? !a->toolTip().endsWith(")")
                                  : a->toolTip().endsWith(" (" + key + ")"))
            << a->toolTip().toStdString();
        commands.push_back(a);
    }
    // What the studio's buttons do is there too, the practice commands with the keys they were
    // given, each key meaning one command.
    const std::vector<std::pair<const char*, const char*>> named = {
        {"openAction", "Ctrl+O"},
        {"exportMixAction", "Ctrl+E"},
        {"exportStemsAction", "Ctrl+Shift+E"},
        {"quitAction", "Ctrl+Q"},
        {"playAction", "Space"},
        {"stopAction", "S"},
        {"loopAction", "L"},
        {"methodAction", "R"},
        {"resetStretchAction", "0"},
        {"karaokeAction", "K"},
        {"soloDrumsAction", "2"},
        {"muteBassAction", "Shift+3"},
        {"zoomInAction", "Ctrl++"},
        {"zoomOutAction", "Ctrl+-"},
        {"wholeSongAction", "Ctrl+0"},
        {"shortcutsAction", "F1"},
        {"aboutAction", ""},
        {"loopStartAction", "I"},
        {"loopEndAction", "O"},
        {"saveSessionAction", "Ctrl+S"},
        {"exportMapAction", "Ctrl+Alt+E"},
        {"clickAction", "C"},
        {"speedTrainerAction", "Ctrl+T"},
        {"addMarkerAction", "M"},
        {"nextMarkerAction", "PgDown"},
        {"previousMarkerAction", "PgUp"},
        {"renameMarkerAction", "F2"},
        {"removeMarkerAction", "Shift+M"},
        {"loopLaterAction", "Alt+Right"},
        {"loopEarlierAction", "Alt+Left"},
        {"loopLongerAction", "Alt+Shift+Right"},
        {"loopShorterAction", "Alt+Shift+Left"},
        {"firstDownbeatAction", "D"},
        {"halveTempoAction", ""},
        {"doubleTempoAction", ""},
        {"nudgeGridEarlierAction", "Ctrl+,"},
        {"nudgeGridLaterAction", "Ctrl+."},
        {"tapTempoAction", "T"},
        {"resetGridAction", ""}};
    for (const auto& [name, key] : named) {
        const auto found = std::find_if(commands.begin(), commands.end(),
                                        [&](QAction* a) { return a->objectName() == name; });
        ASSERT_NE(found, commands.end()) << name;
        EXPECT_EQ((*found)->shortcut().toString(), key) << name;
    }
    std::set<QString> keys;
    for (QAction* a : commands)
        for (const QKeySequence& key : a->shortcuts())
            EXPECT_TRUE(keys.insert(key.toString()).second) << key.toString().toStdString();
    EXPECT_FALSE(child<QAction>("exportMapAction")->isEnabled()) << "no map yet";

    QTest::keyClick(&view, Qt::Key_E, Qt::ControlModifier);  // no song: nothing to export
    QTest::keyClick(&view, Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(rig.dialogs.asked, std::vector<QString>{"open"});
    ASSERT_TRUE(rig.load(2.0, "Tune.wav"));
    QTest::keyClick(&view, Qt::Key_E, Qt::ControlModifier);
    QTest::keyClick(&view, Qt::Key_E, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(rig.dialogs.asked, (std::vector<QString>{"open", "Tune - Mix.wav", "folder"}));
    QTest::keyClick(&view, Qt::Key_F1);
    auto* help = view.findChild<QMessageBox*>("shortcutsBox");
    ASSERT_NE(help, nullptr);
    for (const char* line :
         {"Ctrl+O\tOpen…", "I\tSet Loop Start at Playhead", "T\tTap Tempo", "F1\tKeyboard"})
        EXPECT_TRUE(help->text().contains(line)) << line;
    help->close();
}

// Tab reaches every control; a focused slider keeps its arrow keys, a focused button takes Return.
TEST_F(WindowCommands, TabReachesEveryControlAndAFocusedSliderKeepsItsArrows) {
    ASSERT_TRUE(rig.load(10.0));
    m.setStretch({0.9, 0.0});  // so that Reset is enabled
    child("openButton")->setFocus();
    std::set<std::string> reached;
    for (int i = 0; i < 80 && QApplication::focusWidget(); ++i) {
        reached.insert(QApplication::focusWidget()->objectName().toStdString());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    for (const char* name :
         {"openButton", "stopButton", "playPauseButton", "seekSlider", "standardButton",
          "tempoSlider", "pitchSlider", "resetStretchButton", "volumeSlider", "soloButton",
          "muteButton", "exportButton", "karaokeButton", "loopButton", "exportMixButton",
          "exportAllButton", "clickButton", "clickVolumeSlider"})
        EXPECT_EQ(reached.count(name), 1u) << name;

    auto* volume = child<QSlider>("volumeSlider", 2);
    volume->setFocus();
    m.seek(4.0);
    QTest::keyClick(volume, Qt::Key_Right);
    QTest::keyClick(volume, Qt::Key_Right);
    QTest::keyClick(volume, Qt::Key_Left);
    EXPECT_EQ(std::tuple(m.position(), m.strips()[2].volume), std::tuple(4.0, 1.01f));
    EXPECT_TRUE(volume->toolTip().contains("101 % (+0.1 dB)")) << volume->toolTip().toStdString();
    QTest::mouseDClick(volume, Qt::LeftButton, {}, QPoint(4, volume->height() / 2));
    EXPECT_EQ(m.strips()[2].volume, 1.0f) << "a double-click goes back to 100 %";
    QTest::keyClick(volume, Qt::Key_Period);  // not the slider's: the window's nudge
    EXPECT_NEAR(m.position(), 4.1, 1e-4);
    auto* solo = child<QPushButton>("soloButton", 3);
    solo->setFocus();
    QTest::keyClick(solo, Qt::Key_Return);
    EXPECT_TRUE(m.strips()[3].solo);
}

// The loop from the keyboard: I and O mark it at the playhead (nudged by , and .), L without one
// says how, Stop goes to its start; Escape cancels an export first, and clears the loop after.
TEST_F(WindowCommands, LoopsFromTheKeyboardAndEscapeCancelsAnExportFirst) {
    ASSERT_TRUE(rig.load(10.0, "Tune.wav"));
    QTest::keyClick(&view, Qt::Key_L);
    EXPECT_EQ(child<QLabel>("statusLabel")->text(), QString::fromUtf8(model::kNoLoop));
    m.seek(2.0);
    for (int i = 0; i < 3; ++i) QTest::keyClick(&view, Qt::Key_Period);
    QTest::keyClick(&view, Qt::Key_I);
    m.seek(6.0);
    QTest::keyClick(&view, Qt::Key_Comma);
    QTest::keyClick(&view, Qt::Key_O);
    EXPECT_NEAR(m.loop().start, 2.3, 1e-4);
    EXPECT_NEAR(m.loop().end, 5.9, 1e-4);
    EXPECT_TRUE(m.loop().enabled);
    EXPECT_EQ(child<QLabel>("loopTimesLabel")->text(), "0:02.3 – 0:05.9");
    m.seek(5.0);
    m.play();
    rig.device->render(5292 + 44100);
    QTest::keyClick(&view, Qt::Key_S);
    EXPECT_EQ(m.isPlaying(), false);
    EXPECT_NEAR(m.position(), 2.3, 1e-4);

    m.setStretch({0.7, 0.0});  // a slower export, still running when Escape comes
    rig.dialogs.next = rig.path("mix.wav");
    QTest::keyClick(&view, Qt::Key_E, Qt::ControlModifier);
    ASSERT_TRUE(m.isExporting());
    EXPECT_TRUE(child("exportRow")->isVisible() && !child("statusLabel")->isVisible())
        << "one status at a time";
    QTest::keyClick(&view, Qt::Key_Escape);
    ASSERT_TRUE(waitForExport(m));
    EXPECT_EQ(std::tuple(m.status(), m.loop().isSet()), std::tuple("Export cancelled.", true));
    EXPECT_FALSE(QFileInfo::exists(rig.path("mix.wav")));
    QTest::keyClick(&view, Qt::Key_Escape);
    EXPECT_EQ(std::pair(m.loop().isSet(), child<QLabel>("loopTimesLabel")->text()),
              std::pair(false, QString()));
}
