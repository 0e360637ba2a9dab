// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/refined/RefinedSeparator.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cmath>
#include <memory>

#include "dsp/common/FftPlan.h"
#include "dsp/common/FloatBuf.h"
#include "dsp/common/LongFrames.h"
#include "dsp/common/Median13.h"
#include "dsp/common/ParallelFor.h"
#include "dsp/common/ProgressCounter.h"
#include "dsp/common/ShortFrames.h"
#include "dsp/common/StemKind.h"
#include "dsp/common/StemSynthesis.h"
#include "dsp/common/StftFrames.h"
#include "dsp/refined/PitchTrack.h"
#include "dsp/refined/RefinedKernels.h"

namespace corvane::dsp {

namespace {

constexpr int kStems = kStemCount;
constexpr int kJobs = 2 * kStems;  // one per (stem, channel)
constexpr int kMedianHalf = 6;

// Progress: analysis 0 to 0.3, pitch and centre 0.3 to 0.4, voice 0.4 to 0.45, medians 0.45 to
// 0.6, synthesis 0.6 to 1.
constexpr double kPitchBase = 0.3;
constexpr double kVoiceBase = 0.4;
constexpr double kMedianBase = 0.45;
constexpr double kSynthesisBase = 0.6;

// The separation factor of the harmonic / percussive / residual split.
constexpr float kSeparationFactor = 1.0f;
// The short frame's part in the percussive and harmonic shares above the bass.
constexpr float kShortFrameWeight = 0.15f;
// Of a frame where a voice sings, the share of the bins between its harmonics that goes to the
// vocals (breath, consonants, the voice's own reverb).
constexpr float kCombFloor = 0.15f;
// A voice gate stays open this many frames either side of a frame where the pitch moves like a
// voice's (a held note between two glides, the vibrato that grows in only after the onset).
constexpr int kGateHoldHalf = 8;
// Harmonics of the voice followed up to this frequency.
constexpr float kCombTopHz = 10000.0f;

using synthesis::cancelled;
using synthesis::FrameSpectra;
using synthesis::workerFrames;

struct Plans {
    std::unique_ptr<FftPlan> main, shortFrames, longFrames;
    std::vector<float> mainWindow, shortWindow, longWindow;
};

std::int64_t clampFrame(std::int64_t t, std::int64_t frames) {
    return std::clamp<std::int64_t>(t, 0, frames - 1);
}

// Every per-frame pass runs its frames on `workers` threads in contiguous ranges, reporting one
// unit per frame.
template <class Body>
void forEachFrame(std::int64_t frames, int workers, ProgressCounter& counter,
                  const std::atomic<bool>* cancel, const Body& body) {
    parallelFor(workers, workers, [&](int w) {
        auto [begin, end] = workerFrames(w, workers, frames);
        for (std::int64_t t = begin; t < end && !cancelled(cancel); ++t) {
            body(t);
            counter.advance();
        }
    });
}

// The planes the passes hand on, frames * bins each.
struct Planes {
    explicit Planes(std::int64_t frames)
        : mid(frames * kBins),
          side(frames * kBins),
          shortMid(frames * kShortFramesPerFrame * kShortBins),
          longMid(frames * kLongBins),
          salience(frames * kPitchCandidates),
          cents(frames),
          gate(frames) {}
    FloatBuf mid, side, shortMid, longMid, salience, cents, gate;
};

// Pass 1: mid and side magnitudes at the main frame, the mid magnitude at the short frames (two
// per main frame) and the low bins of the long frame.
void analyse(const StereoAudio& audio, std::int64_t n, std::int64_t frames, int workers,
             const Plans& plans, Planes& planes, const ProgressFn& progress,
             const std::atomic<bool>* cancel) {
    ProgressCounter counter(frames, 0.0, kPitchBase, progress);
    parallelFor(workers, workers, [&](int w) {
        FFTScratch scratch(kFrameLength), shortScratch(kShortFrameLength),
            longScratch(kLongFrameLength);
        FrameSpectra spectra;
        auto [begin, end] = workerFrames(w, workers, frames);
        for (std::int64_t t = begin; t < end && !cancelled(cancel); ++t) {
            spectra.transform(audio, n, t, plans.mainWindow.data(), *plans.main, scratch);
            midSideMagnitudes(spectra.lre(), spectra.lim(), spectra.rre(), spectra.rim(),
                              planes.mid.p() + t * kBins, planes.side.p() + t * kBins, kBins);
            for (int h = 0; h < kShortFramesPerFrame; ++h) {
                const std::int64_t u = t * kShortFramesPerFrame + h;
                shortMidMagnitude(audio.l.data(), audio.r.data(), n, u, plans.shortWindow.data(),
                                  *plans.shortFrames, shortScratch,
                                  planes.shortMid.p() + u * kShortBins);
            }
            midMagnitudeFrom(audio.l.data(), audio.r.data(), n, longFrameStart(t),
                             plans.longWindow.data(), *plans.longFrames, longScratch,
                             planes.longMid.p() + t * kLongBins, kLongBins);
            counter.advance();
        }
    });
}

// Pass 2: the pitch salience of every frame, and the centre measure (into `centre`, after which
// the side magnitudes are no longer needed).
void saliencesAndCentre(std::int64_t frames, int workers, const PitchGrid& grid, Planes& planes,
                        FloatBuf& centre, const ProgressFn& progress,
                        const std::atomic<bool>* cancel) {
    ProgressCounter counter(frames, kPitchBase, kVoiceBase - kPitchBase, progress);
    forEachFrame(frames, workers, counter, cancel, [&](std::int64_t t) {
        pitchSalience(planes.mid.p() + t * kBins, grid, planes.salience.p() + t * kPitchCandidates);
        const float* mid[5];
        const float* side[5];
        for (int i = 0; i < 5; ++i) {
            const std::int64_t row = clampFrame(t + i - 2, frames) * kBins;
            mid[i] = planes.mid.p() + row, side[i] = planes.side.p() + row;
        }
        smoothedCentre(mid, side, centre.p() + t * kBins, kBins);
    });
}

// Pass 3: each frame's pitch from the saliences around it, then the voice gate from how the
// pitch moves; then the voice's share of every bin (in place of the centre measure), and the
// magnitudes at all three lengths with that share taken out: what the accompaniment's medians
// are found on.
void followVoice(std::int64_t frames, int workers, double sampleRate, Planes& planes,
                 FloatBuf& voice, const ProgressFn& progress, const std::atomic<bool>* cancel) {
    ProgressCounter counter(3 * frames, kVoiceBase, kMedianBase - kVoiceBase, progress);
    float* cents = planes.cents.p();
    float* gate = planes.gate.p();
    forEachFrame(frames, workers, counter, cancel, [&](std::int64_t t) {
        const float* rows[2 * kPitchSmoothHalf + 1];
        for (int d = -kPitchSmoothHalf; d <= kPitchSmoothHalf; ++d)
            rows[d + kPitchSmoothHalf] =
                planes.salience.p() + clampFrame(t + d, frames) * kPitchCandidates;
        cents[t] = choosePitch(rows);
    });
    if (cancelled(cancel)) return;
    forEachFrame(frames, workers, counter, cancel, [&](std::int64_t t) {
        float window[2 * kMotionHalf + 2];
        for (int i = 0; i < 2 * kMotionHalf + 2; ++i)
            window[i] = cents[clampFrame(t - kMotionHalf - 1 + i, frames)];
        gate[t] = voiceGate(pitchMotion(window));
    });
    if (cancelled(cancel)) return;
    const std::vector<float> band = vocalBandWeights(sampleRate);
    const float binHz = static_cast<float>(sampleRate) * kInverseFrameLength;
    const float combTop = std::min(kCombTopHz, 0.45f * static_cast<float>(sampleRate));
    // The gate holds across kGateHoldHalf frames either side: read from a copy, since the pass
    // below runs on the frames in parallel.
    std::vector<float> held(static_cast<std::size_t>(frames));
    for (std::int64_t t = 0; t < frames; ++t) {
        float g = 0.0f;
        for (int d = -kGateHoldHalf; d <= kGateHoldHalf; ++d)
            g = std::max(g, gate[clampFrame(t + d, frames)]);
        held[static_cast<std::size_t>(t)] = g;
    }
    parallelFor(workers, workers, [&](int w) {
        std::array<float, kBins> comb{};
        auto [begin, end] = workerFrames(w, workers, frames);
        for (std::int64_t t = begin; t < end && !cancelled(cancel); ++t) {
            comb.fill(0.0f);
            if (cents[t] >= 0.0f)
                harmonicComb(kPitchLowHz * std::exp2(cents[t] / 1200.0f), binHz, combTop,
                             comb.data());
            float* v = voice.p() + t * kBins;
            voiceShare(comb.data(), v, band.data(), held[static_cast<std::size_t>(t)], kCombFloor,
                       v, kBins);
            float* mid = planes.mid.p() + t * kBins;
            for (int k = 0; k < kBins; ++k) mid[k] *= 1.0f - v[k];
            for (int h = 0; h < kShortFramesPerFrame; ++h) {
                float* s = planes.shortMid.p() + (t * kShortFramesPerFrame + h) * kShortBins;
                for (int j = 0; j < kShortBins; ++j) s[j] *= 1.0f - v[2 * j];
            }
            float* l = planes.longMid.p() + t * kLongBins;
            for (int j = 0; j < kLongBins; ++j) l[j] *= 1.0f - v[std::min(j / 2, kBins - 1)];
            counter.advance();
        }
    });
}

// Pass 4: the harmonic and percussive shares of the accompaniment in every bin, from the medians
// at all three lengths: the long frame below the bass cross-over, the main and short frames
// (mostly the main one) above it.
void filterMedians(std::int64_t frames, int workers, const std::vector<float>& bass,
                   const Planes& planes, FloatBuf& harmonic, FloatBuf& percussive,
                   const ProgressFn& progress, const std::atomic<bool>* cancel) {
    ProgressCounter counter(frames, kMedianBase, kSynthesisBase - kMedianBase, progress);
    const std::int64_t shortFrames = frames * kShortFramesPerFrame;
    constexpr int kLongShared = std::min(kBins, kLongBins / 2);
    parallelFor(workers, workers, [&](int w) {
        std::vector<float> h(kBins), p(kBins), sh(kBins), sp(kBins);
        std::vector<float> padded(kBins + kMedianPadding);
        auto [begin, end] = workerFrames(w, workers, frames);
        for (std::int64_t t = begin; t < end && !cancelled(cancel); ++t) {
            float* outH = harmonic.p() + t * kBins;
            float* outP = percussive.p() + t * kBins;
            const float* rows[2 * kMedianHalf + 1];

            for (int d = -kMedianHalf; d <= kMedianHalf; ++d)
                rows[d + kMedianHalf] = planes.mid.p() + clampFrame(t + d, frames) * kBins;
            timeMedianRow(rows, h.data());
            frequencyMedianRow(planes.mid.p() + t * kBins, p.data());
            separationShares(h.data(), p.data(), kSeparationFactor, outH, outP, kBins);
            for (int k = 0; k < kBins; ++k)
                outH[k] *= 1.0f - kShortFrameWeight, outP[k] *= 1.0f - kShortFrameWeight;

            const std::int64_t u = t * kShortFramesPerFrame;
            for (int d = -kMedianHalf; d <= kMedianHalf; ++d)
                rows[d + kMedianHalf] =
                    planes.shortMid.p() +
                    std::clamp<std::int64_t>(u + d, 0, shortFrames - 1) * kShortBins;
            timeMedianRow(rows, h.data(), kShortBins);
            frequencyMedianRow(planes.shortMid.p() + u * kShortBins, p.data(), kShortBins,
                               padded.data());
            separationShares(h.data(), p.data(), kSeparationFactor, sh.data(), sp.data(),
                             kShortBins);
            blendShortShares(sh.data(), kShortFrameWeight, outH);
            blendShortShares(sp.data(), kShortFrameWeight, outP);

            for (int d = -kMedianHalf; d <= kMedianHalf; ++d)
                rows[d + kMedianHalf] = planes.longMid.p() + clampFrame(t + d, frames) * kLongBins;
            timeMedianRow(rows, h.data(), kLongBins);
            frequencyMedianRow(planes.longMid.p() + t * kLongBins, p.data(), kLongBins,
                               padded.data());
            separationShares(h.data(), p.data(), kSeparationFactor, sh.data(), sp.data(),
                             kLongBins);
            blendLongShares(sh.data(), bass.data(), outH, kLongShared);
            blendLongShares(sp.data(), bass.data(), outP, kLongShared);
            counter.advance();
        }
    });
}

// Pass 5: the shared synthesis, each frame's gains from the voice share and the accompaniment's
// shares.
void synthesise(const StereoAudio& audio, const FloatBuf& voice, const FloatBuf& harmonic,
                const FloatBuf& percussive, const std::vector<float>& bass, std::int64_t n,
                std::int64_t frames, int workers, const Plans& plans, std::vector<StemData>& stems,
                const ProgressFn& progress, const std::atomic<bool>* cancel,
                synthesis::KeptRange keep, std::int64_t synthesisFrames) {
    ProgressCounter counter(kJobs * synthesisFrames, kSynthesisBase, 1.0 - kSynthesisBase,
                            progress);
    synthesis::synthesiseStems(
        audio, n, frames, workers, plans.mainWindow.data(), *plans.main, stems, counter, cancel,
        [&] {
            return [&](std::int64_t t, FrameSpectra&, float* gains) {
                const std::int64_t row = t * kBins;
                refinedStemGains(voice.p() + row, harmonic.p() + row, percussive.p() + row,
                                 bass.data(), gains, gains + kBins, gains + 2 * kBins,
                                 gains + 3 * kBins, kBins);
            };
        },
        keep);
}

}  // namespace

std::int64_t refinedContextFrames(double) {
    // What a kept frame's gains reach back and forth to: the medians (6 frames) of magnitudes whose
    // voice share holds the gate (8) of a pitch motion (9) of pitches chosen from saliences (2),
    // 25 frames, and the frames either side of the kept samples. Rounded up to 80 frames with a
    // wide margin, so a block of three contexts (the stream's shortest) still spans a few seconds
    // at 8 kHz.
    return 80;
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
    Plans plans{FftPlan::create(kFrameLength),
                FftPlan::create(kShortFrameLength),
                FftPlan::create(kLongFrameLength),
                hannWindow(),
                shortHannWindow(),
                hannWindowOf(kLongFrameLength)};
    if (!plans.main || !plans.shortFrames || !plans.longFrames) return {};
    const int workers = options.workers > 0 ? options.workers : defaultWorkerCount();
    const std::vector<float> bass = refinedBassWeights(audio.sampleRate);

    FloatBuf voice(frames * kBins);  // the centre measure first, then the voice's share
    FloatBuf harmonic(frames * kBins);
    FloatBuf percussive(frames * kBins);
    {
        Planes planes(frames);
        analyse(audio, n, frames, workers, plans, planes, progress, options.cancel);
        if (cancelled(options.cancel)) return {};
        saliencesAndCentre(frames, workers, makePitchGrid(audio.sampleRate), planes, voice,
                           progress, options.cancel);
        if (cancelled(options.cancel)) return {};
        followVoice(frames, workers, audio.sampleRate, planes, voice, progress, options.cancel);
        if (cancelled(options.cancel)) return {};
        filterMedians(frames, workers, bass, planes, harmonic, percussive, progress,
                      options.cancel);
        if (cancelled(options.cancel)) return {};
    }  // the magnitudes' last reader is done

    std::vector<StemData> stems(kStems);
    synthesise(audio, voice, harmonic, percussive, bass, n, frames, workers, plans, stems, progress,
               options.cancel, {from, to}, last - first);
    if (cancelled(options.cancel)) return {};
    return stems;
}

}  // namespace corvane::dsp
