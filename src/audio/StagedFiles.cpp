// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/StagedFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <set>
#include <string_view>
#include <utility>

namespace corvane::audio {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kMarker = ".corvane-";
constexpr std::string_view kPartSuffix = ".part";
// Backups of replaced files live only while a set is renamed; one left by a process killed in
// that instant still holds the user's older file, so the sweep never takes it.
constexpr std::string_view kBackupSuffix = ".orig";
constexpr std::size_t kUniqueDigits = 16;
constexpr int kCreateAttempts = 16;

// 16 hex digits no other process will pick: from the kernel's random source, or failing that
// from the process id, the time and a counter.
std::string uniqueDigits() {
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t bits = 0;
    if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        bits = (static_cast<std::uint64_t>(::getpid()) << 40) ^ static_cast<std::uint64_t>(now) ^
               (++counter * 0x9E3779B97F4A7C15ULL);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out(kUniqueDigits, '0');
    for (std::size_t i = 0; i < kUniqueDigits; ++i) out[i] = kHex[(bits >> (4 * i)) & 0xF];
    return out;
}

fs::path folderOf(const fs::path& file) {
    return file.has_parent_path() ? file.parent_path() : fs::path(".");
}

std::size_t nameMaxOf(const fs::path& folder) {
    const long max = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    return max > 0 ? static_cast<std::size_t>(max) : 255;
}

bool isOurTemporary(std::string_view name) {
    if (name.size() < 1 + kMarker.size() + kUniqueDigits + kPartSuffix.size() ||
        name.front() != '.' || !name.ends_with(kPartSuffix))
        return false;
    name.remove_suffix(kPartSuffix.size());
    const std::string_view digits = name.substr(name.size() - kUniqueDigits);
    for (char c : digits)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    name.remove_suffix(kUniqueDigits);
    return name.ends_with(kMarker);
}

// Removes the temporaries in `folder` whose writers died: a live writer holds a lock on its
// file, so a file whose lock can be taken is an orphan. The file is checked to be the one
// locked before it is unlinked. Each folder is swept once per process.
void sweepOrphans(const fs::path& folder) {
    static std::mutex mutex;
    static std::set<std::pair<dev_t, ino_t>> swept;
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    struct stat ds {};
    if (::fstat(dir, &ds) != 0) {
        ::close(dir);
        return;
    }
    {
        const std::lock_guard lock(mutex);
        if (!swept.insert({ds.st_dev, ds.st_ino}).second) {
            ::close(dir);
            return;
        }
    }
    DIR* listing = ::fdopendir(::dup(dir));
    if (!listing) {
        ::close(dir);
        return;
    }
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view name = entry->d_name;
        if (!isOurTemporary(name)) continue;
        const int fd = ::openat(dir, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat held {
        }, now{};
        if (::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) &&
            ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            ::fstatat(dir, entry->d_name, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
            now.st_dev == held.st_dev && now.st_ino == held.st_ino)
            ::unlinkat(dir, entry->d_name, 0);
        ::close(fd);
    }
    ::closedir(listing);
    ::close(dir);
}

// Unlinks `path` only if it is still the file open as `fd`: never a file of that name that
// someone else made since.
void unlinkIfSame(const fs::path& path, int fd) {
    struct stat held {
    }, now{};
    if (fd >= 0 && ::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &now) == 0 &&
        held.st_dev == now.st_dev && held.st_ino == now.st_ino)
        ::unlink(path.c_str());
}

Error namedError(const fs::path& file, int errnoValue) {
    Error e = systemError(errnoValue);
    e.description = file.string() + ": " + e.description;
    return e;
}

}  // namespace

std::string temporaryName(const std::string& finalName, const std::string& unique,
                          std::size_t nameMax, const std::string& suffix) {
    const std::size_t fixed = 1 + kMarker.size() + unique.size() + suffix.size();
    std::size_t keep = finalName.size();
    if (fixed + keep > nameMax) {
        keep = nameMax > fixed ? nameMax - fixed : 0;
        // Never cut a UTF-8 sequence in two: back up over continuation bytes.
        while (keep > 0 && (static_cast<unsigned char>(finalName[keep]) & 0xC0) == 0x80) --keep;
    }
    return "." + finalName.substr(0, keep) + std::string(kMarker) + unique + suffix;
}

StagedFiles::~StagedFiles() { discard(); }

std::size_t StagedFiles::size() const {
    std::size_t n = 0;
    for (const Entry& e : m_entries) n += e.dropped ? 0 : 1;
    return n;
}

