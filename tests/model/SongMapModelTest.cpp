// SPDX-License-Identifier: GPL-3.0-or-later
#include <QDir>
#include <fstream>
#include <sstream>

#include "ModelTestSupport.h"
#include "analysis/MapFormats.h"
#include "model/MapText.h"

using namespace corvane;
using namespace corvane::model;
using namespace corvane::test;

namespace {

bool waitForMap(const StudioModel& m) {
    return QTest::qWaitFor([&] { return !m.isMapping(); }, 20000);
}

}  // namespace

TEST(StudioModelSongMap, ArrivesAfterTheStudioShowsAndANewLoadGetsItsOwn) {
    ModelRig rig;
    StudioModel& m = *rig.model;
    // Each map published, with the phase it met: none may belong to a song no longer loaded.
    std::vector<std::pair<Phase, double>> seen;
    QObject::connect(&m, &StudioModel::songMapChanged, [&] {
        if (m.songMap()) seen.emplace_back(m.phase(), m.songMap()->durationSeconds);
    });
    ASSERT_TRUE(rig.load(12.0, "first.wav"));
    // The studio shows first; the map is read after it.
    EXPECT_TRUE(m.isMapping());
    EXPECT_FALSE(m.songMap() || m.canExportMap());
    ASSERT_TRUE(waitForMap(m));
    ASSERT_TRUE(m.songMap().has_value());
    const analysis::SongMap& map = *m.songMap();
    // The demo song is 120 bpm in 4/4 with chords over a bass line.
    EXPECT_TRUE(map.steadyBeat);
    EXPECT_NEAR(map.tempoBpm, 120.0, 120.0 * 0.04);
    EXPECT_TRUE(map.hasHarmony() && map.key.has_value());
    EXPECT_EQ(m.songMapProgress(), 1.0);
    EXPECT_TRUE(m.canExportMap());

    // While another file is read the studio, and so its map, stay as they are; the new song
    // then gets only its own, and a load superseded in flight (and its map) never shows.
    m.load(writeSong(rig.dir, "second.wav", demo::makeDemoSong(8.0)));
    EXPECT_NEAR(m.songMap()->durationSeconds, 12.0, 0.05);
    ASSERT_TRUE(loadAndWait(m, writeSong(rig.dir, "third.wav", demo::makeDemoSong(6.0))));
    ASSERT_TRUE(waitForMap(m));
    ASSERT_TRUE(m.songMap().has_value());
    EXPECT_NEAR(m.songMap()->durationSeconds, 6.0, 0.05);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(std::tuple(seen[0].first, std::lround(seen[0].second), seen[1].first,
                         std::lround(seen[1].second)),
              std::tuple(Phase::ready, 12l, Phase::ready, 6l));

    // Separated again with the other method, the song gets a fresh map of its new stems.
    m.setMethod(dsp::SeparationMethod::refined);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !m.isSeparating(); }, 20000));
    ASSERT_TRUE(waitForMap(m));
    EXPECT_EQ(seen.size(), 3u);

    // The model may go while a map is read.
    m.load(writeSong(rig.dir, "fourth.wav", demo::makeDemoSong(20.0)));
    ASSERT_TRUE(QTest::qWaitFor([&] { return m.phase() == Phase::ready; }, 20000));
    rig.model.reset();
}

TEST(StudioModelSongMap, SilenceGivesAMapWithoutBeatsOrChordsAndAStudioThatPlays) {
    ModelRig rig;
    StudioModel& m = *rig.model;
    dsp::StereoAudio silence;
    silence.l.assign(44100 * 5, 0.0f);
    silence.r = silence.l;
    ASSERT_TRUE(loadAndWait(m, writeSong(rig.dir, "silence.wav", silence)));
    ASSERT_TRUE(waitForMap(m));
    m.play();
    EXPECT_TRUE(m.isPlaying());
    EXPECT_TRUE(m.status().isEmpty());
    if (m.songMap()) {
        EXPECT_FALSE(m.songMap()->steadyBeat || m.songMap()->hasHarmony());
        EXPECT_TRUE(m.songMap()->beats.empty());
        EXPECT_EQ(tempoText(*m.songMap(), {}), "no steady beat");
        EXPECT_EQ(keyText(*m.songMap(), {}), "");
    }
}

