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
#include "dsp/refined/RefinedPlanes.h"
#include "dsp/refined/RepeatingBackground.h"
#include "dsp/refined/VoiceVibrato.h"

namespace corvane::dsp {

namespace {

constexpr int kStems = kStemCount;
constexpr int kJobs = 2 * kStems;  // one per (stem, channel)
constexpr int kMedianHalf = 6;
// The long frame's time median, 13 of the frames 8 either side: a kick's boom counts as percussive.
constexpr int kLongTaps[2 * kMedianHalf + 1] = {-8, -6, -5, -4, -3, -1, 0, 1, 3, 4, 5, 6, 8};

// Progress: analysis 0 to 0.25, pitch and centre 0.25 to 0.35, voice gate 0.35 to 0.4, medians
// 0.4 to 0.5, repeating background 0.5 to 0.6, synthesis 0.6 to 1.
constexpr double kPitchBase = 0.25;
constexpr double kVoiceBase = 0.35;
constexpr double kMedianBase = 0.4;
constexpr double kRepeatBase = 0.5;
constexpr double kSynthesisBase = 0.6;

static_assert(2 * kPresenceSeconds <= kRepeatReachSeconds, "the voice's presence needs context");

// The harmonic / percussive / residual split's separation factor: 1 leaves no residual (at 1.5
// a voice's and a bass line's moving partials fell into other's residual, 0.3 dB lower).
constexpr float kSeparationFactor = 1.0f;
// The short frame's part in the percussive and harmonic shares above the bass.
constexpr float kShortFrameWeight = 0.15f;
// A voice gate stays open this many frames either side of a frame where the pitch or the partials
// behave like a voice's (a held note between glides, a vibrato that grows in after the onset).
constexpr int kGateHoldHalf = 8;
// The voice's harmonics are followed under the bass cross-over only (up to this frequency).
constexpr float kLowCombTopHz = 400.0f;
// The bass line's harmonics above the cross-over, up to this frequency, go to the bass by this
// part of their harmonic share: a whole comb took other instruments' notes on the same harmonics
// (than 0.7 up to 800 Hz: +0.5 dB with the quality songs' other stem 6 dB louder, +0.08 as mixed).
constexpr float kBassCombTopHz = 600.0f;
constexpr float kBassCombWeight = 0.35f;

using refined::Cues;
using refined::Magnitudes;
using refined::Saliences;
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

// Runs body(t) for every frame on `workers` threads in contiguous ranges, one progress unit each.
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

// Pass 1: mid and side magnitudes at the main frame, the mid magnitude at the short frames (two
// per main frame) and the low bins of the long frame.
void analyse(const StereoAudio& audio, std::int64_t n, std::int64_t frames, int workers,
             const Plans& plans, Magnitudes& mags, const ProgressFn& progress,
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
                              mags.mid.p() + t * kBins, mags.side.p() + t * kBins, kBins);
            for (int k = 0; k < mags.phaseBins; ++k) {
                mags.midRe.p()[t * mags.phaseBins + k] =
                    0.5f * (spectra.lre()[k] + spectra.rre()[k]);
                mags.midIm.p()[t * mags.phaseBins + k] =
                    0.5f * (spectra.lim()[k] + spectra.rim()[k]);
            }
            if (spectra.up() != 1.0f)  // a frame far beyond full scale, back in the song's units
                for (float* row : {mags.mid.p() + t * kBins, mags.side.p() + t * kBins})
                    for (int k = 0; k < kBins; ++k)
                        row[k] = std::min(row[k] * spectra.up(), 0x1p60f);
            for (int h = 0; h < kShortFramesPerFrame; ++h) {
                const std::int64_t u = t * kShortFramesPerFrame + h;
                shortMidMagnitude(audio.l.data(), audio.r.data(), n, u, plans.shortWindow.data(),
                                  *plans.shortFrames, shortScratch,
                                  mags.shortMid.p() + u * kShortBins);
            }
            midMagnitudeFrom(audio.l.data(), audio.r.data(), n, longFrameStart(t),
                             plans.longWindow.data(), *plans.longFrames, longScratch,
                             mags.longMid.p() + t * kLongBins, kLongBins);
            counter.advance();
        }
    });
}

