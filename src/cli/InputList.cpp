// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/InputList.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "audio/DisplayText.h"

namespace corvane::cli {

namespace fs = std::filesystem;

namespace {

std::string shown(const fs::path& path) { return audio::escapeControlCharacters(path.string()); }

// The whole of `fd`, or the errno that stopped it; EINTR ends the read when `stop` is set.
std::variant<std::string, int> readAll(int fd, const std::atomic<bool>& stop) {
    std::string text;
    char buffer[65536];
    while (true) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0) {
            return text;
        } else if (errno != EINTR) {
            return errno;
        } else if (stop.load()) {
            return text;
        }
    }
}

}  // namespace

std::variant<std::vector<fs::path>, std::string> splitList(std::string_view text,
                                                           bool nulSeparated,
                                                           const fs::path& listName) {
    if (!nulSeparated && text.find('\0') != std::string_view::npos)
        return "the list " + shown(listName) +
               " holds a NUL byte: for a NUL-separated list (find -print0) add -0";
    std::vector<fs::path> paths;
    const char separator = nulSeparated ? '\0' : '\n';
    while (!text.empty()) {
        const std::size_t end = std::min(text.find(separator), text.size());
        std::string_view entry = text.substr(0, end);
        if (!nulSeparated && entry.ends_with('\r')) entry.remove_suffix(1);
        if (!entry.empty()) paths.emplace_back(std::string(entry));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return paths;
}

std::variant<std::vector<fs::path>, std::string> collectInputs(const CliOptions& options,
                                                               const std::atomic<bool>& stop) {
    std::vector<fs::path> inputs = options.files;
    for (const fs::path& list : options.listFiles) {
        const bool standardInput = list == "-";
        const int fd = standardInput ? STDIN_FILENO : ::open(list.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return "couldn't read the list " + shown(list) + ": " +
                   std::generic_category().message(errno);
        auto read = readAll(fd, stop);
        if (!standardInput) ::close(fd);
        if (stop.load()) return std::vector<fs::path>{};
        if (const int* error = std::get_if<int>(&read))
            return "couldn't read the list " + shown(list) + ": " +
                   std::generic_category().message(*error);
        auto paths = splitList(std::get<std::string>(read), options.nulSeparated, list);
        if (auto* why = std::get_if<std::string>(&paths)) return *why;
        for (fs::path& p : std::get<std::vector<fs::path>>(paths)) inputs.push_back(std::move(p));
    }
    if (inputs.empty()) {
        std::string names;
        for (const fs::path& list : options.listFiles)
            names += (names.empty() ? "" : " and ") + shown(list);
        return (options.listFiles.size() == 1 ? "the list " : "the lists ") + names +
               (options.listFiles.size() == 1 ? " names no file" : " name no file");
    }
    return inputs;
}

}  // namespace corvane::cli
