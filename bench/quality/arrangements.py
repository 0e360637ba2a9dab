# SPDX-License-Identifier: GPL-3.0-or-later
"""The quality benchmark's twelve songs: each maker returns its four stems (drums, bass and other
rendered from General MIDI, the voice synthesised), the mix levels of the stems and a title."""

import numpy as np

from instruments import (MAJOR, MINOR, MUSESCORE, Part, SECONDS, SOUNDFONT, TIMGM, centred,
                         chord_keys, drum_bar, humanise, melody, narrow, render, rms, room, sing)

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
