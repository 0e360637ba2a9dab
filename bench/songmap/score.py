# SPDX-License-Identifier: GPL-3.0-or-later
"""Scores song maps against the truth of the song-map benchmark's songs with mir_eval.

    score.py SONGS ESTIMATES
SONGS/<name>/truth.json is the truth; ESTIMATES/<name>/{stems,mix}.json the maps read from the
stems and from the mix alone (corvane-songmap). Prints "name value unit" lines per song and as
means over the tuned songs, the held-out ones ("holdout-" names) and those written after the
tuning ("fresh-"): tempo within 4 % (Acc1),
beat and downbeat F-measure, key weighted score, chord majmin and root recall, and the sections'
pairwise F-measure. "check-" songs are reported as what they test: beats found where there is no
steady beat, chords and a key found where there is no harmony.
"""

import json
import os
import sys
import warnings

import numpy as np
import mir_eval

METRICS = ("tempo_acc1", "beat_f", "downbeat_f", "key_weighted", "chord_majmin", "chord_root",
           "sections_f")


def intervals(items):
    return (np.array([[c["start"], c["end"]] for c in items], dtype=float),
            [c["label"] for c in items])


def score(truth, est):
    out = {}
    ref_tempo, est_tempo = truth["tempo_bpm"], est["tempo_bpm"]
    out["tempo_acc1"] = float(est_tempo is not None and abs(est_tempo - ref_tempo) <= 0.04 * ref_tempo)
    ref_beats = np.array([b["time"] for b in truth["beats"]])
    est_beats = np.array([b["time"] for b in est["beats"]])
    out["beat_f"] = mir_eval.beat.f_measure(mir_eval.beat.trim_beats(ref_beats),
                                            mir_eval.beat.trim_beats(est_beats))
    ref_down = np.array([b["time"] for b in truth["beats"] if b["beat"] == 1])
    est_down = np.array([b["time"] for b in est["beats"] if b["beat"] == 1])
    out["downbeat_f"] = mir_eval.beat.f_measure(mir_eval.beat.trim_beats(ref_down),
                                                mir_eval.beat.trim_beats(est_down))
    out["key_weighted"] = (mir_eval.key.weighted_score(truth["key"], est["key"])
                           if est["key"] else 0.0)
    ri, rl = intervals(truth["chords"])
    ei, el = intervals(est["chords"])
    if len(el) == 0:
        ei, el = np.array([[0.0, ri[-1, 1]]]), ["N"]
    ei, el = mir_eval.util.adjust_intervals(ei, el, ri.min(), ri.max(), mir_eval.chord.NO_CHORD,
                                            mir_eval.chord.NO_CHORD)
    merged, ref_l, est_l = mir_eval.util.merge_labeled_intervals(ri, rl, ei, el)
    durations = mir_eval.util.intervals_to_durations(merged)
    out["chord_majmin"] = mir_eval.chord.weighted_accuracy(mir_eval.chord.majmin(ref_l, est_l), durations)
    out["chord_root"] = mir_eval.chord.weighted_accuracy(mir_eval.chord.root(ref_l, est_l), durations)
    si, sl = intervals(truth["sections"])
    ei, el = intervals(est["sections"])
    ei, el = mir_eval.util.adjust_intervals(ei, el, si.min(), si.max(), "silence", "silence")
    out["sections_f"] = mir_eval.segment.pairwise(si, sl, ei, el)[0]
    return out


def check(name, truth, est):
    """What a check- song tests, as (metric, value) pairs."""
    harmonic = sum(c["end"] - c["start"] for c in est["chords"] if c["label"] != "N")
    return [("beats_found", len(est["beats"])), ("chord_seconds", harmonic),
            ("key_found", float(est["key"] is not None))]


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: score.py SONGS ESTIMATES")
    songs, estimates = sys.argv[1:]
    warnings.simplefilter("ignore")
    names = sorted(n for n in os.listdir(estimates) if os.path.isdir(os.path.join(estimates, n)))
    groups = {"tuned": {}, "holdout": {}, "fresh": {}}
    for name in names:
        with open(os.path.join(songs, name, "truth.json")) as f:
            truth = json.load(f)
        with open(os.path.join(songs, name, "title.txt")) as f:
            print("# " + f.read().strip())
        for source in ("stems", "mix"):
            path = os.path.join(estimates, name, source + ".json")
            with open(path) as f:
                est = json.load(f)
            if name.startswith("check-"):
                for metric, value in check(name, truth, est):
                    print("%s_%s_%s %.2f" % (name, metric, source, value))
                continue
            s = score(truth, est)
            group = groups[name.split("-")[0] if name.split("-")[0] in groups else "tuned"]
            for metric in METRICS:
                group.setdefault((metric, source), []).append(s[metric])
            print(" ".join("%s=%.3f" % (m, s[m]) for m in METRICS) + "  [%s, %s]" % (name, source))
    for group, values in groups.items():
        count = len(values.get(("beat_f", "stems"), []))
        if not count:
            continue
        for metric in METRICS:
            for source in ("stems", "mix"):
                v = values[(metric, source)]
                print("mean_%s_%s_%s %.3f  (%d songs)" % (group, metric, source, float(np.mean(v)), len(v)))


if __name__ == "__main__":
    main()
