// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <new>
#include <thread>

#include "OfflinePlayer.h"
#include "TestSupport.h"
#include "playback/OfflineAudioDevice.h"
#include "playback/PlaybackEngine.h"
#include "playback/SdlAudioDevice.h"

using namespace corvane;
using namespace corvane::playback;

// Counts heap allocations and frees made by the thread that set t_counting: the render path runs
// on the test's thread with the offline device, while the feeder may set up a stream meanwhile.
namespace {
thread_local bool t_counting = false;
std::atomic<int> g_allocations{0};
}  // namespace

void* operator new(std::size_t size) {
    if (t_counting) ++g_allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    if (t_counting) ++g_allocations;
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

namespace {

// Stem s holds (s + 1) * 1000 + frame in the left channel and its negation in the right, so
// every output sample says which stems and frames went into it.
std::shared_ptr<const dsp::StemData> markedStem(int s, std::size_t frames) {
    auto stem = std::make_shared<dsp::StemData>();
    for (std::size_t i = 0; i < frames; ++i) {
        stem->l.push_back(static_cast<float>((s + 1) * 1000 + static_cast<int>(i)));
        stem->r.push_back(-stem->l.back());
    }
    return stem;
}

// An engine running on an offline device at 48 kHz, with four marked stems to play.
struct Rig : OfflinePlayer {
    explicit Rig(std::int64_t length) : frames(length) {
        for (int s = 0; s < 4; ++s) stems[s] = markedStem(s, static_cast<std::size_t>(frames));
    }
    void playAll(std::int64_t from, std::int64_t at) {
        for (int s = 0; s < 4; ++s) engine.schedule(s, stems[s], from, frames);
        engine.startAll(at);
    }
    std::int64_t frames;
    std::array<std::shared_ptr<const dsp::StemData>, 4> stems;
};

float expectedLeft(const std::array<float, 4>& gains, std::int64_t frame) {
    float sum = 0.0f;
    for (int s = 0; s < 4; ++s) sum += static_cast<float>((s + 1) * 1000 + frame) * gains[s];
    return sum;
}

}  // namespace

TEST(PlaybackEngine, SourcesStartTogetherAtTheGivenDeviceFrameAndRenderNeverAllocates) {
    Rig rig(4000);
    rig.device->render(300);  // the clock has moved on before anything is scheduled
    const std::int64_t at = rig.engine.deviceFrame() + 1000;
    rig.playAll(250, at);
    EXPECT_EQ(rig.engine.sourceTime(0), -1000);  // before the start the clock is negative
    const auto out = rig.device->render(3000, 256);
    for (int i = 0; i < 3000; ++i) {
        const std::int64_t device = 300 + i;
        const float want = device < at ? 0.0f : expectedLeft({1, 1, 1, 1}, 250 + (device - at));
        ASSERT_EQ(out[2 * i], want) << "device frame " << device;
        ASSERT_EQ(out[2 * i + 1], -want) << "device frame " << device;
    }
    EXPECT_EQ(rig.engine.sourceTime(0), 3300 - at);
    // The bare real-time path, still playing, ramping a gain and wrapping at a loop (with its
    // crossfade) several times, with the click on and counting in, neither allocates nor frees.
    std::vector<float> block(2 * 512);
    auto beats = std::make_shared<ClickBeats>();
    for (std::int64_t f = 0; f < 4000; f += 300) beats->push_back({f, f % 1200 == 0});
    rig.engine.setClickBeats(beats);
    rig.engine.setClickMuted(false);
    rig.engine.setCountIn({rig.engine.deviceFrame(), 100.0, 8, 4});
    rig.engine.setGain(2, 0.3f);
    rig.engine.setLoop({1000, 2600, true});
    g_allocations = 0;
    t_counting = true;
    for (int i = 0; i < 3; ++i) rig.device->renderInto(block.data(), 512);
    t_counting = false;
    EXPECT_EQ(g_allocations.load(), 0);
    EXPECT_NE(block[0], 0.0f);
}

TEST(PlaybackEngine, GainChangesRampOverTenMillisecondsThenHoldStopFadesOutAndRescheduleMoves) {
    Rig rig(2000);
    rig.playAll(0, 0);
    rig.device->render(500, 500);
    rig.engine.setGain(1, 0.5f);
    rig.engine.setGain(0, 0.0f);
    constexpr int kRamp = 480;  // 10 ms at 48 kHz
    auto out = rig.device->render(800, 100);
    for (int i = 0; i < 800; ++i) {
        const float t = std::min(1.0f, static_cast<float>(i + 1) / kRamp);
        const std::array<float, 4> gains = {1.0f - t, 1.0f - 0.5f * t, 1, 1};
        if (i >= kRamp - 1)  // landed: exactly the new gains
            ASSERT_EQ(out[2 * i], expectedLeft({0, 0.5f, 1, 1}, 500 + i)) << i;
        else
            ASSERT_NEAR(out[2 * i], expectedLeft(gains, 500 + i), 0.01f) << i;
    }
    rig.engine.stopAll();
    EXPECT_FALSE(rig.engine.sourceTime(0).has_value());
    // A stop fades what plays out over 5 ms, never a click, then silence.
    const std::vector<float> fade = rig.device->render(240);
    for (int i = 1; i < 240; ++i)
        ASSERT_LT(std::abs(fade[2 * i]), std::abs(fade[2 * i - 2]) + 0.5f);
    EXPECT_LT(std::abs(fade[2 * 239]), 0.01f * expectedLeft({0, 0.5f, 1, 1}, 1539));
    EXPECT_TRUE(test::nearlyEqual(rig.device->render(100), std::vector<float>(200, 0.0f), 0.0f));
    rig.engine.setGain(2, 0.25f);  // not sounding: taken at once, no ramp from the old gain
    rig.engine.schedule(2, rig.stems[2], 1990, 2000);  // only the bass, from frame 1990
    rig.engine.startAll(rig.engine.deviceFrame());
    out = rig.device->render(20, 7);
    for (int i = 0; i < 20; ++i)  // ten frames, then silence once played out
        ASSERT_EQ(out[2 * i], i < 10 ? static_cast<float>(3000 + 1990 + i) * 0.25f : 0.0f) << i;
}

TEST(PlaybackEngine, MutingAFullScaleSineNeverStepsFurtherThanTheSineItself) {
    constexpr std::int64_t kFrames = 48000;
    auto sine = std::make_shared<dsp::StemData>();
    for (std::int64_t i = 0; i < kFrames; ++i) {
        sine->l.push_back(static_cast<float>(std::sin(2.0 * M_PI * 440.0 * i / 48000.0)));
        sine->r.push_back(-sine->l.back());
    }
    float sineStep = 0.0f;
    for (std::size_t i = 1; i < sine->l.size(); ++i)
        sineStep = std::max(sineStep, std::abs(sine->l[i] - sine->l[i - 1]));

    Rig rig(10);
    rig.engine.schedule(0, sine, 0, kFrames);
    rig.engine.startAll(0);
    std::vector<float> out;
    // Mute and unmute at block edges and inside blocks, at leisure and mid-ramp.
    const std::pair<int, float> steps[] = {{1000, 0}, {3000, 1}, {200, 0}, {150, 1},
                                           {333, 0},  {5000, 1}, {100, 0}, {700, 1}};
    for (const auto& [frames, gain] : steps) {
        const auto block = rig.device->render(frames, 128);
        out.insert(out.end(), block.begin(), block.end());
        rig.engine.setGain(0, gain);
    }
    const auto rest = rig.device->render(2000, 128);
    out.insert(out.end(), rest.begin(), rest.end());
    for (std::size_t i = 2; i < out.size(); i += 2)
        ASSERT_LE(std::abs(out[i] - out[i - 2]), sineStep + 1e-6f) << "frame " << i / 2;
}

TEST(PlaybackEngine, RenderingOnItsOwnThreadWhileTheMainThreadReschedulesIsSafe) {
    // Run under ThreadSanitizer: the hand-over of voices, gains and the clock must be race-free,
    // and stems must outlive every block that reads them.
    Rig rig(20000);
    std::atomic<bool> running{true};
    std::thread audio([&] {
        std::vector<float> block(2 * 256);
        while (running.load()) rig.device->renderInto(block.data(), 256);
    });
    for (int round = 0; round < 300; ++round) {
        auto fresh = markedStem(round % 4, 5000);  // the only owner but the engine
        rig.engine.schedule(round % 4, std::move(fresh), round, 5000);
        rig.engine.setGain(round % 4, static_cast<float>(round % 3) * 0.5f);
        rig.engine.startAll(rig.engine.deviceFrame());
        rig.engine.setLoop({round, round + 700 + round % 5 * 500, round % 3 != 0});
        if (round % 7 == 0) rig.engine.stopAll();
        (void)rig.engine.sourceTime(round % 4);
        (void)rig.engine.songFrame();
    }
    running = false;
    audio.join();
    EXPECT_GT(rig.engine.deviceFrame(), 0);
}

TEST(PlaybackEngine, ADeviceThatWillNotOpenIsReportedInOneLine) {
    auto refusal = [](std::unique_ptr<AudioDevice> device) {
        PlaybackEngine engine(std::move(device));
        const std::optional<Error> error = engine.start(44100.0);
        EXPECT_FALSE(engine.isRunning());
        return error.value_or(Error{}).description;
    };
    const std::string alsa = "ALSA: Couldn't open audio device: No such file or directory";
    EXPECT_EQ(refusal(std::make_unique<OfflineAudioDevice>(Error{"SDL", 0, alsa})), alsa);
    setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
    EXPECT_EQ(refusal(std::make_unique<SdlAudioDevice>()), "No sound output was found.");
    unsetenv("SDL_AUDIODRIVER");
}

TEST(SdlAudioDevice, PlaysExactlyWhatTheEngineRendered) {
    // SDL's disk driver runs the real SDL path and writes what the callback produced to a file.
    test::TempDir dir;
    const auto file = dir / "out.raw";
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", file.c_str(), 1);
    setenv("SDL_DISKAUDIODELAY", "0", 1);
    {
        PlaybackEngine engine(std::make_unique<SdlAudioDevice>());
        engine.schedule(0, markedStem(0, 20000), 0, 20000);
        engine.startAll(4096);
        const auto error = engine.start(48000.0);
        ASSERT_FALSE(error.has_value()) << error->description;
        for (int i = 0; i < 1000 && engine.deviceFrame() < 30000; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    unsetenv("SDL_AUDIODRIVER");
    std::vector<float> out(std::filesystem::file_size(file) / sizeof(float));
    std::ifstream(file, std::ios::binary)
        .read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(4 * out.size()));
    // While the device is still paused, right after opening, SDL writes silence of its own; the
    // engine's output follows it.
    std::size_t lead = 0;
    while (lead < out.size() / 2 && out[2 * lead] == 0.0f) ++lead;
    ASSERT_GE(lead, 4096u);
    const std::size_t first = lead - 4096;  // where the engine's device frame 0 landed
    ASSERT_GE(out.size(), 2 * (first + 24096));
    for (std::size_t i = 0; i < 24096; ++i) {
        const float want = i < 4096 ? 0.0f : static_cast<float>(1000 + (i - 4096));
        ASSERT_EQ(out[2 * (first + i)], want) << "frame " << i;
        ASSERT_EQ(out[2 * (first + i) + 1], -want) << "frame " << i;
    }
}

namespace {

// Renders stretched output as fast as the feeder prepares it (never faster, which a real device
// would hear as underruns), until it has played out or `limit` frames were rendered.
std::vector<float> renderWhenReady(Rig& rig, std::int64_t limit) {
    std::vector<float> out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (static_cast<std::int64_t>(out.size() / 2) < limit &&
           std::chrono::steady_clock::now() < deadline) {
        if (rig.engine.bufferedFrames() < 512 && !rig.engine.stretchedToTheEnd()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        if (rig.engine.stretchedToTheEnd() && rig.engine.bufferedFrames() == 0) break;
        const auto block = rig.device->render(512, 512);
        out.insert(out.end(), block.begin(), block.end());
    }
    return out;
}

std::vector<float> leftOf(const std::vector<float>& interleaved) {
    std::vector<float> l;
    for (std::size_t i = 0; i < interleaved.size(); i += 2) l.push_back(interleaved[i]);
    return l;
}

}  // namespace

TEST(PlaybackEngine, StretchedTempoKeepsThePitchAndPitchKeepsTheTempoWithTheSongClockInStep) {
    // A 440 Hz tone of one second, through Rubber Band's real-time mode at each setting.
    struct Case {
        playback::Stretch stretch;
        double seconds;  // about, out of the device
        double hz;       // the tone heard
    };
    const Case cases[] = {
        {{0.5, 0.0}, 2.0, 440.0}, {{1.0, 12.0}, 1.0, 880.0}, {{1.5, -12.0}, 2.0 / 3.0, 220.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stretch.tempo);
        Rig rig(10);
        auto tone = std::make_shared<dsp::StemData>();
        tone->l = test::sine(48000, 440.0, 48000.0);
        tone->r = tone->l;
        rig.engine.setStretch(c.stretch);
        rig.engine.schedule(0, tone, 0, 48000);
        rig.engine.startAll(0);
        const std::vector<float> out = leftOf(renderWhenReady(rig, 5 * 48000));
        ASSERT_TRUE(rig.engine.stretchedToTheEnd());
        // Played out: the song clock stands at the end.
        EXPECT_EQ(rig.engine.stretchedSongFrame(), 48000);
        const double heardSeconds = static_cast<double>(out.size()) / 48000.0;
        EXPECT_NEAR(heardSeconds, c.seconds, 0.05 * c.seconds + 0.03);
        // The middle of the output, where the stretcher has settled: its frequency by zero
        // crossings (a phase vocoder's tone wanders by a fraction of a per cent), and no jumps.
        const std::span<const float> middle(out.data() + out.size() / 4, out.size() / 2);
        int crossings = 0;
        for (std::size_t i = 1; i < middle.size(); ++i)
            crossings += (middle[i - 1] < 0.0f) != (middle[i] < 0.0f);
        const double hz = crossings / 2.0 / (static_cast<double>(middle.size()) / 48000.0);
        EXPECT_NEAR(hz, c.hz, 0.02 * c.hz);
        EXPECT_GT(test::peakAbs(middle), 0.4f);
    }
}

TEST(PlaybackEngine, StretchedRenderingAndCrossfadesNeverAllocateAndTheClockFollowsTheSong) {
    Rig rig(96000);
    rig.engine.setStretch({0.75, 2.0});
    rig.playAll(0, 0);
    renderWhenReady(rig, 24000);
    const std::int64_t heard = rig.engine.stretchedSongFrame().value_or(-1);
    // 24000 device frames at 75 % are 18000 song frames, give or take a block.
    EXPECT_NEAR(static_cast<double>(heard), 18000.0, 600.0);
    auto renderCounted = [&](int blocks, bool stretched = true) {
        while (stretched && rig.engine.bufferedFrames() < 2048)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::vector<float> block(2 * 512);
        g_allocations = 0;
        t_counting = true;
        for (int i = 0; i < blocks; ++i) rig.device->renderInto(block.data(), 512);
        t_counting = false;
        EXPECT_EQ(g_allocations.load(), 0);
        return block;
    };
    EXPECT_GT(test::peakAbs(renderCounted(3)), 0.0f);
    // A seek while stretched, then a step back to 100 %: the render side keeps what it heard,
    // then crossfades, without allocating.
    const std::array<std::shared_ptr<const dsp::StemData>, 4> stems = rig.stems;
    rig.engine.playAll(stems, 40000, 96000, rig.engine.deviceFrame(), true);
    renderCounted(4);
    rig.engine.setStretch({});
    rig.engine.playAll(stems, 50000, 96000, rig.engine.deviceFrame(), true);
    renderCounted(4, false);
}
