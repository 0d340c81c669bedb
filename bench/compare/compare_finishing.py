#!/usr/bin/python3
"""The finishing operations of img3d against scipy.ndimage and scikit-image.

Calls the shared library (built in build/compare-python, as
compare_python.py builds it) through ctypes on raw numpy memory, so the
figures are those of the C functions, single-threaded, in CPU time (the two
calls of a row taken in turn, so that both see the same machine), and
checks that every output is the same array as its peer's:

    Img3DBinaryDilate/Erode/Open/Close   scipy.ndimage.binary_* (same element)
    Img3DFillHoles                       scipy.ndimage.binary_fill_holes
    Img3DRemoveBySize, Img3DKeepLargest  skimage remove_small_objects / label + bincount
    Img3DLabelAll                        skimage.measure.label(a, background=0)
    Img3DIntensityStats                  scipy.ndimage mean + minimum + maximum + standard_deviation

Inputs: the ch2 mask (grey above its Otsu level), a ball of radius 100 in a
256^3 volume and 256^3 noise of density 1/2; for the labelling of every
value, the aal atlas and 256^3 noise of 8 values; for the statistics a
128x512x512 grey volume whose brightest voxels make about a million objects.

    /usr/bin/python3 bench/compare/compare_finishing.py [--runs N] [--only WORD]
"""

import argparse
import ctypes
import os
import statistics
import sys
import time
import warnings

for _name in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_name] = "1"

import numpy as np  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from compare_python import shared_library  # noqa: E402

CH2 = "/usr/share/mricron/templates/ch2.nii.gz"
AAL = "/usr/share/mricron/templates/aal.nii.gz"
UINT8, INT16, UINT16, INT32, INT64, FLOAT32 = 1, 2, 3, 4, 5, 6
I64, VP, INT = ctypes.c_int64, ctypes.c_void_p, ctypes.c_int


class Intensity(ctypes.Structure):
    _fields_ = [("count", I64), ("integerSum", I64), ("sum", ctypes.c_double), ("mean", ctypes.c_double),
                ("deviation", ctypes.c_double), ("minimum", ctypes.c_double), ("maximum", ctypes.c_double)]


def declare(lib):
    for name in ("Img3DBinaryDilate", "Img3DBinaryErode", "Img3DBinaryOpen", "Img3DBinaryClose"):
        getattr(lib, name).argtypes = [VP, VP, I64, I64, I64, INT, INT, INT, INT]
        getattr(lib, name).restype = INT
    lib.Img3DFillHoles.argtypes = [VP, VP, I64, I64, I64, INT, INT, INT, INT]
    lib.Img3DFillHoles.restype = I64
    lib.Img3DKeepLargest.argtypes = [VP, VP, I64, I64, I64, INT, INT, I64, INT]
    lib.Img3DKeepLargest.restype = I64
    lib.Img3DRemoveBySize.argtypes = [VP, VP, I64, I64, I64, INT, INT, I64, I64, INT]
    lib.Img3DRemoveBySize.restype = I64
    lib.Img3DLabelAll.argtypes = [VP, INT, I64, I64, I64, INT, VP, INT, VP, I64]
    lib.Img3DLabelAll.restype = I64
    lib.Img3DIntensityStats.argtypes = [VP, INT, VP, INT, I64, I64, I64, I64, VP]
    lib.Img3DIntensityStats.restype = I64


def paired_ms(mine, theirs, runs):
    """Median CPU milliseconds of both after a warm-up call each, their calls
    taken in turn so that both see the same machine; and their outputs."""
    outputs = mine(), theirs()
    times = ([], [])
    for _ in range(runs):
        for function, spent in zip((mine, theirs), times):
            t0 = time.process_time()
            function()
            spent.append(1e3 * (time.process_time() - t0))
    return statistics.median(times[0]), statistics.median(times[1]), outputs


def otsu_level(grey):
    """The highest grey level of the lower class, ties to the highest level."""
    p = np.bincount(grey.ravel(), minlength=256).astype(np.float64) / grey.size
    w = np.cumsum(p)
    m = np.cumsum(np.arange(256) * p)
    mean = m[-1]
    d = (1 - w) * w
    with np.errstate(divide="ignore", invalid="ignore"):
        score = np.where(d == 0, 0.0, (mean * w - m) ** 2 / d)
    return int(255 - np.argmax(score[::-1]))


