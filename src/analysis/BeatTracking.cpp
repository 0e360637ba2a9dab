// SPDX-License-Identifier: GPL-3.0-or-later
#include "analysis/BeatTracking.h"

#include <qm-dsp/dsp/tempotracking/TempoTrackV2.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>

namespace corvane::analysis::detail {

namespace {

// Where an onset frame's flux peaks relative to the onset itself: the flux of frame n compares
// windows centred n - 1 and n, and rises most when the onset is in the newer window's first half.
constexpr double kOnsetLatencySeconds = 0.0;

double frameSeconds(double frame) { return frame / kFrameRate + kOnsetLatencySeconds; }

double mean(const std::vector<double>& v, std::size_t from, std::size_t to) {
    if (to <= from) return 0.0;
    return std::accumulate(v.begin() + static_cast<std::ptrdiff_t>(from),
                           v.begin() + static_cast<std::ptrdiff_t>(to), 0.0) /
           static_cast<double>(to - from);
}

double maxNear(const std::vector<double>& v, double frame, int radius) {
    const auto n = static_cast<std::ptrdiff_t>(v.size());
    const std::ptrdiff_t c = std::lround(frame);
    double best = 0.0;
    for (std::ptrdiff_t i = std::max<std::ptrdiff_t>(0, c - radius);
         i <= std::min<std::ptrdiff_t>(n - 1, c + radius); ++i)
        best = std::max(best, v[static_cast<std::size_t>(i)]);
    return best;
}

// The onset function minus its moving mean over about a second, negative parts set to zero: what
// stands out of the texture.
std::vector<double> highlights(const std::vector<double>& df) {
    const std::size_t n = df.size();
    const std::size_t half = static_cast<std::size_t>(kFrameRate * 0.5);
    std::vector<double> prefix(n + 1, 0.0);
    for (std::size_t i = 0; i < n; ++i) prefix[i + 1] = prefix[i] + df[i];
    std::vector<double> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t a = i > half ? i - half : 0, b = std::min(n, i + half + 1);
        out[i] = std::max(0.0, df[i] - (prefix[b] - prefix[a]) / static_cast<double>(b - a));
    }
    return out;
}

// For each beat, the share of the beats within +-4 s that fall on an onset: a highlight within
// 23 ms of the beat of at least a quarter of the strongest in that stretch (its 99th percentile,
// or half the song's if that is more).
// Near 1 in a groove; low where the tracker only bridges sparse events (a pad's chord changes,
// speech) with a grid of its own.
std::vector<double> onBeatShare(const std::vector<double>& df, const std::vector<double>& h,
                                const std::vector<double>& frames) {
    const double reach = 4.0 * kFrameRate;
    // An onset rises within a frame or two; a swell (a pad's slow modulation, a fade) does not,
    // and counts for nothing however high it climbs.
    std::vector<double> atBeat(frames.size(), 0.0);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const std::ptrdiff_t c = std::lround(frames[i]);
        std::ptrdiff_t peak = -1;
        for (std::ptrdiff_t k = c - 2; k <= c + 2; ++k)
            if (k >= 3 && k < static_cast<std::ptrdiff_t>(h.size()) &&
                (peak < 0 || h[static_cast<std::size_t>(k)] > h[static_cast<std::size_t>(peak)]))
                peak = k;
        if (peak < 0) continue;
        const auto p = static_cast<std::size_t>(peak);
        const double before = std::min({df[p - 1], df[p - 2], df[p - 3]});
        if (df[p] - before >= 0.5 * df[p]) atBeat[i] = h[p];
    }
    std::vector<double> out(frames.size(), 0.0);
    // A quiet stretch is held to the song's own strong onsets, so that its faint texture does not
    // pass for a pulse.
    std::vector<double> window = h;
    const auto top =
        window.begin() + static_cast<std::ptrdiff_t>(0.99 * static_cast<double>(window.size() - 1));
    std::nth_element(window.begin(), top, window.end());
    const double songStrong = *top;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const auto a = static_cast<std::size_t>(
            std::clamp(frames[i] - reach, 0.0, static_cast<double>(h.size())));
        const auto b = static_cast<std::size_t>(
            std::clamp(frames[i] + reach, 0.0, static_cast<double>(h.size())));
        if (b <= a) continue;
        window.assign(h.begin() + static_cast<std::ptrdiff_t>(a),
                      h.begin() + static_cast<std::ptrdiff_t>(b));
        const auto at = window.begin() +
                        static_cast<std::ptrdiff_t>(0.99 * static_cast<double>(window.size() - 1));
        std::nth_element(window.begin(), at, window.end());
        const double strong = std::max(*at, 0.5 * songStrong);
        if (strong <= 0.0) continue;
        int hits = 0, count = 0;
        for (std::size_t j = 0; j < frames.size(); ++j) {
            if (std::abs(frames[j] - frames[i]) > reach) continue;
            ++count;
            if (atBeat[j] >= 0.25 * strong) ++hits;
        }
        out[i] = count ? static_cast<double>(hits) / count : 0.0;
    }
    return out;
}

