// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cmath>
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

using test::nearlyEqual;
using test::sine;
using test::TempDir;
using Path = std::filesystem::path;

constexpr double kRate = 44100.0;
constexpr float kLsb16 = 1.0f / 32768.0f;
constexpr float kLsb24 = 1.0f / 8388608.0f;

// Left 440 Hz, right 660 Hz: different content per channel shows a swap.
const std::string kStereo = "0.5*sin(2*PI*440*t)|0.5*sin(2*PI*660*t)";
const std::string kMono = "0.5*sin(2*PI*440*t)";

// ffmpeg input options for a generated source: '|'-separated channel expressions.
std::string source(const std::string& channels, int rate = 44100, int seconds = 1) {
    return "-f lavfi -i 'aevalsrc=" + channels + ":s=" + std::to_string(rate) +
           ":d=" + std::to_string(seconds) + "' ";
}

std::string quoted(const Path& p) { return "'" + p.string() + "'"; }

// Runs ffmpeg quietly, overwriting its output.
::testing::AssertionResult ffmpeg(const std::string& args) {
    const std::string command = "ffmpeg -nostdin -loglevel error -y " + args;
    if (test::runCommand(command) == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "failed: " << command;
}

std::string randomBytes(std::size_t n) {
    std::mt19937 rng(99);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng() & 0xFF);
    return s;
}

// Overwrites bytes at `offset`, the file keeping its length.
void overwrite(const Path& file, std::size_t offset, const std::string& bytes) {
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(offset));
    EXPECT_TRUE(f.write(bytes.data(), static_cast<std::streamsize>(bytes.size())).good()) << file;
}

Result<dsp::StereoAudio> readOk(const Path& file) {
    Result<dsp::StereoAudio> r = readAudio(file);
    EXPECT_TRUE(r.ok()) << file << ": " << (r.ok() ? "" : r.error().description);
    return r;
}

struct FormatCase {
    const char* name;
    const char* codec;  // ffmpeg output options
    const char* ext;
    // Lossless: every sample within this. 0: lossy, checked by length and each side's tone level.
    float tolerance;
    std::string channels = kStereo;
    int rate = 44100;
    float amplitude = 0.5f;
    double rightHz = 660;
};

const std::string kFlac16 = "-c:a flac -sample_fmt s16";
// Channels 2..5 loud and different: a downmix or a wrong pick would show.
const std::string kSix = kStereo + "|0.9|-0.9|0.7*sin(2*PI*100*t)|0.3";

