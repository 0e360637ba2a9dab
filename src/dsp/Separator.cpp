// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/Separator.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <memory>

#include "dsp/FftPlan.h"
#include "dsp/FloatBuf.h"
#include "dsp/Median13.h"
#include "dsp/ParallelFor.h"
#include "dsp/ProgressCounter.h"
#include "dsp/RefinedSeparator.h"
#include "dsp/SeparationKernels.h"
#include "dsp/StftFrames.h"
#include "dsp/StemKind.h"

namespace corvane::dsp {

namespace {

constexpr int kStems = kStemCount;
constexpr int kSynthesisJobs = 2 * kStems;  // one per (stem, channel)
constexpr int kMedianHalf = 6;

// Both channels' spectra of one frame, bins 0 .. 1024 each.
class FrameSpectra {
public:
    void transform(const StereoAudio& audio, std::int64_t n, std::int64_t t, const float* window,
                   const FftPlan& plan, FFTScratch& scratch) {
        forwardFrame(audio.l.data(), n, t, window, plan, scratch, lre(), lim());
        forwardFrame(audio.r.data(), n, t, window, plan, scratch, rre(), rim());
    }
    float* lre() { return m_bins.data(); }
    float* lim() { return m_bins.data() + kBins; }
    float* rre() { return m_bins.data() + 2 * kBins; }
    float* rim() { return m_bins.data() + 3 * kBins; }

private:
    std::array<float, 4 * kBins> m_bins{};
};

bool cancelled(const std::atomic<bool>* cancel) {
    return cancel && cancel->load(std::memory_order_relaxed);
}

// Frames [w * chunk, min(w * chunk + chunk, frames)) of worker w.
struct FrameRange {
    std::int64_t begin, end;
};
FrameRange workerFrames(int w, int workers, std::int64_t frames) {
    const std::int64_t chunk = (frames + workers - 1) / workers;
    const std::int64_t begin = std::min(frames, w * chunk);
    return {begin, std::min(begin + chunk, frames)};
}

// Zero-filled samples, faulted in by the worker that will write them (so the page faults run in
// parallel), on huge pages where the kernel allows.
void allocateChannel(std::vector<float>& channel, std::int64_t n) {
    channel.reserve(static_cast<std::size_t>(n));
    adviseHugePages(channel.data(), static_cast<std::size_t>(n) * sizeof(float));
    channel.resize(static_cast<std::size_t>(n));
}

// Analysis: the mid magnitude of every frame. The spectra themselves are not kept: the synthesis
// transforms each frame again when it needs it, which costs less than writing four song-sized
// planes to memory and reading them back.
void analyse(const StereoAudio& audio, std::int64_t n, std::int64_t frames, int workers,
             const float* window, const FftPlan& plan, FloatBuf& midMag, const ProgressFn& progress,
             const std::atomic<bool>* cancel) {
    ProgressCounter counter(std::max<std::int64_t>(frames, 1), 0.0, 0.2, progress);
    parallelFor(workers, workers, [&](int w) {
        FFTScratch scratch(kFrameLength);
        FrameSpectra spectra;
        auto [begin, end] = workerFrames(w, workers, frames);
        for (std::int64_t t = begin; t < end && !cancelled(cancel); ++t) {
            spectra.transform(audio, n, t, window, plan, scratch);
            midMagnitude(spectra.lre(), spectra.lim(), spectra.rre(), spectra.rim(),
                         midMag.p() + t * kBins, kBins);
            counter.advance();
        }
    });
}

// Median filtering: harmonic estimate along time, percussive estimate along frequency, and the
// soft percussive mask from the two.
void filterMedians(const FloatBuf& midMag, std::int64_t frames, int workers, FloatBuf& percMask,
                   const ProgressFn& progress, const std::atomic<bool>* cancel) {
    ProgressCounter counter(std::max<std::int64_t>(frames, 1), 0.2, 0.4, progress);
    parallelFor(workers, workers, [&](int w) {
        std::array<float, kBins> harmonic{};
        std::array<float, kBins> percussive{};
        auto [begin, end] = workerFrames(w, workers, frames);
        for (std::int64_t t = begin; t < end && !cancelled(cancel); ++t) {
            const float* rows[2 * kMedianHalf + 1];
            for (int d = -kMedianHalf; d <= kMedianHalf; ++d)
                rows[d + kMedianHalf] =
                    midMag.p() + std::clamp<std::int64_t>(t + d, 0, frames - 1) * kBins;
            timeMedianRow(rows, harmonic.data());
            frequencyMedianRow(midMag.p() + t * kBins, percussive.data());
            percussiveMask(harmonic.data(), percussive.data(), percMask.p() + t * kBins, kBins);
            counter.advance();
        }
    });
}

// Synthesis: job j makes stem j / 2, left channel for even j, right for odd, overlap-adding
// straight into its stem channel. Each thread takes a contiguous range of frames and runs all
// eight jobs on each of its frames, so every frame's spectra are read from memory once and its
// centre measure and gains are computed once. A thread's first frame shares half its span with
// the previous thread's last frame: that half goes to a side buffer and is added in after the
// threads join, in the same order a single thread would add it, so the result does not depend
// on the number of threads. Every stretch is normalised as soon as no later frame can touch it.
void synthesise(const StereoAudio& audio, const FloatBuf& percMask, const std::vector<float>& bass,
                std::int64_t n, std::int64_t frames, int workers, const float* window,
                const FftPlan& plan, std::vector<StemData>& stems, const ProgressFn& progress,
                const std::atomic<bool>* cancel) {
    ProgressCounter counter(kSynthesisJobs * frames, 0.6, 0.4, progress);
    const std::array<float, kHop> power = windowPowerTable(window);
    auto channelOf = [&](int job) -> std::vector<float>& {
        return job % 2 == 0 ? stems[static_cast<std::size_t>(job / 2)].l
                            : stems[static_cast<std::size_t>(job / 2)].r;
    };

    // The zero-filling of the stems (the largest allocation of all) is shared among the threads.
    const int threads = static_cast<int>(std::min<std::int64_t>(workers, frames));
    parallelFor(kSynthesisJobs, threads, [&](int job) { allocateChannel(channelOf(job), n); });

    // boundary[w][j]: the first half of thread w's first frame for job j.
    std::vector<std::array<std::array<float, kHop>, kSynthesisJobs>> boundary(
        static_cast<std::size_t>(threads));
    parallelFor(threads, threads, [&](int w) {
        auto& side = boundary[static_cast<std::size_t>(w)];
        for (auto& half : side) half.fill(0.0f);
        float* out[kSynthesisJobs];
        for (int j = 0; j < kSynthesisJobs; ++j) out[j] = channelOf(j).data();
        FFTScratch scratch(kFrameLength);
        FrameSpectra spectra;
        std::vector<float> c2(kBins);
        std::vector<float> gains(static_cast<std::size_t>(kStems) * kBins);
        auto gainsOf = [&](int s) { return gains.data() + static_cast<std::ptrdiff_t>(s) * kBins; };

        auto [begin, end] = workerFrames(w, threads, frames);
        // Output positions covered by two frames of this thread: [(begin - 1), (end - 2)) hops.
        std::int64_t normalisedTo = std::clamp<std::int64_t>((begin - 1) * kHop, 0, n);
        for (std::int64_t t = begin; t < end && !cancelled(cancel); ++t) {
            const std::int64_t row = t * kBins;
            spectra.transform(audio, n, t, window, plan, scratch);
            const float* lre = spectra.lre();
            const float* lim = spectra.lim();
            const float* rre = spectra.rre();
            const float* rim = spectra.rim();
            centreMeasureSquared(lre, lim, rre, rim, c2.data(), kBins);
            stemGains(c2.data(), percMask.p() + row, bass.data(), gainsOf(0), gainsOf(1),
                      gainsOf(2), gainsOf(3), kBins);
            const bool shared = t == begin && begin > 0;
            for (int j = 0; j < kSynthesisJobs; ++j) {
                const bool left = j % 2 == 0;
                inverseFrameAdd(left ? lre : rre, left ? lim : rim, t, window, plan, scratch,
                                out[j], n, gainsOf(j / 2), shared ? side[j].data() : nullptr);
                counter.advance();
            }
            // After frame t, positions below (t - 1) hops receive nothing more.
            const std::int64_t complete = std::clamp<std::int64_t>((t - 1) * kHop, 0, n);
            if (complete > normalisedTo) {
                for (int j = 0; j < kSynthesisJobs; ++j)
                    normaliseRange(out[j], normalisedTo, complete, power);
                normalisedTo = complete;
            }
        }
        if (end == frames && normalisedTo < n)
            for (int j = 0; j < kSynthesisJobs; ++j) normaliseRange(out[j], normalisedTo, n, power);
    });

    // The stretches where two threads' frames meet: the earlier frame's half is in the output,
    // the later frame's half in the side buffer.
    for (int w = 1; w < threads; ++w) {
        const std::int64_t begin = workerFrames(w, threads, frames).begin;
        if (begin == 0 || begin >= frames) continue;
        const std::int64_t first = begin * kHop - kLeadIn;
        const std::int64_t lo = std::clamp<std::int64_t>(first, 0, n);
        const std::int64_t hi = std::clamp<std::int64_t>(first + kHop, 0, n);
        for (int j = 0; j < kSynthesisJobs; ++j) {
            float* out = channelOf(j).data();
            const float* half =
                boundary[static_cast<std::size_t>(w)][static_cast<std::size_t>(j)].data();
            for (std::int64_t i = lo; i < hi; ++i) out[i] = half[i - first] + out[i];
            normaliseRange(out, lo, hi, power);
        }
    }
}

}  // namespace

std::vector<StemData> Separator::separate(const StereoAudio& audio, const ProgressFn& progress,
                                          const SeparatorOptions& options) {
    if (options.method == SeparationMethod::refined)
        return separateRefined(audio, progress, options);
    assert(audio.l.size() == audio.r.size());
    const auto n = static_cast<std::int64_t>(audio.l.size());
    if (n == 0) return std::vector<StemData>(kStems);

    const auto [frames, paddedLength] = frameGeometry(n);
    std::unique_ptr<FftPlan> plan = FftPlan::create(kFrameLength);
    if (!plan) return {};
    const std::vector<float> window = hannWindow();
    const int workers = options.workers > 0 ? options.workers : defaultWorkerCount();

    // The padded channels of the textbook layout are implied: frames read the input directly and
    // see zeros outside it, which saves two song-sized copies.
    auto midMag = std::make_unique<FloatBuf>(frames * kBins);
    analyse(audio, n, frames, workers, window.data(), *plan, *midMag, progress, options.cancel);
    if (cancelled(options.cancel)) return {};

    FloatBuf percMask(frames * kBins);
    filterMedians(*midMag, frames, workers, percMask, progress, options.cancel);
    if (cancelled(options.cancel)) return {};
    midMag.reset();  // its last reader is done

    const std::vector<float> bass = bassWeights(audio.sampleRate);
    std::vector<StemData> stems(kStems);
    synthesise(audio, percMask, bass, n, frames, workers, window.data(), *plan, stems, progress,
               options.cancel);
    if (cancelled(options.cancel)) return {};
    return stems;
}

}  // namespace corvane::dsp
