# SPDX-License-Identifier: GPL-3.0-or-later
"""Makes the song-map benchmark's songs, whose beats, bars, key, chords and sections are exact.

Each song is written from a plan: a tempo (with an optional drift), 3/4 or 4/4, straight or swung,
an optional pickup or free-time intro, a key, sections of chord progressions whose changes fall on
and off the bar, and an arrangement (drums, bass, a chord part, a sung lead). Drums, bass and the
chord part are General MIDI rendered by fluidsynth with one of three soundfonts; the voice is
bench/quality/songs.py's synthesised singer. Every note is placed through the song's own time map,
so the truth (beat times, downbeats, chord spans) is known to the sample.

    songs.py OUT_FOLDER [NAME...]
writes OUT_FOLDER/<name>/mix.wav (32-bit float stereo), truth.json and title.txt. Deterministic;
a folder whose stamp matches this file and songs.py of the quality benchmark is kept as it is.
Songs whose name starts with "holdout-" were kept out of tuning, "fresh-" ones were written after it;
"check-" songs test behaviour (no steady beat, no harmony) rather than accuracy.
"""

import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import scipy.io.wavfile as wavfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "quality"))
import songs as quality  # noqa: E402  (Part, write_midi, sing, room, narrow: read-only helpers)

SOUNDFONTS = {
    "fluid": "/usr/share/sounds/sf2/FluidR3_GM.sf2",
    "musescore": "/usr/share/sounds/sf3/MuseScore_General.sf3",
    "timgm": "/usr/share/sounds/sf2/TimGM6mb.sf2",
}
MIDI_BPM = 120.0  # notes are placed in seconds and written at this tempo: MIDI beat = 2 s^-1 * t
DRUMS = 9
KICK, SNARE, RIM, HAT, PEDAL, OPEN, CRASH, RIDE, TOM_L, TOM_M, TOM_H, SHAKER = (
    36, 38, 37, 42, 44, 46, 49, 51, 45, 47, 50, 70)
NAMES = ("C", "Db", "D", "Eb", "E", "F", "F#", "G", "Ab", "A", "Bb", "B")

# Roman numerals: (semitones above the tonic, Harte quality, chord tones above the root).
QUALITY = {"maj": (0, 4, 7), "min": (0, 3, 7), "7": (0, 4, 7, 10), "maj7": (0, 4, 7, 11),
           "min7": (0, 3, 7, 10)}
DEGREES = {"I": 0, "bII": 1, "II": 2, "bIII": 3, "III": 4, "IV": 5, "#IV": 6, "V": 7, "bVI": 8,
           "VI": 9, "bVII": 10, "VII": 11}


def parse_roman(symbol):
    """'vi' -> (9, 'min'), 'V7' -> (7, '7'), 'ii7' -> (2, 'min7'), 'IVmaj7' -> (5, 'maj7'),
    'bVII' -> (10, 'maj')."""
    core, seventh = symbol, ""
    for suffix in ("maj7", "7"):
        if core.endswith(suffix):
            core, seventh = core[: -len(suffix)], suffix
            break
    flat = core.startswith("b")
    numeral = core[1:] if flat else core
    name = ("b" if flat else "") + numeral.upper()
    if name not in DEGREES:
        raise ValueError("bad roman numeral " + symbol)
    minor = numeral.islower()
    quality_name = {("", False): "maj", ("", True): "min", ("7", False): "7",
                    ("7", True): "min7", ("maj7", False): "maj7"}[(seventh, minor)]
    return DEGREES[name], quality_name


class TimeMap:
    """Beats (from the first groove beat, pickup included) to seconds: a free intro of `intro`
    seconds, then a tempo moving linearly from `bpm` to `bpm_end` over `total_beats`."""

    def __init__(self, bpm, bpm_end, total_beats, intro):
        self.bpm, self.bpm_end, self.total, self.intro = bpm, bpm_end, total_beats, intro

    def seconds(self, beat):
        # Integral of 60 / bpm(b) db with bpm linear in b.
        k = (self.bpm_end - self.bpm) / max(self.total, 1)
        if abs(k) < 1e-12:
            return self.intro + 60.0 * beat / self.bpm
        return self.intro + 60.0 / k * np.log((self.bpm + k * beat) / self.bpm)


