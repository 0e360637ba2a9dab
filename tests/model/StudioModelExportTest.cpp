// SPDX-License-Identifier: GPL-3.0-or-later
#include <QDir>
#include <filesystem>
#include <fstream>

#include "ModelTestSupport.h"

using namespace corvane;
using namespace corvane::model;
using namespace corvane::test;

namespace {

using Asked = std::vector<QString>;

struct Exports : ::testing::Test {
    ModelRig rig;
    StudioModel& m = *rig.model;

    void SetUp() override {
        // Loud: the song, so the sum of its stems, reaches full scale.
        dsp::StereoAudio song = demo::makeDemoSong(0.7);
        for (auto* channel : {&song.l, &song.r})
            for (float& x : *channel) x *= 2.5f;
        ASSERT_TRUE(loadAndWait(m, writeSong(rig.dir, "My Song.mp3.wav", song)));
    }
};

}  // namespace

TEST_F(Exports, MixFollowsTheStripsAsHeard) {
    // All at 1: the clipped sum; karaoke; drums soloed at half; all muted: silence.
    const std::pair<Settings, std::vector<float>> cases[] = {
        {{{1, 0, 0}, {1, 0, 0}, {1, 0, 0}, {1, 0, 0}}, {1, 1, 1, 1}},
        {{{1, 0, 1}, {1, 0, 0}, {1, 0, 0}, {1, 0, 0}}, {0, 1, 1, 1}},
        {{{1, 0, 0}, {.5f, 1, 0}, {1, 0, 0}, {1, 0, 0}}, {0, .5f, 0, 0}},
        {{{1, 0, 1}, {1, 0, 1}, {1, 0, 1}, {1, 0, 1}}, {0, 0, 0, 0}}};
    for (const auto& [settings, gains] : cases) {
        SCOPED_TRACE(&settings - &cases[0].first);
        setStrips(m, settings);
        rig.dialogs.next = rig.path("mix.wav");
        m.exportMix();
        ASSERT_TRUE(waitForExport(m));
        EXPECT_EQ(rig.dialogs.asked.back(), "My Song.mp3 - Mix.wav");
        EXPECT_EQ(m.status(), "Saved mix.wav.");
        expectMixOf(rig.path("mix.wav"), m, gains);
    }
}

TEST_F(Exports, CancelsSayNothingStemsAreRawAndFailuresAreNeverReportedAsSuccess) {
    m.exportMix();
    ASSERT_TRUE(waitForExport(m));
    m.exportStem(0);
    ASSERT_TRUE(waitForExport(m));
    m.exportAllStems();
    ASSERT_TRUE(waitForExport(m));
    EXPECT_EQ(rig.dialogs.asked,
              (Asked{"My Song.mp3 - Mix.wav", "My Song.mp3 - Vocals.wav", "folder"}));
    EXPECT_TRUE(m.status().isEmpty());
    EXPECT_EQ(QDir(rig.path("")).entryList(QDir::Files), QStringList{"My Song.mp3.wav"});

    setStrips(m, {{1, 0, 0}, {0, 0, 1}});  // drums muted at volume 0
    rig.dialogs.next = rig.path("drums.wav");
    m.exportStem(1);
    ASSERT_TRUE(waitForExport(m));
    EXPECT_EQ(m.status(), "Saved drums.wav.");
    expectMixOf(rig.path("drums.wav"), m, {0, 1, 0, 0});
    std::filesystem::create_directory(rig.dir / "Exports");
    rig.dialogs.next = rig.path("Exports");
    m.exportAllStems();
    ASSERT_TRUE(waitForExport(m));
    EXPECT_EQ(m.status(), "Exported 4 stems to Exports.");
    const std::string names[] = {"Vocals", "Drums", "Bass", "Other"};
    for (int s = 0; s < 4; ++s)
        expectMixOf(rig.path("Exports/My Song.mp3 - " + names[s] + ".wav"), m,
                    {float(s == 0), float(s == 1), float(s == 2), float(s == 3)});

    rig.dialogs.next = rig.path("no such folder/mix.wav");
    m.exportMix();
    ASSERT_TRUE(waitForExport(m));
    EXPECT_EQ(m.status(), "Export failed: No such file or directory");
    rig.dialogs.next = "/dev/full";
    m.exportStem(3);
    ASSERT_TRUE(waitForExport(m));
    EXPECT_EQ(m.status(), "Export failed: No space left on device");
    rig.dialogs.next = rig.path("vanished");
    m.exportAllStems();  // every stem fails: the folder is gone
    ASSERT_TRUE(waitForExport(m));
    EXPECT_EQ(m.status(), "Export failed: No such file or directory");
}

