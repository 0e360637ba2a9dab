// SPDX-License-Identifier: GPL-3.0-or-later
// The loop tests' independent model of what a looping source plays, frame by frame, and the
// cases both the mixer's and the engine's loop tests run through it.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "dsp/common/StemData.h"
#include "playback/LoopMixer.h"

namespace corvane::playback::looptest {

inline constexpr std::int64_t kFade = 240;  // 5 ms at 48 kHz

// Every sample is its frame index (negated on the right): the output says which frame played.
inline std::shared_ptr<const dsp::StemData> rampStem(std::int64_t frames) {
    auto stem = std::make_shared<dsp::StemData>();
    for (std::int64_t i = 0; i < frames; ++i) {
        stem->l.push_back(static_cast<float>(i));
        stem->r.push_back(-static_cast<float>(i));
    }
    return stem;
}

// What a looping source must play, frame by frame: the plain rule, kept apart from the engine's
// chunked mixing. `next` is the song frame it plays next. A fade begins when the source reaches
// the last kFade frames before B (or is found there when the loop is set), fades B's side out and
// the same frames a loop earlier in, and once begun runs to its end and wraps there.
struct Reference {
    std::int64_t next;
    std::int64_t length;
    Loop loop;
    bool finished = false;
    bool fading = false;
    std::int64_t fadeStart = 0, fadeEnd = 0, shift = 0;

    void follow() {
        const std::int64_t fade = std::min(kFade, (loop.end - loop.start) / 2);
        const bool loops = loop.enabled && loop.end <= length && !finished;
        if (!fading && loops && next >= loop.end - fade && next <= loop.end) {
            fading = true;
            fadeStart = next;
            fadeEnd = std::min(std::max(loop.end, next + fade), length);
            shift = loop.end - loop.start;
        }
        if (fading && next == fadeEnd) {
            fading = false;
            next -= shift;
        }
        if (next >= length) finished = true;
    }
    // The next output sample (left), and whether it lies in a crossfade.
    std::pair<float, bool> step() {
        follow();
        if (finished) return {0.0f, false};
        const std::int64_t s = next++;
        const bool faded = fading;
        float value = static_cast<float>(s);
        if (faded) {
            const double w = static_cast<double>(s - fadeStart + 1) / (fadeEnd - fadeStart + 1);
            const std::int64_t in = s - shift;
            value = static_cast<float>(s * (1 - w) + (in >= 0 ? in : 0) * w);
        }
        follow();
        return {value, faded};
    }
    // The playhead as the engine reports it.
    std::int64_t playhead() const { return std::min(next, length); }
};

// A run of a looping source: from song frame `from`, rendered in blocks of `block`, each step's
// loop set before its frames.
struct LoopCase {
    struct Step {
        int frames;
        Loop loop;
    };
    const char* name;
    std::int64_t from;
    int block;
    std::vector<Step> steps;
};

inline std::vector<LoopCase> loopCases() {
    const Loop on{3000, 8000, true};
    return {
        {"into the loop, several wraps", 0, 512, {{29000, on}}},
        {"started past B: plays on to the end", 9000, 300, {{12000, on}}},
        {"A within the fade: fades in from before the song", 0, 37, {{20000, {100, 6000, true}}}},
        {"A at 0, a short loop", 500, 256, {{12000, {0, 2400, true}}}},
        {"B at the song's end", 15000, 1000, {{30000, {12000, 20000, true}}}},
        {"on while playing, then off: plays on from where it is",
         0,
         500,
         {{2000, {}}, {15000, on}, {6000, {on.start, on.end, false}}, {9000, on}}},
        {"on inside the fade window, then off within the fade: it runs its length and wraps",
         7600,
         100,
         {{500, {}}, {100, on}, {15000, {on.start, on.end, false}}}},
        {"the region moves while playing",
         0,
         128,
         {{9000, on}, {9000, {1000, 4000, true}}, {9000, {5000, 15000, true}}}},
    };
}

}  // namespace corvane::playback::looptest
