// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/AudioDecoder.h"

#include "audio/RiffLength.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

namespace corvane::audio {
namespace {

// About 27 hours at 44.1 kHz: no song is longer, and checking while decoding stops an endless or
// mislabelled stream before it takes all memory.
constexpr std::int64_t kMaxFrames = 4'294'967'295LL;

// A demuxer that keeps failing without reaching the end is treated as the end of the data.
constexpr int kMaxConsecutiveReadErrors = 64;

// A stated length is "well" missed when more than this is missing: encoder padding (AAC keeps a
// few hundred frames) and a skipped corrupt packet are not a cut-off file.
constexpr double kEarlyEndSeconds = 0.5;
constexpr double kEarlyEndFraction = 0.01;

constexpr const char* kNotDecodable = "The file is not audio that FFmpeg can decode.";

// One owner per FFmpeg object, each freed by its library's own function (which takes T**).
template <class T, auto Free>
struct Freer {
    void operator()(T* p) const { Free(&p); }
};
using FormatContextPtr =
    std::unique_ptr<AVFormatContext, Freer<AVFormatContext, avformat_close_input>>;
using CodecContextPtr =
    std::unique_ptr<AVCodecContext, Freer<AVCodecContext, avcodec_free_context>>;
using PacketPtr = std::unique_ptr<AVPacket, Freer<AVPacket, av_packet_free>>;
using FramePtr = std::unique_ptr<AVFrame, Freer<AVFrame, av_frame_free>>;
using SwrPtr = std::unique_ptr<SwrContext, Freer<SwrContext, swr_free>>;

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

Error unsupportedFormat() {
    return corvaneError(kErrorUnsupportedFormat, "Unsupported sample format.");
}

std::optional<Error> checkRate(std::int64_t hz) {
    if (hz >= kMinSampleRate && hz <= kMaxSampleRate) return std::nullopt;
    return corvaneError(kErrorUnsupportedRate,
                        "Unsupported sample rate (" + std::to_string(hz) + " Hz).");
}

void silenceFFmpegLogOnce() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

// FFmpeg reports failures with texts that depend on which demuxer the extension picked, so the
// system's own reason for an unreadable path is found here first.
std::optional<Error> checkReadable(const std::filesystem::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return systemError(errno);
    if (S_ISDIR(st.st_mode)) return systemError(EISDIR);
    // Devices and pipes could block or never end; songs are regular files.
    if (!S_ISREG(st.st_mode))
        return Error{kSystemDomain, EINVAL, "The path is not a regular file."};
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return systemError(errno);
    ::close(fd);
    if (st.st_size == 0) return emptyFileError();
    return std::nullopt;
}

// Turns each decoded frame into stereo planar float at the output rate. Stereo passes through
// untouched (the conversion is exact), mono fills both channels, and more channels go through
// libswresample's downmix matrix. The converter is made anew when the decoder changes format,
// layout or rate mid-stream, after what the old one still holds has been taken out.
class Converter {
public:
    Converter() = default;
    ~Converter() { av_channel_layout_uninit(&m_inLayout); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    void setOutputRate(int hz) { m_outRate = hz; }

    // Appends the frame's samples, converted, to l and r.
    std::optional<Error> add(const AVFrame& frame, const AVChannelLayout& fallbackLayout,
                             std::vector<float>& l, std::vector<float>& r) {
        if (frame.nb_samples <= 0) return std::nullopt;
        const AVChannelLayout& layout =
            frame.ch_layout.nb_channels > 0 ? frame.ch_layout : fallbackLayout;
        if (layout.nb_channels <= 0 || frame.format < 0) return unsupportedFormat();
        if (auto e = checkRate(frame.sample_rate)) return e;
        if (auto e = prepare(layout, frame.format, frame.sample_rate, l, r)) return e;
        return convert(const_cast<const std::uint8_t**>(frame.extended_data), frame.nb_samples, l,
                       r);
    }

    // What a resampler still holds at the end of the stream.
    std::optional<Error> flush(std::vector<float>& l, std::vector<float>& r) {
        if (!m_swr || m_inRate == m_outRate) return std::nullopt;
        return convert(nullptr, 0, l, r);
    }

private:
    std::optional<Error> prepare(const AVChannelLayout& layout, int format, int rate,
                                 std::vector<float>& l, std::vector<float>& r) {
        if (m_swr && format == m_format && rate == m_inRate &&
            av_channel_layout_compare(&layout, &m_inLayout) == 0)
            return std::nullopt;
        if (auto e = flush(l, r)) return e;
        m_swr.reset();
        av_channel_layout_uninit(&m_inLayout);
        // A layout without named channels has no downmix matrix: take the usual one for its count.
        const int channels = layout.nb_channels;
        if (channels > 2 && layout.order == AV_CHANNEL_ORDER_UNSPEC)
            av_channel_layout_default(&m_inLayout, channels);
        else if (av_channel_layout_copy(&m_inLayout, &layout) < 0)
            return unsupportedFormat();
        m_format = format;
        m_inRate = rate;

        // One or two channels keep their own layout, so nothing is remixed: mono is copied to
        // the right afterwards and stereo stays bit for bit what the decoder gave.
        AVChannelLayout outLayout{};
        if (channels > 2)
            outLayout = AV_CHANNEL_LAYOUT_STEREO;
        else if (av_channel_layout_copy(&outLayout, &m_inLayout) < 0)
            return unsupportedFormat();
        m_outChannels = outLayout.nb_channels;
        SwrContext* raw = nullptr;
        int ret = swr_alloc_set_opts2(&raw, &outLayout, AV_SAMPLE_FMT_FLTP, m_outRate, &m_inLayout,
                                      static_cast<AVSampleFormat>(format), rate, 0, nullptr);
        av_channel_layout_uninit(&outLayout);
        SwrPtr swr(raw);
        if (ret < 0 || !swr || swr_init(swr.get()) < 0) return unsupportedFormat();
        m_swr = std::move(swr);
        return std::nullopt;
    }

    std::optional<Error> convert(const std::uint8_t** in, int count, std::vector<float>& l,
                                 std::vector<float>& r) {
        const int room = swr_get_out_samples(m_swr.get(), count);
        if (room < 0) return unsupportedFormat();
        if (room == 0) return std::nullopt;
        const auto n = static_cast<std::size_t>(room);
        const std::size_t channels = static_cast<std::size_t>(m_outChannels);
        if (m_scratch.size() < channels * n) m_scratch.resize(channels * n);
        std::uint8_t* planes[2] = {reinterpret_cast<std::uint8_t*>(m_scratch.data()),
                                   reinterpret_cast<std::uint8_t*>(m_scratch.data() + n)};
        const int got = swr_convert(m_swr.get(), planes, room, in, count);
        if (got < 0) return unsupportedFormat();
        const float* left = m_scratch.data();
        const float* right = channels > 1 ? m_scratch.data() + n : left;
        l.insert(l.end(), left, left + got);
        r.insert(r.end(), right, right + got);
        return std::nullopt;
    }

    SwrPtr m_swr;
    AVChannelLayout m_inLayout{};
    int m_format = -1;
    int m_inRate = 0;
    int m_outRate = 0;
    int m_outChannels = 0;
    std::vector<float> m_scratch;
};

}  // namespace

struct AudioDecoder::Impl {
    FormatContextPtr format;
    CodecContextPtr codec;
    PacketPtr packet;
    FramePtr frame;
    int streamIndex = -1;
    const std::atomic<bool>* cancel = nullptr;
    std::optional<RiffLength> riff;  // a WAV's stated length

