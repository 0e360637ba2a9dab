// SPDX-License-Identifier: GPL-3.0-or-later
#include <cmath>
#include <limits>
#include <random>

#include "ModelTestSupport.h"
#include "model/PeakCache.h"
#include "model/PeakPyramid.h"
#include "model/Peaks.h"

namespace corvane::model {
namespace {

// The plain answer: every sample of both channels in [from, to), NaN skipped.
PeakRange bruteForce(const dsp::StemData& s, std::int64_t from, std::int64_t to) {
    float lo = std::numeric_limits<float>::infinity(), hi = -lo;
    for (std::int64_t i = std::max<std::int64_t>(from, 0); i < to; ++i)
        for (const std::vector<float>* ch : {&s.l, &s.r}) {
            if (i >= static_cast<std::int64_t>(ch->size())) continue;
            const float v = (*ch)[static_cast<std::size_t>(i)];
            if (std::isnan(v)) continue;
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    return {lo, hi};
}

dsp::StemData randomStem(std::int64_t frames, std::mt19937& rng) {
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    dsp::StemData s;
    for (std::int64_t i = 0; i < frames; ++i) {
        s.l.push_back(u(rng) * 0.8f);
        s.r.push_back(u(rng) * 0.8f);
    }
    return s;
}

TEST(Peaks, NormalisedTogetherSilenceStaysZeroAndNaNNeverWins) {
    auto constant = [](std::size_t n, float v) {
        return dsp::StemData{std::vector<float>(n, v), std::vector<float>(n, v)};
    };
    std::vector<dsp::StemData> stems = {constant(44100, 0.0f), constant(44100, 0.5f),
                                        constant(44100, 0.25f), dsp::StemData{}};
    stems[1].r[44100 / 2] = -0.5f;  // negative counts by its absolute value
    const auto peaks = computePeaks(stems, 600);
    ASSERT_EQ(peaks.size(), 4u);
    EXPECT_EQ(peaks[0], std::vector<float>(600, 0.0f));  // silent next to loud: not stretched
    EXPECT_EQ(peaks[1], std::vector<float>(600, 1.0f));  // the loudest doubles to exactly 1
    EXPECT_EQ(peaks[2], std::vector<float>(600, 0.5f));
    EXPECT_EQ(peaks[3], std::vector<float>(600, 0.0f));
    // Alone, silence is not divided up to noise.
    EXPECT_EQ(computePeaks({constant(1000, 0.0f)}, 10)[0], std::vector<float>(10, 0.0f));
    // The larger channel wins; NaN never does.
    EXPECT_EQ(computePeaks({{{0.3f, NAN}, {-0.8f, 0.2f}}, constant(2, 1.0f)}, 2)[0],
              (std::vector<float>{0.8f, 0.2f}));
    // 600 bins over 600 * 1000 samples: each bin reads every 15th sample from its start, so a
    // lone spike off that grid does not show.
    dsp::StemData stem = constant(600 * 1000, 0.1f);
    stem.l[1] = 0.9f;          // off the grid of bin 0
    stem.l[1000 + 15] = 0.5f;  // on the grid of bin 1
    const auto strided = computePeaks({stem}, 600);
    EXPECT_FLOAT_EQ(strided[0][0], 0.2f);
    EXPECT_FLOAT_EQ(strided[0][1], 1.0f);
}

// At odd lengths, on random stretches (edges, whole blocks, single frames, the whole stem), the
// pyramid gives exactly what reading every sample gives.
TEST(PeakPyramid, EveryRangeEqualsTheBruteForceMinAndMax) {
    std::mt19937 rng(7);
    for (const std::int64_t frames : {0, 1, 7, 255, 256, 257, 511, 1000, 4097, 65537, 100003}) {
        SCOPED_TRACE(frames);
        dsp::StemData stem = randomStem(frames, rng);
        // Loud lone samples, one per channel, so a missed block or edge shows.
        if (frames > 300) {
            stem.l[static_cast<std::size_t>(frames / 3)] = 0.99f;
            stem.r[static_cast<std::size_t>(frames - 2)] = -0.97f;
            stem.l[static_cast<std::size_t>(frames / 2)] = std::nanf("");
        }
        const PeakPyramid p = PeakPyramid::build(stem, frames);
        EXPECT_EQ(p.frames(), frames);
        std::uniform_int_distribution<std::int64_t> at(0, frames);
        std::vector<std::pair<std::int64_t, std::int64_t>> ranges = {
            {0, frames}, {-5, frames + 9}, {1, frames - 1}, {256, 512}, {255, 257}, {3, 3}};
        for (int i = 0; i < 300; ++i) {
            const std::int64_t a = at(rng), b = at(rng);
            ranges.push_back({std::min(a, b), std::max(a, b) + (i % 3 == 0)});
        }
        for (const auto& [from, to] : ranges) {
            const PeakRange want = bruteForce(stem, from, std::min(to, frames));
            const PeakRange got = p.range(stem, from, to);
            ASSERT_EQ(got.isEmpty(), want.isEmpty()) << from << " to " << to;
            if (!want.isEmpty()) {
                ASSERT_EQ(got, want) << from << " to " << to;
            }
        }
        const PeakRange all = bruteForce(stem, 0, frames);
        EXPECT_EQ(p.peakAbs(), all.isEmpty() ? 0.0f : std::max(-all.min, all.max));
    }
    // A right channel shorter than the left: read no further than it goes.
    dsp::StemData ragged = randomStem(1000, rng);
    ragged.r.resize(600);
    const PeakPyramid p = PeakPyramid::build(ragged, 1000);
    EXPECT_EQ(p.frames(), 600);
    EXPECT_EQ(p.range(ragged, 0, 1000), bruteForce(ragged, 0, 600));
    // A cancelled build gives nothing rather than a part.
    const std::atomic<bool> cancel{true};
    EXPECT_EQ(PeakPyramid::build(ragged, 600, &cancel).levels(), 0);
}

// Tiles come from the worker after a request, hold each column's min and max over its frames
// scaled so the loudest sample is 1, and a new song drops what was asked for the old one.
TEST(PeakCache, TilesArriveWithEachColumnsMinAndMaxAndANewSongStartsAfresh) {
    std::mt19937 rng(3);
    const std::int64_t frames = 70001;
    model::Song song;
    song.sampleRate = 8000.0;
    song.frames = frames;
    for (int s = 0; s < 4; ++s)
        song.stems.push_back(std::make_shared<dsp::StemData>(randomStem(frames, rng)));
    const_cast<dsp::StemData&>(*song.stems[2]).l[1234] = -1.6f;  // the loudest: scale 1 / 1.6

    model::PeakCache cache;
    cache.setSong(song);
    QSignalSpy arrived(&cache, &model::PeakCache::tilesArrived);
    const double framesPerColumn = 37.3;
    EXPECT_EQ(cache.tile(framesPerColumn, 7), nullptr);
    EXPECT_EQ(cache.tile(framesPerColumn, 7), nullptr) << "asked once, still coming";
    ASSERT_TRUE(QTest::qWaitFor([&] { return cache.cached(framesPerColumn, 7) != nullptr; }));
    EXPECT_GE(arrived.count(), 1);
    const auto tile = cache.tile(framesPerColumn, 7);
    ASSERT_EQ(tile->columns.size(), 4u);
    for (int s = 0; s < 4; ++s)
        for (std::int64_t c = 0; c < model::PeakCache::kTileColumns; ++c) {
            const double column = static_cast<double>(7 * model::PeakCache::kTileColumns + c);
            const auto from = static_cast<std::int64_t>(std::floor(column * framesPerColumn));
            const auto to = static_cast<std::int64_t>(std::floor((column + 1) * framesPerColumn));
            const PeakRange want = bruteForce(*song.stems[s], from, std::min(to, frames));
            const PeakRange got = tile->columns[s][c];
            if (from >= frames) {
                EXPECT_TRUE(got.isEmpty()) << "past the end, column " << c;
                continue;
            }
            ASSERT_NEAR(got.min, want.min / 1.6f, 1e-6) << "stem " << s << " column " << c;
            ASSERT_NEAR(got.max, want.max / 1.6f, 1e-6) << "stem " << s << " column " << c;
        }

    // A new song: the old tiles go, and one asked just before the change never shows up.
    model::Song quiet = song;
    quiet.stems.assign(
        4, std::make_shared<dsp::StemData>(dsp::StemData{std::vector<float>(frames, 0.25f),
                                                         std::vector<float>(frames, -0.5f)}));
    EXPECT_EQ(cache.tile(framesPerColumn, 2), nullptr);
    cache.setSong(quiet);
    EXPECT_EQ(cache.cached(framesPerColumn, 7), nullptr);
    EXPECT_EQ(cache.tile(framesPerColumn, 3), nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return cache.cached(framesPerColumn, 3) != nullptr; }));
    // Left 0.25 and right -0.5 everywhere: the loudest is 0.5, so the columns read -1 to 0.5.
    EXPECT_EQ(cache.tile(framesPerColumn, 3)->columns[0][5], (PeakRange{-1.0f, 0.5f}));
    QTest::qWait(50);
    EXPECT_EQ(cache.cached(framesPerColumn, 2), nullptr) << "asked for the old song";
}

}  // namespace
}  // namespace corvane::model
