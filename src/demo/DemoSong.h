// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "dsp/common/StereoAudio.h"

namespace corvane::demo {

// The parts a demo song is mixed from, each as heard in the mix (mix = sum of the four).
struct DemoParts {
    dsp::StereoAudio drums;   // kick, snare, hi-hat pattern
    dsp::StereoAudio bass;    // bass line, all energy below 120 Hz
    dsp::StereoAudio chords;  // wide stereo chords (decorrelated left and right)
    dsp::StereoAudio lead;    // centred lead melody (identical in both channels)
};

// Synthesises a short song deterministically (same output for the same arguments on any machine
// with IEEE floats). Used as the CLI's demo, a test fixture and the benchmark's input.
// If `parts` is given it receives the four parts too. Any thread.
dsp::StereoAudio makeDemoSong(double seconds = 30.0, double sampleRate = 44100.0,
                              DemoParts* parts = nullptr);

}  // namespace corvane::demo
