// SPDX-License-Identifier: GPL-3.0-or-later
#include <QAbstractButton>
#include <QAbstractSlider>
#include <QApplication>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QStyleOptionSlider>
#include <cmath>
#include <fstream>

#include "WindowFixture.h"
#include "ui/FileDialogs.h"
#include "ui/SeekSlider.h"
#include "ui/StripView.h"
#include "ui/Theme.h"
#include "ui/TimeString.h"
#include "ui/Timeline.h"
#include "ui/WaveformView.h"

namespace corvane::model {
// A load goes through progress too quickly to catch a given value.
class StudioModelTestAccess {
public:
    static void setProgress(StudioModel& m, double progress) { m.setProgress(progress); }
};
}  // namespace corvane::model

// QSlider's style option is protected; a member pointer through a subclass reaches it.
struct SliderOption : QSlider {
    using QSlider::initStyleOption;
};

using namespace corvane;
using namespace corvane::test;
using model::Phase;
using ui::timeString;

namespace {

struct Window : WindowTest {
    // The colour the button `name` is filled with, away from its label.
    QColor tint(const char* name, int strip = -1) {
        const QImage img = child(name, strip)->grab().toImage();
        return img.pixelColor(4, img.height() / 2);
    }
    // Which of the screens, "Open Audio…" and the status line show.
    std::string shown() {
        std::string names;
        for (const char* name : {"dropZone", "processing", "studio", "openButton", "statusLabel"})
            if (child(name)->isVisible()) names += (names.empty() ? "" : " ") + std::string(name);
        return names;
    }
    QUrl url(const std::string& name) { return QUrl::fromLocalFile(rig.path(name)); }

    // Drags `urls` (plain text when empty) into the window and drops them there unless `hover`;
    // returns whether the window took the drag.
    bool drag(const QList<QUrl>& urls, bool hover = false) {
        QMimeData data;
        urls.isEmpty() ? data.setText("just words") : data.setUrls(urls);
        QDragEnterEvent enter({500, 350}, Qt::CopyAction, &data, Qt::LeftButton, {});
        QCoreApplication::sendEvent(&view, &enter);
        QDropEvent drop({500, 350}, Qt::CopyAction, &data, Qt::LeftButton, {});
        if (!hover) QCoreApplication::sendEvent(&view, &drop);
        return enter.isAccepted();
    }
};

}  // namespace

TEST_F(Window, TheScreensFollowThePhase) {
    EXPECT_EQ(shown(), "dropZone openButton");  // an empty status takes no space
    const auto infoTop = [&] { return child("infoLabel")->mapTo(&view, QPoint()).y(); };
    const int top = infoTop();
    const int zoneHeight = child("dropZone")->height();
    auto* slider = child<QSlider>("seekSlider");  // no song: a short range, at the start
    EXPECT_EQ(std::tuple(slider->minimum(), slider->maximum(), slider->value()),
              std::tuple(0, 10, 0));

    m.load(rig.path("My Song.mp3"));  // missing: fails once events run
    EXPECT_EQ(shown(), "processing");
    EXPECT_EQ(child<QLabel>("progressLabel")->text(), "Separating My Song.mp3…");
    EXPECT_EQ(child("progressBar")->width(), 420);  // in a 1000-wide window
    for (auto [progress, text] :
         {std::pair{0.0, "0%"}, {0.999, "99%"}, {1.0, "100%"}, {0.4567, "45%"}}) {
        model::StudioModelTestAccess::setProgress(m, progress);
        EXPECT_EQ(child<QLabel>("percentLabel")->text(), text) << progress;
    }
    saveScreenshot(view, "processing");

    ASSERT_TRUE(QTest::qWaitFor([&] { return m.phase() == Phase::idle; }));
    EXPECT_EQ(shown(), "dropZone openButton statusLabel");
    EXPECT_EQ(child<QLabel>("statusLabel")->text(),
              "Couldn't read that file: No such file or directory");
    QCoreApplication::processEvents();
    // The status row is reserved: nothing moves when it speaks.
    EXPECT_EQ(std::pair(infoTop(), child("dropZone")->height()), std::pair(top, zoneHeight));
    EXPECT_LT(child("statusLabel")->mapTo(&view, QPoint(0, child("statusLabel")->height())).y(),
              top);

    ASSERT_TRUE(rig.load(2.0));
    EXPECT_EQ(shown(), "studio openButton");
}

