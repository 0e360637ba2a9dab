// SPDX-License-Identifier: GPL-3.0-or-later
#include "analysis/FrameFeatures.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <numbers>

#include "dsp/common/FftPlan.h"
#include "dsp/common/ParallelFor.h"

namespace corvane::analysis::detail {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

// log2(x) for x >= 1 within 1e-4: exponent bits plus a cubic on the mantissa. The onset paths take
// one per bin per frame; this keeps them vectorisable.
inline float fastLog2(float x) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(x);
    const float e = static_cast<float>(static_cast<int>(bits >> 23) - 127);
    const float m = std::bit_cast<float>((bits & 0x007FFFFFu) | 0x3F800000u);  // [1, 2)
    return e + (-0.34484843f * m + 2.02466578f) * m - 0.67487759f;
}

// The smallest power of two holding `seconds` at `sampleRate`, at least `least`.
int windowLength(double seconds, double sampleRate, int least) {
    int n = least;
    while (n < seconds * sampleRate && n < (1 << 20)) n *= 2;
    return n;
}

std::vector<float> hann(int n) {
    std::vector<float> w(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
        w[static_cast<std::size_t>(i)] =
            static_cast<float>(0.5 - 0.5 * std::cos(kTwoPi * i / static_cast<double>(n)));
    return w;
}

double midiPitch(double hz) { return 69.0 + 12.0 * std::log2(hz / 440.0); }

// One mono signal's samples from `base` on: what the frames still to come need, no more.
struct Signal {
    std::vector<float> data;
    std::int64_t base = 0;

    std::int64_t end() const { return base + static_cast<std::int64_t>(data.size()); }
    // Samples [start, start + n) into dst; positions before 0 or not held read as zero.
    void read(std::int64_t start, int n, float* dst) const {
        const std::int64_t from = std::clamp(base, start, start + n);
        const std::int64_t to = std::clamp(end(), from, start + n);
        std::fill(dst, dst + (from - start), 0.0f);
        if (to > from)
            std::memcpy(dst + (from - start), data.data() + (from - base),
                        static_cast<std::size_t>(to - from) * sizeof(float));
        std::fill(dst + (to - start), dst + n, 0.0f);
    }
    void discardBefore(std::int64_t index) {
        const std::int64_t drop = std::clamp<std::int64_t>(index - base, 0, end() - base);
        data.erase(data.begin(), data.begin() + drop);
        base += drop;
    }
};

// Frames on one clock: frame n centred at sample round(n * hop), a window of `length` around it.
struct FrameClock {
    double hop = 512.0;  // samples, fractional
    int length = 1024;
    std::int64_t next = 0;  // the next frame to compute

    std::int64_t start(std::int64_t n) const {
        return std::llround(static_cast<double>(n) * hop) - length / 2;
    }
    // Frames are due while their window is held, or at the end while their centre is in the song.
    bool due(std::int64_t available, bool final, std::int64_t total) const {
        if (final) return static_cast<double>(next) * hop < static_cast<double>(total);
        return start(next) + length <= available;
    }
    std::int64_t neededFrom() const { return start(next); }
};

// One signal's frames on one clock, Hann-windowed and transformed in turn; each path owns one.
class FrameSource {
public:
    FrameSource(const dsp::FftPlan& plan, double hop)
        : m_plan(plan), m_scratch(plan.size()), m_window(hann(plan.size())) {
        m_clock.hop = hop;
        m_clock.length = plan.size();
    }
    bool due(const Signal& s, bool final, std::int64_t total) const {
        return m_clock.due(s.end(), final, total);
    }
    // The next frame's spectrum (n / 2 + 1 interleaved re, im), valid until the next call.
    const float* next(const Signal& s) {
        const int n = m_clock.length;
        s.read(m_clock.start(m_clock.next), n, m_scratch.time());
        float* t = m_scratch.time();
        for (int i = 0; i < n; ++i) t[i] *= m_window[static_cast<std::size_t>(i)];
        m_plan.forward(m_scratch);
        ++m_clock.next;
        return m_scratch.spectrum();
    }
    std::int64_t neededFrom() const { return m_clock.neededFrom(); }
    int length() const { return m_clock.length; }

private:
    const dsp::FftPlan& m_plan;
    dsp::FFTScratch m_scratch;
    std::vector<float> m_window;
    FrameClock m_clock;
};

// Log-spectral flux and band energies of one signal, per onset frame.
class OnsetPath {
public:
    OnsetPath(double sampleRate, const dsp::FftPlan& plan)
        : m_frames(plan, sampleRate / kFrameRate) {
        const int bins = plan.size() / 2 + 1;
        m_previous.assign(static_cast<std::size_t>(bins), 0.0f);
        m_log.assign(static_cast<std::size_t>(bins), 0.0f);
        const double binHz = sampleRate / plan.size();
        m_lowEnd = std::clamp(static_cast<int>(150.0 / binHz) + 1, 2, bins);
        m_highStart = std::clamp(static_cast<int>(2000.0 / binHz), 1, bins);
        static constexpr std::array<double, kTimbreBands> kEdges = {150,  400,  1000,
                                                                    2500, 6000, 16000};
        int k = 1;
        for (int b = 0; b < kTimbreBands; ++b) {
            m_bandEnd[static_cast<std::size_t>(b)] = std::clamp(
                static_cast<int>(kEdges[static_cast<std::size_t>(b)] / binHz) + 1, k, bins);
            k = m_bandEnd[static_cast<std::size_t>(b)];
        }
        // |X| of a full-scale sine is about length / 4 with a Hann window: scaled to 0.25, then
        // compressed as log2(1 + 1000 |X|) so that quiet parts still count.
        m_scale = 1000.0f * 4.0f / static_cast<float>(plan.size()) * 0.25f;
    }

    void run(const Signal& s, bool final, std::int64_t total) {
        const int n = m_frames.length();
        const int bins = n / 2 + 1;
        while (m_frames.due(s, final, total)) {
            const float* spectrum = m_frames.next(s);
            std::array<float, kTimbreBands> band{};
            for (int k = 0, b = 0; k < bins; ++k) {
                const float re = spectrum[2 * k], im = spectrum[2 * k + 1];
                const float power = re * re + im * im;
                m_log[static_cast<std::size_t>(k)] = fastLog2(1.0f + m_scale * std::sqrt(power));
                while (b < kTimbreBands && k >= m_bandEnd[static_cast<std::size_t>(b)]) ++b;
                if (k > 0 && b < kTimbreBands) band[static_cast<std::size_t>(b)] += power;
            }
            float all = 0.0f, low = 0.0f, mid = 0.0f, high = 0.0f;
            for (int k = 1; k < bins; ++k) {
                const float rise = std::max(0.0f, m_log[static_cast<std::size_t>(k)] -
                                                      m_previous[static_cast<std::size_t>(k)]);
                all += rise;
                if (k < m_lowEnd)
                    low += rise;
                else if (k < m_highStart)
                    mid += rise;
                else
                    high += rise;
            }
            m_previous.swap(m_log);
            flux.push_back(all);
            lowFlux.push_back(low);
            midFlux.push_back(mid);
            highFlux.push_back(high);
            const float norm = 4.0f / (static_cast<float>(n) * static_cast<float>(n));
            for (const float e : band) timbre.push_back(std::log10(1e-10f + e * norm));
        }
    }
    std::int64_t neededFrom() const { return m_frames.neededFrom(); }

    std::vector<float> flux, lowFlux, midFlux, highFlux, timbre;

private:
    FrameSource m_frames;
    std::vector<float> m_previous, m_log;
    int m_lowEnd = 2, m_highStart = 1;
    std::array<int, kTimbreBands> m_bandEnd{};
    float m_scale = 1.0f;
};

// Spectral peaks of one signal put into a 36-bin pitch-class profile per chroma frame.
class ChromaPath {
public:
    // Peaks between loHz and hiHz; `bassWeighting` favours the lowest notes (the root).
    ChromaPath(double sampleRate, const dsp::FftPlan& plan, double loHz, double hiHz,
               bool bassWeighting)
        : m_frames(plan, sampleRate / kFrameRate * kChromaStep),
          m_sampleRate(sampleRate),
          m_bassWeighting(bassWeighting) {
        const double binHz = sampleRate / plan.size();
        const int bins = plan.size() / 2 + 1;
        m_lo = std::clamp(static_cast<int>(loHz / binHz), 2, bins - 2);
        m_hi = std::clamp(static_cast<int>(hiHz / binHz) + 1, m_lo, bins - 2);
        m_mag.assign(static_cast<std::size_t>(bins), 0.0f);
        m_norm = 4.0f / static_cast<float>(plan.size());
    }

    void run(const Signal& s, bool final, std::int64_t total) {
        while (m_frames.due(s, final, total)) {
            const float* spectrum = m_frames.next(s);
            float top = 0.0f;
            for (int k = m_lo - 1; k <= m_hi + 1; ++k) {
                const float re = spectrum[2 * k], im = spectrum[2 * k + 1];
                const float mag = std::sqrt(re * re + im * im) * m_norm;
                m_mag[static_cast<std::size_t>(k)] = mag;
                top = std::max(top, mag);
            }
            const std::size_t at = chroma.size();
            chroma.resize(at + kChromaBins, 0.0f);
            // Peaks within 40 dB of the frame's strongest, and above a floor that silence and
            // dither stay under.
            const float floor = std::max(top * 0.01f, 1e-5f);
            for (int k = m_lo; k <= m_hi; ++k) {
                const float b = m_mag[static_cast<std::size_t>(k)];
                const float a = m_mag[static_cast<std::size_t>(k - 1)];
                const float c = m_mag[static_cast<std::size_t>(k + 1)];
                if (b < floor || b <= a || b < c) continue;
                // Parabolic interpolation on log magnitudes gives the peak's frequency to a small
                // fraction of a bin.
                const double la = std::log(a + 1e-12), lb = std::log(b), lc = std::log(c + 1e-12);
                const double curve = la - 2.0 * lb + lc;
                const double delta =
                    curve < 0.0 ? std::clamp(0.5 * (la - lc) / curve, -0.5, 0.5) : 0.0;
                const double hz = (k + delta) * m_sampleRate / m_frames.length();
                const double pitch = midiPitch(hz);
                double weight = b;
                if (m_bassWeighting) weight *= std::clamp((64.0 - pitch) / 20.0, 0.0, 1.0);
                if (weight <= 0.0) continue;
                const double q = pitch * 3.0;  // in thirds of a semitone; C is a multiple of 36
                const double lower = std::floor(q);
                const double frac = q - lower;
                const int bin = static_cast<int>(
                    ((static_cast<long long>(lower) % kChromaBins) + kChromaBins) % kChromaBins);
                chroma[at + static_cast<std::size_t>(bin)] +=
                    static_cast<float>(weight * (1.0 - frac));
                chroma[at + static_cast<std::size_t>((bin + 1) % kChromaBins)] +=
                    static_cast<float>(weight * frac);
                if (b >= top * 0.1f) {
                    tuningCos += weight * std::cos(kTwoPi * pitch);
                    tuningSin += weight * std::sin(kTwoPi * pitch);
                }
            }
        }
    }
    std::int64_t neededFrom() const { return m_frames.neededFrom(); }

    std::vector<float> chroma;
    double tuningCos = 0.0, tuningSin = 0.0;

private:
    FrameSource m_frames;
    double m_sampleRate;
    bool m_bassWeighting;
    int m_lo = 2, m_hi = 2;
    std::vector<float> m_mag;
    float m_norm = 1.0f;
};

}  // namespace

