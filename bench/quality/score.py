# SPDX-License-Identifier: GPL-3.0-or-later
"""Scores separated stems against the songs' true stems with BSS Eval (mir_eval).

    score.py [--cache FOLDER] [--checks CHECKS_FOLDER] SONGS_FOLDER ESTIMATES_FOLDER METHOD...
SONGS_FOLDER/<n>/ holds the true stems and title.txt (from songs.py); ESTIMATES_FOLDER/<method>/<n>/
holds one method's four stems and seconds.txt (its separation time). The songs scored are those
with estimates from the first method. Prints "name value unit"
lines: per song, then the mean over songs, for each method and for two baselines: the oracle (the
ideal ratio mask on the separator's own STFT, which says how much the STFT leaves to gain) and the
mixture given as every stem (what doing nothing scores).

Every signal is the mono downmix of its first 30 s. The SDR is mir_eval.separation's
bss_eval_sources without permutation (the stems' order is known); a song's silent true stem (the
vocals of a song without a singer) is left out of its scores and the means. With --cache, scores
are kept in FOLDER, keyed by the exact signals, and reused.

With --checks, the checks of songs.py are scored from ESTIMATES_FOLDER/<method>/check-<name>/:
  vocals_level_<name>_<method>   the vocals stem's level under the mix, in dB (lower is better),
                                 for a backing without a voice;
  voice_in_<stem>_<name>_<method>   the share of a real voice's energy in each stem, in %: the
                                 projection of the stem on the true voice, <stem, v> / <v, v>
                                 (the four shares add up to about 100; higher in vocals is better).
    score.py --check
compares the cached projection used here with mir_eval's own on a short excerpt and exits.
"""

import hashlib
import os
import sys
import time
import warnings

import numpy as np
import scipy.fft
import scipy.linalg
import scipy.io.wavfile as wavfile
from scipy.linalg import toeplitz

import mir_eval.separation

STEMS = ("vocals", "drums", "bass", "other")
SCORED_SECONDS = 30.0
FRAME, HOP = 2048, 1024  # the separator's STFT


# ---------------------------------------------------------------------------------------------
# A faster, equivalent mir_eval projection.
#
# bss_eval_sources projects each estimate on delayed copies of all references (and of its own
# reference), and mir_eval rebuilds the references' Gram matrix from scratch for every such call:
# 8 times per song and method, about 70 s for four 30 s stems. The matrix depends only on the
# references, so it is built and factorised once per song here, with real FFTs; the least-squares
# problem and every criterion stay mir_eval's (score.py --check compares the two).

_original_project = mir_eval.separation._project
_gram = {}  # references' digest -> _References


def _digest(a):
    return hashlib.blake2b(np.ascontiguousarray(a), digest_size=16).digest()  # no copy


class _References:
    """The part of mir_eval's projection that depends on the references only: their spectra, the
    Gram matrix of their delayed copies and its LU factors (for the block of each single
    reference too, which is the projection on that reference alone)."""

    def __init__(self, refs, flen):
        nsrc, nsampl = refs.shape
        self.flen = flen
        # Long enough that no correlation lag or filter tail wraps around (mir_eval pads to a
        # power of two, which is up to twice as long; any length past this gives the same sums).
        self.n_fft = scipy.fft.next_fast_len(nsampl + 2 * flen - 2, real=True)
        self.sf = scipy.fft.rfft(refs, n=self.n_fft, axis=1)
        G = np.zeros((nsrc * flen, nsrc * flen))
        for i in range(nsrc):
            for j in range(i, nsrc):
                ssf = scipy.fft.irfft(self.sf[i] * np.conj(self.sf[j]), n=self.n_fft)
                ss = toeplitz(np.hstack((ssf[0], ssf[-1:-flen:-1])), r=ssf[:flen])
                G[i * flen : (i + 1) * flen, j * flen : (j + 1) * flen] = ss
                G[j * flen : (j + 1) * flen, i * flen : (i + 1) * flen] = ss.T
        self.G = G
        self.rows = [_digest(r) for r in refs]
        self.lu = {}  # which references (tuple) -> LU factors of their block, or None if singular

    def factors(self, which):
        if which not in self.lu:
            idx = np.concatenate([np.arange(j * self.flen, (j + 1) * self.flen) for j in which])
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("error", scipy.linalg.LinAlgWarning)
                    self.lu[which] = scipy.linalg.lu_factor(self.G[np.ix_(idx, idx)])
            except (np.linalg.LinAlgError, scipy.linalg.LinAlgWarning, ValueError):
                self.lu[which] = None
        return self.lu[which]


