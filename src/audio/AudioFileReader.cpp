// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/AudioFileReader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace corvane::audio {
namespace {

// About 27 hours at 44.1 kHz: no song is longer, and checking while decoding stops an endless or
// mislabelled stream before it takes all memory.
constexpr std::uint64_t kMaxFrames = 4'294'967'295ULL;

// Per-channel block size while decoding: 1 MiB of floats, small against any song, large enough
// that the block list stays short.
constexpr std::size_t kBlockFrames = std::size_t{1} << 18;

// A demuxer that keeps failing without reaching the end is treated as the end of the data.
constexpr int kMaxConsecutiveReadErrors = 64;

constexpr const char* kSystemDomain = "System";
constexpr const char* kFFmpegDomain = "FFmpeg";

constexpr const char* kNotDecodable = "The file is not audio that FFmpeg can decode.";

struct FormatContextCloser {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecContextFreer {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketFreer {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameFreer {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct SwrFreer {
    void operator()(SwrContext* s) const { swr_free(&s); }
};

using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextCloser>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using SwrPtr = std::unique_ptr<SwrContext, SwrFreer>;

// The system's own wording ("No space left on device"); unlike strerror, safe on any thread.
Error systemError(int errnoValue) {
    return Error{kSystemDomain, errnoValue, std::generic_category().message(errnoValue)};
}

Error ffmpegError(int code, std::string description) {
    return Error{kFFmpegDomain, code, std::move(description)};
}

Error corvaneError(int code, std::string description) {
    return Error{kCorvaneDomain, code, std::move(description)};
}

// The I/O layer keeps errno-based codes (AVERROR(e) is -e); anything else is FFmpeg's own.
Error readError(int averror) {
    if (averror < 0 && -averror < 4096) return systemError(-averror);
    return ffmpegError(averror, kNotDecodable);
}

Error emptyFileError() { return corvaneError(kErrorEmptyFile, "The file is empty."); }

void silenceFFmpegLogOnce() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

// FFmpeg reports failures with texts that depend on which demuxer the extension picked, so the
// system's own reason for an unreadable path is found here first.
std::optional<Error> checkReadable(const std::filesystem::path& path, bool& isEmpty) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return systemError(errno);
    if (S_ISDIR(st.st_mode)) return systemError(EISDIR);
    // Devices and pipes could block or never end; songs are regular files.
    if (!S_ISREG(st.st_mode))
        return Error{kSystemDomain, EINVAL, "The path is not a regular file."};
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return systemError(errno);
    ::close(fd);
    isEmpty = st.st_size == 0;
    return std::nullopt;
}

// Fixed-size, mmap-backed sample storage. Pages are touched only as samples land in them, and
// each block goes straight back to the system when freed (with malloc, glibc's adaptive mmap
// threshold would put later 1 MiB blocks on the heap, where freeing them returns nothing).
class Block {
public:
    Block() {
        void* p =
            ::mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        m_data = static_cast<float*>(p);
    }
    ~Block() { release(); }
    Block(Block&& other) noexcept : m_data(std::exchange(other.m_data, nullptr)) {}
    Block& operator=(Block&&) = delete;
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;

    float* data() { return m_data; }
    const float* data() const { return m_data; }

    void release() {
        if (m_data) ::munmap(m_data, kBytes);
        m_data = nullptr;
    }

private:
    static constexpr std::size_t kBytes = kBlockFrames * sizeof(float);
    float* m_data = nullptr;
};

// One channel decoded so far, as a list of blocks that never move or double.
class BlockChannel {
public:
    void append(const float* src, std::size_t n, std::size_t frameIndex) {
        while (n > 0) {
            std::size_t offset = frameIndex % kBlockFrames;
            if (offset == 0 && frameIndex / kBlockFrames == m_blocks.size())
                m_blocks.emplace_back();
            std::size_t take = std::min(n, kBlockFrames - offset);
            std::memcpy(m_blocks[frameIndex / kBlockFrames].data() + offset, src,
                        take * sizeof(float));
            src += take;
            n -= take;
            frameIndex += take;
        }
    }

