// SPDX-License-Identifier: GPL-3.0-or-later
// One song's pipeline in process: a write that fails at block k, a decoder that fails mid-song
// and a cancel all leave the older files as they were and no temporary behind.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <set>
#include <thread>

#include "TestSupport.h"
#include "analysis/MapFormats.h"
#include "analysis/SongMapAnalyser.h"
#include "audio/AudioFileReader.h"
#include "audio/AudioWriter.h"
#include "cli/StemJob.h"
#include "dsp/Separator.h"

namespace corvane::cli {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

// `frames` of stereo noise, handed out in the decoder's chunks; fails at read `failAt` if given.
class NoiseSource : public SongSource {
public:
    NoiseSource(std::int64_t frames, int failAt = -1)
        : m_song(test::noiseStereo(static_cast<std::size_t>(frames), 3)), m_failAt(failAt) {}
    double sampleRate() const override { return 44100.0; }
    audio::Result<std::int64_t> read(std::int64_t maxFrames, std::vector<float>& l,
                                     std::vector<float>& r) override {
        if (m_reads++ == m_failAt) return audio::Error{"FFmpeg", 1, "Invalid data found"};
        const std::int64_t n = std::min(maxFrames, m_song.frames() - m_at);
        l.insert(l.end(), m_song.l.begin() + m_at, m_song.l.begin() + m_at + n);
        r.insert(r.end(), m_song.r.begin() + m_at, m_song.r.begin() + m_at + n);
        m_at += n;
        return n;
    }
    std::int64_t declaredFrames() const override { return m_song.frames(); }
    std::string note() const override { return {}; }
    const dsp::StereoAudio& song() const { return m_song; }

private:
    dsp::StereoAudio m_song;
    int m_failAt;
    int m_reads = 0;
    std::int64_t m_at = 0;
};

// AudioWriter that fails its `failAt`-th write with a full disk.
class FailingOutput : public StemOutput {
public:
    FailingOutput(std::unique_ptr<audio::AudioWriter> writer, int failAt)
        : m_writer(std::move(writer)), m_failAt(failAt) {}
    std::optional<audio::Error> write(std::span<const float> l, std::span<const float> r) override {
        if (m_writes++ == m_failAt) return audio::systemError(ENOSPC);
        return m_writer->write(l, r);
    }
    std::optional<audio::Error> close() override { return m_writer->close(); }

private:
    std::unique_ptr<audio::AudioWriter> m_writer;
    int m_failAt;
    int m_writes = 0;
};

std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.insert(e.path().filename().string());
    return names;
}

std::vector<PlannedOutput> outputsIn(const fs::path& folder) {
    return {{folder / "s - Vocals.wav", dsp::StemKind::vocals},
            {folder / "s - Instrumental.wav", std::nullopt},
            {folder / "s - Map.json", std::nullopt, true}};
}

TEST(StemJob, AFailureAtAnyBlockOrACancelLeavesTheOlderFilesAndNoTemporary) {
    const TempDir dir;
    std::ofstream(dir / "s - Vocals.wav") << "an older take";
    const std::set<std::string> before = namesIn(dir.path());
    const std::int64_t frames = 20 * 65536;  // four separator blocks

    struct Case {
        const char* what;
        int readFailAt, writeFailAt, cancelAt;  // -1: never
        const char* error;
    };
    const Case cases[] = {
        {"write fails at the first block", -1, 0, -1, "s - Vocals.wav: No space left on device"},
        {"write fails at block 2", -1, 2, -1, "s - Vocals.wav: No space left on device"},
        {"decoder fails mid-song", 5, -1, -1, "Couldn't read that file: Invalid data found"},
        {"cancel mid-song", -1, -1, 2, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        NoiseSource source(frames, c.readFailAt);
        std::atomic<bool> cancel{false};
        int progressCalls = 0;
        StemJobSettings settings;
        settings.workers = 2;
        settings.cancel = &cancel;
        settings.progress = [&](double) {
            if (++progressCalls == c.cancelAt) cancel = true;
        };
        settings.openOutput =
            [&](int fd, double rate,
                const audio::EncodeSettings& encode) -> audio::Result<std::unique_ptr<StemOutput>> {
            auto writer = audio::AudioWriter::open(fd, rate, encode);
            if (!writer) return writer.error();
            return std::unique_ptr<StemOutput>(
                new FailingOutput(std::move(writer).value(), c.writeFailAt));
        };
        const SongOutcome outcome = separateSource(source, outputsIn(dir.path()), settings);
        if (c.cancelAt >= 0) {
            EXPECT_EQ(outcome.status, SongOutcome::Status::cancelled);
        } else {
            EXPECT_EQ(outcome.status, SongOutcome::Status::failed);
            EXPECT_NE(outcome.error.find(c.error), std::string::npos) << outcome.error;
        }
        EXPECT_EQ(namesIn(dir.path()), before);
    }

    // And whole: the vocals are the separator's, the instrumental the other three summed, the map
    // the one the whole song's stems give (read block by block as they passed).
    NoiseSource source(frames);
    StemJobSettings settings;
    settings.encode.format = audio::AudioFormat::f32;
    settings.workers = 2;
    const SongOutcome outcome = separateSource(source, outputsIn(dir.path()), settings);
    ASSERT_EQ(outcome.status, SongOutcome::Status::done) << outcome.error;
    EXPECT_DOUBLE_EQ(outcome.audioSeconds, static_cast<double>(frames) / 44100.0);
    const auto stems = dsp::Separator::separate(source.song(), nullptr);
    auto vocals = audio::readAudio(dir / "s - Vocals.wav");
    auto instrumental = audio::readAudio(dir / "s - Instrumental.wav");
    ASSERT_TRUE(vocals && instrumental);
    EXPECT_TRUE(test::nearlyEqual(vocals.value().l, stems[0].l, 0.0f));
    std::vector<float> rest(stems[1].r);
    for (std::size_t i = 0; i < rest.size(); ++i) rest[i] = rest[i] + stems[2].r[i] + stems[3].r[i];
    EXPECT_TRUE(test::nearlyEqual(instrumental.value().r, rest, 0.0f));
    const std::string json = test::fileContents(dir / "s - Map.json");
    const auto map = analysis::SongMapAnalyser::analyseStems(stems, 44100.0);
    ASSERT_TRUE(map);
    EXPECT_EQ(json, analysis::toJson(*map));
    EXPECT_TRUE(std::holds_alternative<analysis::SongMap>(analysis::fromJson(json)));
}

}  // namespace
}  // namespace corvane::cli
