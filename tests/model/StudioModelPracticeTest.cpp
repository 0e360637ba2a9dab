// SPDX-License-Identifier: GPL-3.0-or-later
// The practice tools in the studio: the map's beats as the click's, the speed trainer's tempo per
// loop pass and a count-in before each pass heard through the offline device, and sessions
// collected, saved, reopened (also after the song moved) and the modified flag.
#include <chrono>
#include <thread>

#include "ModelTestSupport.h"

using namespace corvane;
using namespace corvane::model;
using namespace corvane::test;

namespace {

constexpr double kRate = 44100.0;

// A 440 Hz tone: every stem sums back to it, and the loops below hold whole cycles, so the heard
// signal has no silent run anywhere once it has begun.
// With `blipAt` (seconds), a 10 ms 3 kHz blip there, which steps further from one sample to the
// next than the tone ever does.
bool loadTone(ModelRig& rig, double seconds, const std::string& name = "tone.wav",
              double blipAt = -1.0) {
    const auto n = static_cast<std::size_t>(seconds * kRate);
    dsp::StereoAudio tone{sine(n, 440.0, kRate), sine(n, 440.0, kRate), kRate};
    if (blipAt >= 0.0) {
        const std::vector<float> blip = sine(441, 3000.0, kRate, 0.3f);
        for (std::size_t i = 0; i < blip.size(); ++i) {
            tone.l[static_cast<std::size_t>(blipAt * kRate) + i] += blip[i];
            tone.r[static_cast<std::size_t>(blipAt * kRate) + i] += blip[i];
        }
    }
    // The song's own map, once read, sets the click: the tests' maps come after it.
    return loadAndWait(*rig.model, writeSong(rig.dir, name, tone)) &&
           QTest::qWaitFor([&] { return !rig.model->isMapping(); }, 20000);
}

// Three seconds of steady beats at `bpm` in 4, with sections A and B in its halves.
analysis::SongMap halves(double bpm) {
    analysis::SongMap map = steadyMap(3.0, bpm, 4);
    map.sections = {{0.0, 1.5, "A"}, {1.5, 3.0, "B"}};
    return map;
}

// Renders `frames` of the left channel paced like a device: each block waits for the stretcher's
// ring, then for the playhead tick that follows it.
void renderPaced(ModelRig& rig, int frames, int block, std::vector<float>& left) {
    StudioModel& m = *rig.model;
    for (int done = 0; done < frames && m.isPlaying(); done += block) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!m.stretch().isIdentity() && m.engine().bufferedFrames() < 2 * block &&
               !m.engine().stretchedToTheEnd() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        const auto out = rig.device->render(block, 512);
        for (int i = 0; i < block; ++i) left.push_back(out[static_cast<std::size_t>(2 * i)]);
        QSignalSpy(&m, &StudioModel::positionChanged).wait(200);
    }
}

}  // namespace

TEST(StudioModelPractice, TheMapsBeatsThroughTheGridEditsAreTheClicksAndItsSectionsMarkers) {
    ModelRig rig;
    ASSERT_TRUE(loadTone(rig, 3.0));
    PracticeModel& p = rig.model->practice();
    p.setSongMap(halves(120.0));
    const auto& click = rig.model->transport().clickBeats();
    ASSERT_EQ(click.size(), 6u);
    EXPECT_EQ(click[4].frame, 88200);
    EXPECT_TRUE(click[4].downbeat);
    EXPECT_FALSE(click[5].downbeat);
    ASSERT_EQ(p.markers().all().size(), 2u);
    EXPECT_TRUE(p.markers().all()[1].section);
    EXPECT_FALSE(p.isModified());  // the analysis is no change of the person's
    p.setGridEdits({});  // the grid as it is: nothing to save
    EXPECT_FALSE(p.isModified());

    p.setGridEdits({std::nullopt, 0, 0.0, 1.0});  // bar 1 from the third beat
    EXPECT_TRUE(p.isModified());
    EXPECT_TRUE(rig.model->transport().clickBeats()[2].downbeat);
    EXPECT_FALSE(rig.model->transport().clickBeats()[0].downbeat);
    // The map as shown: the corrected beats and the tempo they beat at, the sections as found.
    const GridEdits downbeat = p.gridEdits();
    p.setGridEdits({150.0, -1, 0.0, std::nullopt});  // tapped at 150 bpm, then halved
    EXPECT_EQ(p.griddedMap().tempoBpm, 75.0);
    ASSERT_EQ(p.griddedMap().beats.size(), 4u);
    EXPECT_DOUBLE_EQ(p.griddedMap().beats[1].time, 0.8);
    EXPECT_EQ(p.griddedMap().sections.size(), 2u);
    EXPECT_EQ(rig.model->transport().clickBeats().size(), 4u);
    p.setGridEdits(downbeat);

    // The same song separated again keeps its loop, and its click follows the fresh map; a new
    // song clears them.
    rig.model->setLoop(0.5, 1.5);
    rig.model->setMethod(dsp::SeparationMethod::refined);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !rig.model->isSeparating(); }, 20000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !rig.model->isMapping(); }, 20000));
    const auto fresh = rig.model->songMap();
    EXPECT_EQ(rig.model->transport().clickBeats().size(), fresh ? fresh->beats.size() : 6u);
    EXPECT_EQ(rig.model->loop(), (LoopRegion{0.5, 1.5, true}));
    ASSERT_TRUE(loadTone(rig, 2.0, "other.wav"));
    EXPECT_TRUE(rig.model->transport().clickBeats().empty());
    // Only the new song's own sections are left as markers.
    for (const auto& marker : p.markers().all()) EXPECT_TRUE(marker.section);
    EXPECT_FALSE(p.isModified());
}