TEST_F(Window, ClicksAndDropsOpenSongs) {
    writeSong(rig.dir, "first.wav", demo::makeDemoSong(1.0));
    EXPECT_TRUE(drag({url("first.wav")}, true));
    EXPECT_TRUE(view.targeted());
    saveScreenshot(view, "drop-zone-hover");
    QDragLeaveEvent leave;
    QCoreApplication::sendEvent(&view, &leave);
    EXPECT_FALSE(view.targeted());
    saveScreenshot(view, "drop-zone");

    QWidget* zone = child("dropZone");
    QTest::mouseClick(zone, Qt::LeftButton, {}, QPoint(12, zone->height() - 12));  // a corner
    EXPECT_EQ(rig.dialogs.asked.size(), 1u);
    EXPECT_EQ(m.phase(), Phase::idle);  // cancelled: nothing happens
    rig.dialogs.next = writeSong(rig.dir, "picked.wav", demo::makeDemoSong(0.5));
    QTest::mouseClick(child("openButton"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return m.phase() == Phase::ready; }));
    EXPECT_EQ(m.fileName(), "picked.wav");

    drag({url("first.wav"), url("picked.wav"), url("third.wav")});  // only the first counts
    ASSERT_TRUE(QTest::qWaitFor([&] { return !m.isLoading(); }));
    EXPECT_EQ(m.fileName(), "first.wav");
    EXPECT_FALSE(view.targeted());
    // Anything without a file location is refused without a word, in the studio too.
    EXPECT_FALSE(drag({}));
    EXPECT_FALSE(drag({QUrl("https://example.invalid/song.mp3")}));
    EXPECT_EQ(std::tuple(m.phase(), m.status()), std::tuple(Phase::ready, QString()));
    // A text file is taken, then refused by the model: the studio stays as it was, playing its
    // loop at its tempo, and the status row says why.
    m.setLoop(0.2, 0.8);
    m.setStretch({0.9, 0.0});
    setStrips(m, {{0.5f, 0, 1}});
    m.play();
    { std::ofstream(rig.dir / "notes.txt") << "not a song"; }
    drag({url("notes.txt")});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !m.isLoading(); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(
        std::tuple(shown(), m.isPlaying(), m.loop().enabled, m.stretch().tempo,
                   m.strips()[0].volume, view.windowTitle()),
        std::tuple("studio openButton statusLabel", true, true, 0.9, 0.5f, "first.wav — Corvane"));
    EXPECT_TRUE(child<QLabel>("statusLabel")->text().startsWith("Couldn't read that file: "));
}

