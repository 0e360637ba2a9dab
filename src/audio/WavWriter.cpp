// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/WavWriter.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cmath>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace corvane::audio {
namespace {

constexpr const char* kSystemDomain = "System";
constexpr const char* kSndfileDomain = "libsndfile";

// The file descriptor libsndfile writes through. It remembers the first errno a call hit, so a
// failed write is reported as the system put it ("No space left on device") rather than as
// libsndfile's generic text.
struct FdSink {
    int fd = -1;
    int firstErrno = 0;

    void record(int e) {
        if (firstErrno == 0) firstErrno = e;
    }
};

sf_count_t sinkLength(void* user) {
    auto* sink = static_cast<FdSink*>(user);
    struct stat st {};
    if (::fstat(sink->fd, &st) != 0) {
        sink->record(errno);
        return -1;
    }
    return st.st_size;
}

sf_count_t sinkSeek(sf_count_t offset, int whence, void* user) {
    auto* sink = static_cast<FdSink*>(user);
    off_t pos = ::lseek(sink->fd, static_cast<off_t>(offset), whence);
    if (pos < 0) sink->record(errno);
    return pos;
}

sf_count_t sinkRead(void* ptr, sf_count_t count, void* user) {
    auto* sink = static_cast<FdSink*>(user);
    auto* out = static_cast<char*>(ptr);
    sf_count_t done = 0;
    while (done < count) {
        ssize_t got = ::read(sink->fd, out + done, static_cast<std::size_t>(count - done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) sink->record(errno);
        if (got <= 0) break;
        done += got;
    }
    return done;
}

sf_count_t sinkWrite(const void* ptr, sf_count_t count, void* user) {
    auto* sink = static_cast<FdSink*>(user);
    const auto* in = static_cast<const char*>(ptr);
    sf_count_t done = 0;
    while (done < count) {
        ssize_t put = ::write(sink->fd, in + done, static_cast<std::size_t>(count - done));
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) {
            sink->record(errno);
            break;
        }
        if (put == 0) {
            sink->record(EIO);
            break;
        }
        done += put;
    }
    return done;
}

sf_count_t sinkTell(void* user) {
    auto* sink = static_cast<FdSink*>(user);
    off_t pos = ::lseek(sink->fd, 0, SEEK_CUR);
    if (pos < 0) sink->record(errno);
    return pos;
}

struct FdCloser {
    void operator()(FdSink* sink) const {
        if (sink->fd >= 0) ::close(sink->fd);
    }
};

struct SndfileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};

// The system's own wording ("No space left on device"); unlike strerror, safe on any thread.
Error systemError(int errnoValue) {
    return Error{kSystemDomain, errnoValue, std::generic_category().message(errnoValue)};
}

// The recorded errno when there is one; libsndfile's own text otherwise.
Error failure(const FdSink& sink, SNDFILE* file) {
    if (sink.firstErrno != 0) return systemError(sink.firstErrno);
    int code = sf_error(file);
    return Error{kSndfileDomain, code, sf_error_number(code)};
}

float clipSample(float x) {
    // NaN fails every comparison, so it is caught first; std::clamp would pass it through.
    if (!(x == x)) return 0.0f;
    return std::clamp(x, -1.0f, 1.0f);
}

std::optional<Error> write(const std::filesystem::path& to, std::span<const float> l,
                           std::span<const float> r, double sampleRate,
                           const WavWriteOptions& options) {
    FdSink sink;
    sink.fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (sink.fd < 0) return systemError(errno);
    std::unique_ptr<FdSink, FdCloser> fdGuard(&sink);

    SF_VIRTUAL_IO io{sinkLength, sinkSeek, sinkRead, sinkWrite, sinkTell};
    SF_INFO info{};
    info.samplerate = static_cast<int>(std::lround(sampleRate));
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    // The header goes out while opening, so a full disk can already fail here.
    std::unique_ptr<SNDFILE, SndfileCloser> file(sf_open_virtual(&io, SFM_WRITE, &info, &sink));
    if (!file) return failure(sink, nullptr);
    // Samples are clipped below already; this keeps libsndfile from wrapping any that slip past.
    sf_command(file.get(), SFC_SET_CLIPPING, nullptr, SF_TRUE);

    const std::size_t frames = l.size();
    const std::size_t chunk = static_cast<std::size_t>(kWavChunkFrames);
    std::vector<float> interleaved(2 * std::min(frames, chunk));
    for (std::size_t start = 0; start < frames; start += chunk) {
        const std::size_t n = std::min(chunk, frames - start);
        for (std::size_t i = 0; i < n; ++i) {
            interleaved[2 * i] = clipSample(l[start + i]);
            interleaved[2 * i + 1] = clipSample(r[start + i]);
        }
        if (options.onChunk) options.onChunk(static_cast<std::int64_t>(n));
        sf_count_t put =
            sf_writef_float(file.get(), interleaved.data(), static_cast<sf_count_t>(n));
        if (put != static_cast<sf_count_t>(n)) return failure(sink, file.get());
    }

    // Closing writes the final header; its failure means the file is not complete.
    int closeCode = sf_close(file.release());
    if (sink.firstErrno != 0) return systemError(sink.firstErrno);
    if (closeCode != 0) return Error{kSndfileDomain, closeCode, sf_error_number(closeCode)};
    int fd = std::exchange(sink.fd, -1);
    if (::close(fd) != 0) return systemError(errno);
    return std::nullopt;
}

}  // namespace

std::optional<Error> writeWav(const std::filesystem::path& to, std::span<const float> l,
                              std::span<const float> r, double sampleRate,
                              const WavWriteOptions& options) {
    assert(r.size() >= l.size());
    try {
        return write(to, l, r, sampleRate, options);
    } catch (const std::bad_alloc&) {
        return systemError(ENOMEM);
    }
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