TEST(StudioModelPractice, TheTrainerPlaysEachPassAtItsTempoFromItsWrapWithoutAGapAndStops) {
    ModelRig rig;
    ASSERT_TRUE(loadTone(rig, 2.0, "tone.wav", 0.5));
    StudioModel& m = *rig.model;
    PracticeModel& p = m.practice();
    m.setLoop(0.5, 1.0);  // 220 whole cycles
    m.seek(0.5);
    p.setTrainerSettings({60, 10, 1, 90, true});
    p.setTrainerOn(true);
    EXPECT_DOUBLE_EQ(m.stretch().tempo, 0.6);
    p.markSaved();
    m.play();

    std::vector<float> left;
    std::vector<double> tempos{m.stretch().tempo};
    std::vector<int> passes{0};
    QObject::connect(&p, &PracticeModel::trainerChanged, [&] {
        tempos.push_back(m.stretch().tempo);
        passes.push_back(p.trainerPass());
    });
    renderPaced(rig, static_cast<int>(6 * kRate), 2048, left);

    // 0.6, 0.7, 0.8, 0.9, then one pass at the target and the plan is done.
    EXPECT_EQ(passes, (std::vector<int>{0, 1, 2, 3, 4}));
    ASSERT_EQ(tempos.size(), 5u);
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(tempos[k], 0.6 + 0.1 * k, 1e-9) << k;
    EXPECT_TRUE(p.trainerFinished());
    EXPECT_FALSE(m.isPlaying());
    EXPECT_EQ(m.position(), 0.5);
    EXPECT_FALSE(p.isModified());  // the trainer's tempo is no change of the session

    // Heard: no silent run at any change, from the first sound to the pause.
    std::size_t begin = 0;
    while (begin < left.size() && std::abs(left[begin]) < 1e-4f) ++begin;
    std::size_t run = 0;
    std::size_t end = left.size();
    while (end > begin && std::abs(left[end - 1]) < 1e-4f) --end;
    EXPECT_GT(end - begin, static_cast<std::size_t>(4 * 0.5 * kRate));
    for (std::size_t i = begin; i < end; ++i) {
        run = std::abs(left[i]) < 1e-4f ? run + 1 : 0;
        ASSERT_LT(run, 32u) << "silent from frame " << i - run + 1;
    }
    // Each pass, from the blip on the loop's start to the next, lasts the loop at its own tempo:
    // the tempo changed on the wrap. The stretcher places a blip within about 3 ms, so a pass
    // is within 5 ms; had the tempo changed when the playhead showed the pass, as it once did,
    // the second pass would have run 57 ms long.
    std::vector<std::size_t> blips;
    for (std::size_t i = begin + 1; i < end; ++i)
        if (std::abs(left[i] - left[i - 1]) > 0.08f && (blips.empty() || i - blips.back() > 4000))
            blips.push_back(i);
    ASSERT_GE(blips.size(), 5u);
    double worst = 0.0;
    for (std::size_t k = 0; k + 1 < blips.size(); ++k) {
        const double want = 0.5 * kRate / std::min(0.6 + 0.1 * static_cast<double>(k), 0.9);
        worst = std::max(worst, std::abs(static_cast<double>(blips[k + 1] - blips[k]) - want));
        EXPECT_NEAR(static_cast<double>(blips[k + 1] - blips[k]), want, 0.005 * kRate) << k;
    }
    std::cout << "trainer passes at most " << worst / kRate * 1000 << " ms off their length\n";
}

