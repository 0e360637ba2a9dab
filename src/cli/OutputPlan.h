// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CliOptions.h"
#include "dsp/common/StemKind.h"

namespace corvane::cli {

inline constexpr std::string_view kInstrumentalSuffix = "Instrumental";

// One file a song will write: a stem, or the instrumental (no kind).
struct PlannedOutput {
    std::filesystem::path path;
    std::optional<dsp::StemKind> kind;
};

// The song's name in outputs: its file name without the last extension ("take.2.flac" gives
// "take.2"); a name whose only dot is its first character is kept whole.
std::string trackName(const std::filesystem::path& input);

// The template with {track}, {stem} and {ext} filled in (the template has been checked).
std::string expandTemplate(std::string_view nameTemplate, std::string_view track,
                           std::string_view stem, std::string_view ext);

// Every file `input` will write into `folder` (empty: the current folder), in the order they
// are written: the chosen stems, then the instrumental if asked for. Pure.
std::vector<PlannedOutput> planOutputs(const std::filesystem::path& input,
                                       const std::filesystem::path& folder,
                                       const CliOptions& options);

// A song of the run with the files it will write, or why it must not run at all.
struct SongPlan {
    std::filesystem::path input;
    std::vector<PlannedOutput> outputs;
    std::optional<std::string> refusal;  // one line, for "<input>: <refusal>"
};

// Plans every song before anything is written: each input's outputs go next to it, or into
// -o. A song is refused when one of its outputs is one of the run's inputs, or when an earlier
// song would write the same file ("a/x.mp3 and b/x.mp3 would both write out/x - Vocals.wav");
// the earlier song keeps its names. Paths are compared after making them absolute and resolving
// the links that exist. Reads the file system's names only.
std::vector<SongPlan> planSongs(const std::vector<std::filesystem::path>& inputs,
                                const CliOptions& options);

// The paths of a --from list: one a line (a trailing CR dropped), or NUL-separated; empty
// entries are skipped.
std::vector<std::filesystem::path> splitList(std::string_view text, bool nulSeparated);

}  // namespace corvane::cli
