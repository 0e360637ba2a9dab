// SPDX-License-Identifier: GPL-3.0-or-later
// End to end through a real sound server: the model plays a song through SDL into a PulseAudio
// null sink, and the sink's monitor is recorded. With the vocals muted the recording must be
// drums + bass + other, sample for sample; slowed or pitched, a tone must last and sound as set.
// scripts/test starts the server (scripts/audio-server) and names its sink in CORVANE_TEST_SINK;
// without it the test is skipped.
#include <sys/resource.h>

#include <QProcess>
#include <cstring>

#include "ModelTestSupport.h"

using namespace corvane;
using namespace corvane::test;

namespace {

// Records the test sink's monitor while `play` runs and the model plays to the end.
std::vector<float> recordWhilePlaying(model::StudioModel& m, const char* sink) {
    QProcess parec;  // records the sink's monitor as raw float stereo
    parec.start("parec", {QStringLiteral("--device=%1.monitor").arg(sink), "--format=float32le",
                          "--rate=48000", "--channels=2", "--raw", "--latency-msec=10"});
    EXPECT_TRUE(parec.waitForStarted());
    QTest::qWait(500);  // parec connects
    m.play();
    EXPECT_TRUE(m.isPlaying()) << m.status().toStdString();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !m.isPlaying(); }, 20000));
    QTest::qWait(300);
    parec.terminate();
    parec.waitForFinished();
    const QByteArray bytes = parec.readAllStandardOutput();
    std::vector<float> recorded(static_cast<std::size_t>(bytes.size()) / sizeof(float));
    std::memcpy(recorded.data(), bytes.constData(), recorded.size() * sizeof(float));
    return recorded;
}

}  // namespace

TEST(PlaybackThroughPulseAudio, HalfTempoLastsTwiceAsLongAtThePitchAndAnOctaveUpDoublesIt) {
    const char* sink = std::getenv("CORVANE_TEST_SINK");
    if (!sink) GTEST_SKIP() << "no test sound server (scripts/test starts one)";
    setpriority(PRIO_PROCESS, 0, -10);  // as in the test below
    TempDir dir;
    model::StudioModel m;
    dsp::StereoAudio tone;
    tone.sampleRate = 48000.0;
    tone.l = sine(2 * 48000, 440.0, 48000.0);
    tone.r = tone.l;
    ASSERT_TRUE(loadAndWait(m, writeSong(dir, "tone.wav", tone)));
    const std::tuple<playback::Stretch, double, double> cases[] = {{{0.5, 0.0}, 4.0, 440.0},
                                                                   {{1.0, 12.0}, 2.0, 880.0}};
    for (const auto& [stretch, seconds, hz] : cases) {
        SCOPED_TRACE(hz);
        m.setStretch(stretch);
        const std::vector<float> recorded = recordWhilePlaying(m, sink);
        // The tone is where the left channel is loud; silence around it.
        std::vector<float> heard;
        for (std::size_t i = 0; i < recorded.size(); i += 2) heard.push_back(recorded[i]);
        std::size_t first = 0;
        std::size_t last = heard.size();
        while (first < heard.size() && std::abs(heard[first]) < 0.05f) ++first;
        while (last > first && std::abs(heard[last - 1]) < 0.05f) --last;
        EXPECT_NEAR(static_cast<double>(last - first) / 48000.0, seconds, 0.1 * seconds);
        ASSERT_GT(last - first, 48000u);
        const std::span<const float> middle(heard.data() + first + (last - first) / 4,
                                            (last - first) / 2);
        int crossings = 0;
        for (std::size_t i = 1; i < middle.size(); ++i)
            crossings += (middle[i - 1] < 0.0f) != (middle[i] < 0.0f);
        EXPECT_NEAR(crossings / 2.0 / (static_cast<double>(middle.size()) / 48000.0), hz,
                    0.02 * hz);
    }
}

TEST(PlaybackThroughPulseAudio, MutedVocalsAreNotHeardAndTheRestIsExact) {
    const char* sink = std::getenv("CORVANE_TEST_SINK");
    if (!sink) GTEST_SKIP() << "no test sound server (scripts/test starts one)";
    // Ahead of whatever else the machine runs, as a desktop's player usually is; SDL's audio
    // thread and parec inherit it. Without the right to, it runs as it is.
    setpriority(PRIO_PROCESS, 0, -10);
    TempDir dir;
    model::StudioModel m;  // the real SDL output
    // At the sink's rate: nothing is resampled on the way.
    ASSERT_TRUE(loadAndWait(m, writeSong(dir, "song.wav", demo::makeDemoSong(4.0, 48000.0))));
    setStrips(m, {{1, 0, 1}});

    const std::vector<float> recorded = recordWhilePlaying(m, sink);
    const auto recordedFrames = static_cast<std::int64_t>(recorded.size() / 2);

    const std::int64_t frames = m.totalFrames();
    const auto stem = [&](int s, std::int64_t k, int c) {
        return c == 0 ? m.stems()[s]->l[k] : m.stems()[s]->r[k];
    };
    // What the engine sums for gains 0, 1, 1, 1, in its order.
    const auto expected = [&](std::int64_t k, int c) {
        return ((0.0f + stem(1, k, c)) + stem(2, k, c)) + stem(3, k, c);
    };

    // The song in pieces of 0.1 s, each found in the recording by its first 64 frames and then
    // matched sample for sample. On a machine busy elsewhere the sound server can drop a buffer
    // of its own (the recording then jumps); a piece that straddles such a gap is not found and
    // is counted, never an inexact one. The first and last buffers, where streams open and
    // close, are left out.
    constexpr std::int64_t kPiece = 4800, kMargin = 4096, kKey = 64;
    int pieces = 0, matched = 0;
    double vocalsEnergy = 0.0;
    auto searchFrom = recorded.begin();
    for (std::int64_t at = kMargin; at + kPiece <= frames - kMargin; at += kPiece) {
        ++pieces;
        std::vector<float> key;
        for (std::int64_t k = at; k < at + kKey; ++k)
            key.insert(key.end(), {expected(k, 0), expected(k, 1)});
        const auto found = std::search(searchFrom, recorded.end(), key.begin(), key.end());
        if (found == recorded.end() || (found - recorded.begin()) % 2 != 0) continue;
        const std::int64_t offset = (found - recorded.begin()) / 2 - at;
        if (at + kPiece + offset > recordedFrames) continue;
        bool exact = true;
        for (std::int64_t k = at; k < at + kPiece && exact; ++k)
            for (int c = 0; c < 2; ++c)
                exact = exact && recorded[2 * (k + offset) + c] == expected(k, c);
        if (!exact) continue;  // a dropped buffer inside the piece
        ++matched;
        searchFrom = found;
        for (std::int64_t k = at; k < at + kPiece; ++k)
            for (int c = 0; c < 2; ++c) vocalsEnergy += double{stem(0, k, c)} * stem(0, k, c);
    }
    // Every piece found is exact by construction; most must be found (all of them, on a quiet
    // machine), and they must hold the vocals that were left out.
    EXPECT_GE(matched * 4, pieces * 3) << matched << " of " << pieces << " pieces heard exactly ("
                                       << recordedFrames << " frames recorded)";
    EXPECT_GT(vocalsEnergy, 0.5);
}
