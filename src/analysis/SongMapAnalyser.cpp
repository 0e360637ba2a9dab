// SPDX-License-Identifier: GPL-3.0-or-later
#include "analysis/SongMapAnalyser.h"

#include <algorithm>
#include <cassert>
#include <cmath>

#include "analysis/BeatTracking.h"
#include "analysis/FrameFeatures.h"
#include "analysis/Harmony.h"
#include "analysis/Sections.h"
#include "dsp/common/StemKind.h"

namespace corvane::analysis {

namespace {

using namespace detail;

// Samples handed on at once by the whole-song entry points: about 1.5 s at 44.1 kHz.
constexpr std::size_t kBlockFrames = 1 << 16;

// Units sections may start on: bar starts, and every two seconds where there are no bars.
std::vector<double> sectionUnits(const std::vector<double>& barStarts, double duration) {
    constexpr double kUnit = 2.0;
    std::vector<double> units{0.0};
    auto fillTo = [&](double t) {
        const double from = units.back();
        const int count = static_cast<int>(std::floor((t - from) / kUnit + 0.5));
        for (int c = 1; c < count; ++c) units.push_back(from + (t - from) * c / count);
        if (t > units.back() + 1e-6) units.push_back(t);
    };
    double barLength = kUnit;
    for (std::size_t i = 0; i < barStarts.size(); ++i) {
        const double t = barStarts[i];
        if (t <= units.back() + 0.25 * barLength || t >= duration) continue;
        if (i > 0) barLength = std::min(barStarts[i] - barStarts[i - 1], 3.0 * barLength);
        fillTo(t);
    }
    fillTo(duration);
    return units;
}

double medianInterval(const std::vector<double>& times) {
    std::vector<double> gaps;
    for (std::size_t i = 1; i < times.size(); ++i) gaps.push_back(times[i] - times[i - 1]);
    if (gaps.empty()) return 0.0;
    std::nth_element(gaps.begin(), gaps.begin() + static_cast<std::ptrdiff_t>(gaps.size() / 2),
                     gaps.end());
    return gaps[gaps.size() / 2];
}

// The beat period in seconds: the mean of the intervals within half a period of the median (the
// gaps between runs of steady beats left out). A mean, since each beat is placed to the nearest
// 11.6 ms frame.
double beatPeriod(const std::vector<double>& times) {
    const double median = medianInterval(times);
    double sum = 0.0;
    int count = 0;
    for (std::size_t i = 1; i < times.size(); ++i) {
        const double gap = times[i] - times[i - 1];
        if (gap > 0.5 * median && gap < 1.5 * median) {
            sum += gap;
            ++count;
        }
    }
    return count ? sum / count : median;
}

}  // namespace

struct SongMapAnalyser::Impl {
    Input input;
    AnalysisOptions options;
    std::unique_ptr<FeatureExtractor> features;
    bool finished = false;