def _find_references(reference_sources, flen):
    """The cached references holding these rows (a full set, or one row of a set seen before),
    and the rows' indices in it."""
    if len(reference_sources) == 1:
        d = _digest(reference_sources[0])
        for refs in _gram.values():
            if refs.flen == flen and d in refs.rows:
                return refs, (refs.rows.index(d),)
    key = (_digest(reference_sources), flen)
    if key not in _gram:
        if len(_gram) > 2:  # each song's set holds about 100 MB
            _gram.clear()
        _gram[key] = _References(reference_sources, flen)
    return _gram[key], tuple(range(len(reference_sources)))


def _cached_project(reference_sources, estimated_source, flen):
    nsrc, nsampl = reference_sources.shape
    refs, which = _find_references(reference_sources, flen)
    n_fft = refs.n_fft
    sef = scipy.fft.rfft(estimated_source, n=n_fft)
    D = np.zeros(nsrc * flen)
    for i, j in enumerate(which):
        ssef = scipy.fft.irfft(refs.sf[j] * np.conj(sef), n=n_fft)
        D[i * flen : (i + 1) * flen] = np.hstack((ssef[0], ssef[-1:-flen:-1]))
    lu = refs.factors(which)
    if lu is not None:
        C = scipy.linalg.lu_solve(lu, D).reshape(flen, nsrc, order="F")
    else:  # as mir_eval: least squares when the references are linearly dependent
        idx = np.concatenate([np.arange(j * flen, (j + 1) * flen) for j in which])
        C = np.linalg.lstsq(refs.G[np.ix_(idx, idx)], D, rcond=None)[0]
        C = C.reshape(flen, nsrc, order="F")
    # Each reference filtered by its distortion filter, summed: in the frequency domain with the
    # references' cached spectra (the FFT is long enough for a linear convolution).
    total = np.zeros_like(sef)
    for i, j in enumerate(which):
        total += scipy.fft.rfft(C[:, i], n=n_fft) * refs.sf[j]
    return scipy.fft.irfft(total, n=n_fft)[: nsampl + flen - 1]


mir_eval.separation._project = _cached_project


# ---------------------------------------------------------------------------------------------


def read_wav(path):
    """Stereo float64 in [-1, 1] from a float or integer WAV; and its rate."""
    rate, x = wavfile.read(path)
    if x.dtype.kind == "i":
        x = x / float(2 ** (8 * x.dtype.itemsize - 1))  # 24-bit arrives left-aligned in int32
    elif x.dtype.kind == "u":
        x = (x - 128.0) / 128.0
    x = np.asarray(x, dtype=np.float64)
    if x.ndim == 1:
        x = np.stack([x, x], axis=1)
    return x, rate


def read_stems(folder):
    stems = [read_wav(os.path.join(folder, s + ".wav")) for s in STEMS]
    return np.stack([x for x, _ in stems]), stems[0][1]  # (4, frames, 2)


def oracle(refs):
    """The ideal ratio mask on the separator's STFT (periodic Hann, FRAME points, hop HOP)
    applied to the mix, per channel: each stem gets |S_k| / sum_j |S_j| of every bin."""
    nstem, frames, nch = refs.shape
    window = 0.5 - 0.5 * np.cos(2 * np.pi * np.arange(FRAME) / FRAME)  # sums to 1 at hop N/2
    padded = np.zeros((nstem, frames + 2 * FRAME, nch))
    padded[:, FRAME : FRAME + frames] = refs
    starts = np.arange(0, frames + FRAME, HOP)
    out = np.zeros_like(padded)
    for c in range(nch):
        frames_of = np.stack([padded[:, s : s + FRAME, c] for s in starts], axis=1) * window
        spectra = np.fft.rfft(frames_of, axis=2)  # (stem, frame, bin)
        mags = np.abs(spectra)
        total = mags.sum(axis=0)
        masks = np.where(total > 0, mags / np.maximum(total, 1e-30), 1.0 / nstem)
        mix = spectra.sum(axis=0)
        est = np.fft.irfft(masks * mix, n=FRAME, axis=2)
        for i, s in enumerate(starts):
            out[:, s : s + FRAME, c] += est[:, i]
    return out[:, FRAME : FRAME + frames]


