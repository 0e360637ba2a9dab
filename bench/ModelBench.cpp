// SPDX-License-Identifier: GPL-3.0-or-later
#include <sys/resource.h>

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <memory>
#include <thread>

#include "BenchSupport.h"
#include "demo/DemoSong.h"
#include "model/Exporter.h"
#include "model/StudioModel.h"
#include "playback/OfflineAudioDevice.h"

namespace corvane::bench {

namespace {

double secondsBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// The longest a 1 ms main-thread heartbeat fires late, in seconds, from `begin()` until `busy()`
// turns false, the event loop running meanwhile. (A 0 ms timer would keep the main thread busy,
// and on two cores the scheduler would then slice it against the workers.)
template <class Busy, class Begin>
double longestStallWhile(Busy busy, Begin begin) {
    double longestStall = 0.0;
    Clock::time_point lastBeat = Clock::now();
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    heartbeat.setInterval(1);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        const Clock::time_point now = Clock::now();
        longestStall = std::max(longestStall, secondsBetween(lastBeat, now) - 0.001);
        lastBeat = now;
    });
    heartbeat.start();
    begin();
    lastBeat = Clock::now();
    while (busy()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return std::max(longestStall, secondsBetween(lastBeat, Clock::now()) - 0.001);
}

// The baseline of a stall figure: the same heartbeat for `seconds` with nothing running, which is
// what the machine's other load alone costs the main thread; in ms.
double idleStallMs(double seconds) {
    const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                     std::chrono::duration<double>(seconds));
    return longestStallWhile([&] { return Clock::now() < end; }, [] {}) * 1e3;
}

// Loads `song` and runs the event loop until the model is ready. Returns the time from load() to
// ready and, through `longestStall`, the longest a 1 ms heartbeat timer fired late: what a
// window would have felt as a frozen frame.
double loadOnce(model::StudioModel& m, const QString& song, double& longestStall) {
    const Clock::time_point start = Clock::now();
    longestStall = longestStallWhile([&] { return m.isLoading(); }, [&] { m.load(song); });
    return secondsBetween(start, Clock::now());
}

// Median cost of `call` over many calls, in seconds.
template <class Call>
double medianCallSeconds(int calls, Call call) {
    std::vector<double> seconds;
    for (int i = 0; i < calls; ++i) {
        const Clock::time_point start = Clock::now();
        call(i);
        seconds.push_back(secondsBetween(start, Clock::now()));
    }
    std::sort(seconds.begin(), seconds.end());
    return seconds[seconds.size() / 2];
}

