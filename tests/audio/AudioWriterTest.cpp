// SPDX-License-Identifier: GPL-3.0-or-later
// Writing every output format block by block, read back by FFmpeg (independent of libsndfile).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sndfile.h>  // the reference encoder (linked through corvane::audio)
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <tuple>

#include "TestSupport.h"
#include "audio/AudioFileReader.h"
#include "audio/AudioFileWriter.h"
#include "audio/AudioWriter.h"

namespace corvane::audio {
namespace {

using test::TempDir;

// A writer onto a new file at `path`, for the tests that look at the encoding alone.
Result<std::unique_ptr<AudioWriter>> openAt(const std::filesystem::path& path, double rate,
                                            const EncodeSettings& settings) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    auto writer = AudioWriter::open(fd, rate, settings);
    ::close(fd);
    return writer;
}

// codec, sample format, rate, channels, bit rate and bits per sample, as ffprobe lists them.
std::string probe(const std::filesystem::path& file) {
    const std::string command =
        "ffprobe -v error -select_streams a:0 -show_entries "
        "stream=codec_name,sample_fmt,bits_per_raw_sample,sample_rate,channels,bit_rate "
        "-of csv=p=0 '" +
        file.string() + "'";
    std::string fields;
    EXPECT_EQ(test::runCommand(command, &fields), 0) << command;
    if (!fields.empty() && fields.back() == '\n') fields.pop_back();
    return fields;
}

// Each format's header, and its samples: lossless ones within their step (f32 exactly, values
// beyond full scale included), lossy ones by length and level. Written in uneven blocks, so the
// block joins would show.
TEST(AudioWriterFormats, EveryFormatReadsBackWithItsHeaderAndSamples) {
    struct Case {
        EncodeSettings settings;
        double rate;
        std::string header;
        float tolerance;  // lossless: every sample within this; 0: lossy
    };
    const Case cases[] = {
        {{AudioFormat::wav24}, 44100, "pcm_s24le,s32,44100,2,2116800,24", 1.5f / 8388608.0f},
        {{AudioFormat::wav16}, 22050, "pcm_s16le,s16,22050,2,705600,N/A", 1.5f / 32768.0f},
        {{AudioFormat::f32}, 96000, "pcm_f32le,flt,96000,2,6144000,N/A", 0.0f},
        {{AudioFormat::flac}, 48000, "flac,s32,48000,2,N/A,24", 1.5f / 8388608.0f},
        {{AudioFormat::mp3, 128}, 44100, "mp3,fltp,44100,2,128000,N/A", -1.0f},
        {{AudioFormat::mp3}, 48000, "mp3,fltp,48000,2,320000,N/A", -1.0f},
        {{AudioFormat::mp3, 64}, 22050, "mp3,fltp,22050,2,64000,N/A", -1.0f},
        {{AudioFormat::opus, 96}, 48000, "opus,fltp,48000,2,N/A,N/A", -1.0f},
    };
    TempDir dir;
    for (const Case& c : cases) {
        const std::string name = std::string(formatName(c.settings.format)) + "-" +
                                 std::to_string(static_cast<int>(c.rate)) + "." +
                                 std::string(extension(c.settings.format));
        SCOPED_TRACE(name);
        const auto frames = static_cast<std::size_t>(c.rate);  // one second
        dsp::StereoAudio in{test::sine(frames, 440, c.rate, 0.4f),
                            test::sine(frames, 660, c.rate, 0.2f), c.rate};
        in.l[100] = 1.5f;  // kept by f32 only
        auto opened = openAt(dir / name, c.rate, c.settings);
        ASSERT_TRUE(opened) << opened.error().description;
        AudioWriter& writer = *opened.value();
        const std::span<const float> l(in.l), r(in.r);
        for (std::size_t at = 0, block = 1; at < frames; at += block, block = block * 3 + 7) {
            const std::size_t n = std::min(block, frames - at);
            ASSERT_FALSE(writer.write(l.subspan(at, n), r.subspan(at, n)));
        }
        ASSERT_FALSE(writer.close());
        EXPECT_EQ(writer.framesWritten(), static_cast<std::int64_t>(frames));
        EXPECT_EQ(probe(dir / name), c.header);

        Result<dsp::StereoAudio> read = readAudio(dir / name);
        ASSERT_TRUE(read) << read.error().description;
        const dsp::StereoAudio& out = read.value();
        EXPECT_EQ(out.sampleRate, c.rate);
        if (c.tolerance >= 0.0f) {
            if (c.settings.format != AudioFormat::f32) in.l[100] = 1.0f;
            EXPECT_TRUE(test::nearlyEqual(out.l, in.l, c.tolerance));
            EXPECT_TRUE(test::nearlyEqual(out.r, in.r, c.tolerance));
        } else {
            // Lossy: about the same length (encoders pad a frame or so) and each side's level.
            EXPECT_NEAR(static_cast<double>(out.frames()), static_cast<double>(frames), 2048.0);
            EXPECT_NEAR(std::sqrt(test::powerAt(out.l, 440, c.rate) / 0.04), 1.0, 0.1);
            EXPECT_NEAR(std::sqrt(test::powerAt(out.r, 660, c.rate) / 0.01), 1.0, 0.1);
        }
    }
}

// What a format cannot hold is refused before any file is created, each with its own line.
TEST(AudioWriterFormats, RatesAndBitRatesAFormatCannotHoldAreRefusedFirst) {
    const std::tuple<EncodeSettings, double, std::string> cases[] = {
        {{AudioFormat::opus},
         44100,
         "Opus files are 8, 12, 16, 24 or 48 kHz only and this song is 44.1 kHz; choose another "
         "--format or resample it first."},
        {{AudioFormat::opus, 8}, 48000, "Opus takes 12 to 512 kb/s, not 8."},
        {{AudioFormat::mp3},
         96000,
         "MP3 files are 8 to 48 kHz at the MPEG rates only and this song is 96 kHz; choose "
         "another --format."},
        {{AudioFormat::mp3, 320}, 22050, "MP3 at 22.05 kHz takes 8 to 160 kb/s, not 320."},
        {{AudioFormat::mp3, 16}, 44100, "MP3 at 44.1 kHz takes 32 to 320 kb/s, not 16."},
    };
    TempDir dir;
    const std::vector<float> second(48000, 0.1f);
    for (const auto& [settings, rate, message] : cases) {
        auto refused = writeAudio(dir / "x", second, second, rate, settings);
        ASSERT_TRUE(refused) << message;
        EXPECT_EQ(refused->description, message);
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

// The samples the packed integer path must get right: rounding ties of the scaled value (to even,
// in the denormal range too), both ends of full scale and just inside them, values past it, NaN,
// infinities, negative zero; then noise. More than one chunk, an odd length for the scalar tail.
std::vector<float> awkwardSamples() {
    std::vector<float> v = {0.0f,
                            -0.0f,
                            1.0f,
                            -1.0f,
                            std::nextafter(1.0f, 0.0f),
                            std::nextafter(-1.0f, 0.0f),
                            1.5f,
                            -2.0f,
                            std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::denorm_min(),
                            std::numeric_limits<float>::min()};
    for (int k = -600; k <= 600; ++k) {
        v.push_back(std::ldexp(static_cast<float>(k) + 0.5f, -31));  // ties in 2^31 steps
        v.push_back(std::ldexp(static_cast<float>(k) + 0.5f, -23));  // ties of the 24-bit code
        v.push_back(std::ldexp(static_cast<float>(k) + 0.5f, -15));  // and of the 16-bit one
    }
    std::mt19937 random(5);
    std::uniform_real_distribution<float> wide(-1.2f, 1.2f);
    while (v.size() < 2 * kChunkFrames + 2 * 4099) v.push_back(wide(random));
    return v;
}

// The integer WAVs are packed by the writer itself: byte for byte what libsndfile's own clipping
// conversion of the clipped floats gives (the path they replaced), header included.
TEST(AudioWriterFormats, PackedIntegerWavsAreTheBytesLibsndfileWrites) {
    const std::vector<float> samples = awkwardSamples();
    const std::size_t frames = samples.size() / 2;
    std::vector<float> l(frames), r(frames);
    for (std::size_t i = 0; i < frames; ++i) l[i] = samples[2 * i], r[i] = samples[2 * i + 1];
    TempDir dir;
    for (const auto& [format, sndfileFormat] :
         {std::pair{AudioFormat::wav24, SF_FORMAT_WAV | SF_FORMAT_PCM_24},
          std::pair{AudioFormat::wav16, SF_FORMAT_WAV | SF_FORMAT_PCM_16}}) {
        SCOPED_TRACE(formatName(format));
        const auto ours = dir / "ours.wav", reference = dir / "reference.wav";
        auto opened = openAt(ours, 48000, {format});
        ASSERT_TRUE(opened);
        // Uneven blocks, so the joins between calls would show.
        for (std::size_t at = 0, block = 3; at < frames; at += block, block = block * 5 + 1) {
            const std::size_t n = std::min(block, frames - at);
            ASSERT_FALSE(
                opened.value()->write(std::span(l).subspan(at, n), std::span(r).subspan(at, n)));
        }
        ASSERT_FALSE(opened.value()->close());

        SF_INFO info{};
        info.samplerate = 48000;
        info.channels = 2;
        info.format = sndfileFormat;
        SNDFILE* file = sf_open(reference.c_str(), SFM_WRITE, &info);
        ASSERT_TRUE(file);
        sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
        std::vector<float> clipped(samples);
        for (float& x : clipped) x = x == x ? std::clamp(x, -1.0f, 1.0f) : 0.0f;
        ASSERT_EQ(sf_writef_float(file, clipped.data(), static_cast<sf_count_t>(frames)),
                  static_cast<sf_count_t>(frames));
        ASSERT_EQ(sf_close(file), 0);

        const std::string got = test::fileContents(ours), want = test::fileContents(reference);
        ASSERT_EQ(got.size(), want.size());
        const auto [a, b] = std::mismatch(got.begin(), got.end(), want.begin());
        EXPECT_EQ(a, got.end()) << "first different byte at " << (a - got.begin());
    }
}

}  // namespace
}  // namespace corvane::audio