TEST(ReaderFormats, DecodeBothChannelsInOrderAtTheFileRate) {
    const std::vector<FormatCase> cases = {
        {"Wav16", "-c:a pcm_s16le", "wav", kLsb16},
        {"Wav24", "-c:a pcm_s24le", "wav", kLsb24},
        // Float keeps what lies beyond full scale.
        {"WavFloat", "-c:a pcm_f32le", "wav", 1e-6f, "1.5*sin(2*PI*440*t)|1.5*sin(2*PI*660*t)",
         44100, 1.5f},
        {"Aiff16", "-c:a pcm_s16be", "aiff", kLsb16},
        {"Flac16", kFlac16.c_str(), "flac", kLsb16},
        {"Flac24", "-c:a flac -sample_fmt s32", "flac", kLsb24},
        {"Mp3", "-c:a libmp3lame -b:a 192k", "mp3", 0.0f},
        {"M4aAac", "-c:a aac -b:a 192k", "m4a", 0.0f},
        {"OggVorbis", "-c:a libvorbis -q:a 6", "ogg", 0.0f},
        // Its decoder holds back the last frames until told the input ended.
        {"Wma", "-c:a wmav2 -b:a 128k", "wma", 0.0f},
        {"Mono", "-c:a pcm_s16le", "wav", kLsb16, kMono, 44100, 0.5f, 440},
        {"SixWav", "-c:a pcm_s16le", "wav", kLsb16, kSix},
        {"SixFlac", kFlac16.c_str(), "flac", kLsb16, kSix},
        {"Rate22050", kFlac16.c_str(), "flac", kLsb16, kStereo, 22050},
        {"Rate48000", kFlac16.c_str(), "flac", kLsb16, kStereo, 48000},
        {"Rate96000", kFlac16.c_str(), "flac", kLsb16, kStereo, 96000},
    };
    for (const FormatCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        // A colon is legal in a Linux file name and must not be taken for a protocol.
        const Path file = dir / (std::string("live: take 2.") + c.ext);
        ASSERT_TRUE(ffmpeg(source(c.channels, c.rate) + c.codec + " " + quoted(file)));
        Result<dsp::StereoAudio> r = readOk(file);
        if (!r.ok()) continue;
        const dsp::StereoAudio& a = r.value();
        const std::size_t n = static_cast<std::size_t>(c.rate);
        EXPECT_EQ(a.sampleRate, c.rate);
        ASSERT_EQ(a.l.size(), a.r.size());
        if (c.tolerance > 0.0f) {
            EXPECT_TRUE(nearlyEqual(a.l, sine(n, 440, c.rate, c.amplitude), c.tolerance));
            EXPECT_TRUE(nearlyEqual(a.r, sine(n, c.rightHz, c.rate, c.amplitude), c.tolerance));
            if (c.rightHz == 440) {
                EXPECT_TRUE(nearlyEqual(a.r, a.l, 0.0f)) << "mono is copied to both";
            }
        } else {
            EXPECT_NEAR(static_cast<double>(a.frames()), static_cast<double>(n), 2048.0);
            EXPECT_NEAR(test::powerAt(a.l, 440, kRate), 0.0625, 0.01);
            EXPECT_NEAR(test::powerAt(a.r, 660, kRate), 0.0625, 0.01);
        }
    }
}

// Joined MP3s switch channel count part-way: the mono part belongs in both channels, the stereo
// part keeps its sides, and the two stay aligned.
TEST(ReaderChannels, StreamSwitchingBetweenMonoAndStereoKeepsBothParts) {
    TempDir dir;
    const std::string mp3 = " -c:a libmp3lame -write_xing 0 -id3v2_version 0 ";
    ASSERT_TRUE(ffmpeg(source(kMono) + mp3 + quoted(dir / "m.mp3")));
    ASSERT_TRUE(ffmpeg(source(kStereo) + mp3 + quoted(dir / "s.mp3")));
    for (const std::string order : {"m.mp3 s.mp3", "s.mp3 m.mp3"}) {
        SCOPED_TRACE(order);
        ASSERT_EQ(test::runCommand("cd " + quoted(dir.path()) + " && cat " + order + ">j.mp3"), 0);
        Result<dsp::StereoAudio> r = readOk(dir / "j.mp3");
        ASSERT_TRUE(r.ok());
        const dsp::StereoAudio& a = r.value();
        ASSERT_NEAR(static_cast<double>(a.frames()), 2.0 * kRate, 4096.0);
        // The middle half of each part, away from the join.
        const std::size_t q = a.l.size() / 4;
        for (std::size_t part : {0, 1}) {
            const bool mono = (order[0] == 'm') == (part == 0);
            SCOPED_TRACE(mono ? "mono part" : "stereo part");
            auto mid = [&](const auto& x) { return std::span(x).subspan(2 * q * part + q / 2, q); };
            EXPECT_NEAR(test::powerAt(mid(a.l), 440, kRate), 0.0625, 0.01);
            EXPECT_NEAR(test::powerAt(mid(a.r), mono ? 440 : 660, kRate), 0.0625, 0.01);
        }
    }
}

