// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "dsp/Separator.h"
#include "model/BeatGrid.h"
#include "model/Markers.h"
#include "model/SpeedTrainer.h"
#include "model/Strip.h"
#include "model/Transport.h"

namespace corvane::model {

// What tells a song file apart without reading it all: its size and a 64-bit FNV-1a hash of its
// first and last MiB, in hex.
struct SongFingerprint {
    std::uint64_t size = 0;
    std::string hash;
    bool operator==(const SongFingerprint&) const = default;
};
// The file's fingerprint, or one line saying why it could not be read. Any thread.
std::variant<SongFingerprint, std::string> fingerprintOf(const std::filesystem::path& song);

// Everything a practice session restores, as saved in a `.corvane` file (JSON, kVersion).
struct Session {
    static constexpr int kVersion = 1;
    std::filesystem::path songPath;
    SongFingerprint fingerprint;
    dsp::SeparationMethod method = dsp::SeparationMethod::standard;
    std::vector<Strip> strips;
    double tempo = 1.0;
    double semitones = 0.0;
    LoopRegion loop;
    std::vector<Marker> markers;
    GridEdits grid;
    float clickVolume = 1.0f;
    bool clickMuted = true;
    int countInBars = 0;
    bool countInEachPass = false;
    bool trainerOn = false;
    SpeedTrainerSettings trainer;
    double zoom = 1.0;
    bool operator==(const Session&) const = default;
};

std::string sessionJson(const Session& session);
// The session in `json`, or one line saying what is wrong with it.
std::variant<Session, std::string> parseSession(const std::string& json);

// Written through audio::writeTextFiles: staged, never half written. The failure's line.
std::optional<std::string> saveSession(const std::filesystem::path& to, const Session& session);
// The session in a file, or one line: "Cannot open session NAME: " and the cause.
std::variant<Session, std::string> readSession(const std::filesystem::path& from);

// Whether the session's song is where it says and unchanged; otherwise the caller asks where it
// went (and checks the answer with the same fingerprint).
enum class SongCheck { same, changed, missing };
SongCheck checkSong(const std::filesystem::path& song, const SongFingerprint& expected);

}  // namespace corvane::model
