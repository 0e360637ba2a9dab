// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <memory>

namespace corvane::dsp {

// Per-worker workspace for one frame: `time` holds n reals, `spectrum` n / 2 + 1 complex values
// interleaved (re, im). SIMD-aligned as the FFT plan requires; zero-filled. Never shared.
class FFTScratch {
public:
    explicit FFTScratch(int n);
    ~FFTScratch();
    FFTScratch(const FFTScratch&) = delete;
    FFTScratch& operator=(const FFTScratch&) = delete;

    int n() const { return m_n; }
    float* time() { return m_time; }
    float* spectrum() { return m_spectrum; }

private:
    int m_n;
    float* m_time;
    float* m_spectrum;
};

// Real FFT plans of one size (forward real-to-complex and inverse complex-to-real), made once
// and executed from any number of threads at once, each on its own FFTScratch.
// Plans are made and destroyed under a process-wide lock (the FFT planner is not thread-safe).
class FftPlan {
public:
    // Null when the plans cannot be made.
    static std::unique_ptr<FftPlan> create(int n);
    ~FftPlan();
    FftPlan(const FftPlan&) = delete;
    FftPlan& operator=(const FftPlan&) = delete;

    int size() const;
    // X[k] = sum over m of time[m] e^(-2 pi i k m / n), k = 0 .. n / 2, unnormalised.
    // time and spectrum must be a scratch's arrays. Any thread.
    void forward(FFTScratch& scratch) const;
    // time[m] = sum over the Hermitian extension of spectrum, e^(+2 pi i k m / n), unnormalised;
    // the imaginary parts of DC and Nyquist are taken as 0. Destroys the spectrum. Any thread.
    void inverse(FFTScratch& scratch) const;

private:
    struct Impl;  // the FFT library's plans, kept out of every includer's sight
    explicit FftPlan(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

namespace detail {
// Makes FftPlan::create fail, so tests can reach the separator's no-plan path.
void failFftPlansForTesting(bool fail);
}  // namespace detail

}  // namespace corvane::dsp