def swung(pos, ratio):
    """An eighth-note swing: the off-beat eighth at x.5 moves to x + ratio (0.5 is straight)."""
    whole = np.floor(pos)
    frac = pos - whole
    return whole + (frac / 0.5 * ratio if frac < 0.5 else ratio + (frac - 0.5) / 0.5 * (1 - ratio))


# ---------------------------------------------------------------------------------------------
# Plans


def plan(name, bpm, meter, tonic, mode, sections, font, style, **extra):
    p = dict(name=name, bpm=bpm, bpm_end=bpm, meter=meter, tonic=tonic, mode=mode,
             sections=sections, font=font, style=style, swing=0.5, pickup=0, intro=0.0,
             chords="block", bass="root", lead=True, seed=abs(hash(name)) % 1000, rate=44100)
    p.update(extra)
    p["seed"] = int(hashlib.sha256(name.encode()).hexdigest()[:6], 16)
    return p


def bars(progression, count, meter):
    """`progression` (symbol, beats) repeated to fill `count` bars."""
    out, beats, i = [], 0.0, 0
    while beats < count * meter - 1e-9:
        sym, length = progression[i % len(progression)]
        length = min(length, count * meter - beats)
        out.append((sym, length))
        beats += length
        i += 1
    return out


# Section: (label, bars, progression as [(roman, beats)], lead sings?, dense arrangement?)
SONGS = [
    plan("pop", 100, 4, 60, "major", [
        ("intro", 2, [("I", 4), ("V", 4)], False, False),
        ("verse", 8, [("I", 4), ("vi", 4), ("IV", 4), ("V", 4)], True, False),
        ("chorus", 8, [("IV", 4), ("V", 4), ("iii", 4), ("vi", 4)], True, True),
        ("verse", 8, [("I", 4), ("vi", 4), ("IV", 4), ("V", 4)], True, False),
        ("chorus", 8, [("IV", 4), ("V", 4), ("iii", 4), ("vi", 4)], True, True),
    ], "fluid", "pop"),
    plan("ballad", 72, 4, 63, "major", [
        ("verse", 4, [("Imaj7", 4), ("vi7", 4), ("ii7", 4), ("V7", 4)], True, False),
        ("chorus", 4, [("IVmaj7", 4), ("V", 4), ("iii7", 4), ("vi", 2), ("V", 2)], True, True),
        ("verse", 4, [("Imaj7", 4), ("vi7", 4), ("ii7", 4), ("V7", 4)], True, False),
        ("chorus", 4, [("IVmaj7", 4), ("V", 4), ("iii7", 4), ("vi", 2), ("V", 2)], True, True),
    ], "musescore", "ballad", chords="arpeggio", bass="long"),
    plan("waltz", 138, 3, 67, "major", [
        ("verse", 8, [("I", 3), ("I", 3), ("V", 3), ("V", 3), ("IV", 3), ("I", 3), ("V", 6)], True, False),
        ("chorus", 8, [("IV", 3), ("I", 3), ("ii", 3), ("V", 3)], True, True),
        ("verse", 8, [("I", 3), ("I", 3), ("V", 3), ("V", 3), ("IV", 3), ("I", 3), ("V", 6)], True, False),
        ("chorus", 8, [("IV", 3), ("I", 3), ("ii", 3), ("V", 3)], True, True),
    ], "timgm", "waltz", chords="waltz", bass="waltz"),
    plan("rock", 140, 4, 52, "minor", [
        ("verse", 8, [("i", 4), ("bVI", 4), ("bIII", 4), ("bVII", 4)], True, False),
        ("chorus", 8, [("iv", 2), ("i", 2), ("v", 2), ("i", 2)], True, True),
        ("verse", 8, [("i", 4), ("bVI", 4), ("bIII", 4), ("bVII", 4)], True, False),
        ("chorus", 8, [("iv", 2), ("i", 2), ("v", 2), ("i", 2)], True, True),
    ], "fluid", "rock", chords="power", bass="eighths"),
    plan("shuffle", 96, 4, 57, "minor", [
        ("verse", 8, [("i", 4), ("iv", 4), ("i", 4), ("V7", 4)], True, False),
        ("chorus", 8, [("bVI", 4), ("bVII", 4), ("i", 4), ("V7", 4)], True, True),
        ("verse", 8, [("i", 4), ("iv", 4), ("i", 4), ("V7", 4)], True, False),
    ], "musescore", "shuffle", swing=0.667, bass="walking"),
    plan("punk", 168, 4, 62, "major", [
        ("verse", 8, [("I", 4), ("V", 4), ("vi", 4), ("IV", 4)], True, False),
        ("chorus", 8, [("IV", 4), ("I", 4), ("V", 4), ("V", 4)], True, True),
        ("verse", 8, [("I", 4), ("V", 4), ("vi", 4), ("IV", 4)], True, False),
        ("chorus", 8, [("IV", 4), ("I", 4), ("V", 4), ("V", 4)], True, True),
    ], "timgm", "punk", chords="power", bass="eighths"),
    plan("free-intro", 118, 4, 65, "minor", [
        ("verse", 8, [("i", 4), ("bVII", 4), ("bVI", 4), ("V", 4)], True, False),
        ("chorus", 8, [("iv", 4), ("i", 4), ("bVI", 4), ("V", 4)], True, True),
        ("verse", 8, [("i", 4), ("bVII", 4), ("bVI", 4), ("V", 4)], True, False),
    ], "fluid", "pop", intro=8.0, intro_chords=["i", "iv", "i"]),
    plan("pickup", 84, 4, 58, "major", [
        ("verse", 4, [("I", 4), ("IV", 4), ("ii", 4), ("V", 4)], True, False),
        ("chorus", 4, [("vi", 4), ("IV", 4), ("I", 4), ("V", 4)], True, True),
        ("verse", 4, [("I", 4), ("IV", 4), ("ii", 4), ("V", 4)], True, False),
        ("chorus", 4, [("vi", 4), ("IV", 4), ("I", 4), ("V", 4)], True, True),
    ], "musescore", "ballad", pickup=1, chords="strum"),
    plan("slow-three", 80, 3, 62, "minor", [
        ("verse", 8, [("i", 3), ("iv", 3), ("V", 3), ("i", 3)], True, False),
        ("chorus", 8, [("bVI", 3), ("bIII", 3), ("iv", 3), ("V", 3)], True, True),
    ], "fluid", "waltz", chords="arpeggio", bass="waltz"),
    plan("pushed", 120, 4, 69, "major", [
        ("verse", 8, [("I", 3.5), ("IV", 4), ("vi", 4), ("V", 4.5)], True, False),
        ("chorus", 8, [("IV", 4), ("V", 4), ("I", 4), ("I", 4)], True, True),
        ("verse", 8, [("I", 3.5), ("IV", 4), ("vi", 4), ("V", 4.5)], True, False),
        ("chorus", 8, [("IV", 4), ("V", 4), ("I", 4), ("I", 4)], True, True),
    ], "timgm", "pop", chords="strum"),
    # Held out while tuning.
    plan("holdout-funk", 108, 4, 55, "minor", [
        ("verse", 8, [("i7", 2), ("iv7", 2)], True, False),
        ("chorus", 8, [("bVI", 2), ("bVII", 2), ("i", 4)], True, True),
        ("verse", 8, [("i7", 2), ("iv7", 2)], True, False),
    ], "musescore", "funk", bass="eighths"),
    plan("holdout-waltz", 150, 3, 64, "major", [
        ("verse", 8, [("I", 6), ("vi", 6), ("ii", 3), ("V7", 3), ("I", 6)], True, False),
        ("chorus", 8, [("IV", 6), ("I", 6), ("V", 6), ("I", 6)], True, True),
        ("verse", 8, [("I", 6), ("vi", 6), ("ii", 3), ("V7", 3), ("I", 6)], True, False),
    ], "fluid", "waltz", chords="waltz", bass="waltz"),
    plan("holdout-ballad", 76, 4, 65, "major", [
        ("verse", 4, [("I", 4), ("iii", 4), ("IV", 4), ("V", 4)], True, False),
        ("chorus", 4, [("vi", 4), ("IV", 4), ("I", 2), ("V", 2), ("I", 4)], True, True),
        ("verse", 4, [("I", 4), ("iii", 4), ("IV", 4), ("V", 4)], True, False),
    ], "timgm", "ballad", pickup=2, chords="arpeggio", bass="long"),
    plan("holdout-electro", 126, 4, 59, "minor", [
        ("verse", 8, [("i", 2), ("bVI", 2), ("bIII", 2), ("bVII", 2)], True, False),
        ("chorus", 8, [("iv", 4), ("i", 4), ("bVI", 4), ("V", 4)], True, True),
        ("verse", 8, [("i", 2), ("bVI", 2), ("bIII", 2), ("bVII", 2)], True, False),
    ], "fluid", "electro", chords="pad", bass="eighths"),
    plan("holdout-swing", 160, 4, 60, "minor", [
        ("verse", 8, [("i", 4), ("iv", 4), ("V7", 4), ("i", 4)], True, False),
        ("chorus", 8, [("bVI", 4), ("bVII", 4), ("bIII", 4), ("V7", 4)], True, True),
        ("verse", 8, [("i", 4), ("iv", 4), ("V7", 4), ("i", 4)], True, False),
    ], "timgm", "shuffle", swing=0.64, bass="walking"),
    plan("holdout-drift", 92, 4, 56, "major", [
        ("verse", 8, [("I", 4), ("V", 4), ("vi", 4), ("IV", 4)], True, False),
        ("chorus", 8, [("IV", 4), ("V", 4), ("I", 4), ("I", 4)], True, True),
        ("verse", 8, [("I", 4), ("V", 4), ("vi", 4), ("IV", 4)], True, False),
    ], "musescore", "rock", bpm_end=97, intro=6.0, intro_chords=["I", "IV"], chords="strum"),
    # Written after the tuning was done and looked at once, to check the held-out songs' figures
    # on music nothing was changed for.
    plan("fresh-pop", 132, 4, 69, "major", [
        ("verse", 8, [("I", 4), ("iii", 4), ("vi", 4), ("IV", 4)], True, False),
        ("chorus", 8, [("IV", 2), ("V", 2), ("I", 4)], True, True),
        ("verse", 8, [("I", 4), ("iii", 4), ("vi", 4), ("IV", 4)], True, False),
    ], "musescore", "pop", chords="strum", bass="eighths"),
    plan("fresh-waltz", 100, 3, 65, "major", [
        ("verse", 8, [("I", 3), ("IV", 3), ("V7", 3), ("I", 3)], True, False),
        ("chorus", 8, [("vi", 3), ("ii", 3), ("V", 3), ("I", 3)], True, True),
    ], "timgm", "waltz", chords="arpeggio", bass="waltz"),
    plan("fresh-minor-ballad", 88, 4, 61, "minor", [
        ("verse", 4, [("i", 4), ("bVI", 4), ("bIII", 4), ("bVII", 4)], True, False),
        ("chorus", 4, [("iv", 4), ("i", 4), ("V", 4), ("V", 4)], True, True),
        ("verse", 4, [("i", 4), ("bVI", 4), ("bIII", 4), ("bVII", 4)], True, False),
    ], "fluid", "ballad", pickup=1, chords="arpeggio", bass="long"),
    plan("fresh-shuffle", 112, 4, 58, "major", [
        ("verse", 8, [("I", 4), ("IV", 4), ("I", 4), ("V7", 4)], True, False),
        ("chorus", 8, [("IV", 4), ("I", 4), ("ii", 2), ("V7", 2), ("I", 4)], True, True),
    ], "fluid", "shuffle", swing=0.66, bass="walking"),
    # Behaviour checks: a free-time pad with no beat, and drums with no harmony.
    plan("check-pad", 60, 4, 62, "major", [
        ("verse", 8, [("I", 8), ("IV", 8), ("vi", 8), ("V", 8)], False, False),
    ], "fluid", "none", chords="pad", bass="none", lead=False, rubato=True),
    plan("check-drums", 110, 4, 60, "major", [
        ("verse", 12, [("N", 4)], False, False),
    ], "fluid", "rock", chords="none", bass="none", lead=False),
]


