// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "audio/Error.h"

namespace corvane::audio {

// The one way files are written: a set of files written under temporary names beside their final
// names, flushed to disk, and renamed over them together only once every one is complete. A
// failure, a full disk, a cancel, a signal or a kill leaves every file that was there before as
// it was, and never half a set: a failure between two renames puts back what the earlier renames
// replaced.
//
// Temporary names are hidden siblings (".Song - Vocals.wav.corvane-<16 hex>.part", the song's
// name shortened so the whole fits the folder's name limit) created exclusively and locked
// (flock) for as long as they are written. A process that died leaves its temporaries unlocked:
// the next set that writes into that folder removes them; a locked one belongs to a live writer
// and is never touched. Nothing is ever deleted or replaced that this set did not create, except
// a final name replaced as a whole by its new file. A final name that is a symbolic link is
// replaced by the file (the link's target is never written); one that is a device or a pipe is
// written in place, as nothing can be renamed over it.
//
// One thread at a time; the destructor discards whatever was not committed.
class StagedFiles {
public:
    // A file of the set: write through `fd` (owned by the set, open until commit or discard).
    struct File {
        std::size_t index = 0;
        int fd = -1;
    };

    // Steps of commit() a test can make fail, for one file at a time.
    enum class Step { sync, rename, renamed };
    using FaultForTesting = std::function<std::optional<Error>(Step, std::size_t index)>;

    StagedFiles() = default;
    ~StagedFiles();
    StagedFiles(const StagedFiles&) = delete;
    StagedFiles& operator=(const StagedFiles&) = delete;

    // Creates the temporary file that will become `finalPath`. Fails with the system's reason (a
    // missing or read-only folder, a folder at the final name), which does not name the file.
    Result<File> create(const std::filesystem::path& finalPath);
    // Removes file `index`'s temporary now (its write failed); the rest of the set goes on.
    void drop(std::size_t index);
    // Flushes every file to disk and renames each over its final name, in creation order. On
    // failure nothing of the set is left: renames already done are undone, the temporaries are
    // removed, and the error names the file that failed.
    std::optional<Error> commit();
    // Removes every temporary file now.
    void discard();
    // Files created and not dropped.
    std::size_t size() const;

    void injectFaultsForTesting(FaultForTesting fault) { m_fault = std::move(fault); }

private:
    struct Entry {
        std::filesystem::path temp, final, backup;
        int fd = -1;
        bool inPlace = false;  // a device or pipe, written directly
        bool dropped = false;
        bool renamed = false;
    };
    std::optional<Error> fault(Step step, std::size_t index) const;
    void rollBack();
    void release(Entry& e);

    std::vector<Entry> m_entries;
    FaultForTesting m_fault;
};

// The hidden temporary name StagedFiles uses for `finalName` in a folder whose names may be
// `nameMax` bytes long, with `unique` (16 hex digits) and `suffix` (".part") at its end.
std::string temporaryName(const std::string& finalName, const std::string& unique,
                          std::size_t nameMax, const std::string& suffix = ".part");

}  // namespace corvane::audio