TEST_F(Exports, RunAsideOneAtATimeWithProgressAndACancelLeavesNoFile) {
    std::vector<double> seen;
    QObject::connect(&m, &StudioModel::exportChanged, [&] { seen.push_back(m.exportProgress()); });
    rig.dialogs.next = rig.path("mix.wav");
    m.exportMix();
    EXPECT_TRUE(m.isExporting());  // returns at once; the worker writes
    m.exportStem(1);               // busy: not even a dialog
    EXPECT_EQ(rig.dialogs.asked.size(), 1u);
    ASSERT_TRUE(waitForExport(m));
    EXPECT_EQ(m.status(), "Saved mix.wav.");
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(seen.back(), 1.0);

    // Cancelled: nothing new is left, and a file it would have replaced is kept as it was.
    const auto before = std::filesystem::file_size(rig.dir / "mix.wav");
    for (const char* name : {"cancelled.wav", "mix.wav"}) {
        rig.dialogs.next = rig.path(name);
        m.exportMix();
        m.cancelExport();
        ASSERT_TRUE(waitForExport(m));
        EXPECT_EQ(m.status(), "Export cancelled.");
    }
    EXPECT_EQ(QDir(rig.path("")).entryList(QDir::Files | QDir::Hidden),
              (QStringList{"mix.wav", "My Song.mp3.wav"}));
    EXPECT_EQ(std::filesystem::file_size(rig.dir / "mix.wav"), before);
    // Into a folder that holds an earlier export of the song: the earlier files stay, and a
    // cancel asked for before the export's end is reported wins however soon the files were
    // written.
    std::filesystem::create_directory(rig.dir / "Exports");
    std::ofstream(rig.dir / "Exports" / "My Song - Vocals.wav") << "an earlier export";
    rig.dialogs.next = rig.path("Exports");
    m.exportAllStems();
    m.cancelExport();
    ASSERT_TRUE(waitForExport(m));
    EXPECT_EQ(m.status(), "Export cancelled.");
    EXPECT_EQ(QDir(rig.path("Exports")).entryList(QDir::Files | QDir::Hidden),
              QStringList{"My Song - Vocals.wav"});
    EXPECT_EQ(fileContents(rig.dir / "Exports" / "My Song - Vocals.wav"), "an earlier export");
}

// The mix's proposed name says a tempo or pitch other than the song's, so practice takes do not
// overwrite one another; the dialogs open beside the song, then where the last export went.
TEST_F(Exports, TheMixIsWrittenAtTheTempoAndPitchHeardAndStemsStayRaw) {
    const QString songFolder = QString::fromStdString(rig.dir.path().string());
    m.setStretch({0.5, 3.0});
    std::filesystem::create_directory(rig.dir / "takes");
    rig.dialogs.next = rig.path("takes/slow.wav");
    m.exportMix();
    EXPECT_EQ(std::pair(rig.dialogs.asked.back(), rig.dialogs.startFolder),
              std::pair(QString("My Song.mp3 - Mix (50 %, +3).wav"), songFolder));
    ASSERT_TRUE(waitForExport(m));
    EXPECT_EQ(m.status(), "Saved slow.wav.");
    m.setStretch({1.0, -2.0});
    m.exportMix();  // cancelled
    EXPECT_EQ(std::pair(rig.dialogs.asked.back(), rig.dialogs.startFolder),
              std::pair(QString("My Song.mp3 - Mix (100 %, -2).wav"), rig.path("takes")));
    auto slow = audio::readAudio(rig.dir / "takes" / "slow.wav");
    ASSERT_TRUE(slow.ok()) << slow.error().description;
    // Twice as long, give or take the stretcher's edges.
    EXPECT_NEAR(static_cast<double>(slow.value().frames()), 2.0 * m.totalFrames(),
                0.02 * m.totalFrames());
    EXPECT_GT(test::peakAbs(slow.value().l), 0.05f);
    rig.dialogs.next = rig.path("bass.wav");
    m.exportStem(2);
    ASSERT_TRUE(waitForExport(m));
    expectMixOf(rig.path("bass.wav"), m, {0, 0, 1, 0});
}