TEST_F(Window, TheStudio) {
    ASSERT_TRUE(rig.load(30.0, "Demo Song.wav"));
    saveScreenshot(*child("studio"), "strips");
    const auto percent = [&](int i) { return child<QLabel>("volumeLabel", i)->text(); };
    const auto waveform = [&](int i) { return child<ui::WaveformView>("waveform", i); };
    const auto gain = [&](int i) { return m.engine().gain(i); };

    // Fresh strips show 100 % unmarked. A solo on drums silences the others and marks only
    // itself: their buttons stay gray, their waveforms dim as they are not heard.
    for (const int soloClicks : {0, 1, 2}) {
        if (soloClicks > 0) QTest::mouseClick(child("soloButton", 1), Qt::LeftButton);
        const bool soloed = soloClicks == 1;
        for (int i = 0; i < 4; ++i) {
            SCOPED_TRACE(testing::Message() << soloClicks << " solo clicks, strip " << i);
            EXPECT_EQ(
                std::tuple(percent(i), gain(i), waveform(i)->dimmed(), waveform(i)->peaks()),
                std::tuple("100%", soloed && i != 1 ? 0.0f : 1.0f, soloed && i != 1, m.peaks()[i]));
            EXPECT_EQ(tint("soloButton", i),
                      soloed && i == 1 ? ui::colors::yellow : ui::colors::gray);
            EXPECT_EQ(tint("muteButton", i), ui::colors::gray);
        }
    }
    EXPECT_FALSE(waveform(0)->peaks().empty());

    for (const bool on : {true, false}) {
        SCOPED_TRACE(on ? "karaoke" : "karaoke off");
        QTest::mouseClick(child("karaokeButton"), Qt::LeftButton);
        EXPECT_EQ(std::tuple(m.strips()[0].mute, gain(0)), std::tuple(on, on ? 0.0f : 1.0f));
        EXPECT_EQ(tint("karaokeButton"), on ? ui::colors::pink : ui::colors::gray);
        EXPECT_EQ(tint("muteButton", 0), on ? ui::colors::red : ui::colors::gray);
        for (int i = 1; i < 4; ++i) EXPECT_FALSE(m.strips()[i].mute);
    }

    auto* volume = child<QSlider>("volumeSlider", 1);
    volume->setFocus();  // outside the transport bar
    for (const std::int64_t paused : {44100, 88200}) {
        QTest::keyClick(volume, Qt::Key_Space);
        EXPECT_TRUE(m.isPlaying());
        rig.device->render(5292 + 44100);  // the start lead, then a second
        QTest::keyClick(volume, Qt::Key_Space);
        EXPECT_EQ(std::tuple(m.isPlaying(), m.startFrame()), std::tuple(false, paused));
        rig.device->render(20000);  // paused: the place holds
    }
    EXPECT_EQ(volume->value(), 1000);  // the slider did not take the key

    // Every step of a drag is heard at once, not only where the handle is let go.
    volume->setSliderDown(true);
    for (const auto& [value, label] :
         {std::pair{1500, "150%"}, {999, "99%"}, {500, "50%"}, {1, "0%"}, {0, "0%"}}) {
        volume->setSliderPosition(value);
        EXPECT_EQ(std::tuple(m.strips()[1].volume, gain(1), percent(1)),
                  std::tuple(value / 1000.0f, value / 1000.0f, label));
    }
    volume->setSliderDown(false);
    EXPECT_EQ(gain(0), 1.0f) << "the other strips keep theirs";

    // Mute silences and dims, keeping the volume.
    for (const bool on : {true, false, true}) {
        QTest::mouseClick(child("muteButton", 2), Qt::LeftButton);
        EXPECT_EQ(tint("muteButton", 2), on ? ui::colors::red : ui::colors::gray);
        EXPECT_EQ(std::tuple(waveform(2)->dimmed(), gain(2), m.strips()[2].volume, percent(2)),
                  std::tuple(on, on ? 0.0f : 1.0f, 1.0f, "100%"));
    }
    // Muted and at volume 0, the strip still exports the whole stem.
    child<QSlider>("volumeSlider", 2)->setValue(0);
    rig.dialogs.next = rig.path("bass stem.wav");
    QTest::mouseClick(child("exportButton", 2), Qt::LeftButton);
    EXPECT_TRUE(child("cancelExportButton")->isVisible() && !child("exportMixButton")->isEnabled());
    ASSERT_TRUE(waitForExport(m));
    EXPECT_FALSE(child("exportRow")->isVisible() || !child("exportMixButton")->isEnabled());
    EXPECT_GT(peakAbs(m.stems()[2]->l), 0.01f);
    expectMixOf(rig.path("bass stem.wav"), m, {0, 0, 1, 0});

    // Playing with one strip soloed and one muted.
    volume->setValue(1000);
    QTest::mouseClick(child("soloButton", 1), Qt::LeftButton);
    m.seek(11.0);
    m.play();
    rig.device->render(44100 * 2);
    ASSERT_TRUE(QTest::qWaitFor([&] { return m.position() > 11.5; }, 2000));
    QCoreApplication::processEvents();
    saveScreenshot(view, "studio");

    // The same, zoomed in about the playhead with a loop around it (the README's picture).
    m.setLoop(10.0, 14.5);
    QTest::keyClick(&view, Qt::Key_Plus, Qt::ControlModifier);
    QTest::keyClick(&view, Qt::Key_Plus, Qt::ControlModifier);
    QSignalSpy arrived(&view.findChild<ui::Timeline*>()->peakCache(),
                       &model::PeakCache::tilesArrived);
    view.repaint();
    while (arrived.wait(300)) {
    }
    QCoreApplication::processEvents();
    saveScreenshot(view, "studio-zoomed-loop");
}

