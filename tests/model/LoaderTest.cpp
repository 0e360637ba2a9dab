// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QTest>
#include <fstream>
#include <utility>

#include "TestSupport.h"
#include "audio/AudioFileReader.h"
#include "audio/AudioFileWriter.h"
#include "demo/DemoSong.h"
#include "model/Loader.h"

using namespace corvane;
using namespace corvane::model;
using namespace corvane::test;

namespace {

// Everything a Loader said, in order: "progress", "failed: <reason>", "finished <frames>".
struct Heard {
    std::vector<std::string> events;
    std::vector<double> progress;
    std::vector<LoadResult> results;

    explicit Heard(Loader& loader) {
        QObject::connect(&loader, &Loader::progressed, [this](double f) {
            events.push_back("progress");
            progress.push_back(f);
        });
        QObject::connect(&loader, &Loader::failed, [this](const QString& why) {
            events.push_back("failed: " + why.toStdString());
        });
        QObject::connect(&loader, &Loader::finished, [this](const LoadResult& r) {
            events.push_back("finished " + std::to_string(r.song.frames));
            results.push_back(r);
        });
    }
    // The events other than progress.
    std::vector<std::string> outcomes() const {
        std::vector<std::string> out;
        for (const std::string& e : events)
            if (e != "progress") out.push_back(e);
        return out;
    }
};

std::filesystem::path writeSong(const TempDir& dir, const std::string& name, double seconds) {
    const dsp::StereoAudio song = demo::makeDemoSong(seconds);
    EXPECT_FALSE(audio::writeWav(dir / name, song.l, song.r, song.sampleRate));
    return dir / name;
}

bool waitIdle(const Loader& loader) {
    return QTest::qWaitFor([&] { return !loader.isBusy(); }, 20000);
}

// The largest difference between the stems' sum and `song` on the left channel.
float sumError(const LoadResult& result, std::span<const float> song) {
    float worst = 0.0f;
    for (std::size_t k = 0; k < song.size(); ++k) {
        float sum = 0.0f;
        for (const auto& stem : result.song.stems) sum += stem->l[k];
        worst = std::max(worst, std::abs(sum - song[k]));
    }
    return worst;
}

}  // namespace

// A file is decoded, separated into four stems that sum back to it, and given its peaks, with
// progress up to 1 first; separating the result again with the other method does the same from
// the stems alone.
TEST(Loader, LoadsAFileAndSeparatesASongAgain) {
    TempDir dir;
    Loader loader;
    Heard heard(loader);
    loader.load(writeSong(dir, "song.wav", 1.5), dsp::SeparationMethod::standard);
    EXPECT_TRUE(loader.isBusy());
    ASSERT_TRUE(waitIdle(loader));
    ASSERT_EQ(heard.outcomes(), std::vector<std::string>{"finished 66150"});
    EXPECT_EQ(heard.events.back(), "finished 66150");  // no progress after the outcome
    const LoadResult first = heard.results[0];
    EXPECT_EQ(std::tuple(first.song.sampleRate, first.song.stems.size(), first.peaks.size(),
                         first.method, first.notice),
              std::tuple(44100.0, 4ul, 4ul, dsp::SeparationMethod::standard, QString()));
    for (int s = 0; s < 4; ++s)
        EXPECT_EQ(std::tuple(first.song.stems[s]->l.size(), first.peaks[s].size()),
                  std::tuple(66150ul, 600ul));
    ASSERT_GE(heard.progress.size(), 3u);
    EXPECT_LE(*std::max_element(heard.progress.begin(), heard.progress.end()), 1.0);
    auto decoded = audio::readAudio(dir / "song.wav");
    ASSERT_TRUE(decoded.ok());
    EXPECT_LT(sumError(first, decoded.value().l), 1e-4f);

    heard.events.clear();
    heard.results.clear();
    loader.separate(first.song, dsp::SeparationMethod::refined);
    ASSERT_TRUE(waitIdle(loader));
    ASSERT_EQ(heard.outcomes(), std::vector<std::string>{"finished 66150"});
    const LoadResult again = heard.results.back();
    EXPECT_EQ(again.method, dsp::SeparationMethod::refined);
    EXPECT_NE(again.song.stems[0]->l, first.song.stems[0]->l);
    EXPECT_LT(sumError(again, decoded.value().l), 2e-4f);
}