    Converter converter;
    int outRate = 0;
    // Decoded but not yet delivered: one packet's worth, or what read() did not ask for.
    std::vector<float> pendingL, pendingR;

    ReadNotes notes;
    int decodeErrors = 0;
    int consecutiveReadErrors = 0;
    bool inputEnded = false;   // the demuxer has nothing more; the decoder has been told
    bool decoderDone = false;  // the decoder has given its last frame
    int drainPasses = 0;

    std::size_t pending() const { return pendingL.size(); }

    bool cancelled() const { return cancel && cancel->load(std::memory_order_relaxed); }

    // Receives every frame the decoder has ready. A frame the decoder rejects is counted and
    // skipped.
    std::optional<Error> drain() {
        for (;;) {
            int ret = avcodec_receive_frame(codec.get(), frame.get());
            if (ret == AVERROR(EAGAIN)) return std::nullopt;
            if (ret == AVERROR_EOF) {
                decoderDone = true;
                return std::nullopt;
            }
            if (ret < 0) {
                ++decodeErrors;
                return std::nullopt;
            }
            if (outRate == 0) {
                if (auto e = checkRate(frame->sample_rate)) return e;
                outRate = frame->sample_rate;
                converter.setOutputRate(outRate);
            }
            std::optional<Error> e = converter.add(*frame, codec->ch_layout, pendingL, pendingR);
            av_frame_unref(frame.get());
            if (e) return e;
        }
    }

