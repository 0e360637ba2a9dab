// SPDX-License-Identifier: GPL-3.0-or-later
// How far the playhead is from what is heard, through the real sound server: a click track plays
// through SDL while the sink's monitor is recorded with PulseAudio's own timing; for each click,
// the wall time the playhead reached it is set against the wall time it left the sink. Needs a
// PulseAudio server (scripts/audio-server gives a private one); says so and skips otherwise.
#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "playback/PlaybackEngine.h"
#include "playback/SdlAudioDevice.h"

namespace corvane::bench {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRate = 48000;
constexpr double kClickEvery = 0.5;

double now() { return std::chrono::duration<double>(Clock::now().time_since_epoch()).count(); }

// A 3 ms burst of 2 kHz every half second, nothing between.
std::shared_ptr<const dsp::StemData> clickTrack(double seconds) {
    auto stem = std::make_shared<dsp::StemData>();
    stem->l.assign(static_cast<std::size_t>(seconds * kRate), 0.0f);
    for (double t = kClickEvery; t < seconds - 0.1; t += kClickEvery) {
        const auto at = static_cast<std::size_t>(std::lround(t * kRate));
        for (std::size_t i = 0; i < 144; ++i)
            stem->l[at + i] = static_cast<float>(0.5 * std::sin(2 * M_PI * 2000.0 * i / kRate));
    }
    stem->r = stem->l;
    return stem;
}

// The sink's monitor, block by block, each sample given the wall time it left the sink.
class MonitorRecorder {
public:
    bool start() {
        pa_sample_spec format{PA_SAMPLE_FLOAT32LE, kRate, 1};
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.fragsize = 256 * sizeof(float);
        const char* sink = std::getenv("CORVANE_TEST_SINK");
        const std::string device = sink ? std::string(sink) + ".monitor" : "@DEFAULT_MONITOR@";
        int error = 0;
        m_pa = pa_simple_new(nullptr, "corvane-bench", PA_STREAM_RECORD, device.c_str(), "playhead",
                             &format, nullptr, &attr, &error);
        if (!m_pa) return false;
        m_thread = std::thread([this] {
            std::vector<float> block(256);
            while (!m_stop) {
                int failure = 0;
                if (pa_simple_read(m_pa, block.data(), block.size() * sizeof(float), &failure) < 0)
                    return;
                const double read = now();
                const double latency =
                    static_cast<double>(pa_simple_get_latency(m_pa, &failure)) * 1e-6;
                // The block's last sample left the sink `latency` before it could be read.
                const double last = read - latency;
                for (std::size_t i = 0; i < block.size(); ++i) {
                    m_samples.push_back(block[i]);
                    m_times.push_back(last - static_cast<double>(block.size() - 1 - i) / kRate);
                }
            }
        });
        return true;
    }
    void stop() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        if (m_pa) pa_simple_free(m_pa);
        m_pa = nullptr;
    }
    // The wall times at which clicks began.
    std::vector<double> clickTimes() const {
        std::vector<double> out;
        double lastLoud = -1.0;
        for (std::size_t i = 0; i < m_samples.size(); ++i)
            if (std::fabs(m_samples[i]) > 0.05f) {
                if (m_times[i] - lastLoud > 0.2) out.push_back(m_times[i]);
                lastLoud = m_times[i];
            }
        return out;
    }

private:
    pa_simple* m_pa = nullptr;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::vector<float> m_samples;
    std::vector<double> m_times;
};

}  // namespace

void benchPlayhead() {
    const auto clicks = clickTrack(8.0);
    for (const double tempo : {1.0, 0.75}) {
        playback::PlaybackEngine engine(std::make_unique<playback::SdlAudioDevice>());
        if (engine.start(kRate)) {
            note("no sound output: playhead_offset figures not printed");
            return;
        }
        MonitorRecorder recorder;
        if (!recorder.start()) {
            note("no PulseAudio monitor to record: playhead_offset figures not printed");
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        engine.setStretch({tempo, 0.0});
        std::array<std::shared_ptr<const dsp::StemData>, playback::kSources> stems{};
        stems[0] = clicks;
        engine.playAll(stems, 0, static_cast<std::int64_t>(clicks->l.size()),
                       engine.deviceFrame(), false);
        // The playhead as the window would read it, sampled every half millisecond.
        std::vector<std::pair<double, double>> playhead;  // wall time, song seconds
        const double until = now() + 7.0 / tempo;
        while (now() < until) {
            if (const auto frame = engine.songFrame())
                playhead.emplace_back(now(), static_cast<double>(*frame) / kRate);
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        engine.shutdown();
        recorder.stop();

        const std::vector<double> heard = recorder.clickTimes();
        std::vector<double> offsets;  // ms the playhead runs ahead of the sound
        for (std::size_t k = 0; k < heard.size(); ++k) {
            const double songTime = kClickEvery * static_cast<double>(k + 1);
            const auto reached = std::find_if(playhead.begin(), playhead.end(),
                                              [&](const auto& p) { return p.second >= songTime; });
            if (reached == playhead.end()) break;
            offsets.push_back((heard[k] - reached->first) * 1000.0);
        }
        const std::string name =
            "playhead_offset_" + std::to_string(static_cast<int>(std::lround(tempo * 100))) + "pct";
        if (offsets.size() < 4) {
            note(("too few clicks recorded: " + name + " not printed").c_str());
            continue;
        }
        std::sort(offsets.begin(), offsets.end());
        printFigure(name + "_median_ms", offsets[offsets.size() / 2], "ms", 1);
        printFigure(name + "_spread_ms", offsets.back() - offsets.front(), "ms", 1);
    }
}

}  // namespace corvane::bench
