// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyleOptionSlider>
#include <QTest>

#include "UiTestSupport.h"
#include "ui/SeekSlider.h"
#include "ui/Theme.h"
#include "ui/TimeString.h"
#include "ui/TransportBar.h"

namespace corvane::ui {
namespace {

constexpr double kRate = 44100.0;
constexpr int kLead = 5292;   // the model's start lead, 0.12 s at 44.1 kHz
constexpr double kAim = 0.5;  // a slider pixel is about 0.2 s of a 100 s song

std::string text(const QLabel* label) { return label->text().toStdString(); }
QImage picture(const QIcon& icon) { return icon.pixmap(20, 20).toImage(); }

// QSlider's style option is protected; a member pointer through a subclass reaches it.
struct SliderOption : QSlider {
    using QSlider::initStyleOption;
};

struct TransportBarTest : ::testing::Test {
    test::UiRig rig;
    model::StudioModel& m = *rig.model;
    TransportBar bar{m};
    QPushButton* stop = bar.findChild<QPushButton*>("stopButton");
    QPushButton* playPause = bar.findChild<QPushButton*>("playPauseButton");
    QLabel* position = bar.findChild<QLabel*>("positionLabel");
    SeekSlider* slider = bar.findChild<SeekSlider*>("seekSlider");

    void SetUp() override {
        ASSERT_TRUE(stop && playPause && position && slider);
        ASSERT_TRUE(rig.loadSong(100.0));
        bar.resize(640, bar.sizeHint().height());
        bar.show();
        bar.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&bar));
    }

    // Plays `frames` through the offline device and waits for the model to publish them.
    void advance(int frames) {
        rig.device->render(frames);
        QSignalSpy ticks(&m, &model::StudioModel::positionChanged);
        ASSERT_TRUE(test::waitUntil([&] { return ticks.count() > 0; }, std::chrono::seconds(2)));
    }
    // Where the handle's centre sits when the slider shows `seconds`.
    QPoint pointFor(double seconds) const {
        QStyleOptionSlider opt;
        (slider->*(&SliderOption::initStyleOption))(&opt);
        const auto part = [&](QStyle::SubControl sc) {
            return slider->style()->subControlRect(QStyle::CC_Slider, &opt, sc, slider);
        };
        const QRect groove = part(QStyle::SC_SliderGroove), handle = part(QStyle::SC_SliderHandle);
        const int x =
            QStyle::sliderPositionFromValue(slider->minimum(), slider->maximum(),
                                            int(seconds * 1000.0), groove.width() - handle.width());
        return {groove.x() + x + handle.center().x() - handle.left(), handle.center().y()};
    }
};

struct TransportBarWithoutSong : TransportBarTest {
    void SetUp() override {}
};

TEST_F(TransportBarTest, DragSeeksOnceAtReleaseWhilePlaybackAndLabelGoOn) {
    m.play();
    advance(kLead + static_cast<int>(1.2 * kRate));
    EXPECT_EQ(slider->value(), 1200) << "an idle slider follows the playhead";
    EXPECT_EQ(text(bar.findChild<QLabel*>("durationLabel")), "1:40");

    QSignalSpy playing(&m, &model::StudioModel::isPlayingChanged);
    QTest::mousePress(slider, Qt::LeftButton, {}, pointFor(1.2));  // on the handle
    QTest::mouseMove(slider, pointFor(60.0));
    const double released = slider->scrub();
    EXPECT_NEAR(released, 60.0, kAim);
    advance(static_cast<int>(1.0 * kRate));  // playback goes on under the drag
    EXPECT_EQ(playing.count(), 0) << "seeked before the release";
    EXPECT_EQ(text(position), "0:02");
    EXPECT_EQ(slider->value(), qRound(released * 1000.0));

    QTest::mouseRelease(slider, Qt::LeftButton, {}, pointFor(60.0));
    EXPECT_EQ(playing.count(), 2);  // one seek while playing: a stop and a restart
    EXPECT_TRUE(m.isPlaying());
    EXPECT_EQ(m.startFrame(), static_cast<std::int64_t>(released * kRate));
    EXPECT_EQ(text(position), timeString(released).toStdString());
    advance(kLead + static_cast<int>(2.0 * kRate));
    EXPECT_NEAR(slider->value(), released * 1000.0 + 2000.0, 1.0);
    EXPECT_EQ(text(position), timeString(released + 2.0).toStdString());
}

TEST_F(TransportBarTest, ClickOnTheTrackJumpsThereWithOneSeek) {
    m.play();
    advance(kLead + 1000);
    QSignalSpy playing(&m, &model::StudioModel::isPlayingChanged);
    QTest::mouseClick(slider, Qt::LeftButton, {}, pointFor(75.0));
    EXPECT_EQ(playing.count(), 2);
    EXPECT_TRUE(m.isPlaying());
    EXPECT_NEAR(m.position(), 75.0, kAim);
    EXPECT_EQ(text(position), timeString(m.position()).toStdString());

    // Keys have no release to wait for: they seek at once.
    m.pause();
    const double before = m.position();
    QTest::keyClick(slider, Qt::Key_Right);
    EXPECT_NEAR(m.position(), before + 5.0, 0.001);
}

TEST_F(TransportBarTest, SpacePausesAndResumesFromThePausedPlaceWhateverHasFocus) {
    const QImage pauseIcon = picture(themedIcon(QStringLiteral("media-playback-pause")));
    const QImage playIcon = picture(themedIcon(QStringLiteral("media-playback-start")));
    ASSERT_NE(playIcon, pauseIcon);
    std::int64_t played = 0;
    for (QWidget* target : {static_cast<QWidget*>(&bar), static_cast<QWidget*>(slider)}) {
        SCOPED_TRACE(target->metaObject()->className());
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
        rig.device->render(20000);  // paused: the place holds
    }
    EXPECT_EQ(slider->value(), qRound(played / kRate * 1000.0));
}

TEST_F(TransportBarTest, StopRewindsLabelAndThumbWhetherPlayingOrPaused) {
    for (const bool play : {true, false}) {
        SCOPED_TRACE(play ? "playing" : "paused");
        m.seek(90.0);
        if (play) m.play();
        ASSERT_EQ(text(position), "1:30");
        ASSERT_EQ(slider->value(), 90000);
        QTest::mouseClick(stop, Qt::LeftButton);
        EXPECT_FALSE(m.isPlaying());
        EXPECT_EQ(m.startFrame(), 0);
        EXPECT_EQ(text(position), "0:00");
        EXPECT_EQ(slider->value(), 0);
    }
}

TEST_F(TransportBarWithoutSong, ZeroDurationGivesAShortRangeWithTheThumbAtTheStart) {
    EXPECT_EQ(std::pair(slider->minimum(), slider->maximum()), std::pair(0, 10));
    EXPECT_EQ(slider->value(), 0);
}

}  // namespace
}  // namespace corvane::ui
