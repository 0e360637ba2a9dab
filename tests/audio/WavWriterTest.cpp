// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "audio/AudioFileReader.h"
#include "audio/WavWriter.h"

namespace corvane::audio {
namespace {

using test::TempDir;

constexpr float kLsb24 = 1.0f / 8388608.0f;
// The largest positive 24-bit sample, as a float reader scales it.
constexpr float kFullScalePositive = 8388607.0f / 8388608.0f;

// ffprobe's view of the first audio stream, as key=value pairs.
std::map<std::string, std::string> probe(const std::filesystem::path& file,
                                         const std::string& entries) {
    const std::string out = test::captureCommand(
        "ffprobe -v error -select_streams a:0 -count_packets -show_entries stream=" + entries +
        " -of default=nw=1 '" + file.string() + "'");
    std::map<std::string, std::string> fields;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        auto eq = line.find('=');
        if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return fields;
}

// Reads back with FFmpeg: code independent of the libsndfile writer.
dsp::StereoAudio readBack(const std::filesystem::path& file) {
    Result<dsp::StereoAudio> r = readAudio(file);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().description);
    return r.ok() ? std::move(r).value() : dsp::StereoAudio{};
}

std::vector<std::int64_t> chunksOf(const std::filesystem::path& file, std::size_t frames) {
    std::vector<float> l = test::noise(frames, 1), r = test::noise(frames, 2);
    std::vector<std::int64_t> chunks;
    WavWriteOptions options;
    options.onChunk = [&](std::int64_t n) { chunks.push_back(n); };
    std::optional<Error> e = writeWav(file, l, r, 44100.0, options);
    EXPECT_FALSE(e) << e->description;
    return chunks;
}

// ---- Samples ----

TEST(WavWriterSamples, NoiseRoundTripsWithin24BitRounding) {
    TempDir dir;
    const dsp::StereoAudio in = test::noiseStereo(200'000, 7, 48000.0);
    ASSERT_FALSE(writeWav(dir / "noise.wav", in.l, in.r, in.sampleRate));

    const dsp::StereoAudio out = readBack(dir / "noise.wav");
    EXPECT_EQ(out.sampleRate, 48000.0);
    EXPECT_TRUE(test::nearlyEqual(out.l, in.l, kLsb24));
    EXPECT_TRUE(test::nearlyEqual(out.r, in.r, kLsb24));
}

TEST(WavWriterSamples, ClipsToFullScaleAndSilencesNaN) {
    TempDir dir;
    constexpr float kInf = std::numeric_limits<float>::infinity();
    constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> l = {1.5f, -2.0f, 0.25f, kNaN, -0.25f, kInf, -kInf, 1.0f, -1.0f};
    const std::vector<float> expected = {
        kFullScalePositive, -1.0f, 0.25f, 0.0f, -0.25f, kFullScalePositive, -1.0f,
        kFullScalePositive, -1.0f};
    // The right channel carries the same values in reverse, so a clip that works on one channel
    // only would show.
    const std::vector<float> r(l.rbegin(), l.rend());
    const std::vector<float> expectedR(expected.rbegin(), expected.rend());
    ASSERT_FALSE(writeWav(dir / "clip.wav", l, r, 44100.0));

    const dsp::StereoAudio out = readBack(dir / "clip.wav");
    EXPECT_TRUE(test::nearlyEqual(out.l, expected, kLsb24));
    EXPECT_TRUE(test::nearlyEqual(out.r, expectedR, kLsb24));
}

// The right channel may be longer; only l.size() frames are written.
TEST(WavWriterSamples, WritesExactlyTheLeftLength) {
    TempDir dir;
    const std::vector<float> l = test::noise(1000, 3), r = test::noise(1500, 4);
    ASSERT_FALSE(writeWav(dir / "short.wav", l, r, 44100.0));
    const dsp::StereoAudio out = readBack(dir / "short.wav");
    EXPECT_TRUE(test::nearlyEqual(out.r, std::span(r).first(1000), kLsb24));
}

// ---- The file as another reader sees it ----

TEST(WavWriterFormat, FfprobeSeesStereo24BitPcmAtTheRateWithTheFrameCount) {
    for (double rate : {44100.0, 48000.0, 96000.0}) {
        SCOPED_TRACE(rate);
        TempDir dir;
        const std::vector<float> l = test::noise(150'000, 5), r = test::noise(150'000, 6);
        ASSERT_FALSE(writeWav(dir / "out.wav", l, r, rate));
        auto fields = probe(dir / "out.wav", "codec_name,channels,sample_rate,duration_ts");
        EXPECT_EQ(fields["codec_name"], "pcm_s24le");
        EXPECT_EQ(fields["channels"], "2");
        EXPECT_EQ(fields["sample_rate"], std::to_string(static_cast<int>(rate)));
        EXPECT_EQ(fields["duration_ts"], "150000");
    }
}

TEST(WavWriterFormat, EmptyInputGivesAValidFileWithNoFrames) {
    TempDir dir;
    std::vector<std::int64_t> chunks = chunksOf(dir / "empty.wav", 0);
    EXPECT_TRUE(chunks.empty());
    auto fields = probe(dir / "empty.wav", "codec_name,channels,sample_rate,nb_read_packets");
    EXPECT_EQ(fields["codec_name"], "pcm_s24le");
    EXPECT_EQ(fields["channels"], "2");
    EXPECT_EQ(fields["sample_rate"], "44100");
    // ffprobe prints a packet count of zero as N/A.
    EXPECT_TRUE(fields["nb_read_packets"] == "0" || fields["nb_read_packets"] == "N/A")
        << fields["nb_read_packets"];

    Result<dsp::StereoAudio> r = readAudio(dir / "empty.wav");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code, kErrorEmptyFile);
}

TEST(WavWriterFormat, ReplacesAnExistingLongerFile) {
    TempDir dir;
    const std::vector<float> longL = test::noise(100'000, 8);
    const std::vector<float> shortL = test::noise(1000, 9);
    ASSERT_FALSE(writeWav(dir / "take.wav", longL, longL, 44100.0));
    ASSERT_FALSE(writeWav(dir / "take.wav", shortL, shortL, 44100.0));
    EXPECT_EQ(probe(dir / "take.wav", "duration_ts")["duration_ts"], "1000");
    EXPECT_TRUE(test::nearlyEqual(readBack(dir / "take.wav").l, shortL, kLsb24));
}

// ---- Chunks ----

struct ChunkCase {
    std::size_t frames;
    std::vector<std::int64_t> chunks;
};

class WavWriterChunkTest : public ::testing::TestWithParam<ChunkCase> {};

TEST_P(WavWriterChunkTest, HandsOverFullChunksThenTheRest) {
    TempDir dir;
    EXPECT_EQ(chunksOf(dir / "out.wav", GetParam().frames), GetParam().chunks);
}

INSTANTIATE_TEST_SUITE_P(Lengths, WavWriterChunkTest,
                         ::testing::Values(ChunkCase{0, {}}, ChunkCase{1, {1}},
                                           ChunkCase{65'536, {65'536}},
                                           ChunkCase{65'537, {65'536, 1}},
                                           ChunkCase{150'000, {65'536, 65'536, 18'928}}),
                         [](const auto& p) { return std::to_string(p.param.frames); });

