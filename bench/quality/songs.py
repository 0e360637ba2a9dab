# SPDX-License-Identifier: GPL-3.0-or-later
"""Makes the quality benchmark's multitrack songs, with exact ground truth.

Each song is four stems (vocals, drums, bass, other) that sum exactly to its mix. Drums, bass and
other are General MIDI parts written here and rendered one stem at a time by fluidsynth with one of
three General MIDI soundfonts (FluidR3, MuseScore General, TimGM6mb: the same notes through another
soundfont move separation scores by several dB, so a method tuned on one must hold on the others);
the lead voice is synthesised in numpy (a harmonic glottal source shaped by moving vowel formants,
with vibrato, glides and breath), since no soundfont sings words. A song's mix may go through a
bus compressor or limiter: its gain curve, taken from the mix, scales every stem alike, so the
stems still sum exactly to the mix.

    songs.py OUT_FOLDER [CHECKS_FOLDER]
writes OUT_FOLDER/<n>/{mix,vocals,drums,bass,other}.wav (32-bit float stereo) and title.txt; a
song without a singer has a silent vocals stem. With CHECKS_FOLDER it also writes the checks that
need no multitrack, each CHECKS_FOLDER/<name>/mix.wav with what it is scored against:
  instrumental-<n>   a song's backing alone (drums, bass, other): whatever lands in the vocals
                     stem is wrong, so its level under the mix is the measure (lower is better);
  voice-<kind>       a real spoken voice (the ALSA speech prompts, from alsa-utils) over a song's
                     backing, voice.wav beside it: the share of the voice that lands in vocals.
                     "low" is the same speech a fifth lower (Rubber Band, formants kept), a low
                     male range.
Everything is deterministic (fixed seeds). A folder whose stamp matches this file's contents is
kept as it is, so repeated benchmark runs do not render again.
"""

import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import scipy.io.wavfile as wavfile
import scipy.signal as signal

SOUNDFONT = "/usr/share/sounds/sf2/FluidR3_GM.sf2"
MUSESCORE = "/usr/share/sounds/sf3/MuseScore_General.sf3"
TIMGM = "/usr/share/sounds/sf2/TimGM6mb.sf2"
SOUNDFONTS = (SOUNDFONT, MUSESCORE, TIMGM)
SPEECH = "/usr/share/sounds/alsa"  # alsa-utils' spoken channel names, 48 kHz mono
STEMS = ("vocals", "drums", "bass", "other")
SECONDS = 32.0  # rendered length; the scorer uses the first 30 s, the rest lets tails settle
PPQ = 480  # MIDI ticks per beat
DRUM_CHANNEL = 9  # General MIDI channel 10

# General MIDI percussion keys.
KICK, SNARE, RIM, CLAP, HAT, PEDAL_HAT, OPEN_HAT, CRASH, RIDE = 36, 38, 37, 39, 42, 44, 46, 49, 51
TOM_LO, TOM_MID, TOM_HI, SHAKER, TAMBOURINE = 45, 47, 50, 70, 54

# ---------------------------------------------------------------------------------------------
# Standard MIDI files


def _vlq(n):
    """MIDI variable-length quantity: 7 bits per byte, high bit set on all but the last."""
    assert n >= 0
    out = [n & 0x7F]
    n >>= 7
    while n:
        out.append((n & 0x7F) | 0x80)
        n >>= 7
    return bytes(reversed(out))


class Part:
    """One instrument on one MIDI channel: notes in beats, a program, a pan, optional bends."""

    def __init__(self, channel, program, pan=64, volume=100, reverb=40, chorus=0):
        self.channel, self.program = channel, program
        self.pan, self.volume, self.reverb, self.chorus = pan, volume, reverb, chorus
        self.notes = []  # (start beat, length in beats, key, velocity)
        self.bends = []  # (beat, -1..1 of the default +-2 semitone range)

    def note(self, start, length, key, velocity):
        self.notes.append((start, length, int(key), int(np.clip(velocity, 1, 127))))


def write_midi(path, bpm, parts, end_beat):
    """A format-0 Standard MIDI File holding `parts`; the track ends at `end_beat`."""
    events = [(0, 0, b"\xff\x51\x03" + int(round(60e6 / bpm)).to_bytes(3, "big"))]
    for p in parts:
        c = p.channel
        if c != DRUM_CHANNEL or p.program:
            events.append((0, 1, bytes([0xC0 | c, p.program])))
        for cc, value in ((7, p.volume), (10, p.pan), (91, p.reverb), (93, p.chorus)):
            events.append((0, 1, bytes([0xB0 | c, cc, value])))
        for start, length, key, velocity in p.notes:
            on = max(0, int(round(start * PPQ)))  # humanised timing may fall before zero
            off = max(on + 1, int(round((start + length) * PPQ)))
            events.append((on, 3, bytes([0x90 | c, key, velocity])))
            events.append((off, 2, bytes([0x80 | c, key, 0])))  # offs before ons at one tick
        for beat, amount in p.bends:
            value = int(np.clip(8192 + amount * 8191, 0, 16383))
            tick = max(0, int(round(beat * PPQ)))
            events.append((tick, 1, bytes([0xE0 | c, value & 0x7F, value >> 7])))
    events.sort(key=lambda e: (e[0], e[1]))
    track, now = bytearray(), 0
    for tick, _, data in events:
        track += _vlq(tick - now) + data
        now = tick
    track += _vlq(max(0, int(end_beat * PPQ) - now)) + b"\xff\x2f\x00"
    with open(path, "wb") as f:
        f.write(b"MThd" + struct.pack(">IHHH", 6, 0, 1, PPQ))
        f.write(b"MTrk" + struct.pack(">I", len(track)) + track)


# The soundfont of the song being made on this thread (songs are made two at a time).
_current = threading.local()


def render(parts, bpm, rate, frames, work, name, reverb=True, soundfont=None):
    """Renders `parts` with fluidsynth; (frames, 2) float64, cut or padded to `frames`. The
    soundfont is `soundfont`, else the one of the song being made, else FluidR3."""
    soundfont = soundfont or getattr(_current, "soundfont", SOUNDFONT)
    mid = os.path.join(work, name + ".mid")
    wav = os.path.join(work, name + ".wav")
    write_midi(mid, bpm, parts, frames / rate * bpm / 60.0)
    cmd = ["fluidsynth", "-ni", "-q", "-g", "0.5", "-O", "float", "-T", "wav", "-F", wav,
           "-r", str(rate), "-R", "1" if reverb else "0", "-C", "1" if reverb else "0",
           soundfont, mid]
    result = subprocess.run(cmd, capture_output=True, text=True)
    if result.returncode != 0 or not os.path.exists(wav):
        raise RuntimeError("fluidsynth failed on %s: %s" % (name, result.stderr.strip()[-200:]))
    with warnings.catch_warnings():  # fluidsynth adds a LIST chunk scipy does not read
        warnings.simplefilter("ignore", wavfile.WavFileWarning)
        _, x = wavfile.read(wav)
    out = np.zeros((frames, 2))
    n = min(frames, len(x))
    out[:n] = x[:n]
    return out


# ---------------------------------------------------------------------------------------------
# Harmony and parts

MAJOR = (0, 2, 4, 5, 7, 9, 11)
MINOR = (0, 2, 3, 5, 7, 8, 10)


