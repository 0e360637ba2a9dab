// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "dsp/common/StemData.h"
#include "playback/OfflineAudioDevice.h"
#include "playback/PlaybackEngine.h"

namespace corvane::playback {

using Stems = std::array<std::shared_ptr<const dsp::StemData>, kSources>;

// A stereo stem with `mono` on both sides.
inline std::shared_ptr<const dsp::StemData> stemOf(std::vector<float> mono) {
    auto stem = std::make_shared<dsp::StemData>();
    stem->l = std::move(mono);
    stem->r = stem->l;
    return stem;
}

// An engine on the offline device, rendered block by block as a device would pull it.
struct OfflinePlayer {
    explicit OfflinePlayer(double rate = 48000.0) { EXPECT_FALSE(engine.start(rate).has_value()); }
    void play(std::shared_ptr<const dsp::StemData> stem, std::int64_t from, bool seamless = false) {
        playing = stem;
        engine.playAll({stem}, from, static_cast<std::int64_t>(stem->l.size()),
                       engine.deviceFrame(), seamless);
    }
    // The song frame heard now, as the transport takes it for a seek or a tempo step.
    std::int64_t now() const { return engine.songFrame().value_or(0); }
    // The left channel of `frames` frames; `pace`: while stretched, each block waits (up to 20 s)
    // until the feeder has some ahead, as a real device's period would let it.
    std::vector<float> render(std::int64_t frames, int block = 512, bool pace = true) {
        std::vector<float> left;
        for (std::int64_t done = 0; done < frames; done += block) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (pace && !engine.stretch().isIdentity() && !engine.stretchedToTheEnd() &&
                   engine.bufferedFrames() < 4 * block &&
                   std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            const auto out = device->render(block, block);
            for (int i = 0; i < block; ++i) left.push_back(out[static_cast<std::size_t>(2 * i)]);
        }
        return left;
    }
    std::shared_ptr<const dsp::StemData> playing;
    std::unique_ptr<OfflineAudioDevice> owned = std::make_unique<OfflineAudioDevice>();
    OfflineAudioDevice* device = owned.get();
    PlaybackEngine engine{std::move(owned)};
};

}  // namespace corvane::playback