struct FeatureExtractor::Impl {
    double sampleRate;
    bool stems;
    int workers;
    std::unique_ptr<dsp::FftPlan> onsetPlan, treblePlan, bassPlan;
    // Stems: rhythm = drums, harmony = all but the drums, low = bass, mix = all four. Mix input:
    // all one.
    Signal rhythm, mix, harmony, low;
    std::unique_ptr<OnsetPath> rhythmOnsets, mixOnsets;
    std::unique_ptr<ChromaPath> treble, bass;
    std::int64_t total = 0;
    // Mean squares per onset frame (StemKind order, then the mix), filled as samples arrive:
    // the frame still open keeps its sums here until its last sample has come.
    std::array<std::vector<float>, 5> energy;
    std::array<double, 5> openSums{};
    std::int64_t openFrame = 0, openCount = 0;
    std::vector<float> scratch[5];

    Signal& harmonySignal() { return stems ? harmony : mix; }
    Signal& lowSignal() { return stems ? low : mix; }
    Signal& rhythmSignal() { return stems ? rhythm : mix; }

    // Frame index of sample i on the onset clock, rounded: frame n gathers the samples nearest
    // its centre.
    std::int64_t frameOf(std::int64_t i) const {
        return static_cast<std::int64_t>(
            std::floor(static_cast<double>(i) * kFrameRate / sampleRate + 0.5));
    }

