// SPDX-License-Identifier: GPL-3.0-or-later
// The map's files: JSON that reads back as the same map and that mir_eval accepts, clear errors
// for anything else, and label files in the layouts Audacity and Sonic Visualiser import.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <variant>

#include "TestSupport.h"
#include "analysis/MapFormats.h"

namespace corvane::analysis {
namespace {

SongMap sampleMap() {
    SongMap map;
    map.durationSeconds = 8.0;
    map.steadyBeat = true;
    map.tempoBpm = 120.0;
    map.beatsPerBar = 4;
    // A one-beat pickup, then a full bar.
    map.beats = {{0.5, 1, 4}, {1.0, 2, 1}, {1.5, 2, 2}, {2.0, 2, 3}, {2.5, 2, 4}, {3.0, 3, 1}};
    map.key = Key{9, Mode::minor};
    map.chords = {{0.0, 1.0, 0, ChordQuality::none},
                  {1.0, 3.0, 9, ChordQuality::minor},
                  {3.0, 5.0, 7, ChordQuality::dominant7},
                  {5.0, 8.0, 5, ChordQuality::major}};
    map.sections = {{0.0, 3.0, "A"}, {3.0, 8.0, "B"}};
    return map;
}

SongMap read(const std::string& json) {
    auto result = fromJson(json);
    if (auto* error = std::get_if<MapReadError>(&result)) ADD_FAILURE() << error->description;
    return std::holds_alternative<SongMap>(result) ? std::get<SongMap>(result) : SongMap{};
}

TEST(MapFormats, JsonHoldsTheFieldsAndReadsBackAsTheSameMap) {
    const SongMap map = sampleMap();
    const std::string json = toJson(map);
    for (const char* field : {"\"tempo_bpm\": 120.00", "\"beats_per_bar\": 4",
                              "{\"time\": 0.500, \"bar\": 1, \"beat\": 4}", "\"key\": \"A minor\"",
                              "\"label\": \"A:min\"", "\"label\": \"G:7\"", "\"label\": \"N\"",
                              "{\"start\": 3.000, \"end\": 8.000, \"label\": \"B\"}"})
        EXPECT_NE(json.find(field), std::string::npos) << field << " in\n" << json;

    const SongMap back = read(json);
    EXPECT_TRUE(back.steadyBeat);
    EXPECT_EQ(back.tempoBpm, 120.0);
    EXPECT_EQ(back.beatsPerBar, 4);
    ASSERT_EQ(back.beats.size(), map.beats.size());
    for (std::size_t i = 0; i < map.beats.size(); ++i) {
        EXPECT_NEAR(back.beats[i].time, map.beats[i].time, 5e-4) << "beat " << i;
        EXPECT_EQ(back.beats[i].bar, map.beats[i].bar) << "beat " << i;
        EXPECT_EQ(back.beats[i].beat, map.beats[i].beat) << "beat " << i;
    }
    EXPECT_EQ(back.key, map.key);
    ASSERT_EQ(back.chords.size(), map.chords.size());
    for (std::size_t i = 0; i < map.chords.size(); ++i) {
        EXPECT_EQ(back.chords[i].root, map.chords[i].root) << "chord " << i;
        EXPECT_EQ(back.chords[i].quality, map.chords[i].quality) << "chord " << i;
    }
    ASSERT_EQ(back.sections.size(), 2u);
    EXPECT_EQ(back.sections[1].label, "B");
    EXPECT_DOUBLE_EQ(back.durationSeconds, 8.0);
    EXPECT_EQ(toJson(back), json);
}

TEST(MapFormats, NoBeatAndNoHarmonyAreNullsAndEmptyLists) {
    SongMap map;
    map.durationSeconds = 3.0;
    map.chords = {{0.0, 3.0, 0, ChordQuality::none}};
    map.sections = {{0.0, 3.0, "A"}};
    const std::string json = toJson(map);
    EXPECT_NE(json.find("\"tempo_bpm\": null"), std::string::npos) << json;
    EXPECT_NE(json.find("\"beats_per_bar\": null"), std::string::npos) << json;
    EXPECT_NE(json.find("\"beats\": []"), std::string::npos) << json;
    EXPECT_NE(json.find("\"key\": null"), std::string::npos) << json;
    const SongMap back = read(json);
    EXPECT_FALSE(back.steadyBeat);
    EXPECT_FALSE(back.key);
    EXPECT_FALSE(back.hasHarmony());
    EXPECT_EQ(read(toJson(SongMap{})).chords.size(), 0u);  // an empty song is a valid map too
}

// mir_eval itself (the scorer's reader) parses the JSON, the key and every chord label.
TEST(MapFormats, MirEvalAcceptsTheJson) {
    if (test::runCommand("/usr/bin/python3 -c 'import mir_eval' 2>/dev/null") != 0)
        GTEST_SKIP() << "python3-mir-eval is not installed";
    test::TempDir dir;
    std::ofstream(dir / "map.json") << toJson(sampleMap());
    const std::string script =
        "import json, sys, mir_eval\n"
        "m = json.load(open(sys.argv[1]))\n"
        "mir_eval.key.validate_key(m['key'])\n"
        "for c in m['chords']: mir_eval.chord.encode(c['label'])\n"
        "print(len(m['beats']), len(m['chords']))\n";
    std::ofstream(dir / "check.py") << script;
    std::string out;
    ASSERT_EQ(test::runCommand("/usr/bin/python3 " + (dir / "check.py").string() + " " +
                                   (dir / "map.json").string(),
                               &out),
              0)
        << out;
    EXPECT_EQ(out, "6 4\n");
}

TEST(MapFormats, BadJsonGivesOneLineSayingWhatIsWrong) {
    const std::string good = toJson(sampleMap());
    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string s = good;
        s.replace(s.find(from), from.size(), to);
        return s;
    };
    const struct {
        std::string text;
        const char* expect;
    } cases[] = {
        {"", "unexpected end"},
        {"[1, 2]", "not an object"},
        {good.substr(0, good.size() / 2), "Not a song map"},
        {std::string(100000, '['), "nested too deeply"},
        {good + "x", "text after the end"},
        {replaced("\"beats\": [", "\"beets\": ["), "\"beats\" is missing"},
        {replaced("\"tempo_bpm\": 120.00", "\"tempo_bpm\": \"fast\""), "wrong type"},
        {replaced("\"A minor\"", "\"A lydian\""), "unknown key"},
        {replaced("\"G:7\"", "\"G:sus9\""), "unknown chord label"},
        {replaced("{\"time\": 0.500", "{\"time\": -0.500"), "negative"},
        {replaced("{\"time\": 1.000", "{\"time\": 0.200"), "do not rise"},
        {replaced("\"bar\": 1, \"beat\": 4", "\"bar\": 1, \"beat\": 5"), "exceeds"},
        {replaced("\"bar\": 1,", "\"bar\": 1.5,"), "whole number"},
        {replaced("{\"start\": 3.000, \"end\": 5.000", "{\"start\": 3.000, \"end\": 2.000"),
         "out of order"},
        {replaced("\"tempo_bpm\": 120.00", "\"tempo_bpm\": null"), "both be numbers or both null"},
        {replaced("\"tempo_bpm\": 120.00", "\"tempo_bpm\": 1e999"), "not a JSON value"},
        {replaced("\"label\": \"B\"", "\"label\": \"B\\q\""), "bad escape"},
    };
    for (const auto& c : cases) {
        const auto result = fromJson(c.text);
        const auto* error = std::get_if<MapReadError>(&result);
        ASSERT_NE(error, nullptr) << c.text.substr(0, 200);
        EXPECT_NE(error->description.find(c.expect), std::string::npos)
            << error->description << " (expected: " << c.expect << ")";
        EXPECT_EQ(error->description.find('\n'), std::string::npos) << error->description;
    }
}

TEST(MapFormats, LabelFilesInTheLayoutsTheEditorsImport) {
    SongMap map = sampleMap();
    map.sections[1].label = "B,\tchorus\n";  // an edited label cannot break a line
    EXPECT_EQ(audacityBeatLabels(map).substr(0, 50),
              "0.500000\t0.500000\t4\n1.000000\t1.000000\tBar 2\n1.5000");
    EXPECT_EQ(audacityChordLabels(map),
              "0.000000\t1.000000\tN.C.\n1.000000\t3.000000\tAm\n"
              "3.000000\t5.000000\tG7\n5.000000\t8.000000\tF\n");
    EXPECT_EQ(audacitySectionLabels(map),
              "0.000000\t3.000000\tA\n3.000000\t8.000000\tB  chorus \n");
    EXPECT_EQ(sonicVisualiserChords(map),
              "0.000000,1.000000,N\n1.000000,3.000000,A:min\n"
              "3.000000,5.000000,G:7\n5.000000,8.000000,F:maj\n");
    EXPECT_EQ(sonicVisualiserSections(map), "0.000000,3.000000,A\n3.000000,8.000000,B  chorus \n");
    // Sonic Visualiser takes a column with any non-numeric entry for labels: every beat file has
    // one ("Bar 2") within its first bar.
    const std::string beats = sonicVisualiserBeats(map);
    EXPECT_EQ(beats.substr(0, 32), "0.500000,4\n1.000000,Bar 2\n1.5000");
    std::istringstream lines(beats);
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count)
        EXPECT_EQ(std::count(line.begin(), line.end(), ','), 1) << line;
    EXPECT_EQ(count, 6);
}

}  // namespace
}  // namespace corvane::analysis