# ---------------------------------------------------------------------------------------------
# Parts


def drums_bar(part, rng, place, beat0, meter, style, fill):
    """One bar of drums from beat `beat0`; `place(beat)` gives seconds (swing and time map)."""
    def hit(x, key, vel, spread=8):
        part.note(place(beat0 + x) + rng.normal(0, 0.004), 0.1, key,
                  vel + rng.integers(-spread, spread + 1))
    if style == "none":
        return
    if meter == 3:
        hit(0, KICK, 100)
        for x in (1, 2):
            hit(x, SNARE if style == "waltz" else RIM, 70)
        for x in np.arange(0, 3, 0.5):
            hit(x, HAT, 60 if x % 1 else 75)
    elif style in ("pop", "rock", "punk"):
        kicks = {"pop": (0, 2, 2.5), "rock": (0, 1.5, 2) if int(beat0) % 8 else (0, 2, 2.75),
                 "punk": (0, 1.5, 2, 2.5)}[style]
        for x in kicks:
            hit(x, KICK, 105)
        for x in (1, 3):
            hit(x, SNARE, 110)
        for x in np.arange(0, 4, 0.5):
            hit(x, RIDE if style == "rock" else HAT, 85 if x % 1 == 0 else 65)
    elif style == "ballad":
        hit(0, KICK, 90)
        hit(2.5, KICK, 80)
        hit(1, RIM, 70)
        hit(3, SNARE, 85)
        for x in np.arange(0, 4, 0.5):
            hit(x, HAT if x % 1 else PEDAL, 55 if x % 1 else 65)
    elif style == "shuffle":
        for x in (0, 2):
            hit(x, KICK, 100)
        for x in (1, 3):
            hit(x, SNARE, 105)
        for x in np.arange(0, 4, 0.5):
            hit(x, RIDE, 85 if x % 1 == 0 else 70)
    elif style == "funk":
        for x in (0, 0.75, 2.5):
            hit(x, KICK, 100)
        for x in (1, 3):
            hit(x, SNARE, 110)
        for x in (1.75, 3.5):
            hit(x, SNARE, 40)
        for x in np.arange(0, 4, 0.25):
            hit(x, OPEN if x == 3.5 else HAT, 85 if x % 0.5 == 0 else 55)
    elif style == "electro":
        for x in range(4):
            hit(x, KICK, 115, 2)
        for x in (1, 3):
            hit(x, 39, 100, 4)
        for x in np.arange(0.5, 4, 1.0):
            hit(x, OPEN, 80, 4)
        for x in np.arange(0, 4, 0.25):
            hit(x, SHAKER, 55, 6)
    if fill and meter == 4 and style not in ("electro",):
        for i, x in enumerate(np.arange(3, 4, 0.25)):
            hit(x, (TOM_H, TOM_H, TOM_M, TOM_L)[i], 95)