    void closeFrame() {
        for (std::size_t k = 0; k < 5; ++k) {
            energy[k].push_back(openCount > 0 ? static_cast<float>(openSums[k] / openCount) : 0.0f);
            openSums[k] = 0.0;
        }
        openCount = 0;
        ++openFrame;
    }

    void accumulate(std::int64_t start, std::size_t n, const std::array<const float*, 5>& mids) {
        std::int64_t i = start;
        const std::int64_t end = start + static_cast<std::int64_t>(n);
        while (i < end) {
            const std::int64_t f = frameOf(i);
            while (openFrame < f) closeFrame();
            // First sample of frame f + 1.
            std::int64_t next = static_cast<std::int64_t>(
                std::ceil((static_cast<double>(f) + 0.5) * sampleRate / kFrameRate));
            while (frameOf(next) <= f) ++next;
            const std::int64_t stop = std::min(end, next);
            for (std::size_t k = 0; k < 5; ++k) {
                if (!mids[k]) continue;
                double sum = 0.0;
                const float* p = mids[k] + (i - start);
                for (std::int64_t j = 0; j < stop - i; ++j) sum += static_cast<double>(p[j]) * p[j];
                openSums[k] += sum;
            }
            openCount += stop - i;
            i = stop;
        }
    }

    void process(bool final) {
        // Each path reads only its own signal; the mix input's one signal is shared read-only.
        std::vector<std::function<void()>> jobs;
        jobs.emplace_back([&] { rhythmOnsets->run(rhythmSignal(), final, total); });
        if (mixOnsets) jobs.emplace_back([&] { mixOnsets->run(mix, final, total); });
        jobs.emplace_back([&] { treble->run(harmonySignal(), final, total); });
        jobs.emplace_back([&] { bass->run(lowSignal(), final, total); });
        dsp::parallelFor(static_cast<int>(jobs.size()), workers,
                         [&](int j) { jobs[static_cast<std::size_t>(j)](); });
        if (stems) {
            rhythm.discardBefore(rhythmOnsets->neededFrom());
            mix.discardBefore(mixOnsets->neededFrom());
            harmony.discardBefore(treble->neededFrom());
            low.discardBefore(bass->neededFrom());
        } else {
            mix.discardBefore(
                std::min({rhythmOnsets->neededFrom(), treble->neededFrom(), bass->neededFrom()}));
        }
    }
};

