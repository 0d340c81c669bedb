#!/usr/bin/python3
"""The cells task of bench/compare.py: img3d's route against scikit-image's.

A table of area, centroid and mean intensity of every bright object of a
seeded 128 x 512 x 512 volume of blobs in noise, made both ways at the same
threshold in one process, single-threaded, in CPU time (compare.py's
repetitions); the first img3d run also measures the route's peak resident
memory.  Needs an interpreter that imports img3d (compare.py picks one):

    build/python/venv/bin/python bench/compare/compare_cells.py [--min-runs N] [--max-runs N] [--min-seconds S]

Prints one JSON object: the img3d route's time and memory in the fields of
compare_host's results, the peer's time, whether the tables are the same,
the threshold level, the number of objects and which img3d ran.
"""

import argparse
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
# compare sets the single-thread variables before numpy starts.
from compare import Runner, np, skimage_measure, verdict  # noqa: E402

import img3d  # noqa: E402

SHAPE = (128, 512, 512)
CENTRES = 20000
RADIUS = 2
BLOB, BACKGROUND, NOISE = 150, 70, 12
# Midway between the blobs' grey and the background's.  Otsu's level would
# not do: the blobs are 2 % of the voxels, and it splits the background's
# noise instead.
LEVEL = (BLOB + BACKGROUND) // 2
PEER = "skimage.measure.label + regionprops_table"


def blobs_in_noise(seed=1):
    """Balls of RADIUS about CENTRES random centres, grey BLOB on
    BACKGROUND, plus Gaussian noise of deviation NOISE, clipped to 0 ... 255.
    Touching balls make one object and the noise adds specks of its own."""
    rng = np.random.default_rng(seed)
    centres = np.unravel_index(rng.choice(np.prod(SHAPE), CENTRES, replace=False), SHAPE)
    blobs = np.zeros(SHAPE, bool)
    steps = range(-RADIUS, RADIUS + 1)
    for offset in ((dz, dy, dx) for dz in steps for dy in steps for dx in steps):
        if sum(d * d for d in offset) > RADIUS * RADIUS:
            continue
        at = [c + d for c, d in zip(centres, offset)]
        # Balls are cut at the faces, not wrapped round.
        inside = np.logical_and.reduce([(0 <= a) & (a < n) for a, n in zip(at, SHAPE)])
        blobs[tuple(a[inside] for a in at)] = True
    grey = np.where(blobs, float(BLOB), float(BACKGROUND)) + rng.normal(0, NOISE, SHAPE)
    return np.clip(grey, 0, 255).astype(np.uint8)


def status_bytes(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return -1


def reset_peak():
    """Lowers the peak-resident mark to the current resident size (Linux 4.0+)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def same_table(ours, theirs):
    if len(ours["label"]) != len(theirs["label"]):
        return verdict(False, f"{len(ours['label'])} vs {len(theirs['label'])} objects")
    exact = ["label", "area", "centroid-0", "centroid-1", "centroid-2"]
    bad = [key for key in exact if not np.array_equal(ours[key], theirs[key])]
    mean, peer_mean = ours["intensity_mean"], theirs["intensity_mean"]
    if np.any(np.abs(mean - peer_mean) > 1e-12 * np.abs(peer_mean)):
        bad.append("intensity_mean")
    return verdict(not bad, ", ".join(bad) + " differ")


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--min-runs", type=int, default=5)
    p.add_argument("--max-runs", type=int, default=100)
    p.add_argument("--min-seconds", type=float, default=0.5)
    args = p.parse_args()
    if skimage_measure is None:
        sys.exit("missing: python3-skimage (the cells task's peer)")
    runner = Runner(args, None, None, None)

    grey = blobs_in_noise()

    def img3d_route():
        return img3d.objects(img3d.segment(grey, LEVEL), grey=grey).to_dict()

    def skimage_route():
        labels = skimage_measure.label(grey >= LEVEL, connectivity=1)
        return skimage_measure.regionprops_table(labels, grey,
                                                 properties=("label", "area", "centroid", "intensity_mean"))

    resident = status_bytes("VmRSS")
    reset = reset_peak()
    img3d_route()
    peak = status_bytes("VmHWM")
    ms, ours, runs = runner.python(img3d_route)
    peer_ms, theirs, peer_runs = runner.python(skimage_route)
    mine = {"op": "cells", "available": True, "runs": runs, "median_ms": ms, "resident_bytes": resident,
            "peak_bytes": peak, "peak_reset": reset, "input_bytes": grey.nbytes}
    print(json.dumps({"img3d": mine, "peer": PEER, "peer_ms": peer_ms, "peer_runs": peer_runs,
                      "same": same_table(ours, theirs), "level": LEVEL, "objects": len(ours["label"]),
                      "version": img3d.__version__, "module": os.path.dirname(img3d.__file__)}))


if __name__ == "__main__":
    main()
