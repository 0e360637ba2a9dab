// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/CliOptions.h"
#include "dsp/common/StemKind.h"

namespace corvane::cli {

inline constexpr std::string_view kInstrumentalSuffix = "Instrumental";
inline constexpr std::string_view kMapSuffix = "Map";
inline constexpr std::string_view kMapExtension = "json";

// One file a song will write: a stem, the instrumental (no kind), or the song map (`map`).
struct PlannedOutput {
    std::filesystem::path path;
    std::optional<dsp::StemKind> kind;
    bool map = false;
};

// The song's name in outputs: its file name without the last extension ("take.2.flac" gives
// "take.2"); a name whose only dot is its first character is kept whole, and so is one that
// would leave only dots ("...wav"), which as a folder would climb out of the output folder.
std::string trackName(const std::filesystem::path& input);

// The template with {track}, {stem} and {ext} filled in (the template has been checked).
std::string expandTemplate(std::string_view nameTemplate, std::string_view track,
                           std::string_view stem, std::string_view ext);

// Every file `input` will write into `folder` (empty: the current folder), in the order they
// are written: the chosen stems, then the instrumental and the map if asked for. Pure.
std::vector<PlannedOutput> planOutputs(const std::filesystem::path& input,
                                       const std::filesystem::path& folder,
                                       const CliOptions& options);

// A song of the run with the files it will write, and whether it runs.
struct SongPlan {
    enum class Verdict { run, skip, refuse };

    std::filesystem::path input;
    std::vector<PlannedOutput> outputs;
    Verdict verdict = Verdict::run;
    std::string why;  // skip and refuse: one line, for "<input>: <why>"
};

// Plans every song before anything is written; each input's outputs go next to it, or into -o.
// In this order:
//  - with --skip-existing, a song whose outputs all exist is skipped ("skipped, its files exist");
//  - an input that is another song's output in this run (a - Vocals.wav beside a.wav, say, from
//    an earlier run) is skipped and said so: separating it would make stems of stems;
//  - a song is refused when two of its own outputs are one file, when one of them is an input
//    that will be read, or when an earlier song would write the same file ("a/x.mp3 and b/x.mp3
//    would both write out/x - Vocals.wav"); the earlier song keeps its names.
// Paths are compared after making them absolute and resolving the links that exist. Reads the
// file system's names only.
std::vector<SongPlan> planSongs(const std::vector<std::filesystem::path>& inputs,
                                const CliOptions& options);

}  // namespace corvane::cli
