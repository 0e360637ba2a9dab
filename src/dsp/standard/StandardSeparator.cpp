// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/standard/StandardSeparator.h"

#include <algorithm>
#include <cassert>
#include <optional>

#include "dsp/common/FftPlan.h"
#include "dsp/common/FloatBuf.h"
#include "dsp/common/Median13.h"
#include "dsp/common/ParallelFor.h"
#include "dsp/common/ProgressCounter.h"
#include "dsp/common/StemSynthesis.h"
#include "dsp/common/StftFrames.h"
#include "dsp/standard/SeparationKernels.h"

namespace corvane::dsp {

namespace {

constexpr int kJobs = 2 * kStemCount;  // one per (stem, channel)
constexpr int kMedianHalf = 6;
// A stored mid magnitude never exceeds this, so the mask's squares cannot overflow.
constexpr float kMaxMagnitude = 0x1p60f;

// Frames are handed to the workers in pieces of this many, taken in turn by whichever worker is
// free: the decoder's thread shares the cores, and a fixed half per worker would leave one
// worker waiting at the join while the other is descheduled.
constexpr std::int64_t kPieceFrames = 24;
struct Range {
    std::int64_t begin, end;
};
int pieces(std::int64_t begin, std::int64_t end) {
    return static_cast<int>((end - begin + kPieceFrames - 1) / kPieceFrames);
}
Range piece(int p, std::int64_t begin, std::int64_t end) {
    const std::int64_t b = begin + p * kPieceFrames;
    return {b, std::min(b + kPieceFrames, end)};
}

// One stretch of floats: a fixed capacity, filled from the front. Streamed, each lives in the
// engine's arena, made once, so a stream faults its memory in once (on huge pages where the
// kernel allows) however long the song; for the whole song, the input and the stems are the
// song's own arrays.
struct Track {
    float* p = nullptr;
    std::int64_t size = 0;
    std::int64_t capacity = 0;

    void append(std::span<const float> x) {
        assert(size + std::ssize(x) <= capacity);
        std::copy(x.begin(), x.end(), p + size);
        size += std::ssize(x);
    }
    // For rows that are written before they are read.
    void grow(std::int64_t to) {
        assert(to <= capacity);
        size = std::max(size, to);
    }
    void dropFront(std::int64_t count) {
        count = std::min(count, size);
        std::copy(p + count, p + size, p);
        size -= count;
    }
};

// Input samples per push() step: the input never holds more than a block and its overlap plus
// one step, whatever the caller hands over at once.
constexpr std::int64_t kPushStep = 64 * kHop;
// Hops the input and accumulators may lag behind frame `next` before they are trimmed, so the
// copying stays small.
constexpr std::int64_t kTrimHops = 64;

bool cancelled(const std::atomic<bool>* cancel) {
    return cancel && cancel->load(std::memory_order_relaxed);
}

}  // namespace

// Song positions are absolute sample indices. Streamed, the buffers hold a window of the song
// starting at `base`, always a multiple of kHop: the input from base on, and the eight stem
// accumulators from base on; frame t reads input [t * kHop - kLeadIn, t * kHop) and adds into the
// same positions, so the kernels run on the buffers with the frame index shifted by base / kHop.
// For the whole song, base stays 0 and the buffers are the song and its stems.
struct StandardStream::Engine {
    StreamingSeparator::Sink sink;  // streamed only
    SeparatorOptions options;
    int workers = 1;
    std::unique_ptr<FftPlan> plan;
    std::vector<float> window;
    std::vector<float> bass;
    std::array<float, kHop> power{};
    bool whole = false;
    // The three passes' counters, for the whole song's progress.
    std::optional<ProgressCounter> analysisProgress, maskProgress, synthesisProgress;

    std::unique_ptr<FloatBuf> arena;
    std::int64_t base = 0;  // song position of input[0] and acc[j][0]
    Track l, r;             // input from base
    bool ended = false;
    std::int64_t n = 0;  // samples pushed