TEST_F(Window, TheSeekSliderSeeksOnceAtReleaseAndStopRewinds) {
    ASSERT_TRUE(rig.load(100.0));
    auto* slider = child<ui::SeekSlider>("seekSlider");
    const auto label = [&](const char* name) { return child<QLabel>(name)->text(); };
    // Plays `frames` through the offline device; true once the model has published them.
    const auto advance = [&](int frames) {
        rig.device->render(frames);
        return QSignalSpy(&m, &model::StudioModel::positionChanged).wait(2000);
    };
    // Where the handle's centre sits when the slider shows `seconds`.
    const auto pointFor = [&](double seconds) {
        QStyleOptionSlider opt;
        (slider->*(&SliderOption::initStyleOption))(&opt);
        const auto part = [&](QStyle::SubControl sc) {
            return slider->style()->subControlRect(QStyle::CC_Slider, &opt, sc, slider);
        };
        const QRect groove = part(QStyle::SC_SliderGroove), handle = part(QStyle::SC_SliderHandle);
        const int x =
            QStyle::sliderPositionFromValue(slider->minimum(), slider->maximum(),
                                            int(seconds * 1000.0), groove.width() - handle.width());
        return QPoint(groove.x() + x + handle.center().x() - handle.left(), handle.center().y());
    };
    constexpr double kAim = 0.5;  // a slider pixel is well under 0.5 s of a 100 s song

    m.play();
    ASSERT_TRUE(advance(5292 + 52920));  // the start lead, then 1.2 s
    EXPECT_EQ(std::tuple(slider->value(), label("durationLabel")), std::tuple(1200, "1:40"));
    QSignalSpy playing(&m, &model::StudioModel::isPlayingChanged);
    QTest::mousePress(slider, Qt::LeftButton, {}, pointFor(1.2));  // on the handle
    QTest::mouseMove(slider, pointFor(60.0));
    const double released = slider->scrub();
    EXPECT_NEAR(released, 60.0, kAim);
    ASSERT_TRUE(advance(44100));  // playback and its label go on under the drag
    EXPECT_EQ(std::tuple(playing.count(), label("positionLabel"), slider->value()),
              std::tuple(0, "0:02.2", qRound(released * 1000.0)));
    QTest::mouseRelease(slider, Qt::LeftButton, {}, pointFor(60.0));
    // One seek while playing: on from there at once, crossfaded, never stopping.
    EXPECT_EQ(std::tuple(playing.count(), m.isPlaying(), m.startFrame(), label("positionLabel")),
              std::tuple(0, true, std::int64_t(released * 44100), ui::timeStringTenths(released)));
    ASSERT_TRUE(advance(88200));
    EXPECT_NEAR(slider->value(), released * 1000.0 + 2000.0, 1.0);
    EXPECT_EQ(label("positionLabel"), ui::timeStringTenths(m.startFrame() / 44100.0 + 2.0));

    QTest::mouseClick(slider, Qt::LeftButton, {}, pointFor(75.0));  // on the track
    EXPECT_EQ(std::tuple(playing.count(), m.isPlaying(), label("positionLabel")),
              std::tuple(0, true, ui::timeStringTenths(m.position())));
    EXPECT_NEAR(m.position(), 75.0, kAim);
    m.pause();
    const double before = m.position();
    QTest::keyClick(slider, Qt::Key_Right);  // keys have no release to wait for: at once
    EXPECT_NEAR(m.position(), before + 5.0, 0.001);

    for (const bool play : {true, false}) {
        SCOPED_TRACE(play ? "playing" : "paused");
        m.seek(90.0);
        if (play) m.play();
        ASSERT_EQ(std::tuple(label("positionLabel"), slider->value()), std::tuple("1:30.0", 90000));
        QTest::mouseClick(child("stopButton"), Qt::LeftButton);
        EXPECT_EQ(
            std::tuple(m.isPlaying(), m.startFrame(), label("positionLabel"), slider->value()),
            std::tuple(false, 0, "0:00.0", 0));
    }
}

