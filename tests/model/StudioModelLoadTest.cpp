// SPDX-License-Identifier: GPL-3.0-or-later
#include <QFileInfo>
#include <fstream>
#include <optional>

#include "ModelTestSupport.h"
#include "dsp/common/FftPlan.h"

using namespace corvane;
using namespace corvane::model;
using namespace corvane::test;

TEST(StudioModelState, AFreshModelIsEmptyAndEveryAssignmentNotifies) {
    ModelRig rig;
    StudioModel& m = *rig.model;
    m.applyGains();  // no graph before a song: these do nothing and fail nothing
    m.play();
    m.seek(3.0);
    EXPECT_EQ(std::tuple(m.phase(), m.duration(), m.position(), m.progress(), m.isPlaying(),
                         m.sampleRate(), m.strips()),
              std::tuple(Phase::idle, 0.0, 0.0, 0.0, false, 44100.0, defaultStrips()));
    EXPECT_TRUE(m.peaks().empty() && m.stems().empty() && m.status().isEmpty());

    QSignalSpy strips(&m, &StudioModel::stripsChanged);
    QSignalSpy position(&m, &StudioModel::positionChanged);
    QSignalSpy changed(&m, &StudioModel::changed);
    m.setStrip(0, m.strips()[0]);  // equal values
    m.stop();                      // publishes isPlaying and position
    EXPECT_EQ(std::tuple(strips.count(), position.count(), changed.count()), std::tuple(1, 1, 3));
}

TEST(StudioModelLoad, ALoadReadsFirstThenReplacesTheSongAndAFailedOneKeepsTheStudio) {
    ModelRig rig;
    StudioModel& m = *rig.model;
    // Without a song there is nothing to keep: the progress display at once, the drop zone after.
    EXPECT_FALSE(loadAndWait(m, rig.path("missing.wav")));
    EXPECT_EQ(std::tuple(m.phase(), m.fileName()), std::tuple(Phase::idle, "missing.wav"));
    ASSERT_TRUE(rig.load(1.0, "first.wav"));
    const playback::OfflineAudioDevice* first = rig.device;
    setStrips(m, {{1, 0, 0}, {.3f, 1, 0}});
    m.seek(0.5);
    m.play();
    std::vector<double> progress;
    QObject::connect(&m, &StudioModel::progressChanged, [&] { progress.push_back(m.progress()); });
    m.load(writeSong(rig.dir, "Ten Seconds.wav", demo::makeDemoSong(10.0)));
    // Read first: the studio plays on until the file has decoded.
    EXPECT_EQ(std::tuple(m.isPlaying(), m.phase(), m.fileName(), m.status()),
              std::tuple(true, Phase::ready, "first.wav", "Opening Ten Seconds.wav…"));
    // Once it has, the studio gives way (however briefly: decoding and separation overlap, so
    // the song may be ready in the same breath).
    std::optional<bool> playingWhenItGaveWay;
    QObject::connect(&m, &StudioModel::phaseChanged, [&] {
        if (m.phase() == Phase::processing && !playingWhenItGaveWay)
            playingWhenItGaveWay = m.isPlaying();
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return !m.isLoading(); }, 20000));
    EXPECT_EQ(playingWhenItGaveWay, false);
    EXPECT_EQ(std::tuple(m.fileName(), m.status()), std::tuple("Ten Seconds.wav", ""));
    EXPECT_EQ(std::tuple(m.phase(), m.duration(), m.totalFrames(), m.position(), m.strips()),
              std::tuple(Phase::ready, 10.0, 441000, 0.0, defaultStrips()));
    EXPECT_NE(rig.device, first);  // a fresh graph at the fresh strips' gains
    for (int i = 0; i < 4; ++i) EXPECT_EQ(m.engine().gain(i), 1.0f);
    ASSERT_EQ(std::tuple(m.peaks().size(), m.stems().size()), std::tuple(4ul, 4ul));
    for (int s = 0; s < 4; ++s)
        EXPECT_EQ(std::tuple(m.peaks()[s].size(), m.stems()[s]->l.size()),
                  std::tuple(600ul, 441000ul));
    ASSERT_GE(progress.size(), 3u);
    EXPECT_LE(*std::max_element(progress.begin(), progress.end()), 1.0);
    EXPECT_EQ(progress.back(), 1.0);

    // A session worth keeping: a mix, a loop, another tempo, playing.
    setStrips(m, {{0.5f, 0, 1}, {1.2f, 1, 0}});
    m.setLoop(2.0, 4.0);
    m.setStretch({0.8, 2.0});
    m.play();
    const std::vector<Strip> strips = m.strips();
    const auto stems = m.stems();
    { std::ofstream(rig.dir / "notes.mp3") << "these are not sounds"; }
    // File, status, whether the separation fails (an empty one must not make an empty studio).
    const std::tuple<std::string, const char*, bool> cases[] = {
        {"missing.flac", "No such file or directory", false},
        {"notes.mp3", "The file is not audio that FFmpeg can decode.", false},
        {".", "Is a directory", false},
        {"first.wav", "The separation could not be set up.", true}};
    for (const auto& [name, status, failSeparation] : cases) {
        dsp::detail::failFftPlansForTesting(failSeparation);
        EXPECT_FALSE(loadAndWait(m, rig.path(name))) << name;
        dsp::detail::failFftPlansForTesting(false);
        // The studio stays as it was and plays on: a failure is known before it gives way.
        EXPECT_EQ(std::tuple(m.status(), m.fileName(), m.phase(), m.isPlaying(), m.duration(),
                             m.stems(), m.peaks().size(), m.strips(), m.loop(), m.stretch()),
                  std::tuple("Couldn't read that file: " + QString(status), "Ten Seconds.wav",
                             Phase::ready, true, 10.0, stems, 4ul, strips,
                             LoopRegion{2.0, 4.0, true}, playback::Stretch{0.8, 2.0}))
            << name;
    }
    m.play();
    EXPECT_TRUE(m.isPlaying()) << "the kept studio still plays";
}

