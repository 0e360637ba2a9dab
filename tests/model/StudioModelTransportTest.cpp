// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <QSignalSpy>

#include "ModelTestSupport.h"

using namespace corvane;
using namespace corvane::model;
using namespace corvane::test;

namespace {

constexpr double kRate = 44100.0;
constexpr std::int64_t kLead = 5292;  // 0.12 s at 44.1 kHz

struct Transport : ::testing::Test {
    TempDir dir;
    ModelRig rig;
    StudioModel& m = *rig.model;

    void SetUp() override {
        ASSERT_TRUE(loadAndWait(m, writeSong(dir, "song.wav", testSong(44100 * 2, kRate))));
    }

    // What the output must hold at device frame d when playback of `from` started at `at`, with
    // the given gains.
    float expectedLeft(std::int64_t from, std::int64_t at, std::int64_t d,
                       const std::vector<float>& gains) const {
        const std::int64_t k = from + (d - at);
        if (d < at || k >= m.totalFrames()) return 0.0f;
        float sum = 0.0f;
        for (int s = 0; s < 4; ++s) sum += m.stems()[s]->l[k] * gains[s];
        return sum;
    }

    // Waits for a tick of the playhead timer to publish.
    void waitForTick() {
        QSignalSpy ticks(&m, &StudioModel::positionChanged);
        ASSERT_TRUE(waitUntil([&] { return ticks.count() > 0; }, std::chrono::seconds(2)));
    }
};

}  // namespace

TEST_F(Transport, PlayStartsAllStemsTogetherAfterTheLead) {
    rig.device->render(1000);  // the device clock is not at zero
    m.play();
    ASSERT_TRUE(m.isPlaying());
    EXPECT_EQ(rig.device->openCount(), 1);
    EXPECT_EQ(rig.device->sampleRate(), kRate);
    const auto out = rig.device->render(20000, 512);
    const std::vector<float> unit = {1, 1, 1, 1};
    const std::int64_t at = 1000 + kLead;
    for (std::int64_t i = 0; i < 20000; ++i)
        ASSERT_EQ(out[2 * i], expectedLeft(0, at, 1000 + i, unit)) << "device frame " << 1000 + i;
    waitForTick();
    EXPECT_EQ(m.position(), static_cast<double>(21000 - at) / kRate);
}

TEST_F(Transport, GainsChangeWhatIsHeardAtOnce) {
    m.play();
    rig.device->render(kLead);
    Strip vocals = m.strips()[0];
    vocals.mute = true;
    m.setStrip(0, vocals);
    Strip drums = m.strips()[1];
    drums.volume = 0.5f;
    m.setStrip(1, drums);
    m.applyGains();
    const auto out = rig.device->render(4096);
    for (std::int64_t i = 0; i < 4096; ++i)
        ASSERT_EQ(out[2 * i], expectedLeft(0, kLead, kLead + i, {0.0f, 0.5f, 1.0f, 1.0f})) << i;
}

TEST_F(Transport, SecondPlayChangesNothing) {
    m.play();
    rig.device->render(3000);
    const auto before = m.engine().sourceTime(0);
    QSignalSpy playing(&m, &StudioModel::isPlayingChanged);
    m.play();
    EXPECT_EQ(m.engine().sourceTime(0), before);
    EXPECT_EQ(playing.count(), 0);
}

TEST_F(Transport, PauseKeepsThePlaceAndPlayContinuesFromIt) {
    m.play();
    rig.device->render(kLead);
    EXPECT_EQ(m.engine().sourceTime(0), 0);
    rig.device->render(12345);
    m.pause();
    EXPECT_FALSE(m.isPlaying());
    EXPECT_EQ(m.startFrame(), 12345);
    EXPECT_EQ(m.position(), 12345 / kRate);
    for (float v : rig.device->render(2000)) ASSERT_EQ(v, 0.0f);  // paused is silent

    const std::int64_t resumeAt = m.engine().deviceFrame() + kLead;
    m.play();
    const std::int64_t from = m.engine().deviceFrame();
    const auto out = rig.device->render(8000);
    for (std::int64_t i = 0; i < 8000; ++i)
        ASSERT_EQ(out[2 * i], expectedLeft(12345, resumeAt, from + i, {1, 1, 1, 1})) << i;
}

