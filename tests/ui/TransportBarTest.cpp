// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyleOptionSlider>
#include <QTest>
#include <QVBoxLayout>

#include "UiTestSupport.h"
#include "ui/SeekSlider.h"
#include "ui/Theme.h"
#include "ui/TimeString.h"
#include "ui/TransportBar.h"

using namespace corvane;
using namespace corvane::test;
using model::StudioModel;
using ui::SeekSlider;
using ui::TransportBar;

namespace {

constexpr double kRate = 44100.0;
constexpr int kLead = 5292;  // the model's start lead, 0.12 s at 44.1 kHz
// How close a pointer lands on a 100 s song (a pixel is about 0.2 s); a page step would be 30 s.
constexpr double kAim = 0.5;

std::string text(const QLabel* label) { return label->text().toStdString(); }
std::string timeText(double seconds) { return ui::timeString(seconds).toStdString(); }
QImage picture(const QIcon& icon) { return icon.pixmap(20, 20).toImage(); }

// QSlider keeps its style option protected; naming it through a subclass only reaches it.
struct SliderOption : QSlider {
    using QSlider::initStyleOption;
};

struct LayoutRequests : QObject {
    int count = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::LayoutRequest) ++count;
        return false;
    }
};

struct TransportBarTest : ::testing::Test {
    UiRig rig;
    LayoutRequests layouts;  // asked of the bar once it is shown
    StudioModel& m = *rig.model;
    std::unique_ptr<TransportBar> bar;
    QPushButton* stop = nullptr;
    QPushButton* playPause = nullptr;
    QLabel* position = nullptr;
    SeekSlider* slider = nullptr;
    QLabel* duration = nullptr;

    void SetUp() override {
        ASSERT_TRUE(rig.loadSong(100.0));
        bar = std::make_unique<TransportBar>(m);
        bar->resize(640, bar->sizeHint().height());
        bar->show();
        bar->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(bar.get()));
        stop = bar->findChild<QPushButton*>("stopButton");
        playPause = bar->findChild<QPushButton*>("playPauseButton");
        position = bar->findChild<QLabel*>("positionLabel");
        slider = bar->findChild<SeekSlider*>("seekSlider");
        duration = bar->findChild<QLabel*>("durationLabel");
        ASSERT_TRUE(stop && playPause && position && slider && duration);
        bar->installEventFilter(&layouts);
    }

    // Plays `frames` through the offline device and waits for the model's timer to publish them.
    void advance(int frames) {
        rig.device->render(frames);
        QSignalSpy ticks(&m, &StudioModel::positionChanged);
        ASSERT_TRUE(waitUntil([&] { return ticks.count() > 0; }, std::chrono::seconds(2)));
    }

    QRect sliderPart(QStyle::SubControl part) const {
        QStyleOptionSlider opt;
        (slider->*(&SliderOption::initStyleOption))(&opt);
        return slider->style()->subControlRect(QStyle::CC_Slider, &opt, part, slider);
    }
    // Where the handle's centre sits when the slider shows `seconds`.
    QPoint pointFor(double seconds) const {
        const QRect groove = sliderPart(QStyle::SC_SliderGroove);
        const QRect handle = sliderPart(QStyle::SC_SliderHandle);
        const int span = groove.width() - handle.width();
        const int x = QStyle::sliderPositionFromValue(slider->minimum(), slider->maximum(),
                                                      static_cast<int>(seconds * 1000.0), span);
        return {groove.x() + x + handle.center().x() - handle.left(), handle.center().y()};
    }
};

}  // namespace

// While playing, each seek stops and restarts playback: two isPlaying changes per seek.

TEST_F(TransportBarTest, DragSeeksOnceAtReleaseWhilePlaybackAndLabelGoOn) {
    EXPECT_EQ(text(duration), "1:40");
    m.play();
    advance(kLead + static_cast<int>(1.2 * kRate));
    // An idle slider follows the playhead.
    EXPECT_EQ(slider->value(), 1200);
    EXPECT_EQ(text(position), "0:01");

    QSignalSpy playing(&m, &StudioModel::isPlayingChanged);
    QTest::mousePress(slider, Qt::LeftButton, {}, sliderPart(QStyle::SC_SliderHandle).center());
    ASSERT_TRUE(slider->dragging());
    QTest::mouseMove(slider, pointFor(60.0));
    const int scrubbed = slider->value();
    EXPECT_NEAR(slider->scrub(), 60.0, kAim);

    advance(static_cast<int>(1.0 * kRate));  // playback goes on under the drag
    EXPECT_TRUE(m.isPlaying());
    EXPECT_EQ(playing.count(), 0) << "seeked before the release";
    EXPECT_EQ(m.startFrame(), 0);
    EXPECT_EQ(text(position), "0:02");
    EXPECT_EQ(slider->value(), scrubbed);

    const double released = slider->scrub();
    QTest::mouseRelease(slider, Qt::LeftButton, {}, pointFor(60.0));
    EXPECT_FALSE(slider->dragging());
    EXPECT_EQ(playing.count(), 2);
    EXPECT_TRUE(m.isPlaying());
    EXPECT_EQ(m.startFrame(), static_cast<std::int64_t>(released * kRate));
    EXPECT_EQ(text(position), timeText(released));

    advance(kLead + static_cast<int>(2.0 * kRate));  // and the slider follows again from there
    EXPECT_NEAR(slider->value(), released * 1000.0 + 2000.0, 1.0);
    EXPECT_EQ(text(position), timeText(released + 2.0));
    // Thirty updates a second must stay repaints of the label and slider.
    EXPECT_EQ(layouts.count, 0);
}

