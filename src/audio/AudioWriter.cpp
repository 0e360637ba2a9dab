// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/AudioWriter.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <cerrno>
#include <cmath>
#include <new>
#include <string>
#include <system_error>
#include <utility>

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

// The system's own wording ("No space left on device"); unlike strerror, safe on any thread.
Error systemError(int errnoValue) {
    return Error{kSystemDomain, errnoValue, std::generic_category().message(errnoValue)};
}

Error sndfileError(int code) { return Error{kSndfileDomain, code, sf_error_number(code)}; }

float clipSample(float x) {
    // NaN fails every comparison, so it is caught first; std::clamp would pass it through.
    if (!(x == x)) return 0.0f;
    return std::clamp(x, -1.0f, 1.0f);
}

int sndfileFormat(AudioFormat format) {
    switch (format) {
        case AudioFormat::wav24:
            return SF_FORMAT_WAV | SF_FORMAT_PCM_24;
        case AudioFormat::wav16:
            return SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        case AudioFormat::f32:
            return SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        case AudioFormat::flac:
            return SF_FORMAT_FLAC | SF_FORMAT_PCM_24;
        case AudioFormat::mp3:
            return SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
        case AudioFormat::opus:
            return SF_FORMAT_OGG | SF_FORMAT_OPUS;
    }
    return 0;
}

// The bit rates (kb/s, both channels) each MPEG layer III version allows; libsndfile picks
// the version from the sample rate.
struct Range {
    int lo, hi;
};
std::optional<Range> mp3Bitrates(int rate) {
    constexpr std::array<int, 9> kRates = {8000,  11025, 12000, 16000, 22050,
                                           24000, 32000, 44100, 48000};
    if (std::find(kRates.begin(), kRates.end(), rate) == kRates.end()) return std::nullopt;
    if (rate >= 32000) return Range{32, 320};
    if (rate >= 16000) return Range{8, 160};
    return Range{8, 64};
}
constexpr Range kOpusBitrates{12, 512};  // 6 to 256 kb/s per channel

std::string kHz(double rate) {
    char text[32];
    std::snprintf(text, sizeof text, "%g kHz", rate / 1000.0);
    return text;
}

// libsndfile's compression level (0 best to 1 smallest) that gives `kbps`, inverting its own
// linear maps. A quarter kb/s is added because libsndfile truncates the bit rate it computes.
double compressionFor(AudioFormat format, int kbps, int rate) {
    if (format == AudioFormat::mp3) {
        const Range r = *mp3Bitrates(rate);
        return std::clamp((r.hi - (kbps + 0.25)) / (r.hi - r.lo), 0.0, 1.0);
    }
    // Opus: per channel 6 kb/s + (1 - level) * 250 kb/s.
    return std::clamp(1.0 - (kbps * 500.0 + 250.0 - 6000.0) / 250000.0, 0.0, 1.0);
}

}  // namespace

std::optional<Error> checkEncodable(const EncodeSettings& settings, double sampleRate) {
    const int rate = static_cast<int>(std::lround(sampleRate));
    const int kbps =
        settings.bitrateKbps > 0 ? settings.bitrateKbps : defaultBitrateKbps(settings.format);
    auto refuse = [](std::string text) { return Error{kCorvaneDomain, 0, std::move(text)}; };
    if (settings.format == AudioFormat::opus) {
        if (rate != 8000 && rate != 12000 && rate != 16000 && rate != 24000 && rate != 48000)
            return refuse("Opus files are 8, 12, 16, 24 or 48 kHz only and this song is " +
                          kHz(sampleRate) + "; choose another --format or resample it first.");
        if (kbps < kOpusBitrates.lo || kbps > kOpusBitrates.hi)
            return refuse("Opus takes 12 to 512 kb/s, not " + std::to_string(kbps) + ".");
    }
    if (settings.format == AudioFormat::mp3) {
        const std::optional<Range> r = mp3Bitrates(rate);
        if (!r)
            return refuse("MP3 files are 8 to 48 kHz at the MPEG rates only and this song is " +
                          kHz(sampleRate) + "; choose another --format.");
        // Beyond its range libsndfile would quietly clamp; the user should know instead.
        if (settings.bitrateKbps > 0 && (kbps < r->lo || kbps > r->hi))
            return refuse("MP3 at " + kHz(sampleRate) + " takes " + std::to_string(r->lo) + " to " +
                          std::to_string(r->hi) + " kb/s, not " + std::to_string(kbps) + ".");
    }
    return std::nullopt;
}

struct AudioWriter::Impl {
    FdSink sink;
    SNDFILE* file = nullptr;
    bool clip = true;
    std::vector<float> interleaved;

