// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/Separator.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <memory>

#include "dsp/common/FftPlan.h"
#include "dsp/common/FloatBuf.h"
#include "dsp/common/Median13.h"
#include "dsp/common/ParallelFor.h"
#include "dsp/common/ProgressCounter.h"
#include "dsp/common/StemKind.h"
#include "dsp/common/StemSynthesis.h"
#include "dsp/common/StftFrames.h"
#include "dsp/refined/RefinedSeparator.h"
#include "dsp/standard/SeparationKernels.h"

namespace corvane::dsp {

namespace {

constexpr int kStems = kStemCount;
constexpr int kSynthesisJobs = 2 * kStems;  // one per (stem, channel)
constexpr int kMedianHalf = 6;

using synthesis::cancelled;
using synthesis::FrameSpectra;
using synthesis::workerFrames;

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

// Synthesis: each frame's gains from the squared centre measure of its spectra, the percussive
// mask and the bass weights.
void synthesise(const StereoAudio& audio, const FloatBuf& percMask, const std::vector<float>& bass,
                std::int64_t n, std::int64_t frames, int workers, const float* window,
                const FftPlan& plan, std::vector<StemData>& stems, const ProgressFn& progress,
                const std::atomic<bool>* cancel) {
    ProgressCounter counter(kSynthesisJobs * frames, 0.6, 0.4, progress);
    synthesis::synthesiseStems(
        audio, n, frames, workers, window, plan, stems, counter, cancel, [&] {
            return [&, c2 = std::vector<float>(kBins)](std::int64_t t, FrameSpectra& spectra,
                                                       float* gains) mutable {
                centreMeasureSquared(spectra.lre(), spectra.lim(), spectra.rre(), spectra.rim(),
                                     c2.data(), kBins);
                stemGains(c2.data(), percMask.p() + t * kBins, bass.data(), gains, gains + kBins,
                          gains + 2 * kBins, gains + 3 * kBins, kBins);
            };
        });
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
