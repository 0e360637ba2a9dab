// SPDX-License-Identifier: GPL-3.0-or-later
#include <QPaintEvent>

#include "ModelTestSupport.h"
#include "ui/Timeline.h"
#include "ui/WaveformView.h"

namespace corvane::ui {
namespace {

constexpr int kW = 200;
constexpr int kH = 54;

double red(const QImage& img, int x, int y) { return qRed(img.pixel(x, y)) / 255.0; }

// The bar ink in `r`, in wholly covered pixels (whose red is `full`), and its vertical centre.
std::pair<double, double> ink(const QImage& img, const QRect& r, double full) {
    double sum = 0.0, moment = 0.0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x) {
            sum += red(img, x, y) / full;
            moment += red(img, x, y) / full * (y + 0.5);
        }
    return {sum, moment / sum};
}

// Bars in pure red, the playhead in pure green, so each shows in its own channel over the black
// background. Channels are premultiplied: red / 255 is the bar's opacity times its coverage.
TEST(WaveformView, BarsPlayheadAndSeeking) {
    test::ModelRig rig;
    model::StudioModel& m = *rig.model;
    WaveformView view{m};
    view.resize(kW, kH);
    view.setColor(Qt::red);
    QPalette palette = view.palette();
    palette.setColor(QPalette::WindowText, Qt::green);
    view.setPalette(palette);
    // Only what the view paints, without the window background a top-level view would get.
    const auto image = [&](const QRegion& region = {}) {
        QImage img(view.size(), QImage::Format_ARGB32_Premultiplied);
        img.fill(Qt::transparent);
        view.render(&img, region.boundingRect().topLeft(), region, QWidget::DrawChildren);
        return img;
    };

    view.setPeaks({1.0f});
    QImage img = image();
    const double full = red(img, 100, kH / 2);
    EXPECT_NEAR(full, 0.9, 0.01);
    EXPECT_NEAR(ink(img, {100, 0, 1, kH}, full).first, 54 * 0.95, 0.1);
    EXPECT_NEAR(ink(img, {100, 0, 1, kH}, full).second, 27.0, 0.05);
    EXPECT_NEAR(ink(img, {0, kH / 2, kW, 1}, full).first, 199.5, 0.1);
    // A silent bin still shows: one pixel high on the middle line.
    view.setPeaks({0.0f, 1.0f});
    img = image();
    EXPECT_NEAR(ink(img, {50, 0, 1, kH}, full).first, 1.0, 0.05);
    EXPECT_NEAR(ink(img, {50, 0, 1, kH}, full).second, 27.0, 0.05);
    EXPECT_EQ(red(img, 100, 10), full) << "the second bar begins at half the width";
    // Bars are filled in runs for speed, yet a pixel neighbours share must be blended once, as by
    // one path of all the bars: touching (step 0.5) or overlapping, they make a seamless row.
    view.setPeaks(std::vector<float>(600, 1.0f));
    for (const int width : {300, 250}) {
        view.resize(width, kH);
        EXPECT_NEAR(ink(image(), {0, kH / 2, width, 1}, full).first, width, 0.5) << width;
    }
    view.setDimmed(true);
    EXPECT_NEAR(red(image(), 150, kH / 2), 0.25, 0.01) << "dimmed bars are fainter";

    view.setPeaks({});
    view.resize(kW, kH);
    ASSERT_TRUE(rig.load(2.0));
    m.seek(1.0);
    m.play();
    const QImage empty = image();  // no envelope: only the background, even while playing
    const int background = qAlpha(empty.pixel(kW / 2, kH / 2));
    EXPECT_NEAR(background, 0.12 * 255, 1.5);
    const auto* px = reinterpret_cast<const QRgb*>(empty.constBits());
    EXPECT_TRUE(std::all_of(px, px + kW * kH, [&](QRgb p) {
        return qRed(p) + qGreen(p) + qBlue(p) == 0 && qAlpha(p) <= background;
    }));
    m.stop();

    // A playhead move repaints a few pixels; what those show must match a full repaint.
    std::vector<float> peaks(150);
    for (std::size_t i = 0; i < peaks.size(); ++i) peaks[i] = float(i % 7) / 7.0f;
    view.setPeaks(peaks);
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
    m.seek(1.0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !recorder.painted.isEmpty(); }));
    view.removeEventFilter(&recorder);
    const QImage whole = image();
    for (int x = kW / 2 - 2; x <= kW / 2 + 1; ++x)  // two pixels wide, left edge at w/2 - 1
        EXPECT_NEAR(qGreen(whole.pixel(x, 5)) / 255.0, x == kW / 2 - 1 || x == kW / 2, 0.01) << x;
    // The old playhead (at -1, on pixel 0) and the new one are repainted, and little else.
    EXPECT_TRUE((QRegion(0, 0, 1, kH) + QRect(kW / 2 - 1, 0, 2, kH))
                    .subtracted(recorder.painted)
                    .isEmpty());
    int paintedWidth = 0;
    for (const QRect& r : recorder.painted) {
        paintedWidth += r.width();
        EXPECT_TRUE(image(r).copy(r) == whole.copy(r)) << "x " << r.left() << " to " << r.right();
    }
    EXPECT_LE(paintedWidth, 12);

    QTest::mousePress(&view, Qt::LeftButton, {}, {kW / 4, kH / 2});
    EXPECT_EQ(m.startFrame(), 22050);  // a quarter of 2 s
    QTest::mouseMove(&view, {kW + 40, kH / 2});
    EXPECT_EQ(m.startFrame(), m.totalFrames() - 1);
    QTest::mouseMove(&view, {-30, kH / 2});
    EXPECT_EQ(m.startFrame(), 0);
    QTest::mouseRelease(&view, Qt::LeftButton, {}, {kW / 2, kH / 2});
    view.setMouseTracking(true);
    QTest::mouseMove(&view, {kW / 10, kH / 2});
    EXPECT_EQ(m.startFrame(), 0) << "a drag seeks, hovering does not";
    // Only the primary button seeks: a right or middle click, or a drag with one, moves nothing.
    for (const Qt::MouseButton button : {Qt::RightButton, Qt::MiddleButton}) {
        QTest::mousePress(&view, button, {}, {kW / 2, kH / 2});
        QTest::mouseMove(&view, {kW / 3, kH / 2});
        QTest::mouseRelease(&view, button, {}, {kW / 3, kH / 2});
        EXPECT_EQ(m.startFrame(), 0) << button;
    }
}

