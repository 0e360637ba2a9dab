// SPDX-License-Identifier: GPL-3.0-or-later
// The practice tools' plain logic: the speed trainer's tempo per pass, markers, grid corrections
// and loops on the grid.
#include <gtest/gtest.h>

#include "model/BeatGrid.h"
#include "model/Markers.h"
#include "model/SpeedTrainer.h"

using namespace corvane;
using namespace corvane::model;

namespace {

// A steady grid: `count` beats `period` s apart from `first`, bars of `perBar` from the first.
std::vector<analysis::Beat> grid(double first, double period, int count, int perBar = 4) {
    std::vector<analysis::Beat> beats;
    for (int k = 0; k < count; ++k)
        beats.push_back({first + k * period, k / perBar + 1, k % perBar + 1});
    return beats;
}

}  // namespace

TEST(SpeedTrainer, StepsEveryNPassesToTheTargetThenStopsOrKeepsLooping) {
    // "60 % -> 100 %, +5 % every 2 passes": 8 steps, the target from pass 16.
    const SpeedTrainer keep({60, 5, 2, 100, false});
    for (int pass = 0; pass < 16; ++pass)
        EXPECT_DOUBLE_EQ(*keep.tempoForPass(pass), (60 + 5 * (pass / 2)) / 100.0) << pass;
    EXPECT_DOUBLE_EQ(*keep.tempoForPass(16), 1.0);
    EXPECT_DOUBLE_EQ(*keep.tempoForPass(1000), 1.0);
    const SpeedTrainer stop({60, 5, 2, 100, true});
    EXPECT_DOUBLE_EQ(*stop.tempoForPass(17), 1.0);  // two passes at the target, then done
    EXPECT_FALSE(stop.tempoForPass(18).has_value());
    // A step that does not divide the distance ends on the target, not beyond it; a step away
    // from the target goes towards it; out-of-range settings are brought into the stretcher's.
    EXPECT_DOUBLE_EQ(*SpeedTrainer({70, 7, 1, 80, false}).tempoForPass(2), 0.8);
    EXPECT_DOUBLE_EQ(*SpeedTrainer({100, 10, 1, 80, false}).tempoForPass(1), 0.9);
    EXPECT_DOUBLE_EQ(*SpeedTrainer({10, 5, 0, 400, false}).tempoForPass(0), 0.5);
    EXPECT_DOUBLE_EQ(*SpeedTrainer({10, 5, 0, 400, false}).tempoForPass(1000), 1.5);
    EXPECT_DOUBLE_EQ(*SpeedTrainer({70, 0, 2, 100, false}).tempoForPass(50), 0.7);
}

TEST(Markers, AddRenameRemoveAndStepThroughInTimeOrderWithSections) {
    Markers m;
    EXPECT_EQ(m.add(30.0), 0);
    EXPECT_EQ(m.add(10.0, "Solo"), 0);
    EXPECT_EQ(m.add(-5.0), 0);  // never before the song
    EXPECT_EQ(m.all()[0].seconds, 0.0);
    EXPECT_EQ(m.all()[2].name, "Marker 1");
    EXPECT_TRUE(m.rename(2, "Bridge"));
    EXPECT_TRUE(m.rename(1, ""));  // an empty name keeps the old one
    EXPECT_EQ(m.all()[1].name, "Solo");
    EXPECT_FALSE(m.rename(3, "x"));
    EXPECT_EQ(m.next(10.0), 2);  // the one at the playhead is not "next"
    EXPECT_EQ(m.previous(10.0), 0);
    EXPECT_EQ(m.next(30.0), std::nullopt);
    EXPECT_EQ(m.previous(0.0), std::nullopt);
    m.setSections({{0.0, 20.0, "A"}, {20.0, 40.0, "B"}});
    m.setSections({{0.0, 25.0, "A"}, {25.0, 40.0, "B"}});  // the map's again: replaced, not added
    ASSERT_EQ(m.all().size(), 5u);
    EXPECT_EQ(m.all()[3].name, "B");
    EXPECT_TRUE(m.all()[3].section);
    EXPECT_TRUE(m.remove(3));
    EXPECT_FALSE(m.remove(9));
    Markers copy;
    copy.assign(m.all());
    EXPECT_EQ(copy.all(), m.all());
}

