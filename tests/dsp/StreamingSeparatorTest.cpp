// SPDX-License-Identifier: GPL-3.0-or-later
// The block-wise separation against the whole-song one: the same bits, for songs shorter than
// a block, ending inside the first block, ending at and around block boundaries, fed in any
// pieces, on any number of workers; and a cancelled stream, which takes nothing more.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>

#include "TestSupport.h"
#include "dsp/Separator.h"
#include "dsp/StreamingSeparator.h"
#include "dsp/common/StftFrames.h"
#include "dsp/refined/RefinedSeparator.h"
#include "dsp/refined/RefinedStream.h"

namespace corvane::dsp {
namespace {

// First index where the bits differ, or -1.
std::int64_t firstDifference(const std::vector<float>& a, const std::vector<float>& b) {
    if (a.size() != b.size()) return static_cast<std::int64_t>(std::min(a.size(), b.size()));
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0) return static_cast<std::int64_t>(i);
    return -1;
}

// The song pushed in pieces of `piece` samples (0: all at once), the blocks joined; each block
// must start where the one before it ended.
std::array<std::vector<float>, 8> streamSong(const StereoAudio& song, std::int64_t piece,
                                             const SeparatorOptions& options) {
    std::array<std::vector<float>, 8> streamed;
    std::int64_t expectedStart = 0;
    auto sink = [&](const StemBlock& block) {
        EXPECT_EQ(block.start, expectedStart);
        expectedStart += block.frames();
        for (std::size_t j = 0; j < 8; ++j)
            streamed[j].insert(streamed[j].end(), block.channels[j].begin(),
                               block.channels[j].end());
    };
    auto stream = StreamingSeparator::create(song.sampleRate, sink, options);
    EXPECT_TRUE(stream);
    if (!stream) return streamed;
    const std::size_t step = piece > 0 ? static_cast<std::size_t>(piece) : song.l.size();
    for (std::size_t at = 0; at < song.l.size(); at += step) {
        const std::size_t n = std::min(step, song.l.size() - at);
        stream->push(std::span(song.l).subspan(at, n), std::span(song.r).subspan(at, n));
    }
    stream->finish();
    EXPECT_EQ(stream->frames(), song.frames());
    return streamed;
}

// The whole-song separation of the same options, compared bit for bit.
void expectWholeSongBits(const std::array<std::vector<float>, 8>& streamed, const StereoAudio& song,
                         const SeparatorOptions& options) {
    const std::vector<StemData> whole = Separator::separate(song, nullptr, options);
    ASSERT_EQ(whole.size(), 4u);
    for (std::size_t j = 0; j < 8; ++j) {
        const std::vector<float>& want = j % 2 == 0 ? whole[j / 2].l : whole[j / 2].r;
        EXPECT_EQ(firstDifference(streamed[j], want), -1)
            << "stem " << j / 2 << " channel " << j % 2;
    }
}

TEST(StreamingSeparator, BitIdenticalToTheWholeSongAtEveryLengthPieceAndWorkerCount) {
    constexpr std::int64_t kBlock = StreamingSeparator::kBlockFrames * kHop;  // samples
    struct Case {
        std::int64_t frames;
        std::int64_t piece;  // samples per push; 0: all at once
        int workers;
    };
    const Case cases[] = {
        {1, 0, 2},
        {1023, 7, 2},
        {1024, 0, 3},
        {5000, 999, 1},                 // ends inside the first block
        {kBlock - 6 * kHop, 4096, 2},   // around the first block's end
        {kBlock + 5 * kHop + 1, 0, 2},  //
        {kBlock + 7 * kHop, 65536, 3},
        {3 * kBlock + 777, 10007, 2},  // several blocks, uneven pieces
        {3 * kBlock + 777, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.frames << " frames in pieces of " << c.piece << ", "
                                        << c.workers << " workers");
        StereoAudio song = test::noiseStereo(static_cast<std::size_t>(c.frames), 11, 48000.0);
        // A shared centre, so that every stem carries something, and a NaN, read as silence.
        for (std::size_t i = 0; i < song.l.size(); ++i) song.r[i] = 0.5f * song.r[i] + song.l[i];
        song.l[song.l.size() / 2] = NAN;
        SeparatorOptions options;
        options.workers = c.workers;
        expectWholeSongBits(streamSong(song, c.piece, options), song, options);
    }
}

// Refined in blocks with context: the same bits as the whole song for a song shorter than the
// context, one ending inside the first block or inside the context after it, and songs of several
// blocks fed in uneven pieces, on any number of workers. At 8 kHz, where the 20 s context is
// 175 frames and a block 525, so several blocks stay short.
TEST(StreamingSeparator, RefinedBitIdenticalToTheWholeSongAcrossBlocksAndContexts) {
    constexpr double kRate = 8000.0;
    const std::int64_t block = RefinedStream::blockFrames(kRate) * kHop;  // samples
    const std::int64_t context = refinedContextFrames(kRate) * kHop;
    ASSERT_EQ(block, 3 * context);
    struct Case {
        std::int64_t frames;
        std::int64_t piece;  // samples per push; 0: all at once
        int workers;
    };
    const Case cases[] = {
        {1000, 0, 2},                     // shorter than the context
        {block - 5 * kHop + 3, 4096, 2},  // ends inside the first block
        {block + context / 2, 0, 1},      // ... inside the context after it
        {3 * block + context + 777, 10007, 3},
        {2 * block, 65536, 2},  // ends at a block's end
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.frames << " frames in pieces of " << c.piece << ", "
                                        << c.workers << " workers");
        // A repeating accompaniment for the repeating background to find, noise and a centred
        // part on top, and a NaN.
        StereoAudio song = test::noiseStereo(static_cast<std::size_t>(c.frames), 17, kRate);
        for (std::size_t i = 0; i < song.l.size(); ++i) {
            const float beat = (i % 6000) < 300 ? 0.8f : 0.0f;
            song.l[i] = 0.3f * song.l[i] + beat;
            song.r[i] = 0.2f * song.r[i] + song.l[i];
        }
        song.l[song.l.size() / 3] = NAN;
        SeparatorOptions options;
        options.method = SeparationMethod::refined;
        options.workers = c.workers;
        expectWholeSongBits(streamSong(song, c.piece, options), song, options);
    }
}

TEST(StreamingSeparator, EmptySongGivesNothing) {
    int calls = 0;
    auto stream = StreamingSeparator::create(44100.0, [&](const StemBlock&) { ++calls; });
    ASSERT_TRUE(stream);
    stream->finish();
    EXPECT_EQ(calls, 0);
}

// A decoder may push on for a while after a cancel (an interrupted CLI run); a cancelled stream
// stops trimming its input, so it must stop taking it, and hand on no more blocks.
TEST(StreamingSeparator, ACancelledStreamTakesNoMoreInput) {
    const StereoAudio song = test::noiseStereo(3'000'000, 8);
    for (const auto method : {SeparationMethod::standard, SeparationMethod::refined}) {
        std::atomic<bool> cancel{false};
        int blocks = 0;
        auto stream = StreamingSeparator::create(
            song.sampleRate, [&](const StemBlock&) { ++blocks, cancel = true; },
            {.method = method, .workers = 2, .cancel = &cancel});
        ASSERT_TRUE(stream);
        for (int i = 0; i < 3; ++i) stream->push(song.l, song.r);
        stream->finish();
        EXPECT_EQ(blocks, 1);
    }
}

}  // namespace
}  // namespace corvane::dsp