    // Feeds the decoder one packet (or, at the end of the input, the flush), then takes what it
    // gives. Returns false once nothing more will come.
    Result<bool> step() {
        if (decoderDone) return false;
        if (cancelled()) return corvaneError(kErrorCancelled, "Cancelled.");
        if (inputEnded) {
            // Bounded: each pass either yields frames or ends, but a decoder that keeps failing
            // must not keep us here.
            const std::size_t had = pendingL.size();
            const int errorsBefore = decodeErrors;
            if (auto e = drain()) return *e;
            if (decoderDone || ++drainPasses >= 1024 ||
                (pendingL.size() == had && decodeErrors == errorsBefore)) {
                decoderDone = true;
                if (auto e = converter.flush(pendingL, pendingR)) return *e;
            }
            return true;
        }
        int ret = av_read_frame(format.get(), packet.get());
        if (ret == AVERROR_EOF) return endInput();
        if (ret < 0) {
            // A damaged stretch can make the demuxer fail without ending: keep going past it
            // until nothing moves forward any more. A failing disk is not damage to skip.
            if (format->pb && format->pb->error < 0) return readError(format->pb->error);
            if (++consecutiveReadErrors > kMaxConsecutiveReadErrors) return endInput();
            ++decodeErrors;
            return true;
        }
        consecutiveReadErrors = 0;
        if (packet->stream_index != streamIndex) {
            av_packet_unref(packet.get());
            return true;
        }
        ret = avcodec_send_packet(codec.get(), packet.get());
        if (ret == AVERROR(EAGAIN)) {
            // The decoder is full: take what it holds, then offer the packet again.
            if (auto e = drain()) return *e;
            ret = avcodec_send_packet(codec.get(), packet.get());
        }
        av_packet_unref(packet.get());
        if (ret < 0 && ret != AVERROR(EAGAIN)) ++decodeErrors;
        if (auto e = drain()) return *e;
        return true;
    }

    // The decoder holds back its last frames until told the input has ended.
    Result<bool> endInput() {
        inputEnded = true;
        if (avcodec_send_packet(codec.get(), nullptr) < 0) {
            decoderDone = true;
            if (auto e = converter.flush(pendingL, pendingR)) return *e;
        }
        return true;
    }

    // The container's own length, when it states one; a length guessed from the bit rate says
    // nothing about where the file should end.
    std::int64_t declaredFrames() const {
        if (riff && outRate > 0) return av_rescale(riff->frames, outRate, riff->sampleRate);
        if (format->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE || outRate <= 0)
            return 0;
        const AVStream* stream = format->streams[streamIndex];
        if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0)
            return av_rescale_q(stream->duration, stream->time_base, AVRational{1, outRate});
        if (format->duration != AV_NOPTS_VALUE && format->duration > 0)
            return av_rescale(format->duration, outRate, AV_TIME_BASE);
        return 0;
    }