// ---- Failures carry the system's own words ----

struct FailureCase {
    const char* name;
    std::function<std::filesystem::path(const TempDir&)> target;
    int code;
    const char* description;
};

class WavWriterFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(WavWriterFailureTest, ReportsTheSystemReason) {
    const FailureCase& c = GetParam();
    TempDir dir;
    const std::vector<float> l = test::noise(150'000, 10);
    std::optional<Error> e = writeWav(c.target(dir), l, l, 44100.0);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->domain, "System");
    EXPECT_EQ(e->code, c.code);
    EXPECT_EQ(e->description, c.description);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, WavWriterFailureTest,
    ::testing::Values(
        FailureCase{"MissingFolder", [](const TempDir& d) { return d / "gone" / "out.wav"; },
                    ENOENT, "No such file or directory"},
        FailureCase{"Folder", [](const TempDir& d) { return d.path(); }, EISDIR, "Is a directory"},
        FailureCase{"FullDisk", [](const TempDir&) { return std::filesystem::path("/dev/full"); },
                    ENOSPC, "No space left on device"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(WavWriterFailure, MissingFolderIsNotCreated) {
    TempDir dir;
    const std::vector<float> l = test::noise(10, 11);
    ASSERT_TRUE(writeWav(dir / "gone" / "out.wav", l, l, 44100.0));
    EXPECT_FALSE(std::filesystem::exists(dir / "gone"));
}

// A file-size limit makes the second chunk fail part-way, as a disk filling up would: writing
// stops there, and what was written before stays readable.
TEST(WavWriterFailure, StopsAtTheFirstFailedChunkAndKeepsTheEarlierOnes) {
    TempDir dir;
    const std::vector<float> l = test::noise(150'000, 12);
    std::vector<std::int64_t> chunks;
    WavWriteOptions options;
    options.onChunk = [&](std::int64_t n) { chunks.push_back(n); };

    // Without this the kernel ends the process with SIGXFSZ instead of failing the write.
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit limited = old;
    limited.rlim_cur = 500'000;  // the header and one chunk of 393,216 bytes fit, two do not
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    std::optional<Error> e = writeWav(dir / "cut.wav", l, l, 44100.0, options);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    ASSERT_TRUE(e);
    EXPECT_EQ(e->code, EFBIG);
    EXPECT_EQ(e->description, "File too large");
    EXPECT_EQ(chunks, (std::vector<std::int64_t>{65'536, 65'536}));

    const dsp::StereoAudio kept = readBack(dir / "cut.wav");
    ASSERT_GE(kept.frames(), 65'536);
    EXPECT_TRUE(
        test::nearlyEqual(std::span(kept.l).first(65'536), std::span(l).first(65'536), kLsb24));
}

// ---- Export names ----

struct NameCase {
    const char* fileName;
    const char* suffix;
    const char* expected;
};

class WavNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(WavNameTest, DropsTheLastExtensionAndAddsTheSuffix) {
    EXPECT_EQ(wavName(GetParam().fileName, GetParam().suffix), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Names, WavNameTest,
                         ::testing::Values(NameCase{"My Song.mp3", "Mix", "My Song - Mix.wav"},
                                           NameCase{"take.2.flac", "Drums", "take.2 - Drums.wav"},
                                           NameCase{"demo", "Bass", "demo - Bass.wav"},
                                           NameCase{".hidden", "Vocals", ".hidden - Vocals.wav"},
                                           NameCase{"a.b.c", "Other", "a.b - Other.wav"},
                                           NameCase{"trailing.", "Mix", "trailing - Mix.wav"},
                                           NameCase{"song.wav", "Mix", "song - Mix.wav"}));

}  // namespace
}  // namespace corvane::audio