// Each failure is reported once, with its reason, and nothing else follows.
TEST(Loader, FailuresComeWithTheirReason) {
    TempDir dir;
    { std::ofstream(dir / "notes.mp3") << "these are not sounds"; }
    const std::pair<std::string, std::string> cases[] = {
        {"missing.flac", "No such file or directory"},
        {"notes.mp3", "The file is not audio that FFmpeg can decode."},
        {".", "Is a directory"}};
    for (const auto& [name, reason] : cases) {
        Loader loader;
        Heard heard(loader);
        loader.load(dir / name, dsp::SeparationMethod::standard);
        ASSERT_TRUE(waitIdle(loader));
        QTest::qWait(20);
        EXPECT_EQ(heard.events, std::vector<std::string>{"failed: " + reason}) << name;
    }
}

// Loads `song` with the address space limited to 40 MB above what the process has, and exits 0
// if the load failed with that reason and nothing else.
[[noreturn]] static void loadWithLittleMemory(const std::filesystem::path& song) {
    std::ifstream status("/proc/self/status");
    rlim_t used = 0;
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmSize:", 0) == 0) used = std::stoull(line.substr(7)) * 1024;
    const rlimit limit{used + (40u << 20), used + (40u << 20)};
    setrlimit(RLIMIT_AS, &limit);
    Loader loader;
    Heard heard(loader);
    loader.load(song, dsp::SeparationMethod::standard);
    waitIdle(loader);
    std::exit(heard.outcomes() == std::vector<std::string>{"failed: Cannot allocate memory"} ? 0
                                                                                             : 1);
}

// A song needing more memory than the process may have fails like a bad file, with the reason,
// instead of ending the program and the studio with it.
TEST(LoaderDeathTest, ASongLargerThanTheMemoryLeftFailsWithTheReason) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' shadow memory does not fit an address-space limit";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempDir dir;
    const auto song = writeSong(dir, "long.wav", 60.0);  // stems of 85 MB
    EXPECT_EXIT(loadWithLittleMemory(song), ::testing::ExitedWithCode(0), "");
}

// A newer load, or a cancel, drops the older load: none of its progress or results is ever
// reported, even where it would have ended later, and the loader can go during a load.
TEST(Loader, ASupersededLoadDropsItsResults) {
    TempDir dir;
    const auto slow = writeSong(dir, "slow.wav", 40.0);
    const auto fast = writeSong(dir, "fast.wav", 0.5);
    Loader loader;
    Heard heard(loader);

    loader.load(slow, dsp::SeparationMethod::standard);
    loader.load(fast, dsp::SeparationMethod::standard);
    ASSERT_TRUE(waitIdle(loader));
    loader.load(dir / "missing.wav", dsp::SeparationMethod::standard);
    loader.load(fast, dsp::SeparationMethod::refined);
    ASSERT_TRUE(waitIdle(loader));
    QTest::qWait(1500);  // the slow load's time: nothing of it may land
    EXPECT_EQ(heard.outcomes(), (std::vector<std::string>{"finished 22050", "finished 22050"}));
    EXPECT_EQ(heard.results.back().method, dsp::SeparationMethod::refined);

    // Cancelled from its first progress report, so the load is surely mid-way however fast
    // the machine; the reports already queued behind that one must be dropped too.
    heard.events.clear();
    bool cancelled = false;
    const auto cancelOnce = QObject::connect(&loader, &Loader::progressed, [&] {
        if (!std::exchange(cancelled, true)) loader.cancel();
    });
    loader.load(slow, dsp::SeparationMethod::standard);
    ASSERT_TRUE(QTest::qWaitFor([&] { return cancelled; }, 20000));
    EXPECT_FALSE(loader.isBusy());
    QTest::qWait(1500);
    EXPECT_EQ(heard.events, std::vector<std::string>{"progress"});
    QObject::disconnect(cancelOnce);

    auto going = std::make_unique<Loader>();
    going->load(slow, dsp::SeparationMethod::standard);
    going.reset();  // cancels and joins; nothing is delivered afterwards
    QTest::qWait(50);
}
