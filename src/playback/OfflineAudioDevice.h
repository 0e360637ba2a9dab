// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <vector>

#include "playback/AudioDevice.h"

namespace corvane::playback {

// A device without hardware: the caller pulls frames with render() and gets back exactly what an
// output would have played, so timing, gains and alignment can be checked to the sample.
// Optionally refuses to open, like a machine without sound. Single-threaded.
class OfflineAudioDevice final : public AudioDevice {
public:
    explicit OfflineAudioDevice(std::optional<Error> openFailure = std::nullopt);

    std::optional<Error> open(double sampleRate, RenderSource& source) override;
    void close() override;
    bool isOpen() const override { return m_source != nullptr; }

    // Renders `frames` frames (nothing if closed) in blocks of at most `blockFrames`, appends
    // them to captured() and returns them interleaved.
    std::vector<float> render(int frames, int blockFrames = 512);
    // Renders straight into `out` (2 * frames floats) in one block, keeping nothing: the bare
    // real-time path, for tests that watch it.
    void renderInto(float* out, int frames);
    const std::vector<float>& captured() const { return m_captured; }
    double sampleRate() const { return m_sampleRate; }
    int openCount() const { return m_openCount; }

private:
    std::optional<Error> m_openFailure;
    RenderSource* m_source = nullptr;
    double m_sampleRate = 0.0;
    int m_openCount = 0;
    std::vector<float> m_captured;
};

}  // namespace corvane::playback