def inputs():
    import nibabel
    masks = {}
    if os.path.exists(CH2):
        grey = np.ascontiguousarray(np.asarray(nibabel.load(CH2).dataobj.get_unscaled()).T).astype(np.uint8)
        masks["ch2"] = grey > otsu_level(grey)
    z, y, x = np.ogrid[:256, :256, :256]
    masks["ball"] = (z - 127.5) ** 2 + (y - 127.5) ** 2 + (x - 127.5) ** 2 <= 100 ** 2
    masks["noise"] = np.random.default_rng(1).random((256, 256, 256)) < 0.5
    return masks


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--runs", type=int, default=3, help="timed runs per operation (median taken)")
    p.add_argument("--only", default="", help="only the rows whose name or input holds this word")
    args = p.parse_args()
    try:
        import nibabel  # noqa: F401
        from scipy import ndimage as ndi
        from skimage import measure, morphology
    except ImportError as e:
        sys.exit(f"missing: {e.name} (Debian: python3-nibabel, python3-scipy, python3-skimage)")
    lib = shared_library()
    declare(lib)
    print(f"CPU ms, median of {args.runs}; load {os.getloadavg()[0]:.2f}")
    print(f"{'operation':<30} {'input':<7} {'img3d':>9} {'peer':<34} {'peer ms':>9} {'ratio':>7}  same")

    def row(name, where, mine, theirs, peer):
        if args.only not in f"{name} {where}":
            return
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            ms, peer_ms, (ours, expected) = paired_ms(mine, theirs, args.runs)
        same = all(np.array_equal(a, b) for a, b in zip(ours, expected))
        print(f"{name:<30} {where:<7} {ms:9.1f} {peer:<34} {peer_ms:9.1f} {peer_ms / ms:6.1f}x  "
              f"{'yes' if same else 'NO'}", flush=True)

    rank = {6: 1, 18: 2, 26: 3}
    for where, mask in inputs().items():
        d, h, w = mask.shape
        a = mask.view(np.uint8)
        # One output array, written by every call as a host would reuse it;
        # each row compares it before the next row writes it.
        out = np.empty_like(a)

        def call(function, *extra):
            def run():
                function(a.ctypes.data, out.ctypes.data, w, h, d, 1, 0, *extra)
                return (out.view(bool),)
            return run

        peers = {"Dilate": ndi.binary_dilation, "Erode": ndi.binary_erosion, "Open": ndi.binary_opening,
                 "Close": ndi.binary_closing}
        for op, peer in peers.items():
            for c in (6, 26):
                s = ndi.generate_binary_structure(3, rank[c])
                row(f"Binary{op}({c})", where, call(getattr(lib, f"Img3DBinary{op}"), c, 1),
                    lambda peer=peer, s=s: (peer(mask, s),), f"ndimage.{peer.__name__}")
        for c in (6, 26):
            s = ndi.generate_binary_structure(3, rank[c])
            row(f"FillHoles({c})", where, call(lib.Img3DFillHoles, c, -1),
                lambda s=s: (ndi.binary_fill_holes(mask, s),), "ndimage.binary_fill_holes")

        def select(function, *extra):
            def run():
                function(a.ctypes.data, out.ctypes.data, w, h, d, 1, *extra)
                return (out.view(bool),)
            return run

        for c in (6, 18, 26):
            row(f"RemoveBySize({c}, 100)", where, select(lib.Img3DRemoveBySize, c, 100, 2 ** 63 - 1, 0),
                lambda c=c: (morphology.remove_small_objects(mask, 100, connectivity=rank[c]),),
                "remove_small_objects(100)")

            def largest(c=c):
                labels = measure.label(mask, connectivity=rank[c])
                sizes = np.bincount(labels.ravel())
                sizes[0] = 0
                return (labels == np.argmax(sizes),)

            row(f"KeepLargest({c}, 1)", where, select(lib.Img3DKeepLargest, c, 1, 0), largest, "label+bincount")

    import nibabel
    images = {"noise8": np.random.default_rng(2).integers(0, 8, (256, 256, 256), dtype=np.uint8)}
    if os.path.exists(AAL):
        images["aal"] = np.ascontiguousarray(np.asarray(nibabel.load(AAL).dataobj.get_unscaled()).T).astype(np.uint8)
    for where, image in images.items():
        d, h, w = image.shape
        labels = np.empty(image.shape, np.int32)
        for c in (6, 26):
            def mine(c=c):
                lib.Img3DLabelAll(image.ctypes.data, UINT8, w, h, d, c, labels.ctypes.data, INT32, None, 0)
                return (labels,)
            row(f"LabelAll({c})", where, mine, lambda c=c: (measure.label(image, background=0, connectivity=rank[c]),),
                "measure.label(background=0)")

    if args.only in "IntensityStats":
        rng = np.random.default_rng(3)
        grey = rng.integers(0, 256, (128, 512, 512), dtype=np.uint8)
        labels, n = ndi.label(grey >= 248)
        labels = labels.astype(np.int32)
        d, h, w = grey.shape
        stats = (Intensity * n)()

        def mine():
            lib.Img3DIntensityStats(labels.ctypes.data, INT32, grey.ctypes.data, UINT8, w, h, d, n, stats)
            s = np.ctypeslib.as_array(stats)
            return s["mean"], s["minimum"], s["maximum"], s["deviation"]

        def theirs():
            index = np.arange(1, n + 1)
            return (ndi.mean(grey, labels, index), ndi.minimum(grey, labels, index), ndi.maximum(grey, labels, index),
                    ndi.standard_deviation(grey, labels, index))

        ms, peer_ms, (ours, expected) = paired_ms(mine, theirs, args.runs)
        same = all(np.allclose(a, b, rtol=1e-9, atol=0) for a, b in zip(ours, expected))
        print(f"{'IntensityStats':<30} {f'{n}':<7} {ms:9.1f} {'ndimage mean+min+max+std':<34} {peer_ms:9.1f} "
              f"{peer_ms / ms:6.1f}x  {'yes' if same else 'NO'}")


if __name__ == "__main__":
    main()