// Pass 2: the centre measure, the pitch salience of every frame (into `salience`) and the bass
// line's (into `bassSalience`, from the long frame).
void centreAndSalience(std::int64_t frames, int workers, const PitchGrid& grid,
                       const PitchGrid& bassGrid, const Magnitudes& mags, Cues& cues,
                       Saliences& salience, const ProgressFn& progress,
                       const std::atomic<bool>* cancel) {
    ProgressCounter counter(frames, kPitchBase, kVoiceBase - kPitchBase, progress);
    forEachFrame(frames, workers, counter, cancel, [&](std::int64_t t) {
        const float* mid[5];
        const float* side[5];
        for (int i = 0; i < 5; ++i) {
            const std::int64_t row = clampFrame(t + i - 2, frames) * kBins;
            mid[i] = mags.mid.p() + row, side[i] = mags.side.p() + row;
        }
        smoothedCentre(mid, side, cues.centre.p() + t * kBins, kBins);
        pitchSalience(mags.mid.p() + t * kBins, grid, salience.voice.p() + t * kPitchCandidates);
        bassSalience(mags.longMid.p() + t * kLongBins, bassGrid, kLongBins,
                     salience.bass.p() + t * kPitchCandidates);
    });
}

// Pass 3: each frame's pitch and the bass line's; two voice gates held over kGateHoldHalf frames
// either side, the vocals' from how the centred partials move (VoiceVibrato.h), the consonants' and
// the low comb's from how the pitch moves (PitchTrack.h), both lower where no voice sings near.
void followVoice(std::int64_t frames, int workers, const Saliences& salience,
                 const Magnitudes& mags, double rate, Cues& cues, const ProgressFn& progress,
                 const std::atomic<bool>* cancel) {
    const float binHz = static_cast<float>(rate) * kInverseFrameLength;
    const float longBinHz = static_cast<float>(rate) / static_cast<float>(kLongFrameLength);
    ProgressCounter counter(3 * frames, kVoiceBase, kMedianBase - kVoiceBase, progress);
    float* cents = cues.cents.p();
    forEachFrame(frames, workers, counter, cancel, [&](std::int64_t t) {
        const float* rows[2 * kPitchSmoothHalf + 1];
        const float* bassRows[2 * kPitchSmoothHalf + 1];
        for (int d = -kPitchSmoothHalf; d <= kPitchSmoothHalf; ++d) {
            const std::int64_t row = clampFrame(t + d, frames) * kPitchCandidates;
            rows[d + kPitchSmoothHalf] = salience.voice.p() + row;
            bassRows[d + kPitchSmoothHalf] = salience.bass.p() + row;
        }
        cents[t] = choosePitch(rows);
        cues.bassCents.p()[t] = choosePitch(bassRows);
    });
    if (cancelled(cancel)) return;
    std::vector<float> open(static_cast<std::size_t>(frames)), shares(open.size());
    const MidPlanes planes{mags.midRe.p(), mags.midIm.p(), mags.phaseBins, mags.mid.p(),
                           cues.centre.p()};
    // Each worker carries a frame's partials on to the next frame, so each is found once.
    parallelFor(workers, workers, [&](int w) {
        auto [begin, end] = workerFrames(w, workers, frames);
        if (begin >= end) return;
        Partials partials[2];
        findPartials(planes, std::max<std::int64_t>(begin - 1, 0), binHz, partials[0]);
        for (std::int64_t t = begin; t < end && !cancelled(cancel); ++t) {
            float window[2 * kMotionHalf + 2];
            for (int i = 0; i < 2 * kMotionHalf + 2; ++i)
                window[i] = cents[clampFrame(t - kMotionHalf - 1 + i, frames)];
            open[static_cast<std::size_t>(t)] = voiceGate(pitchMotion(window));
            const Partials& before = partials[(t - begin) % 2];
            Partials& now = partials[(t - begin + 1) % 2];
            findPartials(planes, t, binHz, now);
            shares[static_cast<std::size_t>(t)] = sungPartialShare(before, now);
            counter.advance();
        }
    });
    if (cancelled(cancel)) return;
    std::vector<float> sung(open.size()), presence(open.size());  // a few adds: no threads
    for (std::int64_t t = 0; t < frames; ++t)
        sung[static_cast<std::size_t>(t)] = vibratoGate(shares.data(), frames, t);
    voicePresence(sung.data(), frames, presenceHalf(rate), presence.data());
    forEachFrame(frames, workers, counter, cancel, [&](std::int64_t t) {
        float g = 0.0f, vibrato = 0.0f;
        for (int d = -kGateHoldHalf; d <= kGateHoldHalf; ++d) {
            const auto u = static_cast<std::size_t>(clampFrame(t + d, frames));
            g = std::max(g, open[u]);
            vibrato = std::max(vibrato, sung[u]);
        }
        const auto at = static_cast<std::size_t>(t);
        const float near = presenceWeight(presence[at], kPresenceFull);
        cues.open.p()[t] = g * near;
        cues.gate.p()[t] = vocalsGate(presence[at], vibrato);
        cues.bassGuard.p()[t] = kGateFloor + (1.0f - kGateFloor) * vibrato;
        const float voiceHz = pitchHz(kPitchLowHz, cents[t]);
        const float bassHz = pitchHz(kBassLowHz, cues.bassCents.p()[t]);
        const bool onBass = followsBassLine(voiceHz, bassHz, open[at]);
        // A held lead that the bass tracker follows too keeps its comb where its partials sing.
        const bool lead =
            onBass && voiceHz < 1.5f * bassHz && sung[at] > kLeadSung &&
            fundamentalLeads(mags.longMid.p() + t * kLongBins, kLongBins, voiceHz, longBinHz);
        cues.combOpen.p()[t] = (lead ? std::max(g, vibrato) : onBass ? 0.0f : g) * near;
    });
}