    void finishNotes() {
        notes.declaredFrames = declaredFrames();
        const double missing = static_cast<double>(notes.declaredFrames - notes.frames);
        const double allowed =
            std::max(kEarlyEndSeconds * outRate,
                     kEarlyEndFraction * static_cast<double>(notes.declaredFrames));
        notes.endedEarly = notes.declaredFrames > 0 && missing > allowed;
    }
};

AudioDecoder::AudioDecoder(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
AudioDecoder::~AudioDecoder() = default;

double AudioDecoder::sampleRate() const { return m_impl->outRate; }
const ReadNotes& AudioDecoder::notes() const { return m_impl->notes; }

std::int64_t AudioDecoder::declaredFrames() const { return m_impl->declaredFrames(); }

Result<std::unique_ptr<AudioDecoder>> AudioDecoder::open(const std::filesystem::path& path,
                                                         const std::atomic<bool>* cancel) {
    silenceFFmpegLogOnce();
    if (auto e = checkReadable(path)) return *std::move(e);
    auto d = std::make_unique<Impl>();
    d->cancel = cancel;
    d->riff = riffLength(path);

    // "file:" keeps a colon in the name from being read as a protocol; the whitelist keeps a
    // playlist-like file from reaching the network.
    const std::string url = "file:" + path.string();
    AVDictionary* openOptions = nullptr;
    av_dict_set(&openOptions, "protocol_whitelist", "file", 0);
    AVFormatContext* rawFormat = nullptr;
    int ret = avformat_open_input(&rawFormat, url.c_str(), nullptr, &openOptions);
    av_dict_free(&openOptions);  // what is left is what the demuxer did not use
    d->format.reset(rawFormat);
    if (ret == AVERROR(ENOMEM)) return systemError(ENOMEM);
    if (ret < 0) return ffmpegError(ret, kNotDecodable);

    AVFormatContext* format = d->format.get();
    ret = avformat_find_stream_info(format, nullptr);
    if (ret == AVERROR(ENOMEM)) return systemError(ENOMEM);
    if (ret < 0) return ffmpegError(ret, kNotDecodable);
    if (format->nb_streams == 0) return ffmpegError(AVERROR_STREAM_NOT_FOUND, kNotDecodable);

    ret = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (ret < 0) {
        // An audio stream with no channels or rate is skipped by the search: what a demuxer
        // picked by extension makes of garbage. That is undecodable, not silent.
        for (unsigned i = 0; i < format->nb_streams; ++i)
            if (format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
                return ffmpegError(ret, kNotDecodable);
        return ffmpegError(ret, "The file holds no audio stream.");
    }
    d->streamIndex = ret;
    AVStream* stream = format->streams[d->streamIndex];
    // Only this stream's packets are wanted; the demuxer can skip the rest.
    for (unsigned i = 0; i < format->nb_streams; ++i)
        if (static_cast<int>(i) != d->streamIndex) format->streams[i]->discard = AVDISCARD_ALL;
    // A stated rate outside what music uses is refused before anything is decoded.
    if (stream->codecpar->sample_rate > 0)
        if (auto e = checkRate(stream->codecpar->sample_rate)) return *std::move(e);

    const AVCodecID codecId = stream->codecpar->codec_id;
    const AVCodec* decoder = avcodec_find_decoder(codecId);
    if (!decoder) {
        // FFmpeg names an unidentified codec "none", which reads as if there were no audio.
        const char* name = codecId == AV_CODEC_ID_NONE ? "unknown" : avcodec_get_name(codecId);
        return ffmpegError(AVERROR_DECODER_NOT_FOUND,
                           std::string("No decoder for this file's audio codec (") + name + ").");
    }

    d->codec.reset(avcodec_alloc_context3(decoder));
    if (!d->codec) return systemError(ENOMEM);
    if (avcodec_parameters_to_context(d->codec.get(), stream->codecpar) < 0)
        return ffmpegError(AVERROR_INVALIDDATA, kNotDecodable);
    d->codec->pkt_timebase = stream->time_base;
    ret = avcodec_open2(d->codec.get(), decoder, nullptr);
    if (ret == AVERROR(ENOMEM)) return systemError(ENOMEM);
    if (ret < 0) return ffmpegError(ret, kNotDecodable);

    d->packet.reset(av_packet_alloc());
    d->frame.reset(av_frame_alloc());
    if (!d->packet || !d->frame) return systemError(ENOMEM);

    // Decode up to the first samples: they fix the output rate.
    while (d->pending() == 0) {
        Result<bool> more = d->step();
        if (!more) return more.error();
        if (!more.value()) break;
    }
    if (d->pending() == 0) {
        if (d->decodeErrors > 0) return ffmpegError(AVERROR_INVALIDDATA, kNotDecodable);
        return emptyFileError();
    }
    return std::unique_ptr<AudioDecoder>(new AudioDecoder(std::move(d)));
}

Result<std::int64_t> AudioDecoder::read(std::int64_t maxFrames, std::vector<float>& l,
                                        std::vector<float>& r) {
    Impl& d = *m_impl;
    const auto want = static_cast<std::size_t>(std::max<std::int64_t>(maxFrames, 0));
    while (d.pending() < want) {
        Result<bool> more = d.step();
        if (!more) return more.error();
        if (!more.value()) break;
    }
    const std::size_t take = std::min(want, d.pending());
    if (d.notes.frames + static_cast<std::int64_t>(take) > kMaxFrames)
        return corvaneError(kErrorTooLong, "The file is too long: more than 4,294,967,295 frames.");
    const auto to = static_cast<std::ptrdiff_t>(take);
    l.insert(l.end(), d.pendingL.begin(), d.pendingL.begin() + to);
    r.insert(r.end(), d.pendingR.begin(), d.pendingR.begin() + to);
    // What is left is less than a packet: moved to the front, so the buffers never grow.
    d.pendingL.erase(d.pendingL.begin(), d.pendingL.begin() + to);
    d.pendingR.erase(d.pendingR.begin(), d.pendingR.begin() + to);
    d.notes.frames += static_cast<std::int64_t>(take);
    if (take == 0) d.finishNotes();
    return static_cast<std::int64_t>(take);
}

}  // namespace corvane::audio
