// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

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
// Gains ramp linearly over kRampSeconds from the gain being heard to the new one, per sample, so
// a mute or a slider drag never clicks or zippers; a source that is not sounding takes a new gain
// at once.
//
// Threads: every member is for the main thread, except render(), which the device calls on its
// real-time thread. render() is wait-free: it only try-locks the voice table the main thread
// writes, and renders from its own last copy when the main thread is busy with it; the clock is
// an atomic. Stems a voice stops pointing into are released on the main thread once render() has
// acknowledged the change, never in render().
class PlaybackEngine final : private RenderSource {
public:
    static constexpr int kSources = dsp::kStemCount;
    static constexpr double kRampSeconds = 0.010;

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

    // The linear gain a source is heard at; a sounding source ramps to it over kRampSeconds.
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
    // or nothing when the source is not playing.
    std::optional<std::int64_t> sourceTime(int source) const;

private:
    void render(float* interleavedStereo, int frames) noexcept override;
    // Frames [chunkStart, chunkStart + n) of the device clock, n <= kChunkFrames, into m_mix.
    void mixChunk(std::int64_t chunkStart, int n) noexcept;
    // Main thread: one more change of the voice table, under m_lock; returns its generation.
    std::uint64_t publishVoices();
    // Main thread: frees the stems render() no longer points into.
    void releaseRetired();

    struct Voice {
        const float* l = nullptr;
        const float* r = nullptr;
        std::int64_t from = 0;
        std::int64_t to = 0;
        std::int64_t startAt = 0;
        bool scheduled = false;
        bool started = false;
    };
    // Render thread only: where each source's gain is on its way to the target.
    struct Ramp {
        float current = 1.0f;
        float target = 1.0f;
        float step = 0.0f;
        int remaining = 0;
        bool sounding = false;  // the source was heard in the last chunk
    };
    static constexpr int kChunkFrames = 256;

    std::unique_ptr<AudioDevice> m_device;
    double m_sampleRate = 0.0;
    int m_rampFrames = 1;

    // The wanted voices: written by the main thread under m_lock, copied by render() when its
    // try-lock succeeds. m_generation counts the changes.
    std::mutex m_lock;
    std::array<Voice, kSources> m_voices{};
    std::uint64_t m_generation = 0;

    // Render thread only (and the main thread while the device is closed).
    std::array<Voice, kSources> m_renderVoices{};
    std::array<Ramp, kSources> m_ramps{};
    std::array<float, kChunkFrames> m_mixL{};
    std::array<float, kChunkFrames> m_mixR{};

    // Written by render(), read by the main thread.
    std::atomic<std::int64_t> m_renderedFrames{0};
    std::atomic<std::uint64_t> m_seenGeneration{0};

    std::array<std::atomic<float>, kSources> m_gains;
    // Main thread only: keeps the stems the voices point into alive, and those render() may still
    // be reading until it acknowledges the generation that dropped them.
    std::array<std::shared_ptr<const dsp::StemData>, kSources> m_held;
    struct Retired {
        std::uint64_t generation;
        std::shared_ptr<const dsp::StemData> stem;
    };
    std::vector<Retired> m_retired;
};

}  // namespace corvane::audio
