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
        for (int i = 0; i < 4; ++i) {
            strips.push_back(new StripView(*rig.model, i, &window));
            column->addWidget(strips.back());
        }
        window.resize(900, 4 * 80);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        test::saveScreenshot(window, QStringLiteral("strips"));
    }
    template <class T>
    T* child(int i, const char* name) {
        T* found = strips[i]->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QSlider* slider(int i) { return child<QSlider>(i, "volumeSlider"); }
    QString percent(int i) { return child<QLabel>(i, "volumeLabel")->text(); }
    QPushButton* solo(int i) { return child<QPushButton>(i, "soloButton"); }
    QPushButton* mute(int i) { return child<QPushButton>(i, "muteButton"); }
    WaveformView* waveform(int i) { return child<WaveformView>(i, "waveform"); }
    // The colour a button is filled with, away from its letter.
    static QColor tint(QPushButton* button) {
        const QImage img = button->grab().toImage();
        return img.pixelColor(4, img.height() / 2);
    }
    const model::Strip& strip(int i) { return rig.model->strips()[i]; }
    float gain(int i) { return rig.model->engine().gain(i); }

    test::UiRig rig;
    QWidget window;
    std::vector<StripView*> strips;
};

TEST_F(StripViewTest, FreshSongShowsFullVolumeNoSoloNoMuteAndEachStemsEnvelope) {
    const char* titles[] = {"Vocals", "Drums", "Bass", "Other"};
    const char* subtitles[] = {"center", "percussive", "< 150 Hz", "the rest"};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(titles[i]);
        EXPECT_EQ(child<QLabel>(i, "titleLabel")->text(), QString::fromUtf8(titles[i]));
        EXPECT_EQ(child<QLabel>(i, "subtitleLabel")->text(), QString::fromUtf8(subtitles[i]));
        EXPECT_EQ(percent(i), QStringLiteral("100%"));
        EXPECT_EQ(tint(solo(i)), colors::gray);
        EXPECT_EQ(tint(mute(i)), colors::gray);
        EXPECT_FALSE(waveform(i)->dimmed());
        EXPECT_EQ(waveform(i)->color(), kindColor(dsp::kAllStemKinds[i]));
        EXPECT_FALSE(waveform(i)->peaks().empty());
        EXPECT_EQ(waveform(i)->peaks(), rig.model->peaks()[i]);
        EXPECT_EQ(waveform(i)->height(), 54);
    }
}

// Every step of a drag is heard at once, not only where the handle is let go.
TEST_F(StripViewTest, VolumeSliderWritesEveryValueOfADrag) {
    QSlider* volume = slider(1);
    volume->setSliderDown(true);
    const std::pair<int, const char*> steps[] = {{1400, "140%"}, {1500, "150%"}, {999, "99%"},
                                                 {500, "50%"},   {1, "0%"},      {0, "0%"}};
    for (const auto& [value, label] : steps) {
        volume->setSliderPosition(value);
        EXPECT_EQ(strip(1).volume, float(value) / 1000.0f) << value;
        EXPECT_EQ(gain(1), strip(1).volume) << value;
        EXPECT_EQ(percent(1), QString::fromLatin1(label)) << value;
    }
    volume->setSliderDown(false);
    EXPECT_EQ(strip(0).volume, 1.0f) << "the other strips keep theirs";
    EXPECT_EQ(gain(0), 1.0f);
}

TEST_F(StripViewTest, ChangesFromOutsideShowWithoutBeingWrittenBack) {
    model::Strip s = strip(0);
    s.volume = 0.25f;
    s.mute = true;
    QSignalSpy writes(rig.model.get(), &model::StudioModel::stripsChanged);
    rig.model->setStrip(0, s);
    rig.model->applyGains();
    EXPECT_EQ(writes.count(), 1);
    EXPECT_EQ(slider(0)->value(), 250);
    EXPECT_EQ(percent(0), QStringLiteral("25%"));
    EXPECT_EQ(tint(mute(0)), colors::red);
    EXPECT_TRUE(waveform(0)->dimmed());
}

TEST_F(StripViewTest, MuteSilencesAndDimsUntilClickedAgainKeepingTheVolume) {
    QTest::mouseClick(mute(2), Qt::LeftButton);
    EXPECT_TRUE(strip(2).mute);
    EXPECT_EQ(tint(mute(2)), colors::red);
    EXPECT_TRUE(waveform(2)->dimmed());
    EXPECT_EQ(gain(2), 0.0f);
    EXPECT_EQ(strip(2).volume, 1.0f);
    EXPECT_EQ(percent(2), QStringLiteral("100%"));

    QTest::mouseClick(mute(2), Qt::LeftButton);
    EXPECT_FALSE(strip(2).mute);
    EXPECT_EQ(tint(mute(2)), colors::gray);
    EXPECT_FALSE(waveform(2)->dimmed());
    EXPECT_EQ(gain(2), 1.0f);
}

// Strips silenced by another's solo are not muted: they keep gray buttons and a full waveform.
TEST_F(StripViewTest, SoloOnDrumsSilencesTheOthersWithoutMarkingThem) {
    QTest::mouseClick(solo(1), Qt::LeftButton);
    EXPECT_TRUE(strip(1).solo);
    EXPECT_EQ(tint(solo(1)), colors::yellow);
    EXPECT_EQ(gain(1), 1.0f);
    EXPECT_FALSE(waveform(1)->dimmed());
    for (int i : {0, 2, 3}) {
        SCOPED_TRACE(i);
        EXPECT_EQ(gain(i), 0.0f);
        EXPECT_EQ(tint(solo(i)), colors::gray);
        EXPECT_EQ(tint(mute(i)), colors::gray);
        EXPECT_FALSE(waveform(i)->dimmed());
    }
    QTest::mouseClick(solo(1), Qt::LeftButton);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(gain(i), 1.0f) << i;
    EXPECT_EQ(tint(solo(1)), colors::gray);
}

// What is exported is the stem itself, whatever the strip's mute and volume.
TEST_F(StripViewTest, ExportingAMutedSilentStripWritesTheWholeStem) {
    QTest::mouseClick(mute(2), Qt::LeftButton);
    slider(2)->setValue(0);
    ASSERT_EQ(gain(2), 0.0f);
    const std::filesystem::path file = rig.dir / "bass stem.wav";
    rig.dialogs.saveAnswers.push_back(QString::fromStdString(file.string()));
    QTest::mouseClick(child<QPushButton>(2, "exportButton"), Qt::LeftButton);
    EXPECT_EQ(rig.model->status(), QStringLiteral("Saved bass stem.wav."));

    auto read = audio::readAudio(file);
    ASSERT_TRUE(read.ok()) << read.error().description;
    const dsp::StemData& stem = *rig.model->stems()[2];
    std::vector<float> expected = stem.l;
    for (float& v : expected) v = std::clamp(v, -1.0f, 1.0f);
    EXPECT_GT(test::peakAbs(expected), 0.01f);
    EXPECT_TRUE(test::nearlyEqual(read.value().l, expected, 2.0f / 8388608.0f));
}

// Switching to a dark desktop theme must not leave dark gray captions on a dark window.
TEST_F(StripViewTest, SecondaryTextsFollowAThemeChange) {
    QPalette dark = window.palette();
    dark.setColor(QPalette::WindowText, Qt::white);
    window.setPalette(dark);
    for (const char* name : {"subtitleLabel", "volumeLabel"})
        EXPECT_EQ(child<QLabel>(3, name)->palette().color(QPalette::WindowText),
                  secondaryText(dark))
            << name;
}

}  // namespace
}  // namespace corvane::ui
