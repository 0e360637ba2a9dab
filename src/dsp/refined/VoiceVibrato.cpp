// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/refined/VoiceVibrato.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "dsp/common/Smoothstep.h"
#include "dsp/common/StftFrames.h"

namespace corvane::dsp {

namespace {

static_assert(2 * kHop == kFrameLength, "the phase advance below assumes a hop of half a frame");

const float* row(const float* plane, std::int64_t t, int bins = kBins) { return plane + t * bins; }

}  // namespace

int vibratoTopBin(float binHz) {
    return std::min(kBins - 1, static_cast<int>(kVibratoTopHz / binHz));
}

// Each partial sits at its bin plus its distance from the bin's centre: the phase advance since
// the frame before less a steady tone's at the centre (k pi for a hop of half a frame) is that
// distance times pi, within a bin either side.
void findPartials(const MidPlanes& planes, std::int64_t t, float binHz, Partials& out) {
    out.count = 0;
    const int low = std::max(1, static_cast<int>(kVibratoLowHz / binHz));
    const int top = std::min(vibratoTopBin(binHz), planes.bins);
    if (top <= low) return;
    const std::int64_t before = std::max<std::int64_t>(t - 1, 0);
    const float* mag = row(planes.magnitude, t);
    const float *re = row(planes.re, t, planes.bins), *im = row(planes.im, t, planes.bins);
    const float *re0 = row(planes.re, before, planes.bins),
                *im0 = row(planes.im, before, planes.bins);
    const float* centre = row(planes.centre, t);
    const float largest = *std::max_element(mag + low, mag + top);
    if (!(largest > 0.0f)) return;
    for (int k = low; k < top; ++k) {
        if (!(mag[k] > mag[k - 1] && mag[k] >= mag[k + 1] && mag[k] > kVibratoPeakFloor * largest))
            continue;
        const float sign = (k & 1) ? -1.0f : 1.0f;  // now * conj(before) * (-1)^k
        const float advanceRe = sign * (re[k] * re0[k] + im[k] * im0[k]);
        const float advanceIm = sign * (im[k] * re0[k] - re[k] * im0[k]);
        const float x = mag[k] / largest;
        const auto i = static_cast<std::size_t>(out.count++);
        out.bin[i] = static_cast<float>(k) +
                     std::atan2(advanceIm, advanceRe) * std::numbers::inv_pi_v<float>;
        out.level[i] = mag[k];
        out.weight[i] = x * x * centre[k];
    }
}

float sungPartialShare(const Partials& before, const Partials& now) {
    const float fewest = kVibratoMinCents / 1200.0f, most = kVibratoMaxCents / 1200.0f;
    float moving = 0.0f, kept = 0.0f, dying = 0.0f, total = 0.0f;
    const float* first = before.bin.data();
    const float* last = first + before.count;
    for (int i = 0; i < now.count; ++i) {
        const auto ii = static_cast<std::size_t>(i);
        total += now.weight[ii];
        if (before.count == 0 || !(now.bin[ii] > 0.0f)) continue;
        // The nearest partial of the frame before.
        const float* at = std::lower_bound(first, last, now.bin[ii]);
        if (at == last || (at != first && now.bin[ii] - at[-1] < at[0] - now.bin[ii])) --at;
        const auto j = static_cast<std::size_t>(at - first);
        if (!(before.bin[j] > 0.0f)) continue;
        const float octaves = std::abs(std::log2(now.bin[ii] / before.bin[j]));
        const bool goesOn = octaves < most && now.level[ii] < 2.0f * before.level[j] &&
                            before.level[j] < 2.0f * now.level[ii];
        if (!goesOn) continue;
        if (octaves >= fewest) moving += now.weight[ii];
        if (now.level[ii] > kHoldLevel * before.level[j])
            kept += now.weight[ii];
        else if (octaves < fewest)
            dying += now.weight[ii];
    }
    return total > 0.0f ? std::max(moving, kept - dying) / total : 0.0f;
}

float vibratoGate(const float* shares, std::int64_t frames, std::int64_t t) {
    float sum = 0.0f;
    for (int d = -kVibratoSmoothHalf; d <= kVibratoSmoothHalf; ++d)
        sum += shares[std::clamp<std::int64_t>(t + d, 0, frames - 1)];
    const float mean = sum / static_cast<float>(2 * kVibratoSmoothHalf + 1);
    return smoothstep((mean - kVibratoShareFloor) / (kVibratoShareFull - kVibratoShareFloor));
}

std::int64_t presenceHalf(double sampleRate) {
    return std::llround(kPresenceSeconds * std::min(sampleRate, 48000.0) / kHop);
}

void voicePresence(const float* gates, std::int64_t frames, std::int64_t half, float* presence) {
    constexpr double kSteps = 65536.0;
    std::vector<std::int64_t> sums(static_cast<std::size_t>(frames) + 1, 0);
    for (std::int64_t t = 0; t < frames; ++t)
        sums[static_cast<std::size_t>(t) + 1] =
            sums[static_cast<std::size_t>(t)] + std::llround(gates[t] * kSteps);
    for (std::int64_t t = 0; t < frames; ++t) {
        const auto from = static_cast<std::size_t>(std::max<std::int64_t>(t - half, 0));
        const auto to = static_cast<std::size_t>(std::min(t + half + 1, frames));
        presence[t] = static_cast<float>(static_cast<double>(sums[to] - sums[from]) /
                                         (kSteps * static_cast<double>(to - from)));
    }
}

float presenceWeight(float presence, float full) {
    return smoothstep((presence - kPresenceLow) / (full - kPresenceLow));
}

float vocalsGate(float presence, float vibrato) {
    const float gateFloor =
        kGateFloorAlone + (kGateFloor - kGateFloorAlone) * presenceWeight(presence, kPresenceFull);
    return gateFloor + (1.0f - gateFloor) * vibrato * presenceWeight(presence, kPresenceSung);
}

}  // namespace corvane::dsp