TEST(StudioModelLoad, ANewerLoadSupersedesOneInFlightAndTheModelCanGoDuringOne) {
    ModelRig rig;
    StudioModel& m = *rig.model;
    // The first song is much longer, so without superseding it would finish last and win.
    const QString slow = writeSong(rig.dir, "slow.wav", demo::makeDemoSong(60.0));
    const QString fast = writeSong(rig.dir, "fast.wav", demo::makeDemoSong(0.5));
    m.load(slow);
    EXPECT_TRUE(loadAndWait(m, fast));
    QTest::qWait(1700);  // the slow load's time: nothing of it may land
    EXPECT_EQ(std::tuple(m.fileName(), m.totalFrames(), m.phase(), m.progress()),
              std::tuple("fast.wav", 22050, Phase::ready, 1.0));
    m.load(rig.path("missing.wav"));
    EXPECT_TRUE(loadAndWait(m, fast));
    QTest::qWait(200);  // a superseded failure is dropped too
    EXPECT_EQ(std::tuple(m.phase(), m.status()), std::tuple(Phase::ready, QString()));

    m.load(slow);
    rig.model.reset();  // cancels and joins the load; its reports are never delivered
    QTest::qWait(50);
}

// A cut-off download is still separated, and the status line says where it ends.
TEST(StudioModelLoad, AFileCutShortLoadsAndSaysWhereItEnds) {
    ModelRig rig;
    const std::filesystem::path file = rig.dir / "cut.flac";
    ASSERT_EQ(test::runCommand("ffmpeg -nostdin -loglevel error -f lavfi -i "
                               "'aevalsrc=0.5*sin(2*PI*440*t):s=44100:d=10' -c:a flac '" +
                               file.string() + "'"),
              0);
    std::filesystem::resize_file(file, std::filesystem::file_size(file) / 2);
    ASSERT_TRUE(loadAndWait(*rig.model, rig.path("cut.flac")));
    EXPECT_EQ(rig.model->status(), "The file ends early, at 0:05 of 0:10.");
    ASSERT_TRUE(rig.load(1.0));  // a whole file says nothing
    EXPECT_EQ(rig.model->status(), "");
}