def chord_keys(p, symbol):
    """The chord's MIDI keys in a middle register and its Harte label ("N" for none)."""
    if symbol == "N":
        return [], None, "N"
    degree, qual = parse_roman(symbol)
    root = (p["tonic"] + degree) % 12
    base = 48 + root if 48 + root >= 52 else 60 + root  # root between E3 and D#4
    keys = [base + i for i in QUALITY[qual]]
    return keys, root, NAMES[root] + ":" + qual


def place_chord(p, rng, parts, place, start, length, symbol, dense, meter):
    """The chord part and bass for one chord from beat `start` for `length` beats."""
    keys, root, _ = chord_keys(p, symbol)
    if not keys:
        return
    chords, bass = parts["other"], parts["bass"]
    end = start + length
    b0 = 28 + (root - 4) % 12  # bass root between E1 and D#2
    t = lambda beat: place(beat) + rng.normal(0, 0.003)
    dur = lambda a, b: max(0.05, place(b) - place(a))
    style = p["chords"]
    if style == "block" or style == "pad":
        for k in keys:
            chords.note(place(start), dur(start, end) * 0.97, k, 70 if dense else 60)
        if dense and style == "block":
            for x in np.arange(start, end, 1.0):
                for k in keys:
                    chords.note(t(x), dur(x, x + 0.5), k + 12, 55)
    elif style == "arpeggio":
        order = [0, 1, 2, len(keys) - 1, 2, 1]
        for i, x in enumerate(np.arange(start, end, 0.5)):
            chords.note(t(x), dur(x, x + 1.0), keys[order[i % len(order)]], 65)
        chords.note(place(start), dur(start, end), keys[0] - 12, 60)
    elif style == "strum":
        for x in np.arange(start, end, 1.0 if not dense else 0.5):
            for i, k in enumerate(keys + [keys[0] + 12]):
                chords.note(place(x) + 0.01 * i, dur(x, min(end, x + 1.0)) * 0.9, k,
                            62 + rng.integers(-6, 7))
    elif style == "power":
        r = keys[0] - 12 if keys[0] - 12 >= 40 else keys[0]
        for x in np.arange(start, end, 0.5):
            for k in (r, r + 7, r + 12):
                chords.note(t(x), dur(x, x + 0.45), k, 95 + rng.integers(-8, 8))
        if dense:
            for k in keys:
                parts["organ"].note(place(start), dur(start, end), k + 12, 60)
    elif style == "waltz":
        for x in np.arange(start, end, 1.0):
            if (x - start) % meter != 0:
                for k in keys:
                    chords.note(t(x), dur(x, x + 0.8), k, 62)
    # Bass.
    bstyle = p["bass"]
    if bstyle == "none":
        return
    if bstyle == "root":
        for x in np.arange(start, end, 2.0):
            bass.note(t(x), dur(x, min(end, x + 2.0)) * 0.9, b0, 95)
    elif bstyle == "long":
        bass.note(t(start), dur(start, end) * 0.95, b0, 90)
    elif bstyle == "eighths":
        for x in np.arange(start, end, 0.5):
            bass.note(t(x), dur(x, x + 0.45), b0, 100 if x % 1 == 0 else 85)
    elif bstyle == "waltz":
        for x in np.arange(start, end, 1.0):
            if (x - start) % meter == 0:
                bass.note(t(x), dur(x, x + 0.9), b0 if (x - start) % (2 * meter) == 0 else b0 + 7, 95)
    elif bstyle == "walking":
        third = 3 if parse_roman(symbol)[1].startswith("min") else 4
        steps = [0, third, 7, 5 if third == 3 else 9]  # chord tones, then a step down to the fifth
        for i, x in enumerate(np.arange(start, end, 1.0)):
            bass.note(t(x), dur(x, x + 0.9), b0 + steps[i % 4], 92)


