// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <thread>

#include "TestSupport.h"
#include "audio/OfflineAudioDevice.h"
#include "audio/PlaybackEngine.h"
#include "audio/SdlAudioDevice.h"

using namespace corvane;
using namespace corvane::audio;

// Counts heap allocations made while g_counting is set, on any thread.
namespace {
std::atomic<bool> g_counting{false};
std::atomic<int> g_allocations{0};
}  // namespace

void* operator new(std::size_t size) {
    if (g_counting.load(std::memory_order_relaxed)) ++g_allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    if (g_counting.load(std::memory_order_relaxed)) ++g_allocations;
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

namespace {

// Stem s holds (s + 1) * 1000 + frame in the left channel and its negation in the right, so
// every output sample says which stems and frames went into it.
std::shared_ptr<const dsp::StemData> markedStem(int s, std::size_t frames) {
    auto stem = std::make_shared<dsp::StemData>();
    for (std::size_t i = 0; i < frames; ++i) {
        const float v = static_cast<float>((s + 1) * 1000 + static_cast<int>(i));
        stem->l.push_back(v);
        stem->r.push_back(-v);
    }
    return stem;
}

struct Rig {
    OfflineAudioDevice* device;
    std::unique_ptr<PlaybackEngine> engine;
    std::array<std::shared_ptr<const dsp::StemData>, 4> stems;
};

Rig makeRig(std::size_t frames = 4000) {
    auto device = std::make_unique<OfflineAudioDevice>();
    Rig rig{device.get(), std::make_unique<PlaybackEngine>(std::move(device)), {}};
    for (int s = 0; s < 4; ++s) rig.stems[static_cast<std::size_t>(s)] = markedStem(s, frames);
    EXPECT_FALSE(rig.engine->start(48000.0).has_value());
    return rig;
}

float expectedLeft(const std::array<float, 4>& gains, std::int64_t frame) {
    float sum = 0.0f;
    for (int s = 0; s < 4; ++s)
        sum += static_cast<float>((s + 1) * 1000 + frame) * gains[static_cast<std::size_t>(s)];
    return sum;
}

}  // namespace

TEST(PlaybackEngine, SourcesStartTogetherAtTheGivenDeviceFrame) {
    Rig rig = makeRig();
    rig.device->render(300);  // the clock has moved on before anything is scheduled
    const std::int64_t at = rig.engine->deviceFrame() + 1000;
    for (int s = 0; s < 4; ++s) rig.engine->schedule(s, rig.stems[s], 250, 4000);
    rig.engine->startAll(at);
    EXPECT_EQ(rig.engine->sourceTime(0), -1000);  // before the start the clock is negative

    const auto out = rig.device->render(3000, 256);
    const std::array<float, 4> unit = {1, 1, 1, 1};
    for (int i = 0; i < 3000; ++i) {
        const std::int64_t device = 300 + i;
        const float want = device < at ? 0.0f : expectedLeft(unit, 250 + (device - at));
        ASSERT_EQ(out[2 * i], want) << "device frame " << device;
        ASSERT_EQ(out[2 * i + 1], -want) << "device frame " << device;
    }
    EXPECT_EQ(rig.engine->sourceTime(0), 3300 - at);
}

TEST(PlaybackEngine, GainsApplyFromTheNextBlockAndPlayedOutSourcesFallSilent) {
    Rig rig = makeRig(1000);
    for (int s = 0; s < 4; ++s) rig.engine->schedule(s, rig.stems[s], 0, 1000);
    rig.engine->startAll(0);
    rig.device->render(500, 500);
    rig.engine->setGain(1, 0.5f);
    rig.engine->setGain(0, 0.0f);
    const auto out = rig.device->render(700, 100);
    const std::array<float, 4> gains = {0.0f, 0.5f, 1.0f, 1.0f};
    for (int i = 0; i < 500; ++i) ASSERT_EQ(out[2 * i], expectedLeft(gains, 500 + i)) << i;
    for (int i = 500; i < 700; ++i) ASSERT_EQ(out[2 * i], 0.0f) << "after the end, frame " << i;
}

TEST(PlaybackEngine, StopDiscardsAndRescheduleStartsElsewhere) {
    Rig rig = makeRig();
    for (int s = 0; s < 4; ++s) rig.engine->schedule(s, rig.stems[s], 0, 4000);
    rig.engine->startAll(0);
    rig.device->render(100);
    rig.engine->stopAll();
    EXPECT_FALSE(rig.engine->sourceTime(0).has_value());
    for (float v : rig.device->render(100)) ASSERT_EQ(v, 0.0f);

    rig.engine->schedule(2, rig.stems[2], 3990, 4000);  // only the bass, from frame 3990
    rig.engine->startAll(rig.engine->deviceFrame());
    const auto out = rig.device->render(20, 7);
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(out[2 * i], i < 10 ? static_cast<float>(3000 + 3990 + i) : 0.0f) << i;
}

TEST(PlaybackEngine, RenderNeitherAllocatesNorFrees) {
    Rig rig = makeRig(48000);
    for (int s = 0; s < 4; ++s) rig.engine->schedule(s, rig.stems[s], 0, 48000);
    rig.engine->startAll(100);
    std::vector<float> block(2 * 512);
    g_allocations = 0;
    g_counting = true;
    for (int i = 0; i < 50; ++i) rig.device->renderInto(block.data(), 512);
    g_counting = false;
    EXPECT_EQ(g_allocations.load(), 0);
    EXPECT_NE(block[0], 0.0f);  // it did play
}

TEST(PlaybackEngine, ADeviceThatWillNotOpenIsReported) {
    PlaybackEngine engine(std::make_unique<OfflineAudioDevice>(
        Error{"SDL", 0, "ALSA: Couldn't open audio device: No such file or directory"}));
    auto error = engine.start(44100.0);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->description, "ALSA: Couldn't open audio device: No such file or directory");
    EXPECT_FALSE(engine.isRunning());
}

TEST(SdlAudioDevice, PlaysExactlyWhatTheEngineRendered) {
    // SDL's disk driver runs the real SDL path and writes what the callback produced to a file.
    test::TempDir dir;
    const auto file = dir / "out.raw";
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", file.c_str(), 1);
    setenv("SDL_DISKAUDIODELAY", "0", 1);
    auto stem = markedStem(0, 20000);
    {
        PlaybackEngine engine(std::make_unique<SdlAudioDevice>());
        engine.schedule(0, stem, 0, 20000);
        engine.startAll(4096);
        auto error = engine.start(48000.0);
        ASSERT_FALSE(error.has_value()) << error->description;
        for (int i = 0; i < 1000 && engine.deviceFrame() < 30000; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        engine.shutdown();
    }
    unsetenv("SDL_AUDIODRIVER");
    std::ifstream in(file, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    std::vector<float> out(bytes.size() / sizeof(float));
    std::memcpy(out.data(), bytes.data(), out.size() * sizeof(float));
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

TEST(SdlAudioDevice, NoOutputIsAnErrorWithSdlsReason) {
    setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
    PlaybackEngine engine(std::make_unique<SdlAudioDevice>());
    auto error = engine.start(44100.0);
    unsetenv("SDL_AUDIODRIVER");
    ASSERT_TRUE(error.has_value());
    EXPECT_FALSE(error->description.empty());
    EXPECT_EQ(error->description.find('\n'), std::string::npos);
    EXPECT_FALSE(engine.isRunning());
}
