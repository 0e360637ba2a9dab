// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <fstream>

#include "ModelTestSupport.h"
#include "dsp/FftPlan.h"

using namespace corvane;
using namespace corvane::model;
using namespace corvane::test;

TEST(StudioModelState, FreshModel) {
    ModelRig rig;
    StudioModel& m = *rig.model;
    EXPECT_EQ(m.phase(), Phase::idle);
    EXPECT_EQ(m.strips(), defaultStrips());
    EXPECT_TRUE(m.peaks().empty());
    EXPECT_EQ(m.duration(), 0.0);
    EXPECT_EQ(m.position(), 0.0);
    EXPECT_EQ(m.progress(), 0.0);
    EXPECT_EQ(m.sampleRate(), 44100.0);
    EXPECT_TRUE(m.stems().empty());
    EXPECT_FALSE(m.isPlaying());
    EXPECT_TRUE(m.status().isEmpty());
    // Before any song: no graph, so these do nothing and fail nothing.
    m.applyGains();
    m.play();
    m.seek(3.0);
    EXPECT_FALSE(m.isPlaying());
    EXPECT_EQ(m.position(), 0.0);
}

TEST(StudioModelState, EveryAssignmentNotifiesEvenOfAnEqualValue) {
    ModelRig rig;
    StudioModel& m = *rig.model;
    QSignalSpy strips(&m, &StudioModel::stripsChanged);
    QSignalSpy position(&m, &StudioModel::positionChanged);
    QSignalSpy changed(&m, &StudioModel::changed);
    m.setStrip(0, m.strips()[0]);  // the same value
    m.stop();                      // publishes position 0 again
    EXPECT_EQ(strips.count(), 1);
    EXPECT_EQ(position.count(), 1);
    EXPECT_GE(changed.count(), 2);
}

TEST(StudioModelLoad, SuccessfulLoadInstallsTheSongAndResetsTheStrips) {
    TempDir dir;
    ModelRig rig;
    StudioModel& m = *rig.model;
    const QString path = writeSong(dir, "Ten Seconds.wav", testSong(441000));
    Strip changed = m.strips()[1];
    changed.volume = 0.3f;
    changed.solo = true;
    m.setStrip(1, changed);

    std::vector<double> progress;
    QObject::connect(&m, &StudioModel::progressChanged, [&] { progress.push_back(m.progress()); });
    m.load(path);
    EXPECT_EQ(m.phase(), Phase::processing);
    EXPECT_EQ(m.progress(), 0.0);
    EXPECT_EQ(m.fileName(), "Ten Seconds.wav");
    ASSERT_TRUE(waitUntil([&] { return m.phase() != Phase::processing; }));

    EXPECT_EQ(m.phase(), Phase::ready);
    EXPECT_EQ(m.progress(), 1.0);
    EXPECT_EQ(m.duration(), 10.0);
    EXPECT_EQ(m.totalFrames(), 441000);
    EXPECT_EQ(m.position(), 0.0);
    EXPECT_EQ(m.strips(), defaultStrips());
    ASSERT_EQ(m.peaks().size(), 4u);
    for (const auto& envelope : m.peaks()) EXPECT_EQ(envelope.size(), 600u);
    ASSERT_EQ(m.stems().size(), 4u);
    for (const auto& stem : m.stems()) EXPECT_EQ(stem->l.size(), 441000u);
    ASSERT_GE(progress.size(), 3u);
    for (double p : progress) EXPECT_LE(p, 1.0);
    EXPECT_EQ(progress.back(), 1.0);
    // The fresh graph carries the fresh strips' gains.
    for (int i = 0; i < 4; ++i) EXPECT_EQ(m.engine().gain(i), 1.0f);
}

