// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace corvane::playback {

// Tempo as a ratio of the song's own (0.5 plays at half speed) and pitch in semitones; the
// identity (1, 0) means the song as it is.
struct Stretch {
    double tempo = 1.0;
    double semitones = 0.0;

    static constexpr double kMinTempo = 0.5;
    static constexpr double kMaxTempo = 1.5;
    static constexpr double kMaxSemitones = 12.0;

    bool isIdentity() const { return tempo == 1.0 && semitones == 0.0; }
    bool operator==(const Stretch&) const = default;
};

// Rubber Band's real-time mode on one stereo stream. For a feeder thread: it may allocate while
// being set up or reset, never in process() or retrieve() once the block size is known.
class RealtimeStretcher {
public:
    RealtimeStretcher(double sampleRate, int maxBlockFrames);
    ~RealtimeStretcher();
    RealtimeStretcher(const RealtimeStretcher&) = delete;
    RealtimeStretcher& operator=(const RealtimeStretcher&) = delete;

    // Forgets what it was given and takes new ratios; the next input starts a new stream.
    void reset(Stretch stretch);
    // New ratios for what follows, without a reset.
    void setStretch(Stretch stretch);
    // Silence to feed before the first real frame, and output frames to drop after it, so that
    // the output's first frame is the input's first.
    int startPadFrames() const;
    int startDelayFrames() const;

    void process(const float* l, const float* r, int frames, bool final);
    // Frames ready to retrieve; -1 once a final input has been given out whole.
    int available() const;
    int retrieve(float* l, float* r, int frames);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// The whole of l and r through Rubber Band's offline (best-quality) mode. `progress` (0 to 1) is
// called now and then; a set `cancel` stops it early with nothing returned. Any thread.
struct StretchedAudio {
    std::vector<float> l;
    std::vector<float> r;
};
std::optional<StretchedAudio> stretchOffline(std::span<const float> l, std::span<const float> r,
                                             double sampleRate, Stretch stretch,
                                             const std::atomic<bool>* cancel = nullptr,
                                             const std::function<void(double)>& progress = {});

}  // namespace corvane::playback
