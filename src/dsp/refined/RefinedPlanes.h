// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The planes the refined method's passes hand each other (RefinedSeparator.cpp), one row per
// main frame. Internal to the method.

#include <cstdint>

#include "dsp/common/FloatBuf.h"
#include "dsp/common/LongFrames.h"
#include "dsp/common/ShortFrames.h"
#include "dsp/common/StftFrames.h"
#include "dsp/refined/PitchTrack.h"

namespace corvane::dsp::refined {

// What the analysis hands on: magnitudes at the three frame lengths, and the main frame's mid
// spectrum up to `phaseBins` (vibratoTopBin()), whose phase tells how its partials move
// (VoiceVibrato.h).
struct Magnitudes {
    Magnitudes(std::int64_t frames, int phaseBinCount)
        : phaseBins(phaseBinCount),
          mid(frames * kBins),
          side(frames * kBins),
          shortMid(frames * kShortFramesPerFrame * kShortBins),
          longMid(frames * kLongBins),
          midRe(frames * phaseBins),
          midIm(frames * phaseBins) {}
    int phaseBins;
    FloatBuf mid, side, shortMid, longMid, midRe, midIm;
};

// The pitch candidates' saliences of every frame, the voice's and the bass line's.
struct Saliences {
    explicit Saliences(std::int64_t frames)
        : voice(frames * kPitchCandidates), bass(frames * kPitchCandidates) {}
    FloatBuf voice, bass;
};

// What the synthesis reads, frames * kBins each but the voice's per-frame values.
struct Cues {
    explicit Cues(std::int64_t frames)
        : centre(frames * kBins),
          harmonic(frames * kBins),
          percussive(frames * kBins),
          foreground(frames * kBins),
          cents(frames),
          bassCents(frames),
          gate(frames),
          open(frames),
          combOpen(frames),
          bassGuard(frames) {}
    FloatBuf centre, harmonic, percussive, foreground;
    FloatBuf cents;      // the pitch of each frame, cents above kPitchLowHz; -1 where none
    FloatBuf bassCents;  // the bass line's pitch, cents above kBassLowHz; -1 where none
    FloatBuf gate;       // the vibrato gate, held over kGateHoldHalf frames either side, floored
    FloatBuf open;       // the pitch-motion gate, held the same: 0 where no voice is heard
    FloatBuf combOpen;   // the same for the voice's comb under the cross-over: 0 on the bass line
    FloatBuf bassGuard;  // the vibrato gate, held, at the usual floor everywhere (StemCues)
};

}  // namespace corvane::dsp::refined
