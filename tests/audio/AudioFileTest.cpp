// SPDX-License-Identifier: GPL-3.0-or-later
// Reading audio files with FFmpeg and writing WAV files.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <fstream>
#include <functional>
#include <random>
#include <tuple>

#include "TestSupport.h"
#include "audio/AudioFileReader.h"
#include "audio/AudioFileWriter.h"
#include "audio/RiffLength.h"

namespace corvane::audio {
namespace {

using test::nearlyEqual;
using test::sine;
using test::TempDir;
using Path = std::filesystem::path;

constexpr double kRate = 44100.0;
constexpr float kLsb16 = 1.0f / 32768.0f;
constexpr float kLsb24 = 1.0f / 8388608.0f;

// Left 440 Hz, right 660 Hz: different content per channel shows a swap.
const std::string kStereo = "0.5*sin(2*PI*440*t)|0.5*sin(2*PI*660*t)";

// Has ffmpeg write `seconds` of a generated source ('|'-separated channel expressions) to `out`.
::testing::AssertionResult ffmpeg(const Path& out, const std::string& options,
                                  const std::string& channels = kStereo, int rate = 44100,
                                  int seconds = 1) {
    const std::string command =
        "ffmpeg -nostdin -loglevel error -y -f lavfi -i 'aevalsrc=" + channels +
        ":s=" + std::to_string(rate) + ":d=" + std::to_string(seconds) + "' " + options + " '" +
        out.string() + "'";
    if (test::runCommand(command) == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "failed: " << command;
}

// The decoded file (FFmpeg's reading is independent of the writer's libsndfile); a failure is
// recorded and gives no frames.
dsp::StereoAudio readOk(const Path& file, const std::atomic<bool>* cancel = nullptr) {
    Result<dsp::StereoAudio> r = readAudio(file, cancel);
    EXPECT_TRUE(r.ok()) << file << ": " << (r.ok() ? "" : r.error().description);
    return r.ok() ? std::move(r).value() : dsp::StereoAudio{};
}

TEST(ReaderFormats, DecodeBothChannelsInOrderAtTheFileRate) {
    struct FormatCase {
        const char *codec, *ext;  // ffmpeg output options, file extension
        // Lossless: every sample within this. 0: lossy, checked by length and each side's level.
        float tolerance;
        std::string channels = kStereo;
        int rate = 44100;
        float amplitude = 0.5f;
        double rightHz = 660;
    };
    const char* flac = "-c:a flac -sample_fmt s16";
    const FormatCase cases[] = {
        {"-c:a pcm_s16le", "wav", kLsb16},
        {"-c:a pcm_s24le", "wav", kLsb24},
        // Float keeps what lies beyond full scale.
        {"-c:a pcm_f32le", "wav", 1e-6f, "1.5*sin(2*PI*440*t)|1.5*sin(2*PI*660*t)", 44100, 1.5f},
        {"-c:a pcm_s16be", "aiff", kLsb16},
        {flac, "flac", kLsb16},
        {flac, "flac", kLsb16, kStereo, 48000},
        {"-c:a libmp3lame -b:a 192k", "mp3", 0.0f},
        {"-c:a aac -b:a 192k", "m4a", 0.0f},
        {"-c:a libvorbis -q:a 6", "ogg", 0.0f},
        {"-c:a pcm_s16le", "wav", kLsb16, "0.5*sin(2*PI*440*t)", 44100, 0.5f, 440},  // mono
    };
    for (const FormatCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.codec << " " << c.channels << " at " << c.rate);
        TempDir dir;
        // A colon is legal in a Linux file name and must not be taken for a protocol.
        const Path file = dir / (std::string("live: take 2.") + c.ext);
        ASSERT_TRUE(ffmpeg(file, c.codec, c.channels, c.rate));
        const dsp::StereoAudio a = readOk(file);
        const std::size_t n = static_cast<std::size_t>(c.rate);
        EXPECT_EQ(a.sampleRate, c.rate);
        ASSERT_EQ(a.l.size(), a.r.size());
        if (c.tolerance > 0.0f) {
            EXPECT_TRUE(nearlyEqual(a.l, sine(n, 440, c.rate, c.amplitude), c.tolerance));
            EXPECT_TRUE(nearlyEqual(a.r, sine(n, c.rightHz, c.rate, c.amplitude), c.tolerance));
        } else {
            EXPECT_NEAR(static_cast<double>(a.frames()), static_cast<double>(n), 2048.0);
            EXPECT_NEAR(test::powerAt(a.l, 440, kRate), 0.0625, 0.01);
            EXPECT_NEAR(test::powerAt(a.r, 660, kRate), 0.0625, 0.01);
        }
    }
}

// More than two channels are downmixed as FFmpeg's own downmix does: centre and surrounds at
// -3 dB, LFE dropped. A film's or a concert's voice lives in the centre: it must come through.
TEST(ReaderChannels, SurroundIsDownmixedKeepingTheCentre) {
    const double c = M_SQRT1_2;
    struct SurroundCase {
        std::string channels, layout;  // '|'-separated expressions; ffmpeg layout name
        // Expected left and right at sample i (t = i / 44100).
        std::function<double(double)> left, right;
    };
    auto s = [](double a, double hz) {
        return [=](double t) { return a * std::sin(2 * M_PI * hz * t); };
    };
    const SurroundCase cases[] = {
        // The only sound is in the centre.
        {"0|0|0.6*sin(2*PI*440*t)|0|0|0", "5.1", [&](double t) { return c * s(0.6, 440)(t); },
         [&](double t) { return c * s(0.6, 440)(t); }},
        {kStereo + "|0.4*sin(2*PI*880*t)|0.9|0.3*sin(2*PI*1000*t)|-0.2", "5.1",
         [&](double t) { return s(0.5, 440)(t) + c * s(0.4, 880)(t) + c * s(0.3, 1000)(t); },
         [&](double t) { return s(0.5, 660)(t) + c * s(0.4, 880)(t) - c * 0.2; }},
        {kStereo + "|0.9", "2.1", s(0.5, 440), s(0.5, 660)},  // LFE only beyond the pair
    };
    for (const SurroundCase& k : cases) {
        SCOPED_TRACE(k.layout + ": " + k.channels);
        TempDir dir;
        const Path file = dir / "surround.wav";
        ASSERT_TRUE(ffmpeg(file, "-c:a pcm_s16le -channel_layout " + k.layout, k.channels));
        const dsp::StereoAudio a = readOk(file);
        ASSERT_EQ(a.frames(), 44100);
        std::vector<float> l(44100), r(44100);
        for (std::size_t i = 0; i < l.size(); ++i) {
            l[i] = static_cast<float>(k.left(static_cast<double>(i) / kRate));
            r[i] = static_cast<float>(k.right(static_cast<double>(i) / kRate));
        }
        EXPECT_TRUE(nearlyEqual(a.l, l, 4 * kLsb16));
        EXPECT_TRUE(nearlyEqual(a.r, r, 4 * kLsb16));
    }
}

// Joined MP3s of two rates play at the first one: the second half is resampled, not sped up.
TEST(ReaderRates, ARateChangeIsResampledAndAbsurdRatesAreRefused) {
    TempDir dir;
    const std::string mp3 = "-c:a libmp3lame -b:a 192k -write_xing 0";
    ASSERT_TRUE(ffmpeg(dir / "a.mp3", mp3, "0.5*sin(2*PI*440*t)", 44100, 2));
    ASSERT_TRUE(ffmpeg(dir / "b.mp3", mp3, "0.5*sin(2*PI*440*t)", 48000, 2));
    ASSERT_EQ(test::runCommand("cat " + (dir / "a.mp3").string() + " " + (dir / "b.mp3").string() +
                               " > " + (dir / "ab.mp3").string()),
              0);
    const dsp::StereoAudio a = readOk(dir / "ab.mp3");
    EXPECT_EQ(a.sampleRate, 44100.0);
    EXPECT_NEAR(static_cast<double>(a.frames()), 4 * 44100.0, 4096.0);
    const std::span<const float> second = std::span(a.l).subspan(2 * 44100 + 4096, 44100);
    EXPECT_NEAR(test::powerAt(second, 440, kRate), 0.0625, 0.01);
    EXPECT_LT(test::powerAt(second, 440 * 48000.0 / 44100.0, kRate), 0.005);

    // A WAV header is all it takes to claim any rate.
    for (const auto& [rate, text] : {std::pair{1, "Unsupported sample rate (1 Hz)."},
                                     std::pair{800000, "Unsupported sample rate (800000 Hz)."}}) {
        SCOPED_TRACE(rate);
        const Path file = dir / "odd.wav";
        ASSERT_TRUE(ffmpeg(file, "-c:a pcm_s16le", kStereo, 44100, 1));
        std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
        const std::uint32_t r32 = static_cast<std::uint32_t>(rate), bytes = r32 * 4;
        f.seekp(24);  // the fmt chunk's rate, then the byte rate
        f.write(reinterpret_cast<const char*>(&r32), 4);
        f.write(reinterpret_cast<const char*>(&bytes), 4);
        f.close();
        const Result<dsp::StereoAudio> got = readAudio(file);
        ASSERT_FALSE(got.ok());
        EXPECT_EQ(got.error().code, kErrorUnsupportedRate);
        EXPECT_EQ(got.error().description, text);
    }
}

// A file cut short of the length its header states says so; one whose length is only estimated
// from the bit rate, or that is whole, does not.
TEST(ReaderNotes, AFileCutShortOfItsStatedLengthEndsEarly) {
    struct NoteCase {
        const char *ext, *codec;
        bool cut, early;
    };
    const NoteCase cases[] = {
        {"flac", "-c:a flac", true, true},
        {"wav", "-c:a pcm_s16le", true, true},  // its header's data size says 10 s
        {"wav", "-c:a pcm_s24le", false, false},
        {"mp3", "-c:a libmp3lame -b:a 128k", true, true},  // the Xing header counts the frames
        {"mp3", "-c:a libmp3lame -b:a 128k -write_xing 0", true, false},
        {"flac", "-c:a flac", false, false},
        {"m4a", "-c:a aac -b:a 128k", false, false},  // its padding is no early end
    };
    for (const NoteCase& k : cases) {
        SCOPED_TRACE(std::string(k.codec) + (k.cut ? " cut" : ""));
        TempDir dir;
        const Path file = dir / (std::string("song.") + k.ext);
        ASSERT_TRUE(ffmpeg(file, k.codec, kStereo, 44100, 10));
        if (k.cut) std::filesystem::resize_file(file, std::filesystem::file_size(file) / 2);
        ReadNotes notes;
        Result<dsp::StereoAudio> got = readAudio(file, nullptr, &notes);
        ASSERT_TRUE(got.ok()) << got.error().description;
        EXPECT_EQ(notes.endedEarly, k.early);
        EXPECT_EQ(notes.frames, got.value().frames());
        if (k.early) {
            EXPECT_NEAR(static_cast<double>(notes.declaredFrames), 441000.0, 2048.0);
            EXPECT_NEAR(static_cast<double>(notes.frames), 220500.0, 44100.0);
        }
    }
}

// A cut WAV keeps its whole frames; garbage mid-file costs the packets it hits, and most of what
// follows is kept. What comes before the damage decodes exactly as from the intact file.
TEST(ReaderDamage, CutOrCorruptFilesKeepWhatIsIntact) {
    for (const std::string ext : {"wav", "mp3", "flac"}) {
        SCOPED_TRACE(ext);
        TempDir dir;
        const Path file = dir / ("song." + ext);
        ASSERT_TRUE(ffmpeg(file, "", kStereo, 44100, 4));
        std::atomic<bool> cancel{false};
        const dsp::StereoAudio intact = readOk(file, &cancel);
        const auto full = intact.frames();
        const bool cut = ext == "wav";
        if (cut) {  // the data ends the file, 4 bytes a frame: 10000 and half a frame
            std::filesystem::resize_file(file,
                                         std::filesystem::file_size(file) - (full - 10000) * 4 + 2);
        } else {
            std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(static_cast<std::streamoff>(std::filesystem::file_size(file) / 2));
            std::mt19937 rng(99);
            for (int i = 0; i < 3000; ++i) f.put(static_cast<char>(rng() & 0xFF));
            ASSERT_TRUE(f.good());
        }
        const dsp::StereoAudio damaged = readOk(file);
        EXPECT_GE(damaged.frames(), cut ? 10000 : full * 8 / 10 + 1);
        EXPECT_LE(damaged.frames(), cut ? 10000 : full);
        const auto head = static_cast<std::size_t>(cut ? 10000 : full / 4);
        ASSERT_GE(damaged.l.size(), head);
        EXPECT_TRUE(
            nearlyEqual(std::span(damaged.l).first(head), std::span(intact.l).first(head), 0.0f));
        EXPECT_TRUE(
            nearlyEqual(std::span(damaged.r).first(head), std::span(intact.r).first(head), 0.0f));
        cancel = true;
        const Result<dsp::StereoAudio> r = readAudio(file, &cancel);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().domain, kCorvaneDomain);
        EXPECT_EQ(r.error().code, kErrorCancelled);
    }
}

// A chunk claiming nearly 4 GB ends the walk through the header instead of stepping in place.
TEST(ReaderDamage, AChunkSizeNearFourGigabytesEndsTheHeaderWalk) {
    TempDir dir;
    const Path file = dir / "huge-chunk.wav";
    {
        std::ofstream f(file, std::ios::binary);
        f.write("RIFF\x00\x01\x00\x00WAVEjunk\xf8\xff\xff\xff", 20);
        f << std::string(64, '\0');
    }
    EXPECT_FALSE(audio::riffLength(file).has_value());
}

// What the user sees is the description: one line, the system's own words where it has them.
TEST(AudioFileErrors, EachFailureGivesItsOwnOneLineMessage) {
    TempDir dir;
    std::ofstream(dir / "empty.mp3").flush();
    std::ofstream(dir / "notes.mp3") << "Remember to buy milk.\n";
    std::filesystem::create_directory(dir / "album.mp3");
    auto read = [&](const char* name) {
        Result<dsp::StereoAudio> r = readAudio(dir / name);
        return r.ok() ? Error{"none", 0, "decoded " + std::to_string(r.value().frames())}
                      : r.error();
    };
    const std::vector<float> l = test::noise(150'000, 10);
    auto write = [&](const Path& to) { return writeWav(to, l, l, 44100.0).value_or(Error{}); };
    const std::pair<Error, Error> cases[] = {
        // code 0: not checked
        {read("empty.mp3"), {kCorvaneDomain, kErrorEmptyFile, "The file is empty."}},
        {read("notes.mp3"), {"FFmpeg", 0, "The file is not audio that FFmpeg can decode."}},
        {read("gone.mp3"), {"System", ENOENT, "No such file or directory"}},
        {read("album.mp3"), {"System", EISDIR, "Is a directory"}},
        {write(dir / "gone" / "out.wav"), {"System", ENOENT, "No such file or directory"}},
        {write(dir.path()), {"System", EISDIR, "Is a directory"}},
        {write("/dev/full"), {"System", ENOSPC, "No space left on device"}},
    };
    for (const auto& [got, want] : cases) {
        SCOPED_TRACE(want.description);
        EXPECT_EQ(got.domain, want.domain);
        EXPECT_EQ(want.code == 0 ? 0 : got.code, want.code);
        EXPECT_EQ(got.description, want.description);
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "gone")) << "a missing folder is not created";
}

long statusKiB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with(field + ":")) return std::stol(line.substr(field.size() + 1));
    return -1;
}

