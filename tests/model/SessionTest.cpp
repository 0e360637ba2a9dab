// SPDX-License-Identifier: GPL-3.0-or-later
// Sessions: saved and read back equal, damaged files one clear line, a changed or moved song
// found out by its fingerprint.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <fstream>

#include "model/Session.h"

using namespace corvane;
using namespace corvane::model;

namespace {

void writeBytes(const std::filesystem::path& p, std::size_t size, char fill, std::size_t at = 0,
                char other = 0) {
    std::string bytes(size, fill);
    if (at < size) bytes[at] = other;
    std::ofstream(p, std::ios::binary) << bytes;
}

}  // namespace

TEST(Session, SavedAndReadBackEqualAndDamagedFilesSayWhyInOneLine) {
    QTemporaryDir dir;
    const std::filesystem::path base = dir.path().toStdString();
    Session s;
    s.songPath = base / "Song ü.flac";
    s.fingerprint = {3 * (1 << 20) + 5, "00ff00ff00ff00ff"};
    s.method = dsp::SeparationMethod::refined;
    s.strips = {{dsp::StemKind::vocals, 0.0f, false, true},
                {dsp::StemKind::drums, 1.25f, true, false}};
    s.tempo = 0.7;
    s.semitones = -2;
    s.loop = {16.5, 24.25, true};
    s.markers = {{3.0, "Intro \"A\"", true}, {9.5, "hard bit", false}};
    s.grid = {96.5, -1, 0.012, 1.75};
    s.clickVolume = 0.6f;
    s.clickMuted = false;
    s.countInBars = 2;
    s.countInEachPass = true;
    s.trainerOn = true;
    s.trainer = {60, 5, 2, 100, true};
    s.zoom = 4.5;
    ASSERT_FALSE(saveSession(base / "practice.corvane", s).has_value());
    const auto back = readSession(base / "practice.corvane");
    ASSERT_TRUE(std::holds_alternative<Session>(back)) << std::get<std::string>(back);
    EXPECT_EQ(std::get<Session>(back), s);
    // A file from before a setting existed opens with the setting off.
    const auto older = parseSession(
        R"({"version": 1, "song": {"path": "/a.wav", "size": "1"}, "click": {"countInBars": 1}})");
    ASSERT_TRUE(std::holds_alternative<Session>(older));
    EXPECT_EQ(std::get<Session>(older).countInBars, 1);
    EXPECT_FALSE(std::get<Session>(older).countInEachPass);

    const std::pair<std::string, std::string> damaged[] = {
        {"", "Cannot open session bad.corvane: not a session file"},
        {"{\"version\": 1, \"song\": {\"path\": \"/a.wav\", \"size\": \"1\"",
         "Cannot open session bad.corvane: not a session file"},
        {"[1, 2]", "Cannot open session bad.corvane: not a session file"},
        {"{\"version\": 99}", "Cannot open session bad.corvane: made by a newer Corvane"},
        {"{\"version\": 1, \"song\": {}}", "Cannot open session bad.corvane: it names no song"},
    };
    for (const auto& [text, line] : damaged) {
        SCOPED_TRACE(text);
        std::ofstream(base / "bad.corvane") << text;
        const auto got = readSession(base / "bad.corvane");
        ASSERT_TRUE(std::holds_alternative<std::string>(got));
        const std::string& why = std::get<std::string>(got);
        EXPECT_EQ(why.substr(0, line.size()), line);
        EXPECT_EQ(why.find('\n'), std::string::npos);
    }
    EXPECT_EQ(std::get<std::string>(readSession(base / "none.corvane")),
              "Cannot open session none.corvane: No such file or directory");
    EXPECT_EQ(std::get<std::string>(readSession(base)).find("it is a folder") != std::string::npos,
              true);
    // A save that cannot be written says so.
    EXPECT_TRUE(saveSession(base / "missing" / "x.corvane", s).has_value());
}

TEST(Session, TheFingerprintFindsAChangedOrMovedSong) {
    QTemporaryDir dir;
    const std::filesystem::path base = dir.path().toStdString();
    const std::size_t size = 3 * (1 << 20);
    writeBytes(base / "song.wav", size, 'a');
    const SongFingerprint print = std::get<SongFingerprint>(fingerprintOf(base / "song.wav"));
    EXPECT_EQ(print.size, size);
    EXPECT_EQ(checkSong(base / "song.wav", print), SongCheck::same);
    // A change in the last MiB or the first is found; one in the middle is beyond what is read.
    writeBytes(base / "song.wav", size, 'a', size - 10, 'b');
    EXPECT_EQ(checkSong(base / "song.wav", print), SongCheck::changed);
    writeBytes(base / "song.wav", size, 'a', 0, 'b');
    EXPECT_EQ(checkSong(base / "song.wav", print), SongCheck::changed);
    writeBytes(base / "song.wav", size + 1, 'a');
    EXPECT_EQ(checkSong(base / "song.wav", print), SongCheck::changed);
    // Moved: missing where it was, the same where the person says it went.
    writeBytes(base / "moved.wav", size, 'a');
    std::filesystem::remove(base / "song.wav");
    EXPECT_EQ(checkSong(base / "song.wav", print), SongCheck::missing);
    EXPECT_EQ(checkSong(base / "moved.wav", print), SongCheck::same);
    // Small files are hashed whole.
    writeBytes(base / "tiny.wav", 10, 'a');
    writeBytes(base / "tiny2.wav", 10, 'a', 5, 'c');
    EXPECT_NE(std::get<SongFingerprint>(fingerprintOf(base / "tiny.wav")),
              std::get<SongFingerprint>(fingerprintOf(base / "tiny2.wav")));
}