TEST(ReaderDamage, TruncatedWavKeepsTheFramesThatAreThere) {
    TempDir dir;
    const Path file = dir / "cut.wav";
    ASSERT_TRUE(ffmpeg(source(kStereo) + "-c:a pcm_s16le " + quoted(file)));
    // The data ends the file, 4 bytes a frame: keep 10000 frames and half of the next.
    const auto header = std::filesystem::file_size(file) - 44100 * 4;
    std::filesystem::resize_file(file, header + 10000 * 4 + 2);
    Result<dsp::StereoAudio> r = readOk(file);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(nearlyEqual(r.value().l, sine(10000, 440, kRate), kLsb16));
    EXPECT_TRUE(nearlyEqual(r.value().r, sine(10000, 660, kRate), kLsb16));
}

// Garbage mid-file costs the packets it hits; what comes before decodes exactly as from the
// intact file, and most of what follows is kept.
TEST(ReaderDamage, CorruptDataMidFileIsSkippedAndTheRestKept) {
    for (const char* ext : {"mp3", "flac"}) {
        SCOPED_TRACE(ext);
        TempDir dir;
        const Path file = dir / (std::string("song.") + ext);
        ASSERT_TRUE(ffmpeg(source(kStereo, 44100, 4) + quoted(file)));
        Result<dsp::StereoAudio> intact = readOk(file);
        overwrite(file, std::filesystem::file_size(file) / 2, randomBytes(3000));
        Result<dsp::StereoAudio> damaged = readOk(file);
        ASSERT_TRUE(intact.ok() && damaged.ok());
        const auto full = intact.value().frames();
        EXPECT_GT(damaged.value().frames(), full * 8 / 10);
        EXPECT_LE(damaged.value().frames(), full);
        const auto head = static_cast<std::size_t>(full / 4);
        EXPECT_TRUE(nearlyEqual(std::span(damaged.value().l).first(head),
                                std::span(intact.value().l).first(head), 0.0f));
    }
}

struct ErrorCase {
    const char* file;
    std::function<void(const Path&)> make;  // none: the path stays missing
    const char* domain;
    int code;  // 0: not checked
    const char* description;
};

TEST(ReaderErrors, EachBadInputGivesItsOwnOneLineMessage) {
    const char* notAudio = "The file is not audio that FFmpeg can decode.";
    auto bytes = [](std::string b) { return [b](const Path& p) { std::ofstream(p) << b; }; };
    auto encoded = [](std::string args) {
        return [args](const Path& p) { EXPECT_TRUE(ffmpeg(args + quoted(p))); };
    };
    const std::vector<ErrorCase> cases = {
        {"empty.mp3", bytes(""), kCorvaneDomain, kErrorEmptyFile, "The file is empty."},
        {"none.wav", encoded("-f lavfi -i anullsrc -t 0 -c:a pcm_s16le "), kCorvaneDomain,
         kErrorEmptyFile, "The file is empty."},
        {"notes.mp3", bytes("Remember to buy milk.\n"), "FFmpeg", 0, notAudio},
        {"noise.flac", bytes(randomBytes(5000)), "FFmpeg", 0, notAudio},
        {"clip.mkv", encoded("-f lavfi -i color=c=red:s=32x32:d=0.2 -c:v ffv1 "), "FFmpeg", 0,
         "The file holds no audio stream."},
        {"odd.wav",
         [](const Path& p) {
             // The codec tag opens the fmt chunk, which follows the RIFF header.
             EXPECT_TRUE(ffmpeg(source(kStereo) + "-bitexact -c:a pcm_s16le " + quoted(p)));
             overwrite(p, 20, "\x34\x12");
         },
         "FFmpeg", 0, "No decoder for this file's audio codec (unknown)."},
        {"gone.mp3", nullptr, "System", ENOENT, "No such file or directory"},
        {"album.mp3", [](const Path& p) { std::filesystem::create_directory(p); }, "System", EISDIR,
         "Is a directory"},
    };
    TempDir dir;
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(c.file);
        if (c.make) c.make(dir / c.file);
        Result<dsp::StereoAudio> r = readAudio(dir / c.file);
        if (r.ok()) {
            ADD_FAILURE() << "decoded " << r.value().frames() << " frames";
            continue;
        }
        EXPECT_EQ(r.error().domain, c.domain);
        EXPECT_EQ(c.code == 0 ? 0 : r.error().code, c.code);
        EXPECT_EQ(r.error().description, c.description);
    }
}

