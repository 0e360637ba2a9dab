// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <QLabel>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <fstream>

#include "UiTestSupport.h"
#include "ui/ContentView.h"
#include "ui/StripView.h"

namespace corvane::model {
// Test access to the model's published state.
class StudioModelTestAccess {
public:
    static void setPhase(StudioModel& m, Phase phase) { m.setPhase(phase); }
    static void setProgress(StudioModel& m, double progress) { m.setProgress(progress); }
};
}  // namespace corvane::model

using namespace corvane;
using namespace corvane::test;
using model::Phase;
using model::StudioModelTestAccess;

namespace {

struct Window : ::testing::Test {
    UiRig rig;
    std::unique_ptr<ui::ContentView> view;

    void SetUp() override {
        view = std::make_unique<ui::ContentView>(*rig.model, rig.dialogs);
        view->resize(1000, 700);
        view->show();
        view->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
    }

    template <class T = QWidget>
    T* child(const char* name) {
        T* found = view->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    // Drags `urls` (or plain text when empty) over the window and drops them.
    void drop(const QList<QUrl>& urls) {
        QMimeData data;
        if (urls.isEmpty())
            data.setText(QStringLiteral("just words"));
        else
            data.setUrls(urls);
        const QPoint at = view->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(view.get(), &enter);
        QDropEvent dropEvent(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(view.get(), &dropEvent);
    }

    QString fileIn(const std::string& name) const {
        return QString::fromStdString((rig.dir / name).string());
    }
};

}  // namespace

TEST_F(Window, TheScreenFollowsThePhase) {
    EXPECT_TRUE(child("dropZone")->isVisible());
    EXPECT_FALSE(child("processing")->isVisible());
    EXPECT_TRUE(child("openButton")->isVisible());

    StudioModelTestAccess::setPhase(*rig.model, Phase::processing);
    EXPECT_TRUE(child("processing")->isVisible());
    EXPECT_FALSE(child("dropZone")->isVisible());
    EXPECT_FALSE(child("openButton")->isVisible());  // no "Open Audio…" while separating

    ASSERT_TRUE(rig.loadSong(2.0));
    EXPECT_TRUE(child("studio")->isVisible());
    EXPECT_TRUE(child("openButton")->isVisible());
    EXPECT_EQ(view->findChildren<ui::StripView*>().size(), 4);
}

TEST_F(Window, ProgressShowsTheFileAndATruncatedPercentage) {
    rig.model->load(fileIn("song.mp3"));  // fails later; the name shows at once
    StudioModelTestAccess::setPhase(*rig.model, Phase::processing);
    for (auto [progress, text] :
         {std::pair{0.0, "0%"}, {0.4567, "45%"}, {0.999, "99%"}, {1.0, "100%"}}) {
        StudioModelTestAccess::setProgress(*rig.model, progress);
        EXPECT_EQ(child<QLabel>("percentLabel")->text(), text) << progress;
    }
    EXPECT_EQ(child<QLabel>("progressLabel")->text(), "Separating song.mp3…");
    EXPECT_EQ(child<QProgressBar>("progressBar")->width(), 420);  // in a 1000-wide window
}

TEST_F(Window, AnEmptyStatusTakesNoSpace) {
    QWidget* status = child("statusLabel");
    EXPECT_FALSE(status->isVisible());
    const int infoTop = child("infoLabel")->mapTo(view.get(), QPoint(0, 0)).y();
    rig.model->load(fileIn("missing.wav"));
    ASSERT_TRUE(waitUntil([&] { return rig.model->phase() == Phase::idle; }));
    EXPECT_TRUE(status->isVisible());
    EXPECT_EQ(child<QLabel>("statusLabel")->text(),
              "Couldn't read that file: No such file or directory");
    QCoreApplication::processEvents();
    // The status line now sits above the information line, which the screen area made room for.
    EXPECT_EQ(child("infoLabel")->mapTo(view.get(), QPoint(0, 0)).y(), infoTop);
    EXPECT_LT(status->geometry().bottom(), child("infoLabel")->mapTo(view.get(), QPoint(0, 0)).y());
}

TEST_F(Window, AClickAnywhereInTheDropZoneOpensTheOpenDialog) {
    QWidget* zone = child("dropZone");
    QTest::mouseClick(zone, Qt::LeftButton, {}, QPoint(12, zone->height() - 12));  // a corner
    EXPECT_EQ(rig.dialogs.openRequests, 1);
    EXPECT_EQ(rig.model->phase(), Phase::idle);  // cancelled: nothing happens

    const QString song = writeSong(rig.dir, "picked.wav", testSong(44100));
    rig.dialogs.openAnswers.push_back(song);
    QTest::mouseClick(child<QPushButton>("openButton"), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return rig.model->phase() == Phase::ready; }));
    EXPECT_EQ(rig.model->fileName(), "picked.wav");
}