std::unique_ptr<FeatureExtractor> FeatureExtractor::create(double sampleRate, bool stems,
                                                           int workers) {
    auto impl = std::make_unique<Impl>();
    impl->sampleRate = sampleRate;
    impl->stems = stems;
    impl->workers = workers > 0 ? workers : dsp::defaultWorkerCount();
    // Onset windows of about 23 ms; harmony windows of about 186 ms, and twice that for the bass,
    // whose semitones lie 2.5 Hz apart at 41 Hz.
    const int onsetLength = windowLength(0.0232, sampleRate, 64);
    const int trebleLength = windowLength(0.18, sampleRate, 256);
    impl->onsetPlan = dsp::FftPlan::create(onsetLength);
    impl->treblePlan = dsp::FftPlan::create(trebleLength);
    impl->bassPlan = dsp::FftPlan::create(trebleLength * 2);
    if (!impl->onsetPlan || !impl->treblePlan || !impl->bassPlan) return nullptr;
    impl->rhythmOnsets = std::make_unique<OnsetPath>(sampleRate, *impl->onsetPlan);
    if (stems) impl->mixOnsets = std::make_unique<OnsetPath>(sampleRate, *impl->onsetPlan);
    const double nyquist = sampleRate / 2.0;
    impl->treble = std::make_unique<ChromaPath>(sampleRate, *impl->treblePlan, 100.0,
                                                std::min(2500.0, nyquist * 0.9), false);
    impl->bass = std::make_unique<ChromaPath>(sampleRate, *impl->bassPlan, 30.0,
                                              std::min(300.0, nyquist * 0.9), true);
    return std::unique_ptr<FeatureExtractor>(new FeatureExtractor(std::move(impl)));
}

