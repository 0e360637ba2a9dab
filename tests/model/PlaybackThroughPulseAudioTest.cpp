// SPDX-License-Identifier: GPL-3.0-or-later
// End to end through a real sound server: the model plays a song with the vocals muted through
// SDL into a PulseAudio null sink, and what the sink's monitor records must be drums + bass +
// other, sample for sample. scripts/test starts the server (scripts/audio-server) and names its
// sink in CORVANE_TEST_SINK; without it the test is skipped.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "ModelTestSupport.h"
#include "demo/DemoSong.h"

using namespace corvane;
using namespace corvane::model;
using namespace corvane::test;

namespace {

constexpr double kRate = 48000.0;  // the sink's rate: nothing is resampled on the way

// parec recording the sink's monitor as raw float stereo into a file, until stopped.
class Recorder {
public:
    Recorder(const std::string& sink, const std::filesystem::path& file) {
        m_pid = fork();
        if (m_pid == 0) {
            const std::string device = "--device=" + sink + ".monitor";
            const std::string out = file.string();
            execlp("parec", "parec", device.c_str(), "--format=float32le", "--rate=48000",
                   "--channels=2", "--raw", "--latency-msec=10", out.c_str(), nullptr);
            _exit(127);
        }
    }
    ~Recorder() { stop(); }
    void stop() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
    bool started() const { return m_pid > 0; }

private:
    pid_t m_pid = -1;
};

std::vector<float> readFloats(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    std::vector<float> out(bytes.size() / sizeof(float));
    std::memcpy(out.data(), bytes.data(), out.size() * sizeof(float));
    return out;
}

}  // namespace

TEST(PlaybackThroughPulseAudio, MutedVocalsAreNotHeardAndTheRestIsExact) {
    const char* sink = std::getenv("CORVANE_TEST_SINK");
    if (!sink) GTEST_SKIP() << "no test sound server (scripts/test starts one)";

    TempDir dir;
    const QString song = writeSong(dir, "song.wav", demo::makeDemoSong(4.0, kRate));
    StudioModel m;  // the real SDL output
    ASSERT_TRUE(loadAndWait(m, song));
    Strip vocals = m.strips()[0];
    vocals.mute = true;
    m.setStrip(0, vocals);
    m.applyGains();

    const auto capture = dir / "capture.raw";
    Recorder recorder(sink, capture);
    ASSERT_TRUE(recorder.started());
    waitUntil([] { return false; }, std::chrono::milliseconds(500));  // parec connects
    m.play();
    ASSERT_TRUE(m.isPlaying()) << m.status().toStdString();
    ASSERT_TRUE(waitUntil([&] { return !m.isPlaying(); }, std::chrono::seconds(15)));
    waitUntil([] { return false; }, std::chrono::milliseconds(300));
    recorder.stop();

    const std::vector<float> recorded = readFloats(capture);
    const std::int64_t frames = m.totalFrames();
    // What the engine sums for gains 0, 1, 1, 1, in its order.
    std::vector<float> expected(2 * static_cast<std::size_t>(frames));
    for (std::int64_t k = 0; k < frames; ++k) {
        for (int c = 0; c < 2; ++c) {
            auto at = [&](int s) { return c == 0 ? m.stems()[s]->l[k] : m.stems()[s]->r[k]; };
            expected[2 * k + c] = ((0.0f + at(1)) + at(2)) + at(3);
        }
    }

    // Align on a stretch from the middle of the song, matched exactly.
    const std::int64_t probe = frames / 2;
    const std::int64_t recordedFrames = static_cast<std::int64_t>(recorded.size() / 2);
    std::int64_t offset = -1;
    for (std::int64_t o = 0; o + 64 <= recordedFrames && offset < 0; ++o) {
        bool match = true;
        for (std::int64_t j = 0; j < 64 && match; ++j)
            match = recorded[2 * (o + j)] == expected[2 * (probe + j)];
        if (match) offset = o - probe;
    }
    ASSERT_GE(offset, 0) << "the played song was not found in the recording (" << recordedFrames
                         << " frames recorded)";

    // Skip the first and the last buffer, where streams open and close.
    const std::int64_t margin = 4096;
    const std::int64_t end = std::min(frames, recordedFrames - offset) - margin;
    ASSERT_GT(end, frames / 2);
    double vocalsEnergy = 0.0;
    double leftover = 0.0;
    for (std::int64_t k = margin; k < end; ++k) {
        for (int c = 0; c < 2; ++c) {
            const float got = recorded[2 * (k + offset) + c];
            ASSERT_EQ(got, expected[2 * k + c]) << "frame " << k << " channel " << c;
            const float v = c == 0 ? m.stems()[0]->l[k] : m.stems()[0]->r[k];
            vocalsEnergy += double{v} * v;
            leftover += double{got - expected[2 * k + c]} * (got - expected[2 * k + c]);
        }
    }
    EXPECT_GT(vocalsEnergy, 1.0);  // there were vocals to leave out
    EXPECT_EQ(leftover, 0.0);
}