TEST(ReaderThreads, ConcurrentReadsGiveTheSameSamplesAsOneAtATime) {
    TempDir dir;
    const std::vector<std::string> names = {"a.mp3", "b.flac", "c.ogg", "d.wav"};
    std::vector<std::vector<float>> alone, together(names.size() * 3);
    for (const auto& n : names) {
        ASSERT_TRUE(ffmpeg(source(kStereo) + quoted(dir / n)));
        alone.push_back(std::move(readOk(dir / n).value().l));
    }
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < together.size(); ++i)
        threads.emplace_back([&, i] {
            Result<dsp::StereoAudio> r = readAudio(dir / names[i % names.size()]);
            if (r.ok()) together[i] = std::move(r.value().l);
        });
    for (auto& t : threads) t.join();
    for (std::size_t i = 0; i < together.size(); ++i)
        EXPECT_TRUE(nearlyEqual(together[i], alone[i % names.size()], 0.0f))
            << names[i % names.size()];
}

long statusKiB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    return -1;
}

// Three minutes span many of the reader's blocks and end inside one. The decoded song is the only
// large thing alive at the end; the peak on the way may exceed it by a tenth.
TEST(ReaderMemory, PeakStaysNearOneCopyOfTheSong) {
    TempDir dir;
    const Path file = dir / "three-minutes.wav";
    const std::string tones = "0.5*sin(2*PI*440*t)|0.25*sin(2*PI*660*t)";
    ASSERT_TRUE(ffmpeg(source(tones, 44100, 180) + "-c:a pcm_s16le " + quoted(file)));
    {  // also warms up FFmpeg's one-time tables, which are not the decode's to pay for
        Result<dsp::StereoAudio> r = readOk(file);
        ASSERT_TRUE(r.ok());
        EXPECT_TRUE(nearlyEqual(r.value().l, sine(180 * 44100, 440, kRate), kLsb16));
        EXPECT_TRUE(nearlyEqual(r.value().r, sine(180 * 44100, 660, kRate, 0.25f), kLsb16));
    }
    {
        std::ofstream clear("/proc/self/clear_refs");
        clear << "5" << std::flush;
        if (!clear.good()) GTEST_SKIP() << "cannot reset the peak (no /proc/self/clear_refs)";
    }
    const long before = statusKiB("VmRSS");
    // Near the resident size means the reset worked (reading /proc moves it by a few pages).
    ASSERT_LE(statusKiB("VmHWM"), before + 1024);
    Result<dsp::StereoAudio> r = readOk(file);
    ASSERT_TRUE(r.ok());
    const long peak = statusKiB("VmHWM");
    const double songKiB = static_cast<double>(r.value().frames()) * 2 * sizeof(float) / 1024.0;
    const double ratio = static_cast<double>(peak - before) / songKiB;
    RecordProperty("peak_ratio", std::to_string(ratio));
    EXPECT_LE(ratio, 1.1) << "peak grew by " << (peak - before) << " KiB for " << songKiB << " KiB";
}

}  // namespace

TEST(ReaderCancel, ACancelledReadStopsWithItsOwnError) {
    TempDir dir;
    const Path file = dir / "song.flac";
    ASSERT_TRUE(ffmpeg(source(kStereo) + quoted(file)));
    std::atomic<bool> cancel{true};
    auto read = readAudio(file, &cancel);
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error().domain, "Corvane");
    EXPECT_EQ(read.error().code, kErrorCancelled);
    cancel = false;
    EXPECT_TRUE(readAudio(file, &cancel).ok());
}

}  // namespace corvane::audio
