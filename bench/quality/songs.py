# SPDX-License-Identifier: GPL-3.0-or-later
"""Makes the quality benchmark's multitrack songs, with exact ground truth.

Each song is four stems (vocals, drums, bass, other) that sum exactly to its mix. Drums, bass and
other are General MIDI parts (arrangements.py, instruments.py) rendered one stem at a time by fluidsynth with one of
three General MIDI soundfonts (FluidR3, MuseScore General, TimGM6mb: the same notes through another
soundfont move separation scores by several dB, so a method tuned on one must hold on the others);
the lead voice is synthesised in numpy (a harmonic glottal source shaped by moving vowel formants,
with vibrato, glides and breath), since no soundfont sings words. A song's mix may go through a
bus compressor or limiter: its gain curve, taken from the mix, scales every stem alike, so the
stems still sum exactly to the mix.

    songs.py [--gm-lead] OUT_FOLDER [CHECKS_FOLDER]
writes OUT_FOLDER/<n>/{mix,vocals,drums,bass,other}.wav (32-bit float stereo) and title.txt; a
song without a singer has a silent vocals stem. With CHECKS_FOLDER it also writes the checks that
need no multitrack, each CHECKS_FOLDER/<name>/mix.wav with what it is scored against:
  instrumental-<n>   a song's backing alone (drums, bass, other): whatever lands in the vocals
                     stem is wrong, so its level under the mix is the measure (lower is better);
  voice-<kind>       a real spoken voice (the ALSA speech prompts, from alsa-utils) over a song's
                     backing, voice.wav beside it: the share of the voice that lands in vocals.
                     "low" is the same speech a fifth lower (Rubber Band, formants kept), a low
                     male range.
--gm-lead has General MIDI voice presets sing the leads instead (instruments.GM_LEADS, one after
the other), everything else the same: held samples without the singer's vibrato and glides.
Everything is deterministic (fixed seeds). A folder whose stamp matches the contents of this file,
instruments.py and arrangements.py is kept as it is, so repeated benchmark runs do not render again.
"""

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import scipy.io.wavfile as wavfile
import scipy.signal as signal

from arrangements import SONGS
from instruments import (GM_LEADS, SECONDS, SOUNDFONTS, SPEECH, STEMS, centred, rms, use_lead,
                         use_soundfont)

HERE = os.path.dirname(os.path.abspath(__file__))
MODULES = ("songs.py", "instruments.py", "arrangements.py")  # the stamp covers all three

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


def make_song(index, out, stamp, lead=None):
    maker, rate, seed, soundfont, bus = SONGS[index]
    if lead:
        stamp += " lead %d" % lead[0]
    folder = os.path.join(out, str(index + 1))
    stamp_path = os.path.join(folder, "stamp")
    if os.path.exists(stamp_path) and open(stamp_path).read() == stamp:
        return
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    rng = np.random.default_rng(seed)
    frames = int(SECONDS * rate)
    use_soundfont(soundfont)
    use_lead(lead[0] if lead else None)
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
        f.write("%s, %d bpm, %g kHz, %s%s%s\n" % (what, bpm, rate / 1000, sf,
                                                   ", mix-bus " + bus if bus else "",
                                                   ", lead: " + lead[1] if lead else ""))
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
    args = sys.argv[1:]
    gm_lead = args[:1] == ["--gm-lead"]
    args = args[1:] if gm_lead else args
    if len(args) not in (1, 2):
        sys.exit("usage: songs.py [--gm-lead] OUT_FOLDER [CHECKS_FOLDER]")
    out = args[0]
    for path in SOUNDFONTS:
        if shutil.which("fluidsynth") is None or not os.path.exists(path):
            sys.exit("songs.py: fluidsynth or %s is missing (run scripts/deps quality)" % path)
    digest = hashlib.sha256()
    for name in MODULES:
        with open(os.path.join(HERE, name), "rb") as f:
            digest.update(f.read())
    stamp = digest.hexdigest()
    os.makedirs(out, exist_ok=True)
    # Two songs at a time: rendering is one process per stem, and the machine has two cores.
    with ThreadPoolExecutor(max_workers=2) as pool:
        leads = [GM_LEADS[i % len(GM_LEADS)] if gm_lead else None for i in range(len(SONGS))]
        for future in [pool.submit(make_song, i, out, stamp, lead) for i, lead in enumerate(leads)]:
            try:
                future.result()
            except (OSError, RuntimeError, ValueError) as error:
                sys.exit("songs.py: cannot make the songs: %s" % error)
    for old in sorted(os.listdir(out)):  # songs dropped from the list
        if old.isdigit() and int(old) > len(SONGS):
            shutil.rmtree(os.path.join(out, old))
    if len(args) == 2:
        if shutil.which("rubberband") is None or not os.path.isdir(SPEECH):
            sys.exit("songs.py: rubberband or %s is missing (run scripts/deps quality)" % SPEECH)
        os.makedirs(args[1], exist_ok=True)
        try:
            for check in CHECKS:
                make_check(check, out, args[1], stamp)
        except (OSError, RuntimeError, ValueError) as error:
            sys.exit("songs.py: cannot make the checks: %s" % error)


if __name__ == "__main__":
    main()