TEST_F(TransportBarTest, ClickOnTheTrackJumpsThereWithOneSeek) {
    m.play();
    advance(kLead + 1000);
    QSignalSpy playing(&m, &StudioModel::isPlayingChanged);
    QTest::mouseClick(slider, Qt::LeftButton, {}, pointFor(75.0));
    EXPECT_EQ(playing.count(), 2);
    EXPECT_TRUE(m.isPlaying());
    EXPECT_NEAR(m.position(), 75.0, kAim);
    EXPECT_EQ(m.startFrame(), static_cast<std::int64_t>(slider->scrub() * kRate));
    EXPECT_EQ(text(position), timeText(m.position()));

    // Keys seek at once, with no press to wait for.
    m.pause();
    slider->setFocus();
    const double before = m.position();
    QTest::keyClick(slider, Qt::Key_Right);
    EXPECT_NEAR(m.position(), before + 5.0, 0.001);
    EXPECT_FALSE(m.isPlaying());
}

TEST_F(TransportBarTest, SpacePausesAndResumesFromThePausedPlaceWhateverHasFocus) {
    const QImage pauseIcon = picture(ui::themedIcon(QStringLiteral("media-playback-pause")));
    const QImage playIcon = picture(ui::themedIcon(QStringLiteral("media-playback-start")));
    ASSERT_FALSE(playIcon.isNull());
    ASSERT_NE(playIcon, pauseIcon);
    EXPECT_EQ(picture(playPause->icon()), playIcon);
    const int width = playPause->width();

    std::int64_t played = 0;
    for (QWidget* target : {static_cast<QWidget*>(bar.get()), static_cast<QWidget*>(slider)}) {
        target->setFocus();
        QTest::keyClick(target, Qt::Key_Space);
        ASSERT_TRUE(m.isPlaying());
        EXPECT_EQ(picture(playPause->icon()), pauseIcon);
        advance(kLead + 30000);
        played += 30000;
        QTest::keyClick(target, Qt::Key_Space);
        ASSERT_FALSE(m.isPlaying());
        EXPECT_EQ(m.startFrame(), played);
        EXPECT_EQ(picture(playPause->icon()), playIcon);
        EXPECT_EQ(playPause->width(), width);
        rig.device->render(20000);  // paused: the place holds
    }
    EXPECT_EQ(m.startFrame(), played);
    EXPECT_EQ(slider->value(), qRound(played / kRate * 1000.0));  // Space never moved the slider
    EXPECT_EQ(layouts.count, 0);  // the play/pause icon swaps in place
}

TEST_F(TransportBarTest, SpaceWorksAcrossTheWindowOnlyWhileTheBarIsShown) {
    bar->hide();
    QWidget window;
    auto* inWindow = new TransportBar(m, &window);
    auto* elsewhere = new QSlider(&window);  // say, a strip's volume
    auto* column = new QVBoxLayout(&window);
    column->addWidget(inWindow);
    column->addWidget(elsewhere);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    elsewhere->setFocus();
    QTest::keyClick(elsewhere, Qt::Key_Space);
    EXPECT_TRUE(m.isPlaying());
    m.pause();

    inWindow->hide();  // no studio on screen
    QTest::keyClick(elsewhere, Qt::Key_Space);
    EXPECT_FALSE(m.isPlaying());
    inWindow->show();

    QWidget other;  // another window of the application has the keyboard
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    QTest::keyClick(&other, Qt::Key_Space);
    EXPECT_FALSE(m.isPlaying());
}

TEST_F(TransportBarTest, StopRewindsLabelAndThumbWhetherPlayingOrPaused) {
    m.play();
    advance(kLead + static_cast<int>(1.5 * kRate));
    QTest::mouseClick(stop, Qt::LeftButton);
    EXPECT_FALSE(m.isPlaying());
    EXPECT_EQ(text(position), "0:00");
    EXPECT_EQ(slider->value(), 0);

    m.seek(90.0);
    ASSERT_EQ(text(position), "1:30");
    ASSERT_EQ(slider->value(), 90000);
    QTest::mouseClick(stop, Qt::LeftButton);
    EXPECT_EQ(m.startFrame(), 0);
    EXPECT_EQ(text(position), "0:00");
    EXPECT_EQ(slider->value(), 0);
}

TEST(TransportBarWithoutSong, ZeroDurationGivesAShortRangeWithTheThumbAtTheStart) {
    UiRig rig;
    TransportBar bar(*rig.model);
    auto* slider = bar.findChild<SeekSlider*>("seekSlider");
    ASSERT_NE(slider, nullptr);
    EXPECT_EQ(slider->minimum(), 0);
    EXPECT_EQ(slider->maximum(), 10);
    EXPECT_EQ(slider->value(), 0);
    EXPECT_EQ(text(bar.findChild<QLabel*>("positionLabel")), "0:00");
    EXPECT_EQ(text(bar.findChild<QLabel*>("durationLabel")), "0:00");
}
