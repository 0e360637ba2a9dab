# SPDX-License-Identifier: GPL-3.0-or-later
"""Remixes rendered songs with their other stem louder, for a measure of how a method holds up
when the accompaniment dominates the mix (as it does in many records).

    rebalance.py SONGS_FOLDER OUT_FOLDER DB
Writes OUT_FOLDER/<n>/ with each song's stems, the other stem DB louder, the mix their exact sum
peaking at -1 dBFS again, and its title. Deterministic; a song already remixed from the same
stems at the same level is left as it is.
"""

import os
import shutil
import sys

import numpy as np
import scipy.io.wavfile as wavfile

from instruments import STEMS


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    src, dst, db = sys.argv[1], sys.argv[2], float(sys.argv[3])
    for n in sorted(os.listdir(src)):
        folder = os.path.join(src, n)
        if not os.path.isfile(os.path.join(folder, "stamp")):
            continue
        stamp = "%s %g" % (open(os.path.join(folder, "stamp")).read(), db)
        out = os.path.join(dst, n)
        stamp_path = os.path.join(out, "stamp")
        if os.path.exists(stamp_path) and open(stamp_path).read() == stamp:
            continue
        os.makedirs(out, exist_ok=True)
        stems = {}
        for s in STEMS:
            rate, x = wavfile.read(os.path.join(folder, s + ".wav"))
            stems[s] = x.astype(np.float64) * (10 ** (db / 20) if s == "other" else 1.0)
        gain = 10 ** (-1 / 20) / np.max(np.abs(sum(stems.values())))
        stems = {s: (x * gain).astype(np.float32) for s, x in stems.items()}
        for s in STEMS:
            wavfile.write(os.path.join(out, s + ".wav"), rate, stems[s])
        mix = sum(x.astype(np.float64) for x in stems.values()).astype(np.float32)
        wavfile.write(os.path.join(out, "mix.wav"), rate, mix)
        shutil.copy(os.path.join(folder, "title.txt"), os.path.join(out, "title.txt"))
        with open(stamp_path, "w") as f:
            f.write(stamp)


if __name__ == "__main__":
    main()