def mono_excerpt(stems, rate):
    n = min(stems.shape[1], int(SCORED_SECONDS * rate))
    return stems[:, :n].mean(axis=2)


def dither_silent(x, seed):
    """mir_eval refuses an all-zero signal; a tiny fixed noise instead lets a silent estimate of
    a real stem score very low rather than stop the run."""
    rng = np.random.default_rng(seed)
    x = x.copy()
    for k in range(len(x)):
        if not np.any(x[k]):
            x[k] = 1e-7 * rng.standard_normal(x.shape[1])
    return x


_cache_folder = None
with open(__file__, "rb") as _f:  # a change to this scorer or to mir_eval forgets old scores
    _scorer_digest = hashlib.blake2b(_f.read() + mir_eval.__version__.encode()).hexdigest()[:16]


def sdr(refs, est):
    """Four SDRs in dB, NaN for a silent reference. With a cache folder, a pair of signals scored
    before (the unchanged Standard method, the oracle) is read back instead of taking BSS Eval's
    20 s again."""
    scored = [k for k in range(len(refs)) if np.any(refs[k])]
    if len(scored) < len(refs):
        out = np.full(len(refs), np.nan)
        out[scored] = sdr(refs[scored], est[scored])
        return out
    n = min(refs.shape[1], est.shape[1])
    r, e = dither_silent(refs[:, :n], 1), dither_silent(est[:, :n], 2)
    path = None
    if _cache_folder:
        key = _scorer_digest + _digest(r).hex() + _digest(e).hex()
        path = os.path.join(_cache_folder, key + ".txt")
        if os.path.exists(path):
            with open(path) as f:
                return np.array([float(v) for v in f.read().split()])
    _find_references(r, 512)  # the full set first: each single reference is then one of its rows
    values = mir_eval.separation.bss_eval_sources(r, e, compute_permutation=False)[0]
    if path:
        os.makedirs(_cache_folder, exist_ok=True)
        with open(path + ".part", "w") as f:
            f.write(" ".join(repr(float(v)) for v in values))
        os.replace(path + ".part", path)  # a run stopped half-way leaves no torn entry
    return values


def check():
    """Our projection against mir_eval's own, on 3 s of a generated four-source mixture."""
    rng = np.random.default_rng(7)
    n = 3 * 8000
    refs = np.cumsum(rng.standard_normal((4, n)), axis=1) * 0.01 + rng.standard_normal((4, n))
    est = refs + 0.3 * rng.standard_normal((4, n)) + 0.2 * refs[[1, 2, 3, 0]]
    mine = sdr(refs, est)
    mir_eval.separation._project = _original_project
    theirs = sdr(refs, est)
    mir_eval.separation._project = _cached_project
    print("check sdr cached", np.round(mine, 6), "mir_eval", np.round(theirs, 6))
    print("check max_difference %.2e dB" % np.max(np.abs(mine - theirs)))
    return 0 if np.allclose(mine, theirs, atol=1e-6) else 1


def score_checks(checks, estimates_folder, methods):
    """The checks' figures for each method, and their means by kind."""
    names = sorted(d for d in os.listdir(checks) if os.path.isdir(os.path.join(checks, d)))
    print("== checks (%s)" % " ".join(names))
    for m in methods:
        levels, shares = [], []
        for name in names:
            folder = os.path.join(estimates_folder, m, "check-" + name)
            if not os.path.isdir(folder):
                continue
            mix, rate = read_wav(os.path.join(checks, name, "mix.wav"))
            stems, _ = read_stems(folder)
            n = min(len(mix), stems.shape[1])
            mono = stems[:, :n].mean(axis=2)
            voice_path = os.path.join(checks, name, "voice.wav")
            if os.path.exists(voice_path):
                voice = read_wav(voice_path)[0][:n].mean(axis=1)
                share = 100 * mono @ voice / (voice @ voice)
                for stem, v in zip(STEMS, share):
                    print("voice_in_%s_%s_%s %.1f %%" % (stem, name, m, v))
                shares.append(share[0])
            else:
                level = 10 * np.log10((mono[0] @ mono[0] + 1e-30) /
                                      (np.sum(mix[:n].mean(axis=1) ** 2) + 1e-30))
                print("vocals_level_%s_%s %.1f dB" % (name, m, level))
                levels.append(level)
        if levels:
            print("vocals_level_mean_%s %.1f dB" % (m, np.mean(levels)))
        if shares:
            print("voice_in_vocals_mean_%s %.1f %%" % (m, np.mean(shares)))


