// SPDX-License-Identifier: GPL-3.0-or-later
// corvane: creates the model and the window, connects them, and loads the song given on the
// command line (a desktop's "Open with" passes one).
#include <QApplication>
#include <QCommandLineParser>
#include <QEvent>
#include <QGuiApplication>
#include <QTimer>

#include "model/StudioModel.h"
#include "ui/ContentView.h"
#include "ui/QtFileDialogs.h"
#include "ui/Theme.h"

namespace {
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
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Corvane"));
    QGuiApplication::setDesktopFileName(QStringLiteral("corvane"));
    QApplication::setWindowIcon(corvane::ui::themedIcon(QStringLiteral("corvane")));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Split a song into four stems."));
    parser.addPositionalArgument(QStringLiteral("file"), QStringLiteral("A song to open."),
                                 QStringLiteral("[FILE]"));
    parser.addHelpOption();
    parser.process(app);

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
