# SPDX-License-Identifier: GPL-3.0-or-later
"""The Standard separation as a user would script it with numpy and scipy: the baseline that
corvane-bench times corvane-cli against (cli_speedup_over_numpy).

    numpy_reference.py INPUT OUTPUT_FOLDER

Decodes INPUT with ffmpeg (to stereo 32-bit float at the file's rate), separates it with the same
maths as corvane's Standard method (2048-sample periodic Hann frames at hop 1024 behind a
2048-sample lead-in; 13-tap medians of the mid magnitude along time and along frequency with the
edges repeated; the power-2 percussive mask; the squared centre measure; the 120-180 Hz bass
smoothstep; overlap-add divided by the window power) and writes the four stems as 24-bit WAVs
named "<track> - <Stem>.wav", clipped to full scale. Vectorised over whole planes, as numpy code
is, in single precision as corvane; not bit-identical to it (other FFT and median code, another
rounding of the 24-bit samples).
"""

import os
import subprocess
import sys

import numpy as np
from scipy import fft, ndimage

FRAME = 2048
HOP = 1024
LEAD_IN = 2048
MEDIAN = 13
STEMS = ("Vocals", "Drums", "Bass", "Other")


def decode(path):
    rate = subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
         "stream=sample_rate", "-of", "csv=p=0", path],
        check=True, capture_output=True, text=True).stdout.strip()
    raw = subprocess.run(
        ["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-ac", "2", "-f", "f32le", "-"],
        check=True, capture_output=True).stdout
    samples = np.frombuffer(raw, dtype="<f4").reshape(-1, 2)
    return samples[:, 0], samples[:, 1], float(rate)


def window():
    i = np.arange(FRAME, dtype=np.float32)
    return (0.5 - 0.5 * np.cos(2.0 * np.pi * i / FRAME)).astype(np.float32)


def spectra(x, frames, w):
    padded = np.zeros((frames + 1) * HOP, dtype=np.float32)
    padded[LEAD_IN:LEAD_IN + len(x)] = np.nan_to_num(x, nan=0.0, posinf=0.0, neginf=0.0)
    framed = np.lib.stride_tricks.sliding_window_view(padded, FRAME)[::HOP][:frames]
    return fft.rfft(framed * w, axis=1)  # float32 in, complex64 out


def overlap_add(spectrum, frames, w, n, power):
    y = fft.irfft(spectrum, n=FRAME, axis=1) * w
    out = np.zeros((frames + 1, HOP), dtype=np.float32)
    out[:frames] += y[:, :HOP]
    out[1:] += y[:, HOP:]
    return out.reshape(-1)[LEAD_IN:LEAD_IN + n] / power


def separate(l, r, rate):
    n = len(l)
    frames = (n + LEAD_IN) // HOP + 2
    w = window()
    left, right = spectra(l, frames, w), spectra(r, frames, w)

    mid = np.abs(0.5 * (left + right))
    harmonic = ndimage.median_filter(mid, size=(MEDIAN, 1), mode="nearest")
    percussive = ndimage.median_filter(mid, size=(1, MEDIAN), mode="nearest")
    q = percussive ** 2 / (harmonic ** 2 + percussive ** 2 + 1e-12)

    difference = np.abs(left - right) ** 2
    total = np.abs(left) ** 2 + np.abs(right) ** 2
    c2 = np.clip(1.0 - difference / (total + 1e-12), 0.0, 1.0) ** 2

    x = np.clip((np.arange(FRAME // 2 + 1) * (rate / FRAME) - 120.0) / 60.0, 0.0, 1.0)
    b = (1.0 - x * x * (3.0 - 2.0 * x)).astype(np.float32)
    gains = ((1 - q) * (1 - b) * c2, (1 - b) * q, np.broadcast_to(b, q.shape),
             (1 - b) * (1 - q) * (1 - c2))

    w2 = np.zeros((frames + 1, HOP), dtype=np.float32)
    w2[:frames] += w[:HOP] ** 2
    w2[1:] += w[HOP:] ** 2
    power = np.maximum(w2.reshape(-1)[LEAD_IN:LEAD_IN + n], 1e-6)
    return [(overlap_add(g * left, frames, w, n, power), overlap_add(g * right, frames, w, n, power))
            for g in gains]


def write_wav24(path, l, r, rate):
    ints = np.round(np.clip(np.stack([l, r], axis=1), -1.0, 1.0) * 8388607.0).astype("<i4")
    data = ints.view(np.uint8).reshape(-1, 4)[:, :3].tobytes()
    header = b"".join([
        b"RIFF", (36 + len(data)).to_bytes(4, "little"), b"WAVEfmt ",
        (16).to_bytes(4, "little"), (1).to_bytes(2, "little"), (2).to_bytes(2, "little"),
        int(rate).to_bytes(4, "little"), (int(rate) * 6).to_bytes(4, "little"),
        (6).to_bytes(2, "little"), (24).to_bytes(2, "little"), b"data",
        len(data).to_bytes(4, "little")])
    with open(path, "wb") as out:
        out.write(header)
        out.write(data)


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: numpy_reference.py INPUT OUTPUT_FOLDER")
    source, folder = sys.argv[1], sys.argv[2]
    l, r, rate = decode(source)
    os.makedirs(folder, exist_ok=True)
    track = os.path.splitext(os.path.basename(source))[0]
    for name, (sl, sr) in zip(STEMS, separate(l, r, rate)):
        write_wav24(os.path.join(folder, f"{track} - {name}.wav"), sl, sr, rate)


if __name__ == "__main__":
    main()