def lead_line(p, rng, place, start, end, symbols):
    """A sung phrase per two bars over [start, end) beats, landing on chord tones."""
    scale = (0, 2, 4, 5, 7, 9, 11) if p["mode"] == "major" else (0, 2, 3, 5, 7, 8, 10)
    keys = [p["tonic"] + 12 * o + s for o in range(-1, 2) for s in scale]
    keys = [k for k in keys if 57 <= k <= 76]
    cur = len(keys) // 2
    notes, beat = [], start
    meter = p["meter"]
    while beat < end - 1:
        phrase_end = min(end, beat + 2 * meter) - 1.0
        x = beat + rng.choice((0.0, 0.5))
        while x < phrase_end:
            length = float(rng.choice((0.5, 1.0, 1.0, 1.5, 2.0)))
            length = min(length, phrase_end - x)
            if length <= 0.2:
                break
            cur = int(np.clip(cur + rng.choice((-2, -1, -1, 1, 1, 2)), 0, len(keys) - 1))
            chord = symbols(x)
            if length >= 1.0 and chord:
                near = [i for i, k in enumerate(keys) if k % 12 in {c % 12 for c in chord}]
                if near:
                    cur = min(near, key=lambda i: abs(i - cur))
            onset = rng.choice(("", "t", "s", "h", "k", ""))
            notes.append((place(x), (place(x + length) - place(x)) * 0.9, keys[cur], onset))
            x += length
        beat += 2 * meter
    return notes