Result<StagedFiles::File> StagedFiles::create(const fs::path& finalPath) {
    const fs::path folder = folderOf(finalPath);
    Entry entry;
    entry.final = finalPath;
    struct stat st {};
    if (::lstat(finalPath.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return systemError(EISDIR);
        if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISFIFO(st.st_mode)) {
            entry.inPlace = true;
            entry.fd = ::open(finalPath.c_str(), O_WRONLY | O_CLOEXEC);
            if (entry.fd < 0) return systemError(errno);
            m_entries.push_back(std::move(entry));
            return File{m_entries.size() - 1, m_entries.back().fd};
        }
    }
    sweepOrphans(folder);
    const std::size_t nameMax = nameMaxOf(folder);
    const std::string finalName = finalPath.filename().string();
    int lastError = EEXIST;
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        const fs::path temp = folder / temporaryName(finalName, uniqueDigits(), nameMax);
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            lastError = errno;
            if (lastError == EEXIST) continue;
            return systemError(lastError);
        }
        // Another process's sweep may have found the file before the lock was taken and removed
        // it: then it is no longer linked, and another name is tried.
        struct stat held {};
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd, &held) != 0 || held.st_nlink == 0) {
            ::close(fd);
            lastError = EEXIST;
            continue;
        }
        entry.temp = temp;
        entry.fd = fd;
        m_entries.push_back(std::move(entry));
        return File{m_entries.size() - 1, fd};
    }
    return systemError(lastError);
}

void StagedFiles::release(Entry& e) {
    if (!e.inPlace && !e.temp.empty()) unlinkIfSame(e.temp, e.fd);
    if (e.fd >= 0) ::close(e.fd);
    e.fd = -1;
}

void StagedFiles::drop(std::size_t index) {
    Entry& e = m_entries.at(index);
    if (e.dropped) return;
    release(e);
    e.dropped = true;
}

std::optional<Error> StagedFiles::fault(Step step, std::size_t index) const {
    return m_fault ? m_fault(step, index) : std::nullopt;
}

void StagedFiles::rollBack() {
    for (auto it = m_entries.rbegin(); it != m_entries.rend(); ++it) {
        Entry& e = *it;
        if (e.renamed) {
            // The new file now has the final name; the older one, if any, waits under its backup.
            if (!e.backup.empty())
                ::rename(e.backup.c_str(), e.final.c_str());
            else
                unlinkIfSame(e.final, e.fd);
            e.renamed = false;
        } else if (!e.backup.empty()) {
            ::unlink(e.backup.c_str());
        }
        e.backup.clear();
    }
    discard();
}

std::optional<Error> StagedFiles::commit() {
    // Everything on disk first: a rename must never expose a file whose blocks are still only in
    // memory (a crash would leave a final name pointing at a hole).
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        Entry& e = m_entries[i];
        if (e.dropped) continue;
        std::optional<Error> error = fault(Step::sync, i);
        if (!error && ::fsync(e.fd) != 0 && !(e.inPlace && (errno == EINVAL || errno == EROFS)))
            error = namedError(e.final, errno);
        if (error) {
            discard();
            return error;
        }
    }
    // The one failure foreseeable before the first rename: a folder made at a final name since.
    for (const Entry& e : m_entries) {
        struct stat st {};
        if (!e.dropped && !e.inPlace && ::lstat(e.final.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            Error error = namedError(e.final, EISDIR);
            discard();
            return error;
        }
    }
    std::set<fs::path> folders;
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        Entry& e = m_entries[i];
        if (e.dropped || e.inPlace) continue;
        folders.insert(folderOf(e.final));
        // A hard link keeps the older file reachable until the whole set is in place. A file
        // system without hard links gets no undo for that file.
        struct stat st {};
        if (::lstat(e.final.c_str(), &st) == 0) {
            const fs::path backup =
                folderOf(e.final) / temporaryName(e.final.filename().string(), uniqueDigits(),
                                                  nameMaxOf(folderOf(e.final)),
                                                  std::string(kBackupSuffix));
            if (::link(e.final.c_str(), backup.c_str()) == 0) e.backup = backup;
        }
        std::optional<Error> error = fault(Step::rename, i);
        if (!error && ::rename(e.temp.c_str(), e.final.c_str()) != 0)
            error = namedError(e.final, errno);
        if (!error) {
            e.renamed = true;
            error = fault(Step::renamed, i);
        }
        if (error) {
            rollBack();
            return error;
        }
    }
    // The renames themselves on disk; file systems that cannot sync a folder say so, harmlessly.
    for (const fs::path& folder : folders) {
        const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
    }
    for (Entry& e : m_entries) {
        if (!e.backup.empty()) ::unlink(e.backup.c_str());
        if (e.fd >= 0) ::close(e.fd);
    }
    m_entries.clear();
    return std::nullopt;
}

void StagedFiles::discard() {
    for (Entry& e : m_entries)
        if (!e.dropped) release(e);
    m_entries.clear();
}

}  // namespace corvane::audio
