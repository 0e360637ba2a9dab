// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "audio/Error.h"

namespace corvane::audio {

// A set of files written under temporary names beside their final names and renamed over them
// together, only once every one is complete: a failure, a full disk or an interruption leaves
// neither a truncated file nor half a set, and never removes an older file of a final name.
// Temporary names are hidden (".Song - Vocals.wav.<pid>-<n>.part") in the final folder, so
// the renames stay within one file system. One thread at a time; the destructor removes every
// temporary file not committed.
class StagedFiles {
public:
    StagedFiles() = default;
    ~StagedFiles();
    StagedFiles(const StagedFiles&) = delete;
    StagedFiles& operator=(const StagedFiles&) = delete;

    // The temporary name to write `finalPath`'s contents to; the caller creates the file (it
    // is removed from then on unless committed).
    std::filesystem::path stage(const std::filesystem::path& finalPath);
    // Renames every staged file over its final name, in staging order. On failure, the files
    // not yet renamed are removed and the error names the file that failed.
    std::optional<Error> commit();
    // Removes every staged file now.
    void discard();

private:
    struct Entry {
        std::filesystem::path temp, final;
    };
    std::vector<Entry> m_entries;
};

}  // namespace corvane::audio