def render(parts, rate, frames, work, name, soundfont):
    """Renders parts (notes in seconds) with fluidsynth and `soundfont`: (frames, 2) float64."""
    midi_parts = []
    for part in parts:
        clone = quality.Part(part.channel, part.program, part.pan, part.volume, part.reverb, part.chorus)
        clone.notes = [(s * MIDI_BPM / 60, l * MIDI_BPM / 60, k, v) for s, l, k, v in part.notes]
        midi_parts.append(clone)
    mid = os.path.join(work, name + ".mid")
    wav = os.path.join(work, name + ".wav")
    quality.write_midi(mid, MIDI_BPM, midi_parts, frames / rate * MIDI_BPM / 60)
    cmd = ["fluidsynth", "-ni", "-q", "-g", "0.5", "-O", "float", "-T", "wav", "-F", wav,
           "-r", str(rate), "-R", "1", "-C", "0", soundfont, mid]
    result = subprocess.run(cmd, capture_output=True, text=True)
    if result.returncode != 0 or not os.path.exists(wav):
        raise RuntimeError("fluidsynth failed on %s: %s" % (name, result.stderr.strip()[-200:]))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", wavfile.WavFileWarning)
        _, x = wavfile.read(wav)
    out = np.zeros((frames, 2))
    n = min(frames, len(x))
    out[:n] = x[:n]
    return out


# ---------------------------------------------------------------------------------------------
# One song