    bool cancelled() const { return options.cancel && options.cancel->load(); }
};

std::unique_ptr<SongMapAnalyser> SongMapAnalyser::create(double sampleRate, Input input,
                                                         const AnalysisOptions& options) {
    if (!(sampleRate >= 1000.0 && sampleRate <= 768000.0)) return nullptr;
    auto impl = std::make_unique<Impl>();
    impl->input = input;
    impl->options = options;
    impl->features = FeatureExtractor::create(sampleRate, input == Input::stems, options.workers);
    if (!impl->features) return nullptr;
    return std::unique_ptr<SongMapAnalyser>(new SongMapAnalyser(std::move(impl)));
}

SongMapAnalyser::SongMapAnalyser(std::unique_ptr<Impl> impl) : m(std::move(impl)) {}
SongMapAnalyser::~SongMapAnalyser() = default;

void SongMapAnalyser::push(const dsp::StemBlock& block) {
    assert(m->input == Input::stems && !m->finished);
    if (m->cancelled()) return;
    m->features->pushStems(block);
}

void SongMapAnalyser::pushMix(std::span<const float> l, std::span<const float> r) {
    assert(m->input == Input::mix && !m->finished && l.size() == r.size());
    if (m->cancelled()) return;
    m->features->pushMix(l, r);
}

std::optional<SongMap> SongMapAnalyser::finish(const ProgressFn& progress) {
    assert(!m->finished);
    m->finished = true;
    auto report = [&](double fraction) {
        if (progress) progress(fraction);
    };
    if (m->cancelled()) return std::nullopt;
    const FrameFeatures f = m->features->finish();
    m->features.reset();
    report(0.3);

    SongMap map;
    map.durationSeconds = f.seconds();
    const BeatTrack track = trackBeats(f);
    if (m->cancelled()) return std::nullopt;
    report(0.5);

    // Bars: the harmony and bass of each beat, then where bars start.
    std::vector<int> position;
    if (!track.times.empty()) {
        std::vector<double> beatBounds = track.times;
        beatBounds.push_back(
            std::min(map.durationSeconds, track.times.back() + medianInterval(track.times)));
        const CellChroma perBeat = cellChroma(f, beatBounds);
        const BarGrid bars = findBars(track.times, f, track.fromMix, perBeat.treble, perBeat.bass,
                                      perBeat.bassStrength);
        position = bars.position;
        map.steadyBeat = true;
        map.beatsPerBar = bars.beatsPerBar;
        map.tempoBpm = 60.0 / beatPeriod(track.times);
        int bar = 1;
        for (std::size_t i = 0; i < track.times.size(); ++i) {
            if (position[i] == 0 && i > 0) ++bar;
            map.beats.push_back(Beat{track.times[i], bar, position[i] + 1});
        }
    }
    report(0.6);
    if (m->cancelled()) return std::nullopt;

    // Chords over beat cells (half-second cells where there is no beat), then the key.
    const std::vector<double> cells = harmonyCells(track.times, map.durationSeconds);
    const CellChroma chroma = cellChroma(f, cells);
    std::vector<bool> downbeat(chroma.cells(), false);
    {
        std::size_t b = 0;
        for (std::size_t c = 0; c < chroma.cells(); ++c) {
            while (b < map.beats.size() && map.beats[b].time < cells[c] - 1e-6) ++b;
            if (b < map.beats.size() && std::abs(map.beats[b].time - cells[c]) < 1e-6)
                downbeat[c] = map.beats[b].beat == 1;
        }
    }
    // Chords, the key they imply, then the chords again in that key.
    std::vector<ChordName> names = estimateChords(chroma, downbeat);
    map.key = estimateKey(chroma, cells, names);
    if (map.key) {
        names = estimateChords(chroma, downbeat, map.key);
        map.key = estimateKey(chroma, cells, names);
    }
    for (std::size_t c = 0; c < names.size(); ++c) {
        if (!map.chords.empty() && map.chords.back().root == names[c].root &&
            map.chords.back().quality == names[c].quality) {
            map.chords.back().end = cells[c + 1];
            continue;
        }
        map.chords.push_back(Chord{cells[c], cells[c + 1], names[c].root, names[c].quality});
    }
    report(0.8);
    if (m->cancelled()) return std::nullopt;

    std::vector<double> barStarts;
    for (const Beat& b : map.beats)
        if (b.beat == 1) barStarts.push_back(b.time);
    map.sections = findSections(f, sectionUnits(barStarts, map.durationSeconds));
    report(1.0);
    return map;
}

std::optional<SongMap> SongMapAnalyser::analyseStems(const std::vector<dsp::StemData>& stems,
                                                     double sampleRate, const ProgressFn& progress,
                                                     const AnalysisOptions& options) {
    if (stems.size() != static_cast<std::size_t>(dsp::kStemCount)) return std::nullopt;
    const std::size_t n = stems[0].l.size();
    for (const dsp::StemData& s : stems)
        if (s.l.size() != n || s.r.size() != n) return std::nullopt;
    auto analyser = create(sampleRate, Input::stems, options);
    if (!analyser) return std::nullopt;
    for (std::size_t at = 0; at < n; at += kBlockFrames) {
        const std::size_t len = std::min(kBlockFrames, n - at);
        dsp::StemBlock block;
        block.start = static_cast<std::int64_t>(at);
        for (int k = 0; k < dsp::kStemCount; ++k) {
            block.channels[static_cast<std::size_t>(2 * k)] =
                std::span<const float>(stems[static_cast<std::size_t>(k)].l).subspan(at, len);
            block.channels[static_cast<std::size_t>(2 * k + 1)] =
                std::span<const float>(stems[static_cast<std::size_t>(k)].r).subspan(at, len);
        }
        analyser->push(block);
        if (options.cancel && options.cancel->load()) return std::nullopt;
        if (progress) progress(0.8 * static_cast<double>(at + len) / static_cast<double>(n));
    }
    return analyser->finish([&](double f) {
        if (progress) progress(0.8 + 0.2 * f);
    });
}

std::optional<SongMap> SongMapAnalyser::analyseMix(const dsp::StereoAudio& mix,
                                                   const ProgressFn& progress,
                                                   const AnalysisOptions& options) {
    if (mix.l.size() != mix.r.size()) return std::nullopt;
    auto analyser = create(mix.sampleRate, Input::mix, options);
    if (!analyser) return std::nullopt;
    const std::size_t n = mix.l.size();
    for (std::size_t at = 0; at < n; at += kBlockFrames) {
        const std::size_t len = std::min(kBlockFrames, n - at);
        analyser->pushMix(std::span<const float>(mix.l).subspan(at, len),
                          std::span<const float>(mix.r).subspan(at, len));
        if (options.cancel && options.cancel->load()) return std::nullopt;
        if (progress) progress(0.8 * static_cast<double>(at + len) / static_cast<double>(n));
    }
    return analyser->finish([&](double f) {
        if (progress) progress(0.8 + 0.2 * f);
    });
}

}  // namespace corvane::analysis
