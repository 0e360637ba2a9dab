# SPDX-License-Identifier: GPL-3.0-or-later
"""How a song-map benchmark song is played: chord symbols, the song's time map and swing, the
drums, bass, chord part and sung lead placed through that time map, rendered by fluidsynth (the
voice is the quality benchmark's synthesised singer), and the exact truth written beside the mix."""

import json
import os
import sys

import numpy as np
import scipy.io.wavfile as wavfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "quality"))
import instruments as quality  # noqa: E402  (Part, write_midi, sing, room, narrow)

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


def swung(pos, ratio):
    """An eighth-note swing: the off-beat eighth at x.5 moves to x + ratio (0.5 is straight)."""
    whole = np.floor(pos)
    frac = pos - whole
    return whole + (frac / 0.5 * ratio if frac < 0.5 else ratio + (frac - 0.5) / 0.5 * (1 - ratio))


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
    return quality.render(midi_parts, MIDI_BPM, rate, frames, work, name, reverb=True,
                          soundfont=soundfont, chorus=False)


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