TEST_F(Transport, SeekClampsTruncatesAndRestartsPlayback) {
    struct Case {
        double seconds;
        std::int64_t frame;
    };
    const std::int64_t last = m.totalFrames() - 1;
    for (Case c : {Case{-5.0, 0}, Case{1.5, 66150}, Case{99.0, last}, Case{1.00001, 44100},
                   Case{std::nan(""), 0}}) {
        m.seek(c.seconds);
        EXPECT_EQ(m.startFrame(), c.frame) << c.seconds;
        EXPECT_EQ(m.position(), static_cast<double>(c.frame) / kRate) << c.seconds;
        EXPECT_FALSE(m.isPlaying());
    }
    m.seek(0.5);
    m.play();
    rig.device->render(kLead + 100);
    m.seek(1.5);  // while playing: stops and starts again from the new place with a new lead
    EXPECT_TRUE(m.isPlaying());
    EXPECT_EQ(m.startFrame(), 66150);
    EXPECT_EQ(m.engine().sourceTime(0), -kLead);
}

TEST_F(Transport, TheEndOfTheSongStopsAndRewinds) {
    m.seek(1.9);
    m.play();
    rig.device->render(kLead + 5000);  // past the last frame
    waitForTick();
    EXPECT_FALSE(m.isPlaying());
    EXPECT_EQ(m.startFrame(), 0);
    EXPECT_EQ(m.position(), 0.0);
    EXPECT_FALSE(m.engine().sourceTime(0).has_value());
}

TEST_F(Transport, PlayAtTheLastFrameStartsFromTheTop) {
    m.seek(99.0);
    QSignalSpy position(&m, &StudioModel::positionChanged);
    m.play();
    EXPECT_EQ(m.startFrame(), 0);
    ASSERT_GE(position.count(), 1);
    EXPECT_EQ(m.position(), 0.0);
}

TEST_F(Transport, StopRewindsToTheTop) {
    m.play();
    rig.device->render(kLead + 30000);
    m.stop();
    EXPECT_FALSE(m.isPlaying());
    EXPECT_EQ(m.startFrame(), 0);
    EXPECT_EQ(m.position(), 0.0);
}

TEST(TransportWithoutOutput, NoDeviceIsReportedAndTheRestKeepsWorking) {
    TempDir dir;
    FakeDialogs dialogs;
    StudioModel m(&dialogs, [] {
        return std::make_unique<audio::OfflineAudioDevice>(
            audio::Error{"SDL", 0, "ALSA: Couldn't open audio device: No such file or directory"});
    });
    ASSERT_TRUE(loadAndWait(m, writeSong(dir, "song.wav", testSong(44100))));
    m.play();
    EXPECT_FALSE(m.isPlaying());
    EXPECT_EQ(m.status(),
              "Audio engine failed: ALSA: Couldn't open audio device: No such file or directory");
    m.seek(0.5);
    EXPECT_EQ(m.position(), 0.5);
    dialogs.saveAnswers.push_back(QString::fromStdString((dir / "x.wav").string()));
    m.exportStem(2);
    EXPECT_EQ(m.status(), "Saved x.wav.");
}

TEST(TransportLifetime, TheTimerDoesNothingOnceTheModelIsGone) {
    TempDir dir;
    auto rig = std::make_unique<ModelRig>();
    ASSERT_TRUE(loadAndWait(*rig->model, writeSong(dir, "song.wav", testSong(44100))));
    rig->model->play();
    rig.reset();
    waitUntil([] { return false; }, std::chrono::milliseconds(150));  // ticks would have fired
    SUCCEED();
}
