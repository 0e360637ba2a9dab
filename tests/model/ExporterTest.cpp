// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>
#include <cstring>
#include <fstream>
#include <iterator>

#include "TestSupport.h"
#include "audio/AudioFileWriter.h"
#include "dsp/common/Mix.h"
#include "model/Exporter.h"

using namespace corvane;
using namespace corvane::model;
using namespace corvane::test;

namespace {

constexpr double kRate = 44100.0;
constexpr std::size_t kChunk = 65536;  // the writer's transfer size, which the exporter mixes in

std::shared_ptr<const dsp::StemData> noiseStem(std::size_t frames, std::uint32_t seed) {
    return std::make_shared<const dsp::StemData>(
        dsp::StemData{noise(frames, seed, 0.9f), noise(frames, seed + 1, 0.9f)});
}

// Four noise stems; at these gains their sum goes well past full scale.
ExportJob::File mixOf(std::size_t frames, std::vector<float> gains) {
    ExportJob::File file;
    for (std::uint32_t s = 0; s < 4; ++s) file.stems.push_back(noiseStem(frames, 10 * s + 1));
    file.gains = std::move(gains);
    return file;
}

// The mix as it was made before chunking: two whole-song buffers, each stem added whole.
dsp::StemData wholeMix(const ExportJob::File& file, std::size_t frames) {
    dsp::StemData mix{std::vector<float>(frames, 0.0f), std::vector<float>(frames, 0.0f)};
    for (std::size_t i = 0; i < file.stems.size(); ++i) {
        if (file.gains[i] == 0.0f) continue;
        dsp::addGained(mix.l, std::span(file.stems[i]->l).first(frames), file.gains[i]);
        dsp::addGained(mix.r, std::span(file.stems[i]->r).first(frames), file.gains[i]);
    }
    return mix;
}

// Index of the first float whose bits differ, or -1.
std::ptrdiff_t firstBitDifference(std::span<const float> a, std::span<const float> b) {
    if (a.size() != b.size()) return static_cast<std::ptrdiff_t>(std::min(a.size(), b.size()));
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0) return static_cast<std::ptrdiff_t>(i);
    return -1;
}

// Runs `job` on `exporter` to its outcome; `onProgress` is called on every progress change.
QString runToEnd(Exporter& exporter, ExportJob job,
                 const std::function<void(double)>& onProgress = {}) {
    QString outcome = QStringLiteral("(none)");
    QObject::connect(&exporter, &Exporter::finished,
                     [&](const QString& status) { outcome = status; });
    QObject::connect(&exporter, &Exporter::progressChanged, [&] {
        if (onProgress && exporter.isBusy()) onProgress(exporter.progress());
    });
    EXPECT_TRUE(exporter.start(std::move(job)));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !exporter.isBusy(); }, 60000));
    QObject::disconnect(&exporter, nullptr, nullptr, nullptr);
    return outcome;
}

}  // namespace

// Mixed a chunk at a time, the mix is the whole-song mix to the bit: any chunk size, a length
// that is no multiple of it, silent stems left out, sums past full scale kept for the writer.
TEST(ExportMix, ChunkByChunkIsTheWholeSongMixToTheBit) {
    const std::size_t frames = 2 * kChunk + 1234;
    const std::vector<float> gainSets[] = {{1, 1, 1, 1}, {0, 1.5f, 0.5f, 1.2f}, {0, 0, 0, 0}};
    for (const auto& gains : gainSets) {
        const ExportJob::File file = mixOf(frames, gains);
        const dsp::StemData whole = wholeMix(file, frames);
        for (const std::size_t chunk : {kChunk, std::size_t{1000}, std::size_t{7}, frames}) {
            SCOPED_TRACE(testing::Message() << "gains " << gains[1] << ", chunk " << chunk);
            std::vector<float> l(frames, NAN), r(frames, NAN);  // overwritten, never added to
            for (std::size_t start = 0; start < frames; start += chunk) {
                const std::size_t n = std::min(chunk, frames - start);
                mixFrames(file, start, std::span(l).subspan(start, n),
                          std::span(r).subspan(start, n));
            }
            EXPECT_EQ(firstBitDifference(l, whole.l), -1);
            EXPECT_EQ(firstBitDifference(r, whole.r), -1);
        }
    }
    EXPECT_GT(peakAbs(wholeMix(mixOf(frames, {1, 1, 1, 1}), frames).l), 1.5f);
}