def make(p, out_dir, work):
    rng = np.random.default_rng(p["seed"])
    rate, meter = p["rate"], p["meter"]
    # The chord list in beats from the first groove beat (the pickup's beats come first).
    chords = []  # (start beat, length, symbol)
    sections = []  # (start beat, end beat, label)
    at = float(p["pickup"])
    for label, count, prog, _, _ in p["sections"]:
        start = at
        for sym, length in bars(prog, count, meter):
            chords.append((at, length, sym))
            at += length
        sections.append((start, at, label))
    total_beats = at
    tm = TimeMap(p["bpm"], p["bpm_end"], total_beats, p["intro"] + 0.3)
    place = (lambda b: tm.seconds(swung(b, p["swing"])))
    end_seconds = tm.seconds(total_beats) + 2.0
    frames = int(end_seconds * rate)

    parts = {"drums": quality.Part(DRUMS, 0, reverb=30), "bass": quality.Part(0, 33 if p["font"] != "timgm" else 34),
             "other": quality.Part(1, {"block": 0, "arpeggio": 0, "strum": 25, "power": 29,
                                        "waltz": 4, "pad": 89, "none": 0}[p["chords"]], pan=40),
             "organ": quality.Part(2, 16, pan=90, volume=80)}
    if p["chords"] == "pad":
        parts["other"].reverb = 80

    # Free intro: the pad holds a few chords, freely, no drums.
    intro_chords = []
    if p["intro"] > 0:
        syms = p.get("intro_chords", ["I"])
        span = p["intro"] / len(syms)
        pad = quality.Part(3, 89, volume=90, reverb=80)
        parts["pad"] = pad
        for i, sym in enumerate(syms):
            keys, _, label = chord_keys(p, sym)
            s = i * span + rng.uniform(-0.2, 0.2) * (i > 0)
            for k in keys:
                pad.note(max(0.0, s), span + 0.3, k, 75)
            intro_chords.append((max(0.0, s), label))

    # Groove.
    bar_starts = np.arange(p["pickup"], total_beats, meter)
    if p["pickup"]:
        drums_bar(parts["drums"], rng, place, p["pickup"] - meter, meter, "none", True)
        for i, x in enumerate(np.arange(0, p["pickup"], 0.5)):
            parts["drums"].note(place(x), 0.1, (TOM_H, TOM_M, TOM_L, TOM_L)[i % 4], 90)
    section_of = lambda b: next((s for s in sections if s[0] <= b < s[1]), sections[-1])
    for i, b in enumerate(bar_starts):
        dense = next(sec for sec in p["sections"] if sec[0] == section_of(b)[2])[4]
        fill = (i % 8 == 7) or (b + meter >= section_of(b)[1] - 1e-9 and i % 4 == 3)
        drums_bar(parts["drums"], rng, place, b, meter, p["style"], fill)
    if p.get("rubato"):
        # No beat at all: chords start at irregular times.
        times = np.cumsum(rng.uniform(3.0, 6.5, len(chords) + 1))
        total = times[-1]
        place = lambda b: float(np.interp(b, [c[0] for c in chords] + [total_beats], list(times[:len(chords)] - times[0] + 0.5) + [total - times[0] + 0.5]))
        end_seconds = place(total_beats) + 3.0
        frames = int(end_seconds * rate)
    for start, length, sym in chords:
        dense = next(sec for sec in p["sections"] if sec[0] == section_of(start)[2])[4]
        place_chord(p, rng, parts, place, start, length, sym, dense, meter)

    stems = {}
    if p["style"] != "none":
        stems["drums"] = render([parts["drums"]], rate, frames, work, "drums", SOUNDFONTS[p["font"]])
    if p["bass"] != "none":
        stems["bass"] = render([parts["bass"]], rate, frames, work, "bass", SOUNDFONTS[p["font"]])
    others = [parts["other"], parts["organ"]] + ([parts["pad"]] if "pad" in parts else [])
    if any(part.notes for part in others):
        stems["other"] = render(others, rate, frames, work, "other", SOUNDFONTS[p["font"]])
    if p["lead"]:
        def chord_at(beat):
            for s, l, sym in chords:
                if s <= beat < s + l:
                    return chord_keys(p, sym)[0]
            return None
        notes = []
        for (start, end, label), sec in zip(sections, p["sections"]):
            if sec[3]:
                notes += lead_line(p, rng, place, start, end, chord_at)
        if notes:
            voice = quality.sing(notes, rate, frames, rng, formant_shift=rng.uniform(0.92, 1.12))
            stems["vocals"] = quality.room(np.stack([voice, voice], axis=1), rate, rng, 0.8, 0.2)
    levels = {"vocals": 1.0, "drums": 0.8, "bass": 0.65, "other": 0.8}
    mix = np.zeros((frames, 2))
    for s, x in stems.items():
        mix += x * levels[s] / (np.sqrt(np.mean(x ** 2)) + 1e-12)
    mix *= 10 ** (-1 / 20) / max(np.max(np.abs(mix)), 1e-9)
    wavfile.write(os.path.join(out_dir, "mix.wav"), rate, mix.astype(np.float32))

    # Truth.
    beats = []
    if p["style"] != "none" and not p.get("rubato"):
        for b in range(int(round(total_beats))):
            pos = (b - p["pickup"]) % meter
            bar = (b - p["pickup"]) // meter + (2 if p["pickup"] else 1)
            beats.append({"time": round(tm.seconds(b), 6), "bar": int(bar), "beat": int(pos + 1)})
    truth_chords = []
    for i, (s, label) in enumerate(intro_chords):
        e = intro_chords[i + 1][0] if i + 1 < len(intro_chords) else tm.seconds(0)
        truth_chords.append({"start": round(s, 6), "end": round(e, 6), "label": label})
    for start, length, sym in chords:
        truth_chords.append({"start": round(place(start), 6), "end": round(place(start + length), 6),
                             "label": chord_keys(p, sym)[2]})
    if truth_chords and truth_chords[0]["start"] > 0:
        truth_chords.insert(0, {"start": 0.0, "end": truth_chords[0]["start"], "label": "N"})
    last = truth_chords[-1]["end"] if truth_chords else 0.0
    truth_chords.append({"start": last, "end": round(end_seconds, 6), "label": "N"})
    truth_sections = []
    if p["intro"] > 0:
        truth_sections.append({"start": 0.0, "end": round(tm.seconds(0), 6), "label": "intro"})
    for s, e, label in sections:
        truth_sections.append({"start": round(place(s), 6), "end": round(place(e), 6), "label": label})
    truth_sections[0]["start"] = 0.0
    truth_sections.append({"start": truth_sections[-1]["end"], "end": round(end_seconds, 6),
                           "label": "end"})
    key = NAMES[p["tonic"] % 12] + " " + p["mode"] if any(c["label"] != "N" for c in truth_chords) else None
    truth = {"tempo_bpm": None if not beats else 0.5 * (p["bpm"] + p["bpm_end"]),
             "beats_per_bar": meter if beats else None, "beats": beats, "key": key,
             "chords": truth_chords, "sections": truth_sections}
    with open(os.path.join(out_dir, "truth.json"), "w") as f:
        json.dump(truth, f, indent=1)
    with open(os.path.join(out_dir, "title.txt"), "w") as f:
        f.write("%s: %s bpm, %d/4, %s, %s, %s\n" % (p["name"], p["bpm"] if p["bpm_end"] == p["bpm"] else "%d-%d" % (p["bpm"], p["bpm_end"]),
                                                   meter, key or "no key", p["style"], p["font"]))


