#!/usr/bin/python3
"""img3d from Python against scipy.ndimage and scikit-image, in one process.

On the ch2 MRI template's mask (grey >= Otsu's level + 1, as bench/compare.py
makes it; a bool array as the peers take it) times, single-threaded in CPU
time, each img3d function called from Python (every copy the binding makes
included) and its usual peer, and checks that the outputs agree:

    img3d.label                 scipy.ndimage.label
    img3d.remove_objects        skimage.morphology.remove_small_objects
    img3d.dilate (6 and 26)     scipy.ndimage.binary_dilation (cross, 3x3x3)

Then the binding's own cost: img3d.label(mask, out=labels) with labels
already in memory, against Img3DLabel called on a prepared volume of the
shared library (build/compare-python, built here), the same work without
Python; the difference over the C time is the binding's share.

Run it with a Python where img3d is installed (the README's venv):

    build/python/venv/bin/python bench/compare/compare_python.py [--runs N] [--volume FILE]
"""

import argparse
import ctypes
import os
import shutil
import statistics
import subprocess
import sys
import time
import warnings

for _name in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_name] = "1"

import numpy as np  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CH2 = "/usr/share/mricron/templates/ch2.nii.gz"
MIN_OBJECT = 100  # voxels, as bench/compare.py removes


def cpu_ms(function, runs):
    """Median CPU milliseconds of runs calls after one warm-up call, and its output."""
    output = function()
    times = []
    for _ in range(runs):
        t0 = time.process_time()
        function()
        times.append(1e3 * (time.process_time() - t0))
    return statistics.median(times), output


def shared_library():
    """Builds and loads libimg3d.so from this tree; None when that fails."""
    build = os.path.join(ROOT, "build", "compare-python")
    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        subprocess.run(["cmake", "-S", ROOT, "-B", build, *generator, "-DCMAKE_BUILD_TYPE=Release",
                        "-DIMG3D_BUILD_TESTS=OFF", "-DIMG3D_BUILD_EXAMPLES=OFF", "-DIMG3D_BUILD_BENCH=OFF",
                        "-DIMG3D_BUILD_TOOLS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "--target", "img3d"], check=True, stdout=subprocess.DEVNULL)
    lib = ctypes.CDLL(os.path.join(build, "libimg3d.so"))
    volume = ctypes.POINTER(ctypes.POINTER(ctypes.POINTER(ctypes.c_ubyte)))
    lib.Image3DAlloc.restype = volume
    lib.Image3DAlloc.argtypes = [ctypes.c_int] * 3
    lib.Image3DFree.argtypes = [volume]
    lib.Img3DLabel.restype = ctypes.c_int
    lib.Img3DLabel.argtypes = [volume, ctypes.c_int, ctypes.c_int, ctypes.c_void_p]
    return lib


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--runs", type=int, default=15, help="timed runs per operation (median taken)")
    p.add_argument("--volume", default=CH2, help="an 8-bit NIfTI volume (default: ch2 of mricron-data)")
    args = p.parse_args()
    try:
        import img3d
        import nibabel
        from scipy import ndimage as ndi
        from skimage import morphology
    except ImportError as e:
        sys.exit(f"missing: {e.name} (img3d: see the README's venv; Debian: python3-nibabel, python3-scipy, "
                 "python3-skimage)")
    if not os.path.exists(args.volume):
        sys.exit(f"missing: {args.volume} (Debian: mricron-data)")

    grey = np.asarray(nibabel.load(args.volume).dataobj.get_unscaled()).T
    level = img3d.otsu_threshold(grey)
    mask = grey >= level + 1
    d, h, w = mask.shape
    print(f"{os.path.basename(args.volume)} {w}x{h}x{d}, mask v >= {level + 1} (Otsu {level}): "
          f"{int(mask.sum())} voxels; CPU ms, median of {args.runs}; numpy {np.__version__}")
    print(f"{'operation':<34} {'img3d':>9} {'peer':<42} {'peer ms':>9} {'ratio':>7}  same")

    def row(name, mine, peer, theirs, same):
        print(f"{name:<34} {mine:9.2f} {peer:<42} {theirs:9.2f} {theirs / mine:6.1f}x  {'yes' if same else 'NO'}")

    ms, (ours, n) = cpu_ms(lambda: img3d.label(mask), args.runs)
    peer_ms, (theirs, k) = cpu_ms(lambda: ndi.label(mask), args.runs)
    row("label(mask)", ms, "scipy.ndimage.label", peer_ms, n == k and np.array_equal(ours, theirs))

    ms, ours = cpu_ms(lambda: img3d.remove_objects(mask, min_volume=MIN_OBJECT), args.runs)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        peer_ms, theirs = cpu_ms(
            lambda: morphology.remove_small_objects(mask, min_size=MIN_OBJECT, connectivity=1), args.runs)
    row(f"remove_objects(min_volume={MIN_OBJECT})", ms, f"skimage remove_small_objects({MIN_OBJECT})", peer_ms,
        np.array_equal(ours, theirs))

    for connectivity, rank, name in ((6, 1, "cross"), (26, 3, "3x3x3")):
        structure = ndi.generate_binary_structure(3, rank)
        ms, ours = cpu_ms(lambda: img3d.dilate(mask, connectivity=connectivity), args.runs)
        peer_ms, theirs = cpu_ms(lambda: ndi.binary_dilation(mask, structure), args.runs)
        row(f"dilate(connectivity={connectivity})", ms, f"scipy.ndimage.binary_dilation ({name})", peer_ms,
            np.array_equal(ours, theirs))

    try:
        lib = shared_library()
    except (OSError, AttributeError, subprocess.CalledProcessError) as e:
        print(f"binding cost: not measured (the shared library: {e})")
        return
    volume = lib.Image3DAlloc(w, h, d)
    ctypes.memmove(volume[0][0], (mask.view(np.uint8) * np.uint8(255)).ctypes.data, mask.size)
    labels = np.zeros(mask.shape, np.int32)
    address = labels.ctypes.data
    # Interleaved, so that both see the same machine.
    c_times, py_times = [], []
    for _ in range(max(args.runs, 30)):
        t0 = time.process_time()
        lib.Img3DLabel(volume, 255, 6, address)
        t1 = time.process_time()
        img3d.label(mask, out=labels)
        t2 = time.process_time()
        c_times.append(1e3 * (t1 - t0))
        py_times.append(1e3 * (t2 - t1))
    lib.Image3DFree(volume)
    c_ms, py_ms = statistics.median(c_times), statistics.median(py_times)
    print(f"binding cost: img3d.label(mask, out=labels) {py_ms:.3f} ms, Img3DLabel on a prepared volume "
          f"{c_ms:.3f} ms: {100 * (py_ms - c_ms) / c_ms:+.1f} % of the C call")


if __name__ == "__main__":
    main()