// Zoomed in, each pixel column is the stem's own min and max over its frames, once the worker has
// made them; until then the envelope, stretched, stands in. The whole-song view is unchanged.
TEST(WaveformView, ZoomedColumnsAreTheStemsOwnMinAndMax) {
    test::ModelRig rig;
    model::StudioModel& m = *rig.model;
    ASSERT_TRUE(rig.load(2.0));
    Timeline timeline(m);
    WaveformView view{m};
    constexpr int kStem = 1, kWidth = 400;
    view.resize(kWidth, kH);
    view.setColor(Qt::red);
    view.setPeaks(m.peaks()[kStem]);
    view.setTimeline(&timeline, kStem);
    const auto image = [&] {
        QImage img(view.size(), QImage::Format_ARGB32_Premultiplied);
        img.fill(Qt::transparent);
        view.render(&img, {}, {}, QWidget::DrawChildren);
        return img;
    };
    const QImage whole = image();

    timeline.zoomBy(timeline.maxLevel(), 0.3);  // a second across
    ASSERT_EQ(timeline.span(), 1.0);
    const double fpp = timeline.framesPerPixel(kWidth);
    const QImage coarse = image();  // asks for the tiles, shows the envelope meanwhile
    EXPECT_FALSE(coarse == whole);
    const double columnAtZero = timeline.start() * m.sampleRate() / fpp;
    const auto column = [&](int x) { return std::int64_t(std::floor(columnAtZero + x + 0.5)); };
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return timeline.peakCache().cached(fpp, column(0) / 256) &&
               timeline.peakCache().cached(fpp, column(kWidth - 1) / 256);
    }));
    const QImage fine = image();
    EXPECT_FALSE(fine == coarse);

    float loudest = 0.0f;
    for (const auto& stem : m.stems())
        for (const auto* ch : {&stem->l, &stem->r})
            for (float v : *ch) loudest = std::max(loudest, std::fabs(v));
    const dsp::StemData& stem = *m.stems()[kStem];
    const double full = 0.9;  // the bars' opacity, in red
    for (int x = 10; x < kWidth - 10; x += 37) {
        const double c = static_cast<double>(column(x));
        const auto from = static_cast<std::size_t>(std::floor(c * fpp));
        const auto to = static_cast<std::size_t>(std::floor((c + 1.0) * fpp));
        float lo = 0.0f, hi = 0.0f;
        for (std::size_t i = from; i < to; ++i)
            for (float v : {stem.l[i], stem.r[i]}) {
                lo = std::min(lo, v / loudest);
                hi = std::max(hi, v / loudest);
            }
        const double half = kH * 0.95 / 2.0;
        const double height = std::max(1.0, (hi - lo) * half);
        const auto [amount, centre] = ink(fine, {x, 0, 1, kH}, full);
        EXPECT_NEAR(amount, height, 1.5) << "column at x " << x;
        EXPECT_NEAR(centre, kH / 2.0 - (hi + lo) / 2.0 * half, 1.0) << "column at x " << x;
    }
    timeline.reset();
    EXPECT_TRUE(image() == whole) << "the whole song draws the envelope as before";
}

}  // namespace
}  // namespace corvane::ui