// The save dialog's type decides the format: the name's extension is what is written. A name
// with a newline still gives a one-line status, and the file keeps its name.
TEST_F(Exports, TheNamesExtensionPicksTheFormatAndTheStatusNamesItOnOneLine) {
    // Name, codec, whether lossless (and so the stem to 24 bits).
    const std::tuple<const char*, const char*, bool> cases[] = {{"drums.flac", "flac", true},
                                                                {"drums.mp3", "mp3", false}};
    const std::string probe =
        "ffprobe -v error -select_streams a:0 -show_entries stream=codec_name -of csv=p=0 ";
    for (const auto& [name, codec, lossless] : cases) {
        SCOPED_TRACE(name);
        rig.dialogs.next = rig.path(name);
        m.exportStem(1);
        ASSERT_TRUE(waitForExport(m));
        EXPECT_EQ(m.status(), QStringLiteral("Saved %1.").arg(name));
        std::string probed;
        ASSERT_EQ(runCommand(probe + shellQuote(rig.dir / name), &probed), 0);
        EXPECT_EQ(probed, std::string(codec) + "\n");
        if (lossless) expectMixOf(rig.path(name), m, {0, 1, 0, 0});
    }
    rig.dialogs.next = rig.path("two\nlines.wav");
    m.exportStem(2);
    ASSERT_TRUE(waitForExport(m));
    EXPECT_EQ(m.status(), "Saved two\\nlines.wav.");
    EXPECT_TRUE(std::filesystem::exists(rig.dir / "two\nlines.wav"));
}

TEST_F(Exports, TheClickIsInTheMixExactlyWhenAudibleAtTheStartOnItsBeatsAtTheTempoHeard) {
    // Every strip muted: all the mix can hold is the click.
    setStrips(m, {{1, 0, 1}, {1, 0, 1}, {1, 0, 1}, {1, 0, 1}});
    // The song's own map sets the click's beats when it arrives: these come after it.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !m.isMapping(); }, 20000));
    m.transport().setClickBeats({0.1, 0.3, 0.5}, {true});
    const double rate = m.transport().song().sampleRate;
    struct Case {
        bool muted;
        float volume;
        double tempo;
    };
    for (const Case c : {Case{true, 1.0f, 1.0}, Case{false, 0.0f, 1.0}, Case{false, 0.5f, 1.0},
                         Case{false, 1.0f, 0.5}}) {
        SCOPED_TRACE(testing::Message() << c.muted << " " << c.volume << " " << c.tempo);
        m.transport().setClickMuted(c.muted);
        m.transport().setClickVolume(c.volume);
        m.setStretch({c.tempo, 0.0});
        rig.dialogs.next = rig.path("click.wav");
        m.exportMix();
        ASSERT_TRUE(waitForExport(m));
        auto mix = audio::readAudio(rig.dir / "click.wav");
        ASSERT_TRUE(mix.ok()) << mix.error().description;
        const std::vector<float>& l = mix.value().l;
        std::vector<std::size_t> onsets;
        float peak = 0.0f;
        for (std::size_t i = 0; i < l.size(); ++i) {
            if (std::abs(l[i]) > 1e-3f && (onsets.empty() || i > onsets.back() + 2000))
                onsets.push_back(i);
            peak = std::max(peak, std::abs(l[i]));
        }
        if (c.muted || c.volume == 0.0f) {
            EXPECT_TRUE(onsets.empty());
            continue;
        }
        ASSERT_EQ(onsets.size(), 3u);
        for (std::size_t k = 0; k < 3; ++k)
            EXPECT_EQ(onsets[k], static_cast<std::size_t>(
                                     std::ceil(std::llround((0.1 + 0.2 * k) * rate) / c.tempo)))
                << "click " << k;
        EXPECT_NEAR(peak, c.volume * playback::ClickTrack::kAccentLevel, 1e-3);
    }
}