TEST(StudioModelPractice, ACountInBeforeEachPassIsABarOfSilenceWithThePlayheadOnTheLoopStart) {
    ModelRig rig;
    ASSERT_TRUE(loadTone(rig, 3.0));
    StudioModel& m = *rig.model;
    PracticeModel& p = m.practice();
    p.setSongMap(halves(240.0));  // a bar a second
    m.setLoop(0.5, 1.0);
    m.seek(0.5);
    p.setClickVolume(0.0f);  // heard at no level: all there is to hear is the song
    p.setCountInBars(1);
    p.setCountInEachPass(true);  // only while the click is on
    m.play();
    std::vector<double> positions;
    QObject::connect(&m, &StudioModel::positionChanged, [&] { positions.push_back(m.position()); });
    std::vector<float> left;
    renderPaced(rig, static_cast<int>(kRate), 2048, left);  // the first wrap crossfades
    p.setClickMuted(false);                                 // the next counts in
    renderPaced(rig, static_cast<int>(1.6 * kRate), 2048, left);
    // After two passes of 0.5 s from the first sound, a bar of silence but for the start's 5 ms
    // lead-in, then the third pass.
    const auto sound = std::find_if(left.begin(), left.end(), [](float v) { return v != 0.0f; });
    const auto silent = std::search_n(sound, left.end(), 32, 0.0f);
    const auto again = std::find_if(silent, left.end(), [](float v) { return v != 0.0f; });
    EXPECT_NEAR(static_cast<double>(silent - sound), kRate, 1.0);
    EXPECT_NEAR(static_cast<double>(again - silent), kRate - 0.005 * kRate, 1.0);
    // The playhead never ran past the loop's end, and held on its start through the count-in.
    for (const double at : positions) EXPECT_TRUE(at >= 0.5 && at < 1.0) << at;
    EXPECT_GE(std::count(positions.begin(), positions.end(), 0.5), 15);
}

TEST(StudioModelPractice, ASessionSavedAndReopenedAfterItsSongMovedIsTheOneSaved) {
    ModelRig rig;
    ASSERT_TRUE(loadTone(rig, 3.0));
    StudioModel& m = *rig.model;
    PracticeModel& p = m.practice();
    p.setSongMap(halves(120.0));
    EXPECT_FALSE(m.isModified());
    setStrips(m, {{0.5f, false, true}, {1.25f, true, false}});
    EXPECT_TRUE(m.isModified());
    m.setStretch({0.9, -2.0});
    m.setLoop(1.0, 2.0);
    p.renameMarker(p.addMarker(1.25), "hard bit");
    p.setGridEdits({96.0, 0, 0.01, std::nullopt});
    p.setClickVolume(0.5f);
    p.setClickMuted(false);
    p.setCountInBars(2);
    p.setTrainerSettings({70, 5, 2, 100, false});
    const auto collected = m.collectSession(3.5);
    ASSERT_TRUE(std::holds_alternative<Session>(collected)) << std::get<std::string>(collected);
    const Session saved = std::get<Session>(collected);
    const QString file = rig.path("practice.corvane");
    ASSERT_EQ(m.saveSession(file, 3.5), std::nullopt);
    EXPECT_FALSE(m.isModified());
    p.setCountInBars(1);
    EXPECT_TRUE(m.isModified());

    // Moved: missing where it was, found where the person points.
    std::filesystem::rename(rig.dir / "tone.wav", rig.dir / "moved.wav");
    const auto read = readSession(file.toStdString());
    ASSERT_TRUE(std::holds_alternative<Session>(read)) << std::get<std::string>(read);
    const Session& session = std::get<Session>(read);
    EXPECT_EQ(checkSong(session.songPath, session.fingerprint), SongCheck::missing);
    EXPECT_EQ(checkSong(rig.dir / "moved.wav", session.fingerprint), SongCheck::same);

    ModelRig other;
    QSignalSpy applied(other.model.get(), &StudioModel::sessionApplied);
    other.model->openSession(session, rig.path("moved.wav"));
    ASSERT_TRUE(applied.wait(20000));
    EXPECT_EQ(applied.at(0).at(0).toDouble(), 3.5);
    EXPECT_FALSE(other.model->isModified());
    Session again = std::get<Session>(other.model->collectSession(3.5));
    EXPECT_EQ(again.songPath, rig.dir / "moved.wav");
    again.songPath = saved.songPath;
    EXPECT_EQ(again, saved);
    EXPECT_EQ(other.model->transport().clickVolume(), 0.5f);

    // The map arriving after the session keeps the person's markers and grid edits.
    other.model->practice().setSongMap(halves(120.0));
    EXPECT_EQ(other.model->practice().markers().all(), saved.markers);
    EXPECT_NEAR(other.model->practice().beats()[1].time - other.model->practice().beats()[0].time,
                0.625, 1e-9);

    // Nothing to collect without a song; a session whose song fails to load is dropped.
    ModelRig empty;
    EXPECT_EQ(std::get<std::string>(empty.model->collectSession(1.0)), "No song to save.");
    QSignalSpy none(empty.model.get(), &StudioModel::sessionApplied);
    empty.model->openSession(session, rig.path("tone.wav"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return empty.model->phase() == Phase::idle; }, 20000));
    EXPECT_EQ(none.count(), 0);
}
