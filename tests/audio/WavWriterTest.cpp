// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "TestSupport.h"
#include "audio/AudioFileReader.h"
#include "audio/WavWriter.h"

namespace corvane::audio {
namespace {

using test::TempDir;

constexpr float kLsb24 = 1.0f / 8388608.0f;
// The largest positive 24-bit sample as a float reader scales it.
constexpr float kTop = 8388607.0f / 8388608.0f;

// ffprobe's key=value view of the first audio stream.
std::map<std::string, std::string> probe(const std::filesystem::path& file) {
    std::istringstream lines(test::captureCommand(
        "ffprobe -v error -select_streams a:0 -show_entries "
        "stream=codec_name,channels,sample_rate,duration_ts -of default=nw=1 '" +
        file.string() + "'"));
    std::map<std::string, std::string> fields;
    for (std::string line; std::getline(lines, line);)
        if (auto eq = line.find('='); eq != std::string::npos)
            fields[line.substr(0, eq)] = line.substr(eq + 1);
    return fields;
}

// Read back with FFmpeg: code independent of the writer's libsndfile.
dsp::StereoAudio readBack(const std::filesystem::path& file) {
    Result<dsp::StereoAudio> r = readAudio(file);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().description);
    return r.ok() ? std::move(r).value() : dsp::StereoAudio{};
}

// Writes `frames` of noise and returns the chunk sizes handed to the encoder.
std::vector<std::int64_t> chunksOf(const std::filesystem::path& file, std::size_t frames) {
    const std::vector<float> l = test::noise(frames, 1);
    std::vector<std::int64_t> chunks;
    WavWriteOptions options;
    options.onChunk = [&](std::int64_t n) { chunks.push_back(n); };
    const std::optional<Error> e = writeWav(file, l, l, 44100.0, options);
    EXPECT_FALSE(e) << e->description;
    return chunks;
}

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
    const std::vector<float> l = {1.5f, -2.0f, 0.25f, std::numeric_limits<float>::quiet_NaN(),
                                  kInf, -kInf, 1.0f};
    const std::vector<float> expected = {kTop, -1.0f, 0.25f, 0.0f, kTop, -1.0f, kTop};
    // Reversed on the right, so a clip done on one channel only would show.
    const std::vector<float> r(l.rbegin(), l.rend()), expectedR(expected.rbegin(), expected.rend());
    ASSERT_FALSE(writeWav(dir / "clip.wav", l, r, 44100.0));
    const dsp::StereoAudio out = readBack(dir / "clip.wav");
    EXPECT_TRUE(test::nearlyEqual(out.l, expected, kLsb24));
    EXPECT_TRUE(test::nearlyEqual(out.r, expectedR, kLsb24));
}

// The longer right channel shows that exactly l.size() frames are written; no frames at all must
// still give a file that readers accept.
TEST(WavWriterFormat, FfprobeSeesStereo24BitPcmAtTheRateWithTheFrameCount) {
    for (auto [frames, rate] :
         std::vector<std::pair<int, int>>{{150'000, 44100}, {150'000, 96000}, {0, 48000}}) {
        SCOPED_TRACE(rate);
        TempDir dir;
        const std::vector<float> l = test::noise(frames, 5), r = test::noise(frames + 500, 6);
        ASSERT_FALSE(writeWav(dir / "out.wav", l, r, rate));
        auto fields = probe(dir / "out.wav");
        EXPECT_EQ(fields["codec_name"], "pcm_s24le");
        EXPECT_EQ(fields["channels"], "2");
        EXPECT_EQ(fields["sample_rate"], std::to_string(rate));
        // ffprobe knows no duration for a file without frames.
        EXPECT_EQ(fields["duration_ts"], frames > 0 ? std::to_string(frames) : "N/A");
    }
}

TEST(WavWriterFormat, ReplacesAnExistingLongerFile) {
    TempDir dir;
    const std::vector<float> longL = test::noise(100'000, 8), shortL = test::noise(1000, 9);
    ASSERT_FALSE(writeWav(dir / "take.wav", longL, longL, 44100.0));
    ASSERT_FALSE(writeWav(dir / "take.wav", shortL, shortL, 44100.0));
    EXPECT_TRUE(test::nearlyEqual(readBack(dir / "take.wav").l, shortL, kLsb24));
}

TEST(WavWriterChunks, FullChunksThenTheRest) {
    const std::vector<std::pair<std::size_t, std::vector<std::int64_t>>> cases = {
        {0, {}}, {65'536, {65'536}}, {65'537, {65'536, 1}}, {150'000, {65'536, 65'536, 18'928}}};
    for (const auto& [frames, chunks] : cases) {
        SCOPED_TRACE(frames);
        TempDir dir;
        EXPECT_EQ(chunksOf(dir / "out.wav", frames), chunks);
    }
}

TEST(WavWriterFailure, ReportsTheSystemReason) {
    TempDir dir;
    const std::vector<float> l = test::noise(150'000, 10);
    const std::vector<std::tuple<std::filesystem::path, int, std::string>> cases = {
        {dir / "gone" / "out.wav", ENOENT, "No such file or directory"},
        {dir.path(), EISDIR, "Is a directory"},
        {"/dev/full", ENOSPC, "No space left on device"}};
    for (const auto& [target, code, description] : cases) {
        SCOPED_TRACE(target);
        const std::optional<Error> e = writeWav(target, l, l, 44100.0);
        ASSERT_TRUE(e);
        EXPECT_EQ(e->domain, "System");
        EXPECT_EQ(e->code, code);
        EXPECT_EQ(e->description, description);
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "gone")) << "a missing folder is not created";
}

// A file-size limit fails the second chunk part-way, as a filling disk would: writing stops there
// and the first chunk stays readable.
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
    const std::optional<Error> e = writeWav(dir / "cut.wav", l, l, 44100.0, options);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    ASSERT_TRUE(e);
    EXPECT_EQ(e->description, "File too large");
    EXPECT_EQ(chunks, (std::vector<std::int64_t>{65'536, 65'536}));
    const dsp::StereoAudio kept = readBack(dir / "cut.wav");
    ASSERT_GE(kept.frames(), 65'536);
    EXPECT_TRUE(
        test::nearlyEqual(std::span(kept.l).first(65'536), std::span(l).first(65'536), kLsb24));
}

TEST(WavName, DropsTheLastExtensionAndAddsTheSuffix) {
    const std::vector<std::array<const char*, 3>> cases = {
        {"My Song.mp3", "Mix", "My Song - Mix.wav"},
        {"take.2.flac", "Drums", "take.2 - Drums.wav"},
        {"demo", "Bass", "demo - Bass.wav"},
        {".hidden", "Vocals", ".hidden - Vocals.wav"},
        {"trailing.", "Mix", "trailing - Mix.wav"}};
    for (const auto& [file, suffix, expected] : cases) EXPECT_EQ(wavName(file, suffix), expected);
}

}  // namespace
}  // namespace corvane::audio