// Choosing the other method separates the loaded song again from its stems in the background
// while the old stems play on; they are swapped at the same song position with no gap, keeping
// the strips; choosing back while that runs leaves the studio as it was; the choice holds for the
// next song.
TEST(StudioModelLoad, TheOtherMethodSeparatesTheSongAgainWhilePlayingOn) {
    ModelRig rig;
    StudioModel& m = *rig.model;
    ASSERT_TRUE(rig.load(6.0));
    setStrips(m, {{0.5f, 0, 0}, {1.2f, 0, 0}});
    m.seek(2.0);
    const auto standard = m.stems();
    const std::vector<Strip> strips = m.strips();

    m.setMethod(dsp::SeparationMethod::refined);
    EXPECT_EQ(std::tuple(m.phase(), m.isSeparating()), std::tuple(Phase::ready, true));
    m.setMethod(dsp::SeparationMethod::standard);  // chosen back at once: nothing changes
    EXPECT_EQ(std::tuple(m.phase(), m.isSeparating(), m.stems(), m.strips(), m.position()),
              std::tuple(Phase::ready, false, standard, strips, 2.0));
    QTest::qWait(200);  // a dropped result must not land later
    EXPECT_EQ(m.stems(), standard);

    m.play();
    rig.device->render(8192);  // past the start lead
    m.setMethod(dsp::SeparationMethod::refined);
    // Keep listening while it separates; the swap lands between two of these blocks. A slow
    // machine (or a sanitizer) separates for longer than the song lasts: listening pauses a
    // second before its end.
    while (m.isSeparating()) {
        if (m.position() < 5.0) rig.device->render(512);
        QTest::qWait(2);
    }
    const std::size_t swappedAt = rig.device->captured().size() / 2;
    rig.device->render(8192);
    EXPECT_EQ(std::tuple(m.phase(), m.isPlaying(), m.strips(), m.progress()),
              std::tuple(Phase::ready, true, strips, 1.0));
    ASSERT_EQ(m.stems().size(), 4u);
    EXPECT_FALSE(nearlyEqual(m.stems()[0]->l, standard[0]->l, 1e-3f));
    // Heard without a gap: the output never falls silent for longer than the song itself does.
    const auto longestSilence = [](std::span<const float> x, std::size_t stride) {
        std::size_t run = 0, longest = 0;
        for (std::size_t k = 0; k < x.size(); k += stride) {
            run = std::abs(x[k]) < 1e-5f ? run + 1 : 0;
            longest = std::max(longest, run);
        }
        return longest;
    };
    std::vector<float> song(static_cast<std::size_t>(m.totalFrames()), 0.0f);
    for (int s = 0; s < 4; ++s)
        for (std::size_t k = 0; k < song.size(); ++k)
            song[k] += standard[s]->l[k] * (s ? 1.2f : .5f);
    const std::span<const float> heard = std::span(rig.device->captured()).subspan(2 * 8192);
    EXPECT_LE(longestSilence(heard, 2), longestSilence(song, 1) + 1);
    // The playhead went on across the swap (about 2 s plus what was heard), not back to 0.
    EXPECT_GT(m.position(), 2.0 + (swappedAt - 8192) / 44100.0 - 0.2);

    ASSERT_TRUE(rig.load(1.0, "next.wav"));  // the choice holds; a new song starts afresh
    EXPECT_EQ(std::tuple(m.method(), m.strips()),
              std::tuple(dsp::SeparationMethod::refined, defaultStrips()));
}