FeatureExtractor::FeatureExtractor(std::unique_ptr<Impl> impl) : m(std::move(impl)) {}
FeatureExtractor::~FeatureExtractor() = default;

void FeatureExtractor::pushStems(const dsp::StemBlock& block) {
    const std::size_t n = static_cast<std::size_t>(block.frames());
    if (n == 0) return;
    for (auto& s : m->scratch) s.resize(n);
    float* mids[4];
    for (int k = 0; k < 4; ++k) {
        mids[k] = m->scratch[k].data();
        const float* l = block.channels[static_cast<std::size_t>(2 * k)].data();
        const float* r = block.channels[static_cast<std::size_t>(2 * k + 1)].data();
        for (std::size_t i = 0; i < n; ++i) {
            const float v = 0.5f * (l[i] + r[i]);
            mids[k][i] = std::isfinite(v) ? v : 0.0f;
        }
    }
    float* mix = m->scratch[4].data();
    for (std::size_t i = 0; i < n; ++i) mix[i] = mids[0][i] + mids[1][i] + mids[2][i] + mids[3][i];
    m->accumulate(m->total, n, {mids[0], mids[1], mids[2], mids[3], mix});
    m->rhythm.data.insert(m->rhythm.data.end(), mids[1], mids[1] + n);
    m->low.data.insert(m->low.data.end(), mids[2], mids[2] + n);
    // The harmony is everything but the drums: the bass's notes belong to the chord, and the
    // vocals stem holds the centred part of the accompaniment (a pad, keys in the middle) as well
    // as the voice; without it a pad over a moving bass was read as another chord.
    for (std::size_t i = 0; i < n; ++i)
        m->harmony.data.push_back(mids[0][i] + mids[2][i] + mids[3][i]);
    m->mix.data.insert(m->mix.data.end(), mix, mix + n);
    m->total += static_cast<std::int64_t>(n);
    m->process(false);
}

void FeatureExtractor::pushMix(std::span<const float> l, std::span<const float> r) {
    const std::size_t n = std::min(l.size(), r.size());
    if (n == 0) return;
    m->scratch[4].resize(n);
    float* mix = m->scratch[4].data();
    for (std::size_t i = 0; i < n; ++i) {
        const float v = 0.5f * (l[i] + r[i]);
        mix[i] = std::isfinite(v) ? v : 0.0f;
    }
    m->accumulate(m->total, n, {nullptr, nullptr, nullptr, nullptr, mix});
    m->mix.data.insert(m->mix.data.end(), mix, mix + n);
    m->total += static_cast<std::int64_t>(n);
    m->process(false);
}

FrameFeatures FeatureExtractor::finish() {
    m->process(true);
    FrameFeatures f;
    f.sampleRate = m->sampleRate;
    f.samples = m->total;
    f.stems = m->stems;
    OnsetPath& r = *m->rhythmOnsets;
    const std::size_t frames = r.flux.size();
    f.mixFlux = m->mixOnsets ? std::move(m->mixOnsets->flux) : r.flux;
    f.timbre = std::move(m->mixOnsets ? m->mixOnsets->timbre : r.timbre);
    f.rhythmFlux = std::move(r.flux);
    f.rhythmLowFlux = std::move(r.lowFlux);
    f.rhythmMidFlux = std::move(r.midFlux);
    f.rhythmHighFlux = std::move(r.highFlux);
    // Energies on exactly the onset frames.
    if (m->openCount > 0) m->closeFrame();
    for (auto& e : m->energy) e.resize(frames, 0.0f);
    f.mixEnergy = std::move(m->energy[4]);
    for (std::size_t k = 0; k < 4; ++k)
        f.stemEnergy[k] = m->stems ? std::move(m->energy[k]) : f.mixEnergy;
    f.treble = std::move(m->treble->chroma);
    f.bass = std::move(m->bass->chroma);
    f.tuningCos = m->treble->tuningCos + m->bass->tuningCos;
    f.tuningSin = m->treble->tuningSin + m->bass->tuningSin;
    return f;
}

}  // namespace corvane::analysis::detail
