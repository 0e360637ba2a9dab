// SPDX-License-Identifier: GPL-3.0-or-later
#include "ModelTestSupport.h"

using namespace corvane;
using namespace corvane::model;
using namespace corvane::test;

namespace {

constexpr double kRate = 44100.0;
constexpr std::int64_t kLead = 5292;  // 0.12 s at 44.1 kHz

struct Playback : ::testing::Test {
    ModelRig rig;
    StudioModel& m = *rig.model;

    void SetUp() override { ASSERT_TRUE(rig.load(2.0)); }

    auto state() const { return std::tuple(m.isPlaying(), m.startFrame(), m.position()); }
    static auto state(bool playing, std::int64_t frame) {
        return std::tuple(playing, frame, frame / kRate);
    }
    bool tick() { return QSignalSpy(&m, &StudioModel::positionChanged).wait(2000); }

    // Renders `n` frames; the left channel must be the stems at `gains` from song frame `from`
    // on, begun at device frame `at`.
    void expectHeard(int n, std::int64_t from, std::int64_t at, const std::vector<float>& gains) {
        const std::int64_t d0 = m.engine().deviceFrame();
        const auto out = rig.device->render(n, 512);
        for (std::int64_t d = d0, k = from + d0 - at; d < d0 + n; ++d, ++k) {
            float sum = 0.0f;
            for (int s = 0; s < 4 && d >= at && k < m.totalFrames(); ++s)
                sum += m.stems()[s]->l[k] * gains[s];
            ASSERT_EQ(out[2 * (d - d0)], sum) << "device frame " << d;
        }
    }
};

}  // namespace

TEST_F(Playback, PlayIsSampleAlignedAfterTheLeadFollowsGainsAndResumesWherePaused) {
    m.play();
    EXPECT_EQ(std::tuple(m.isPlaying(), rig.device->openCount(), rig.device->sampleRate()),
              std::tuple(true, 1, kRate));
    expectHeard(kLead + 8000, 0, kLead, {1, 1, 1, 1});
    ASSERT_TRUE(tick());
    EXPECT_EQ(m.position(), 8000 / kRate);

    const auto before = m.engine().sourceTime(0);
    QSignalSpy playing(&m, &StudioModel::isPlayingChanged);
    m.play();  // already playing: nothing changes
    EXPECT_EQ(std::tuple(m.engine().sourceTime(0), playing.count()), std::tuple(before, 0));

    setStrips(m, {{1, 0, 1}, {.5f, 0, 0}});
    rig.device->render(441);  // the 10 ms gain ramp
    expectHeard(4096 - 441, 0, kLead, {0, .5f, 1, 1});
    m.pause();
    EXPECT_EQ(state(), state(false, 12096));
    rig.device->render(221);                                      // faded out over 5 ms
    for (float v : rig.device->render(2000)) ASSERT_EQ(v, 0.0f);  // paused is silent
    m.play();  // on a device clock well past zero now
    expectHeard(kLead + 8000, 12096, m.engine().deviceFrame() + kLead, {0, .5f, 1, 1});
}

TEST_F(Playback, SeekClampsAndRestartsStopAndTheEndRewindAndTheModelCanGo) {
    const double seconds[] = {-5.0, 1.5, 99.0, 1.00001, NAN};  // clamped, truncated
    const std::int64_t frames[] = {0, 66150, m.totalFrames() - 1, 44100, 0};
    for (int i = 0; i < 5; ++i) {
        m.seek(seconds[i]);
        EXPECT_EQ(state(), state(false, frames[i])) << seconds[i];
    }
    m.seek(99.0);
    m.play();  // at the last frame: from the top
    EXPECT_EQ(state(), state(true, 0));
    rig.device->render(kLead + 100);
    m.seek(1.5);  // while playing: on from there at once, crossfaded, no new lead
    EXPECT_EQ(state(), state(true, 66150));
    EXPECT_EQ(m.engine().sourceTime(0), 0);
    rig.device->render(kLead + 3000);
    m.stop();
    EXPECT_EQ(state(), state(false, 0));

    m.seek(1.9);
    m.play();
    rig.device->render(kLead + 5000);  // past the last frame
    ASSERT_TRUE(tick());
    EXPECT_EQ(state(), state(false, 0));
    EXPECT_FALSE(m.engine().sourceTime(0).has_value());

    m.play();
    rig.model.reset();  // while playing: the playhead timer must not tick into it
    QTest::qWait(150);
}