TEST_F(Window, TempoAndPitchKeysStepClampAndResetWhatPlays) {
    ASSERT_TRUE(rig.load(1.0));
    using Keys = std::vector<Qt::Key>;
    // Keys pressed in order, then the tempo and pitch shown and applied.
    const std::tuple<Keys, double, double, const char*, const char*> cases[] = {
        {{Qt::Key_BracketLeft, Qt::Key_BracketLeft}, 0.9, 0.0, "90 %", "0 st"},
        {Keys(12, Qt::Key_BracketLeft), 0.5, 0.0, "50 %", "0 st"},  // clamped at 50 %
        {{Qt::Key_Equal, Qt::Key_Equal}, 0.5, 2.0, "50 %", "+2 st"},
        {Keys(30, Qt::Key_Minus), 0.5, -12.0, "50 %", "-12 st"},
        {Keys(25, Qt::Key_BracketRight), 1.5, -12.0, "150 %", "-12 st"}};
    for (const auto& [keys, tempo, semitones, tempoText, pitchText] : cases) {
        for (Qt::Key key : keys) QTest::keyClick(&view, key);
        EXPECT_EQ(std::tuple(m.stretch().tempo, m.stretch().semitones),
                  std::tuple(tempo, semitones));
        EXPECT_EQ(
            std::tuple(child<QLabel>("tempoLabel")->text(), child<QLabel>("pitchLabel")->text()),
            std::tuple(QString(tempoText), QString(pitchText)));
    }
    EXPECT_EQ(m.engine().stretch(), m.stretch());
    QTest::mouseClick(child("resetStretchButton"), Qt::LeftButton);
    EXPECT_TRUE(m.stretch().isIdentity());
    EXPECT_FALSE(child("resetStretchButton")->isEnabled());
    // Shift gives steps of 1 %; 0 resets.
    for (const Qt::Key key : {Qt::Key_BracketRight, Qt::Key_BracketRight, Qt::Key_BracketLeft})
        QTest::keyClick(&view, key, Qt::ShiftModifier);
    EXPECT_EQ(std::tuple(m.stretch().tempo, child<QLabel>("tempoLabel")->text()),
              std::tuple(1.01, QString("101 %")));
    QTest::keyClick(&view, Qt::Key_0);
    EXPECT_TRUE(m.stretch().isIdentity());
}

