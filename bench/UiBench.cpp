// SPDX-License-Identifier: GPL-3.0-or-later
#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <algorithm>
#include <memory>

#include "BenchSupport.h"
#include "audio/OfflineAudioDevice.h"
#include "model/StudioModel.h"
#include "ui/ContentView.h"

namespace corvane::bench {

namespace {

// Dialogs nobody opens here.
class NoDialogs : public ui::FileDialogs {
public:
    std::optional<QString> openAudioFile() override { return std::nullopt; }
    std::optional<QString> saveAudioLocation(const QString&) override { return std::nullopt; }
    std::optional<QString> exportFolder() override { return std::nullopt; }
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

void benchWindow(const std::filesystem::path& song, const std::string& corvanePath) {
    NoDialogs dialogs;
    audio::OfflineAudioDevice* device = nullptr;
    model::StudioModel m(&dialogs, [&device] {
        auto made = std::make_unique<audio::OfflineAudioDevice>();
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
