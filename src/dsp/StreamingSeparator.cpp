// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/StreamingSeparator.h"

#include <algorithm>
#include <cassert>
#include <span>

#include "dsp/common/FftPlan.h"
#include "dsp/common/FloatBuf.h"
#include "dsp/common/Median13.h"
#include "dsp/common/ParallelFor.h"
#include "dsp/common/ShortFrames.h"
#include "dsp/common/StftFrames.h"
#include "dsp/refined/RefinedStream.h"
#include "dsp/standard/SeparationKernels.h"

namespace corvane::dsp {

namespace {

constexpr int kJobs = 2 * kStemCount;  // one per (stem, channel)
constexpr int kMedianHalf = 6;

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

// One stretch of floats inside the separator's arena: a fixed capacity, filled from the front.
// The arena is made once, so a stream faults its memory in once (on huge pages where the kernel
// allows) however long the song.
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
    void growZeroed(std::int64_t to) {
        assert(to <= capacity);
        if (to > size) std::fill(p + size, p + to, 0.0f);
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

}  // namespace

// Song positions are absolute sample indices. The buffers hold a window of the song starting at
// m_base, always a multiple of kHop: the input from m_base on, and the eight stem accumulators
// from m_base on. Frame t reads input [t * kHop - kLeadIn, t * kHop) and adds into the same
// positions, so the kernels run on the buffers with the frame index shifted by m_base / kHop.
struct StreamingSeparator::Impl {
    std::unique_ptr<RefinedStream> refined;  // the Refined method's engine, which runs instead
    double sampleRate;
    Sink sink;
    SeparatorOptions options;
    int workers;
    std::unique_ptr<FftPlan> plan;
    std::vector<float> window;
    std::vector<float> bass;
    std::array<float, kHop> power{};

    std::unique_ptr<FloatBuf> arena;
    std::int64_t base = 0;  // song position of input[0] and acc[j][0]
    Track l, r;             // input from base
    bool ended = false;
    std::int64_t n = 0;  // samples pushed

    // Mid magnitudes of frames [magBegin, magEnd), frame-major rows of kBins, and the frames'
    // spectra (rows of 4 * kBins: left re, im, right re, im), kept from the analysis for the
    // synthesis instead of transformed again.
    Track mag, spectra;
    std::int64_t magBegin = 0, magEnd = 0;
    std::int64_t next = 0;  // first frame not yet synthesised
    std::array<Track, kJobs> acc;
    // The first half of each piece's first frame, per job, added in after the pieces join.
    std::vector<std::array<std::array<float, kHop>, kJobs>> boundary;
    std::int64_t emitted = 0;  // song positions handed to the sink