TEST_F(Window, TheKeyboardPlaysTheStudioAndEveryControlSaysItsName) {
    ASSERT_TRUE(rig.load(12.0));
    using Flags = std::array<bool, 4>;
    const auto flags = [&](bool model::Strip::*flag) {
        Flags f{};
        for (int i = 0; i < 4; ++i) f[i] = m.strips()[i].*flag;
        return f;
    };
    // Key, modifiers, then the position and strip flags it leaves.
    const std::tuple<Qt::Key, Qt::KeyboardModifiers, double, Flags, Flags> cases[] = {
        {Qt::Key_Right, {}, 5.0, {}, {}},
        {Qt::Key_Right, {}, 10.0, {}, {}},
        {Qt::Key_Left, {}, 5.0, {}, {}},
        {Qt::Key_Home, {}, 0.0, {}, {}},
        {Qt::Key_Left, {}, 0.0, {}, {}},  // clamped at the start
        {Qt::Key_2, {}, 0.0, {0, 1, 0, 0}, {}},
        {Qt::Key_4, {}, 0.0, {0, 1, 0, 1}, {}},
        {Qt::Key_2, {}, 0.0, {0, 0, 0, 1}, {}},
        {Qt::Key_3, Qt::ShiftModifier, 0.0, {0, 0, 0, 1}, {0, 0, 1, 0}},
        {Qt::Key_K, {}, 0.0, {0, 0, 0, 1}, {1, 0, 1, 0}},
        {Qt::Key_K, {}, 0.0, {0, 0, 0, 1}, {0, 0, 1, 0}}};
    for (const auto& [key, modifiers, seconds, solo, mute] : cases) {
        QTest::keyClick(&view, key, modifiers);
        EXPECT_EQ(std::tuple(m.position(), flags(&model::Strip::solo), flags(&model::Strip::mute)),
                  std::tuple(seconds, solo, mute))
            << QKeySequence(key | modifiers).toString().toStdString();
    }
    EXPECT_EQ(m.engine().gain(0), 0.0f);  // heard at once: only the other strip soloed plays
    for (QWidget* w : view.findChildren<QWidget*>()) {
        if (!qobject_cast<QAbstractButton*>(w) && !qobject_cast<QAbstractSlider*>(w)) continue;
        if (!w->isVisible()) continue;
        EXPECT_FALSE(w->accessibleName().isEmpty() || w->toolTip().isEmpty())
            << w->objectName().toStdString();
    }
}

// The method switch by the transport separates the song again in the background: the studio stays
// and plays on, the status row shows the progress with a Cancel that chooses back; R switches too.
TEST_F(Window, TheMethodSwitchSeparatesAgainWhileTheStudioPlaysOn) {
    ASSERT_TRUE(rig.load(4.0));
    setStrips(m, {{0.4f, 0, 0}, {1.0f, 0, 1}});
    const std::vector<model::Strip> strips = m.strips();
    auto button = [&](const char* name) {
        return child("methodChoice")->findChild<QPushButton*>(name);
    };
    EXPECT_TRUE(button("standardButton")->isChecked());
    m.play();
    QTest::mouseClick(button("refinedButton"), Qt::LeftButton);
    EXPECT_EQ(std::tuple(shown(), m.isPlaying()), std::tuple("studio openButton", true));
    EXPECT_TRUE(child("separatingRow")->isVisible());
    EXPECT_EQ(child<QLabel>("separatingLabel")->text(), "Separating with Refined…");
    QTest::mouseClick(child("cancelSeparatingButton"), Qt::LeftButton);  // taken back
    EXPECT_EQ(std::tuple(m.isSeparating(), m.method(), child("separatingRow")->isVisible()),
              std::tuple(false, dsp::SeparationMethod::standard, false));
    QTest::keyClick(&view, Qt::Key_R);
    EXPECT_TRUE(m.isSeparating());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !m.isSeparating(); }, 20000));
    EXPECT_EQ(std::tuple(shown(), m.strips(), m.isPlaying()),
              std::tuple("studio openButton", strips, true));
    EXPECT_TRUE(button("refinedButton")->isChecked());
    EXPECT_FALSE(button("standardButton")->isChecked());
    // The strips say what this method puts in them: its bass reaches higher.
    EXPECT_EQ(child<QLabel>("subtitleLabel", 2)->text(), "< 250 Hz");
}

// Shift + drag on any waveform marks the loop from where it began to where it ended, shown on
// all four; L turns it off and on, Escape clears it; a plain drag still seeks, a Shift-drag does
// not. (Alt too keeps the ends where they are dropped, whenever the song's beats arrive.)