    // Moves the samples into `out`, freeing each block once copied, so the peak stays near one
    // copy of the channel.
    void moveTo(std::vector<float>& out, std::size_t frames) {
        out.clear();
        out.reserve(frames);
        for (std::size_t b = 0; b < m_blocks.size() && out.size() < frames; ++b) {
            std::size_t take = std::min(kBlockFrames, frames - out.size());
            out.insert(out.end(), m_blocks[b].data(), m_blocks[b].data() + take);
            m_blocks[b].release();
        }
        m_blocks.clear();
    }

private:
    std::vector<Block> m_blocks;
};

// Converts each decoded frame to planar float with the frame's own layout and rate (no remix, no
// resampling) and keeps channels 0 and 1. A one-channel frame fills both, so a stream that changes
// between mono and stereo part-way (joined MP3s, parametric-stereo AAC) stays aligned.
class Collector {
public:
    Collector() = default;
    ~Collector() { av_channel_layout_uninit(&m_layout); }
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    // Returns an error when conversion cannot be set up or the song grows too long.
    std::optional<Error> add(const AVFrame& frame, const AVChannelLayout& fallbackLayout) {
        if (frame.nb_samples <= 0) return std::nullopt;
        const AVChannelLayout& layout =
            frame.ch_layout.nb_channels > 0 ? frame.ch_layout : fallbackLayout;
        if (layout.nb_channels <= 0 || frame.format < 0 || frame.sample_rate <= 0)
            return unsupported();
        if (auto e = prepare(layout, frame.format, frame.sample_rate)) return e;

        // Checked before any memory is taken for the frame, so an endless stream stops early.
        if (m_frames + static_cast<std::uint64_t>(frame.nb_samples) > kMaxFrames)
            return corvaneError(kErrorTooLong,
                                "The file is too long: more than 4,294,967,295 frames.");

        const std::size_t channels = static_cast<std::size_t>(layout.nb_channels);
        const std::size_t n = static_cast<std::size_t>(frame.nb_samples);
        if (m_scratch.size() < channels * n) m_scratch.resize(channels * n);
        m_planes.resize(channels);
        for (std::size_t c = 0; c < channels; ++c)
            m_planes[c] = reinterpret_cast<std::uint8_t*>(m_scratch.data() + c * n);

        int got =
            swr_convert(m_swr.get(), m_planes.data(), frame.nb_samples,
                        const_cast<const std::uint8_t**>(frame.extended_data), frame.nb_samples);
        if (got < 0) return unsupported();
        const std::size_t count = static_cast<std::size_t>(got);
        m_left.append(m_scratch.data(), count, m_frames);
        m_right.append(m_scratch.data() + (channels > 1 ? n : 0), count, m_frames);
        if (m_firstRate == 0) m_firstRate = frame.sample_rate;
        m_frames += count;
        return std::nullopt;
    }

    std::uint64_t frames() const { return m_frames; }
    int firstRate() const { return m_firstRate; }

    void moveTo(dsp::StereoAudio& out) {
        const std::size_t n = static_cast<std::size_t>(m_frames);
        m_left.moveTo(out.l, n);
        m_right.moveTo(out.r, n);
    }

private:
    static Error unsupported() {
        return corvaneError(kErrorUnsupportedFormat, "Unsupported sample format.");
    }

