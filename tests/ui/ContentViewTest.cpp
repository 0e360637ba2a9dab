// SPDX-License-Identifier: GPL-3.0-or-later
#include <QAbstractButton>
#include <QAbstractSlider>
#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QStyleOptionSlider>
#include <cmath>
#include <fstream>
#include <set>

#include "WindowFixture.h"
#include "ui/FileDialogs.h"
#include "ui/SeekSlider.h"
#include "ui/StripView.h"
#include "ui/Theme.h"
#include "ui/TimeRuler.h"
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

// WCAG's contrast ratio of two opaque colours: 1 (same) to 21 (black on white).
double contrast(const QColor& a, const QColor& b) {
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
TEST_F(Window, ShiftDragSetsTheLoopWhichLTogglesAndEscapeClears) {
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
TEST_F(Window, ZoomAndScrollMoveTheStripsAndTheRulerTogether) {
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
TEST_F(Window, TheMenuBarListsEveryCommandWithItsShortcut) {
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
TEST_F(Window, TabReachesEveryControlAndAFocusedSliderKeepsItsArrows) {
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
TEST_F(Window, LoopsFromTheKeyboardAndEscapeCancelsAnExportFirst) {
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

// Measured on screenshots of the window, in light and dark palettes and at the smallest and a
// usual size: icons reach 3:1 against their buttons, secondary text 4.5:1 against what is behind
// it. The pictures land in build/screenshots/ (window-light-780x600.png, …).
TEST_F(Window, IconsAndSecondaryTextReadWellInDarkAndLight) {
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
