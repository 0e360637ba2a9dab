// SPDX-License-Identifier: GPL-3.0-or-later
// Stretched playback: how clean a steady tone stays at each tempo and pitch through the engine's
// real-time path, beside Rubber Band's own offline R3 on the same tone, and what it costs.
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <numbers>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "ToneQuality.h"
#include "demo/DemoSong.h"
#include "dsp/common/FftPlan.h"
#include "playback/OfflineAudioDevice.h"
#include "playback/PlaybackEngine.h"

namespace corvane::bench {

namespace {

constexpr double kRate = 48000.0;
constexpr double kToneHz = 440.0;
constexpr double kWindowSeconds = 4.0;

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// A steady 440 Hz tone with a 2 Hz tremolo, as a musician's held note.
std::shared_ptr<const dsp::StemData> tremoloTone(double seconds) {
    auto stem = std::make_shared<dsp::StemData>();
    const auto n = static_cast<std::size_t>(seconds * kRate);
    stem->l.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / kRate;
        stem->l[i] =
            static_cast<float>(0.4 * (0.75 + 0.25 * std::sin(2 * std::numbers::pi * 2 * t)) *
                               std::sin(2 * std::numbers::pi * kToneHz * t));
    }
    stem->r = stem->l;
    return stem;
}

}  // namespace

std::vector<float> renderThroughEngine(std::shared_ptr<const dsp::StemData> stem,
                                       playback::Stretch stretch, double outputSeconds,
                                       double* cpuPercent) {
    auto owned = std::make_unique<playback::OfflineAudioDevice>();
    playback::OfflineAudioDevice* device = owned.get();
    playback::PlaybackEngine engine(std::move(owned));
    if (engine.start(kRate)) return {};
    engine.setStretch(stretch);
    const auto frames = static_cast<std::int64_t>(stem->l.size());
    engine.schedule(0, stem, 0, frames);
    engine.startAll(0);
    const auto wanted = static_cast<std::int64_t>(outputSeconds * kRate);
    std::vector<float> left;
    std::vector<float> block(2 * 512);
    const double start = cpuSeconds();
    while (static_cast<std::int64_t>(left.size()) < wanted) {
        if (!stretch.isIdentity()) {
            if (engine.stretchedToTheEnd() && engine.bufferedFrames() == 0) break;
            if (engine.bufferedFrames() < 512 && !engine.stretchedToTheEnd()) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
        } else if (static_cast<std::int64_t>(left.size()) >= frames) {
            break;
        }
        device->renderInto(block.data(), 512);
        for (int i = 0; i < 512; ++i) left.push_back(block[static_cast<std::size_t>(2 * i)]);
    }
    if (cpuPercent)
        *cpuPercent = 100.0 * (cpuSeconds() - start) / (static_cast<double>(left.size()) / kRate);
    return left;
}

void benchPlayback() {
    struct Setting {
        const char* name;
        playback::Stretch stretch;
    };
    const Setting settings[] = {
        {"75pct", {0.75, 0.0}},         {"50pct", {0.5, 0.0}},       {"150pct", {1.5, 0.0}},
        {"plus12st", {1.0, 12.0}},      {"minus12st", {1.0, -12.0}}, {"minus5st", {1.0, -5.0}},
        {"75pct_plus2st", {0.75, 2.0}},
    };
    const auto tone = tremoloTone(20.0);
    double worstCpu = 0.0;
    for (const Setting& s : settings) {
        const double hz = kToneHz * std::pow(2.0, s.stretch.semitones / 12.0);
        double cpu = 0.0;
        const std::vector<float> ours = renderThroughEngine(tone, s.stretch, 12.0, &cpu);
        worstCpu = std::max(worstCpu, cpu);
        const auto window = static_cast<std::size_t>(kWindowSeconds * kRate);
        if (ours.size() < 2 * window) {
            note("stretched playback gave too little output");
            continue;
        }
        const test::ToneQuality q =
            test::toneQuality(std::span(ours).subspan(ours.size() / 2 - window / 2, window), kRate, hz);
        const auto offline = playback::stretchOffline(tone->l, tone->r, kRate, s.stretch);
        const test::ToneQuality r =
            offline && offline->l.size() > 2 * window
                ? test::toneQuality(std::span<const float>(offline->l)
                                  .subspan(offline->l.size() / 2 - window / 2, window),
                              kRate, hz)
                : test::ToneQuality{};
        const std::string name = std::string("playback_stretch_quality_") + s.name;
        printFigure(name + "_hz_error", q.hz - hz, "Hz", 2);
        printFigure(name + "_impurity_db", q.impurityDb, "dB", 1);
        printFigure(name + "_rubberband_offline_r3_impurity_db", r.impurityDb, "dB", 1);
        printFigure(name + "_cpu_percent", cpu, "%", 2);
    }
    printFigure("playback_stretch_cpu_percent", worstCpu, "%", 2);
}

}  // namespace corvane::bench