// The exported file is byte for byte the whole-song mix written whole, clipping included, and a
// raw stem is the stem itself.
TEST(ExportMix, TheFileIsTheWholeSongMixWrittenWhole) {
    TempDir dir;
    const std::size_t frames = 3 * kChunk + 1;
    const ExportJob::File mix = mixOf(frames, {1.0f, 0.7f, 0.0f, 1.3f});
    const dsp::StemData whole = wholeMix(mix, frames);
    const std::pair<const char*, const dsp::StemData*> cases[] = {
        {"mix.wav", &whole}, {"stem.flac", mix.stems[1].get()}};
    for (const auto& [name, expected] : cases) {
        SCOPED_TRACE(name);
        ExportJob job;
        job.files.push_back(mix);
        job.files[0].path = dir / name;
        if (expected != &whole) {
            job.files[0].stems = {mix.stems[1]};
            job.files[0].gains.clear();
        }
        job.frames = static_cast<std::int64_t>(frames);
        job.sampleRate = kRate;
        job.success = QStringLiteral("done");
        Exporter exporter;
        EXPECT_EQ(runToEnd(exporter, std::move(job)), "done");
        const std::filesystem::path reference = dir / (std::string("reference.") + name);
        ASSERT_FALSE(
            audio::writeAudio(reference, expected->l, expected->r, kRate,
                              {std::string(name).ends_with(".flac") ? audio::AudioFormat::flac
                                                                    : audio::AudioFormat::wav24}));
        const std::string written = fileContents(dir / name);
        EXPECT_GT(written.size(), 6 * frames / 2);
        EXPECT_TRUE(written == fileContents(reference));
    }
}

// A cancel that lands while the work is under way (mixing, stretching, writing, or between two
// files) leaves no file and no hidden part, and a file it would have replaced stays as it was.
TEST(ExportMix, ACancelMidExportLeavesNoFile) {
    TempDir dir;
    const std::size_t frames = static_cast<std::size_t>(300 * kRate);  // 5 minutes
    const auto stem = noiseStem(frames, 7);
    const auto shortStem = noiseStem(static_cast<std::size_t>(20 * kRate), 9);
    auto file = [&](const std::string& name, bool mixed, playback::Stretch stretch = {}) {
        ExportJob::File f{dir / name, {stem, stem, stem, stem}, {1, 0.5f, 0, 0.25f}, stretch};
        if (!mixed) f = {dir / name, {stem}, {}, {}};
        if (!stretch.isIdentity()) f.stems.assign(4, shortStem);
        return f;
    };
    { std::ofstream(dir / "kept.wav") << "an older file"; }
    struct Case {
        const char* what;
        std::vector<ExportJob::File> files;
        double cancelAt;  // progress from which the cancel is sent
        std::size_t frames;
    };
    const Case cases[] = {
        {"mix", {file("mix.wav", true)}, 0.0, frames},
        {"replacing a file", {file("kept.wav", true)}, 0.0, frames},
        {"stretched mix", {file("slow.wav", true, {0.8, 2.0})}, 0.0, shortStem->l.size()},
        {"second of two stems", {file("a.wav", false), file("b.wav", false)}, 0.55, frames},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ExportJob job;
        job.files = c.files;
        job.frames = static_cast<std::int64_t>(c.frames);
        job.sampleRate = kRate;
        job.success = QStringLiteral("done");
        Exporter exporter;
        double cancelledAt = -1.0;
        const QString outcome = runToEnd(exporter, std::move(job), [&](double progress) {
            if (progress <= c.cancelAt || cancelledAt >= 0.0) return;
            cancelledAt = progress;
            exporter.cancel();
        });
        EXPECT_EQ(outcome, "Export cancelled.");
        EXPECT_GT(cancelledAt, c.cancelAt);
        std::vector<std::string> left;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            left.push_back(entry.path().filename().string());
        EXPECT_EQ(left, std::vector<std::string>{"kept.wav"});
        EXPECT_EQ(fileContents(dir / "kept.wav"), "an older file");
    }
}

// Progress rises to exactly 1 and never past it, for a mix at another tempo too (its file is
// longer than the song).
TEST(ExportMix, ProgressRisesToOneAndNoFurther) {
    TempDir dir;
    const std::size_t frames = static_cast<std::size_t>(3 * kRate);
    for (const double tempo : {1.0, 0.5}) {
        SCOPED_TRACE(tempo);
        ExportJob job;
        job.files.push_back(mixOf(frames, {0.2f, 0.2f, 0.2f, 0.2f}));
        job.files[0].path = dir / "mix.wav";
        job.files[0].stretch = {tempo, 0.0};
        job.frames = static_cast<std::int64_t>(frames);
        job.sampleRate = kRate;
        Exporter exporter;
        std::vector<double> seen;
        QObject::connect(&exporter, &Exporter::progressChanged,
                         [&] { seen.push_back(exporter.progress()); });
        runToEnd(exporter, std::move(job));
        ASSERT_GT(seen.size(), 2u);
        EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
        EXPECT_LE(*std::max_element(seen.begin(), seen.end()), 1.0);
        EXPECT_EQ(seen.back(), 1.0);
    }
}
