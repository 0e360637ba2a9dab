// SPDX-License-Identifier: GPL-3.0-or-later
#include "ModelTestSupport.h"
#include "ui/TimeRuler.h"
#include "ui/Timeline.h"

namespace corvane::ui {
namespace {

// A song of `seconds` of silence at 1 kHz: the timeline needs only its length.
model::Song silentSong(double seconds) {
    model::Song song;
    song.sampleRate = 1000.0;
    song.frames = static_cast<std::int64_t>(seconds * 1000.0);
    auto stem = std::make_shared<dsp::StemData>();
    stem->l.assign(static_cast<std::size_t>(song.frames), 0.0f);
    stem->r = stem->l;
    song.stems.assign(4, stem);
    return song;
}

std::vector<QString> labels(const std::vector<RulerTick>& ticks) {
    std::vector<QString> out;
    for (const RulerTick& t : ticks) out.push_back(t.label);
    return out;
}

TEST(RulerTicks, StepsGrowWithTheSpanAndLabelsReadMinutesAndSeconds) {
    using L = std::vector<QString>;
    // Start, span and width; then the labels. 70 px at least between labels.
    const std::tuple<double, double, double, L> cases[] = {
        {0.0,
         100.0,
         700.0,
         {"0:00", "0:10", "0:20", "0:30", "0:40", "0:50", "1:00", "1:10", "1:20", "1:30", "1:40"}},
        {0.0, 3600.0, 700.0, {"0:00", "10:00", "20:00", "30:00", "40:00", "50:00", "60:00"}},
        {61.0, 4.0, 300.0, {"1:01", "1:02", "1:03", "1:04", "1:05"}},
        // Below a second per label, tenths; built from whole tenths (0.3 * 3 is not 0.8999...).
        {0.25,
         1.0,
         700.0,
         {"0:00.3", "0:00.4", "0:00.5", "0:00.6", "0:00.7", "0:00.8", "0:00.9", "0:01.0", "0:01.1",
          "0:01.2"}},
        {125.0, 40.0, 200.0, {"2:15", "2:30", "2:45"}},
        {61.0,
         4.0,
         700.0,
         {"1:01.0", "1:01.5", "1:02.0", "1:02.5", "1:03.0", "1:03.5", "1:04.0", "1:04.5",
          "1:05.0"}},
        {0.0, 0.0, 700.0, {}},
        {0.0, 10.0, 0.0, {}},
    };
    for (const auto& [start, span, width, expected] : cases)
        EXPECT_EQ(labels(rulerTicks(start, span, width, 70.0)), expected)
            << start << " + " << span << " over " << width;
    for (const RulerTick& t : rulerTicks(0.0, 3600.0, 700.0, 70.0))
        EXPECT_EQ(std::fmod(t.seconds, 600.0), 0.0);
    EXPECT_EQ(minorTickStep(10.0), 2.0);
    EXPECT_EQ(minorTickStep(900.0), 300.0);
}

TEST(Timeline, ZoomKeepsTheAnchorScrollStaysInTheSongAndMappingFollows) {
    test::ModelRig rig;
    Timeline t(*rig.model);
    t.setSong(silentSong(100.0));
    EXPECT_EQ(std::tuple(t.level(), t.start(), t.span(), t.maxLevel()),
              std::tuple(0, 0.0, 100.0, 27));  // 2^(27/4) > 100 > 2^(26/4)
    EXPECT_EQ(t.secondsAt(250.0, 1000.0), 25.0);

    t.zoomBy(4, 0.25);  // an octave in, about 25 s
    EXPECT_EQ(std::tuple(t.level(), t.start(), t.span()), std::tuple(4, 12.5, 50.0));
    EXPECT_DOUBLE_EQ(t.secondsAt(500.0, 1000.0), 37.5);
    EXPECT_DOUBLE_EQ(t.xOf(37.5, 1000.0), 500.0);
    EXPECT_EQ(t.secondsAt(-20.0, 1000.0), 12.5) << "past the left edge: the view's start";
    EXPECT_EQ(t.secondsAt(1e6, 1000.0), 62.5);

    t.scrollBy(1000.0);
    EXPECT_EQ(t.start(), 50.0) << "the view ends at the song's end";
    t.scrollBy(-1000.0);
    EXPECT_EQ(t.start(), 0.0);
    t.scrollTo(30.0);
    t.zoomBy(1000, 0.5);  // down to a second across, about 55 s
    EXPECT_EQ(std::tuple(t.level(), t.span()), std::tuple(27, 1.0));
    EXPECT_DOUBLE_EQ(t.start() + 0.5, 55.0);
    const int deepest = t.level();
    t.zoomBy(-deepest, 0.5);
    EXPECT_EQ(std::tuple(t.level(), t.start(), t.span()), std::tuple(0, 0.0, 100.0));
    t.scrollBy(10.0);
    EXPECT_EQ(t.start(), 0.0) << "the whole song has nowhere to scroll";

    // The same level gives the same span again (the peak cache is keyed on it).
    t.zoomBy(9, 0.0);
    const double span = t.span();
    t.zoomBy(-3, 0.0);
    t.zoomBy(3, 0.0);
    EXPECT_EQ(t.span(), span);
    // A different song starts whole; a song under a second cannot zoom.
    t.setSong(silentSong(0.5));
    EXPECT_EQ(std::tuple(t.level(), t.maxLevel(), t.span()), std::tuple(0, 0, 0.5));
    t.zoomBy(4, 0.5);
    EXPECT_EQ(t.span(), 0.5);
}

// A loop's ends land on the nearest beat while beats lie 8 px apart or more, else on the nearest
// bar line; where they were dropped with Alt, without a grid, or more than a step off the grid.
TEST(Timeline, LoopEndsSnapToBeatsOrBarsByHowCloseTheyAre) {
    test::ModelRig rig;
    Timeline t(*rig.model);
    t.setSong(silentSong(100.0));
    constexpr double kWidth = 1000.0;
    EXPECT_DOUBLE_EQ(t.loopPointAt(123.0, kWidth, false), 12.3) << "no grid yet";
    analysis::SongMap map;  // 120 bpm in 4 from 10 s to 90 s: a bar every 2 s
    map.durationSeconds = 100.0;
    map.steadyBeat = true;
    map.tempoBpm = 120.0;
    map.beatsPerBar = 4;
    for (int k = 0; k < 160; ++k) map.beats.push_back({10.0 + k * 0.5, 1 + k / 4, 1 + k % 4});
    rig.model->practice().setSongMap(map);

    // Zoom level, x, Alt; then where the end lands. 100 s across: a beat is 5 px, so bars; at
    // level 2, 7.1 px, still bars; at level 3, 8.4 px, beats.
    const std::tuple<int, double, bool, double> cases[] = {
        {0, 123.0, false, 12.0}, {0, 131.0, false, 14.0},
        {0, 123.0, true, 12.3},  {0, 85.0, false, 10.0},  // within a bar before the grid
        {0, 50.0, false, 5.0},                            // further off it, in the free intro
        {0, 995.0, false, 99.5}, {2, 173.0, false, 12.0},
        {3, 213.0, false, 12.5}, {3, 213.0, true, 12.6651}};
    for (const auto& [level, x, free, expected] : cases) {
        t.zoomBy(level - t.level(), 0.0);
        ASSERT_EQ(t.level(), level);
        EXPECT_NEAR(t.loopPointAt(x, kWidth, free), expected, 1e-4)
            << "level " << level << ", x " << x << (free ? ", Alt" : "");
    }
}

}  // namespace
}  // namespace corvane::ui
