// SPDX-License-Identifier: GPL-3.0-or-later
#include "analysis/Sections.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>

namespace corvane::analysis::detail {

namespace {

constexpr int kFeatures = 12 + 12 + 4 + kTimbreBands;

// Mean of `values` (k per onset frame) over onset frames [a, b) into out[0 .. k).
void meanOver(const std::vector<float>& values, int k, std::int64_t a, std::int64_t b,
              double* out) {
    const std::int64_t frames = static_cast<std::int64_t>(values.size()) / k;
    a = std::clamp<std::int64_t>(a, 0, frames);
    b = std::clamp<std::int64_t>(b, a, frames);
    for (int j = 0; j < k; ++j) out[j] = 0.0;
    if (b <= a) return;
    for (std::int64_t i = a; i < b; ++i)
        for (int j = 0; j < k; ++j) out[j] += values[static_cast<std::size_t>(i * k + j)];
    for (int j = 0; j < k; ++j) out[j] /= static_cast<double>(b - a);
}

double distance(const std::vector<double>& a, const std::vector<double>& b) {
    double d = 0.0;
    for (std::size_t k = 0; k < a.size(); ++k) d += (a[k] - b[k]) * (a[k] - b[k]);
    return std::sqrt(d);
}

}  // namespace

std::vector<Section> findSections(const FrameFeatures& f, const std::vector<double>& units) {
    std::vector<Section> out;
    if (units.size() < 2) return out;
    const std::size_t n = units.size() - 1;
    const double end = units.back();

    // Features per unit, each group scaled to unit spread over the song.
    const CellChroma chroma = cellChroma(f, units);
    std::vector<std::vector<double>> x(n, std::vector<double>(kFeatures, 0.0));
    for (std::size_t u = 0; u < n; ++u) {
        const auto a = static_cast<std::int64_t>(std::floor(units[u] * kFrameRate));
        const auto b = static_cast<std::int64_t>(std::floor(units[u + 1] * kFrameRate));
        std::vector<double>& v = x[u];
        for (int k = 0; k < 12; ++k) {
            v[static_cast<std::size_t>(k)] = chroma.treble[12 * u + static_cast<std::size_t>(k)];
            v[static_cast<std::size_t>(12 + k)] = chroma.bass[12 * u + static_cast<std::size_t>(k)];
        }
        for (int s = 0; s < 4; ++s) {
            double e = 0.0;
            meanOver(f.stemEnergy[static_cast<std::size_t>(s)], 1, a, b, &e);
            v[static_cast<std::size_t>(24 + s)] = std::log10(1e-9 + e);
        }
        meanOver(f.timbre, kTimbreBands, a, b, &v[28]);
    }
    auto scaleGroup = [&](int from, int to, double weight) {
        double mean = 0.0, var = 0.0;
        const double count = static_cast<double>(n) * (to - from);
        for (const auto& v : x)
            for (int k = from; k < to; ++k) mean += v[static_cast<std::size_t>(k)];
        mean /= count;
        for (const auto& v : x)
            for (int k = from; k < to; ++k)
                var += (v[static_cast<std::size_t>(k)] - mean) *
                       (v[static_cast<std::size_t>(k)] - mean);
        const double sd = std::sqrt(var / count);
        for (auto& v : x)
            for (int k = from; k < to; ++k)
                v[static_cast<std::size_t>(k)] =
                    sd > 1e-12 ? weight * (v[static_cast<std::size_t>(k)] - mean) / sd : 0.0;
    };
    scaleGroup(0, 12, 1.0);
    scaleGroup(12, 24, 0.7);
    scaleGroup(24, 28, 1.0);
    scaleGroup(28, kFeatures, 0.7);

    // Novelty along the diagonal: the checkerboard kernel spans `half` units either side.
    const int half = static_cast<int>(std::min<std::size_t>(8, std::max<std::size_t>(2, n / 8)));
    std::vector<double> novelty(n + 1, 0.0);
    for (std::size_t c = 1; c < n; ++c) {
        double cross = 0.0, within = 0.0;
        int nc = 0, nw = 0;
        for (int i = -half; i < half; ++i)
            for (int j = -half; j < half; ++j) {
                const auto a = static_cast<std::ptrdiff_t>(c) + i,
                           b = static_cast<std::ptrdiff_t>(c) + j;
                if (a < 0 || b < 0 || a >= static_cast<std::ptrdiff_t>(n) ||
                    b >= static_cast<std::ptrdiff_t>(n) || a == b)
                    continue;
                const double d =
                    distance(x[static_cast<std::size_t>(a)], x[static_cast<std::size_t>(b)]);
                if ((i < 0) != (j < 0)) {
                    cross += d;
                    ++nc;
                } else {
                    within += d;
                    ++nw;
                }
            }
        if (nc && nw) novelty[c] = cross / nc - within / nw;
    }

    // Boundaries at novelty peaks that stand out, at least `half` units apart.
    std::vector<double> positive;
    for (const double v : novelty)
        if (v > 0.0) positive.push_back(v);
    double threshold = 0.0;
    if (!positive.empty()) {
        std::sort(positive.begin(), positive.end());
        threshold =
            0.5 *
            positive[static_cast<std::size_t>(0.9 * static_cast<double>(positive.size() - 1))];
    }
    std::vector<std::size_t> cuts{0};
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return novelty[a] != novelty[b] ? novelty[a] > novelty[b] : a < b;
    });
    std::vector<std::size_t> chosen;
    for (const std::size_t c : order) {
        if (c == 0 || novelty[c] <= threshold || novelty[c] <= 0.0) continue;
        bool near = false;
        for (const std::size_t o : chosen)
            if ((c > o ? c - o : o - c) < static_cast<std::size_t>(half)) near = true;
        if (!near) chosen.push_back(c);
    }
    std::sort(chosen.begin(), chosen.end());
    cuts.insert(cuts.end(), chosen.begin(), chosen.end());
    cuts.push_back(n);

    // Labels: a segment takes the label of the closest earlier one when it is close enough.
    std::vector<std::vector<double>> means;
    for (std::size_t s = 0; s + 1 < cuts.size(); ++s) {
        std::vector<double> m(kFeatures, 0.0);
        for (std::size_t u = cuts[s]; u < cuts[s + 1]; ++u)
            for (int k = 0; k < kFeatures; ++k)
                m[static_cast<std::size_t>(k)] += x[u][static_cast<std::size_t>(k)];
        for (double& v : m) v /= static_cast<double>(cuts[s + 1] - cuts[s]);
        means.push_back(std::move(m));
    }
    double typical = 0.0;
    int pairs = 0;
    for (std::size_t a = 0; a < means.size(); ++a)
        for (std::size_t b = a + 1; b < means.size(); ++b) {
            typical += distance(means[a], means[b]);
            ++pairs;
        }
    typical = pairs ? typical / pairs : 1.0;
    std::vector<int> label(means.size(), -1);
    int labels = 0;
    for (std::size_t s = 0; s < means.size(); ++s) {
        double best = 1e300;
        int bestLabel = -1;
        for (std::size_t o = 0; o < s; ++o) {
            const double d = distance(means[s], means[o]);
            if (d < best) {
                best = d;
                bestLabel = label[o];
            }
        }
        label[s] = bestLabel >= 0 && best < 0.6 * typical ? bestLabel : labels++;
    }
    for (std::size_t s = 0; s + 1 < cuts.size(); ++s) {
        const int l = label[s];
        std::string name = l < 26 ? std::string(1, static_cast<char>('A' + l))
                                  : std::string(1, static_cast<char>('A' + l / 26 - 1)) +
                                        static_cast<char>('A' + l % 26);
        out.push_back(
            Section{units[cuts[s]], s + 2 == cuts.size() ? end : units[cuts[s + 1]], name});
    }
    return out;
}

}  // namespace corvane::analysis::detail