// Pass 4: the harmonic and percussive shares of every bin from the medians at all three lengths:
// the long frame below the bass cross-over, the main and short frames (mostly the main one)
// above it. The main magnitudes become harmonic magnitudes in place afterwards, for the
// repeating background (no median reads them any more).
void filterMedians(std::int64_t frames, int workers, const std::vector<float>& bass, double rate,
                   Magnitudes& mags, Cues& cues, const ProgressFn& progress,
                   const std::atomic<bool>* cancel) {
    ProgressCounter counter(frames, kMedianBase, kRepeatBase - kMedianBase, progress);
    const std::int64_t shortFrames = frames * kShortFramesPerFrame;
    constexpr int kLongShared = std::min(kBins, kLongBins / 2);
    const int narrowBins = narrowMedianBins(rate);
    parallelFor(workers, workers, [&](int w) {
        std::vector<float> h(kBins), p(kBins), sh(kBins), sp(kBins);
        std::vector<float> padded(kBins + kMedianPadding);
        auto [begin, end] = workerFrames(w, workers, frames);
        for (std::int64_t t = begin; t < end && !cancelled(cancel); ++t) {
            float* outH = cues.harmonic.p() + t * kBins;
            float* outP = cues.percussive.p() + t * kBins;
            const float* rows[2 * kMedianHalf + 1];

            for (int d = -kMedianHalf; d <= kMedianHalf; ++d)
                rows[d + kMedianHalf] = mags.mid.p() + clampFrame(t + d, frames) * kBins;
            timeMedianRow(rows, h.data());
            frequencyMedianRow(mags.mid.p() + t * kBins, p.data());
            separationShares(h.data(), p.data(), kSeparationFactor, outH, outP, kBins);
            for (int k = 0; k < kBins; ++k)
                outH[k] *= 1.0f - kShortFrameWeight, outP[k] *= 1.0f - kShortFrameWeight;

            const std::int64_t u = t * kShortFramesPerFrame;
            for (int d = -kMedianHalf; d <= kMedianHalf; ++d)
                rows[d + kMedianHalf] =
                    mags.shortMid.p() +
                    std::clamp<std::int64_t>(u + d, 0, shortFrames - 1) * kShortBins;
            timeMedianRow(rows, h.data(), kShortBins);
            frequencyMedianRow(mags.shortMid.p() + u * kShortBins, p.data(), kShortBins,
                               padded.data());
            separationShares(h.data(), p.data(), kSeparationFactor, sh.data(), sp.data(),
                             kShortBins);
            blendShortShares(sh.data(), kShortFrameWeight, outH);
            blendShortShares(sp.data(), kShortFrameWeight, outP);

            for (int i = 0; i < 2 * kMedianHalf + 1; ++i)
                rows[i] = mags.longMid.p() + clampFrame(t + kLongTaps[i], frames) * kLongBins;
            timeMedianRow(rows, h.data(), kLongBins);
            frequencyMedianRow(mags.longMid.p() + t * kLongBins, p.data(), kLongBins,
                               padded.data());
            narrowFrequencyMedian(mags.longMid.p() + t * kLongBins, kLongBins, p.data(),
                                  narrowBins);
            separationShares(h.data(), p.data(), kSeparationFactor, sh.data(), sp.data(),
                             kLongBins);
            blendLongShares(sh.data(), bass.data(), outH, kLongShared);
            blendLongShares(sp.data(), bass.data(), outP, kLongShared);
            counter.advance();
        }
    });
}