// Three minutes span many of the reader's blocks and end inside one. The decoded song is the only
// large thing alive at the end; the peak on the way may exceed it by a tenth.
TEST(ReaderMemory, PeakStaysNearOneCopyOfTheSong) {
    if (test::kUnderAddressSanitizer)
        GTEST_SKIP() << "AddressSanitizer's shadow memory and quarantine change the peak";
    TempDir dir;
    const Path file = dir / "three-minutes.wav";
    ASSERT_TRUE(
        ffmpeg(file, "-c:a pcm_s16le", "0.5*sin(2*PI*440*t)|0.25*sin(2*PI*660*t)", 44100, 180));
    {  // also warms up FFmpeg's one-time tables, which are not the decode's to pay for
        const dsp::StereoAudio a = readOk(file);
        EXPECT_TRUE(nearlyEqual(a.l, sine(180 * 44100, 440, kRate), kLsb16));
        EXPECT_TRUE(nearlyEqual(a.r, sine(180 * 44100, 660, kRate, 0.25f), kLsb16));
    }
    if (!(std::ofstream("/proc/self/clear_refs") << "5" << std::flush))
        GTEST_SKIP() << "cannot reset the peak (no /proc/self/clear_refs)";
    const long before = statusKiB("VmRSS");
    // Near the resident size means the reset worked (reading /proc moves it by a few pages).
    ASSERT_LE(statusKiB("VmHWM"), before + 1024);
    const dsp::StereoAudio a = readOk(file);
    const double grew = static_cast<double>(statusKiB("VmHWM") - before);
    const double songKiB = static_cast<double>(a.frames()) * 2 * sizeof(float) / 1024.0;
    RecordProperty("peak_ratio", std::to_string(grew / songKiB));
    EXPECT_LE(grew / songKiB, 1.1) << "peak grew by " << grew << " KiB for " << songKiB << " KiB";
}

