// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstdint>

#include "playback/ClickTrack.h"
#include "playback/LoopMixer.h"

namespace corvane::playback {

// What the main thread wants played, as it hands it to the render thread and the stretch feeder:
// each reader copies it whole and goes on from its copy.
struct VoiceTable {
    std::array<Voice, kSources> voices{};
    bool stretched = false;
    // A new stream that continues what plays (a seek, a tempo step, stems made anew): what is
    // heard goes on until it has sound, then crossfades into it. Otherwise what plays fades out
    // at once (a stop, a play after one).
    bool seamless = false;
    Loop loop;
    // The click's beats (the engine keeps them alive) and its count-in; not part of a stream.
    const ClickBeat* clickBeats = nullptr;
    std::size_t clickBeatCount = 0;
    CountIn countIn;
    // The count-in before each loop pass: its beats and bar, its interval in song frames (as
    // planCountIn() gives it at tempo 1); no beats: the end crossfades into the start.
    CountIn passCountIn;
    std::uint64_t generation = 0;  // every change
    std::uint64_t stream = 0;      // changes of what is scheduled (not of start times)
};

}  // namespace corvane::playback
