// SPDX-License-Identifier: GPL-3.0-or-later
// End to end through a real sound server: the model plays a song through SDL into a PulseAudio
// null sink, and the sink's monitor is recorded. With the vocals muted the recording must be
// drums + bass + other, sample for sample; slowed or pitched, a tone must last and sound as set.
// scripts/test starts the server (scripts/audio-server) and names its sink in CORVANE_TEST_SINK;
// without it the test is skipped.
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
    TempDir dir;
    model::StudioModel m;
    dsp::StereoAudio tone;
    tone.sampleRate = 48000.0;
    tone.l = sine(2 * 48000, 440.0, 48000.0);
    tone.r = tone.l;
    ASSERT_TRUE(loadAndWait(m, writeSong(dir, "tone.wav", tone)));
    const std::tuple<audio::Stretch, double, double> cases[] = {{{0.5, 0.0}, 4.0, 440.0},
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

    // Align on a stretch from the middle of the song, matched exactly.
    std::vector<float> stretch;
    for (std::int64_t k = frames / 2; k < frames / 2 + 64; ++k)
        stretch.insert(stretch.end(), {expected(k, 0), expected(k, 1)});
    const auto found =
        std::search(recorded.begin(), recorded.end(), stretch.begin(), stretch.end());
    const std::int64_t offset = (found - recorded.begin()) / 2 - frames / 2;
    ASSERT_TRUE(found != recorded.end() && offset >= 0)
        << "the played song was not found in the recording (" << recordedFrames
        << " frames recorded)";

    // Skip the first and the last buffer, where streams open and close.
    const std::int64_t margin = 4096;
    const std::int64_t end = std::min(frames, recordedFrames - offset) - margin;
    ASSERT_GT(end, frames / 2);
    double vocalsEnergy = 0.0;
    for (std::int64_t k = margin; k < end; ++k) {
        for (int c = 0; c < 2; ++c) {
            ASSERT_EQ(recorded[2 * (k + offset) + c], expected(k, c))
                << "frame " << k << " ch " << c;
            vocalsEnergy += double{stem(0, k, c)} * stem(0, k, c);
        }
    }
    EXPECT_GT(vocalsEnergy, 1.0);  // there were vocals to leave out
}
