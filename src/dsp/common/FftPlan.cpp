// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/common/FftPlan.h"

#include <fftw3.h>

#include <atomic>
#include <mutex>
#include <new>

#include "dsp/FftWisdom.inc"
#include "dsp/common/FftFlags.h"

namespace corvane::dsp {

namespace {
std::mutex& plannerMutex() {
    static std::mutex m;
    return m;
}
std::atomic<bool> g_failPlans{false};
}  // namespace

void detail::failFftPlansForTesting(bool fail) { g_failPlans = fail; }

FFTScratch::FFTScratch(int n)
    : m_n(n),
      m_time(fftwf_alloc_real(n)),
      m_spectrum(reinterpret_cast<float*>(fftwf_alloc_complex(n / 2 + 1))) {
    if (!m_time || !m_spectrum) {
        fftwf_free(m_time);
        fftwf_free(m_spectrum);
        throw std::bad_alloc();
    }
    for (int i = 0; i < n; ++i) m_time[i] = 0.0f;
    for (int i = 0; i < 2 * (n / 2 + 1); ++i) m_spectrum[i] = 0.0f;
}

FFTScratch::~FFTScratch() {
    fftwf_free(m_time);
    fftwf_free(m_spectrum);
}

struct FftPlan::Impl {
    Impl(int size, fftwf_plan forwardPlan, fftwf_plan inversePlan)
        : n(size), forward(forwardPlan), inverse(inversePlan) {}
    ~Impl() {
        std::lock_guard lock(plannerMutex());
        fftwf_destroy_plan(forward);
        fftwf_destroy_plan(inverse);
    }
    int n;
    fftwf_plan forward;
    fftwf_plan inverse;
};

std::unique_ptr<FftPlan> FftPlan::create(int n) {
    if (n < 2 || n % 2 != 0 || g_failPlans) return nullptr;
    // Planning arrays only fix the alignment the plans expect; ESTIMATE leaves them untouched.
    FFTScratch probe(n);
    auto* spectrum = reinterpret_cast<fftwf_complex*>(probe.spectrum());
    std::lock_guard lock(plannerMutex());
    static const bool wisdomLoaded = fftwf_import_wisdom_from_string(kFftWisdom) != 0;
    // Measured plans from the build's wisdom when they fit this machine, estimated ones otherwise.
    fftwf_plan fwd = nullptr;
    fftwf_plan inv = nullptr;
    if (wisdomLoaded) {
        fwd = fftwf_plan_dft_r2c_1d(n, probe.time(), spectrum, kForwardFlags | FFTW_WISDOM_ONLY);
        inv = fftwf_plan_dft_c2r_1d(n, spectrum, probe.time(), kInverseFlags | FFTW_WISDOM_ONLY);
    }
    if (!fwd) fwd = fftwf_plan_dft_r2c_1d(n, probe.time(), spectrum, FFTW_ESTIMATE);
    if (!inv)
        inv = fftwf_plan_dft_c2r_1d(n, spectrum, probe.time(), FFTW_ESTIMATE | FFTW_DESTROY_INPUT);
    if (!fwd || !inv) {
        if (fwd) fftwf_destroy_plan(fwd);
        if (inv) fftwf_destroy_plan(inv);
        return nullptr;
    }
    return std::unique_ptr<FftPlan>(new FftPlan(std::make_unique<Impl>(n, fwd, inv)));
}

FftPlan::FftPlan(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
FftPlan::~FftPlan() = default;

int FftPlan::size() const { return m_impl->n; }

void FftPlan::forward(FFTScratch& scratch) const {
    fftwf_execute_dft_r2c(m_impl->forward, scratch.time(),
                          reinterpret_cast<fftwf_complex*>(scratch.spectrum()));
}

void FftPlan::inverse(FFTScratch& scratch) const {
    float* spectrum = scratch.spectrum();
    spectrum[1] = 0.0f;              // Im of DC
    spectrum[m_impl->n + 1] = 0.0f;  // Im of Nyquist
    fftwf_execute_dft_c2r(m_impl->inverse, reinterpret_cast<fftwf_complex*>(spectrum),
                          scratch.time());
}

}  // namespace corvane::dsp
