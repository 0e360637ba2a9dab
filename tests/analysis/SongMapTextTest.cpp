// SPDX-License-Identifier: GPL-3.0-or-later
// Names and labels: every chord and key written is read back as itself, spellings follow the key,
// and the window's "as heard" texts.
#include <gtest/gtest.h>

#include "analysis/SongMap.h"

namespace corvane::analysis {
namespace {

constexpr ChordQuality kQualities[] = {ChordQuality::major, ChordQuality::minor,
                                       ChordQuality::dominant7, ChordQuality::major7,
                                       ChordQuality::minor7};

TEST(SongMapText, EveryChordAndKeyReadsBackAsItselfInEverySpelling) {
    for (const Spelling spelling : {Spelling::sharps, Spelling::flats, Spelling::neutral}) {
        for (int root = 0; root < 12; ++root) {
            for (const ChordQuality q : kQualities) {
                const std::string label = chordLabel(Chord{0, 1, root, q}, spelling);
                const std::optional<ChordName> back = parseChordLabel(label);
                ASSERT_TRUE(back) << label;
                EXPECT_EQ(back->root, root) << label;
                EXPECT_EQ(back->quality, q) << label;
            }
        }
    }
    for (int tonic = 0; tonic < 12; ++tonic)
        for (const Mode mode : {Mode::major, Mode::minor}) {
            const std::string name = keyName(Key{tonic, mode});
            EXPECT_EQ(parseKeyName(name), (Key{tonic, mode})) << name;
        }
    EXPECT_EQ(chordLabel(Chord{}, Spelling::sharps), "N");
    EXPECT_EQ(parseChordLabel("N")->quality, ChordQuality::none);
}

TEST(SongMapText, LabelsAndNamesInTheFormsTheirReadersExpect) {
    EXPECT_EQ(keyName(Key{9, Mode::minor}), "A minor");
    EXPECT_EQ(keyName(Key{0, Mode::major}), "C major");
    EXPECT_EQ(keyName(Key{10, Mode::major}), "Bb major");
    EXPECT_EQ(keyName(Key{6, Mode::minor}), "F# minor");
    EXPECT_EQ(keyName(Key{3, Mode::minor}), "Eb minor");
    EXPECT_EQ(keyName(Key{8, Mode::minor}), "G# minor");
    // Chord roots follow the key: A major's third chord is C#m, Eb major's fourth is Ab.
    const Spelling aMajor = spellingFor(Key{9, Mode::major});
    const Spelling ebMajor = spellingFor(Key{3, Mode::major});
    EXPECT_EQ(chordLabel(Chord{0, 1, 1, ChordQuality::minor}, aMajor), "C#:min");
    EXPECT_EQ(chordLabel(Chord{0, 1, 8, ChordQuality::major}, ebMajor), "Ab:maj");
    EXPECT_EQ(chordLabel(Chord{0, 1, 7, ChordQuality::dominant7}, aMajor), "G:7");
    EXPECT_EQ(chordDisplayName(Chord{0, 1, 9, ChordQuality::minor}, aMajor), "Am");
    EXPECT_EQ(chordDisplayName(Chord{0, 1, 0, ChordQuality::major}, aMajor), "C");
    EXPECT_EQ(chordDisplayName(Chord{0, 1, 7, ChordQuality::dominant7}, aMajor), "G7");
    EXPECT_EQ(chordDisplayName(Chord{0, 1, 9, ChordQuality::minor7}, aMajor), "Am7");
    EXPECT_EQ(chordDisplayName(Chord{}, aMajor), "N.C.");
    EXPECT_EQ(pitchName(6, Spelling::neutral), "F#");
    EXPECT_EQ(pitchName(10, Spelling::neutral), "Bb");
}

TEST(SongMapText, ParsingRefusesWhatMirEvalWouldNot) {
    for (const char* bad : {"", "H:maj", "C:dim", "C:", "Cmaj", "C#:min/", "C:maj/x", "c:maj "})
        EXPECT_FALSE(parseChordLabel(bad)) << bad;
    EXPECT_EQ(parseChordLabel("C:maj/3")->root, 0);  // a bass degree is read and dropped
    EXPECT_EQ(parseChordLabel("Db")->quality, ChordQuality::major);
    EXPECT_EQ(parseChordLabel("Cb:min")->root, 11);
    for (const char* bad : {"", "C", "C  major", "C dorian", "X major", "C major extra"})
        EXPECT_FALSE(parseKeyName(bad)) << bad;
    EXPECT_EQ(parseKeyName("a minor"), (Key{9, Mode::minor}));
}

TEST(SongMapText, TranspositionAndWhatIsHeard) {
    EXPECT_EQ(transposed(Key{9, Mode::minor}, 2), (Key{11, Mode::minor}));
    EXPECT_EQ(transposed(Key{1, Mode::major}, -3), (Key{10, Mode::major}));
    EXPECT_EQ(transposed(Key{5, Mode::major}, 24), (Key{5, Mode::major}));
    const Chord g7 = transposed(Chord{1.0, 2.0, 7, ChordQuality::dominant7}, 5);
    EXPECT_EQ(g7.root, 0);
    EXPECT_EQ(g7.quality, ChordQuality::dominant7);
    EXPECT_EQ(g7.start, 1.0);
    EXPECT_EQ(transposed(Chord{0, 1, 0, ChordQuality::none}, 3).root, 0);  // N stays N

    EXPECT_EQ(keyHeardText(Key{9, Mode::minor}, 0), "A minor");
    EXPECT_EQ(keyHeardText(Key{9, Mode::minor}, 2), "A minor \u2192 B minor (+2)");
    EXPECT_EQ(keyHeardText(Key{0, Mode::major}, -1), "C major \u2192 B major (-1)");
    EXPECT_EQ(tempoHeardText(120.0, 0.8), "96 bpm (80 %)");
    EXPECT_EQ(tempoHeardText(119.6, 1.0), "120 bpm");
    EXPECT_EQ(tempoHeardText(100.0, 1.5), "150 bpm (150 %)");
}

TEST(SongMapText, ChordAtFindsTheChordSoundingThen) {
    SongMap map;
    map.chords = {{0.0, 2.0, 0, ChordQuality::major},
                  {2.0, 4.0, 9, ChordQuality::minor},
                  {4.0, 6.0, 0, ChordQuality::none}};
    EXPECT_EQ(map.chordAt(-0.1), nullptr);
    EXPECT_EQ(map.chordAt(0.0)->root, 0);
    EXPECT_EQ(map.chordAt(1.999)->root, 0);
    EXPECT_EQ(map.chordAt(2.0)->root, 9);
    EXPECT_EQ(map.chordAt(6.0), nullptr);
    EXPECT_TRUE(map.hasHarmony());
    map.chords.erase(map.chords.begin(), map.chords.begin() + 2);
    EXPECT_FALSE(map.hasHarmony());
}

}  // namespace
}  // namespace corvane::analysis