// Pass 5: the foreground share of every bin of the harmonic part (RepeatingBackground.h), for
// frames [first, last) and one either side, which the synthesis smooths it over (all but a
// block-wise run's context).
void findRepeats(Magnitudes& mags, Cues& cues, std::int64_t frames, double rate, int workers,
                 const ProgressFn& progress, const std::atomic<bool>* cancel, std::int64_t first,
                 std::int64_t last) {
    first = std::max<std::int64_t>(first - 1, 0), last = std::min(last + 1, frames);
    ProgressCounter counter(frames + (last - first), kRepeatBase, kSynthesisBase - kRepeatBase,
                            progress);
    FloatBuf features(frames * kRepeatBands);
    forEachFrame(frames, workers, counter, cancel, [&](std::int64_t t) {
        float* mag = mags.mid.p() + t * kBins;
        const float* q = cues.percussive.p() + t * kBins;
        // Frames are compared with their drums in, which place a frame in its bar (+0.04 dB in the
        // quality benchmark's mean over the harmonic part alone); the medians leave them out.
        repeatFeatures(mag, features.p() + t, frames);
        for (int k = 0; k < kBins; ++k) mag[k] *= 1.0f - q[k];
    });
    if (cancelled(cancel)) return;
    const std::int64_t reach = repeatReach(rate);
    const std::vector<float> band = vocalBandWeights(rate);
    int bandBins = kBins;
    while (bandBins > 0 && band[static_cast<std::size_t>(bandBins - 1)] == 0.0f) --bandBins;
    const auto spacing =
        std::max<std::int64_t>(1, std::llround(kRepeatSpacingSeconds * rate / kHop));
    parallelFor(workers, workers, [&](int w) {
        std::vector<float> similarity(static_cast<std::size_t>(2 * reach + 1));
        std::array<std::int64_t, kRepeatNeighbours> chosen{};
        std::array<const float*, kRepeatNeighbours> rows{};
        auto [b, e] = workerFrames(w, workers, last - first);
        for (std::int64_t t = b + first; t < e + first && !cancelled(cancel); ++t) {
            const int found = similarFrames(features.p(), frames, t, reach, spacing,
                                            similarity.data(), chosen.data());
            for (int i = 0; i < found; ++i)
                rows[static_cast<std::size_t>(i)] =
                    mags.mid.p() + chosen[static_cast<std::size_t>(i)] * kBins;
            // The share is only read where the voice's band and the centre measure are not 0:
            // the medians elsewhere (wide parts, the top octave) are skipped.
            foregroundShare(mags.mid.p() + t * kBins, rows.data(), found,
                            cues.foreground.p() + t * kBins, bandBins, cues.centre.p() + t * kBins);
            counter.advance();
        }
    });
}

// Pass 6: the shared synthesis, each frame's gains from the cues.
void synthesise(const StereoAudio& audio, const Cues& cues, const std::vector<float>& bass,
                std::int64_t n, std::int64_t frames, int workers, const Plans& plans,
                std::vector<StemData>& stems, const ProgressFn& progress,
                const std::atomic<bool>* cancel, synthesis::KeptRange keep,
                std::int64_t synthesisFrames) {
    ProgressCounter counter(kJobs * synthesisFrames, kSynthesisBase, 1.0 - kSynthesisBase,
                            progress);
    const std::vector<float> band = vocalBandWeights(audio.sampleRate);
    const float binHz = static_cast<float>(audio.sampleRate) * kInverseFrameLength;
    synthesis::synthesiseStems(
        audio, n, frames, workers, plans.mainWindow.data(), *plans.main, stems, counter, cancel,
        [&] {
            return [&, comb = std::vector<float>(kBins), bassComb = std::vector<float>(kBins),
                    foreground = std::vector<float>(kBins)](std::int64_t t, FrameSpectra&,
                                                            float* gains) mutable {
                const std::int64_t row = t * kBins;
                const float* own = cues.foreground.p() + row;
                smoothedOverFrames(t > 0 ? own - kBins : own, own,
                                   t + 1 < frames ? own + kBins : own, foreground.data(), kBins);
                const float combOpen = cues.combOpen.p()[t];
                const float voiceHz = pitchHz(kPitchLowHz, cues.cents.p()[t]);
                std::fill(comb.begin(), comb.end(), 0.0f);
                if (combOpen > 0.0f && voiceHz > 0.0f) {
                    harmonicComb(voiceHz, binHz, kLowCombTopHz, comb.data());
                    for (float& x : comb) x *= combOpen;
                }
                const float f0 = pitchHz(kBassLowHz, cues.bassCents.p()[t]);
                std::fill(bassComb.begin(), bassComb.end(), 0.0f);
                if (f0 > 0.0f) {
                    // Its harmonics up to the sixth, as far as the salience found them.
                    harmonicComb(f0, binHz, std::min(kBassCombTopHz, (kBassHarmonics + 0.5f) * f0),
                                 bassComb.data());
                    for (float& x : bassComb) x *= kBassCombWeight;
                }
                const StemCues cue{.percussive = cues.percussive.p() + row,
                                   .harmonic = cues.harmonic.p() + row,
                                   .centre = cues.centre.p() + row,
                                   .foreground = foreground.data(),
                                   .bass = bass.data(),
                                   .band = band.data(),
                                   .voiceComb = comb.data(),
                                   .bassComb = bassComb.data(),
                                   .gate = cues.gate.p()[t],
                                   .bassGuard = cues.bassGuard.p()[t],
                                   .open = cues.open.p()[t]};
                refinedStemGains(cue, gains, gains + kBins, gains + 2 * kBins, gains + 3 * kBins,
                                 kBins);
            };
        },
        keep);
}

}  // namespace

