// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTest>
#include <cmath>

#include "UiTestSupport.h"
#include "ui/WaveformView.h"

namespace corvane::ui {
namespace {

constexpr int kW = 200;
constexpr int kH = 54;

// Bars in pure red, the playhead in pure green, so each shows in its own channel over the black
// background. Channels are premultiplied: red / 255 is the bar's opacity times its coverage.
class WaveformViewTest : public ::testing::Test {
protected:
    WaveformViewTest() : view(*rig.model) {
        view.resize(kW, kH);
        view.setColor(Qt::red);
        QPalette p = view.palette();
        p.setColor(QPalette::WindowText, Qt::green);
        view.setPalette(p);
    }
    // Without the window background a top-level view would get: only what the view paints.
    QImage image(const QRegion& region = {}) {
        QImage img(view.size(), QImage::Format_ARGB32_Premultiplied);
        img.fill(Qt::transparent);
        view.render(&img, region.boundingRect().topLeft(), region, QWidget::DrawChildren);
        return img;
    }
    static double red(const QImage& img, int x, int y) { return qRed(img.pixel(x, y)) / 255.0; }
    static double green(const QImage& img, int x, int y) { return qGreen(img.pixel(x, y)) / 255.0; }
    // A column's bar ink, in pixels of `full` (a wholly covered bar pixel's red), and its centre.
    struct Column {
        double ink = 0.0, centre = 0.0;
    };
    static Column column(const QImage& img, int x, double full) {
        Column c;
        for (int y = 0; y < img.height(); ++y) {
            c.ink += red(img, x, y) / full;
            c.centre += red(img, x, y) / full * (y + 0.5);
        }
        c.centre /= c.ink;
        return c;
    }
    void mouse(QEvent::Type type, double x, Qt::MouseButtons held = Qt::LeftButton) {
        const QPointF at(x, kH / 2.0);
        const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
        QMouseEvent event(type, at, view.mapToGlobal(at), button, held, Qt::NoModifier);
        QApplication::sendEvent(&view, &event);
    }

    test::UiRig rig;
    WaveformView view;
};

TEST_F(WaveformViewTest, EmptyEnvelopeDrawsOnlyTheBackgroundEvenWhilePlaying) {
    ASSERT_TRUE(rig.loadSong(2.0));
    rig.model->seek(1.0);
    rig.model->play();
    ASSERT_GT(rig.model->position(), 0.0);
    const QImage img = image();
    const int background = qAlpha(img.pixel(kW / 2, kH / 2));
    EXPECT_NEAR(background, 0.12 * 255, 1.5);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const QRgb px = img.pixel(x, y);
            ASSERT_EQ(qRed(px) + qGreen(px) + qBlue(px), 0) << "at " << x << "," << y;
            ASSERT_LE(qAlpha(px), background) << "at " << x << "," << y;
        }
    EXPECT_EQ(qAlpha(img.pixel(0, 0)), 0) << "the corners are rounded";
}

TEST_F(WaveformViewTest, BarsSpanTheirShareOfTheWidthAndHeightAroundTheMiddle) {
    view.setPeaks({1.0f});
    QImage img = image();
    const double full = red(img, 100, kH / 2);
    EXPECT_NEAR(full, 0.9, 0.01);
    EXPECT_NEAR(column(img, 100, full).ink, 54 * 0.95, 0.1);
    EXPECT_NEAR(column(img, 100, full).centre, 27.0, 0.05);
    double rowInk = 0.0;
    for (int x = 0; x < kW; ++x) rowInk += red(img, x, kH / 2) / full;
    EXPECT_NEAR(rowInk, 199.5, 0.1);

    // A silent bin still shows: one pixel high on the middle line.
    view.setPeaks({0.0f, 1.0f});
    img = image();
    EXPECT_NEAR(column(img, 50, full).ink, 1.0, 0.05);
    EXPECT_NEAR(column(img, 50, full).centre, 27.0, 0.05);
    EXPECT_EQ(red(img, 100, 10), full) << "the second bar begins at half the width";

    // Dimmed: the same bars, fainter.
    view.setDimmed(true);
    img = image();
    const double faint = red(img, 150, kH / 2);
    EXPECT_NEAR(faint, 0.25, 0.01);
    EXPECT_NEAR(column(img, 150, faint).ink, 54 * 0.95, 0.1);
}

TEST_F(WaveformViewTest, PlayheadSitsAtThePositionsShareOfTheWidth) {
    view.setPeaks(std::vector<float>(100, 0.0f));
    ASSERT_TRUE(rig.loadSong(2.0));
    rig.model->seek(rig.model->duration() / 2.0);
    const QImage img = image();
    const int y = 5;  // above the bars
    EXPECT_NEAR(green(img, kW / 2 - 1, y), 1.0, 0.01);
    EXPECT_NEAR(green(img, kW / 2, y), 1.0, 0.01);
    EXPECT_LT(green(img, kW / 2 - 2, y), 0.01);
    EXPECT_LT(green(img, kW / 2 + 1, y), 0.01);
}

// The view fills its bars in runs on a layer for speed; the picture must be the one of a single
// path of all the bars, whether the bars have gaps, touch (step 0.5) or overlap (step < 0.5).
TEST_F(WaveformViewTest, BarsLookLikeOnePathOfAllTheBars) {
    std::vector<float> peaks(600);
    for (std::size_t i = 0; i < peaks.size(); ++i) peaks[i] = float((i * 7919) % 101) / 100.0f;
    view.setPeaks(peaks);
    for (const int width : {700, 300, 250}) {
        view.resize(width, kH);
        QImage expected(view.size(), QImage::Format_ARGB32_Premultiplied);
        expected.fill(Qt::transparent);
        {
            QPainter p(&expected);
            p.setRenderHint(QPainter::Antialiasing);
            QPainterPath frame;
            frame.addRoundedRect(QRectF(0, 0, width, kH), 6, 6);
            p.fillPath(frame, QColor(0, 0, 0, 31));
            p.setClipPath(frame);
            QPainterPath bars;
            bars.setFillRule(Qt::WindingFill);
            const double step = double(width) / 600.0;
            for (std::size_t i = 0; i < peaks.size(); ++i) {
                const double barHeight = std::max(1.0, peaks[i] * kH * 0.95);
                bars.addRect(QRectF(i * step, kH / 2.0 - barHeight / 2.0, std::max(0.5, step - 0.5),
                                    barHeight));
            }
            p.fillPath(bars, QColor(255, 0, 0, 230));
        }
        const QImage actual = image();
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < width; ++x) {
                const QRgb a = actual.pixel(x, y), e = expected.pixel(x, y);
                ASSERT_LE(std::abs(qRed(a) - qRed(e)) + std::abs(qAlpha(a) - qAlpha(e)), 4)
                    << "width " << width << " at " << x << "," << y;
            }
    }
}