def chord_keys(tonic, scale, degree, size=3):
    """Keys of the chord on scale `degree` (0-based), stacked in thirds, root first."""
    keys = []
    for i in range(size):
        d = degree + 2 * i
        keys.append(tonic + scale[d % 7] + 12 * (d // 7))
    return keys


def humanise(rng, beat, amount=0.01):
    return beat + rng.normal(0.0, amount)


def drum_bar(part, rng, bar, style, beats=4, fill=False):
    """One bar of a drum pattern in `style`, starting at beat bar*beats."""
    b0 = bar * beats
    h = lambda x, a=0.006: max(0.0, humanise(rng, b0 + x, a))
    v = lambda base, spread=8: base + rng.integers(-spread, spread + 1)
    if style == "ballad":
        for x in (0, 2.5):
            part.note(h(x), 0.25, KICK, v(90))
        part.note(h(1), 0.25, RIM if bar % 4 != 3 else SNARE, v(70))
        part.note(h(3), 0.25, SNARE, v(80))
        for x in np.arange(0, beats, 0.5):
            part.note(h(x), 0.25, HAT if x % 1 else PEDAL_HAT, v(55 if x % 1 else 65))
    elif style == "rock":
        for x in (0, 1.5, 2, 2.75) if bar % 2 else (0, 2, 2.5):
            part.note(h(x), 0.25, KICK, v(105))
        for x in (1, 3):
            part.note(h(x), 0.25, SNARE, v(112))
        for x in np.arange(0, beats, 0.5):
            part.note(h(x), 0.25, RIDE if bar >= 8 else HAT, v(80 if x % 1 == 0 else 65))
        if bar % 8 == 0:
            part.note(h(0), 1.0, CRASH, v(105))
    elif style == "funk":
        for x in (0, 0.75, 2.5, 3.25) if bar % 2 else (0, 1.75, 2.5):
            part.note(h(x, 0.004), 0.2, KICK, v(100))
        for x in (1, 3):
            part.note(h(x, 0.004), 0.2, SNARE, v(110))
        for x in (1.75, 3.5, 3.75):
            part.note(h(x, 0.004), 0.1, SNARE, v(40, 6))  # ghost notes
        for x in np.arange(0, beats, 0.25):
            key = OPEN_HAT if x == 3.5 else HAT
            part.note(h(x, 0.004), 0.2, key, v(85 if x % 0.5 == 0 else 55))
    elif style == "electronic":
        for x in range(beats):
            part.note(h(x, 0.001), 0.25, KICK, v(115, 2))
        for x in (1, 3):
            part.note(h(x, 0.001), 0.25, CLAP, v(100, 4))
        for x in np.arange(0.5, beats, 1.0):
            part.note(h(x, 0.001), 0.25, OPEN_HAT, v(80, 4))
        for x in np.arange(0, beats, 0.25):
            part.note(h(x, 0.002), 0.1, SHAKER, v(60 if x % 0.5 else 45, 6))
    elif style == "punk":
        for x in (0, 1.5, 2, 2.5):
            part.note(h(x, 0.004), 0.25, KICK, v(110))
        for x in (1, 3):
            part.note(h(x, 0.004), 0.25, SNARE, v(115))
        for x in np.arange(0, beats, 0.5):
            part.note(h(x, 0.004), 0.25, CRASH if x == 0 and bar % 4 == 0 else OPEN_HAT
                      if bar >= 8 else HAT, v(90 if x % 1 == 0 else 75))
    elif style == "acoustic":
        for x in (0, 2.5) if bar % 2 else (0, 2):
            part.note(h(x), 0.25, KICK, v(80))
        for x in (1, 3):
            part.note(h(x), 0.25, SNARE, v(70))
        for x in np.arange(0, beats, 0.5):
            part.note(h(x), 0.25, TAMBOURINE if x % 1 else HAT, v(50))
    elif style == "waltz":  # 3/4: kick on one, brushed snare on two and three
        part.note(h(0), 0.25, KICK, v(75))
        for x in (1, 2):
            part.note(h(x), 0.25, SNARE, v(45))
        for x in np.arange(0, beats, 0.5):
            part.note(h(x), 0.25, RIDE, v(50))
    elif style == "hiphop":  # half-time feel, a kick pushed late, sixteenth hats
        for x in (0, 0.75, 2.25) if bar % 2 else (0, 1.75, 2.5):
            part.note(h(x, 0.008), 0.25, KICK, v(110))
        part.note(h(2, 0.008), 0.25, SNARE, v(105))
        for x in np.arange(0, beats, 0.25):
            part.note(h(x, 0.008), 0.1, HAT, v(70 if x % 0.5 == 0 else 45))
    if fill:
        for i, x in enumerate(np.arange(beats - 1, beats, 0.25)):
            part.note(h(x), 0.25, (TOM_HI, TOM_HI, TOM_MID, TOM_LO)[i], v(95))


# ---------------------------------------------------------------------------------------------
# The sung lead

# Formant centres (Hz), bandwidths (Hz) and levels (dB) for five vowels, roughly a mid voice.
VOWELS = {
    "a": ((800, 1150, 2900, 3900, 4950), (80, 90, 120, 130, 140), (0, -6, -32, -20, -50)),
    "e": ((400, 1600, 2700, 3300, 4950), (60, 80, 120, 150, 200), (0, -24, -30, -35, -60)),
    "i": ((350, 1700, 2700, 3700, 4950), (50, 100, 120, 150, 200), (0, -20, -30, -36, -60)),
    "o": ((450, 800, 2830, 3500, 4950), (70, 80, 100, 130, 135), (0, -11, -22, -22, -50)),
    "u": ((325, 700, 2530, 3500, 4950), (50, 60, 170, 180, 200), (0, -16, -35, -40, -60)),
}
VOWEL_NAMES = tuple(VOWELS)


def sing(notes, rate, frames, rng, formant_shift=1.0, breathiness=0.03):
    """A sung line: `notes` are (start s, length s, MIDI key, syllable onset kind) in time order.

    The source is additive (one sine per harmonic, so it is band-limited at any pitch); each
    harmonic's level follows a -6 dB/octave tilt times the vowel's formant envelope at that
    harmonic's frequency, evaluated at a 1 kHz control rate. Pitch glides between notes close
    together (portamento), scoops into some notes, and has 5-6 Hz vibrato that grows in after the
    onset, plus slow drift. Returns mono float64.
    """
    control_rate = 1000
    nc = int(frames / rate * control_rate) + 2
    tc = np.arange(nc) / control_rate
    pitch = np.full(nc, float(notes[0][2]))
    gate = np.zeros(nc)
    onset_age = np.full(nc, 10.0)  # seconds since the current note began
    vowel_idx = np.zeros(nc, dtype=int)
    for i, (start, length, key, _) in enumerate(notes):
        a, b = int(start * control_rate), min(nc, int((start + length) * control_rate))
        pitch[a:] = key
        gate[a:b] = 1.0
        onset_age[a:b] = tc[a:b] - start
        vowel_idx[a:] = rng.integers(len(VOWEL_NAMES))
        if rng.random() < 0.3:  # a scoop from below into the note
            n = min(b - a, int(0.09 * control_rate))
            pitch[a : a + n] = key - rng.uniform(0.7, 2.0) * (1 - np.arange(n) / n) ** 2
    # Portamento: a one-pole glide in semitones, about 45 ms.
    pole = np.exp(-1 / (0.045 * control_rate))
    pitch = signal.lfilter([1 - pole], [1, -pole], pitch, zi=[pitch[0] * pole])[0]
    vib_rate = 5.5 + 0.3 * np.sin(2 * np.pi * 0.13 * tc + rng.uniform(0, 6))
    vib_depth = 0.45 * np.clip((onset_age - 0.18) / 0.3, 0, 1)  # semitones, grows in
    vib = vib_depth * np.sin(2 * np.pi * np.cumsum(vib_rate) / control_rate)
    drift = signal.lfilter([0.01], [1, -0.99], rng.normal(0, 0.3, nc))
    f0c = 440.0 * 2 ** ((pitch + vib + drift - 69) / 12)

    # Loudness: smoothed gate (attack ~25 ms, release ~70 ms), with slight per-note variation.
    env = np.zeros(nc)
    level = 0.0
    att, rel = 1 - np.exp(-1 / 25.0), 1 - np.exp(-1 / 70.0)
    for i in range(nc):
        level += (gate[i] - level) * (att if gate[i] > level else rel)
        env[i] = level
    env *= 1 + 0.1 * np.sin(2 * np.pi * 0.7 * tc)

    # Formant tracks: each vowel's table, switched per syllable and smoothed over ~40 ms.
    smooth = lambda x: signal.filtfilt([0.025], [1, -0.975], x, axis=0)
    freqs = smooth(np.array([VOWELS[VOWEL_NAMES[v]][0] for v in vowel_idx], dtype=float))
    bands = smooth(np.array([VOWELS[VOWEL_NAMES[v]][1] for v in vowel_idx], dtype=float))
    gains = smooth(10 ** (np.array([VOWELS[VOWEL_NAMES[v]][2] for v in vowel_idx]) / 20))
    freqs *= formant_shift

    # Audio-rate phase of the fundamental.
    t = np.arange(frames) / rate
    f0 = np.interp(t, tc, f0c)
    phase = 2 * np.pi * np.cumsum(f0) / rate
    top = min(0.45 * rate, 11000.0)
    voice = np.zeros(frames)
    k_max = int(top / f0c.min())
    for k in range(1, k_max + 1):
        fk = k * f0c
        amp = np.zeros(nc)
        for j in range(freqs.shape[1]):
            amp += gains[:, j] / (1 + ((fk - freqs[:, j]) / (0.5 * bands[:, j])) ** 2)
        amp = (amp + 0.003) / k * (fk < top)
        voice += np.interp(t, tc, amp * env) * np.sin(k * phase)

    # Breath: aspiration noise under the voice, and short bursts at consonant onsets.
    noise = rng.normal(0, 1, frames)
    breath = signal.sosfilt(signal.butter(2, [1500, min(9000, 0.45 * rate)], "bandpass",
                                          fs=rate, output="sos"), noise)
    hiss = signal.sosfilt(signal.butter(4, min(5000, 0.4 * rate), "highpass", fs=rate,
                                        output="sos"), noise)
    voice += breathiness * breath * np.interp(t, tc, env)
    for start, _, _, onset in notes:
        if onset == "s":
            length = 0.07
            src = hiss
        elif onset in ("t", "k"):
            length = 0.02
            src = breath
        elif onset == "h":
            length = 0.06
            src = breath
        else:
            continue
        a = int(max(0.0, start - length) * rate)
        b = min(frames, a + int(length * rate))
        win = np.hanning(b - a)
        voice[a:b] += 0.15 * src[a:b] * win
    return voice


def melody(rng, bars, beats, bpm, low, high, tonic, scale, progression, rhythm, rest_bars=()):
    """A lead line as sing() notes: phrases of two bars, each ending long, then a breath."""
    spb = 60.0 / bpm
    keys = [tonic + 12 * o + s for o in range(-3, 4) for s in scale]
    keys = [k for k in keys if low <= k <= high]
    cur = len(keys) // 2
    notes = []
    for phrase in range(0, bars, 2):
        if phrase in rest_bars:
            continue
        beat = phrase * beats + rng.choice((0.0, 0.5))
        end = (phrase + 2) * beats - rng.choice((0.5, 1.0, 1.5))
        while beat < end:
            length = min(rng.choice(rhythm), end - beat)
            if end - beat - length < 0.5:
                length = end - beat
            chord = chord_keys(tonic, scale, progression[(int(beat) // beats) % len(progression)])
            step = rng.choice((-2, -1, -1, 0, 1, 1, 2, 3, -3))
            cur = int(np.clip(cur + step, 0, len(keys) - 1))
            if length >= 1.0:  # long notes land on a chord tone
                near = [i for i, k in enumerate(keys) if (k - chord[0]) % 12 in
                        {(c - chord[0]) % 12 for c in chord}]
                cur = min(near, key=lambda i: abs(i - cur))
            onset = rng.choice(("", "", "t", "s", "h", "k", "", "")) if notes else "h"
            notes.append((beat * spb, length * spb * 0.92, keys[cur], onset))
            beat += length
    return notes


# ---------------------------------------------------------------------------------------------
# Space


def room(x, rate, rng, seconds=0.6, wet=0.25, width=1.0):
    """Adds a short decorrelated reverb to stereo x (frames, 2): exponentially decaying noise,
    different for each channel, so a centred source gains some natural width."""
    n = int(seconds * rate)
    decay = np.exp(-6.9 * np.arange(n) / n)  # -60 dB at the end
    low = signal.butter(1, 6000, fs=rate, output="sos")
    out = x.copy()
    mono = x.mean(axis=1)
    irs = [signal.sosfilt(low, rng.normal(0, 1, n)) * decay for _ in range(2)]
    irs = [ir / np.sqrt(np.sum(ir ** 2)) for ir in irs]
    common = 0.5 * (irs[0] + irs[1])
    for c in range(2):
        ir = width * irs[c] + (1 - width) * common
        out[:, c] += wet * signal.fftconvolve(mono, ir)[: len(x)]
    return out


def narrow(x, width):
    """Scales the side signal of stereo x: 0 gives mono, 1 leaves it."""
    mid = x.mean(axis=1, keepdims=True)
    return mid + width * (x - mid)


def centred(mono):
    return np.stack([mono, mono], axis=1)


# ---------------------------------------------------------------------------------------------
# The songs


def song_ballad(rng, rate, frames, work):
    bpm, beats, tonic = 72, 4, 60  # C major
    prog = (0, 5, 3, 4)
    bars = int(np.ceil(SECONDS / (beats * 60 / bpm)))
    drums, bass, piano, strings = Part(9, 40, reverb=50), Part(0, 33), Part(1, 0, pan=64), \
        Part(2, 48, volume=80, reverb=70)
    strings2 = Part(3, 49, pan=110, volume=70, reverb=70)
    strings.pan = 18
    for bar in range(bars):
        deg = prog[bar % 4]
        ch = chord_keys(tonic, MAJOR, deg, 4)
        drum_bar(drums, rng, bar, "ballad", fill=bar % 4 == 3)
        b0 = bar * beats
        root = ch[0] - 24 if ch[0] - 24 >= 31 else ch[0] - 12
        bass.note(b0, 1.9, root, 90)
        bass.note(b0 + 2, 1.0, root + 7, 80)
        bass.note(b0 + 3, 0.9, root + 12 if bar % 2 else root, 75)
        for i, x in enumerate(np.arange(0, beats, 0.5)):  # arpeggiated piano
            key = ch[(0, 1, 2, 3, 2, 1, 2, 3)[i]] - 12
            piano.note(humanise(rng, b0 + x), 0.9, key, 70 + rng.integers(-8, 8))
        piano.note(b0, 3.9, ch[0] - 12, 75)
        for k in ch[:3]:
            strings.note(b0, 4.0, k, 60)
            strings2.note(b0, 4.0, k + 12, 50)
    vox = melody(rng, bars, beats, bpm, 62, 79, tonic, MAJOR, prog, (1.0, 0.5, 1.5, 2.0))
    voice = sing(vox, rate, frames, rng, formant_shift=1.12)
    return bpm, {
        "vocals": room(centred(voice), rate, rng, 1.2, 0.25),
        "drums": render([drums], bpm, rate, frames, work, "drums") * 0.7,
        "bass": render([bass], bpm, rate, frames, work, "bass") * 1.2,
        "other": render([piano, strings, strings2], bpm, rate, frames, work, "other"),
    }, {"vocals": 1.0, "drums": 0.55, "bass": 0.6, "other": 0.8}, "ballad, wide strings"


def song_rock(rng, rate, frames, work):
    bpm, beats, tonic = 140, 4, 52  # E minor
    prog = (0, 5, 2, 6)
    bars = int(np.ceil(SECONDS / (beats * 60 / bpm)))
    drums, bass = Part(9, 16, reverb=30), Part(0, 34)
    gtr_l, gtr_r = Part(1, 30, pan=0, reverb=20), Part(2, 30, pan=127, reverb=20)
    organ, solo = Part(3, 16, pan=64, volume=70), Part(4, 29, pan=64, reverb=50)
    solo_bars = range(bars - 6, bars)
    for bar in range(bars):
        deg = prog[(bar // 2) % 4]
        ch = chord_keys(tonic, MINOR, deg)
        drum_bar(drums, rng, bar, "rock", fill=bar % 8 == 7)
        b0 = bar * beats
        root = ch[0] - 24 if ch[0] - 24 >= 28 else ch[0] - 12
        for x in np.arange(0, beats, 0.5):
            bass.note(humanise(rng, b0 + x, 0.004), 0.45, root, 100 if x % 1 == 0 else 85)
            for g in (gtr_l, gtr_r):  # double-tracked: each side played separately
                for k in (root + 24, root + 31, root + 36):
                    g.note(humanise(rng, b0 + x, 0.006), 0.45, k, 95 + rng.integers(-10, 10))
        for k in ch:
            organ.note(b0, 4.0, k + 12, 60)
        if bar in solo_bars:  # a centred lead guitar while the singer rests
            for x in np.arange(0, beats, 0.5):
                k = tonic + 24 + MINOR[rng.integers(0, 7)] - 12 * (rng.random() < 0.3)
                solo.note(b0 + x, 0.5, k, 105)
                if rng.random() < 0.3:
                    solo.bends.append((b0 + x + 0.1, 0.5))
                    solo.bends.append((b0 + x + 0.45, 0.0))
    vox = melody(rng, bars - 6, beats, bpm, 50, 67, tonic, MINOR, (0, 0, 5, 5, 2, 2, 6, 6),
                 (0.5, 1.0, 0.5, 1.5, 2.0))
    voice = sing(vox, rate, frames, rng, formant_shift=0.95, breathiness=0.02)
    return bpm, {
        "vocals": room(centred(voice), rate, rng, 0.8, 0.25),
        "drums": render([drums], bpm, rate, frames, work, "drums"),
        "bass": render([bass], bpm, rate, frames, work, "bass"),
        "other": render([gtr_l, gtr_r, organ, solo], bpm, rate, frames, work, "other"),
    }, {"vocals": 1.0, "drums": 0.8, "bass": 0.55, "other": 0.9}, \
        "rock, double-tracked guitars, centred guitar solo"


def song_funk(rng, rate, frames, work):
    bpm, beats, tonic = 104, 4, 57  # A minor (dorian flavour from the chords)
    prog = (0, 0, 3, 3)
    bars = int(np.ceil(SECONDS / (beats * 60 / bpm)))
    drums, bass = Part(9, 0, reverb=20), Part(0, 36)
    gtr, keys, brass = Part(1, 27, pan=30, reverb=20), Part(2, 4, pan=100), Part(3, 61, pan=64)
    for bar in range(bars):
        deg = prog[bar % 4]
        ch = chord_keys(tonic, MINOR, deg, 4)
        drum_bar(drums, rng, bar, "funk", fill=bar % 8 == 7)
        b0 = bar * beats
        root = ch[0] - 24 if ch[0] - 24 >= 28 else ch[0] - 12
        # Bass locked to the kick, octave pops in between: the low end overlaps all the time.
        for x, dk, v in ((0, 0, 110), (0.75, 12, 90), (1.5, 0, 95), (1.75, 10, 80), (2.5, 0, 105),
                         (3.0, 7, 85), (3.25, 12, 90), (3.75, 0, 80)):
            bass.note(humanise(rng, b0 + x, 0.004), 0.22, root + dk, v)
        for x in np.arange(0, beats, 0.25):  # sixteenth-note scratch guitar
            if rng.random() < 0.75:
                for k in ch[1:]:
                    gtr.note(humanise(rng, b0 + x, 0.003), 0.12, k + 12, 70 + 25 * (x % 1 == 0.5))
        for x in (0.5, 2.25):
            for k in ch:
                keys.note(b0 + x, 0.4, k, 80)
        if bar % 4 == 3:
            for k in chord_keys(tonic + 12, MINOR, deg):
                brass.note(b0 + 3.5, 0.4, k, 100)
    vox = melody(rng, bars, beats, bpm, 57, 74, tonic, MINOR, prog, (0.25, 0.5, 0.5, 0.75, 1.0))
    voice = sing(vox, rate, frames, rng, formant_shift=1.05, breathiness=0.04)
    return bpm, {
        "vocals": room(centred(voice), rate, rng, 0.5, 0.2),
        "drums": render([drums], bpm, rate, frames, work, "drums"),
        "bass": render([bass], bpm, rate, frames, work, "bass"),
        "other": render([gtr, keys, brass], bpm, rate, frames, work, "other"),
    }, {"vocals": 1.0, "drums": 0.75, "bass": 0.75, "other": 0.7}, "funk, kick and bass locked"


def song_electronic(rng, rate, frames, work):
    bpm, beats, tonic = 126, 4, 50  # D minor
    prog = (0, 5, 2, 6)
    bars = int(np.ceil(SECONDS / (beats * 60 / bpm)))
    drums, bass = Part(9, 25, reverb=20), Part(0, 38)
    pad_l = Part(1, 89, pan=5, volume=90, reverb=80)
    pad_r = Part(2, 89, pan=122, volume=90, reverb=80)
    arp = Part(3, 81, pan=64, volume=70, reverb=40)
    for bar in range(bars):
        deg = prog[(bar // 2) % 4]
        ch = chord_keys(tonic, MINOR, deg, 4)
        drum_bar(drums, rng, bar, "electronic")
        b0 = bar * beats
        root = ch[0] - 12 if ch[0] - 12 >= 26 else ch[0]
        for x in np.arange(0, beats, 0.5):  # off-beat sub bass under a four-on-the-floor kick
            bass.note(b0 + x, 0.4, root + (12 if x % 1 else 0), 100)
        for k in ch:
            pad_l.note(b0, 4.0, k, 70)
            pad_r.note(b0, 4.0, k + 12 if k == ch[1] else k, 70)
        for i, x in enumerate(np.arange(0, beats, 0.25)):
            arp.note(b0 + x, 0.2, ch[i % 4] + 24, 70 + 20 * (i % 4 == 0))
    vox = melody(rng, bars, beats, bpm, 62, 77, tonic, MINOR, (0, 0, 5, 5, 2, 2, 6, 6),
                 (0.5, 1.0, 1.5, 2.0), rest_bars=(4, 12))
    voice = sing(vox, rate, frames, rng, formant_shift=1.15, breathiness=0.05)
    return bpm, {
        "vocals": room(centred(voice), rate, rng, 1.5, 0.22),
        "drums": render([drums], bpm, rate, frames, work, "drums"),
        "bass": narrow(render([bass], bpm, rate, frames, work, "bass"), 0.15),
        "other": render([pad_l, pad_r, arp], bpm, rate, frames, work, "other"),
    }, {"vocals": 1.0, "drums": 0.8, "bass": 0.7, "other": 0.65}, "electronic, wide pads, sub bass"


def song_acoustic(rng, rate, frames, work):
    bpm, beats, tonic = 92, 4, 55  # G major
    prog = (0, 4, 5, 3)
    bars = int(np.ceil(SECONDS / (beats * 60 / bpm)))
    drums, bass = Part(9, 32, reverb=0), Part(0, 32, reverb=0)
    gtr, piano = Part(1, 25, pan=58, reverb=0), Part(2, 0, pan=64, reverb=0)
    solo_bars = range(4, 8)
    for bar in range(bars):
        deg = prog[bar % 4]
        ch = chord_keys(tonic, MAJOR, deg)
        drum_bar(drums, rng, bar, "acoustic")
        b0 = bar * beats
        root = ch[0] - 24 if ch[0] - 24 >= 28 else ch[0] - 12
        for x, dk in ((0, 0), (1.5, 7), (2, 0), (3, 7)):
            bass.note(humanise(rng, b0 + x), 0.9, root + dk, 90)
        for x, up in ((0, 1), (1, 1), (1.5, 0), (2.5, 0), (3, 1), (3.5, 0)):  # strummed
            for i, k in enumerate(ch + [ch[0] + 12, ch[1] + 12]):
                piece = (i if up else 5 - i) * 0.012
                gtr.note(b0 + x + piece, 0.45, k, 65 + rng.integers(-8, 8) - 10 * (1 - up))
        if bar in solo_bars:  # a centred piano melody while the voice rests
            for x in np.arange(0, beats, 0.5):
                k = tonic + 12 + MAJOR[rng.integers(0, 7)] + 12 * (rng.random() < 0.4)
                piano.note(humanise(rng, b0 + x), 0.5, k, 90)
    vox = melody(rng, bars, beats, bpm, 55, 72, tonic, MAJOR, prog, (0.5, 1.0, 1.0, 1.5),
                 rest_bars=tuple(solo_bars))
    voice = sing(vox, rate, frames, rng, formant_shift=1.0, breathiness=0.05)
    raw = {
        "vocals": room(centred(voice), rate, rng, 0.4, 0.12, width=0.2),
        "drums": render([drums], bpm, rate, frames, work, "drums", reverb=False),
        "bass": render([bass], bpm, rate, frames, work, "bass", reverb=False),
        "other": render([gtr, piano], bpm, rate, frames, work, "other", reverb=False),
    }
    # Nearly mono: one room microphone's worth of width only.
    return bpm, {s: narrow(x, 0.1) for s, x in raw.items()}, \
        {"vocals": 1.0, "drums": 0.6, "bass": 0.6, "other": 0.8}, \
        "acoustic, nearly mono, centred piano solo"


def song_punk(rng, rate, frames, work):
    bpm, beats, tonic = 168, 4, 50  # D major
    prog = (0, 4, 5, 3)
    bars = int(np.ceil(SECONDS / (beats * 60 / bpm)))
    drums, bass = Part(9, 16, reverb=25), Part(0, 34)
    gtr_l, gtr_r = Part(1, 30, pan=8, reverb=15), Part(2, 29, pan=120, reverb=15)
    choir = Part(3, 52, pan=64, volume=90, reverb=60)  # the harmony voice, in the vocals stem
    vox = melody(rng, bars, beats, bpm, 50, 66, tonic, MAJOR, prog, (0.5, 0.5, 1.0, 1.0, 2.0))
    for bar in range(bars):
        ch = chord_keys(tonic, MAJOR, prog[bar % 4])
        drum_bar(drums, rng, bar, "punk", fill=bar % 8 == 7)
        b0 = bar * beats
        root = ch[0] - 24 if ch[0] - 24 >= 28 else ch[0] - 12
        for x in np.arange(0, beats, 0.5):
            bass.note(humanise(rng, b0 + x, 0.004), 0.4, root, 105 if x % 1 == 0 else 90)
            for g in (gtr_l, gtr_r):
                for k in (root + 24, root + 31, root + 36):
                    g.note(humanise(rng, b0 + x, 0.006), 0.42, k, 100 + rng.integers(-10, 10))
    # In the second half the choir doubles the lead's long notes a third above, with vibrato
    # by pitch bend (5.5 Hz, about +-0.3 semitone of the default +-2 range).
    spb = 60.0 / bpm
    scale_keys = [tonic + 12 * o + d for o in range(-3, 4) for d in MAJOR]
    for start, length, key, _ in vox:
        if start < SECONDS / 2 or length < 0.3 or key not in scale_keys:  # beats and longer
            continue
        third = scale_keys[scale_keys.index(key) + 2]
        choir.note(start / spb, length / spb, third, 80)
    for beat in np.arange(0, bars * beats, 1 / 16):
        choir.bends.append((beat, 0.15 * np.sin(2 * np.pi * 5.5 * beat * spb)))
    voice = sing(vox, rate, frames, rng, formant_shift=0.92, breathiness=0.03)
    harmony = render([choir], bpm, rate, frames, work, "choir")
    return bpm, {
        "vocals": room(centred(voice), rate, rng, 0.7, 0.2)
        + 0.35 * harmony * rms(voice) / rms(harmony),
        "drums": render([drums], bpm, rate, frames, work, "drums"),
        "bass": render([bass], bpm, rate, frames, work, "bass"),
        "other": render([gtr_l, gtr_r], bpm, rate, frames, work, "other"),
    }, {"vocals": 1.0, "drums": 0.85, "bass": 0.6, "other": 0.9}, "punk, lead and choir harmony"


def song_soul(rng, rate, frames, work):
    """A low male lead (baritone, A1 to A3) whose fundamental sits where a bass line does."""
    bpm, beats, tonic = 80, 4, 45  # A minor
    prog = (0, 3, 6, 4)
    bars = int(np.ceil(SECONDS / (beats * 60 / bpm)))
    drums, bass = Part(9, 0, reverb=30), Part(0, 33, reverb=10)
    rhodes, organ = Part(1, 4, pan=50, reverb=40), Part(2, 17, pan=85, volume=75, reverb=50)
    for bar in range(bars):
        ch = chord_keys(tonic, MINOR, prog[bar % 4], 4)
        drum_bar(drums, rng, bar, "ballad", fill=bar % 4 == 3)
        b0 = bar * beats
        root = ch[0] - 12 if ch[0] - 12 >= 28 else ch[0]
        for x, dk, length in ((0, 0, 1.4), (1.5, 7, 0.5), (2, 12, 0.9), (3, 10, 0.4), (3.5, 7, 0.4)):
            bass.note(humanise(rng, b0 + x, 0.006), length, root + dk, 95)
        for x in (0, 1.5, 2.5):
            for k in ch:
                rhodes.note(humanise(rng, b0 + x, 0.008), 0.9, k + 12, 70 + rng.integers(-6, 6))
        for k in ch[:3]:
            organ.note(b0, 4.0, k + 12, 55)
    vox = melody(rng, bars, beats, bpm, 45, 62, tonic, MINOR, prog, (0.5, 1.0, 1.5, 2.0))
    voice = sing(vox, rate, frames, rng, formant_shift=0.85, breathiness=0.03)
    return bpm, {
        "vocals": room(centred(voice), rate, rng, 1.0, 0.22),
        "drums": render([drums], bpm, rate, frames, work, "drums"),
        "bass": render([bass], bpm, rate, frames, work, "bass"),
        "other": render([rhodes, organ], bpm, rate, frames, work, "other"),
    }, {"vocals": 1.0, "drums": 0.6, "bass": 0.7, "other": 0.7}, "soul, low male lead"


def song_pop(rng, rate, frames, work):
    """A high female lead (G4 to C6) over hard-panned guitars, a centred piano and a pad."""
    bpm, beats, tonic = 118, 4, 64  # E major
    prog = (0, 4, 5, 3)
    bars = int(np.ceil(SECONDS / (beats * 60 / bpm)))
    drums, bass = Part(9, 0, reverb=25), Part(0, 38, reverb=10)
    gtr_l, gtr_r = Part(1, 27, pan=0, reverb=20), Part(2, 27, pan=127, reverb=20)
    piano, pad = Part(3, 1, pan=64, volume=85), Part(4, 90, pan=64, volume=70, reverb=80)
    for bar in range(bars):
        ch = chord_keys(tonic, MAJOR, prog[bar % 4])
        drum_bar(drums, rng, bar, "electronic" if bar % 8 < 6 else "rock", fill=bar % 8 == 7)
        b0 = bar * beats
        root = ch[0] - 24 if ch[0] - 24 >= 28 else ch[0] - 12
        for x in np.arange(0, beats, 0.5):
            bass.note(b0 + x, 0.4, root + (12 if x in (1.5, 3.5) else 0), 100)
        for i, x in enumerate(np.arange(0, beats, 0.25)):
            g = gtr_l if i % 2 == 0 else gtr_r  # one picked line, alternating sides
            g.note(humanise(rng, b0 + x, 0.004), 0.22, ch[i % 3] + 12, 75 + rng.integers(-8, 8))
        for x in (0, 2):
            for k in ch:
                piano.note(humanise(rng, b0 + x, 0.006), 1.8, k, 72)
        for k in ch:
            pad.note(b0, 4.0, k - 12 if k > 70 else k, 55)
    vox = melody(rng, bars, beats, bpm, 67, 84, tonic, MAJOR, prog, (0.5, 0.5, 1.0, 1.5),
                 rest_bars=(8,))
    voice = sing(vox, rate, frames, rng, formant_shift=1.25, breathiness=0.05)
    return bpm, {
        "vocals": room(centred(voice), rate, rng, 1.4, 0.3),
        "drums": render([drums], bpm, rate, frames, work, "drums"),
        "bass": render([bass], bpm, rate, frames, work, "bass"),
        "other": render([gtr_l, gtr_r, piano, pad], bpm, rate, frames, work, "other"),
    }, {"vocals": 1.0, "drums": 0.75, "bass": 0.6, "other": 0.8}, \
        "pop, high female lead, hard-panned guitars"


def song_instrumental(rng, rate, frames, work):
    """No singer: a centred piano lead, snare and guitar where a voice would be."""
    bpm, beats, tonic = 96, 4, 53  # F major
    prog = (0, 5, 1, 4)
    bars = int(np.ceil(SECONDS / (beats * 60 / bpm)))
    drums, bass = Part(9, 0, reverb=30), Part(0, 32, reverb=10)
    piano, gtr = Part(1, 0, pan=64, reverb=40), Part(2, 26, pan=64, volume=80, reverb=30)
    organ = Part(3, 18, pan=30, volume=65, reverb=50)
    for bar in range(bars):
        ch = chord_keys(tonic, MAJOR, prog[bar % 4], 4)
        drum_bar(drums, rng, bar, "acoustic" if bar % 8 < 4 else "rock", fill=bar % 4 == 3)
        b0 = bar * beats
        root = ch[0] - 24 if ch[0] - 24 >= 28 else ch[0] - 12
        for x in range(beats):  # walking
            bass.note(humanise(rng, b0 + x), 0.9, root + (0, 4, 7, 9)[x], 90)
        for x in (0.5, 1.5, 2.5, 3.5):
            for k in ch[1:]:
                gtr.note(humanise(rng, b0 + x, 0.005), 0.3, k, 70)
        for k in ch[:3]:
            organ.note(b0, 4.0, k, 50)
        x = 0.0
        while x < beats:  # the piano's melody, in the range a singer would use
            length = float(rng.choice((0.5, 0.5, 1.0, 1.5)))
            piano.note(humanise(rng, b0 + x), length * 0.95,
                       tonic + 12 + MAJOR[rng.integers(0, 7)], 90)
            x += length
    return bpm, {
        "vocals": np.zeros((frames, 2)),
        "drums": render([drums], bpm, rate, frames, work, "drums"),
        "bass": render([bass], bpm, rate, frames, work, "bass"),
        "other": render([piano, gtr, organ], bpm, rate, frames, work, "other"),
    }, {"vocals": 0.0, "drums": 0.7, "bass": 0.6, "other": 1.0}, \
        "instrumental, centred piano lead and guitar, no vocals"


def song_reggae(rng, rate, frames, work):
    """A mid male lead in a long reverb, off-beat skank and organ bubble."""
    bpm, beats, tonic = 76, 4, 55  # G major
    prog = (0, 3, 4, 3)
    bars = int(np.ceil(SECONDS / (beats * 60 / bpm)))
    drums, bass = Part(9, 0, reverb=40), Part(0, 33, reverb=0)
    skank, bubble = Part(1, 28, pan=70, reverb=40), Part(2, 16, pan=45, volume=75, reverb=30)
    for bar in range(bars):
        ch = chord_keys(tonic, MAJOR, prog[bar % 4])
        drum_bar(drums, rng, bar, "hiphop")
        b0 = bar * beats
        root = ch[0] - 24 if ch[0] - 24 >= 28 else ch[0] - 12
        for x, dk, length in ((0, 0, 0.7), (0.75, 0, 0.2), (1.5, 7, 0.4), (2.5, 5, 0.4),
                              (3, 4, 0.9)):
            bass.note(humanise(rng, b0 + x, 0.008), length, root + dk, 105)
        for x in (1, 3):
            for k in ch:
                skank.note(humanise(rng, b0 + x, 0.004), 0.2, k + 12, 85)
        for x in np.arange(0.5, beats, 1.0):
            for k in ch:
                bubble.note(humanise(rng, b0 + x, 0.004), 0.25, k, 65)
    vox = melody(rng, bars, beats, bpm, 50, 67, tonic, MAJOR, prog, (0.5, 0.75, 1.0, 1.5))
    voice = sing(vox, rate, frames, rng, formant_shift=0.95, breathiness=0.04)
    return bpm, {
        "vocals": room(centred(voice), rate, rng, 2.5, 0.45),
        "drums": render([drums], bpm, rate, frames, work, "drums"),
        "bass": render([bass], bpm, rate, frames, work, "bass"),
        "other": render([skank, bubble], bpm, rate, frames, work, "other"),
    }, {"vocals": 1.0, "drums": 0.7, "bass": 0.9, "other": 0.6}, \
        "reggae, lead in a long reverb, heavy bass"


def song_waltz(rng, rate, frames, work):
    """A folk waltz in 3/4 sung in two parts: the lead and a harmony a third above, apart."""
    bpm, beats, tonic = 150, 3, 57  # A major
    prog = (0, 3, 4, 0, 5, 1, 4, 4)
    bars = int(np.ceil(SECONDS / (beats * 60 / bpm)))
    drums, bass = Part(9, 0, reverb=30), Part(0, 32, reverb=20)
    gtr, accordion = Part(1, 25, pan=40, reverb=30), Part(2, 21, pan=95, volume=80, reverb=40)
    for bar in range(bars):
        ch = chord_keys(tonic, MAJOR, prog[bar % 8])
        drum_bar(drums, rng, bar, "waltz", beats=3)
        b0 = bar * beats
        root = ch[0] - 24 if ch[0] - 24 >= 28 else ch[0] - 12
        bass.note(humanise(rng, b0), 0.9, root, 95)
        bass.note(humanise(rng, b0 + 2), 0.9, root + 7, 80)
        for x in (1, 2):
            for k in ch:
                gtr.note(humanise(rng, b0 + x, 0.006), 0.6, k, 65)
        for k in ch:
            accordion.note(b0, 3.0, k + 12, 60)
    vox = melody(rng, bars, beats, bpm, 57, 73, tonic, MAJOR, prog, (1.0, 1.0, 2.0, 3.0))
    scale_keys = [tonic + 12 * o + d for o in range(-3, 4) for d in MAJOR]
    upper = [(start, length, scale_keys[scale_keys.index(key) + 2] if key in scale_keys else key,
              onset) for start, length, key, onset in vox]
    lead = sing(vox, rate, frames, rng, formant_shift=1.05, breathiness=0.03)
    harmony = sing(upper, rate, frames, rng, formant_shift=1.15, breathiness=0.03)
    both = np.stack([lead + 0.5 * harmony, lead + 0.3 * harmony], axis=1)
    return bpm, {
        "vocals": room(both, rate, rng, 0.9, 0.2),
        "drums": render([drums], bpm, rate, frames, work, "drums"),
        "bass": render([bass], bpm, rate, frames, work, "bass"),
        "other": render([gtr, accordion], bpm, rate, frames, work, "other"),
    }, {"vocals": 1.0, "drums": 0.45, "bass": 0.6, "other": 0.8}, \
        "folk waltz in 3/4, two-part vocal harmony"


def song_hiphop(rng, rate, frames, work):
    """A low-mid male lead over a sub bass and sparse keys, nearly dry, limited hard."""
    bpm, beats, tonic = 90, 4, 48  # C minor
    prog = (0, 5, 3, 4)
    bars = int(np.ceil(SECONDS / (beats * 60 / bpm)))
    drums, bass = Part(9, 25, reverb=10), Part(0, 39, reverb=0)
    keys, strings = Part(1, 5, pan=64, reverb=20), Part(2, 49, pan=20, volume=70, reverb=50)
    for bar in range(bars):
        ch = chord_keys(tonic, MINOR, prog[bar % 4])
        drum_bar(drums, rng, bar, "hiphop")
        b0 = bar * beats
        root = ch[0] - 12 if ch[0] - 12 >= 26 else ch[0]
        for x, length in ((0, 1.5), (1.75, 0.5), (2.5, 1.4)):
            bass.note(b0 + x, length, root, 110)
        for x in (0, 0.75, 2, 3.5):
            for k in ch:
                keys.note(humanise(rng, b0 + x, 0.006), 0.3, k + 12, 70)
        for k in ch:
            strings.note(b0, 4.0, k + 12, 50)
    vox = melody(rng, bars, beats, bpm, 48, 63, tonic, MINOR, prog, (0.25, 0.5, 0.5, 0.75))
    voice = sing(vox, rate, frames, rng, formant_shift=0.9, breathiness=0.06)
    return bpm, {
        "vocals": room(centred(voice), rate, rng, 0.3, 0.1),
        "drums": render([drums], bpm, rate, frames, work, "drums"),
        "bass": render([bass], bpm, rate, frames, work, "bass"),
        "other": render([keys, strings], bpm, rate, frames, work, "other"),
    }, {"vocals": 1.0, "drums": 0.8, "bass": 0.8, "other": 0.5}, "hip-hop, sub bass, dry voice"


# ---------------------------------------------------------------------------------------------
# The mix bus


def bus_gain(mix, rate, kind):
    """The gain curve of a mix-bus compressor (4:1 above -18 dB RMS, 10 ms attack, 150 ms
    release) or a limiter (peaks held under -6 dB of the mix's peak, 2 ms attack, 60 ms
    release) for stereo `mix`; one value per frame, applied to every stem alike."""
    level = np.max(np.abs(mix), axis=1)
    if kind == "compressor":
        threshold, ratio, attack, release = 10 ** (-18 / 20), 4.0, 0.010, 0.150
        level = np.sqrt(signal.lfilter([0.002], [1, -0.998], level ** 2))  # about 10 ms RMS
    else:
        threshold, ratio, attack, release = 10 ** (-6 / 20) * level.max(), np.inf, 0.002, 0.060
    over = np.maximum(level / threshold, 1.0)
    target = over ** (1.0 / ratio - 1.0)
    a, r = np.exp(-1 / (attack * rate)), np.exp(-1 / (release * rate))
    gain = np.empty_like(target)
    g = 1.0
    for i, t in enumerate(target):  # falls with the attack, recovers with the release
        g = t + (g - t) * (a if t < g else r)
        gain[i] = g
    return gain


# (maker, sample rate, seed, soundfont, mix bus)
SONGS = (
    (song_ballad, 44100, 1, SOUNDFONT, None),
    (song_rock, 44100, 2, SOUNDFONT, None),
    (song_funk, 44100, 3, SOUNDFONT, None),
    (song_electronic, 48000, 4, SOUNDFONT, None),
    (song_acoustic, 44100, 5, SOUNDFONT, None),
    (song_punk, 44100, 6, SOUNDFONT, None),
    (song_soul, 44100, 7, MUSESCORE, "compressor"),
    (song_pop, 44100, 8, TIMGM, "limiter"),
    (song_instrumental, 44100, 9, MUSESCORE, None),
    (song_reggae, 48000, 10, TIMGM, None),
    (song_waltz, 44100, 11, MUSESCORE, "compressor"),
    (song_hiphop, 44100, 12, TIMGM, "limiter"),
)


def rms(x):
    return float(np.sqrt(np.mean(x ** 2)) + 1e-12)


def make_song(index, out, stamp):
    maker, rate, seed, soundfont, bus = SONGS[index]
    folder = os.path.join(out, str(index + 1))
    stamp_path = os.path.join(folder, "stamp")
    if os.path.exists(stamp_path) and open(stamp_path).read() == stamp:
        return
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    rng = np.random.default_rng(seed)
    frames = int(SECONDS * rate)
    _current.soundfont = soundfont
    with tempfile.TemporaryDirectory() as work:
        bpm, stems, levels, what = maker(rng, rate, frames, work)
    # Balance the stems by loudness (vocals on top, as in a pop mix), then scale all together so
    # the mix peaks at -1 dBFS: the stems still sum exactly to the mix.
    stems = {s: stems[s] * levels[s] / rms(stems[s]) for s in STEMS}
    if bus:
        gain = bus_gain(sum(stems.values()), rate, bus)[:, None]
        stems = {s: x * gain for s, x in stems.items()}
    stems = {s: x.astype(np.float32) for s, x in stems.items()}
    mix = sum(x.astype(np.float64) for x in stems.values())
    gain = 10 ** (-1 / 20) / np.max(np.abs(mix))
    stems = {s: (x * gain).astype(np.float32) for s, x in stems.items()}
    mix = sum(x.astype(np.float64) for x in stems.values()).astype(np.float32)
    for s in STEMS:
        wavfile.write(os.path.join(folder, s + ".wav"), rate, stems[s])
    wavfile.write(os.path.join(folder, "mix.wav"), rate, mix)
    sf = os.path.splitext(os.path.basename(soundfont))[0]
    with open(os.path.join(folder, "title.txt"), "w") as f:
        f.write("%s, %d bpm, %g kHz, %s%s\n" % (what, bpm, rate / 1000, sf,
                                                 ", mix-bus " + bus if bus else ""))
    with open(stamp_path, "w") as f:
        f.write(stamp)


# ---------------------------------------------------------------------------------------------
# The checks that need no multitrack

# (name, song whose backing is used, voice: None, "high" as spoken or "low" a fifth down)
CHECKS = (
    ("instrumental-9", 9, None),  # the song without a singer, as it is
    ("instrumental-2", 2, None),
    ("instrumental-8", 8, None),
    ("voice-high", 3, "high"),
    ("voice-low", 7, "low"),
)


def speech(rate, low, work):
    """The ALSA speech prompts one after the other with 0.3 s between them, at `rate`, mono;
    `low` takes them down a fifth with Rubber Band, formants kept (a low male range)."""
    names = sorted(f for f in os.listdir(SPEECH) if f.endswith(".wav") and f != "Noise.wav")
    parts = []
    for name in names:
        r, x = wavfile.read(os.path.join(SPEECH, name))
        x = x.astype(np.float64) / 32768.0
        parts += [signal.resample_poly(x, rate, r), np.zeros(int(0.3 * rate))]
    voice = np.concatenate(parts)
    if low:
        src, dst = os.path.join(work, "speech.wav"), os.path.join(work, "low.wav")
        wavfile.write(src, rate, voice.astype(np.float32))
        result = subprocess.run(["rubberband", "-q", "-p", "-7", "-F", src, dst],
                                capture_output=True, text=True)
        if result.returncode != 0:
            raise RuntimeError("rubberband failed: %s" % result.stderr.strip()[-200:])
        with warnings.catch_warnings():  # Rubber Band's WAV has chunks scipy does not read
            warnings.simplefilter("ignore", wavfile.WavFileWarning)
            _, voice = wavfile.read(dst)
        voice = np.asarray(voice, dtype=np.float64).reshape(len(voice), -1).mean(axis=1)
    return voice


def make_check(check, songs, out, stamp):
    name, song, voice_kind = check
    folder = os.path.join(out, name)
    stamp_path = os.path.join(folder, "stamp")
    if os.path.exists(stamp_path) and open(stamp_path).read() == stamp:
        return
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    src = os.path.join(songs, str(song))
    rate = wavfile.read(os.path.join(src, "mix.wav"))[0]
    backing = sum(wavfile.read(os.path.join(src, s + ".wav"))[1].astype(np.float64)
                  for s in STEMS[1:])
    mix = backing
    if voice_kind:
        with tempfile.TemporaryDirectory() as work:
            voice = speech(rate, voice_kind == "low", work)
        n = min(len(voice), len(backing))
        backing = backing[:n]
        # A sung lead sits about as loud as its backing; the voice is centred and dry.
        v = centred(voice[:n] * rms(backing) / rms(voice[:n]))
        mix = backing + v
    mix = mix * 10 ** (-1 / 20) / np.max(np.abs(mix))
    if voice_kind:  # the truth at the mix's scale
        v = v * 10 ** (-1 / 20) / np.max(np.abs(backing + v))
        wavfile.write(os.path.join(folder, "voice.wav"), rate, v.astype(np.float32))
    wavfile.write(os.path.join(folder, "mix.wav"), rate, mix.astype(np.float32))
    with open(stamp_path, "w") as f:
        f.write(stamp)


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit("usage: songs.py OUT_FOLDER [CHECKS_FOLDER]")
    out = sys.argv[1]
    for path in SOUNDFONTS:
        if shutil.which("fluidsynth") is None or not os.path.exists(path):
            sys.exit("songs.py: fluidsynth or %s is missing (run scripts/deps quality)" % path)
    with open(__file__, "rb") as f:
        stamp = hashlib.sha256(f.read()).hexdigest()
    os.makedirs(out, exist_ok=True)
    # Two songs at a time: rendering is one process per stem, and the machine has two cores.
    with ThreadPoolExecutor(max_workers=2) as pool:
        for future in [pool.submit(make_song, i, out, stamp) for i in range(len(SONGS))]:
            try:
                future.result()
            except (OSError, RuntimeError, ValueError) as error:
                sys.exit("songs.py: cannot make the songs: %s" % error)
    for old in sorted(os.listdir(out)):  # songs dropped from the list
        if old.isdigit() and int(old) > len(SONGS):
            shutil.rmtree(os.path.join(out, old))
    if len(sys.argv) == 3:
        if shutil.which("rubberband") is None or not os.path.isdir(SPEECH):
            sys.exit("songs.py: rubberband or %s is missing (run scripts/deps quality)" % SPEECH)
        os.makedirs(sys.argv[2], exist_ok=True)
        try:
            for check in CHECKS:
                make_check(check, out, sys.argv[2], stamp)
        except (OSError, RuntimeError, ValueError) as error:
            sys.exit("songs.py: cannot make the checks: %s" % error)


if __name__ == "__main__":
    main()