TEST(BeatGrid, EditsGiveTheCorrectedGridNumberedFromItsDownbeat) {
    const auto beats = grid(0.5, 0.5, 16);  // 120 bpm, 4/4, from 0.5 s
    EXPECT_EQ(applyGridEdits(beats, 4, {}, 10.0).size(), beats.size());
    const auto doubled = applyGridEdits(beats, 4, {std::nullopt, 1, 0.0, std::nullopt}, 10.0);
    ASSERT_EQ(doubled.size(), 31u);
    EXPECT_DOUBLE_EQ(doubled[1].time, 0.75);
    EXPECT_EQ(doubled[4].beat, 1);  // bars of 4 of the new beats
    const auto halved = applyGridEdits(beats, 4, {std::nullopt, -1, 0.0, std::nullopt}, 10.0);
    ASSERT_EQ(halved.size(), 8u);
    EXPECT_DOUBLE_EQ(halved[1].time, 1.5);
    const auto nudged = applyGridEdits(beats, 4, {std::nullopt, 0, -0.6, std::nullopt}, 10.0);
    ASSERT_EQ(nudged.size(), 15u);  // the first fell before the song
    EXPECT_NEAR(nudged[0].time, 0.4, 1e-12);
    // The downbeat set at 1.6 s: the beat at 1.5 is bar 2's first, after two beats of pickup.
    const auto moved = applyGridEdits(beats, 4, {std::nullopt, 0, 0.0, 1.6}, 10.0);
    EXPECT_EQ(moved[0].bar, 1);
    EXPECT_EQ(moved[0].beat, 3);
    EXPECT_EQ(moved[1].beat, 4);
    EXPECT_EQ(moved[2].bar, 2);
    EXPECT_EQ(moved[2].beat, 1);
    // Tapped at 100 bpm: a steady grid over the song through the old first beat.
    const auto tapped = applyGridEdits(beats, 4, {100.0, 0, 0.0, std::nullopt}, 6.0);
    EXPECT_NEAR(tapped[1].time - tapped[0].time, 0.6, 1e-12);
    EXPECT_NEAR(tapped[0].time, 0.5, 1e-12);
    EXPECT_EQ(tapped.size(), 10u);
    TapTempo taps;
    for (const double t : {0.0, 0.5, 1.0, 1.5, 5.0, 5.6, 6.2}) taps.tap(t);  // a pause: anew
    EXPECT_NEAR(*taps.bpm(), 100.0, 1e-9);
}

TEST(BeatGrid, LoopsSnapToBeatsAndBarsMoveAndGrowByBarsAndSayTheirBars) {
    const auto beats = grid(1.0, 0.5, 64);  // bars of 2 s from 1 s: bar n starts at 2n - 1
    EXPECT_DOUBLE_EQ(snapToBeat(beats, 2.2), 2.0);
    EXPECT_DOUBLE_EQ(snapToBar(beats, 2.2), 3.0);
    EXPECT_DOUBLE_EQ(snapToBeat({}, 2.2), 2.2);
    const LoopRegion bar = *barLoop(beats, 17.9);
    EXPECT_EQ(bar, (LoopRegion{17.0, 19.0, true}));
    EXPECT_EQ(barsText(beats, bar), "bar 9");
    const LoopRegion four{17.0, 25.0, true};
    EXPECT_EQ(barsText(beats, four), "bars 9\u201312");
    EXPECT_EQ(barsText(beats, {16.98, 19.02, true}), "bar 9");  // a few ms off the bar lines
    EXPECT_EQ(barsText(beats, {16.9, 19.0, true}), "bars 8\u20139");
    EXPECT_EQ(moveLoopByBars(beats, four, 1), (LoopRegion{19.0, 27.0, true}));
    EXPECT_EQ(moveLoopByBars(beats, four, -9), four);  // before the grid: unchanged
    EXPECT_EQ(resizeLoopByBars(beats, four, -1), (LoopRegion{17.0, 23.0, true}));
    EXPECT_EQ(resizeLoopByBars(beats, bar, -1), bar);  // never shorter than a bar
    EXPECT_FALSE(barLoop(beats, 0.5).has_value());
}
