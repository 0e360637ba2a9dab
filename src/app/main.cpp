// SPDX-License-Identifier: GPL-3.0-or-later
// corvane: creates the model and the window, connects them, and loads the song given on the
// command line (a desktop's "Open with" passes one).
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QEvent>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <QTimer>

#include "Version.h"
#include "model/StudioModel.h"
#include "ui/ContentView.h"
#include "ui/QtFileDialogs.h"
#include "ui/Theme.h"

namespace {

// SIGTERM (a session ending) and SIGINT end the program as closing the window does: the event
// loop returns and everything is torn down in order, sound stopped and loads cancelled. The
// handler only writes a byte; the event loop reads it. It is installed first thing, before
// anything slow: a signal that came during start-up would otherwise kill the process outright.
// One that arrives before the event loop runs waits in the pipe and is acted on at once.
int g_signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &byte, 1);
}

bool catchQuitSignals() {
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    return true;
}

// Needs the application object: the pipe's reader lives in its event loop.
void quitOnSignals(QApplication& app) {
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] { QApplication::quit(); });
}

// Ends the event loop right after the watched widget's first paint.
class QuitAfterFirstPaint : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            QTimer::singleShot(0, QCoreApplication::instance(), [] { QApplication::quit(); });
        return QObject::eventFilter(watched, event);
    }
};
}  // namespace

int main(int argc, char** argv) {
    const bool signalsCaught = catchQuitSignals();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Corvane"));
    QApplication::setApplicationVersion(QString::fromLatin1(corvane::kVersion));
    QGuiApplication::setDesktopFileName(QStringLiteral("corvane"));
    QApplication::setWindowIcon(corvane::ui::themedIcon(QStringLiteral("corvane")));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Split a song into four stems."));
    parser.addPositionalArgument(QStringLiteral("file"), QStringLiteral("A song to open."),
                                 QStringLiteral("[FILE]"));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.process(app);
    if (signalsCaught) quitOnSignals(app);

    corvane::ui::QtFileDialogs dialogs;
    corvane::model::StudioModel model(&dialogs);
    corvane::ui::ContentView window(model, dialogs);
    dialogs.setParent(&window);
    window.resize(1000, 720);
    window.show();
    window.raise();
    window.activateWindow();

    if (!parser.positionalArguments().isEmpty()) model.load(parser.positionalArguments().first());
    // For the start-up benchmark: quit once the window has been drawn the first time.
    QuitAfterFirstPaint quitter;
    if (qEnvironmentVariableIsSet("CORVANE_QUIT_WHEN_SHOWN")) window.installEventFilter(&quitter);
    return QApplication::exec();
}