TEST(WavWriterSamples, RoundTripWithin24BitsThenClipOverTheLongerFile) {
    TempDir dir;
    const auto file = dir / "take.wav";
    const dsp::StereoAudio in = test::noiseStereo(200'000, 7, 48000.0);
    ASSERT_FALSE(writeWav(file, in.l, in.r, in.sampleRate));
    dsp::StereoAudio out = readOk(file);
    EXPECT_EQ(out.sampleRate, 48000.0);
    EXPECT_TRUE(nearlyEqual(out.l, in.l, kLsb24));
    EXPECT_TRUE(nearlyEqual(out.r, in.r, kLsb24));

    constexpr float kTop = 8388607.0f / 8388608.0f;  // the largest positive 24-bit sample
    const std::vector<float> l = {1.5f, -2.0f, 0.25f, NAN, INFINITY, -INFINITY, 1.0f};
    const std::vector<float> expected = {kTop, -1.0f, 0.25f, 0.0f, kTop, -1.0f, kTop};
    // Reversed on the right, so a clip done on one channel only would show.
    const std::vector<float> r(l.rbegin(), l.rend()), expectedR(expected.rbegin(), expected.rend());
    ASSERT_FALSE(writeWav(file, l, r, 44100.0));
    out = readOk(file);
    EXPECT_TRUE(nearlyEqual(out.l, expected, kLsb24));
    EXPECT_TRUE(nearlyEqual(out.r, expectedR, kLsb24));
}

TEST(WavWriterFormat, FullChunksThenTheRestAsFfprobeSeesThem) {
    const std::vector<std::tuple<int, int, std::vector<std::int64_t>>> cases = {
        {150'000, 44100, {65'536, 65'536, 18'928}},
        {65'537, 96000, {65'536, 1}},
        {65'536, 22050, {65'536}},
        {0, 48000, {}}};  // no frames must still give a file that readers accept
    TempDir dir;
    for (const auto& [frames, rate, expected] : cases) {
        SCOPED_TRACE(frames);
        // The longer right channel shows that exactly l.size() frames are written.
        const std::vector<float> l = test::noise(frames, 5), r = test::noise(frames + 500, 6);
        std::vector<std::int64_t> chunks;
        const WriteOptions options{[&](std::int64_t n) { chunks.push_back(n); }};
        ASSERT_FALSE(writeWav(dir / "out.wav", l, r, rate, options));
        EXPECT_EQ(chunks, expected);
        // Codec, rate, channels and frames; ffprobe knows no duration for a file without frames.
        const std::string probe =
            "ffprobe -v error -select_streams a:0 -show_entries stream=codec_name,channels,"
            "sample_rate,duration_ts -of csv=p=0 '" +
            (dir / "out.wav").string() + "'";
        std::string fields;
        ASSERT_EQ(test::runCommand(probe, &fields), 0) << probe;
        EXPECT_EQ(fields, "pcm_s24le," + std::to_string(rate) + ",2," +
                              (frames > 0 ? std::to_string(frames) : "N/A") + "\n");
    }
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
