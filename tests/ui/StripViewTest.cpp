// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>
#include <QVBoxLayout>
#include <algorithm>
#include <filesystem>

#include "UiTestSupport.h"
#include "audio/AudioFileReader.h"
#include "ui/StripView.h"
#include "ui/Theme.h"
#include "ui/WaveformView.h"

namespace corvane::ui {
namespace {

// The four strips of a loaded song, stacked as in the window.
class StripViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(rig.loadSong(2.0));
        auto* column = new QVBoxLayout(&window);
        for (int i = 0; i < 4; ++i) column->addWidget(strips[i] = new StripView(*rig.model, i));
        window.resize(900, 4 * 80);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        test::saveScreenshot(window, QStringLiteral("strips"));
    }
    QSlider* slider(int i) { return strips[i]->findChild<QSlider*>("volumeSlider"); }
    QString percent(int i) { return strips[i]->findChild<QLabel*>("volumeLabel")->text(); }
    QPushButton* solo(int i) { return strips[i]->findChild<QPushButton*>("soloButton"); }
    QPushButton* mute(int i) { return strips[i]->findChild<QPushButton*>("muteButton"); }
    WaveformView* waveform(int i) { return strips[i]->findChild<WaveformView*>("waveform"); }
    // The colour a button is filled with, away from its letter.
    static QColor tint(QPushButton* button) {
        const QImage img = button->grab().toImage();
        return img.pixelColor(4, img.height() / 2);
    }
    const model::Strip& strip(int i) { return rig.model->strips()[i]; }
    float gain(int i) { return rig.model->engine().gain(i); }

    test::UiRig rig;
    QWidget window;
    StripView* strips[4] = {};
};

// A fresh song shows every strip at 100 % and unmarked. A solo on drums silences the others but
// does not mark them: their buttons stay gray and their waveforms full.
TEST_F(StripViewTest, FreshStripsAreUnmarkedAndASoloMarksOnlyItsOwn) {
    for (const int soloClicks : {0, 1, 2}) {
        if (soloClicks > 0) QTest::mouseClick(solo(1), Qt::LeftButton);
        const bool soloed = soloClicks == 1;
        for (int i = 0; i < 4; ++i) {
            SCOPED_TRACE(testing::Message() << soloClicks << " solo clicks, strip " << i);
            EXPECT_EQ(percent(i), QStringLiteral("100%"));
            EXPECT_EQ(gain(i), soloed && i != 1 ? 0.0f : 1.0f);
            EXPECT_EQ(tint(solo(i)), soloed && i == 1 ? colors::yellow : colors::gray);
            EXPECT_EQ(tint(mute(i)), colors::gray);
            EXPECT_FALSE(waveform(i)->dimmed());
            EXPECT_EQ(waveform(i)->peaks(), rig.model->peaks()[i]);
        }
    }
    EXPECT_FALSE(waveform(0)->peaks().empty());
}

// Every step of a drag is heard at once, not only where the handle is let go.
TEST_F(StripViewTest, VolumeSliderWritesEveryValueOfADrag) {
    slider(1)->setSliderDown(true);
    const std::pair<int, const char*> steps[] = {{1400, "140%"}, {1500, "150%"}, {999, "99%"},
                                                 {500, "50%"},   {1, "0%"},      {0, "0%"}};
    for (const auto& [value, label] : steps) {
        SCOPED_TRACE(value);
        slider(1)->setSliderPosition(value);
        EXPECT_EQ(strip(1).volume, float(value) / 1000.0f);
        EXPECT_EQ(gain(1), strip(1).volume);
        EXPECT_EQ(percent(1), QString::fromLatin1(label));
    }
    EXPECT_EQ(gain(0), 1.0f) << "the other strips keep theirs";
}

TEST_F(StripViewTest, ChangesFromOutsideShowWithoutBeingWrittenBack) {
    model::Strip s = strip(0);
    s.volume = 0.25f;
    s.mute = true;
    QSignalSpy writes(rig.model.get(), &model::StudioModel::stripsChanged);
    rig.model->setStrip(0, s);
    EXPECT_EQ(writes.count(), 1);
    EXPECT_EQ(slider(0)->value(), 250);
    EXPECT_EQ(percent(0), QStringLiteral("25%"));
    EXPECT_EQ(tint(mute(0)), colors::red);
    EXPECT_TRUE(waveform(0)->dimmed());
}

TEST_F(StripViewTest, MuteSilencesAndDimsUntilClickedAgainKeepingTheVolume) {
    for (const bool on : {true, false}) {
        SCOPED_TRACE(on ? "muted" : "unmuted");
        QTest::mouseClick(mute(2), Qt::LeftButton);
        EXPECT_EQ(tint(mute(2)), on ? colors::red : colors::gray);
        EXPECT_EQ(waveform(2)->dimmed(), on);
        EXPECT_EQ(gain(2), on ? 0.0f : 1.0f);
        EXPECT_EQ(strip(2).volume, 1.0f);
        EXPECT_EQ(percent(2), QStringLiteral("100%"));
    }
}

// What is exported is the stem itself, whatever the strip's mute and volume.
TEST_F(StripViewTest, ExportingAMutedSilentStripWritesTheWholeStem) {
    QTest::mouseClick(mute(2), Qt::LeftButton);
    slider(2)->setValue(0);
    const std::filesystem::path file = rig.dir / "bass stem.wav";
    rig.dialogs.saveAnswers.push_back(QString::fromStdString(file.string()));
    QTest::mouseClick(strips[2]->findChild<QPushButton*>("exportButton"), Qt::LeftButton);

    auto read = audio::readAudio(file);
    ASSERT_TRUE(read.ok()) << read.error().description;
    std::vector<float> expected = rig.model->stems()[2]->l;
    for (float& v : expected) v = std::clamp(v, -1.0f, 1.0f);
    EXPECT_GT(test::peakAbs(expected), 0.01f);
    EXPECT_TRUE(test::nearlyEqual(read.value().l, expected, 2.0f / 8388608.0f));
}

}  // namespace
}  // namespace corvane::ui
