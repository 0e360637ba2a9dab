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
#include <QStringList>
#include <QTimer>

#include "Version.h"
#include "audio/StandardStreams.h"
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

// Splits the command line into the program's own options and the files: a name that starts with
// a dash ("-take.wav") is a file unless it is one of the options, and "--" ends the options.
struct CommandLine {
    QStringList options;  // with the program's name first, for QCommandLineParser
    QStringList files;
};
CommandLine splitCommandLine(const QStringList& arguments) {
    static const QStringList kOptions = {QStringLiteral("-h"),     QStringLiteral("-?"),
                                         QStringLiteral("--help"), QStringLiteral("--help-all"),
                                         QStringLiteral("-v"),     QStringLiteral("--version")};
    CommandLine line;
    line.options << arguments.value(0);
    bool onlyFiles = false;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& a = arguments[i];
        if (!onlyFiles && a == QStringLiteral("--"))
            onlyFiles = true;
        else if (!onlyFiles && kOptions.contains(a))
            line.options << a;
        else
            line.files << a;
    }
    return line;
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

// The options both the window and a display-less --help or --version read.
void describe(QCommandLineParser& parser) {
    QCoreApplication::setApplicationName(QStringLiteral("Corvane"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(corvane::kVersion));
    parser.setApplicationDescription(QStringLiteral("Split a song into four stems."));
    parser.addPositionalArgument(QStringLiteral("file"),
                                 QStringLiteral("A song, or a .corvane session, to open."),
                                 QStringLiteral("[FILE]"));
    parser.addHelpOption();
    parser.addVersionOption();
}
}  // namespace

int main(int argc, char** argv) {
    corvane::audio::ensureStandardStreams();
    const bool signalsCaught = catchQuitSignals();
    {
        // --help and --version are answered without a window, so they work with no display.
        QStringList arguments;
        for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
        const CommandLine line = splitCommandLine(arguments);
        if (line.options.size() > 1) {
            QCoreApplication core(argc, argv);
            QCommandLineParser parser;
            describe(parser);
            parser.process(line.options);  // prints and exits
        }
    }
    QApplication app(argc, argv);
    QGuiApplication::setDesktopFileName(QStringLiteral("corvane"));
    QApplication::setWindowIcon(corvane::ui::themedIcon(QStringLiteral("corvane")));
    const CommandLine line = splitCommandLine(QCoreApplication::arguments());
    QCommandLineParser parser;
    describe(parser);
    parser.process(line.options);
    if (signalsCaught) quitOnSignals(app);

    corvane::ui::QtFileDialogs dialogs;
    corvane::model::StudioModel model(&dialogs);
    corvane::ui::ContentView window(model, dialogs);
    dialogs.setParent(&window);
    window.resize(1000, 720);
    window.show();
    window.raise();
    window.activateWindow();

    // Said at once, rather than when Play is first pressed.
    model.checkSoundOutput();
    if (!line.files.isEmpty()) window.openPath(line.files.first());
    // For the start-up benchmark: quit once the window has been drawn the first time.
    QuitAfterFirstPaint quitter;
    if (qEnvironmentVariableIsSet("CORVANE_QUIT_WHEN_SHOWN")) window.installEventFilter(&quitter);
    return QApplication::exec();
}
