// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "audio/AudioDevice.h"
#include "audio/Error.h"
#include "dsp/StemData.h"
#include "dsp/StemKind.h"

namespace corvane::audio {

// Four stereo sources, each with a linear gain, summed into one stereo output: the real-time
// graph behind the transport.
//
// Sources read immutable stems in place (a shared pointer to const data plus a frame range), so
// scheduling costs nothing however long the song. A source plays its range once, starting at a
// given device frame; all sources given the same start frame play sample-aligned.
//
// Threads: every member is for the main thread, except render(), which the device calls on its
// real-time thread. The two meet in a short critical section that only swaps pointers and
// numbers; stem data is released on the main thread, never in render().
class PlaybackEngine final : private RenderSource {
public:
    static constexpr int kSources = dsp::kStemCount;

    explicit PlaybackEngine(std::unique_ptr<AudioDevice> device);
    ~PlaybackEngine() override;
    PlaybackEngine(const PlaybackEngine&) = delete;
    PlaybackEngine& operator=(const PlaybackEngine&) = delete;

    // Opens the device at `sampleRate` if it is not running; returns why it could not.
    std::optional<Error> start(double sampleRate);
    bool isRunning() const;
    // Closes the device; every source is stopped.
    void shutdown();

    double sampleRate() const { return m_sampleRate; }

    // Linear gain of one source, applied from the next rendered block on.
    void setGain(int source, float gain);
    float gain(int source) const;

    // Queues frames [from, to) of `stem` on a source, replacing whatever it had; it stays silent
    // until startAll().
    void schedule(int source, std::shared_ptr<const dsp::StemData> stem, std::int64_t from,
                  std::int64_t to);
    // Starts every scheduled source so that its first frame plays at device frame `at`.
    void startAll(std::int64_t at);
    // Discards what one source, or every source, has scheduled.
    void stopSource(int source);
    void stopAll();

    // Frames the device has rendered so far: the engine's clock.
    std::int64_t deviceFrame() const;
    // The source's own clock at the last render: frames since its start (negative before it),
    // or nothing when the source is not playing or nothing has rendered since it started.
    std::optional<std::int64_t> sourceTime(int source) const;

private:
    void render(float* interleavedStereo, int frames) noexcept override;

    struct Voice {
        const float* l = nullptr;
        const float* r = nullptr;
        std::int64_t from = 0;
        std::int64_t to = 0;
        std::int64_t startAt = 0;
        bool scheduled = false;
        bool started = false;
    };

    std::unique_ptr<AudioDevice> m_device;
    double m_sampleRate = 0.0;

    // Guarded by m_lock; held by render() for one block and by the main thread for a few stores.
    mutable std::mutex m_lock;
    std::array<Voice, kSources> m_voices{};
    std::int64_t m_renderedFrames = 0;

    std::array<std::atomic<float>, kSources> m_gains;
    // Main thread only: keeps the stems the voices point into alive.
    std::array<std::shared_ptr<const dsp::StemData>, kSources> m_held;
};

}  // namespace corvane::audio
