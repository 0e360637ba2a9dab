// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <functional>
#include <numbers>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "audio/AudioFileReader.h"

namespace corvane::audio {
namespace {

using test::TempDir;

constexpr double kRate = 44100.0;
constexpr std::size_t kOneSecond = 44100;
constexpr float kLsb16 = 1.0f / 32768.0f;
constexpr float kLsb24 = 1.0f / 8388608.0f;

// Left 440 Hz, right 660 Hz: different content per channel shows a swap.
const std::string kStereoSource = "aevalsrc=0.5*sin(2*PI*440*t)|0.5*sin(2*PI*660*t):s=44100:d=1";

// Runs ffmpeg quietly, overwriting its output.
::testing::AssertionResult ffmpeg(const std::string& args) {
    const std::string command = "ffmpeg -nostdin -loglevel error -y " + args;
    if (test::runCommand(command) == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "failed: " << command;
}

std::string quoted(const std::filesystem::path& p) { return "'" + p.string() + "'"; }

// Power of `x` at `hz` (Goertzel), normalised by length.
double powerAt(std::span<const float> x, double hz, double sampleRate) {
    const double w = 2.0 * std::numbers::pi * hz / sampleRate;
    const double coeff = 2.0 * std::cos(w);
    double s1 = 0.0, s2 = 0.0;
    for (float v : x) {
        double s0 = v + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double n = static_cast<double>(x.size());
    return (s1 * s1 + s2 * s2 - coeff * s1 * s2) / (n * n);
}

// Overwrites `count` bytes at `offset` with seeded random bytes, the file keeping its length.
void damage(const std::filesystem::path& file, std::size_t offset, std::size_t count) {
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    ASSERT_TRUE(f.is_open());
    std::mt19937 rng(1234);
    std::vector<char> bytes(count);
    for (auto& b : bytes) b = static_cast<char>(rng() & 0xFF);
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(f.good());
}

Result<dsp::StereoAudio> readOk(const std::filesystem::path& file) {
    Result<dsp::StereoAudio> r = readAudio(file);
    EXPECT_TRUE(r.ok()) << file << ": " << (r.ok() ? "" : r.error().description);
    return r;
}

// ---- Formats: one stereo 440/660 Hz second, encoded each way ----

struct FormatCase {
    const char* name;
    const char* codecArgs;
    const char* extension;
    // Lossless cases compare every sample within this tolerance and need the exact frame count;
    // lossy ones (tolerance 0) are checked by frame count within a codec frame or two, and by
    // which tone dominates which channel.
    float tolerance;
};

class ReaderFormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(ReaderFormatTest, DecodesBothChannelsInOrderAtTheFileRate) {
    const FormatCase& c = GetParam();
    TempDir dir;
    const auto file = dir / (std::string("song.") + c.extension);
    ASSERT_TRUE(ffmpeg("-f lavfi -i '" + kStereoSource + "' " + c.codecArgs + " " + quoted(file)));

    Result<dsp::StereoAudio> r = readOk(file);
    ASSERT_TRUE(r.ok());
    const dsp::StereoAudio& a = r.value();
    EXPECT_EQ(a.sampleRate, kRate);
    ASSERT_EQ(a.l.size(), a.r.size());

    if (c.tolerance > 0.0f) {
        EXPECT_EQ(a.frames(), static_cast<std::int64_t>(kOneSecond));
        EXPECT_TRUE(test::nearlyEqual(a.l, test::sine(kOneSecond, 440, kRate), c.tolerance));
        EXPECT_TRUE(test::nearlyEqual(a.r, test::sine(kOneSecond, 660, kRate), c.tolerance));
    } else {
        EXPECT_NEAR(static_cast<double>(a.frames()), static_cast<double>(kOneSecond), 2048.0);
        // A swapped or duplicated channel shows as the wrong tone dominating.
        EXPECT_GT(powerAt(a.l, 440, kRate), 100.0 * powerAt(a.l, 660, kRate));
        EXPECT_GT(powerAt(a.r, 660, kRate), 100.0 * powerAt(a.r, 440, kRate));
        // Level survives: a 0.5 sine has power 0.0625 at its own frequency.
        EXPECT_NEAR(powerAt(a.l, 440, kRate), 0.0625, 0.01);
        EXPECT_NEAR(powerAt(a.r, 660, kRate), 0.0625, 0.01);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ReaderFormatTest,
    ::testing::Values(FormatCase{"Wav16", "-c:a pcm_s16le", "wav", kLsb16},
                      FormatCase{"Wav24", "-c:a pcm_s24le", "wav", kLsb24},
                      FormatCase{"WavFloat", "-c:a pcm_f32le", "wav", 1e-6f},
                      FormatCase{"Aiff16", "-c:a pcm_s16be", "aiff", kLsb16},
                      FormatCase{"Flac16", "-c:a flac -sample_fmt s16", "flac", kLsb16},
                      FormatCase{"Flac24", "-c:a flac -sample_fmt s32", "flac", kLsb24},
                      FormatCase{"Mp3", "-c:a libmp3lame -b:a 192k", "mp3", 0.0f},
                      FormatCase{"M4aAac", "-c:a aac -b:a 192k", "m4a", 0.0f},
                      FormatCase{"OggVorbis", "-c:a libvorbis -q:a 6", "ogg", 0.0f},
                      // Its decoder holds back the last frames until told the input ended.
                      FormatCase{"Wma", "-c:a wmav2 -b:a 128k", "wma", 0.0f}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- Channel layouts, rates, levels ----

TEST(ReaderChannels, MonoIsCopiedToBothChannels) {
    TempDir dir;
    const auto file = dir / "mono.wav";
    ASSERT_TRUE(ffmpeg("-f lavfi -i 'aevalsrc=0.5*sin(2*PI*440*t):s=44100:d=1' -c:a pcm_s16le " +
                       quoted(file)));
    Result<dsp::StereoAudio> r = readOk(file);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(test::nearlyEqual(r.value().l, test::sine(kOneSecond, 440, kRate), kLsb16));
    EXPECT_TRUE(test::nearlyEqual(r.value().r, r.value().l, 0.0f));
}

// Channels 2..5 hold loud, different content: any downmix or wrong pick would show.
TEST(ReaderChannels, SixChannelsKeepTheFirstTwoUnmixed) {
    const std::string source =
        "aevalsrc=0.5*sin(2*PI*440*t)|0.5*sin(2*PI*660*t)|0.9|-0.9|0.7*sin(2*PI*100*t)|0.3"
        ":s=44100:d=1";
    for (const char* extension : {"wav", "flac"}) {
        SCOPED_TRACE(extension);
        TempDir dir;
        const auto file = dir / (std::string("six.") + extension);
        ASSERT_TRUE(ffmpeg("-f lavfi -i '" + source + "' -sample_fmt s16 " + quoted(file)));
        Result<dsp::StereoAudio> r = readOk(file);
        ASSERT_TRUE(r.ok());
        EXPECT_TRUE(test::nearlyEqual(r.value().l, test::sine(kOneSecond, 440, kRate), kLsb16));
        EXPECT_TRUE(test::nearlyEqual(r.value().r, test::sine(kOneSecond, 660, kRate), kLsb16));
    }
}

// Joined MP3s (and parametric-stereo AAC) switch channel count part-way. The mono part belongs in
// both channels, the stereo part keeps its sides, and the two stay aligned.
TEST(ReaderChannels, StreamSwitchingBetweenMonoAndStereoKeepsBothParts) {
    TempDir dir;
    const std::string mp3 = " -c:a libmp3lame -write_xing 0 -id3v2_version 0 ";
    ASSERT_TRUE(ffmpeg("-f lavfi -i 'aevalsrc=0.5*sin(2*PI*440*t):s=44100:d=1'" + mp3 +
                       quoted(dir / "mono.mp3")));
    ASSERT_TRUE(ffmpeg("-f lavfi -i '" + kStereoSource + "'" + mp3 + quoted(dir / "stereo.mp3")));
    for (const char* order : {"mono.mp3 stereo.mp3", "stereo.mp3 mono.mp3"}) {
        SCOPED_TRACE(order);
        const bool monoFirst = order[0] == 'm';
        ASSERT_EQ(
            test::runCommand("cd " + quoted(dir.path()) + " && cat " + order + " > joined.mp3"), 0);
        Result<dsp::StereoAudio> r = readOk(dir / "joined.mp3");
        ASSERT_TRUE(r.ok());
        const dsp::StereoAudio& a = r.value();
        ASSERT_NEAR(static_cast<double>(a.frames()), 2.0 * kOneSecond, 4096.0);
        // The middle of each part, away from the join.
        const std::size_t quarter = a.l.size() / 4;
        auto part = [&](const std::vector<float>& x, int i) {
            return std::span(x).subspan(2 * quarter * static_cast<std::size_t>(i) + quarter / 2,
                                        quarter);
        };
        const int monoPart = monoFirst ? 0 : 1;
        for (int i : {0, 1}) {
            SCOPED_TRACE(i == monoPart ? "mono part" : "stereo part");
            EXPECT_NEAR(powerAt(part(a.l, i), 440, kRate), 0.0625, 0.01);
            const double rightHz = i == monoPart ? 440 : 660;
            EXPECT_NEAR(powerAt(part(a.r, i), rightHz, kRate), 0.0625, 0.01);
        }
    }
}

TEST(ReaderRates, KeepsTheFileRateWithoutResampling) {
    for (int rate : {22050, 48000, 96000}) {
        SCOPED_TRACE(rate);
        TempDir dir;
        const auto file = dir / "rate.flac";
        ASSERT_TRUE(ffmpeg("-f lavfi -i 'aevalsrc=0.5*sin(2*PI*440*t):s=" + std::to_string(rate) +
                           ":d=0.5' -sample_fmt s16 " + quoted(file)));
        Result<dsp::StereoAudio> r = readOk(file);
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(r.value().sampleRate, rate);
        const std::size_t n = static_cast<std::size_t>(rate / 2);
        EXPECT_TRUE(test::nearlyEqual(r.value().l, test::sine(n, 440, rate), kLsb16));
    }
}

TEST(ReaderLevels, FloatWavKeepsSamplesBeyondFullScale) {
    TempDir dir;
    const auto file = dir / "loud.wav";
    ASSERT_TRUE(ffmpeg("-f lavfi -i 'aevalsrc=1.5*sin(2*PI*440*t):s=44100:d=1' -c:a pcm_f32le " +
                       quoted(file)));
    Result<dsp::StereoAudio> r = readOk(file);
    ASSERT_TRUE(r.ok());
    EXPECT_GT(test::peakAbs(r.value().l), 1.49f);
    EXPECT_TRUE(test::nearlyEqual(r.value().l, test::sine(kOneSecond, 440, kRate, 1.5f), 1e-6f));
}

// Long enough to cross several internal blocks, at a length that is no multiple of them.
TEST(ReaderLength, LongFileIsReadWholeAndInOrder) {
    TempDir dir;
    const auto file = dir / "long.wav";
    const std::size_t frames = 1'000'003;
    ASSERT_TRUE(
        ffmpeg("-f lavfi -i 'aevalsrc=0.5*sin(2*PI*440*t)|0.5*sin(2*PI*660*t):s=44100' "
               "-af atrim=end_sample=" +
               std::to_string(frames) + " -c:a pcm_s24le " + quoted(file)));
    Result<dsp::StereoAudio> r = readOk(file);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(test::nearlyEqual(r.value().l, test::sine(frames, 440, kRate), 2 * kLsb24));
    EXPECT_TRUE(test::nearlyEqual(r.value().r, test::sine(frames, 660, kRate), 2 * kLsb24));
}

// ---- Damaged files keep what decodes ----

TEST(ReaderDamage, TruncatedWavKeepsTheFramesThatAreThere) {
    TempDir dir;
    const auto file = dir / "cut.wav";
    ASSERT_TRUE(ffmpeg("-f lavfi -i '" + kStereoSource + "' -c:a pcm_s16le " + quoted(file)));
    // Data is the last thing in the file, 4 bytes per frame; keep the first 10000 frames and
    // half of the next one.
    const auto size = std::filesystem::file_size(file);
    const auto header = size - kOneSecond * 4;
    std::filesystem::resize_file(file, header + 10000 * 4 + 2);

    Result<dsp::StereoAudio> r = readOk(file);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(test::nearlyEqual(r.value().l, test::sine(10000, 440, kRate), kLsb16));
    EXPECT_TRUE(test::nearlyEqual(r.value().r, test::sine(10000, 660, kRate), kLsb16));
}

TEST(ReaderDamage, TruncatedMp3DecodesWhatIsThere) {
    TempDir dir;
    const auto file = dir / "cut.mp3";
    ASSERT_TRUE(
        ffmpeg("-f lavfi -i '" + kStereoSource + "' -c:a libmp3lame -b:a 128k " + quoted(file)));
    std::filesystem::resize_file(file, std::filesystem::file_size(file) / 2);
    Result<dsp::StereoAudio> r = readOk(file);
    ASSERT_TRUE(r.ok());
    EXPECT_NEAR(static_cast<double>(r.value().frames()), kOneSecond / 2.0, kOneSecond * 0.1);
}

// Garbage in the middle costs the packets it hits; everything before is decoded exactly as from
// the intact file, and most of what follows is kept.
class ReaderCorruptMiddleTest : public ::testing::TestWithParam<const char*> {};

TEST_P(ReaderCorruptMiddleTest, SkipsTheDamageAndKeepsTheRest) {
    TempDir dir;
    const auto file = dir / (std::string("song.") + GetParam());
    ASSERT_TRUE(
        ffmpeg("-f lavfi -i 'aevalsrc=0.5*sin(2*PI*440*t)|0.5*sin(2*PI*660*t):s=44100:d=4' " +
               quoted(file)));
    Result<dsp::StereoAudio> intact = readOk(file);
    ASSERT_TRUE(intact.ok());

    damage(file, std::filesystem::file_size(file) / 2, 3000);
    Result<dsp::StereoAudio> damaged = readOk(file);
    ASSERT_TRUE(damaged.ok());

    const auto full = intact.value().frames();
    EXPECT_GT(damaged.value().frames(), full * 8 / 10);
    EXPECT_LE(damaged.value().frames(), full);
    const std::size_t head = static_cast<std::size_t>(full / 4);
    EXPECT_TRUE(test::nearlyEqual(std::span(damaged.value().l).first(head),
                                  std::span(intact.value().l).first(head), 0.0f));
}

INSTANTIATE_TEST_SUITE_P(Codecs, ReaderCorruptMiddleTest, ::testing::Values("mp3", "flac"),
                         [](const auto& p) { return std::string(p.param); });

// ---- Files that give no audio: each its own clear one-line message ----

struct ErrorCase {
    const char* name;
    // Builds the bad input inside the folder and returns the path to read.
    std::function<std::filesystem::path(const TempDir&)> make;
    const char* domain;
    int code;  // checked unless 0
    const char* description;
};

void writeBytes(const std::filesystem::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
}

std::string randomBytes(std::size_t n) {
    std::mt19937 rng(99);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
    return s;
}

constexpr const char* kNotDecodable = "The file is not audio that FFmpeg can decode.";

class ReaderErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ReaderErrorTest, GivesItsOwnOneLineMessage) {
    const ErrorCase& c = GetParam();
    TempDir dir;
    std::filesystem::path file;
    ASSERT_NO_FATAL_FAILURE(file = c.make(dir));

    Result<dsp::StereoAudio> r = readAudio(file);
    ASSERT_FALSE(r.ok()) << "decoded " << r.value().frames() << " frames";
    const Error& e = r.error();
    EXPECT_EQ(e.domain, c.domain);
    if (c.code != 0) {
        EXPECT_EQ(e.code, c.code);
    }
    EXPECT_EQ(e.description, c.description);
    EXPECT_EQ(e.description.find('\n'), std::string::npos);
    EXPECT_EQ(e.description.find("Invalid argument"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    BadInputs, ReaderErrorTest,
    ::testing::Values(
        ErrorCase{"EmptyFile",
                  [](const TempDir& d) {
                      writeBytes(d / "empty.mp3", "");
                      return d / "empty.mp3";
                  },
                  kCorvaneDomain, kErrorEmptyFile, "The file is empty."},
        ErrorCase{"WavWithNoFrames",
                  [](const TempDir& d) {
                      EXPECT_TRUE(
                          ffmpeg("-f lavfi -i anullsrc=r=44100:cl=stereo -t 0 -c:a "
                                 "pcm_s16le " +
                                 quoted(d / "none.wav")));
                      return d / "none.wav";
                  },
                  kCorvaneDomain, kErrorEmptyFile, "The file is empty."},
        ErrorCase{"TextNamedMp3",
                  [](const TempDir& d) {
                      writeBytes(d / "notes.mp3", "Remember to buy milk.\n");
                      return d / "notes.mp3";
                  },
                  "FFmpeg", 0, kNotDecodable},
        ErrorCase{"TextNamedWav",
                  [](const TempDir& d) {
                      writeBytes(d / "notes.wav", "Remember to buy milk.\n");
                      return d / "notes.wav";
                  },
                  "FFmpeg", 0, kNotDecodable},
        ErrorCase{"RandomBytesNamedFlac",
                  [](const TempDir& d) {
                      writeBytes(d / "noise.flac", randomBytes(5000));
                      return d / "noise.flac";
                  },
                  "FFmpeg", 0, kNotDecodable},
        ErrorCase{"RandomBytesNamedMp3",
                  [](const TempDir& d) {
                      writeBytes(d / "noise.mp3", randomBytes(5000));
                      return d / "noise.mp3";
                  },
                  "FFmpeg", 0, kNotDecodable},
        ErrorCase{"VideoOnly",
                  [](const TempDir& d) {
                      EXPECT_TRUE(ffmpeg("-f lavfi -i color=c=red:s=32x32:d=0.2 -c:v ffv1 " +
                                         quoted(d / "clip.mkv")));
                      return d / "clip.mkv";
                  },
                  "FFmpeg", 0, "The file holds no audio stream."},
        ErrorCase{"WavWithUnknownCodec",
                  [](const TempDir& d) {
                      const auto file = d / "odd.wav";
                      EXPECT_TRUE(ffmpeg("-f lavfi -i '" + kStereoSource +
                                         "' -bitexact -c:a pcm_s16le " + quoted(file)));
                      // The fmt chunk follows the RIFF header; its first field is the codec tag.
                      std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
                      char id[4] = {};
                      f.seekg(12);
                      f.read(id, 4);
                      EXPECT_EQ(std::string(id, 4), "fmt ");
                      f.seekp(20);
                      f.write("\x34\x12", 2);
                      return file;
                  },
                  "FFmpeg", 0, "No decoder for this file's audio codec (unknown)."},
        ErrorCase{"MissingFile", [](const TempDir& d) { return d / "gone.mp3"; }, "System", ENOENT,
                  "No such file or directory"},
        ErrorCase{"MissingFolder", [](const TempDir& d) { return d / "gone" / "song.mp3"; },
                  "System", ENOENT, "No such file or directory"},
        ErrorCase{"Folder",
                  [](const TempDir& d) {
                      std::filesystem::create_directory(d / "album.mp3");
                      return d / "album.mp3";
                  },
                  "System", EISDIR, "Is a directory"}),
    [](const auto& p) { return std::string(p.param.name); });

// A colon is legal in a Linux file name and must not be taken for a protocol.
TEST(ReaderPaths, NameWithColonAndSpacesIsAFile) {
    TempDir dir;
    const auto file = dir / "live: take 2.flac";
    ASSERT_TRUE(ffmpeg("-f lavfi -i '" + kStereoSource + "' -sample_fmt s16 " + quoted(file)));
    Result<dsp::StereoAudio> r = readOk(file);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().frames(), static_cast<std::int64_t>(kOneSecond));
}

// ---- Threads and memory ----

TEST(ReaderThreads, ConcurrentReadsGiveTheSameSamplesAsOneAtATime) {
    TempDir dir;
    const std::vector<std::string> names = {"a.mp3", "b.flac", "c.ogg", "d.wav"};
    for (const auto& n : names)
        ASSERT_TRUE(ffmpeg("-f lavfi -i '" + kStereoSource + "' " + quoted(dir / n)));

    std::vector<std::vector<float>> alone;
    for (const auto& n : names) {
        Result<dsp::StereoAudio> r = readOk(dir / n);
        ASSERT_TRUE(r.ok());
        alone.push_back(std::move(r.value().l));
    }

    constexpr int kRounds = 3;
    std::vector<std::vector<float>> together(names.size() * kRounds);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < together.size(); ++i)
        threads.emplace_back([&, i] {
            Result<dsp::StereoAudio> r = readAudio(dir / names[i % names.size()]);
            if (r.ok()) together[i] = std::move(r.value().l);
        });
    for (auto& t : threads) t.join();
    for (std::size_t i = 0; i < together.size(); ++i) {
        SCOPED_TRACE(names[i % names.size()]);
        EXPECT_TRUE(test::nearlyEqual(together[i], alone[i % names.size()], 0.0f));
    }
}

long statusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(status, line))
        if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
    return -1;
}

// The decoded song is the only large thing alive at the end; the peak on the way there may exceed
// it by about a tenth (the header promises 1.1 times).
TEST(ReaderMemory, PeakStaysNearOneCopyOfTheSong) {
    TempDir dir;
    const auto file = dir / "three-minutes.wav";
    ASSERT_TRUE(
        ffmpeg("-f lavfi -i 'aevalsrc=0.5*sin(2*PI*440*t)|0.25*sin(2*PI*660*t):s=44100:d=180' "
               "-c:a pcm_s16le " +
               quoted(file)));
    // Warm up FFmpeg's one-time tables so they are not counted against the decode.
    ASSERT_TRUE(readOk(file).ok());

    {
        std::ofstream clear("/proc/self/clear_refs");
        clear << "5";
        clear.flush();
        if (!clear.good()) GTEST_SKIP() << "cannot reset the peak (no /proc/self/clear_refs)";
    }
    const long before = statusKiB("VmRSS");
    // The warm-up decode left the peak far above this; near the resident size means the reset
    // worked (reading /proc itself moves the resident size by a few pages).
    ASSERT_LE(statusKiB("VmHWM"), before + 1024);

    Result<dsp::StereoAudio> r = readOk(file);
    ASSERT_TRUE(r.ok());
    const long peak = statusKiB("VmHWM");
    const double songKiB = static_cast<double>(r.value().frames()) * 2 * sizeof(float) / 1024.0;
    const double ratio = static_cast<double>(peak - before) / songKiB;
    RecordProperty("peak_ratio", std::to_string(ratio));
    EXPECT_LE(ratio, 1.1) << "peak grew by " << (peak - before) << " KiB for a song of " << songKiB
                          << " KiB";
}

}  // namespace

TEST(ReaderCancel, ACancelledReadStopsWithItsOwnError) {
    TempDir dir;
    const auto file = dir / "song.flac";
    ASSERT_TRUE(ffmpeg("-f lavfi -i '" + kStereoSource + "' " + quoted(file)));
    std::atomic<bool> cancel{true};
    auto read = readAudio(file, &cancel);
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error().domain, "Corvane");
    EXPECT_EQ(read.error().code, kErrorCancelled);
    cancel = false;
    EXPECT_TRUE(readAudio(file, &cancel).ok());
}

}  // namespace corvane::audio