TEST(StudioModelSongMap, ExportWritesTheJsonAndLabelFilesTogetherOrNone) {
    ModelRig rig;
    StudioModel& m = *rig.model;
    m.exportMap();  // nothing to write yet: no dialog, nothing written
    EXPECT_TRUE(rig.dialogs.asked.empty());
    ASSERT_TRUE(rig.load(10.0, "My Song.mp3.wav"));
    ASSERT_TRUE(waitForMap(m));
    // What is exported is the grid as corrected, here at twice the tempo found.
    ASSERT_FALSE(m.songMap()->beats.empty());
    GridEdits doubled;
    doubled.tempoPower = 1;
    m.practice().setGridEdits(doubled);
    const analysis::SongMap& shown = m.practice().griddedMap();
    ASSERT_GT(shown.beats.size(), m.songMap()->beats.size());
    std::filesystem::create_directory(rig.dir / "out");
    rig.dialogs.next = rig.path("out");
    m.exportMap();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !m.status().isEmpty(); }, 20000));
    EXPECT_EQ(m.status(), "Exported the map to out.");
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(rig.dir / "out"))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names,
              (std::vector<std::string>{"My Song.mp3 - Beats.csv", "My Song.mp3 - Beats.txt",
                                        "My Song.mp3 - Chords.csv", "My Song.mp3 - Chords.txt",
                                        "My Song.mp3 - Map.json", "My Song.mp3 - Sections.csv",
                                        "My Song.mp3 - Sections.txt"}));
    // The JSON reads back as the map shown.
    const auto read = analysis::fromJson(fileContents(rig.dir / "out" / "My Song.mp3 - Map.json"));
    ASSERT_TRUE(std::holds_alternative<analysis::SongMap>(read));
    const analysis::SongMap& back = std::get<analysis::SongMap>(read);
    EXPECT_EQ(std::tuple(back.beats.size(), back.chords.size(), back.sections.size()),
              std::tuple(shown.beats.size(), shown.chords.size(), shown.sections.size()));
    EXPECT_NEAR(back.tempoBpm, shown.tempoBpm, 0.01);
    EXPECT_EQ(fileContents(rig.dir / "out" / "My Song.mp3 - Chords.txt"),
              analysis::audacityChordLabels(*m.songMap()));

    // A folder that cannot take the files: one line with the cause, and no file at all.
    m.exportMapTo(rig.path("missing/folder"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return m.status() != "Exported the map to out."; }, 20000));
    EXPECT_TRUE(m.status().startsWith("Couldn't export the map: ")) << m.status().toStdString();
    EXPECT_TRUE(m.status().contains("No such file or directory")) << m.status().toStdString();
    EXPECT_FALSE(std::filesystem::exists(rig.dir / "missing"));
}

TEST(MapText, TempoKeyAndChordsAreWhatIsHeard) {
    analysis::SongMap map;
    map.steadyBeat = true;
    map.tempoBpm = 120.0;
    map.key = analysis::Key{9, analysis::Mode::minor};
    const analysis::Chord am{0.0, 2.0, 9, analysis::ChordQuality::minor};
    const analysis::Chord g7{2.0, 4.0, 7, analysis::ChordQuality::dominant7};
    const analysis::Chord none{4.0, 5.0, 0, analysis::ChordQuality::none};
    struct Case {
        playback::Stretch stretch;
        const char* tempo;
        const char* key;
        const char* chords;  // am, g7, none as heard
    };
    const Case cases[] = {
        {{1.0, 0.0}, "120 bpm", "A minor", "Am G7 N.C."},
        {{0.8, 2.0}, "96 bpm (80 %)", "A minor \u2192 B minor (+2)", "Bm A7 N.C."},
        {{1.25, -1.0}, "150 bpm (125 %)", "A minor \u2192 G# minor (-1)", "G#m F#7 N.C."},
        // G# minor is spelled with sharps, F minor with flats.
        {{1.0, -4.0}, "120 bpm", "A minor \u2192 F minor (-4)", "Fm Eb7 N.C."},
        {{1.0, 12.0}, "120 bpm", "A minor \u2192 A minor (+12)", "Am G7 N.C."},
    };
    for (const Case& c : cases) {
        QStringList chords;
        for (const analysis::Chord& chord : {am, g7, none})
            chords << chordText(chord, map.key, c.stretch);
        EXPECT_EQ(std::tuple(tempoText(map, c.stretch), keyText(map, c.stretch), chords.join(' ')),
                  std::tuple(QString(c.tempo), QString::fromUtf8(c.key), QString(c.chords)))
            << c.stretch.tempo << " " << c.stretch.semitones;
    }
    map.steadyBeat = false;
    map.tempoBpm = 0.0;
    map.key.reset();
    EXPECT_EQ(std::tuple(tempoText(map, {0.8, 0.0}), keyText(map, {1.0, 2.0})),
              std::tuple(QString("no steady beat"), QString()));
}
