// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/refined/RefinedSeparator.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cmath>
#include <memory>

#include "dsp/common/FftPlan.h"
#include "dsp/common/FloatBuf.h"
#include "dsp/common/Median13.h"
#include "dsp/common/ParallelFor.h"
#include "dsp/common/ProgressCounter.h"
#include "dsp/common/ShortFrames.h"
#include "dsp/common/StemKind.h"
#include "dsp/common/StemSynthesis.h"
#include "dsp/common/StftFrames.h"
#include "dsp/refined/RefinedKernels.h"
#include "dsp/refined/RepeatingBackground.h"
#include "dsp/standard/SeparationKernels.h"

namespace corvane::dsp {

namespace {

constexpr int kStems = kStemCount;
constexpr int kJobs = 2 * kStems;  // one per (stem, channel)
constexpr int kMedianHalf = 6;

// Progress: analysis 0 to 0.2, medians 0.2 to 0.4, repeating background 0.4 to 0.55, synthesis
// 0.55 to 1.
constexpr double kMedianBase = 0.2;
constexpr double kRepeatBase = 0.4;
constexpr double kSynthesisBase = 0.55;

// The repeating background is looked for within this many seconds either side of a frame, in
// frames at least this many seconds apart (so one sustained note does not count as a repeat).
constexpr double kRepeatReachSeconds = 10.0;
constexpr double kRepeatSpacingSeconds = 1.0;

using synthesis::cancelled;
using synthesis::FrameSpectra;
using synthesis::workerFrames;

struct Plans {
    std::unique_ptr<FftPlan> mainPlan, shortPlan;
    std::vector<float> mainWindow, shortWindow;
};

// Pass 1: the mid magnitude of every frame at both lengths (two short frames per main frame).
void analyse(const StereoAudio& audio, std::int64_t n, std::int64_t frames, int workers,
             const Plans& plans, FloatBuf& mainMag, FloatBuf& shortMag, FloatBuf& difference,
             FloatBuf& total, const ProgressFn& progress, const std::atomic<bool>* cancel) {
    ProgressCounter counter(frames, 0.0, kMedianBase, progress);
    parallelFor(workers, workers, [&](int w) {
        FFTScratch scratch(kFrameLength);
        FFTScratch shortScratch(kShortFrameLength);
        FrameSpectra spectra;
        auto [begin, end] = workerFrames(w, workers, frames);
        for (std::int64_t t = begin; t < end && !cancelled(cancel); ++t) {
            spectra.transform(audio, n, t, plans.mainWindow.data(), *plans.mainPlan, scratch);
            midMagnitude(spectra.lre(), spectra.lim(), spectra.rre(), spectra.rim(),
                         mainMag.p() + t * kBins, kBins);
            stereoEnergies(spectra.lre(), spectra.lim(), spectra.rre(), spectra.rim(),
                           difference.p() + t * kBins, total.p() + t * kBins, kBins);
            for (int h = 0; h < kShortFramesPerFrame; ++h) {
                const std::int64_t u = t * kShortFramesPerFrame + h;
                shortMidMagnitude(audio.l.data(), audio.r.data(), n, u, plans.shortWindow.data(),
                                  *plans.shortPlan, shortScratch, shortMag.p() + u * kShortBins);
            }
            counter.advance();
        }
    });
}

// Pass 2: the percussive share of every bin, from the harmonic (along time) and percussive (along
// frequency) medians at both lengths.
void filterMedians(const FloatBuf& mainMag, const FloatBuf& shortMag, const FloatBuf& difference,
                   const FloatBuf& total, std::int64_t frames, int workers, FloatBuf& percMask,
                   FloatBuf& centre, const ProgressFn& progress, const std::atomic<bool>* cancel) {
    ProgressCounter counter(frames, kMedianBase, kRepeatBase - kMedianBase, progress);
    const std::int64_t shortFrames = frames * kShortFramesPerFrame;
    parallelFor(workers, workers, [&](int w) {
        std::vector<float> harmonic(kBins), percussive(kBins), mainShare(kBins), shortShare(kBins);
        std::vector<float> padded(kShortBins + kMedianPadding);
        auto [begin, end] = workerFrames(w, workers, frames);
        for (std::int64_t t = begin; t < end && !cancelled(cancel); ++t) {
            const float* rows[2 * kMedianHalf + 1];
            for (int d = -kMedianHalf; d <= kMedianHalf; ++d)
                rows[d + kMedianHalf] =
                    mainMag.p() + std::clamp<std::int64_t>(t + d, 0, frames - 1) * kBins;
            timeMedianRow(rows, harmonic.data());
            frequencyMedianRow(mainMag.p() + t * kBins, percussive.data());
            percussiveMask(harmonic.data(), percussive.data(), mainShare.data(), kBins);

            const std::int64_t u = t * kShortFramesPerFrame;
            for (int d = -kMedianHalf; d <= kMedianHalf; ++d)
                rows[d + kMedianHalf] =
                    shortMag.p() + std::clamp<std::int64_t>(u + d, 0, shortFrames - 1) * kShortBins;
            timeMedianRow(rows, harmonic.data(), kShortBins);
            frequencyMedianRow(shortMag.p() + u * kShortBins, percussive.data(), kShortBins,
                               padded.data());
            shortPercussiveShare(harmonic.data(), percussive.data(), shortShare.data());
            combinePercussiveShares(mainShare.data(), shortShare.data(), percMask.p() + t * kBins);

            const float* d[5];
            const float* e[5];
            for (int i = 0; i < 5; ++i) {
                const std::int64_t v = std::clamp<std::int64_t>(t + i - 2, 0, frames - 1) * kBins;
                d[i] = difference.p() + v, e[i] = total.p() + v;
            }
            smoothedCentreSquared(d, e, centre.p() + t * kBins, kBins);
            counter.advance();
        }
    });
}

// Pass 3: the foreground share of every bin of the harmonic part (RepeatingBackground.h). The
// main magnitudes become harmonic magnitudes in place first, once no median reads them.
// Foreground shares are found for frames [first, last) only (all but a block-wise run's context).
std::int64_t repeatReach(double rate) {
    return static_cast<std::int64_t>(kRepeatReachSeconds * rate / kHop);
}

void findRepeats(FloatBuf& mainMag, const FloatBuf& percMask, std::int64_t frames, double rate,
                 int workers, FloatBuf& foreground, const ProgressFn& progress,
                 const std::atomic<bool>* cancel, std::int64_t first, std::int64_t last) {
    ProgressCounter counter(frames + (last - first), kRepeatBase, kSynthesisBase - kRepeatBase,
                            progress);
    FloatBuf features(frames * kRepeatBands);
    parallelFor(workers, workers, [&](int w) {
        auto [begin, end] = workerFrames(w, workers, frames);
        for (std::int64_t t = begin; t < end && !cancelled(cancel); ++t) {
            float* mag = mainMag.p() + t * kBins;
            const float* q = percMask.p() + t * kBins;
            for (int k = 0; k < kBins; ++k) mag[k] *= 1.0f - q[k];
            repeatFeatures(mag, features.p() + t * kRepeatBands);
            counter.advance();
        }
    });
    if (cancelled(cancel)) return;
    const std::int64_t reach = repeatReach(rate);
    const auto spacing =
        std::max<std::int64_t>(1, std::llround(kRepeatSpacingSeconds * rate / kHop));
    parallelFor(workers, workers, [&](int w) {
        std::vector<float> similarity(static_cast<std::size_t>(2 * reach + 1));
        std::array<std::int64_t, kRepeatNeighbours> chosen{};
        std::array<const float*, kRepeatNeighbours> rows{};
        std::array<float, kRepeatNeighbours> scratch{};
        auto [b, e] = workerFrames(w, workers, last - first);
        for (std::int64_t t = b + first; t < e + first && !cancelled(cancel); ++t) {
            const int found = similarFrames(features.p(), frames, t, reach, spacing,
                                            similarity.data(), chosen.data());
            for (int i = 0; i < found; ++i)
                rows[static_cast<std::size_t>(i)] =
                    mainMag.p() + chosen[static_cast<std::size_t>(i)] * kBins;
            foregroundShare(mainMag.p() + t * kBins, rows.data(), found, foreground.p() + t * kBins,
                            kBins, scratch.data());
            counter.advance();
        }
    });
}

// Pass 4: the shared synthesis, each frame's gains from the planes made by the passes before.
void synthesise(const StereoAudio& audio, const FloatBuf& percMask, const FloatBuf& foreground,
                const FloatBuf& centre, std::int64_t n, std::int64_t frames, int workers,
                const Plans& plans, std::vector<StemData>& stems, const ProgressFn& progress,
                const std::atomic<bool>* cancel, synthesis::KeptRange keep,
                std::int64_t synthesisFrames) {
    ProgressCounter counter(kJobs * synthesisFrames, kSynthesisBase, 1.0 - kSynthesisBase,
                            progress);
    const std::vector<float> bass = refinedBassWeights(audio.sampleRate);
    const std::vector<float> band = vocalBandWeights(audio.sampleRate);
    synthesis::synthesiseStems(
        audio, n, frames, workers, plans.mainWindow.data(), *plans.mainPlan, stems, counter, cancel,
        [&] {
            return [&](std::int64_t t, FrameSpectra&, float* gains) {
                const std::int64_t row = t * kBins;
                refinedStemGains(percMask.p() + row, centre.p() + row, bass.data(), band.data(),
                                 foreground.p() + row, gains, gains + kBins, gains + 2 * kBins,
                                 gains + 3 * kBins, kBins);
            };
        },
        keep);
}

}  // namespace

std::int64_t refinedContextFrames(double sampleRate) {
    // The repeating background's reach, then the medians of the frames it compares (6 main
    // frames, 6 short ones), the lead-in a frame needs behind it and a margin.
    return repeatReach(sampleRate) + kMedianHalf + 12;
}

std::vector<StemData> separateRefined(const StereoAudio& audio, const ProgressFn& progress,
                                      const SeparatorOptions& options) {
    return separateRefinedKeeping(audio, progress, options, 0, -1);
}

std::vector<StemData> separateRefinedKeeping(const StereoAudio& audio, const ProgressFn& progress,
                                             const SeparatorOptions& options, std::int64_t from,
                                             std::int64_t to) {
    assert(audio.l.size() == audio.r.size());
    assert(from % kHop == 0 && (to < 0 || (from <= to && to <= std::ssize(audio.l))));
    const auto n = static_cast<std::int64_t>(audio.l.size());
    if (n == 0 || from == to) return std::vector<StemData>(kStems);

    const std::int64_t frames = frameGeometry(n).frames;
    // The frames that make the kept samples (all of them for the whole input).
    const std::int64_t first = to < 0 ? 0 : from / kHop;
    const std::int64_t last = to < 0 ? frames : std::min(frames, (to + kHop - 1) / kHop + 2);
    Plans plans{FftPlan::create(kFrameLength), FftPlan::create(kShortFrameLength), hannWindow(),
                shortHannWindow()};
    if (!plans.mainPlan || !plans.shortPlan) return {};
    const int workers = options.workers > 0 ? options.workers : defaultWorkerCount();

    FloatBuf percMask(frames * kBins);
    FloatBuf foreground(frames * kBins);
    FloatBuf centre(frames * kBins);
    {
        FloatBuf mainMag(frames * kBins);
        FloatBuf shortMag(frames * kShortFramesPerFrame * kShortBins);
        FloatBuf difference(frames * kBins);
        FloatBuf total(frames * kBins);
        analyse(audio, n, frames, workers, plans, mainMag, shortMag, difference, total, progress,
                options.cancel);
        if (cancelled(options.cancel)) return {};
        filterMedians(mainMag, shortMag, difference, total, frames, workers, percMask, centre,
                      progress, options.cancel);
        if (cancelled(options.cancel)) return {};
        findRepeats(mainMag, percMask, frames, audio.sampleRate, workers, foreground, progress,
                    options.cancel, first, last);
        if (cancelled(options.cancel)) return {};
    }  // the magnitudes' last reader is done

    std::vector<StemData> stems(kStems);
    synthesise(audio, percMask, foreground, centre, n, frames, workers, plans, stems, progress,
               options.cancel, {from, to}, last - first);
    if (cancelled(options.cancel)) return {};
    return stems;
}

}  // namespace corvane::dsp