// The largest value of v over onset frames [from, to].
double maxOver(const std::vector<double>& v, double from, double to) {
    const auto n = static_cast<std::ptrdiff_t>(v.size());
    double best = 0.0;
    for (std::ptrdiff_t i = std::max<std::ptrdiff_t>(0, std::lround(from));
         i <= std::min<std::ptrdiff_t>(n - 1, std::lround(to)); ++i)
        best = std::max(best, v[static_cast<std::size_t>(i)]);
    return best;
}

// The tracker can lock on to half or twice the beat a listener taps; the drums tell which. At the
// beat's level the snare sits on beats, not between them, so a snare nearly as strong between the
// beats as on them means the beats are half the pulse (add the midpoints). And hats, shakers or a
// ride usually play the eighth notes, so between two beats (straight or swung) there is a hat; a
// fast grid with nothing between its beats, whose snare and kick land on every other beat, is
// the eighth notes themselves (keep every other one). A click on every beat stays as it is.
void chooseLevel(const std::vector<double>& mid, const std::vector<double>& high,
                 std::vector<double>& beats) {
    if (beats.size() < 8) return;
    double snareOn = 0.0, snareBetween = 0.0, hatOn = 0.0, hatBetween = 0.0;
    std::array<double, 2> alternate{}, drumsAlternate{};
    for (std::size_t i = 0; i + 1 < beats.size(); ++i) {
        const double gap = beats[i + 1] - beats[i];
        const double s = maxNear(mid, beats[i], 1);
        drumsAlternate[i % 2] += s;
        snareOn += s;
        snareBetween += maxNear(mid, 0.5 * (beats[i] + beats[i + 1]), 1);
        hatOn += maxNear(high, beats[i], 1);
        hatBetween += maxOver(high, beats[i] + 0.35 * gap, beats[i] + 0.75 * gap);
        alternate[i % 2] += s + maxNear(high, beats[i], 1);
    }
    std::vector<double> gaps;
    for (std::size_t i = 1; i < beats.size(); ++i) gaps.push_back(beats[i] - beats[i - 1]);
    std::nth_element(gaps.begin(), gaps.begin() + static_cast<std::ptrdiff_t>(gaps.size() / 2),
                     gaps.end());
    const double bpm = 60.0 * kFrameRate / gaps[gaps.size() / 2];
    if (snareBetween > 0.5 * snareOn && snareOn > 0.0 && bpm < 100.0) {
        std::vector<double> doubled;
        for (std::size_t i = 0; i + 1 < beats.size(); ++i) {
            doubled.push_back(beats[i]);
            doubled.push_back(0.5 * (beats[i] + beats[i + 1]));
        }
        doubled.push_back(beats.back());
        beats = std::move(doubled);
    } else if (hatOn > 0.0 && hatBetween < 0.25 * hatOn && bpm > 110.0 &&
               std::min(drumsAlternate[0], drumsAlternate[1]) <
                   0.6 * std::max(drumsAlternate[0], drumsAlternate[1])) {
        const std::size_t keep = alternate[0] >= alternate[1] ? 0 : 1;
        std::vector<double> halved;
        for (std::size_t i = keep; i < beats.size(); i += 2) halved.push_back(beats[i]);
        beats = std::move(halved);
    }
}

}  // namespace

BeatTrack trackBeats(const FrameFeatures& f) {
    BeatTrack out;
    const std::size_t n = static_cast<std::size_t>(f.onsetFrames());
    // The tempo tracker looks at six-second windows: shorter songs get no grid.
    if (n < static_cast<std::size_t>(8.0 * kFrameRate)) return out;

    const double drums = std::accumulate(f.stemEnergy[1].begin(), f.stemEnergy[1].end(), 0.0);
    const double mix = std::accumulate(f.mixEnergy.begin(), f.mixEnergy.end(), 0.0);
    if (!(mix > 1e-9 * static_cast<double>(n))) return out;  // silence (mean square under -90 dB)
    out.fromMix = !f.stems || drums < 0.03 * mix;
    const std::vector<float>& source = out.fromMix ? f.mixFlux : f.rhythmFlux;
    std::vector<double> df(source.begin(), source.end());
    if (*std::max_element(df.begin(), df.end()) <= 0.0) return out;

    // The tracker writes one beat period per onset frame into a vector of the onset function's
    // length, which the caller sizes; trailing silence is left out, as it holds no beat.
    while (!df.empty() && df.back() <= 0.0) df.pop_back();
    if (df.size() < static_cast<std::size_t>(6.0 * kFrameRate)) return out;
    TempoTrackV2 tracker(44100.0f, 512);
    std::vector<double> periods(df.size(), 0.0), tempi, beats;
    tracker.calculateBeatPeriod(df, periods, tempi, 120.0, false);
    tracker.calculateBeats(df, periods, beats, 0.9, 4.0);
    if (beats.size() < static_cast<std::size_t>(kMinRunBeats)) return out;

    const std::vector<float>& midSource = out.fromMix ? f.mixFlux : f.rhythmMidFlux;
    const std::vector<float>& highSource = out.fromMix ? f.mixFlux : f.rhythmHighFlux;
    chooseLevel(highlights(std::vector<double>(midSource.begin(), midSource.end())),
                highlights(std::vector<double>(highSource.begin(), highSource.end())), beats);
    const std::vector<double> h = highlights(df);

    // Keep the runs of beats that sit on a steady pulse.
    const std::vector<double> contrast = onBeatShare(df, h, beats);
    constexpr double kSteady = 0.75;
    std::size_t i = 0;
    while (i < beats.size()) {
        if (contrast[i] < kSteady) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < beats.size() && contrast[j] >= kSteady) ++j;
        if (j - i >= static_cast<std::size_t>(kMinRunBeats))
            for (std::size_t k = i; k < j; ++k) out.times.push_back(frameSeconds(beats[k]));
        i = j;
    }
    return out;
}

