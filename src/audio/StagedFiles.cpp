// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/StagedFiles.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <system_error>

namespace corvane::audio {

namespace {
std::atomic<unsigned> g_counter{0};  // unique temporary names across threads of one process
}

StagedFiles::~StagedFiles() { discard(); }

std::filesystem::path StagedFiles::stage(const std::filesystem::path& finalPath) {
    const std::string name = "." + finalPath.filename().string() + "." +
                             std::to_string(::getpid()) + "-" + std::to_string(++g_counter) +
                             ".part";
    std::filesystem::path temp = finalPath.parent_path() / name;
    m_entries.push_back({temp, finalPath});
    return temp;
}

std::optional<Error> StagedFiles::commit() {
    // The one failure foreseeable before the first rename: a folder in a file's place. Checked
    // first, so that it cannot leave half a set renamed.
    for (const Entry& e : m_entries) {
        std::error_code ec;
        if (std::filesystem::is_directory(e.final, ec)) {
            Error error{"System", EISDIR, e.final.string() + ": Is a directory"};
            discard();
            return error;
        }
    }
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        std::error_code ec;
        std::filesystem::rename(m_entries[i].temp, m_entries[i].final, ec);
        if (ec) {
            Error error{"System", ec.value(), m_entries[i].final.string() + ": " + ec.message()};
            m_entries.erase(m_entries.begin(), m_entries.begin() + static_cast<std::ptrdiff_t>(i));
            discard();
            return error;
        }
    }
    m_entries.clear();
    return std::nullopt;
}

void StagedFiles::discard() {
    for (const Entry& e : m_entries) ::unlink(e.temp.c_str());  // gone already is fine
    m_entries.clear();
}

}  // namespace corvane::audio