    void allocate();
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

// Mid magnitudes of frames [magEnd, end).
void StreamingSeparator::Impl::analyse(std::int64_t end) {
    if (end <= magEnd) return;
    mag.grow((end - magBegin) * kBins);
    spectra.grow((end - magBegin) * 4 * kBins);
    const std::int64_t begin = magEnd;
    const std::int64_t avail = l.size;
    parallelFor(pieces(begin, end), workers, [&](int p) {
        FFTScratch scratch(kFrameLength);
        const auto [b, e] = piece(p, begin, end);
        for (std::int64_t t = b; t < e; ++t) {
            float* bins = spectraRow(t);
            forwardFrame(l.p, avail, t - shift(), window.data(), *plan, scratch, bins,
                         bins + kBins);
            forwardFrame(r.p, avail, t - shift(), window.data(), *plan, scratch, bins + 2 * kBins,
                         bins + 3 * kBins);
            midMagnitude(bins, bins + kBins, bins + 2 * kBins, bins + 3 * kBins,
                         mag.p + (t - magBegin) * kBins, kBins);
        }
    });
    magEnd = end;
}

// Masks and synthesis of frames [next, end) of a song of `frames` frames (frames is only
// used for the clamp at the song's end, so it may be any value >= end + kMedianHalf before then).
void StreamingSeparator::Impl::synthesise(std::int64_t end, std::int64_t frames) {
    const std::int64_t begin = next;
    if (end <= begin) return;
    // Accumulators reach a hop past the last frame's end; each piece zeroes the new positions it
    // adds to directly (the pieces' ranges do not overlap), so the zeroing runs in parallel too.
    const std::int64_t oldLength = acc[0].size;
    const std::int64_t accLength = end * kHop - base;
    for (Track& a : acc) a.grow(accLength);

    const int count = pieces(begin, end);
    if (std::ssize(boundary) < count) boundary.resize(static_cast<std::size_t>(count));
    parallelFor(count, workers, [&](int p) {
        auto& side = boundary[static_cast<std::size_t>(p)];
        for (auto& half : side) half.fill(0.0f);
        const auto [b, e] = piece(p, begin, end);
        {
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

        for (std::int64_t t = b; t < e; ++t) {
            const float* rows[2 * kMedianHalf + 1];
            for (int d = -kMedianHalf; d <= kMedianHalf; ++d)
                rows[d + kMedianHalf] = magRow(std::clamp<std::int64_t>(t + d, 0, frames - 1));
            timeMedianRow(rows, harmonic.data());
            frequencyMedianRow(magRow(t), percussive.data());
            percussiveMask(harmonic.data(), percussive.data(), mask.data(), kBins);

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
            for (int j = 0; j < kJobs; ++j) {
                const bool left = j % 2 == 0;
                inverseFrameAdd(left ? lre : rre, left ? lim : rim, tt, window.data(), *plan,
                                scratch, acc[static_cast<std::size_t>(j)].p, accLength,
                                gainsOf(j / 2),
                                shared ? side[static_cast<std::size_t>(j)].data() : nullptr);
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

// Normalises song positions [emitted, upTo) and hands them to the sink.
void StreamingSeparator::Impl::emit(std::int64_t upTo) {
    if (upTo <= emitted) return;
    StemBlock block;
    block.start = emitted;
    // Buffer positions; base is a multiple of kHop, so the window power's phase holds.
    parallelFor(kJobs, workers, [&](int j) {
        normaliseRange(acc[static_cast<std::size_t>(j)].p, emitted - base, upTo - base, power);
    });
    for (int j = 0; j < kJobs; ++j)
        block.channels[static_cast<std::size_t>(j)] =
            std::span<const float>(acc[static_cast<std::size_t>(j)].p + (emitted - base),
                                   static_cast<std::size_t>(upTo - emitted));
    sink(block);
    emitted = upTo;
}

// Drops what no later frame reads or adds to: input and accumulators before the first position
// of frame `next`, once handed on; whole hops only, so that base stays a multiple of kHop.
void StreamingSeparator::Impl::advance() {
    const std::int64_t keepFrom = std::max<std::int64_t>(0, (next - 2) * kHop);
    const std::int64_t drop = (std::min<std::int64_t>(keepFrom, emitted) - base) / kHop * kHop;
    if (drop >= kHop * kTrimHops) {  // in large steps, so the copying stays small
        l.dropFront(drop);
        r.dropFront(drop);
        for (Track& a : acc) a.dropFront(drop);
        base += drop;
    }
    const std::int64_t keepMag = std::max<std::int64_t>(0, next - kMedianHalf);
    if (keepMag > magBegin) {
        mag.dropFront((keepMag - magBegin) * kBins);
        spectra.dropFront((keepMag - magBegin) * 4 * kBins);
        magBegin = keepMag;
    }
}

void StreamingSeparator::Impl::run() {
    while (true) {
        std::int64_t frames, magTo, synthTo, complete;
        if (ended) {
            if (n == 0) return;
            frames = frameGeometry(n).frames;
            magTo = frames;
            synthTo = std::min(frames, next + kBlockFrames);
        } else {
            // Frame t can be analysed once the input reaches t * kHop; the song has more frames
            // than that, so no clamp at its end applies yet.
            const std::int64_t analysable = n / kHop + 1;
            synthTo = std::min(next + kBlockFrames, analysable - kMedianHalf);
            if (synthTo - next < kBlockFrames) return;  // wait for a whole block
            frames = analysable + kMedianHalf + 1;
            magTo = synthTo + kMedianHalf;
        }
        if (options.cancel && options.cancel->load(std::memory_order_relaxed)) return;
        analyse(magTo);
        synthesise(synthTo, frames);
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
// magnitudes run kMedianHalf frames either side of the block, all of the rest at the song's end.
void StreamingSeparator::Impl::allocate() {
    const std::int64_t spanHops = kBlockFrames + kMedianHalf + kTrimHops + 8;
    const std::int64_t input = spanHops * kHop + kPushStep;
    const std::int64_t accumulator = (kBlockFrames + kTrimHops + 4) * kHop;
    const std::int64_t magnitudes = (spanHops + kPushStep / kHop + 2 * kMedianHalf) * kBins;
    arena = std::make_unique<FloatBuf>(2 * input + kJobs * accumulator + 5 * magnitudes);
    float* p = arena->p();
    auto take = [&](Track& track, std::int64_t capacity) {
        track = {p, 0, capacity};
        p += capacity;
    };
    take(l, input);
    take(r, input);
    for (Track& a : acc) take(a, accumulator);
    take(mag, magnitudes);
    take(spectra, 4 * magnitudes);
}

void StreamingSeparator::Impl::push(std::span<const float> left, std::span<const float> right) {
    for (std::size_t at = 0; at < left.size(); at += kPushStep) {
        const std::size_t count = std::min<std::size_t>(kPushStep, left.size() - at);
        l.append(left.subspan(at, count));
        r.append(right.subspan(at, count));
        n += static_cast<std::int64_t>(count);
        run();
    }
}

StreamingSeparator::StreamingSeparator(std::unique_ptr<Impl> impl) : m(std::move(impl)) {}
StreamingSeparator::~StreamingSeparator() = default;

std::unique_ptr<StreamingSeparator> StreamingSeparator::create(double sampleRate, Sink sink,
                                                               const SeparatorOptions& options) {
    auto impl = std::make_unique<Impl>();
    impl->plan = FftPlan::create(kFrameLength);
    if (!impl->plan) return nullptr;
    if (options.method == SeparationMethod::refined) {
        if (!FftPlan::create(kShortFrameLength)) return nullptr;
        impl->refined = std::make_unique<RefinedStream>(sampleRate, std::move(sink), options);
        return std::unique_ptr<StreamingSeparator>(new StreamingSeparator(std::move(impl)));
    }
    impl->sampleRate = sampleRate;
    impl->sink = std::move(sink);
    impl->options = options;
    impl->workers = options.workers > 0 ? options.workers : defaultWorkerCount();
    impl->window = hannWindow();
    impl->bass = bassWeights(sampleRate);
    impl->power = windowPowerTable(impl->window.data());
    impl->allocate();
    return std::unique_ptr<StreamingSeparator>(new StreamingSeparator(std::move(impl)));
}

void StreamingSeparator::push(std::span<const float> l, std::span<const float> r) {
    assert(l.size() == r.size() && !m->ended);
    if (m->refined) return m->refined->push(l, r);
    m->push(l, r);
}

void StreamingSeparator::finish() {
    if (m->refined) return m->refined->finish();
    m->ended = true;
    m->run();
}

std::int64_t StreamingSeparator::frames() const { return m->refined ? m->refined->frames() : m->n; }

}  // namespace corvane::dsp