TEST_F(Window, DropsLoadTheFirstFileAndIgnoreTheRest) {
    const QString first = writeSong(rig.dir, "first.wav", testSong(44100));
    const QString second = writeSong(rig.dir, "second.wav", testSong(22050));
    drop({QUrl::fromLocalFile(first), QUrl::fromLocalFile(second),
          QUrl::fromLocalFile(fileIn("third.wav"))});
    ASSERT_TRUE(waitUntil([&] { return rig.model->phase() == Phase::ready; }));
    EXPECT_EQ(rig.model->fileName(), "first.wav");
    EXPECT_FALSE(view->targeted());

    // Something without a file location is ignored without a word, in the studio too.
    drop({});
    drop({QUrl(QStringLiteral("https://example.invalid/song.mp3"))});
    EXPECT_EQ(rig.model->phase(), Phase::ready);
    EXPECT_TRUE(rig.model->status().isEmpty());

    // A text file is taken, then refused by the model: back to the drop zone with the reason.
    { std::ofstream(rig.dir / "notes.txt") << "not a song"; }
    drop({QUrl::fromLocalFile(fileIn("notes.txt"))});
    ASSERT_TRUE(waitUntil([&] { return rig.model->phase() == Phase::idle; }));
    EXPECT_TRUE(child("dropZone")->isVisible());
    EXPECT_TRUE(rig.model->status().startsWith("Couldn't read that file: "));
}

TEST_F(Window, AFileHoveringHighlightsTheDropZone) {
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(fileIn("x.wav"))});
    QDragEnterEvent enter(view->rect().center(), Qt::CopyAction, &data, Qt::LeftButton, {});
    QCoreApplication::sendEvent(view.get(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    EXPECT_TRUE(view->targeted());
    saveScreenshot(*view, QStringLiteral("drop-zone-hover"));
    QDragLeaveEvent leave;
    QCoreApplication::sendEvent(view.get(), &leave);
    EXPECT_FALSE(view->targeted());
    saveScreenshot(*view, QStringLiteral("drop-zone"));
}

TEST_F(Window, KaraokeMutesTheVocalsAndShowsItEverywhere) {
    ASSERT_TRUE(rig.loadSong(2.0));
    auto* karaoke = child<QPushButton>("karaokeButton");
    auto* vocalsMute = view->findChildren<ui::StripView*>().at(0)->findChild<QPushButton*>(
        QStringLiteral("muteButton"));
    ASSERT_NE(vocalsMute, nullptr);
    const QString grayStyle = karaoke->styleSheet();

    QTest::mouseClick(karaoke, Qt::LeftButton);
    EXPECT_TRUE(rig.model->strips()[0].mute);
    EXPECT_EQ(rig.model->engine().gain(0), 0.0f);
    EXPECT_NE(karaoke->styleSheet(), grayStyle);
    EXPECT_TRUE(
        karaoke->styleSheet().contains(QColor(0xFF, 0x2D, 0x55).name(), Qt::CaseInsensitive));
    EXPECT_TRUE(
        vocalsMute->styleSheet().contains(QColor(0xFF, 0x3B, 0x30).name(), Qt::CaseInsensitive));
    for (int i = 1; i < 4; ++i) EXPECT_FALSE(rig.model->strips()[i].mute);

    QTest::mouseClick(karaoke, Qt::LeftButton);
    EXPECT_FALSE(rig.model->strips()[0].mute);
    EXPECT_EQ(rig.model->engine().gain(0), 1.0f);
    EXPECT_EQ(karaoke->styleSheet(), grayStyle);
}

TEST_F(Window, SpaceTogglesPlaybackWhateverHasFocus) {
    ASSERT_TRUE(rig.loadSong(3.0));
    auto* volume = view->findChildren<ui::StripView*>().at(1)->findChild<QSlider*>(
        QStringLiteral("volumeSlider"));
    ASSERT_NE(volume, nullptr);
    volume->setFocus();
    QTest::keyClick(view.get(), Qt::Key_Space);
    EXPECT_TRUE(rig.model->isPlaying());
    rig.device->render(44100);
    QTest::keyClick(view.get(), Qt::Key_Space);
    EXPECT_FALSE(rig.model->isPlaying());
    EXPECT_GT(rig.model->startFrame(), 0);
    EXPECT_EQ(volume->value(), 1000);  // the slider did not take the key
}

TEST_F(Window, Screenshots) {
    StudioModelTestAccess::setPhase(*rig.model, Phase::processing);
    rig.model->load(fileIn("My Song.mp3"));
    StudioModelTestAccess::setProgress(*rig.model, 0.4567);
    saveScreenshot(*view, QStringLiteral("processing"));

    ASSERT_TRUE(rig.loadSong(30.0, "Demo Song.wav"));
    model::Strip drums = rig.model->strips()[1];
    drums.solo = true;
    rig.model->setStrip(1, drums);
    model::Strip other = rig.model->strips()[3];
    other.mute = true;
    other.volume = 0.8f;
    rig.model->setStrip(3, other);
    rig.model->applyGains();
    rig.model->seek(11.0);
    rig.model->play();
    rig.device->render(44100 * 2);
    ASSERT_TRUE(waitUntil([&] { return rig.model->position() > 11.5; }, std::chrono::seconds(2)));
    QCoreApplication::processEvents();
    saveScreenshot(*view, QStringLiteral("studio"));
    const QImage shot = view->grab().toImage();
    EXPECT_FALSE(shot.isNull());
}