// The longest a 1 ms main-thread heartbeat fires late while the exporter the model uses writes
// the mix of a 1-hour song (four stems at their gains) as a 24-bit WAV. The stems are generated
// (one stem shared four times keeps the memory at 2.5 GB), not separated: the export is measured.
void benchExportStall() {
    constexpr std::int64_t kFrames = static_cast<std::int64_t>(3600 * kSampleRate);
    auto stem = std::make_shared<dsp::StemData>();
    stem->l.resize(static_cast<std::size_t>(kFrames));
    stem->r.resize(static_cast<std::size_t>(kFrames));
    std::uint32_t seed = 1;
    for (std::size_t i = 0; i < stem->l.size(); ++i) {
        seed = seed * 1664525u + 1013904223u;
        stem->l[i] = static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
        stem->r[i] = -0.5f * stem->l[i];
    }
    const auto dir = std::filesystem::temp_directory_path() / "corvane-bench-export";
    std::filesystem::create_directories(dir);
    model::ExportJob job;
    job.files.push_back({dir / "mix.wav", {stem, stem, stem, stem}, {1.0f, 0.5f, 0.0f, 1.2f}, {}});
    job.sampleRate = kSampleRate;
    job.frames = kFrames;
    job.success = QStringLiteral("ok");

    model::Exporter exporter;
    QString outcome;
    QObject::connect(&exporter, &model::Exporter::finished,
                     [&](const QString& status) { outcome = status; });
    const Clock::time_point start = Clock::now();
    const double longestStall = longestStallWhile([&] { return exporter.isBusy(); },
                                                  [&] { exporter.start(std::move(job)); });
    const double seconds = secondsBetween(start, Clock::now());
    std::filesystem::remove_all(dir);
    if (outcome != QStringLiteral("ok")) {
        note("the 1-hour export failed: export figures skipped");
        return;
    }
    printFigure("export_mix_1h_seconds", seconds, "s", 2);
    printFigure("export_mix_1h_longest_stall_ms", longestStall * 1e3, "ms", 2);
    printFigure("export_idle_longest_stall_ms", idleStallMs(seconds), "ms", 2);
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

// CPU time (every thread of the process) per second of audio played, in per cent of one core:
// 30 s of the demo song's four stems, rendered as a device would pull them but as fast as the
// feeder prepares them.
double playbackCpuPercent(playback::Stretch stretch) {
    const dsp::StereoAudio song = demo::makeDemoSong(30.0, kSampleRate);
    auto stem = std::make_shared<dsp::StemData>(dsp::StemData{song.l, song.r});
    const auto frames = static_cast<std::int64_t>(song.l.size());
    auto owned = std::make_unique<playback::OfflineAudioDevice>();
    playback::OfflineAudioDevice* device = owned.get();
    playback::PlaybackEngine engine(std::move(owned));
    if (engine.start(kSampleRate)) return -1.0;
    engine.setStretch(stretch);
    for (int s = 0; s < playback::PlaybackEngine::kSources; ++s)
        engine.schedule(s, stem, 0, frames);
    engine.startAll(0);
    std::vector<float> block(2 * 512);
    std::int64_t played = 0;
    const double start = cpuSeconds();
    const std::int64_t limit = 3 * frames;
    while (played < limit) {
        if (!stretch.isIdentity()) {
            if (engine.stretchedToTheEnd() && engine.bufferedFrames() == 0) break;
            if (engine.bufferedFrames() < 512 && !engine.stretchedToTheEnd()) {
                std::this_thread::sleep_for(std::chrono::microseconds(500));
                continue;
            }
        } else if (played >= frames) {
            break;
        }
        device->renderInto(block.data(), 512);
        played += 512;
    }
    return 100.0 * (cpuSeconds() - start) / (static_cast<double>(played) / kSampleRate);
}

// Loads `path` kRuns times into `m` and prints the median time to ready and the longest stall;
// returns that median, 0 if the song did not load.
double timeLoads(model::StudioModel& m, const QString& path) {
    std::vector<double> loads;
    double stall = 0.0;
    for (int i = 0; i < kRuns; ++i) {
        double runStall = 0.0;
        // The map of the song before is read aside once it shows; opening the next one waits
        // for it here, so a load is timed alone.
        while (m.isMapping()) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        loads.push_back(loadOnce(m, path, runStall));
        stall = std::max(stall, runStall);
        if (m.phase() != model::Phase::ready) {
            note("the model could not load the MP3: model figures skipped");
            return 0.0;
        }
    }
    std::sort(loads.begin(), loads.end());
    printFigure("model_load_3min_mp3_seconds", loads[loads.size() / 2], "s");
    printFigure("model_load_longest_stall_ms", stall * 1e3, "ms", 2);
    printFigure("model_idle_longest_stall_ms", idleStallMs(loads[loads.size() / 2]), "ms", 2);
    return loads[loads.size() / 2];
}

}  // namespace

double benchModelLoad(const std::filesystem::path& song) {
    model::StudioModel m(nullptr, [] { return std::make_unique<playback::OfflineAudioDevice>(); });
    return timeLoads(m, QString::fromStdString(song.string()));
}

void benchModel(const std::filesystem::path& song) {
    playback::OfflineAudioDevice* device = nullptr;
    model::StudioModel m(nullptr, [&device] {
        auto made = std::make_unique<playback::OfflineAudioDevice>();
        device = made.get();
        return made;
    });
    if (timeLoads(m, QString::fromStdString(song.string())) <= 0.0) return;

    // During playback: the device renders between calls, as a real one would.
    const double duration = m.duration();
    const double play = medianCallSeconds(200, [&](int i) {
        m.play();
        device->render(512);
        m.pause();
        if (i % 2) m.seek(0.37 * i);
    });
    m.play();
    const double seek = medianCallSeconds(200, [&](int i) {
        device->render(512);
        m.seek(std::fmod(7.3 * i, duration));
    });
    m.stop();
    printFigure("model_play_ms", play * 1e3, "ms", 3);
    printFigure("model_seek_while_playing_ms", seek * 1e3, "ms", 3);
    const double direct = playbackCpuPercent({});
    const double stretched = playbackCpuPercent({0.75, 2.0});
    printFigure("playback_direct_cpu_percent", direct, "%", 2);
    printFigure("playback_stretch_cpu_percent", stretched, "%", 2);
    benchExportStall();
}

}  // namespace corvane::bench