TEST_F(Playback, ALoopWrapsWhatIsHeardAndThePlayheadPauseResumesInItAndOffPlaysOnToTheEnd) {
    constexpr std::int64_t kA = 22050, kB = 44100, kFade = 221;  // 0.5 s, 1 s, 5 ms
    m.setLoop(1.0, 0.5);
    m.play();
    // The next n frames play song frames from `song` on, wrapping at B; the frames of the
    // crossfade just before B are only checked to be finite. Leaves `song` at the next one.
    auto expectLooped = [&](int n, std::int64_t& song, bool looping) {
        const auto out = rig.device->render(n, 512);
        if (looping && song == kB) song = kA;
        for (int i = 0; i < n; ++i) {
            float sum = 0.0f;
            for (int s = 0; s < 4 && song < m.totalFrames(); ++s) sum += m.stems()[s]->l[song];
            if (looping && song >= kB - kFade && song < kB)
                ASSERT_TRUE(std::isfinite(out[2 * i])) << i;
            else
                ASSERT_EQ(out[2 * i], sum) << "song frame " << song << ", output frame " << i;
            if (++song == kB && looping) song = kA;  // the wrap follows B - 1 at once
        }
    };
    rig.device->render(kLead);
    std::int64_t song = 0;
    expectLooped(44100 + 11025, song, true);  // up to B, then a quarter second
    ASSERT_TRUE(tick());
    EXPECT_EQ(state(), std::tuple(true, std::int64_t{0}, (kA + 11025) / kRate));
    m.pause();
    EXPECT_EQ(state(), state(false, kA + 11025));
    m.play();
    rig.device->render(kLead);
    expectLooped(3 * 22050, song, true);  // three more wraps
    m.toggleLoop();                       // off: on from where it is, to the end
    expectLooped(static_cast<int>(m.totalFrames() - song) + 1000, song, false);
    ASSERT_TRUE(tick());
    EXPECT_EQ(state(), state(false, 0));

    m.seek(1.5);  // past B: turning the loop on plays on to the end
    m.play();
    m.setLoopEnabled(true);
    rig.device->render(kLead);
    song = 66150;
    expectLooped(static_cast<int>(m.totalFrames() - song) + 1000, song, true);
    ASSERT_TRUE(tick());
    EXPECT_EQ(std::tuple(state(), m.loop().enabled), std::tuple(state(false, 0), true));
}

TEST(TransportWithoutOutput, NoDeviceIsReportedAndTheRestKeepsWorking) {
    ModelRig rig;
    rig.model = std::make_unique<StudioModel>(&rig.dialogs, [] {
        return std::make_unique<playback::OfflineAudioDevice>(
            audio::Error{"SDL", 0, "ALSA: Couldn't open audio device: No such file or directory"});
    });
    StudioModel& m = *rig.model;
    m.checkSoundOutput();  // at start-up, before any song
    EXPECT_EQ(m.status(), QString::fromUtf8(kNoSoundOutput));
    ASSERT_TRUE(rig.load(1.0));
    EXPECT_EQ(m.status(),
              "No sound output was found: playback is off; separating and exporting still work.");
    m.play();
    EXPECT_EQ(std::tuple(m.isPlaying(), m.status()),
              std::tuple(false,
                         "Audio engine failed: ALSA: Couldn't open audio device: "
                         "No such file or directory"));
    m.seek(0.5);
    rig.dialogs.next = rig.path("x.wav");
    m.exportStem(2);
    ASSERT_TRUE(waitForExport(m));
    EXPECT_EQ(std::tuple(m.position(), m.status()), std::tuple(0.5, "Saved x.wav."));
}

// Choosing another output moves what plays there, from where it was, with its gains, loop and
// click; the outputs listed are the lister's; a machine with sound says nothing at start-up.
TEST(Outputs, AnotherOutputTakesOverWhatPlaysFromWhereItWas) {
    ModelRig rig;
    rig.model = std::make_unique<StudioModel>(
        &rig.dialogs,
        [&rig] {
            auto made = std::make_unique<playback::OfflineAudioDevice>();
            rig.device = made.get();
            return made;
        },
        nullptr,
        [] {
            return QStringList{"Speakers", "Headphones"};
        });
    StudioModel& m = *rig.model;
    m.checkSoundOutput();
    EXPECT_EQ(std::pair(m.status(), m.outputNames()),
              std::pair(QString(), QStringList{"Speakers", "Headphones"}));
    ASSERT_TRUE(rig.load(4.0));
    setStrips(m, {{0.5f, 0, 0}});
    m.setLoop(1.0, 3.0);
    m.practice().setClickVolume(0.25f);
    m.practice().setClickMuted(false);
    m.seek(1.5);
    m.play();
    const playback::OfflineAudioDevice* first = rig.device;
    rig.device->render(5292 + 22050);  // the lead, then half a second
    m.setOutputName("Headphones");
    EXPECT_NE(rig.device, first);
    EXPECT_EQ(std::tuple(m.outputName(), m.isPlaying(), m.engine().gain(0), m.loop()),
              std::tuple("Headphones", true, 0.5f, LoopRegion{1.0, 3.0, true}));
    EXPECT_NEAR(m.position(), 2.0, 0.01);
    EXPECT_EQ(std::pair(m.engine().clickMuted(), m.engine().clickVolume()),
              std::pair(false, 0.25f));
    rig.device->render(5292 + 4410);
    EXPECT_GT(test::peakAbs(rig.device->captured()), 0.01f) << "heard on the new output";
}