TEST(StudioModelLoad, FailedLoadKeepsTheEarlierSongOutOfSight) {
    TempDir dir;
    ModelRig rig;
    StudioModel& m = *rig.model;
    ASSERT_TRUE(loadAndWait(m, writeSong(dir, "good.wav", testSong(44100))));
    { std::ofstream(dir / "notes.mp3") << "these are not sounds"; }

    struct Case {
        QString path;
        QString status;
    };
    const Case cases[] = {
        {QString::fromStdString((dir / "missing.flac").string()),
         "Couldn't read that file: No such file or directory"},
        {QString::fromStdString((dir / "notes.mp3").string()),
         "Couldn't read that file: The file is not audio that FFmpeg can decode."},
        {QString::fromStdString(dir.path().string()), "Couldn't read that file: Is a directory"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(loadAndWait(m, c.path));
        EXPECT_EQ(m.phase(), Phase::idle);
        EXPECT_EQ(m.status(), c.status);
        EXPECT_EQ(m.progress(), 0.0);
        EXPECT_EQ(m.fileName(), QFileInfo(c.path).fileName());
        EXPECT_EQ(m.duration(), 1.0);  // the earlier song's
        EXPECT_EQ(m.peaks().size(), 4u);
        EXPECT_EQ(m.stems().size(), 4u);
    }
}

TEST(StudioModelLoad, AnEmptySeparationIsAFailureNotAnEmptyStudio) {
    TempDir dir;
    ModelRig rig;
    const QString path = writeSong(dir, "song.wav", testSong(44100));
    dsp::detail::failFftPlansForTesting(true);
    const bool ready = loadAndWait(*rig.model, path);
    dsp::detail::failFftPlansForTesting(false);
    EXPECT_FALSE(ready);
    EXPECT_EQ(rig.model->phase(), Phase::idle);
    EXPECT_EQ(rig.model->status(), "Couldn't read that file: The separation could not be set up.");
    EXPECT_TRUE(rig.model->stems().empty());
}

TEST(StudioModelLoad, LoadingWhilePlayingStopsAtOnce) {
    TempDir dir;
    ModelRig rig;
    StudioModel& m = *rig.model;
    ASSERT_TRUE(loadAndWait(m, writeSong(dir, "a.wav", testSong(44100 * 3))));
    m.play();
    ASSERT_TRUE(m.isPlaying());
    m.load(writeSong(dir, "b.wav", testSong(44100 * 2)));
    EXPECT_FALSE(m.isPlaying());  // before the new file is even opened
    EXPECT_EQ(m.phase(), Phase::processing);
    EXPECT_FALSE(m.engine().sourceTime(0).has_value());
    ASSERT_TRUE(waitUntil([&] { return m.phase() == Phase::ready; }));
    EXPECT_EQ(m.duration(), 2.0);
}

TEST(StudioModelLoad, ANewerLoadSupersedesOneInFlight) {
    TempDir dir;
    ModelRig rig;
    StudioModel& m = *rig.model;
    // The first song is much longer, so without superseding it would finish last and win.
    const QString slow = writeSong(dir, "slow.wav", testSong(44100 * 60, 44100.0, 7));
    const QString fast = writeSong(dir, "fast.wav", testSong(22050, 44100.0, 8));
    const QString bad = QString::fromStdString((dir / "missing.wav").string());
    QSignalSpy phases(&m, &StudioModel::phaseChanged);

    m.load(slow);
    m.load(fast);
    ASSERT_TRUE(waitUntil([&] { return m.phase() == Phase::ready; }));
    EXPECT_EQ(m.fileName(), "fast.wav");
    EXPECT_EQ(m.totalFrames(), 22050);
    // Let the slow load finish: nothing of it may land.
    QThread::msleep(1500);
    QCoreApplication::processEvents();
    waitUntil([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_EQ(m.totalFrames(), 22050);
    EXPECT_EQ(m.phase(), Phase::ready);
    EXPECT_EQ(m.progress(), 1.0);

    // A failure of a superseded load is dropped too.
    m.load(bad);
    m.load(fast);
    ASSERT_TRUE(waitUntil([&] { return m.phase() == Phase::ready; }));
    waitUntil([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_EQ(m.phase(), Phase::ready);
    EXPECT_TRUE(m.status().isEmpty());
}

TEST(StudioModelLoad, ASecondLoadResetsStripsAndRebuildsTheGraph) {
    TempDir dir;
    ModelRig rig;
    StudioModel& m = *rig.model;
    ASSERT_TRUE(loadAndWait(m, writeSong(dir, "a.wav", testSong(44100))));
    audio::OfflineAudioDevice* first = rig.device;
    Strip vocals = m.strips()[0];
    vocals.mute = true;
    m.setStrip(0, vocals);
    m.applyGains();
    EXPECT_EQ(m.engine().gain(0), 0.0f);
    ASSERT_TRUE(loadAndWait(m, writeSong(dir, "b.wav", testSong(44100))));
    EXPECT_NE(rig.device, first);
    EXPECT_EQ(m.strips(), defaultStrips());
    EXPECT_EQ(m.engine().gain(0), 1.0f);
}

TEST(StudioModelLoad, TheModelCanGoWhileALoadRuns) {
    TempDir dir;
    const QString path = writeSong(dir, "long.wav", testSong(44100 * 120));
    auto rig = std::make_unique<ModelRig>();
    rig->model->load(path);
    rig.reset();  // cancels and joins the load; its reports are never delivered
    waitUntil([] { return false; }, std::chrono::milliseconds(50));
    SUCCEED();
}
