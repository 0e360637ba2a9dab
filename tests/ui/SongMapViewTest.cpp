// SPDX-License-Identifier: GPL-3.0-or-later
#include <QLabel>
#include <QPainter>

#include "WindowFixture.h"
#include "model/MapText.h"
#include "ui/BeatGrid.h"
#include "ui/ChordLane.h"
#include "ui/FileDialogs.h"
#include "ui/Timeline.h"

using namespace corvane;
using namespace corvane::test;

TEST(BeatGrid, LinesThinOutWithTheZoomButNeverCrowdOrVanish) {
    const analysis::SongMap waltz = steadyMap(600.0, 170.0, 3, 0.4);
    const analysis::SongMap slow = steadyMap(600.0, 70.0, 4);
    for (const analysis::SongMap* map : {&waltz, &slow}) {
        for (const double span : {1.0, 4.0, 15.0, 60.0, 240.0, 600.0}) {
            for (const double width : {150.0, 900.0}) {
                const double start = span < 600.0 ? 17.3 : 0.0;
                const auto lines = ui::gridLines(*map, start, span, width);
                const auto labels = ui::barLabels(*map, start, span, width);
                const std::string what = std::to_string(map->tempoBpm) + " bpm, " +
                                         std::to_string(span) + " s in " + std::to_string(width) +
                                         " px";
                // A bar's length or more in view always shows a line and a number.
                if (span >= 60.0 / map->tempoBpm * map->beatsPerBar * 2.0) {
                    EXPECT_FALSE(lines.empty()) << what;
                    EXPECT_FALSE(labels.empty()) << what;
                }
                const auto px = [&](double t) { return t / span * width; };
                for (std::size_t i = 1; i < lines.size(); ++i)
                    ASSERT_GE(px(lines[i].seconds - lines[i - 1].seconds),
                              ui::kMinGridSpacing - 1e-9)
                        << what << ", line " << i;
                for (std::size_t i = 1; i < labels.size(); ++i)
                    ASSERT_GE(px(labels[i].seconds - labels[i - 1].seconds),
                              ui::kMinBarLabelSpacing - 1e-9)
                        << what << ", label " << i;
                // Every line is a beat of the map, flagged a bar exactly on beat 1; labels only
                // on bars.
                for (const ui::GridLine& l : lines)
                    ASSERT_EQ(l.bar, std::any_of(map->beats.begin(), map->beats.end(),
                                                 [&](const analysis::Beat& b) {
                                                     return b.time == l.seconds && b.beat == 1;
                                                 }))
                        << what;
                for (const ui::GridLine& l : labels) ASSERT_TRUE(l.bar) << what;
            }
        }
    }
    // Close in, every beat; far out, bars only.
    EXPECT_EQ(ui::gridLines(slow, 0.0, 4.0, 900.0).size(), 6u);  // 0 .. 4.29 s, one to spare
    const auto far = ui::gridLines(slow, 0.0, 600.0, 900.0);
    EXPECT_TRUE(std::all_of(far.begin(), far.end(), [](const auto& l) { return l.bar; }));
    EXPECT_TRUE(ui::gridLines(analysis::SongMap{}, 0.0, 10.0, 900.0).empty());
}

struct SongMapWindow : WindowTest {};

TEST_F(SongMapWindow, ShowsTheGridChordLaneTempoAndKeyAndFollowsThePitch) {
    auto* lane = view.findChild<ui::ChordLane*>("chordLane");
    auto* summary = view.findChild<QLabel*>("mapSummary");
    ASSERT_TRUE(lane && summary);
    ASSERT_TRUE(rig.load(16.0));
    ASSERT_TRUE(QTest::qWaitFor([&] { return m.songMap().has_value(); }, 20000));
    const analysis::SongMap& map = *m.songMap();
    ASSERT_TRUE(map.hasHarmony() && map.steadyBeat);
    EXPECT_FALSE(summary->isHidden());
    EXPECT_EQ(summary->text(), model::tempoText(map, {}) + " · " + model::keyText(map, {}));

    // Playhead inside a chord that has a next one: the lane names both as heard.
    std::size_t at = 0;
    while (at + 1 < map.chords.size() && map.chords[at].quality == analysis::ChordQuality::none)
        ++at;
    ASSERT_LT(at + 1, map.chords.size());
    m.seek((map.chords[at].start + map.chords[at].end) / 2.0);
    QTest::qWait(50);
    saveScreenshot(view, "song-map");
    for (const double semitones : {0.0, 2.0, -5.0}) {
        m.setStretch({0.8, semitones});
        const playback::Stretch heard{0.8, semitones};
        EXPECT_EQ(std::tuple(lane->currentChord(), lane->nextChord()),
                  std::tuple(model::chordText(map.chords[at], map.key, heard),
                             model::chordText(map.chords[at + 1], map.key, heard)))
            << semitones;
        EXPECT_EQ(summary->text(),
                  model::tempoText(map, heard) + " · " + model::keyText(map, heard));
    }
    EXPECT_NE(model::chordText(map.chords[at], map.key, {1.0, 2.0}),
              model::chordText(map.chords[at], map.key, {}));
    QTest::qWait(50);  // the transport bar lays out the longer text
    saveScreenshot(view, "song-map-pitched");

    // The grid is drawn where the lines are, bars stronger than beats, and nowhere else.
    auto* timeline = view.findChild<ui::Timeline*>();
    ASSERT_NE(timeline, nullptr);
    constexpr int kWidth = 800;
    QImage image(kWidth, 4, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        ui::paintBeatGrid(painter, *timeline, ui::shownMap(m), view.palette(), kWidth, 4);
    }
    const auto lines = ui::gridLines(map, timeline->start(), timeline->span(), kWidth);
    ASSERT_FALSE(lines.empty());
    std::vector<int> expected(kWidth, 0);  // 0 none, 1 beat, 2 bar
    for (const ui::GridLine& l : lines) {
        const long x = std::lround(timeline->xOf(l.seconds, kWidth));
        if (x >= 0 && x < kWidth) expected[static_cast<std::size_t>(x)] = l.bar ? 2 : 1;
    }
    int bar = -1, beat = -1;
    for (int x = 0; x < kWidth; ++x) {
        const int alpha = image.pixelColor(x, 2).alpha();
        const int want = expected[static_cast<std::size_t>(x)];
        ASSERT_EQ(alpha > 0, want > 0) << "column " << x;
        if (want == 2) bar = alpha;
        if (want == 1) beat = alpha;
    }
    EXPECT_GT(bar, beat);
}
