// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

#include "dsp/common/FftPlan.h"
#include "dsp/common/FloatBuf.h"
#include "dsp/common/ParallelFor.h"
#include "dsp/common/ProgressCounter.h"
#include "dsp/common/StemData.h"
#include "dsp/common/StemKind.h"
#include "dsp/common/StereoAudio.h"
#include "dsp/common/StftFrames.h"

// The frame machinery both separation methods share: worker frame ranges, both channels' spectra
// of a frame, and the synthesis pass that turns per-bin stem gains into the four stems.
namespace corvane::dsp::synthesis {

inline bool cancelled(const std::atomic<bool>* cancel) {
    return cancel && cancel->load(std::memory_order_relaxed);
}

// Frames [w * chunk, min(w * chunk + chunk, frames)) of worker w.
struct FrameRange {
    std::int64_t begin, end;
};
inline FrameRange workerFrames(int w, int workers, std::int64_t frames) {
    const std::int64_t chunk = (frames + workers - 1) / workers;
    const std::int64_t begin = std::min(frames, w * chunk);
    return {begin, std::min(begin + chunk, frames)};
}

// Both channels' spectra of one frame, bins 0 .. kBins - 1 each; a frame of samples beyond
// kMaxFramePeak is transformed scaled down, and up() is the power of two that undoes it.
class FrameSpectra {
public:
    void transform(const StereoAudio& audio, std::int64_t n, std::int64_t t, const float* window,
                   const FftPlan& plan, FFTScratch& scratch) {
        const float peak =
            std::max(forwardFrame(audio.l.data(), n, t, window, plan, scratch, lre(), lim()),
                     forwardFrame(audio.r.data(), n, t, window, plan, scratch, rre(), rim()));
        const FrameScale scale = frameScaleFor(peak);
        m_up = scale.up;
        if (scale.up == 1.0f) return;
        forwardFrame(audio.l.data(), n, t, window, plan, scratch, lre(), lim(), scale.down);
        forwardFrame(audio.r.data(), n, t, window, plan, scratch, rre(), rim(), scale.down);
    }
    float up() const { return m_up; }
    float* lre() { return m_bins.data(); }
    float* lim() { return m_bins.data() + kBins; }
    float* rre() { return m_bins.data() + 2 * kBins; }
    float* rim() { return m_bins.data() + 3 * kBins; }

private:
    std::array<float, 4 * kBins> m_bins{};
    float m_up = 1.0f;
};

// Zero-filled samples, faulted in by the worker that will write them (so the page faults run in
// parallel), on huge pages where the kernel allows. A channel with room enough from an earlier
// block is zeroed in place, its pages already faulted in.
inline void allocateChannel(std::vector<float>& channel, std::int64_t n) {
    channel.clear();
    channel.reserve(static_cast<std::size_t>(n));
    adviseHugePages(channel.data(), static_cast<std::size_t>(n) * sizeof(float));
    channel.resize(static_cast<std::size_t>(n));
}

// The synthesis pass: job j makes stem j / 2, left channel for even j, right for odd,
// overlap-adding straight into its stem channel. Each thread takes a contiguous range of frames
// and runs all eight jobs on each of its frames, so every frame's spectra are read once and its
// gains computed once. A thread's first frame shares half its span with the previous thread's
// last frame: that half goes to a side buffer and is added in after the threads join, in the
// order a single thread would add it, so the result does not depend on the number of threads.
// Every stretch is normalised as soon as no later frame can touch it.
//
// makeGains() is called once per thread and returns that thread's gain function,
// gains(t, spectra, out), which writes frame t's gains for the four stems to out[s * kBins + k]
// (it may keep buffers of its own: they are made once per thread, never per frame).
//
// `keep` limits the stems to input positions [keep.from, keep.to) (from a multiple of kHop), and
// the work to the frames that cover them, for a block-wise run that separates a stretch of the
// song with context around it: the kept samples are the bits the whole run gives there. By
// default the stems cover the whole input and every frame is run.
struct KeptRange {
    std::int64_t from = 0;
    std::int64_t to = -1;  // -1: the input's end
};
template <class MakeGains>
void synthesiseStems(const StereoAudio& audio, std::int64_t n, std::int64_t frames, int workers,
                     const float* window, const FftPlan& plan, std::vector<StemData>& stems,
                     ProgressCounter& counter, const std::atomic<bool>* cancel,
                     const MakeGains& makeGains, KeptRange keep = {}) {
    constexpr int kJobs = 2 * kStemCount;
    const std::array<float, kHop> power = windowPowerTable(window);
    // Frames [first, last) run; the output's position 0 is input position shift * kHop, and
    // frame t adds at frame (t - shift)'s place of it.
    const bool whole = keep.to < 0;
    const std::int64_t m = whole ? n : keep.to - keep.from;
    const std::int64_t shift = whole ? 0 : keep.from / kHop;
    const std::int64_t first = shift;
    const std::int64_t last = whole ? frames : std::min(frames, (keep.to + kHop - 1) / kHop + 2);
    auto channelOf = [&](int job) -> std::vector<float>& {
        return job % 2 == 0 ? stems[static_cast<std::size_t>(job / 2)].l
                            : stems[static_cast<std::size_t>(job / 2)].r;
    };

    // The zero-filling of the stems (the largest allocation of all) is shared among the threads.
    const int threads = static_cast<int>(std::min<std::int64_t>(workers, last - first));
    parallelFor(kJobs, threads, [&](int job) { allocateChannel(channelOf(job), m); });

    // boundary[w][j]: the first half of thread w's first frame for job j.
    std::vector<std::array<std::array<float, kHop>, kJobs>> boundary(
        static_cast<std::size_t>(threads));
    parallelFor(threads, threads, [&](int w) {
        auto& side = boundary[static_cast<std::size_t>(w)];
        for (auto& half : side) half.fill(0.0f);
        float* out[kJobs];
        for (int j = 0; j < kJobs; ++j) out[j] = channelOf(j).data();
        FFTScratch scratch(kFrameLength);
        FrameSpectra spectra;
        std::vector<float> gains(static_cast<std::size_t>(kStemCount) * kBins);
        auto gainsOf = [&](int s) { return gains.data() + static_cast<std::ptrdiff_t>(s) * kBins; };
        auto frameGains = makeGains();

        auto [b, e] = workerFrames(w, threads, last - first);
        const std::int64_t begin = b + first, end = e + first;
        // Output positions covered by two frames of this thread: [(begin - 1), (end - 2)) hops.
        std::int64_t normalisedTo = std::clamp<std::int64_t>((begin - shift - 1) * kHop, 0, m);
        for (std::int64_t t = begin; t < end && !cancelled(cancel); ++t) {
            spectra.transform(audio, n, t, window, plan, scratch);
            frameGains(t, spectra, gains.data());
            const bool shared = t == begin && begin > first;
            for (int j = 0; j < kJobs; ++j) {
                const bool left = j % 2 == 0;
                inverseFrameAdd(left ? spectra.lre() : spectra.rre(),
                                left ? spectra.lim() : spectra.rim(), t - shift, window, plan,
                                scratch, out[j], m, gainsOf(j / 2),
                                shared ? side[j].data() : nullptr, spectra.up());
                counter.advance();
            }
            // After frame t, positions below (t - 1) hops receive nothing more.
            const std::int64_t complete = std::clamp<std::int64_t>((t - shift - 1) * kHop, 0, m);
            if (complete > normalisedTo) {
                for (int j = 0; j < kJobs; ++j)
                    normaliseRange(out[j], normalisedTo, complete, power);
                normalisedTo = complete;
            }
        }
        if (end == last && normalisedTo < m)
            for (int j = 0; j < kJobs; ++j) normaliseRange(out[j], normalisedTo, m, power);
    });

    // The stretches where two threads' frames meet: the earlier frame's half is in the output,
    // the later frame's half in the side buffer.
    for (int w = 1; w < threads; ++w) {
        const std::int64_t begin = workerFrames(w, threads, last - first).begin + first;
        if (begin == first || begin >= last) continue;
        const std::int64_t start = (begin - shift) * kHop - kLeadIn;
        const std::int64_t lo = std::clamp<std::int64_t>(start, 0, m);
        const std::int64_t hi = std::clamp<std::int64_t>(start + kHop, 0, m);
        for (int j = 0; j < kJobs; ++j) {
            float* dst = channelOf(j).data();
            const float* half =
                boundary[static_cast<std::size_t>(w)][static_cast<std::size_t>(j)].data();
            for (std::int64_t i = lo; i < hi; ++i) dst[i] = half[i - start] + dst[i];
            normaliseRange(dst, lo, hi, power);
        }
    }
}

}  // namespace corvane::dsp::synthesis
