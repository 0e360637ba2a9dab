// SPDX-License-Identifier: GPL-3.0-or-later
#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>

#include "BenchSupport.h"
#include "model/StudioModel.h"
#include "playback/OfflineAudioDevice.h"
#include "ui/ContentView.h"
#include "ui/Timeline.h"
#include "ui/WaveformView.h"

namespace corvane::bench {

namespace {

// Dialogs nobody opens here.
class NoDialogs : public ui::FileDialogs {
public:
    std::optional<QString> openAudioFile() override { return std::nullopt; }
    std::optional<QString> saveAudioLocation(const QString&) override { return std::nullopt; }
    std::optional<QString> exportFolder() override { return std::nullopt; }
    std::optional<QString> saveSessionLocation(const QString&) override { return std::nullopt; }
    std::optional<QString> locateSong(const QString&, bool) override { return std::nullopt; }
    Unsaved askUnsavedChanges() override { return Unsaved::discard; }
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double millisecondsOf(const std::function<void()>& run) {
    QElapsedTimer clock;
    clock.start();
    run();
    return clock.nsecsElapsed() * 1e-6;
}

// Four waveforms of a 1-hour song (one generated stem shared four times keeps the memory at
// 1.3 GB), as wide as the window's, zoomed step by step from the whole song to a second across,
// then scrolled. Each step's repaint is timed at once, with whatever peaks the cache has (the
// coarse envelope for a new zoom), and again once the worker's finer peaks are in. Baseline: the
// whole-song repaint of the same views in the same run.
void benchZoom(model::StudioModel& m) {
    constexpr std::int64_t kFrames = static_cast<std::int64_t>(3600 * kSampleRate);
    auto stem = std::make_shared<dsp::StemData>();
    stem->l.resize(static_cast<std::size_t>(kFrames));
    stem->r.resize(static_cast<std::size_t>(kFrames));
    std::uint32_t seed = 1;
    for (std::size_t i = 0; i < stem->l.size(); ++i) {
        seed = seed * 1664525u + 1013904223u;
        // Noise under a beat-like swell, so columns differ.
        const float swell = 0.3f + 0.7f * static_cast<float>(std::fabs(std::sin(i * 3e-5)));
        stem->l[i] = (static_cast<float>(seed >> 8) / 16777216.0f - 0.5f) * swell;
        stem->r[i] = -0.7f * stem->l[i];
    }
    model::Song song;
    song.stems.assign(4, stem);
    song.sampleRate = kSampleRate;
    song.frames = kFrames;
    std::vector<float> envelope(model::StudioModel::kPeakBins);
    for (std::size_t b = 0; b < envelope.size(); ++b) {
        const std::size_t from = b * stem->l.size() / envelope.size();
        for (std::size_t i = from; i < from + 4096; ++i)
            envelope[b] = std::max(envelope[b], std::fabs(stem->l[i]) * 2.0f);
    }

    ui::Timeline timeline(m);
    QWidget host;
    auto* column = new QVBoxLayout(&host);
    std::vector<ui::WaveformView*> views;
    for (int s = 0; s < 4; ++s) {
        auto* view = new ui::WaveformView(m, &host);
        view->setFixedHeight(54);
        view->setPeaks(envelope);
        view->setTimeline(&timeline, s);
        column->addWidget(view);
        views.push_back(view);
    }
    host.resize(630, 4 * 62);
    host.show();
    QCoreApplication::processEvents();
    model::PeakCache& cache = timeline.peakCache();
    const double width = views[0]->width();

    QElapsedTimer built;
    built.start();
    timeline.setSong(song);
    std::vector<double> whole;
    for (int i = 0; i < 30; ++i) whole.push_back(millisecondsOf([&] { host.repaint(); }));

    // Waits for the tiles of what is in view; the milliseconds it took, or -1 after 20 s.
    const auto waitForFine = [&] {
        QElapsedTimer clock;
        clock.start();
        const double fpp = timeline.framesPerPixel(width);
        const double first = timeline.start() * kSampleRate / fpp;
        const auto tileAt = [&](double x) {
            return static_cast<std::int64_t>(std::floor(first + x + 0.5)) /
                   model::PeakCache::kTileColumns;
        };
        while (!cache.cached(fpp, tileAt(0)) || !cache.cached(fpp, tileAt(width - 1))) {
            if (clock.elapsed() > 20000) return -1.0;
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        }
        return clock.nsecsElapsed() * 1e-6;
    };
    timeline.zoomBy(1, 0.5);
    host.repaint();
    if (waitForFine() < 0.0) {
        note("the peak cache gave no tiles for the hour: zoom figures skipped");
        return;
    }
    printFigure("window_zoom_pyramid_1h_seconds", built.nsecsElapsed() * 1e-9, "s", 2);

    std::vector<double> steps, fine, latency;
    const auto step = [&](const std::function<void()>& move) {
        move();
        steps.push_back(millisecondsOf([&] { host.repaint(); }));
        latency.push_back(waitForFine());
        fine.push_back(millisecondsOf([&] { host.repaint(); }));
    };
    while (timeline.level() < timeline.maxLevel()) step([&] { timeline.zoomBy(1, 0.37); });
    timeline.zoomBy(-20, 0.5);
    for (int i = 0; i < 30; ++i) step([&] { timeline.scrollBy(0.1 * timeline.span()); });
    printFigure("window_zoom_whole_repaint_ms", median(whole), "ms", 2);
    printFigure("window_zoom_repaint_ms", median(steps), "ms", 2);
    printFigure("window_zoom_repaint_max_ms", *std::max_element(steps.begin(), steps.end()), "ms",
                2);
    printFigure("window_zoom_fine_repaint_ms", median(fine), "ms", 2);
    printFigure("window_zoom_repaint_ratio", median(steps) / median(whole), "x", 2);
    printFigure("window_zoom_fine_latency_ms", median(latency), "ms", 1);
}

}  // namespace

void benchWindow(const std::filesystem::path& song, const std::string& corvanePath) {
    NoDialogs dialogs;
    playback::OfflineAudioDevice* device = nullptr;
    model::StudioModel m(&dialogs, [&device] {
        auto made = std::make_unique<playback::OfflineAudioDevice>();
        device = made.get();
        return made;
    });
    m.load(QString::fromStdString(song.string()));
    while (m.phase() == model::Phase::processing)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (m.phase() != model::Phase::ready) {
        note("the window bench could not load its song: window figures skipped");
        return;
    }
    ui::ContentView view(m, dialogs);
    view.resize(1000, 700);
    view.show();
    QCoreApplication::processEvents();

    // The whole window, painted synchronously.
    std::vector<double> whole;
    for (int i = 0; i < 60; ++i) {
        QElapsedTimer clock;
        clock.start();
        view.repaint();
        whole.push_back(clock.nsecsElapsed() * 1e-6);
    }
    printFigure("window_paint_ms", median(whole), "ms", 2);

    // One playhead step while playing: what the 30-per-second timer costs, model update and the
    // repaint it causes.
    m.play();
    std::vector<double> ticks;
    for (int i = 0; i < 120; ++i) {
        device->render(1470);  // 1/30 s of audio at 44.1 kHz
        QElapsedTimer clock;
        clock.start();
        m.seek(m.position() + 1.0 / 30.0);  // publishes the new playhead like a tick does
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        ticks.push_back(clock.nsecsElapsed() * 1e-6);
    }
    m.stop();
    printFigure("window_tick_ms", median(ticks), "ms", 2);

    benchZoom(m);

    // From launch to a shown, drawn window: the real binary, quitting once it has drawn.
    std::vector<double> launches;
    for (int i = 0; i < kRuns; ++i) {
        QProcess app;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("CORVANE_QUIT_WHEN_SHOWN"), QStringLiteral("1"));
        if (!env.contains(QStringLiteral("DISPLAY")))
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        app.setProcessEnvironment(env);
        QElapsedTimer clock;
        clock.start();
        app.start(QString::fromStdString(corvanePath), {});
        if (!app.waitForFinished(20000) || app.exitCode() != 0) {
            note("corvane did not start and quit: startup figure skipped");
            return;
        }
        launches.push_back(clock.nsecsElapsed() * 1e-9);
    }
    printFigure("window_startup_seconds", median(launches), "s");
}

}  // namespace corvane::bench