    // Mid magnitudes of frames [magBegin, magEnd), frame-major rows of kBins; the frames'
    // spectra (rows of 4 * kBins: left re, im, right re, im), kept from the analysis for the
    // synthesis instead of transformed again; and each frame's scale back up (1 for music).
    Track mag, spectra, ups;
    std::int64_t magBegin = 0, magEnd = 0;
    std::int64_t next = 0;  // first frame not yet synthesised
    std::array<Track, kJobs> acc;
    // The first half of each piece's first frame, per job, added in after the pieces join.
    std::vector<std::array<std::array<float, kHop>, kJobs>> boundary;
    std::int64_t emitted = 0;  // song positions normalised (and handed to the sink)

    bool setUp(double sampleRate, const SeparatorOptions& separatorOptions);
    void allocate(bool forStream);
    void push(std::span<const float> left, std::span<const float> right);

    std::int64_t shift() const { return base / kHop; }
    const float* magRow(std::int64_t t) const { return mag.p + (t - magBegin) * kBins; }
    float* spectraRow(std::int64_t t) const { return spectra.p + (t - magBegin) * 4 * kBins; }

    void analyse(std::int64_t end);
    void synthesise(std::int64_t end, std::int64_t frames);
    void emit(std::int64_t upTo);
    void advance();
    void run();
};

bool StandardStream::Engine::setUp(double sampleRate, const SeparatorOptions& separatorOptions) {
    plan = FftPlan::create(kFrameLength);
    if (!plan) return false;
    options = separatorOptions;
    workers = options.workers > 0 ? options.workers : defaultWorkerCount();
    window = hannWindow();
    bass = bassWeights(sampleRate);
    power = windowPowerTable(window.data());
    return true;
}

// Mid magnitudes of frames [magEnd, end).
void StandardStream::Engine::analyse(std::int64_t end) {
    if (end <= magEnd) return;
    mag.grow((end - magBegin) * kBins);
    spectra.grow((end - magBegin) * 4 * kBins);
    ups.grow(end - magBegin);
    const std::int64_t begin = magEnd;
    const std::int64_t avail = l.size;
    parallelFor(pieces(begin, end), workers, [&](int p) {
        FFTScratch scratch(kFrameLength);
        const auto [b, e] = piece(p, begin, end);
        for (std::int64_t t = b; t < e && !cancelled(options.cancel); ++t) {
            float* bins = spectraRow(t);
            const std::int64_t tt = t - shift();
            const float peak = std::max(
                forwardFrame(l.p, avail, tt, window.data(), *plan, scratch, bins, bins + kBins),
                forwardFrame(r.p, avail, tt, window.data(), *plan, scratch, bins + 2 * kBins,
                             bins + 3 * kBins));
            const FrameScale scale = frameScaleFor(peak);
            if (scale.up != 1.0f) {
                forwardFrame(l.p, avail, tt, window.data(), *plan, scratch, bins, bins + kBins,
                             scale.down);
                forwardFrame(r.p, avail, tt, window.data(), *plan, scratch, bins + 2 * kBins,
                             bins + 3 * kBins, scale.down);
            }
            ups.p[t - magBegin] = scale.up;
            float* row = mag.p + (t - magBegin) * kBins;
            midMagnitude(bins, bins + kBins, bins + 2 * kBins, bins + 3 * kBins, row, kBins);
            if (scale.up != 1.0f)
                for (int k = 0; k < kBins; ++k) row[k] = std::min(row[k] * scale.up, kMaxMagnitude);
            if (analysisProgress) analysisProgress->advance();
        }
    });
    magEnd = end;
}

// Masks and synthesis of frames [next, end) of a song of `frames` frames (frames is only
// used for the clamp at the song's end, so it may be any value >= end + kMedianHalf before then).
void StandardStream::Engine::synthesise(std::int64_t end, std::int64_t frames) {
    const std::int64_t begin = next;
    if (end <= begin) return;
    // Streamed, the accumulators reach a hop past the last frame's end; each piece zeroes the new
    // positions it adds to directly (the pieces' ranges do not overlap), so the zeroing runs in
    // parallel too. The whole song's stems hold its n samples, zeroed when they were made.
    const std::int64_t oldLength = acc[0].size;
    const std::int64_t accLength = whole ? n : end * kHop - base;
    for (Track& a : acc) a.grow(accLength);

    const int count = pieces(begin, end);
    if (std::ssize(boundary) < count) boundary.resize(static_cast<std::size_t>(count));
    parallelFor(count, workers, [&](int p) {
        auto& side = boundary[static_cast<std::size_t>(p)];
        for (auto& half : side) half.fill(0.0f);
        const auto [b, e] = piece(p, begin, end);
        if (!whole) {
            const std::int64_t lo = b * kHop - (b == begin ? kLeadIn : kHop) - base;
            const std::int64_t from = std::clamp(lo, oldLength, accLength);
            // Frames [b, e) reach up to (e - 1) hops; the last piece zeroes the rest too.
            const std::int64_t to =
                std::clamp(e == end ? accLength : (e - 1) * kHop - base, from, accLength);
            for (Track& a : acc) std::fill(a.p + from, a.p + to, 0.0f);
        }
        FFTScratch scratch(kFrameLength);
        std::array<float, kBins> harmonic{}, percussive{}, mask{};
        std::vector<float> c2(kBins);
        std::vector<float> gains(static_cast<std::size_t>(kStemCount) * kBins);
        auto gainsOf = [&](int s) { return gains.data() + static_cast<std::ptrdiff_t>(s) * kBins; };

        for (std::int64_t t = b; t < e && !cancelled(options.cancel); ++t) {
            const float* rows[2 * kMedianHalf + 1];
            for (int d = -kMedianHalf; d <= kMedianHalf; ++d)
                rows[d + kMedianHalf] = magRow(std::clamp<std::int64_t>(t + d, 0, frames - 1));
            timeMedianRow(rows, harmonic.data());
            frequencyMedianRow(magRow(t), percussive.data());
            percussiveMask(harmonic.data(), percussive.data(), mask.data(), kBins);
            if (maskProgress) maskProgress->advance();

            const std::int64_t tt = t - shift();
            const float* lre = spectraRow(t);
            const float* lim = lre + kBins;
            const float* rre = lre + 2 * kBins;
            const float* rim = lre + 3 * kBins;
            centreMeasureSquared(lre, lim, rre, rim, c2.data(), kBins);
            stemGains(c2.data(), mask.data(), bass.data(), gainsOf(0), gainsOf(1), gainsOf(2),
                      gainsOf(3), kBins);
            // A thread's first frame shares its first half with the previous thread's last
            // frame: that half is added after the join, in the order one thread would add it.
            const bool shared = t == b && b > begin;
            const float up = ups.p[t - magBegin];
            for (int j = 0; j < kJobs; ++j) {
                const bool left = j % 2 == 0;
                inverseFrameAdd(left ? lre : rre, left ? lim : rim, tt, window.data(), *plan,
                                scratch, acc[static_cast<std::size_t>(j)].p, accLength,
                                gainsOf(j / 2),
                                shared ? side[static_cast<std::size_t>(j)].data() : nullptr, up);
                if (synthesisProgress) synthesisProgress->advance();
            }
        }
    });
    for (int p = 1; p < count; ++p) {
        const std::int64_t b = piece(p, begin, end).begin;
        const std::int64_t first = b * kHop - kLeadIn - base;  // buffer position of the half
        const std::int64_t lo = std::max<std::int64_t>(first, 0);
        const std::int64_t hi = std::min<std::int64_t>(first + kHop, accLength);
        for (int j = 0; j < kJobs; ++j) {
            float* out = acc[static_cast<std::size_t>(j)].p;
            const float* half =
                boundary[static_cast<std::size_t>(p)][static_cast<std::size_t>(j)].data();
            for (std::int64_t i = lo; i < hi; ++i) out[i] = half[i - first] + out[i];
        }
    }
    next = end;
}

// Normalises song positions [emitted, upTo) and, streamed, hands them to the sink.
void StandardStream::Engine::emit(std::int64_t upTo) {
    if (upTo <= emitted) return;
    // Buffer positions; base is a multiple of kHop, so the window power's phase holds.
    parallelFor(kJobs, workers, [&](int j) {
        normaliseRange(acc[static_cast<std::size_t>(j)].p, emitted - base, upTo - base, power);
    });
    if (!whole) {
        StemBlock block;
        block.start = emitted;
        for (int j = 0; j < kJobs; ++j)
            block.channels[static_cast<std::size_t>(j)] =
                std::span<const float>(acc[static_cast<std::size_t>(j)].p + (emitted - base),
                                       static_cast<std::size_t>(upTo - emitted));
        sink(block);
    }
    emitted = upTo;
}

// Drops what no later frame reads or adds to: streamed, the input and accumulators before the
// first position of frame `next`, once handed on, in whole hops so that base stays a multiple
// of kHop; and the magnitudes no later mask reads.
void StandardStream::Engine::advance() {
    if (!whole) {
        const std::int64_t keepFrom = std::max<std::int64_t>(0, (next - 2) * kHop);
        const std::int64_t drop = (std::min<std::int64_t>(keepFrom, emitted) - base) / kHop * kHop;
        if (drop >= kHop * kTrimHops) {  // in large steps, so the copying stays small
            l.dropFront(drop);
            r.dropFront(drop);
            for (Track& a : acc) a.dropFront(drop);
            base += drop;
        }
    }
    const std::int64_t keepMag = std::max<std::int64_t>(0, next - kMedianHalf);
    if (keepMag > magBegin) {
        mag.dropFront((keepMag - magBegin) * kBins);
        spectra.dropFront((keepMag - magBegin) * 4 * kBins);
        ups.dropFront(keepMag - magBegin);
        magBegin = keepMag;
    }
}

void StandardStream::Engine::run() {
    while (true) {
        std::int64_t frames, magTo, synthTo, complete;
        if (ended) {
            if (n == 0) return;
            frames = frameGeometry(n).frames;
            synthTo = std::min(frames, next + StreamingSeparator::kBlockFrames);
            magTo = std::min(frames, synthTo + kMedianHalf);
        } else {
            // Frame t can be analysed once the input reaches t * kHop; the song has more frames
            // than that, so no clamp at its end applies yet.
            const std::int64_t analysable = n / kHop + 1;
            synthTo = std::min(next + StreamingSeparator::kBlockFrames, analysable - kMedianHalf);
            if (synthTo - next < StreamingSeparator::kBlockFrames) return;  // wait for a whole block
            frames = analysable + kMedianHalf + 1;
            magTo = synthTo + kMedianHalf;
        }
        if (cancelled(options.cancel)) return;
        analyse(magTo);
        synthesise(synthTo, frames);
        if (cancelled(options.cancel)) return;
        // Positions below (next - 2) hops have both their frames.
        complete = std::clamp<std::int64_t>((next - 2) * kHop, 0, n);
        if (ended && next == frames) complete = n;
        emit(complete);
        advance();
        if (ended && next == frames) return;
    }
}

// Bounds of what run() leaves behind, with push() feeding at most kPushStep at a time: the
// input reaches (kBlockFrames + kMedianHalf) hops past frame `next` before a block runs and is
// trimmed kTrimHops behind it; the accumulators end at the last frame synthesised; the
// magnitudes run kMedianHalf frames either side of the block. For the whole song only the
// magnitudes and spectra are the engine's own.
void StandardStream::Engine::allocate(bool forStream) {
    constexpr std::int64_t kBlockFrames = StreamingSeparator::kBlockFrames;
    const std::int64_t spanHops = kBlockFrames + kMedianHalf + kTrimHops + 8;
    const std::int64_t input = forStream ? spanHops * kHop + kPushStep : 0;
    const std::int64_t accumulator = forStream ? (kBlockFrames + kTrimHops + 4) * kHop : 0;
    const std::int64_t rows = spanHops + kPushStep / kHop + 2 * kMedianHalf;
    arena = std::make_unique<FloatBuf>(2 * input + kJobs * accumulator + 5 * rows * kBins + rows);
    float* p = arena->p();
    auto take = [&](Track& track, std::int64_t capacity) {
        track = {p, 0, capacity};
        p += capacity;
    };
    if (forStream) {
        take(l, input);
        take(r, input);
        for (Track& a : acc) take(a, accumulator);
    }
    take(mag, rows * kBins);
    take(spectra, 4 * rows * kBins);
    take(ups, rows);
}

void StandardStream::Engine::push(std::span<const float> left, std::span<const float> right) {
    // Once cancelled, run() stops trimming the input, so taking more would overrun it.
    for (std::size_t at = 0; at < left.size() && !cancelled(options.cancel); at += kPushStep) {
        const std::size_t count = std::min<std::size_t>(kPushStep, left.size() - at);
        l.append(left.subspan(at, count));
        r.append(right.subspan(at, count));
        n += static_cast<std::int64_t>(count);
        run();
    }
}

std::vector<StemData> separateStandard(const StereoAudio& audio, const ProgressFn& progress,
                                       const SeparatorOptions& options) {
    assert(audio.l.size() == audio.r.size());
    const auto n = static_cast<std::int64_t>(audio.l.size());
    if (n == 0) return std::vector<StemData>(kStemCount);
    StandardStream::Engine engine;
    if (!engine.setUp(audio.sampleRate, options)) return {};
    engine.whole = true;
    engine.allocate(false);
    const std::int64_t frames = frameGeometry(n).frames;
    const ProgressFn report = progress ? progress : [](double) {};
    engine.analysisProgress.emplace(frames, 0.0, 0.2, report);
    engine.maskProgress.emplace(frames, 0.2, 0.4, report);
    engine.synthesisProgress.emplace(kJobs * frames, 0.6, 0.4, report);

    // The song is read where it is (the engine never writes its input) and the stems are
    // written where they will stay, zeroed by the workers that will write them.
    std::vector<StemData> stems(kStemCount);
    auto channelOf = [&](int j) -> std::vector<float>& {
        return j % 2 == 0 ? stems[static_cast<std::size_t>(j / 2)].l
                          : stems[static_cast<std::size_t>(j / 2)].r;
    };
    parallelFor(kJobs, std::min(engine.workers, kJobs),
                [&](int j) { synthesis::allocateChannel(channelOf(j), n); });
    engine.l = {const_cast<float*>(audio.l.data()), n, n};
    engine.r = {const_cast<float*>(audio.r.data()), n, n};
    for (int j = 0; j < kJobs; ++j) engine.acc[static_cast<std::size_t>(j)] = {channelOf(j).data(), 0, n};
    engine.n = n;
    engine.ended = true;
    engine.run();
    if (cancelled(options.cancel)) return {};
    return stems;
}

StandardStream::StandardStream(std::unique_ptr<Engine> engine) : m_engine(std::move(engine)) {}
StandardStream::~StandardStream() = default;

std::unique_ptr<StandardStream> StandardStream::create(double sampleRate,
                                                       StreamingSeparator::Sink sink,
                                                       const SeparatorOptions& options) {
    auto engine = std::make_unique<Engine>();
    if (!engine->setUp(sampleRate, options)) return nullptr;
    engine->sink = std::move(sink);
    engine->allocate(true);
    return std::unique_ptr<StandardStream>(new StandardStream(std::move(engine)));
}

void StandardStream::push(std::span<const float> l, std::span<const float> r) {
    m_engine->push(l, r);
}

void StandardStream::finish() {
    m_engine->ended = true;
    m_engine->run();
}

std::int64_t StandardStream::frames() const { return m_engine->n; }

}  // namespace corvane::dsp
