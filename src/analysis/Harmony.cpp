// SPDX-License-Identifier: GPL-3.0-or-later
#include "analysis/Harmony.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <numeric>

namespace corvane::analysis::detail {

namespace {

constexpr int kChordStates = 25;  // 12 major, 12 minor, no chord
constexpr int kNoChord = 24;

int rootOf(int state) { return state % 12; }
bool minorState(int state) { return state >= 12 && state < 24; }

// Circular distance in semitones between two pitch positions.
double semitoneDistance(double a, double b) {
    double d = std::fmod(std::abs(a - b), 12.0);
    return std::min(d, 12.0 - d);
}

// The 36-bin profiles folded to 12 pitch classes about the tuning offset (in semitones).
void fold(const float* in, double tuning, float* out) {
    for (int pc = 0; pc < 12; ++pc) {
        double sum = 0.0;
        for (int j = 0; j < kChromaBins; ++j) {
            const double w = 1.0 - semitoneDistance(j / 3.0, pc + tuning);
            if (w > 0.0) sum += w * in[j];
        }
        out[pc] = static_cast<float>(sum);
    }
}

void normaliseSum(float* v) {
    float s = 0.0f;
    for (int k = 0; k < 12; ++k) s += v[k];
    if (s > 0.0f)
        for (int k = 0; k < 12; ++k) v[k] /= s;
}

// Krumhansl and Kessler's probe-tone ratings (1982).
constexpr std::array<double, 12> kMajorProfile = {6.35, 2.23, 3.48, 2.33, 4.38, 4.09,
                                                  2.52, 5.19, 2.39, 3.66, 2.29, 2.88};
constexpr std::array<double, 12> kMinorProfile = {6.33, 2.68, 3.52, 5.38, 2.60, 3.53,
                                                  2.54, 4.75, 3.98, 2.69, 3.34, 3.17};

double correlation(const double* a, const double* b) {
    double ma = 0.0, mb = 0.0;
    for (int k = 0; k < 12; ++k) {
        ma += a[k];
        mb += b[k];
    }
    ma /= 12.0;
    mb /= 12.0;
    double sab = 0.0, saa = 0.0, sbb = 0.0;
    for (int k = 0; k < 12; ++k) {
        sab += (a[k] - ma) * (b[k] - mb);
        saa += (a[k] - ma) * (a[k] - ma);
        sbb += (b[k] - mb) * (b[k] - mb);
    }
    return saa > 0.0 && sbb > 0.0 ? sab / std::sqrt(saa * sbb) : 0.0;
}

// How typical a chord is of a key, by its function there: the tonic most, then the dominant and
// subdominant, then the other chords of the scale; chords outside the scale count against it.
double chordWeight(const Key& key, int root, bool minor) {
    const int d = ((root - key.tonic) % 12 + 12) % 12;
    if (key.mode == Mode::major) {
        if (!minor) return d == 0 ? 1.0 : d == 7 ? 0.6 : d == 5 ? 0.5 : -0.3;
        return d == 9 || d == 2 ? 0.3 : d == 4 ? 0.2 : -0.3;
    }
    if (minor) return d == 0 ? 1.0 : d == 7 ? 0.5 : d == 5 ? 0.5 : -0.3;
    return d == 7 ? 0.6 : d == 8 || d == 3 || d == 10 ? 0.3 : -0.3;
}

bool diatonic(const Key& key, int root, bool minor) { return chordWeight(key, root, minor) > 0.0; }

}  // namespace

std::vector<double> harmonyCells(const std::vector<double>& beats, double durationSeconds) {
    constexpr double kCell = 0.5;  // seconds, where there are no beats
    std::vector<double> bounds{0.0};
    auto fillTo = [&](double end) {
        const double from = bounds.back();
        if (end <= from + 1e-6) return;
        const int cells = std::max(1, static_cast<int>(std::lround((end - from) / kCell)));
        for (int c = 1; c <= cells; ++c) bounds.push_back(from + (end - from) * c / cells);
    };
    // A gap more than twice the usual beat apart is a stretch without a beat.
    std::vector<double> gaps;
    for (std::size_t i = 1; i < beats.size(); ++i) gaps.push_back(beats[i] - beats[i - 1]);
    double period = kCell;
    if (!gaps.empty()) {
        std::nth_element(gaps.begin(), gaps.begin() + static_cast<std::ptrdiff_t>(gaps.size() / 2),
                         gaps.end());
        period = gaps[gaps.size() / 2];
    }
    for (std::size_t i = 0; i < beats.size(); ++i) {
        const double t = beats[i];
        if (t <= bounds.back() + 1e-6 || t >= durationSeconds) continue;
        if (t - bounds.back() > 2.0 * period || i == 0)
            fillTo(t);
        else
            bounds.push_back(t);
    }
    if (!beats.empty() && beats.back() + period < durationSeconds &&
        beats.back() + period > bounds.back() + 1e-6 && beats.back() >= bounds.back() - 1e-6)
        bounds.push_back(beats.back() + period);
    fillTo(durationSeconds);
    if (bounds.back() < durationSeconds) bounds.back() = durationSeconds;
    return bounds;
}

CellChroma cellChroma(const FrameFeatures& f, const std::vector<double>& bounds) {
    CellChroma out;
    const std::size_t cells = bounds.size() > 1 ? bounds.size() - 1 : 0;
    out.treble.assign(12 * cells, 0.0f);
    out.bass.assign(12 * cells, 0.0f);
    out.strength.assign(cells, 0.0f);
    out.bassStrength.assign(cells, 0.0f);
    const std::int64_t frames = f.chromaFrames();
    if (frames == 0 || cells == 0) return out;

    const double tuning = std::atan2(f.tuningSin, f.tuningCos) / (2.0 * std::numbers::pi);
    std::vector<float> treble(static_cast<std::size_t>(frames) * 12), bass(treble.size());
    for (std::int64_t m = 0; m < frames; ++m) {
        fold(&f.treble[static_cast<std::size_t>(m) * kChromaBins], tuning,
             &treble[static_cast<std::size_t>(m) * 12]);
        fold(&f.bass[static_cast<std::size_t>(m) * kChromaBins], tuning,
             &bass[static_cast<std::size_t>(m) * 12]);
    }
    const double frameSeconds = kChromaStep / kFrameRate;
    for (std::size_t c = 0; c < cells; ++c) {
        // Frames centred in the cell; the nearest one for a cell shorter than a frame step.
        auto first = static_cast<std::int64_t>(std::ceil(bounds[c] / frameSeconds));
        auto last = static_cast<std::int64_t>(std::ceil(bounds[c + 1] / frameSeconds)) - 1;
        if (last < first)
            first = last = std::llround(0.5 * (bounds[c] + bounds[c + 1]) / frameSeconds);
        first = std::clamp<std::int64_t>(first, 0, frames - 1);
        last = std::clamp<std::int64_t>(last, first, frames - 1);
        float* t = &out.treble[12 * c];
        float* b = &out.bass[12 * c];
        for (std::int64_t m = first; m <= last; ++m)
            for (int k = 0; k < 12; ++k) {
                t[k] += treble[static_cast<std::size_t>(m) * 12 + static_cast<std::size_t>(k)];
                b[k] += bass[static_cast<std::size_t>(m) * 12 + static_cast<std::size_t>(k)];
            }
        const float count = static_cast<float>(last - first + 1);
        float strength = 0.0f, bassStrength = 0.0f;
        for (int k = 0; k < 12; ++k) {
            t[k] /= count;
            b[k] /= count;
            strength += t[k] + b[k];
            bassStrength += b[k];
        }
        out.strength[c] = strength;
        out.bassStrength[c] = bassStrength;
        normaliseSum(t);
        normaliseSum(b);
    }
    return out;
}

std::vector<ChordName> estimateChords(const CellChroma& chroma, const std::vector<bool>& downbeat,
                                      const std::optional<Key>& key) {
    const std::size_t n = chroma.cells();
    std::vector<ChordName> out(n);
    if (n == 0) return out;

    // Cells too weak against the song's strong ones hold no harmony.
    std::vector<float> sorted = chroma.strength;
    std::sort(sorted.begin(), sorted.end());
    const float loud = sorted[static_cast<std::size_t>(0.9 * static_cast<double>(n - 1))];

    std::vector<std::array<double, kChordStates>> score(n);
    for (std::size_t i = 0; i < n; ++i) {
        const float* t = &chroma.treble[12 * i];
        const float* b = &chroma.bass[12 * i];
        // Compressed so that one loud note does not outweigh the others.
        std::array<double, 12> x{};
        double top = 0.0;
        for (int k = 0; k < 12; ++k) top = std::max(top, static_cast<double>(t[k]));
        double norm = 0.0;
        for (int k = 0; k < 12; ++k) {
            x[static_cast<std::size_t>(k)] = top > 0.0 ? std::log1p(10.0 * t[k] / top) : 0.0;
            norm += x[static_cast<std::size_t>(k)] * x[static_cast<std::size_t>(k)];
        }
        norm = std::sqrt(norm);
        for (int s = 0; s < 24; ++s) {
            const int r = rootOf(s);
            const int third = (r + (minorState(s) ? 3 : 4)) % 12;
            const int fifth = (r + 7) % 12;
            const double dot = x[static_cast<std::size_t>(r)] + x[static_cast<std::size_t>(third)] +
                               x[static_cast<std::size_t>(fifth)];
            const double cosine = norm > 0.0 ? dot / (norm * std::sqrt(3.0)) : 0.0;
            score[i][static_cast<std::size_t>(s)] = cosine +
                                                    (downbeat.empty() ? 0.6
                                                     : downbeat[i]    ? 0.9
                                                                      : 0.45) *
                                                        b[r] +
                                                    0.15 * (b[third] + b[fifth]);
            if (key && diatonic(*key, r, minorState(s)))
                score[i][static_cast<std::size_t>(s)] += 0.08;
        }
        const bool weak = !(chroma.strength[i] > 0.03f * loud) || norm <= 0.0;
        score[i][kNoChord] = weak ? 10.0 : 0.72;
    }

    // Viterbi: a chord tends to last; changes come more readily at a bar's start.
    constexpr double kSharpness = 12.0;
    const double stayOn = std::log(0.60), changeOn = std::log(0.40 / (kChordStates - 1));
    const double stayOff = std::log(0.85), changeOff = std::log(0.15 / (kChordStates - 1));
    std::vector<std::array<int, kChordStates>> from(n);
    std::array<double, kChordStates> total{};
    for (int s = 0; s < kChordStates; ++s)
        total[static_cast<std::size_t>(s)] = kSharpness * score[0][static_cast<std::size_t>(s)];
    for (std::size_t i = 1; i < n; ++i) {
        const bool bar = !downbeat.empty() && downbeat[i];
        const double stay = bar ? stayOn : stayOff, change = bar ? changeOn : changeOff;
        int bestPrev = 0;
        for (int s = 1; s < kChordStates; ++s)
            if (total[static_cast<std::size_t>(s)] > total[static_cast<std::size_t>(bestPrev)])
                bestPrev = s;
        std::array<double, kChordStates> next{};
        for (int s = 0; s < kChordStates; ++s) {
            const double viaStay = total[static_cast<std::size_t>(s)] + stay;
            const double viaChange = total[static_cast<std::size_t>(bestPrev)] + change;
            const bool keep = viaStay >= viaChange || bestPrev == s;
            from[i][static_cast<std::size_t>(s)] = keep ? s : bestPrev;
            next[static_cast<std::size_t>(s)] =
                (keep ? viaStay : viaChange) + kSharpness * score[i][static_cast<std::size_t>(s)];
        }
        total = next;
    }
    int s = 0;
    for (int k = 1; k < kChordStates; ++k)
        if (total[static_cast<std::size_t>(k)] > total[static_cast<std::size_t>(s)]) s = k;
    for (std::size_t i = n; i-- > 0;) {
        out[i] = s == kNoChord ? ChordName{}
                               : ChordName{rootOf(s), minorState(s) ? ChordQuality::minor
                                                                    : ChordQuality::major};
        s = from[i][static_cast<std::size_t>(s)];
    }
    return out;
}

std::optional<Key> estimateKey(const CellChroma& chroma, const std::vector<double>& bounds,
                               const std::vector<ChordName>& chords) {
    // Time in each chord, and the duration-weighted pitch profile of the harmony and the bass.
    std::array<double, 24> chordTime{};
    std::array<double, 12> profile{};
    double harmonic = 0.0;
    for (std::size_t i = 0; i < chords.size(); ++i) {
        if (chords[i].quality == ChordQuality::none) continue;
        const double d = bounds[i + 1] - bounds[i];
        harmonic += d;
        chordTime[static_cast<std::size_t>(
            chords[i].root + (chords[i].quality == ChordQuality::minor ? 12 : 0))] += d;
        for (int k = 0; k < 12; ++k)
            profile[static_cast<std::size_t>(k)] +=
                d * (chroma.treble[12 * i + static_cast<std::size_t>(k)] +
                     chroma.bass[12 * i + static_cast<std::size_t>(k)]);
    }
    if (harmonic <= 0.0) return std::nullopt;
    for (double& t : chordTime) t /= harmonic;

    // The bass's pitch profile alone: the tonic is where the bass most often returns.
    std::array<double, 12> bassProfile{};
    double bassTotal = 0.0;
    for (std::size_t i = 0; i < chords.size(); ++i) {
        if (chords[i].quality == ChordQuality::none) continue;
        const double d = bounds[i + 1] - bounds[i];
        for (int k = 0; k < 12; ++k) {
            bassProfile[static_cast<std::size_t>(k)] +=
                d * chroma.bass[12 * i + static_cast<std::size_t>(k)];
            bassTotal += d * chroma.bass[12 * i + static_cast<std::size_t>(k)];
        }
    }
    // Cadences: a major chord moving to the chord a fifth below (V to I) points at that chord as
    // the tonic, as a share of all chord changes.
    std::array<double, 24> cadences{};
    int changes = 0;
    const ChordName* previous = nullptr;
    for (const ChordName& c : chords) {
        if (c.quality == ChordQuality::none) continue;
        if (previous && (previous->root != c.root || previous->quality != c.quality)) {
            ++changes;
            if (previous->quality != ChordQuality::minor && (previous->root + 5) % 12 == c.root)
                cadences[static_cast<std::size_t>(
                    c.root + (c.quality == ChordQuality::minor ? 12 : 0))] += 1.0;
        }
        previous = &c;
    }
    if (changes > 0)
        for (double& v : cadences) v /= changes;

    // Songs mostly open on their tonic chord, and often close on it: the first and last chords
    // held for at least a second (a cell's worth of a fading onset does not count).
    const ChordName* first = nullptr;
    const ChordName* last = nullptr;
    for (std::size_t i = 0; i < chords.size();) {
        std::size_t j = i;
        while (j < chords.size() && chords[j].root == chords[i].root &&
               chords[j].quality == chords[i].quality)
            ++j;
        if (chords[i].quality != ChordQuality::none && bounds[j] - bounds[i] >= 1.0) {
            if (!first) first = &chords[i];
            last = &chords[i];
        }
        i = j;
    }
    auto stateOf = [](const ChordName* c) {
        return c ? c->root + (c->quality == ChordQuality::minor ? 12 : 0) : -1;
    };

    int best = 0;
    double bestScore = -1e300;
    for (int key = 0; key < 24; ++key) {
        const Key candidate{key % 12, key >= 12 ? Mode::minor : Mode::major};
        std::array<double, 12> rotated{};
        for (int k = 0; k < 12; ++k)
            rotated[static_cast<std::size_t>(k)] =
                profile[static_cast<std::size_t>((k + candidate.tonic) % 12)];
        const double fit =
            correlation(rotated.data(), candidate.mode == Mode::minor ? kMinorProfile.data()
                                                                      : kMajorProfile.data());
        double function = 0.0;
        for (int c = 0; c < 24; ++c)
            function +=
                chordTime[static_cast<std::size_t>(c)] * chordWeight(candidate, c % 12, c >= 12);
        const double bassTonic =
            bassTotal > 0.0 ? bassProfile[static_cast<std::size_t>(candidate.tonic)] / bassTotal
                            : 0.0;
        const double ends =
            (stateOf(first) == key ? 0.2 : 0.0) + (stateOf(last) == key ? 0.1 : 0.0);
        const double score =
            fit + function + 0.5 * bassTonic + cadences[static_cast<std::size_t>(key)] + ends;
        if (score > bestScore) {
            bestScore = score;
            best = key;
        }
    }
    return Key{best % 12, best >= 12 ? Mode::minor : Mode::major};
}

}  // namespace corvane::analysis::detail