std::int64_t refinedContextFrames(double sampleRate) {
    // The repeating background's reach, then the medians of the frames it compares (8 long
    // frames, 6 main ones, 6 short ones), the frame either side its share is smoothed over, the
    // lead-in a frame needs behind it and a margin. The voice gates look at most 20 frames away
    // (the hold, the partials' smoothing, the two frames their motion reads, the centre measure's),
    // their floor at most presenceHalf() and 11 frames: half the repeating background's reach.
    return repeatReach(sampleRate) + kLongTaps[2 * kMedianHalf] + 13;
}

std::vector<StemData> separateRefined(const StereoAudio& audio, const ProgressFn& progress,
                                      const SeparatorOptions& options) {
    std::vector<StemData> stems;
    if (!separateRefinedKeeping(audio, progress, options, 0, -1, stems)) return {};
    return stems;
}

bool separateRefinedKeeping(const StereoAudio& audio, const ProgressFn& progress,
                            const SeparatorOptions& options, std::int64_t from, std::int64_t to,
                            std::vector<StemData>& stems) {
    assert(audio.l.size() == audio.r.size());
    assert(from % kHop == 0 && (to < 0 || (from <= to && to <= std::ssize(audio.l))));
    const auto n = static_cast<std::int64_t>(audio.l.size());
    stems.resize(kStems);
    if (n == 0 || from == to) {
        for (StemData& stem : stems) stem.l.clear(), stem.r.clear();
        return true;
    }

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
    if (!plans.main || !plans.shortFrames || !plans.longFrames) return false;
    const int workers = options.workers > 0 ? options.workers : defaultWorkerCount();
    const std::vector<float> bass = refinedBassWeights(audio.sampleRate);
    const float binHz = static_cast<float>(audio.sampleRate) * kInverseFrameLength;

    Cues cues(frames);
    {
        Magnitudes mags(frames, vibratoTopBin(binHz));
        analyse(audio, n, frames, workers, plans, mags, progress, options.cancel);
        if (cancelled(options.cancel)) return false;
        {
            Saliences salience(frames);
            centreAndSalience(frames, workers, makePitchGrid(audio.sampleRate),
                              makeBassGrid(audio.sampleRate, kLongBins), mags, cues, salience,
                              progress, options.cancel);
            if (cancelled(options.cancel)) return false;
            followVoice(frames, workers, salience, mags, audio.sampleRate, cues, progress,
                        options.cancel);
            if (cancelled(options.cancel)) return false;
        }
        filterMedians(frames, workers, bass, audio.sampleRate, mags, cues, progress,
                      options.cancel);
        if (cancelled(options.cancel)) return false;
        findRepeats(mags, cues, frames, audio.sampleRate, workers, progress, options.cancel, first,
                    last);
        if (cancelled(options.cancel)) return false;
    }  // the magnitudes' last reader is done

    synthesise(audio, cues, bass, n, frames, workers, plans, stems, progress, options.cancel,
               {from, to}, last - first);
    return !cancelled(options.cancel);
}

}  // namespace corvane::dsp
