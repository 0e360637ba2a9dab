// SPDX-License-Identifier: GPL-3.0-or-later
// How clean a steady tone is, for the stretched-playback tests and benchmark alike.
#pragma once

#include <cmath>
#include <numbers>
#include <span>

#include "dsp/common/FftPlan.h"

namespace corvane::test {

struct ToneQuality {
    double hz = 0.0;          // the tone's frequency, to a fraction of a bin
    double impurityDb = 0.0;  // energy from f/2 to 2f outside +-3 Hz of it, against within
};

// The tone nearest `expectedHz` in x and how pure it is, over the whole of x (Hann-windowed): its
// bin by the largest magnitude from expectedHz / 2 to 2 expectedHz, refined by a parabola through
// the log magnitudes.
inline ToneQuality toneQuality(std::span<const float> x, double sampleRate, double expectedHz) {
    const int n = static_cast<int>(x.size()) & ~1;
    auto plan = dsp::FftPlan::create(n);
    if (!plan) return {};
    dsp::FFTScratch scratch(n);
    for (int i = 0; i < n; ++i)
        scratch.time()[i] = x[static_cast<std::size_t>(i)] *
                            static_cast<float>(0.5 - 0.5 * std::cos(2 * std::numbers::pi * i / n));
    plan->forward(scratch);
    const float* s = scratch.spectrum();
    const double binHz = sampleRate / n;
    auto power = [&](int k) {
        return double{s[2 * k]} * s[2 * k] + double{s[2 * k + 1]} * s[2 * k + 1];
    };
    const int lo = static_cast<int>(expectedHz / 2 / binHz);
    const int hi = static_cast<int>(expectedHz * 2 / binHz);
    int peak = lo + 1;
    for (int k = lo + 1; k < hi; ++k)
        if (power(k) > power(peak)) peak = k;
    const double a = std::log(power(peak - 1) + 1e-30), b = std::log(power(peak) + 1e-30),
                 c = std::log(power(peak + 1) + 1e-30);
    ToneQuality q;
    q.hz = (peak + 0.5 * (a - c) / (a - 2 * b + c)) * binHz;
    double inside = 0, outside = 0;
    for (int k = lo; k <= hi; ++k) (std::abs(k * binHz - q.hz) <= 3.0 ? inside : outside) += power(k);
    q.impurityDb = 10 * std::log10((outside + 1e-30) / (inside + 1e-30));
    return q;
}

}  // namespace corvane::test
