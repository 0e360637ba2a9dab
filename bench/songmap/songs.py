# SPDX-License-Identifier: GPL-3.0-or-later
"""Makes the song-map benchmark's songs, whose beats, bars, key, chords and sections are exact.

Each song is written from a plan: a tempo (with an optional drift), 3/4 or 4/4, straight or swung,
an optional pickup or free-time intro, a key, sections of chord progressions whose changes fall on
and off the bar, and an arrangement (drums, bass, a chord part, a sung lead). Drums, bass and the
chord part are General MIDI rendered by fluidsynth with one of three soundfonts; the voice is
the quality benchmark's synthesised singer (bench/quality/instruments.py). Every note is placed through the song's own time map,
so the truth (beat times, downbeats, chord spans) is known to the sample.

    songs.py OUT_FOLDER [NAME...]
writes OUT_FOLDER/<name>/mix.wav (32-bit float stereo), truth.json and title.txt. Deterministic;
a folder whose stamp matches this file, arrange.py and the quality benchmark's instruments.py is
kept as it is.
Songs whose name starts with "holdout-" were kept out of tuning, "fresh-" ones were written after it;
"check-" songs test behaviour (no steady beat, no harmony) rather than accuracy.
"""

import hashlib
import os
import shutil
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "quality"))
import instruments as quality  # noqa: E402  (Part, write_midi, sing, room, narrow)

import arrange  # noqa: E402
from arrange import SOUNDFONTS, make  # noqa: E402

# ---------------------------------------------------------------------------------------------
# Plans


def plan(name, bpm, meter, tonic, mode, sections, font, style, **extra):
    p = dict(name=name, bpm=bpm, bpm_end=bpm, meter=meter, tonic=tonic, mode=mode,
             sections=sections, font=font, style=style, swing=0.5, pickup=0, intro=0.0,
             chords="block", bass="root", lead=True, seed=abs(hash(name)) % 1000, rate=44100)
    p.update(extra)
    p["seed"] = int(hashlib.sha256(name.encode()).hexdigest()[:6], 16)
    return p


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
    for path in (__file__, arrange.__file__, quality.__file__):
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