// A playhead tick repaints a few pixels; what those pixels show must match a full repaint.
TEST_F(WaveformViewTest, PlayheadMovesRepaintOnlyItsOldAndNewPlace) {
    std::vector<float> peaks(150);
    for (std::size_t i = 0; i < peaks.size(); ++i) peaks[i] = float(i % 7) / 7.0f;
    view.setPeaks(peaks);
    ASSERT_TRUE(rig.loadSong(2.0));
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));

    struct Recorder : QObject {
        QRegion painted;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Paint) painted += static_cast<QPaintEvent*>(e)->region();
            return false;
        }
    } recorder;
    view.installEventFilter(&recorder);
    rig.model->seek(rig.model->duration() * 0.3);
    ASSERT_TRUE(test::waitUntil([&] { return !recorder.painted.isEmpty(); }));
    view.removeEventFilter(&recorder);
    const QRegion painted = recorder.painted;
    // Both the old playhead (at -1, on pixel 0) and the new one are covered, little else.
    const double at = rig.model->position() / rig.model->duration() * kW - 1.0;
    const int left = int(std::floor(at));
    const QRegion playheads =
        QRegion(0, 0, 1, kH) + QRect(left, 0, int(std::ceil(at + 2)) - left, kH);
    EXPECT_TRUE(playheads.subtracted(painted).isEmpty());
    int paintedWidth = 0;
    for (const QRect& r : painted) paintedWidth += r.width();
    EXPECT_LE(paintedWidth, 12);

    const QImage full = image();
    for (const QRect& r : painted)
        EXPECT_TRUE(image(r).copy(r) == full.copy(r)) << "x " << r.left() << " to " << r.right();
}

TEST_F(WaveformViewTest, PressingAndDraggingSeeksToThatShareOfTheSong) {
    ASSERT_TRUE(rig.loadSong(2.0));
    const model::StudioModel& m = *rig.model;
    const auto frameAt = [&](double share) {
        return static_cast<std::int64_t>(m.sampleRate() * (share * m.duration()));
    };
    mouse(QEvent::MouseButtonPress, kW / 4.0);
    EXPECT_EQ(m.startFrame(), frameAt(0.25));
    EXPECT_DOUBLE_EQ(m.position(), double(frameAt(0.25)) / m.sampleRate());
    mouse(QEvent::MouseMove, kW * 0.6);
    EXPECT_EQ(m.startFrame(), frameAt(0.6));
    mouse(QEvent::MouseMove, kW + 40.0);
    EXPECT_EQ(m.startFrame(), m.totalFrames() - 1);
    mouse(QEvent::MouseMove, -30.0);
    EXPECT_EQ(m.startFrame(), 0);
    mouse(QEvent::MouseMove, kW / 2.0);
    mouse(QEvent::MouseButtonRelease, kW * 0.9, Qt::NoButton);
    EXPECT_EQ(m.startFrame(), frameAt(0.5)) << "releasing does not seek";
    view.setMouseTracking(true);
    mouse(QEvent::MouseMove, kW * 0.1, Qt::NoButton);
    EXPECT_EQ(m.startFrame(), frameAt(0.5)) << "hovering does not seek";
}

}  // namespace
}  // namespace corvane::ui
