// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/AudioFileWriter.h"

#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>

#include "audio/AudioWriter.h"
#include "audio/StagedFiles.h"

namespace corvane::audio {

std::optional<Error> writeWav(const std::filesystem::path& to, std::span<const float> l,
                              std::span<const float> r, double sampleRate,
                              const WriteOptions& options) {
    return writeAudio(to, l, r, sampleRate, EncodeSettings{}, options);
}

std::optional<Error> writeAudio(const std::filesystem::path& to, std::span<const float> l,
                                std::span<const float> r, double sampleRate,
                                const EncodeSettings& settings, const WriteOptions& options) {
    assert(r.size() >= l.size());
    if (auto refused = checkEncodable(settings, sampleRate)) return refused;
    StagedFiles staged;
    Result<StagedFiles::File> file = staged.create(to);
    if (!file) return file.error();
    Result<std::unique_ptr<AudioWriter>> opened =
        AudioWriter::open(file.value().fd, sampleRate, settings);
    if (!opened) return opened.error();
    AudioWriter& writer = *opened.value();
    const auto chunk = static_cast<std::size_t>(kChunkFrames);
    for (std::size_t start = 0; start < l.size(); start += chunk) {
        const std::size_t n = std::min(chunk, l.size() - start);
        if (options.onChunk) options.onChunk(static_cast<std::int64_t>(n));
        if (auto error = writer.write(l.subspan(start, n), r.subspan(start, n))) return error;
    }
    if (auto error = writer.close()) return error;
    return staged.commit();
}

std::optional<Error> writeText(int fd, std::string_view text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return systemError(put < 0 ? errno : EIO);
        done += static_cast<std::size_t>(put);
    }
    return std::nullopt;
}

std::optional<Error> writeTextFiles(
    const std::vector<std::pair<std::filesystem::path, std::string>>& files) {
    StagedFiles staged;
    for (const auto& entry : files) {
        // Plain references, not a structured binding: clang 14 (the fuzz build) cannot capture
        // one in a lambda.
        const std::filesystem::path& path = entry.first;
        const std::string& text = entry.second;
        Result<StagedFiles::File> file = staged.create(path);
        auto named = [&](Error e) {
            e.description = path.string() + ": " + e.description;
            return e;
        };
        if (!file) return named(file.error());
        if (auto error = writeText(file.value().fd, text)) return named(*error);
    }
    return staged.commit();
}

std::string wavName(std::string_view fileName, std::string_view suffix) {
    std::string_view stem = fileName;
    std::size_t dot = fileName.rfind('.');
    if (dot != std::string_view::npos && dot > 0) stem = fileName.substr(0, dot);
    std::string out;
    out.reserve(stem.size() + suffix.size() + 7);
    out.append(stem).append(" - ").append(suffix).append(".wav");
    return out;
}

}  // namespace corvane::audio