    ~Impl() {
        if (file) sf_close(file);
        if (sink.fd >= 0) ::close(sink.fd);
    }
    Error failure() const {
        if (sink.firstErrno != 0) return systemError(sink.firstErrno);
        return sndfileError(sf_error(file));
    }
};

AudioWriter::AudioWriter(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
AudioWriter::~AudioWriter() = default;

Result<std::unique_ptr<AudioWriter>> AudioWriter::open(const std::filesystem::path& to,
                                                       double sampleRate,
                                                       const EncodeSettings& settings,
                                                       const Options& options) {
    try {
        if (auto refused = checkEncodable(settings, sampleRate)) return *refused;
        auto impl = std::make_unique<Impl>();
        // Write access only, as before: an existing write-only file can still be replaced.
        const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (options.createNew ? O_EXCL : O_TRUNC);
        impl->sink.fd = ::open(to.c_str(), flags, 0666);
        if (impl->sink.fd < 0) return systemError(errno);

        SF_VIRTUAL_IO io{sinkLength, sinkSeek, sinkRead, sinkWrite, sinkTell};
        SF_INFO info{};
        const int rate = static_cast<int>(std::lround(sampleRate));
        info.samplerate = rate;
        info.channels = 2;
        info.format = sndfileFormat(settings.format);
        // The header goes out while opening, so a full disk can already fail here.
        impl->file = sf_open_virtual(&io, SFM_WRITE, &info, &impl->sink);
        if (!impl->file) {
            if (impl->sink.firstErrno != 0) return systemError(impl->sink.firstErrno);
            return sndfileError(sf_error(nullptr));
        }
        impl->clip = settings.format != AudioFormat::f32;
        // Samples are clipped below already; this keeps libsndfile from wrapping any that slip
        // past.
        if (impl->clip) sf_command(impl->file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
        if (hasBitrate(settings.format)) {
            const int kbps = settings.bitrateKbps > 0 ? settings.bitrateKbps
                                                      : defaultBitrateKbps(settings.format);
            if (settings.format == AudioFormat::mp3) {
                int mode = SF_BITRATE_MODE_CONSTANT;
                sf_command(impl->file, SFC_SET_BITRATE_MODE, &mode, sizeof mode);
            }
            double level = compressionFor(settings.format, kbps, rate);
            if (sf_command(impl->file, SFC_SET_COMPRESSION_LEVEL, &level, sizeof level) != SF_TRUE)
                return Error{kSndfileDomain, 0,
                             "The encoder refused " + std::to_string(kbps) + " kb/s."};
        }
        return std::unique_ptr<AudioWriter>(new AudioWriter(std::move(impl)));
    } catch (const std::bad_alloc&) {
        return systemError(ENOMEM);
    }
}

std::optional<Error> AudioWriter::write(std::span<const float> l, std::span<const float> r) {
    assert(m_impl->file && r.size() >= l.size());
    try {
        const std::size_t frames = l.size();
        const auto chunk = static_cast<std::size_t>(kWriterChunkFrames);
        std::vector<float>& buf = m_impl->interleaved;
        if (buf.size() < 2 * std::min(frames, chunk)) buf.resize(2 * std::min(frames, chunk));
        for (std::size_t start = 0; start < frames; start += chunk) {
            const std::size_t n = std::min(chunk, frames - start);
            if (m_impl->clip) {
                for (std::size_t i = 0; i < n; ++i) {
                    buf[2 * i] = clipSample(l[start + i]);
                    buf[2 * i + 1] = clipSample(r[start + i]);
                }
            } else {
                for (std::size_t i = 0; i < n; ++i) {
                    buf[2 * i] = l[start + i];
                    buf[2 * i + 1] = r[start + i];
                }
            }
            const sf_count_t put =
                sf_writef_float(m_impl->file, buf.data(), static_cast<sf_count_t>(n));
            if (put != static_cast<sf_count_t>(n)) return m_impl->failure();
            m_frames += static_cast<std::int64_t>(n);
        }
        return std::nullopt;
    } catch (const std::bad_alloc&) {
        return systemError(ENOMEM);
    }
}

std::optional<Error> AudioWriter::close() {
    assert(m_impl->file);
    // Closing writes the final header and flushes the encoder; its failure means the file is
    // not complete.
    const int closeCode = sf_close(std::exchange(m_impl->file, nullptr));
    if (m_impl->sink.firstErrno != 0) return systemError(m_impl->sink.firstErrno);
    if (closeCode != 0) return sndfileError(closeCode);
    const int fd = std::exchange(m_impl->sink.fd, -1);
    if (::close(fd) != 0) return systemError(errno);
    return std::nullopt;
}

}  // namespace corvane::audio