BarGrid findBars(const std::vector<double>& beats, const FrameFeatures& f, bool fromMix,
                 const std::vector<float>& chroma, const std::vector<float>& bass,
                 const std::vector<float>& bassStrength) {
    BarGrid grid;
    const std::size_t n = beats.size();
    grid.position.assign(n, 0);
    if (n == 0) return grid;

    // Per beat: harmonic and bass change into it, and the kick and snare/hat onsets on it.
    const std::vector<float>& lowSrc = fromMix ? f.mixFlux : f.rhythmLowFlux;
    const std::vector<float>& highSrc = fromMix ? f.mixFlux : f.rhythmMidFlux;
    const std::vector<double> low(lowSrc.begin(), lowSrc.end());
    const std::vector<double> high(highSrc.begin(), highSrc.end());
    auto distance = [](const float* a, const float* b) {
        double d = 0.0;
        for (int k = 0; k < 12; ++k) d += std::abs(a[k] - b[k]);
        return d * 0.5;  // 0 for equal profiles, 1 for disjoint ones
    };
    std::vector<double> harm(n, 0.0), bassChange(n, 0.0), kick(n, 0.0), snare(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        const double frame = (beats[i] - kOnsetLatencySeconds) * kFrameRate;
        kick[i] = maxNear(low, frame, 2);
        snare[i] = maxNear(high, frame, 2);
        if (i > 0) {
            // Two beats either side, so that a walking bass or an arpeggio's single notes average
            // out and what changes is the chord.
            std::array<float, 12> before{}, after{};
            for (std::size_t k = 0; k < 12; ++k) {
                before[k] =
                    0.5f * (chroma[12 * (i - 1) + k] + chroma[12 * (i >= 2 ? i - 2 : i - 1) + k]);
                after[k] = 0.5f * (chroma[12 * i + k] + chroma[12 * std::min(i + 1, n - 1) + k]);
            }
            harm[i] = distance(after.data(), before.data());
            // A new bass note, not one dying away: the change counts as far as the bass is
            // louder than on the beat before.
            const double rise =
                bassStrength[i] / std::max(1e-12f, bassStrength[i] + bassStrength[i - 1]);
            bassChange[i] =
                distance(&bass[12 * i], &bass[12 * (i - 1)]) * std::min(1.0, 2.0 * rise);
        }
    }
    auto standardise = [](std::vector<double>& v) {
        const double m = mean(v, 0, v.size());
        double var = 0.0;
        for (const double x : v) var += (x - m) * (x - m);
        const double sd = std::sqrt(var / static_cast<double>(v.size()));
        for (double& x : v) x = sd > 1e-12 ? (x - m) / sd : 0.0;
    };
    standardise(harm);
    standardise(bassChange);
    standardise(kick);
    standardise(snare);
    std::vector<double> down(n);
    for (std::size_t i = 0; i < n; ++i)
        down[i] = harm[i] + bassChange[i] + 0.25 * kick[i] - 0.25 * snare[i];

    // Meter and phase: the bar length and place in it whose beats most look like downbeats, the
    // others then averaging out. In 4/4 every third beat mixes all four kinds of beat, and in 3/4
    // every fourth mixes all three.
    int bestPhase = 0;
    double best = -1e300;
    for (const int m : {4, 3}) {
        for (int phase = 0; phase < m; ++phase) {
            double sum = 0.0;
            int count = 0;
            for (std::size_t i = static_cast<std::size_t>(phase); i < n;
                 i += static_cast<std::size_t>(m)) {
                sum += down[i];
                ++count;
            }
            const double score = count ? sum / count : -1e300;
            if (score > best) {
                best = score;
                bestPhase = phase;
                grid.beatsPerBar = m;
            }
        }
    }
    const int m = grid.beatsPerBar;
    for (std::size_t i = 0; i < n; ++i)
        grid.position[i] = static_cast<int>(
            (static_cast<int>(i % static_cast<std::size_t>(m)) - bestPhase + m) % m);
    return grid;
}

}  // namespace corvane::analysis::detail
