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
    // Silence and fading tails before and after the music are parts of their own; the rest is
    // scaled and cut on what sounds (units within 20 dB of the median unit).
    std::vector<double> loudness(n);
    for (std::size_t u = 0; u < n; ++u) {
        double e = 0.0;
        meanOver(f.mixEnergy, 1, static_cast<std::int64_t>(std::floor(units[u] * kFrameRate)),
                 static_cast<std::int64_t>(std::floor(units[u + 1] * kFrameRate)), &e);
        loudness[u] = std::log10(1e-12 + e);
    }
    const double loudest = *std::max_element(loudness.begin(), loudness.end());
    std::size_t first = 0, last = n;
    std::vector<double> sorted = loudness;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(n / 2),
                     sorted.end());
    const double typicalLoudness = std::min(loudest, sorted[n / 2]);
    while (first < n && loudness[first] < typicalLoudness - 2.0) ++first;
    while (last > first && loudness[last - 1] < typicalLoudness - 2.0) --last;
    if (first >= last) {
        first = 0;
        last = n;
    }

    auto scaleGroup = [&](int from, int to, double weight) {
        double mean = 0.0, var = 0.0;
        const double count = static_cast<double>(last - first) * (to - from);
        for (std::size_t u = first; u < last; ++u)
            for (int k = from; k < to; ++k) mean += x[u][static_cast<std::size_t>(k)];
        mean /= count;
        for (std::size_t u = first; u < last; ++u)
            for (int k = from; k < to; ++k)
                var += (x[u][static_cast<std::size_t>(k)] - mean) *
                       (x[u][static_cast<std::size_t>(k)] - mean);
        const double sd = std::sqrt(var / count);
        for (auto& v : x)
            for (int k = from; k < to; ++k)
                v[static_cast<std::size_t>(k)] =
                    sd > 1e-12 ? weight * (v[static_cast<std::size_t>(k)] - mean) / sd : 0.0;
    };
    // Chords change within a part: its harmony is what it plays over a phrase, so the profiles
    // are averaged over four units (about a four-bar phrase) from each unit on.
    {
        const std::vector<std::vector<double>> raw = x;
        for (std::size_t u = first; u < last; ++u) {
            const std::size_t to = std::min(last, u + 4);
            for (int k = 0; k < 24; ++k) {
                double sum = 0.0;
                for (std::size_t v = u; v < to; ++v) sum += raw[v][static_cast<std::size_t>(k)];
                x[u][static_cast<std::size_t>(k)] = sum / static_cast<double>(to - u);
            }
        }
    }
    scaleGroup(0, 12, 1.0);
    scaleGroup(12, 24, 0.7);
    scaleGroup(24, 28, 1.0);
    scaleGroup(28, kFeatures, 0.7);

    // Novelty along the diagonal of the sounding part: the checkerboard kernel spans `half`
    // units either side (about four bars in a song of some thirty).
    const std::size_t m = last - first;
    const int half = static_cast<int>(std::clamp<std::size_t>(m / 8, 2, 8));
    std::vector<double> novelty(n + 1, 0.0);
    for (std::size_t c = first + 1; c < last; ++c) {
        double cross = 0.0, within = 0.0;
        int nc = 0, nw = 0;
        for (int i = -half; i < half; ++i)
            for (int j = -half; j < half; ++j) {
                const auto a = static_cast<std::ptrdiff_t>(c) + i;
                const auto b = static_cast<std::ptrdiff_t>(c) + j;
                if (a < static_cast<std::ptrdiff_t>(first) ||
                    b < static_cast<std::ptrdiff_t>(first) ||
                    a >= static_cast<std::ptrdiff_t>(last) ||
                    b >= static_cast<std::ptrdiff_t>(last) || a == b)
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

    // Boundaries at the novelty's peaks, highest first, each at least `half` units from the
    // others and at least a third as high as the highest.
    // Not within two units of the ends: a fade or a ringing tail is no new part.
    std::vector<std::size_t> peaks;
    for (std::size_t c = first + 2; c + 2 < last; ++c)
        if (novelty[c] > 0.0 && novelty[c] >= novelty[c - 1] && novelty[c] >= novelty[c + 1])
            peaks.push_back(c);
    std::sort(peaks.begin(), peaks.end(), [&](std::size_t a, std::size_t b) {
        return novelty[a] != novelty[b] ? novelty[a] > novelty[b] : a < b;
    });
    std::vector<std::size_t> cuts{0, n};
    if (first > 0) cuts.push_back(first);
    if (last < n) cuts.push_back(last);
    const double top = peaks.empty() ? 0.0 : novelty[peaks.front()];
    std::vector<std::size_t> chosen;
    for (const std::size_t c : peaks) {
        if (novelty[c] < top / 3.0) break;
        bool near = false;
        for (const std::size_t o : chosen)
            if ((c > o ? c - o : o - c) < static_cast<std::size_t>(half)) near = true;
        if (!near) chosen.push_back(c);
    }
    cuts.insert(cuts.end(), chosen.begin(), chosen.end());
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());

    // Labels: a segment takes the label of the closest earlier one when it is close enough.
    std::vector<std::vector<double>> means;
    for (std::size_t s = 0; s + 1 < cuts.size(); ++s) {
        std::vector<double> mean(kFeatures, 0.0);
        for (std::size_t u = cuts[s]; u < cuts[s + 1]; ++u)
            for (int k = 0; k < kFeatures; ++k)
                mean[static_cast<std::size_t>(k)] += x[u][static_cast<std::size_t>(k)];
        for (double& v : mean) v /= static_cast<double>(cuts[s + 1] - cuts[s]);
        means.push_back(std::move(mean));
    }
    // "Close enough": under 0.6 of the median distance between the sounding parts (silence at
    // the ends left out, as it is far from everything).
    auto sounding = [&](std::size_t seg) { return cuts[seg] >= first && cuts[seg + 1] <= last; };
    std::vector<double> distances;
    for (std::size_t a = 0; a < means.size(); ++a)
        for (std::size_t b = a + 1; b < means.size(); ++b)
            if (sounding(a) && sounding(b)) distances.push_back(distance(means[a], means[b]));
    double typical = 1.0;
    if (!distances.empty()) {
        std::nth_element(distances.begin(),
                         distances.begin() + static_cast<std::ptrdiff_t>(distances.size() / 2),
                         distances.end());
        typical = distances[distances.size() / 2];
    }
    std::vector<int> label(means.size(), -1);
    int labels = 0;
    for (std::size_t seg = 0; seg < means.size(); ++seg) {
        double best = 1e300;
        int bestLabel = -1;
        for (std::size_t o = 0; o < seg; ++o) {
            const double d = distance(means[seg], means[o]);
            if (d < best) {
                best = d;
                bestLabel = label[o];
            }
        }
        label[seg] = bestLabel >= 0 && best < 0.6 * typical ? bestLabel : labels++;
    }
    // Neighbours that sound alike are one part.
    for (std::size_t seg = 0; seg + 1 < cuts.size(); ++seg) {
        const double to = seg + 2 == cuts.size() ? end : units[cuts[seg + 1]];
        if (!out.empty() && label[seg] == label[seg - 1]) {
            out.back().end = to;
            continue;
        }
        const int l = label[seg];
        std::string name = l < 26 ? std::string(1, static_cast<char>('A' + l))
                                  : std::string(1, static_cast<char>('A' + l / 26 - 1)) +
                                        static_cast<char>('A' + l % 26);
        out.push_back(Section{units[cuts[seg]], to, name});
    }
    // Letters in order of first appearance after merging.
    std::vector<std::string> seen;
    for (Section& sec : out) {
        auto it = std::find(seen.begin(), seen.end(), sec.label);
        const std::size_t index = static_cast<std::size_t>(it - seen.begin());
        if (it == seen.end()) seen.push_back(sec.label);
        sec.label = index < 26 ? std::string(1, static_cast<char>('A' + index))
                               : std::string(1, static_cast<char>('A' + index / 26 - 1)) +
                                     static_cast<char>('A' + index % 26);
    }
    return out;
}

}  // namespace corvane::analysis::detail