def main(argv):
    global _cache_folder
    if argv[1:] == ["--check"]:
        return check()
    checks = None
    while len(argv) > 2 and argv[1] in ("--cache", "--checks"):
        if argv[1] == "--cache":
            _cache_folder = argv[2]
        else:
            checks = argv[2]
        argv = argv[:1] + argv[3:]
    if len(argv) < 4:
        print("usage: score.py [--cache FOLDER] [--checks FOLDER] SONGS_FOLDER ESTIMATES_FOLDER "
              "METHOD...", file=sys.stderr)
        return 2
    songs_folder, estimates_folder, methods = argv[1], argv[2], argv[3:]
    # The songs separated in this run (all, or those the caller chose).
    songs = sorted((d for d in os.listdir(songs_folder) if d.isdigit() and
                    os.path.isdir(os.path.join(estimates_folder, methods[0], d))), key=int)
    if not songs:
        print("score.py: no %s stems in %s" % (methods[0], estimates_folder), file=sys.stderr)
        return 1
    columns = methods + ["oracle", "mixture"]
    table = {m: [] for m in columns}  # method -> one row of four SDRs per song
    seconds = {m: [] for m in methods}
    started = time.monotonic()
    for song in songs:
        folder = os.path.join(songs_folder, song)
        with open(os.path.join(folder, "title.txt")) as f:
            title = f.read().strip()
        print("== song %s: %s" % (song, title), flush=True)
        true_stems, rate = read_stems(folder)
        refs = mono_excerpt(true_stems, rate)
        for m in columns:
            if m == "oracle":
                est = mono_excerpt(oracle(true_stems), rate)
            elif m == "mixture":
                est = np.repeat(mono_excerpt(true_stems, rate).sum(axis=0)[None], 4, axis=0)
            else:
                est_folder = os.path.join(estimates_folder, m, song)
                stems, est_rate = read_stems(est_folder)
                if est_rate != rate:
                    print("score.py: %s stems of song %s are at %d Hz, not %d Hz"
                          % (m, song, est_rate, rate), file=sys.stderr)
                    return 1
                est = mono_excerpt(stems, rate)
                with open(os.path.join(est_folder, "seconds.txt")) as f:
                    seconds[m].append(float(f.read()))
            values = sdr(refs, est)
            table[m].append(values)
            for stem, v in zip(STEMS, values):
                if not np.isnan(v):
                    print("sdr_%s_%s %.2f dB" % (stem, m, v))
            print("sdr_mean_%s %.2f dB" % (m, np.nanmean(values)))
            if m in seconds:
                print("separate_seconds_%s %.3f s" % (m, seconds[m][-1]))
            sys.stdout.flush()
    print("== mean over %d songs (%s)" % (len(songs), " ".join(songs)))
    for m in columns:
        rows = np.array(table[m])
        stem_means = np.nanmean(rows, axis=0)
        for stem, v in zip(STEMS, stem_means):
            print("sdr_%s_%s %.2f dB" % (stem, m, v))
        # The mean of the four stems' means, so a song without vocals does not tilt it.
        print("sdr_mean_%s %.2f dB" % (m, np.mean(stem_means)))
    for m in methods:
        print("separate_seconds_%s %.3f s" % (m, float(np.sum(seconds[m]))))
    if checks:
        score_checks(checks, estimates_folder, methods)
    print("scoring_seconds %.1f s" % (time.monotonic() - started))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except (OSError, ValueError) as error:  # a missing or unreadable stem or time
        sys.exit("score.py: %s" % error)
