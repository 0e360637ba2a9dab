# SPDX-License-Identifier: GPL-3.0-or-later
"""The quality benchmark's instruments: General MIDI parts written as standard MIDI files and
rendered by fluidsynth one stem at a time, harmony and drum patterns, the synthesised singer, and
rooms and stereo width. Used by songs.py and arrangements.py here and by the song-map benchmark."""

import os
import struct
import subprocess
import tempfile
import threading
import warnings

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
LOW_CUT_HZ = 20.0  # every rendered part is high-passed here, as at a mixing desk
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


def use_soundfont(path):
    """Makes `path` the soundfont of what this thread renders from now on."""
    _current.soundfont = path


# General MIDI voice presets that can sing a lead in place of the synthesised singer: a held
# sample with little or none of a singer's vibrato, drift and glides, as in songs made from
# General MIDI alone.
GM_LEADS = ((53, "Voice Oohs"), (85, "Lead 6 (voice)"), (54, "Synth Voice"), (52, "Choir Aahs"))


def use_lead(program):
    """Makes sing() on this thread play its notes on General MIDI `program` (None: the
    synthesised singer)."""
    _current.lead = program


def rms(x):
    return float(np.sqrt(np.mean(x ** 2)) + 1e-12)


def render(parts, bpm, rate, frames, work, name, reverb=True, soundfont=None, chorus=None):
    """Renders `parts` with fluidsynth; (frames, 2) float64, cut or padded to `frames`. The
    soundfont is `soundfont`, else the one of the song being made, else FluidR3; the chorus
    follows the reverb unless `chorus` says otherwise."""
    soundfont = soundfont or getattr(_current, "soundfont", SOUNDFONT)
    mid = os.path.join(work, name + ".mid")
    wav = os.path.join(work, name + ".wav")
    write_midi(mid, bpm, parts, frames / rate * bpm / 60.0)
    cmd = ["fluidsynth", "-ni", "-q", "-g", "0.5", "-O", "float", "-T", "wav", "-F", wav,
           "-r", str(rate), "-R", "1" if reverb else "0",
           "-C", "1" if (reverb if chorus is None else chorus) else "0",
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
    # A mixing desk's low cut: some presets carry a DC offset or sub-sonic drift (FluidR3's warm
    # pad sits 1.7 standard deviations off zero), which no real stem has and which would
    # otherwise dominate the reference's energy.
    return signal.sosfilt(signal.butter(2, LOW_CUT_HZ, "highpass", fs=rate, output="sos"), out,
                          axis=0)


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
    onset, plus slow drift; or, after use_lead(), the notes on a General MIDI preset. Returns mono
    float64.
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
    program = getattr(_current, "lead", None)
    if program is None:
        return voice
    # The singer above still draws its random numbers, so the rest of the song stays the same.
    lead = Part(7, program, reverb=0)
    for start, length, key, _ in notes:
        lead.note(start, length, key, 100)
    with tempfile.TemporaryDirectory() as work:  # at 60 bpm a beat is a second
        return render([lead], 60, rate, frames, work, "lead", reverb=False).mean(axis=1)


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
