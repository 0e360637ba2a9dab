// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/AudioWriter.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <tmmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <cassert>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <system_error>
#include <utility>

namespace corvane::audio {
namespace {

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

Error sndfileError(int code) { return Error{kSndfileDomain, code, sf_error_number(code)}; }

float clipSample(float x) {
    // NaN fails every comparison, so it is caught first; std::clamp would pass it through.
    if (!(x == x)) return 0.0f;
    return std::clamp(x, -1.0f, 1.0f);
}

// Integer WAV samples are packed here and handed to libsndfile as raw bytes: the same bytes its
// own clipping conversion makes (the sample scaled by 2^31, rounded to nearest even, its top 3 or
// 2 bytes kept, +1.0 becoming the largest code), without its per-sample calls. The header stays
// libsndfile's. Other formats go through sf_writef_float.
enum class Packing { none, int24, int16 };

Packing packingOf(AudioFormat format) {
    switch (format) {
        case AudioFormat::wav24:
            return Packing::int24;
        case AudioFormat::wav16:
            return Packing::int16;
        default:
            return Packing::none;
    }
}

// The codes of n frames, interleaved l, r, shifted down to 24 or 16 bits (`shift` 8 or 16):
// NaN as 0, clipped to [-1, 1].
void integerCodes(const float* l, const float* r, std::size_t n, int shift, std::int32_t* out) {
    // The largest float below 2^31: +1.0 scales to 2^31, which has no int32; this one keeps the
    // top bits of the largest code, as libsndfile's clipping does.
    constexpr float kTop = 2147483520.0f;
    constexpr float kScale = 2147483648.0f;
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128 lo = _mm_set1_ps(-1.0f), hi = _mm_set1_ps(1.0f);
    const __m128 scale = _mm_set1_ps(kScale), top = _mm_set1_ps(kTop);
    const __m128i count = _mm_cvtsi32_si128(shift);
    auto codes = [&](__m128 x) {
        x = _mm_and_ps(x, _mm_cmpord_ps(x, x));  // NaN fails the comparison: 0
        x = _mm_min_ps(_mm_max_ps(x, lo), hi);
        // Rounds to nearest even under the default rounding mode, as lrintf does.
        return _mm_sra_epi32(_mm_cvtps_epi32(_mm_min_ps(_mm_mul_ps(x, scale), top)), count);
    };
    for (; i + 4 <= n; i += 4) {
        const __m128 a = _mm_loadu_ps(l + i), b = _mm_loadu_ps(r + i);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), codes(_mm_unpacklo_ps(a, b)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i + 4), codes(_mm_unpackhi_ps(a, b)));
    }
#endif
    for (; i < n; ++i)
        for (int c = 0; c < 2; ++c) {
            const float x = clipSample(c == 0 ? l[i] : r[i]);
            out[2 * i + c] =
                static_cast<std::int32_t>(std::lrint(std::min(x * kScale, kTop))) >> shift;
        }
}

#if defined(__x86_64__) && defined(__GNUC__)
// Four codes' low three bytes gathered into the first twelve of a 16-byte store.
__attribute__((target("ssse3"))) std::size_t packInt24Ssse3(const std::int32_t* codes,
                                                            std::size_t count, unsigned char* out) {
    const __m128i gather = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * i), _mm_shuffle_epi8(v, gather));
    }
    return i;
}
bool hasSsse3() {
    static const bool has = (__builtin_cpu_init(), __builtin_cpu_supports("ssse3"));
    return has;
}
#endif

// Little-endian bytes of `count` codes, `width` (3 or 2) each; out has room for 4 more bytes.
void packCodes(const std::int32_t* codes, std::size_t count, int width, unsigned char* out) {
    std::size_t i = 0;
    if (width == 3) {
#if defined(__x86_64__) && defined(__GNUC__)
        if (hasSsse3()) i = packInt24Ssse3(codes, count, out);
#endif
        // Four bytes stored, three kept: the next code overwrites the fourth.
        for (; i < count; ++i) std::memcpy(out + 3 * i, codes + i, 4);
    } else {
#if defined(__SSE2__)
        // The codes fit 16 bits, so the saturating pack keeps them as they are.
        for (; i + 8 <= count; i += 8) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes + i));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes + i + 4));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), _mm_packs_epi32(a, b));
        }
#endif
        for (; i < count; ++i) {
            const auto v = static_cast<std::int16_t>(codes[i]);
            std::memcpy(out + 2 * i, &v, 2);
        }
    }
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
    Packing packing = Packing::none;
    std::vector<float> interleaved;
    std::vector<std::int32_t> codes;
    std::vector<unsigned char> bytes;

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

Result<std::unique_ptr<AudioWriter>> AudioWriter::open(int fd, double sampleRate,
                                                       const EncodeSettings& settings) {
    try {
        if (auto refused = checkEncodable(settings, sampleRate)) return *refused;
        auto impl = std::make_unique<Impl>();
        impl->sink.fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
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
        impl->packing = packingOf(settings.format);
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
        const auto chunk = static_cast<std::size_t>(kChunkFrames);
        if (m_impl->packing != Packing::none) return writePacked(l, r);
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

std::optional<Error> AudioWriter::writePacked(std::span<const float> l, std::span<const float> r) {
    const std::size_t frames = l.size();
    const auto chunk = static_cast<std::size_t>(kChunkFrames);
    const bool wide = m_impl->packing == Packing::int24;
    const int width = wide ? 3 : 2;
    const std::size_t most = std::min(frames, chunk);
    // The codes go through a cache-sized buffer on their way to the bytes of a whole chunk.
    constexpr std::size_t kCodeFrames = 4096;
    // Kept between calls, so a stream of blocks faults its buffers in once.
    if (m_impl->codes.size() < 2 * kCodeFrames) m_impl->codes.resize(2 * kCodeFrames);
    if (m_impl->bytes.size() < 2 * most * 3 + 4) m_impl->bytes.resize(2 * most * 3 + 4);
    for (std::size_t start = 0; start < frames; start += chunk) {
        const std::size_t n = std::min(chunk, frames - start);
        for (std::size_t at = 0; at < n; at += kCodeFrames) {
            const std::size_t count = std::min(kCodeFrames, n - at);
            integerCodes(l.data() + start + at, r.data() + start + at, count, wide ? 8 : 16,
                         m_impl->codes.data());
            packCodes(m_impl->codes.data(), 2 * count, width,
                      m_impl->bytes.data() + 2 * at * static_cast<std::size_t>(width));
        }
        const auto size = static_cast<sf_count_t>(2 * n * static_cast<std::size_t>(width));
        if (sf_write_raw(m_impl->file, m_impl->bytes.data(), size) != size)
            return m_impl->failure();
        m_frames += static_cast<std::int64_t>(n);
    }
    return std::nullopt;
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