def make_song(p, out, stamp):
    folder = os.path.join(out, p["name"])
    stamp_path = os.path.join(folder, "stamp")
    if os.path.exists(stamp_path) and open(stamp_path).read() == stamp:
        return
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    with tempfile.TemporaryDirectory() as work:
        make(p, folder, work)
    with open(stamp_path, "w") as f:
        f.write(stamp)


def main():
    if len(sys.argv) < 2:
        sys.exit("usage: songs.py OUT_FOLDER [NAME...]")
    out = sys.argv[1]
    wanted = sys.argv[2:]
    for font in SOUNDFONTS.values():
        if not os.path.exists(font):
            sys.exit("songs.py: %s is missing (run scripts/deps quality)" % font)
    if shutil.which("fluidsynth") is None:
        sys.exit("songs.py: fluidsynth is missing (run scripts/deps quality)")
    digest = hashlib.sha256()
    for path in (__file__, quality.__file__):
        with open(path, "rb") as f:
            digest.update(f.read())
    stamp = digest.hexdigest()
    os.makedirs(out, exist_ok=True)
    chosen = [p for p in SONGS if not wanted or p["name"] in wanted]
    with ThreadPoolExecutor(max_workers=2) as pool:
        for future in [pool.submit(make_song, p, out, stamp) for p in chosen]:
            try:
                future.result()
            except (OSError, RuntimeError, ValueError) as error:
                sys.exit("songs.py: cannot make the songs: %s" % error)


if __name__ == "__main__":
    main()