    // (Re)creates the converter when the decoder changes format, layout or rate mid-stream.
    std::optional<Error> prepare(const AVChannelLayout& layout, int format, int sampleRate) {
        if (m_swr && format == m_format && sampleRate == m_sampleRate &&
            av_channel_layout_compare(&layout, &m_layout) == 0)
            return std::nullopt;
        m_swr.reset();
        av_channel_layout_uninit(&m_layout);
        if (av_channel_layout_copy(&m_layout, &layout) < 0) return unsupported();
        m_format = format;
        m_sampleRate = sampleRate;

        SwrContext* raw = nullptr;
        // FFmpeg 5.1 takes the layouts as non-const; our own copy serves as both.
        int ret = swr_alloc_set_opts2(&raw, &m_layout, AV_SAMPLE_FMT_FLTP, sampleRate, &m_layout,
                                      static_cast<AVSampleFormat>(format), sampleRate, 0, nullptr);
        SwrPtr swr(raw);
        if (ret < 0 || !swr || swr_init(swr.get()) < 0) return unsupported();
        m_swr = std::move(swr);
        return std::nullopt;
    }

    SwrPtr m_swr;
    AVChannelLayout m_layout{};
    int m_format = -1;
    int m_sampleRate = 0;
    int m_firstRate = 0;
    std::vector<float> m_scratch;
    std::vector<std::uint8_t*> m_planes;
    BlockChannel m_left;
    BlockChannel m_right;
    std::uint64_t m_frames = 0;
};

// Receives every frame the decoder has ready; `ended` turns true once it has given its last.
// A frame the decoder rejects is counted and skipped.
std::optional<Error> drain(AVCodecContext& codec, AVFrame& frame, Collector& collector,
                           int& decodeErrors, bool& ended) {
    for (;;) {
        int ret = avcodec_receive_frame(&codec, &frame);
        if (ret == AVERROR(EAGAIN)) return std::nullopt;
        if (ret == AVERROR_EOF) {
            ended = true;
            return std::nullopt;
        }
        if (ret < 0) {
            ++decodeErrors;
            return std::nullopt;
        }
        std::optional<Error> e = collector.add(frame, codec.ch_layout);
        av_frame_unref(&frame);
        if (e) return e;
    }
}

Result<dsp::StereoAudio> decode(const std::filesystem::path& path,
                                const std::atomic<bool>* cancel) {
    bool isEmpty = false;
    if (auto e = checkReadable(path, isEmpty)) return *std::move(e);
    if (isEmpty) return emptyFileError();

    // "file:" keeps a colon in the name from being read as a protocol; the whitelist keeps a
    // playlist-like file from reaching the network.
    const std::string url = "file:" + path.string();
    AVDictionary* openOptions = nullptr;
    av_dict_set(&openOptions, "protocol_whitelist", "file", 0);
    AVFormatContext* rawFormat = nullptr;
    int ret = avformat_open_input(&rawFormat, url.c_str(), nullptr, &openOptions);
    av_dict_free(&openOptions);  // what is left is what the demuxer did not use
    FormatContextPtr format(rawFormat);
    if (ret == AVERROR(ENOMEM)) return systemError(ENOMEM);
    if (ret < 0) return ffmpegError(ret, kNotDecodable);

    ret = avformat_find_stream_info(format.get(), nullptr);
    if (ret == AVERROR(ENOMEM)) return systemError(ENOMEM);
    if (ret < 0) return ffmpegError(ret, kNotDecodable);
    if (format->nb_streams == 0) return ffmpegError(AVERROR_STREAM_NOT_FOUND, kNotDecodable);

    ret = av_find_best_stream(format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (ret < 0) {
        // An audio stream with no channels or rate is skipped by the search: what a demuxer
        // picked by extension makes of garbage. That is undecodable, not silent.
        for (unsigned i = 0; i < format->nb_streams; ++i)
            if (format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
                return ffmpegError(ret, kNotDecodable);
        return ffmpegError(ret, "The file holds no audio stream.");
    }
    const int streamIndex = ret;
    AVStream* stream = format->streams[streamIndex];
    // Only this stream's packets are wanted; the demuxer can skip the rest.
    for (unsigned i = 0; i < format->nb_streams; ++i)
        if (static_cast<int>(i) != streamIndex) format->streams[i]->discard = AVDISCARD_ALL;

    const AVCodecID codecId = stream->codecpar->codec_id;
    const AVCodec* decoder = avcodec_find_decoder(codecId);
    if (!decoder) {
        // FFmpeg names an unidentified codec "none", which reads as if there were no audio.
        const char* name = codecId == AV_CODEC_ID_NONE ? "unknown" : avcodec_get_name(codecId);
        return ffmpegError(AVERROR_DECODER_NOT_FOUND,
                           std::string("No decoder for this file's audio codec (") + name + ").");
    }

    CodecContextPtr codec(avcodec_alloc_context3(decoder));
    if (!codec) return systemError(ENOMEM);
    if (avcodec_parameters_to_context(codec.get(), stream->codecpar) < 0)
        return ffmpegError(AVERROR_INVALIDDATA, kNotDecodable);
    codec->pkt_timebase = stream->time_base;
    ret = avcodec_open2(codec.get(), decoder, nullptr);
    if (ret == AVERROR(ENOMEM)) return systemError(ENOMEM);
    if (ret < 0) return ffmpegError(ret, kNotDecodable);
    const int openedRate = codec->sample_rate;

    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    if (!packet || !frame) return systemError(ENOMEM);

    Collector collector;
    int decodeErrors = 0;
    int consecutiveReadErrors = 0;
    bool ended = false;
    for (;;) {
        if (cancel && cancel->load(std::memory_order_relaxed))
            return corvaneError(kErrorCancelled, "Cancelled.");
        ret = av_read_frame(format.get(), packet.get());
        if (ret == AVERROR_EOF) break;
        if (ret < 0) {
            // A damaged stretch can make the demuxer fail without ending: keep going past it
            // until nothing moves forward any more. A failing disk is not damage to skip.
            if (format->pb && format->pb->error < 0) return readError(format->pb->error);
            if (++consecutiveReadErrors > kMaxConsecutiveReadErrors) break;
            ++decodeErrors;
            continue;
        }
        consecutiveReadErrors = 0;
        if (packet->stream_index != streamIndex) {
            av_packet_unref(packet.get());
            continue;
        }
        ret = avcodec_send_packet(codec.get(), packet.get());
        if (ret == AVERROR(EAGAIN)) {
            // The decoder is full: take what it holds, then offer the packet again.
            if (auto e = drain(*codec, *frame, collector, decodeErrors, ended)) return *e;
            ret = avcodec_send_packet(codec.get(), packet.get());
        }
        av_packet_unref(packet.get());
        if (ret < 0 && ret != AVERROR(EAGAIN)) ++decodeErrors;
        if (auto e = drain(*codec, *frame, collector, decodeErrors, ended)) return *e;
    }

    // The decoder holds back its last frames until told the input has ended.
    if (avcodec_send_packet(codec.get(), nullptr) >= 0) {
        ended = false;
        // Bounded: each pass either yields frames or ends, but a decoder that keeps failing must
        // not keep us here.
        for (int pass = 0; !ended && pass < 1024; ++pass) {
            int before = decodeErrors;
            std::uint64_t had = collector.frames();
            if (auto e = drain(*codec, *frame, collector, decodeErrors, ended)) return *e;
            if (!ended && collector.frames() == had && decodeErrors == before) break;
        }
    }

    if (collector.frames() == 0) {
        if (decodeErrors > 0) return ffmpegError(AVERROR_INVALIDDATA, kNotDecodable);
        return emptyFileError();
    }

    dsp::StereoAudio out;
    out.sampleRate = openedRate > 0 ? openedRate : collector.firstRate();
    // Free FFmpeg's buffers before the final copy so they do not add to the peak.
    packet.reset();
    frame.reset();
    codec.reset();
    format.reset();
    collector.moveTo(out);
    return out;
}

}  // namespace

Result<dsp::StereoAudio> readAudio(const std::filesystem::path& path,
                                   const std::atomic<bool>* cancel) {
    silenceFFmpegLogOnce();
    try {
        return decode(path, cancel);
    } catch (const std::bad_alloc&) {
        return systemError(ENOMEM);
    }
}

}  // namespace corvane::audio
