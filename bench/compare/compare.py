#!/usr/bin/python3
"""img3d side by side with scipy.ndimage, scikit-image, numpy and ITK.

Runs each img3d operation and its usual counterparts on the same volumes,
single-threaded, and prints a Markdown table: operation, input, img3d time,
peer, peer time, ratio (peer time / img3d time), whether the outputs agree
where the operations are the same, and the peak resident memory that the img3d
operation adds.  Writes the table to docs/compare.md and a bar chart of the
ratios to docs/compare.png.

Installs nothing: what is missing (Debian packages python3-numpy,
python3-scipy, python3-skimage, python3-matplotlib, mricron-data,
libinsighttoolkit5-dev) is named, and its columns or inputs are skipped.
Needs cmake and a C++ compiler to build the img3d host (build/compare).

    bench/compare.py               # everything, about ten minutes
    bench/compare.py --quick       # fewer repetitions
    bench/compare.py --ops label6,label26,dilate1 --inputs ball,ch2

Operations (--ops): copy, histo, otsu, segment on grey volumes; label,
label6/18/26, delvolume, dilate1/2, smooth1/3 on masks; the finishing
operations, each with the element or connectivity 6, 18 or 26, on the ball,
the 50 % noise and the ch2 mask: bdilate, berode, bopen, bclose
(Img3DBinaryDilate ... Close, one iteration), fillholes (Img3DFillHoles),
bysize (Img3DRemoveBySize), largest (Img3DKeepLargest); labelall6/18/26
(Img3DLabelAll) on the aal atlas and 256³ noise of 8 values; stats
(Img3DIntensityStats) on 128×512×512 grey noise whose voxels of 248 and
more make about a million objects; cells, the cells task from Python:
img3d's route (threshold, labelling, a table of area, centroid and mean
intensity) against scikit-image's on a 128×512×512 volume of blobs in noise.

The cells row runs in an interpreter that imports img3d: --python, else this
one, else the README's venv (build/python/venv); without one it is skipped.
"""

import argparse
import datetime
import gzip
import json
import os
import platform
import shutil
import statistics
import struct
import subprocess
import sys
import time
import warnings

# Single thread everywhere, set before numpy or any child process starts.
THREAD_VARIABLES = ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "NUMEXPR_NUM_THREADS",
                    "VECLIB_MAXIMUM_THREADS", "ITK_GLOBAL_DEFAULT_NUMBER_OF_THREADS",
                    "ITK_GLOBAL_MAXIMUM_NUMBER_OF_THREADS")
for _name in THREAD_VARIABLES:
    os.environ[_name] = "1"

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MRI_DIR = "/usr/share/mricron/templates"
MRI_FILES = ("ch2", "ch2better")
ITK_PACKAGE = "libinsighttoolkit5-dev"
MIN_OBJECT = 100  # voxels: the removal keeps objects of at least this size
SPOT_LEVEL = 248  # the statistics' objects: grey noise voxels of this value and more
SPOT_SHAPE = (128, 512, 512)


def note(message):
    print(message, file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------
# What is there
# ---------------------------------------------------------------------------

def try_import(name):
    try:
        return __import__(name, fromlist=["_"])
    except ImportError:
        return None


np = try_import("numpy")
ndi = try_import("scipy.ndimage") if np else None
skimage_measure = try_import("skimage.measure") if np else None
skimage_morphology = try_import("skimage.morphology") if np else None
skimage_filters = try_import("skimage.filters") if np else None
scipy = try_import("scipy") if ndi else None
skimage = try_import("skimage") if skimage_measure else None


def package_installed(name):
    if not shutil.which("dpkg-query"):
        return None
    r = subprocess.run(["dpkg-query", "-W", "-f=${Status}", name], capture_output=True, text=True)
    return r.returncode == 0 and "install ok installed" in r.stdout


def itk_config_dir():
    for base in ("/usr/lib/cmake", "/usr/lib/x86_64-linux-gnu/cmake", "/usr/local/lib/cmake"):
        if os.path.isdir(base):
            for entry in sorted(os.listdir(base), reverse=True):
                if entry.startswith("ITK-5") and os.path.exists(os.path.join(base, entry, "ITKConfig.cmake")):
                    return os.path.join(base, entry)
    return None


# ---------------------------------------------------------------------------
# Building the two host programs
# ---------------------------------------------------------------------------

def run_logged(command, log):
    # Two compile jobs unless the caller asks otherwise: the machine may be shared.
    env = dict(os.environ)
    env.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", "2")
    with open(log, "w") as f:
        r = subprocess.run(command, stdout=f, stderr=subprocess.STDOUT, env=env)
    if r.returncode != 0:
        with open(log) as f:
            tail = f.read().splitlines()[-30:]
        note("\n".join(tail))
        note(f"failed: {' '.join(command)} (log: {log})")
    return r.returncode == 0


def generator_args():
    return ["-G", "Ninja"] if shutil.which("ninja") else []


def build_host(build_dir):
    if not shutil.which("cmake"):
        note("missing: cmake (Debian: cmake) -- cannot build the img3d host")
        return None
    os.makedirs(build_dir, exist_ok=True)
    cache = os.path.join(build_dir, "CMakeCache.txt")
    if not os.path.exists(cache):
        args = ["cmake", "-S", ROOT, "-B", build_dir, *generator_args(), "-DCMAKE_BUILD_TYPE=Release",
                "-DIMG3D_BUILD_TESTS=OFF", "-DIMG3D_BUILD_EXAMPLES=OFF", "-DIMG3D_BUILD_BENCH=ON"]
        if not run_logged(args, os.path.join(build_dir, "compare-configure.log")):
            return None
    if not run_logged(["cmake", "--build", build_dir, "--target", "compare_host"],
                      os.path.join(build_dir, "compare-build.log")):
        return None
    return os.path.join(build_dir, "bench", "compare", "compare_host")


def build_itk(build_dir, config_dir):
    os.makedirs(build_dir, exist_ok=True)
    if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
        note("building the ITK program (a minute the first time)")
        args = ["cmake", "-S", os.path.join(ROOT, "bench", "compare", "compare_itk"), "-B", build_dir, *generator_args(),
                "-DCMAKE_BUILD_TYPE=Release", f"-DITK_DIR={config_dir}"]
        if not run_logged(args, os.path.join(build_dir, "compare-configure.log")):
            return None
    if not run_logged(["cmake", "--build", build_dir], os.path.join(build_dir, "compare-build.log")):
        return None
    return os.path.join(build_dir, "compare_itk")


# ---------------------------------------------------------------------------
# Inputs
# ---------------------------------------------------------------------------

class Input:
    def __init__(self, key, label, path, dims, binary, level=None):
        self.key, self.label, self.path, self.dims, self.binary = key, label, path, dims, binary
        self.level = level  # img3d's Otsu level of a grey input
        self._array = None

    @property
    def voxels(self):
        w, h, d = self.dims
        return w * h * d

    def array(self):
        """The voxels as a (depth, height, width) uint8 array, x fastest."""
        if self._array is None:
            w, h, d = self.dims
            self._array = np.fromfile(self.path, dtype=np.uint8).reshape(d, h, w)
        return self._array


def read_nifti_u8(path):
    """(width, height, depth), voxel bytes of an 8-bit NIfTI-1 volume, x fastest."""
    with gzip.open(path, "rb") as f:
        data = f.read()
    for endian in "<>":
        if struct.unpack(endian + "i", data[:4])[0] == 348:
            break
    else:
        raise ValueError("not a NIfTI-1 file")
    dim = struct.unpack(endian + "8h", data[40:56])
    datatype = struct.unpack(endian + "h", data[70:72])[0]
    offset = int(struct.unpack(endian + "f", data[108:112])[0])
    slope, inter = struct.unpack(endian + "ff", data[112:120])
    if datatype != 2 or any(d > 1 for d in dim[4:dim[0] + 1]):
        raise ValueError("not an 8-bit 3D volume")
    if not (slope in (0.0, 1.0) or slope != slope) or inter != 0.0:
        raise ValueError("scaled voxel values")
    w, h, d = dim[1], dim[2], dim[3]
    offset = max(offset, 352)
    voxels = data[offset:offset + w * h * d]
    if len(voxels) != w * h * d:
        raise ValueError("truncated")
    return (w, h, d), voxels


# ---------------------------------------------------------------------------
# Timing
# ---------------------------------------------------------------------------

class Runner:
    def __init__(self, args, host, itk, work):
        self.args, self.host, self.itk, self.work = args, host, itk, work

    def repeat_args(self):
        a = self.args
        return ["--min-runs", str(a.min_runs), "--max-runs", str(a.max_runs), "--min-seconds", str(a.min_seconds)]

    def _call(self, program, command):
        r = subprocess.run(command, capture_output=True, text=True)
        if r.returncode != 0:
            note(f"{os.path.basename(program)} failed: {' '.join(command[1:])}\n{r.stderr.strip()}")
            return {"available": False, "error": r.stderr.strip().splitlines()[-1:] or ["exit %d" % r.returncode]}
        return json.loads(r.stdout)

    def img3d(self, op, volume, param=None, out=None, extra=()):
        command = [self.host, "run", op, volume.path, *map(str, volume.dims), *self.repeat_args(), *extra]
        if param is not None:
            command += ["--param", str(param)]
        if out:
            command += ["--out", out]
        return self._call(self.host, command)

    def itk_run(self, op, path, dims, param=None, out=None):
        command = [self.itk, op, path, *map(str, dims), *self.repeat_args()]
        if param is not None:
            command += ["--param", str(param)]
        if out:
            command += ["--out", out]
        return self._call(self.itk, command)

    def python(self, function):
        """(median CPU ms, output of the first call, run count); the first call warms up."""
        a = self.args
        output = function()
        times, spent = [], 0.0
        while len(times) < a.max_runs and (len(times) < a.min_runs or spent < a.min_seconds):
            t0 = time.process_time()
            function()
            t1 = time.process_time()
            times.append(1e3 * (t1 - t0))
            spent += t1 - t0
        return statistics.median(times), output, len(times)


# ---------------------------------------------------------------------------
# Agreement
# ---------------------------------------------------------------------------

def same_partition(a, b):
    """True when the nonzero labels of a and b split the voxels into the same sets."""
    fa, fb = a != 0, b != 0
    if not np.array_equal(fa, fb):
        return False, f"{int(np.count_nonzero(fa != fb))} voxels labelled in one only"
    if np.array_equal(a, b):
        return True, ""
    x = a[fa].astype(np.int64)
    y = b[fb].astype(np.int64)
    pairs = np.unique(x * (int(y.max()) + 1) + y).size
    nx, ny = np.unique(x).size, np.unique(y).size
    if pairs == nx == ny:
        return True, ""
    return False, f"{nx} vs {ny} objects, {pairs} overlaps"


def verdict(ok, detail=""):
    if ok:
        return "yes"
    return "**no**" + (f": {detail}" if detail else "")


def labels_verdict(mine, theirs):
    """Label images agree when they are equal label for label, numbering included."""
    if np.array_equal(mine, theirs):
        return "yes: identical"
    ok, detail = same_partition(mine, theirs)
    return "**no**: same objects, other numbering" if ok else verdict(False, detail)


def mask_verdict(mine, theirs):
    differ = int(np.count_nonzero(mine != theirs))
    return verdict(differ == 0, f"{differ} voxels differ")


# Img3DIntensity, as the host writes the records.
INTENSITY = [("count", "<i8"), ("integerSum", "<i8"), ("sum", "<f8"), ("mean", "<f8"), ("deviation", "<f8"),
             ("minimum", "<f8"), ("maximum", "<f8")]


def stats_verdict(ours, theirs):
    """img3d's records against scipy's (mean, minimum, maximum, standard
    deviation): the mean within 1e-12 relative, the deviation within 1e-9,
    minimum and maximum exact."""
    mean, minimum, maximum, deviation = (np.asarray(t, dtype=np.float64) for t in theirs)
    if len(ours) != len(mean):
        return verdict(False, f"{len(ours)} vs {len(mean)} labels")
    differ = {"mean": np.abs(ours["mean"] - mean) > 1e-12 * np.abs(mean),
              "std": np.abs(ours["deviation"] - deviation) > 1e-9,
              "minimum": ours["minimum"] != minimum, "maximum": ours["maximum"] != maximum}
    bad = [f"{name} of {int(np.count_nonzero(d))} labels" for name, d in differ.items() if d.any()]
    return verdict(not bad, ", ".join(bad))


def read_raw(path, dims, dtype):
    w, h, d = dims
    data = np.fromfile(path, dtype=dtype).reshape(d, h, w)
    os.remove(path)
    return data


# ---------------------------------------------------------------------------
# The operations
# ---------------------------------------------------------------------------

class Row:
    def __init__(self, op, volume, img3d, peer, peer_ms=None, same="", peer_runs=None):
        self.op, self.volume, self.img3d, self.peer = op, volume, img3d, peer
        self.peer_ms, self.same, self.peer_runs = peer_ms, same, peer_runs

    @property
    def img3d_ms(self):
        return self.img3d.get("median_ms") if self.img3d.get("available") else None

    @property
    def ratio(self):
        if self.img3d_ms and self.peer_ms:
            return self.peer_ms / self.img3d_ms
        return None


def describe_missing(result):
    if "missing" in result:
        return f"not in the library ({result['missing']})"
    return "failed: " + " ".join(result.get("error", []))


class Comparison:
    def __init__(self, runner, have_itk):
        self.r, self.have_itk = runner, have_itk
        self.rows = []
        self.python_peers = np is not None
        self.itk_version = None
        self.cells_module = None  # which img3d package the cells row ran

    def out(self, name):
        return os.path.join(self.r.work, name)

    def img3d(self, op, volume, param=None, out=None, extra=()):
        self.last = self.r.img3d(op, volume, param, out, extra)
        return self.last

    def add(self, *args, **kwargs):
        row = Row(*args, **kwargs)
        self.rows.append(row)
        ms = f"{row.img3d_ms:.2f} ms" if row.img3d_ms else describe_missing(row.img3d)
        peer = f"{row.peer_ms:.2f} ms" if row.peer_ms else "-"
        note(f"  {row.op:<12} {row.volume.key:<14} img3d {ms:<12} {row.peer:<40} {peer:<12} {row.same}")

    def itk(self, op, volume, path=None, param=None, out=None):
        result = self.r.itk_run(op, path or volume.path, volume.dims, param, out)
        self.itk_version = result.get("itk", self.itk_version)
        return result.get("median_ms") if result.get("available") else None, result

    def itk_mask(self, op, volume, ours, path=None, param=None, binary=True):
        """ITK's time for op and whether its 0/255 output equals img3d's mask
        (ours; None when img3d gave none)."""
        ms, result = self.itk(op, volume, path, param, self.out("itk.raw"))
        same = ""
        if result.get("available") and np:
            theirs = read_raw(self.out("itk.raw"), volume.dims, np.uint8)
            if ours is not None:
                same = mask_verdict(ours, theirs == 255 if binary else theirs)
        return ms, same

    # -- voxel-wise and statistics on grey volumes --------------------------

    def copy(self, v):
        mine = self.img3d("copy", v)
        memcpy = self.r.img3d("memcpy", v)
        same = verdict(mine.get("same", False)) if mine.get("available") else ""
        self.add("copy", v, mine, "memcpy (same host)", memcpy.get("median_ms"), same)
        if self.python_peers:
            a = v.array()
            dst = np.empty_like(a)
            ms, _, runs = self.r.python(lambda: np.copyto(dst, a))
            self.add("copy", v, mine, "numpy.copyto", ms, same, runs)

    def histo(self, v):
        mine = self.img3d("histo", v)
        if not self.python_peers:
            return
        a = v.array()
        ms, counts, runs = self.r.python(lambda: np.bincount(a.ravel(), minlength=256))
        same = verdict(counts.tolist() == mine["histogram"]) if mine.get("available") else ""
        self.add("histo", v, mine, "numpy.bincount", ms, same, runs)

    def otsu(self, v):
        mine = self.img3d("otsu", v)
        level = mine.get("threshold")
        counts = np.bincount(v.array().ravel(), minlength=256) if np else None

        def same_split(t):
            # All three put the level itself in the lower class (v <= t).  Two
            # levels with no voxel between them split the volume alike: ties
            # over empty levels go to the highest in img3d, the lowest in the
            # peers.
            if level is None or counts is None:
                return ""
            if t == level:
                return f"yes (t = {t})"
            low, high = sorted((t, level))
            if not counts[low + 1:high + 1].any():
                return f"yes: same split (t = {level}, peer {t}; no voxel in {low + 1} ... {high})"
            return f"**no**: img3d t = {level}, peer t = {t}"

        if self.python_peers and skimage_filters:
            a = v.array()
            ms, t, runs = self.r.python(lambda: skimage_filters.threshold_otsu(a, nbins=256))
            self.add("otsu", v, mine, "skimage.filters.threshold_otsu", ms, same_split(int(t)), runs)
        if self.have_itk:
            ms, result = self.itk("otsu", v)
            # ITK's threshold, cast to the pixel type, is the top of its lower
            # class; its 256 bins span [min, max], so they are not exactly the
            # grey levels.
            same = same_split(int(result["threshold"])) if result.get("available") else ""
            self.add("otsu", v, mine, "ITK OtsuThresholdImageFilter", ms, same)

    def segment(self, v):
        threshold = v.level + 1
        mine = self.img3d("segment", v, threshold, self.out("img3d.raw"))
        have = mine.get("available")
        ours = read_raw(self.out("img3d.raw"), v.dims, np.uint8) if have and np else None
        if self.python_peers:
            a = v.array()

            def numpy_segment():
                out = (a >= threshold).view(np.uint8)
                out *= np.uint8(255)
                return out

            ms, theirs, runs = self.r.python(numpy_segment)
            self.add("segment", v, mine, f"numpy (v >= {threshold}) * 255", ms,
                     mask_verdict(ours, theirs) if have else "", runs)
        if self.have_itk:
            ms, same = self.itk_mask("segment", v, ours if have else None, param=threshold, binary=False)
            self.add("segment", v, mine, "ITK BinaryThresholdImageFilter", ms, same)

    # -- objects and morphology on masks ------------------------------------

    def label(self, v):
        mine = self.img3d("label", v, out=self.out("img3d.raw") if np else None)
        have = mine.get("available") and mine.get("complete", False)
        ours = read_raw(self.out("img3d.raw"), v.dims, np.int32) if have and np else None
        if self.python_peers:
            mask = v.array() != 0
            if ndi:
                ms, (theirs, _), runs = self.r.python(lambda: ndi.label(mask))
                self.add("label", v, mine, "scipy.ndimage.label", ms,
                         verdict(*same_partition(ours, theirs)) if have else "", runs)
            if skimage_measure:
                ms, theirs, runs = self.r.python(lambda: skimage_measure.label(mask, connectivity=1))
                self.add("label", v, mine, "skimage.measure.label (connectivity 1)", ms,
                         verdict(*same_partition(ours, theirs)) if have else "", runs)
        if self.have_itk:
            ms, result = self.itk("label", v, out=self.out("itk.raw"))
            same = ""
            if result.get("available") and np:
                theirs = read_raw(self.out("itk.raw"), v.dims, np.uint32)
                same = verdict(*same_partition(ours, theirs)) if have else ""
            self.add("label", v, mine, "ITK ConnectedComponentImageFilter", ms, same)

    def label_image(self, v, connectivity):
        op = f"label{connectivity}"
        mine = self.img3d("labelimage", v, connectivity, self.out("img3d.raw") if np else None)
        have = mine.get("available") and np is not None
        ours = read_raw(self.out("img3d.raw"), v.dims, np.int32) if have else None
        if self.python_peers:
            mask = v.array() != 0
            if ndi:
                structure = {6: None, 18: ndi.generate_binary_structure(3, 2), 26: np.ones((3, 3, 3), bool)}
                # Written once before timing, as the host's array.
                out = np.zeros(mask.shape, np.int32)
                ms, _, runs = self.r.python(lambda: ndi.label(mask, structure[connectivity], output=out))
                name = {6: "default", 18: "generate_binary_structure(3, 2)", 26: "ones((3,3,3))"}[connectivity]
                self.add(op, v, mine, f"scipy.ndimage.label ({name}, output=)", ms,
                         labels_verdict(ours, out) if have else "", runs)
            if skimage_measure:
                level = {6: 1, 18: 2, 26: 3}[connectivity]
                ms, theirs, runs = self.r.python(lambda: skimage_measure.label(mask, connectivity=level))
                self.add(op, v, mine, f"skimage.measure.label (connectivity {level})", ms,
                         labels_verdict(ours, theirs) if have else "", runs)
        if self.have_itk and connectivity != 18:
            ms, result = self.itk("label", v, param=connectivity, out=self.out("itk.raw"))
            same = ""
            if result.get("available") and np:
                theirs = read_raw(self.out("itk.raw"), v.dims, np.uint32)
                same = labels_verdict(ours, theirs) if have else ""
            fully = "on" if connectivity == 26 else "off"
            self.add(op, v, mine, f"ITK ConnectedComponentImageFilter (FullyConnected {fully})", ms, same)

    def delvolume(self, v):
        mine = self.img3d("delvolume", v, MIN_OBJECT, self.out("img3d.raw"))
        have = mine.get("available")
        ours = read_raw(self.out("img3d.raw"), v.dims, np.uint8) == 255 if have and np else None
        if self.python_peers and skimage_morphology:
            mask = v.array() != 0
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                ms, theirs, runs = self.r.python(
                    lambda: skimage_morphology.remove_small_objects(mask, min_size=MIN_OBJECT, connectivity=1))
            self.add("delvolume", v, mine, f"skimage remove_small_objects({MIN_OBJECT})", ms,
                     mask_verdict(ours, theirs) if have else "", runs)
        if self.have_itk:
            ms, same = self.itk_mask("delvolume", v, ours if have else None, param=MIN_OBJECT)
            self.add("delvolume", v, mine, "ITK connected components + relabel", ms, same)

    def dilate(self, v, element):
        op = f"dilate{element}"
        mine = self.img3d("dilate", v, element, self.out("img3d.raw"))
        have = mine.get("available")
        ours = read_raw(self.out("img3d.raw"), v.dims, np.uint8) == 255 if have and np else None
        if not np:
            return
        # Only interior voxels spread in img3d: the peers get the mask with
        # its outer faces cleared, which makes the operations the same.
        interior = np.zeros(v.array().shape, dtype=bool)
        interior[1:-1, 1:-1, 1:-1] = v.array()[1:-1, 1:-1, 1:-1] != 0
        name = "cross" if element == 1 else "3x3x3"
        if ndi:
            structure = ndi.generate_binary_structure(3, 1 if element == 1 else 3)
            ms, theirs, runs = self.r.python(lambda: ndi.binary_dilation(interior, structure))
            self.add(op, v, mine, f"scipy.ndimage.binary_dilation ({name})", ms,
                     mask_verdict(ours, theirs) if have else "", runs)
        if self.have_itk:
            path = self.out("interior.raw")
            (interior.view(np.uint8) * np.uint8(255)).tofile(path)
            ms, same = self.itk_mask("dilate", v, ours if have else None, path, element)
            os.remove(path)
            self.add(op, v, mine, f"ITK BinaryDilateImageFilter ({name})", ms, same)

    def smooth(self, v, radius):
        op = f"smooth{radius}"
        mine = self.img3d("smooth", v, radius)
        side = 2 * radius + 1
        timing_only = "timing only: whole-volume window"
        if self.python_peers and ndi:
            mask = (v.array() != 0).view(np.uint8)

            def box_majority():
                mean = ndi.uniform_filter(mask, size=side, output=np.float32, mode="constant")
                return mean > 0.5

            ms, _, runs = self.r.python(box_majority)
            self.add(op, v, mine, f"scipy uniform_filter({side}) > 1/2", ms, timing_only, runs)
            if radius == 1:
                # The direct sum: 27 taps, so only at the smallest window.
                box = np.ones((side,) * 3, dtype=np.uint8)
                ms, _, runs = self.r.python(lambda: ndi.convolve(mask, box, mode="constant") > side**3 // 2)
                self.add(op, v, mine, f"scipy convolve(ones {side}³) > 1/2", ms, timing_only, runs)
        if self.have_itk and radius == 1:
            ms, _ = self.itk("smooth", v, param=radius)
            self.add(op, v, mine, f"ITK BinaryMedianImageFilter (radius {radius})", ms, timing_only)

    # -- finishing a segmentation: the functions on raw memory ---------------

    def finishing(self, v, name, connectivity):
        op = f"{name}{connectivity}"
        extra = ("--size", str(MIN_OBJECT)) if name == "bysize" else ()
        mine = self.img3d(name, v, connectivity, self.out("img3d.raw"), extra)
        have = mine.get("available")
        ours = read_raw(self.out("img3d.raw"), v.dims, np.uint8) == 255 if have and np else None
        if not self.python_peers:
            return
        mask = v.array() != 0
        rank = RANK[connectivity]
        element = f"generate_binary_structure(3, {rank})"
        structure = ndi.generate_binary_structure(3, rank) if ndi else None

        def largest():
            labels, n = ndi.label(mask, structure)
            sizes = np.bincount(labels.ravel())
            sizes[0] = 0
            # argmax takes the first of equal sizes: the lower label stays, as in img3d.
            return labels == np.argmax(sizes) if n else np.zeros_like(mask)

        peers = {}
        if ndi:
            for key, function in (("bdilate", ndi.binary_dilation), ("berode", ndi.binary_erosion),
                                  ("bopen", ndi.binary_opening), ("bclose", ndi.binary_closing),
                                  ("fillholes", ndi.binary_fill_holes)):
                peers[key] = (f"scipy.ndimage.{function.__name__} ({element})",
                              lambda function=function: function(mask, structure))
            peers["largest"] = ("scipy.ndimage.label + numpy.bincount", largest)
        if skimage_morphology:
            peers["bysize"] = (f"skimage remove_small_objects({MIN_OBJECT}, connectivity {rank})",
                               lambda: skimage_morphology.remove_small_objects(mask, min_size=MIN_OBJECT,
                                                                               connectivity=rank))
        if name in peers:
            peer, function = peers[name]
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                ms, theirs, runs = self.r.python(function)
            self.add(op, v, mine, peer, ms, mask_verdict(ours, theirs) if have else "", runs)

    def label_all(self, v, connectivity):
        op = f"labelall{connectivity}"
        mine = self.img3d("labelall", v, connectivity, self.out("img3d.raw") if np else None)
        have = mine.get("available") and np is not None
        ours = read_raw(self.out("img3d.raw"), v.dims, np.int32) if have else None
        if self.python_peers and skimage_measure:
            a = v.array()
            rank = RANK[connectivity]
            ms, theirs, runs = self.r.python(lambda: skimage_measure.label(a, background=0, connectivity=rank))
            self.add(op, v, mine, f"skimage.measure.label (background=0, connectivity {rank})", ms,
                     labels_verdict(ours, theirs) if have else "", runs)

    def stats(self, v):
        mine = self.img3d("stats", v, v.count, self.out("img3d.raw"), ("--labels", v.labels_path))
        have = mine.get("available")
        ours = np.fromfile(self.out("img3d.raw"), dtype=INTENSITY) if have else None
        if have:
            os.remove(self.out("img3d.raw"))
        grey, labels, index = v.array(), v.labels, np.arange(1, v.count + 1)

        def scipy_stats():
            return (ndi.mean(grey, labels, index), ndi.minimum(grey, labels, index),
                    ndi.maximum(grey, labels, index), ndi.standard_deviation(grey, labels, index))

        ms, theirs, runs = self.r.python(scipy_stats)
        self.add("stats", v, mine, "scipy.ndimage mean + minimum + maximum + standard_deviation", ms,
                 stats_verdict(ours, theirs) if have else "", runs)

    def cells(self, v):
        command = [self.r.args.python, CELLS_SCRIPT, *self.r.repeat_args()]
        r = subprocess.run(command, capture_output=True, text=True)
        if r.returncode != 0:
            note(f"the cells task failed: {' '.join(command)}\n{r.stderr.strip()}")
            self.last = {"available": False, "error": r.stderr.strip().splitlines()[-1:] or [f"exit {r.returncode}"]}
            return
        result = json.loads(r.stdout)
        self.last = result["img3d"]
        v.label = f"blobs in noise 128×512×512, {result['objects']} objects (v ≥ {result['level']})"
        # Paths inside the source tree as the README names them, not as this machine lays them out.
        module = result["module"]
        if module.startswith(ROOT + os.sep):
            module = os.path.relpath(module, ROOT)
        self.cells_module = f"img3d {result['version']} ({module}, run by {self.r.args.python})"
        self.add("cells", v, result["img3d"], result["peer"], result["peer_ms"], result["same"], result["peer_runs"])


GREY_OPS = ("copy", "histo", "otsu", "segment")
LABEL_OPS = ("label6", "label18", "label26")
MASK_OPS = ("label",) + LABEL_OPS + ("delvolume", "dilate1", "dilate2", "smooth1", "smooth3")
CONNECTIVITIES = (6, 18, 26)
RANK = {6: 1, 18: 2, 26: 3}  # generate_binary_structure's rank, skimage's connectivity
FINISHING = ("bdilate", "berode", "bopen", "bclose", "fillholes", "bysize", "largest")
FINISHING_OPS = tuple(f"{name}{c}" for name in FINISHING for c in CONNECTIVITIES)
FINISHING_MASKS = ("ball", "noise50", "ch2-mask")
LABEL_ALL_OPS = tuple(f"labelall{c}" for c in CONNECTIVITIES)
ALL_OPS = GREY_OPS + MASK_OPS + FINISHING_OPS + LABEL_ALL_OPS + ("stats", "cells")
CELLS_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "compare_cells.py")


def run_op(comparison, op, volume):
    rows = len(comparison.rows)
    dispatch(comparison, op, volume)
    if len(comparison.rows) == rows:
        comparison.add(op, volume, comparison.last, "none available")


def dispatch(comparison, op, volume):
    if op in GREY_OPS:
        getattr(comparison, op)(volume)
    elif op == "label":
        comparison.label(volume)
    elif op in LABEL_OPS:
        comparison.label_image(volume, int(op[len("label"):]))
    elif op == "delvolume":
        comparison.delvolume(volume)
    elif op.startswith("dilate"):
        comparison.dilate(volume, int(op[-1]))
    elif op.startswith("smooth"):
        comparison.smooth(volume, int(op[-1]))
    elif op in FINISHING_OPS:
        name = op.rstrip("0123456789")
        comparison.finishing(volume, name, int(op[len(name):]))
    elif op in LABEL_ALL_OPS:
        comparison.label_all(volume, int(op[len("labelall"):]))
    elif op in ("stats", "cells"):
        getattr(comparison, op)(volume)


# ---------------------------------------------------------------------------
# Report
# ---------------------------------------------------------------------------

OP_NAMES = {
    "copy": "Img3DCopy", "histo": "Img3DHisto", "otsu": "Img3DDaJinThreshold",
    "segment": "Img3DSingleSegment", "label": "GetAllRunLength3D + FreeRunLength3D",
    "label6": "Img3DLabel (connectivity 6)", "label18": "Img3DLabel (connectivity 18)",
    "label26": "Img3DLabel (connectivity 26)",
    "delvolume": f"Img3DDelVolume (keep >= {MIN_OBJECT})", "dilate1": "Img3DDilatation (element 1, cross)",
    "dilate2": "Img3DDilatation (element 2, cube)", "smooth1": "Img3DEdgeSmooth (radius 1)",
    "smooth3": "Img3DEdgeSmooth (radius 3)",
    **{f"{name}{c}": f"{function} (connectivity {c})" for c in CONNECTIVITIES for name, function in (
        ("bdilate", "Img3DBinaryDilate"), ("berode", "Img3DBinaryErode"), ("bopen", "Img3DBinaryOpen"),
        ("bclose", "Img3DBinaryClose"), ("fillholes", "Img3DFillHoles"), ("labelall", "Img3DLabelAll"))},
    **{f"bysize{c}": f"Img3DRemoveBySize (keep >= {MIN_OBJECT}, connectivity {c})" for c in CONNECTIVITIES},
    **{f"largest{c}": f"Img3DKeepLargest (keep 1, connectivity {c})" for c in CONNECTIVITIES},
    "stats": "Img3DIntensityStats", "cells": "The cells task (Python: threshold, label, table)",
}


def memory_cell(result):
    if not result.get("available") or result.get("peak_bytes", -1) < 0:
        return ""
    extra = max(0, result["peak_bytes"] - result["resident_bytes"])
    share = extra / result["input_bytes"]
    if extra < 2**20:
        cell = f"{extra / 2**10:.0f} KiB ({share:.3f}x)"
    else:
        cell = f"{extra / 2**20:.1f} MiB ({share:.2f}x)"
    return cell if result.get("peak_reset") else cell + " (upper bound)"


def table(rows):
    lines = ["| Operation | Input | img3d (ms) | Peer | Peer (ms) | Ratio | Same output | img3d peak memory |",
             "|---|---|--:|---|--:|--:|---|--:|"]
    for row in rows:
        mine = f"{row.img3d_ms:.2f}" if row.img3d_ms else describe_missing(row.img3d)
        peer = f"{row.peer_ms:.2f}" if row.peer_ms else "-"
        ratio = f"{row.ratio:.2f}x" if row.ratio else "-"
        lines.append(f"| {OP_NAMES[row.op]} | {row.volume.label} | {mine} | {row.peer} | {peer} | {ratio} | "
                     f"{row.same} | {memory_cell(row.img3d)} |")
    return "\n".join(lines)


INPUT_NAMES = {"ball": "ball", "noise50": "noise 50 %", "noise10": "noise 10 %", "noise": "grey noise",
               "ch2": "ch2", "ch2better": "ch2better", "ch2-mask": "ch2 mask", "ch2better-mask": "ch2better mask",
               "noise8": "8 values", "aal": "aal atlas", "spots": "grey noise 128×512×512",
               "cells": "blobs 128×512×512"}
PEER_COLOURS = {"scipy": "#1f77b4", "skimage": "#2ca02c", "numpy": "#9467bd", "ITK": "#d62728",
                "memcpy": "#7f7f7f"}


def peer_family(peer):
    return peer.split()[0].split(".")[0]


def fastest_peers(rows):
    """[(operation, [the row of its fastest peer on each input])] in the table's order."""
    best = {}
    for row in rows:
        if row.ratio:
            key = (row.op, row.volume.key)
            if key not in best or row.peer_ms < best[key].peer_ms:
                best[key] = row
    groups = {}
    for (op, _), row in best.items():
        groups.setdefault(op, []).append(row)
    return list(groups.items())


def balanced_columns(groups, columns=2):
    """The groups split in order into columns of about the same height (a group: its bars and a heading)."""
    sizes = [len(bars) + 1 for _, bars in groups]
    total, split, run = sum(sizes), [], 0
    for i, size in enumerate(sizes):
        if len(split) < columns - 1 and run + size / 2 > total * (len(split) + 1) / columns:
            split.append(i)
        run += size
    bounds = [0, *split, len(groups)]
    return [groups[a:b] for a, b in zip(bounds, bounds[1:])]


def chart(rows, path, measured_on):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import Patch
    from matplotlib.ticker import FixedLocator, NullLocator

    groups = fastest_peers(rows)
    if not groups:
        return False
    columns = balanced_columns(groups)
    ratios = [r.ratio for _, bars in groups for r in bars]
    low, high = min(0.5, min(ratios) / 1.5), max(ratios) * 12  # room for the labels beside the bars
    slots = max(sum(len(bars) + 1 for _, bars in column) for column in columns)
    height = 0.21 * slots + 1.6
    fig, axes = plt.subplots(1, len(columns), figsize=(13, height), squeeze=False)
    for ax, column in zip(axes[0], columns):
        y, ticks, names = slots, [], []
        for op, bars in column:
            y -= 1
            ax.axhspan(y - 0.5, y + 0.5, color="#eeeeee", zorder=0)
            ax.text(low * 1.05, y, OP_NAMES[op], va="center", fontsize=8.5, fontweight="bold")
            for r in bars:
                y -= 1
                ticks.append(y)
                names.append(INPUT_NAMES.get(r.volume.key, r.volume.key))
                exact = r.same.startswith("yes")
                # A bar grows from 1 (equal time): to the right where img3d is faster.
                ax.barh(y, r.ratio - 1, left=1, height=0.72, color=PEER_COLOURS.get(peer_family(r.peer), "#8c564b"),
                        hatch=None if exact else "///", edgecolor="white", linewidth=0)
                size = f"{r.ratio:.0f}x" if r.ratio >= 10 else f"{r.ratio:.1f}x"
                ax.text(max(r.ratio, 1.0) * 1.06, y, f"{size}  {peer_family(r.peer)}", va="center", fontsize=7.5)
        ax.set_yticks(ticks)
        ax.set_yticklabels(names, fontsize=7.5)
        ax.set_ylim(-0.6, slots - 0.4)  # the same scale in every column
        ax.set_xscale("log")
        ax.set_xlim(low, high)
        decades = [10.0**k for k in range(-1, 5) if low <= 10.0**k <= high]
        ax.xaxis.set_major_locator(FixedLocator(decades))
        ax.xaxis.set_minor_locator(NullLocator())
        ax.set_xticklabels([f"{d:g}x" for d in decades], fontsize=7.5)
        ax.grid(axis="x", color="#cccccc", linewidth=0.5)
        ax.set_axisbelow(True)
        ax.axvline(1.0, color="black", linewidth=0.8)
        for side in ("top", "right"):
            ax.spines[side].set_visible(False)
    fig.suptitle("img3d against its fastest peer on each operation and input: peer time / img3d time "
                 "(right of 1x: img3d faster)", fontsize=10.5, y=1 - 0.12 / height)
    fig.text(0.5, 1 - 0.42 / height, f"single thread, median CPU time; measured on {measured_on}; "
             "all peers of every row in docs/compare.md", ha="center", fontsize=8)
    handles = [Patch(color=c, label=name) for name, c in PEER_COLOURS.items()]
    handles.append(Patch(facecolor="#aaaaaa", hatch="///", edgecolor="white", label="not the same output: time only"))
    fig.legend(handles=handles, fontsize=7.5, ncol=len(handles), loc="upper center",
               bbox_to_anchor=(0.5, 1 - 0.55 / height), frameon=False)
    fig.tight_layout(rect=(0, 0, 1, 1 - 0.75 / height))
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def processor():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def machine():
    return f"{os.cpu_count()} logical CPUs, Linux {platform.release()}"


def load():
    try:
        return f"{os.getloadavg()[0]:.1f}"
    except OSError:
        return "?"


def versions(itk_version):
    parts = [f"Python {platform.python_version()}"]
    for name, module in (("numpy", np), ("scipy", scipy), ("scikit-image", skimage)):
        if module:
            parts.append(f"{name} {module.__version__}")
    if itk_version:
        parts.append(f"ITK {itk_version}")
    return ", ".join(parts)


def notes(args, missing, binarised, cells_module=None):
    lines = [
        f"- Times: median CPU time of the process over at least {args.min_runs} runs (more for fast "
        f"operations, up to {args.max_runs} or {args.min_seconds} s), after one warm-up run; every program "
        "single-threaded (OMP_NUM_THREADS=1 and the like, ITK's global default and maximum thread "
        "counts 1). CPU time rather than wall time because the machine may be shared.",
        "- Ratio: peer time / img3d time; above 1 img3d is faster. The chart (docs/compare.png) shows, "
        "for each operation and input, the ratio against the fastest peer of this table.",
        "- Peers get what they normally take: masks as boolean arrays (ITK: 255 on 0), converted before "
        "timing; outputs are allocated by the peer inside the timed call, as their users do, except in "
        "the label-image rows (below). "
        "img3d's record extraction time is GetAllRunLength3D on a fresh copy of the mask (the copy untimed) "
        "plus FreeRunLength3D.",
        "- Label images (Img3DLabel rows): the label array is the caller's and already written once, so "
        "its first touch is not timed: img3d's host allocates and fills its int32 array before timing, "
        "scipy.ndimage.label writes into a preallocated int32 array passed as output=. Two peers cannot "
        "write into a given array, so their times include allocating and first touching their output: "
        "skimage.measure.label returns a new int64 array on each call, and ITK's pipeline gives "
        "ConnectedComponentImageFilter a new uint32 output image on each Update. Structures: scipy's "
        "default (6), generate_binary_structure(3, 2) (18), ones((3,3,3)) (26); skimage connectivity 1, 2, 3; "
        "ITK FullyConnected off (6) and on (26), it has no 18.",
        "- Same output: label images must be identical label for label (img3d numbers objects in raster "
        "order of their first voxel, x fastest, as scipy does on the [z, y, x] array); the records' "
        "labelling compares partitions (the same objects as sets of voxels, whatever the label numbers); "
        "removal and dilation compare the masks voxel by voxel; the histogram compares the 256 counts; "
        "segmentation the 0/255 volumes.",
        "- Dilation: img3d spreads only interior voxels (a match on an outer face is neither copied nor "
        "spread), so every peer dilates the mask with its outer faces cleared; the operations are then "
        "the same.",
        "- Edge smoothing: img3d smooths each object alone inside its own bounding box; the nearest "
        "peers are whole-volume box majorities (scipy: uniform_filter of the mask, strict majority; "
        "ITK: BinaryMedianImageFilter, only at radius 1, its cost grows with the window). The "
        "definitions differ, so only the times are compared.",
        "- Otsu: img3d's Img3DDaJinThreshold returns t, the highest level of the lower class (v <= t), "
        "highest level on ties; skimage's threshold_otsu uses the same split (foreground v > t) but "
        "takes the lowest level on ties; ITK bins [min, max] into 256 bins and puts v <= its threshold "
        "into the lower class.",
        "- MRI inputs: the grey volume is binarised at img3d's Otsu level t as v >= t+1, its upper "
        "class, 255 on 0: t is the top of the lower class, the same number scikit-image's "
        "threshold_otsu gives when no tie over empty levels intervenes (it means v > t there too). " + binarised,
        "- Peak memory: the resident memory the img3d operation adds at its peak (VmHWM after the "
        "first run, with the mark reset to the resident size just before it; the input and output "
        "volumes, and the label array of the label images, are already resident), and that as a multiple "
        "of the 8-bit input volume's size.",
        "- Finishing operations (Img3DBinaryDilate, Erode, Open, Close with one iteration, Img3DFillHoles, "
        "Img3DRemoveBySize, Img3DKeepLargest), on the ball, the 50 % noise and the ch2 mask; connectivity 6, 18, "
        "26 is generate_binary_structure(3, 1 | 2 | 3) and skimage's connectivity 1, 2, 3. Peers: "
        "scipy.ndimage.binary_dilation, binary_erosion, binary_opening, binary_closing (outside the volume as "
        f"background in both), binary_fill_holes; skimage remove_small_objects(min_size={MIN_OBJECT}); the "
        "largest object as scipy.ndimage.label, numpy.bincount and argmax (ties to the lower label in both). "
        "Same output: the masks identical voxel for voxel.",
        "- Img3DLabelAll labels the pieces of every non-zero value at once, on the aal atlas and 256³ noise of "
        "8 values, into the caller's int32 array (resident before timing, as in the label-image rows); peer "
        "skimage.measure.label(a, background=0, connectivity=1 | 2 | 3), which returns a new int64 array. "
        "Same output: identical label images, numbering included.",
        f"- Img3DIntensityStats: count, sums, mean, standard deviation, minimum and maximum of the grey values of "
        f"each label, on seeded grey noise whose voxels of {SPOT_LEVEL} and more, labelled by scipy.ndimage.label, "
        "give both the same labels; the labels and the records are the caller's arrays, resident before "
        "timing. Peer: scipy.ndimage mean, minimum, maximum and standard_deviation with index 1 ... n, one call "
        "each. Same output: the means within 1e-12 relative, the deviations within 1e-9, minima and maxima "
        "exact.",
        "- The cells task, the one row timed from Python on both sides (bench/compare/compare_cells.py, in one "
        "process): a table of area, centroid and mean intensity of every object of a seeded 128×512×512 "
        "volume of bright balls (radius 2) on a dark background with Gaussian noise, both at the level L midway "
        "between the two greys (objects v >= L). img3d: img3d.segment, then img3d.objects(mask, grey=grey)"
        ".to_dict(), which labels the objects as img3d.label does; scikit-image: measure.label(grey >= L, "
        "connectivity=1), then regionprops_table(labels, grey, properties=(\"label\", \"area\", \"centroid\", "
        "\"intensity_mean\")). Same output: labels, areas and centroids identical, mean intensities within 1e-12 "
        "relative. Its peak memory is that of the whole route in that process, its mask and table included"
        + (f"; it ran {cells_module}." if cells_module else "."),
    ]
    if missing:
        lines.append("- Missing on this machine (their columns or inputs are skipped): " + "; ".join(missing) + ".")
    return "\n".join(lines)


# ---------------------------------------------------------------------------

def img3d_python(given):
    """The interpreter that runs the cells row, given, else this one, else
    the README's venv: the first that imports img3d (None if none does), and
    those tried."""
    venv = os.path.join(ROOT, "build", "python", "venv", "bin", "python")
    tried = [given] if given else [sys.executable, venv]
    for python in tried:
        if shutil.which(python) and subprocess.run([python, "-c", "import img3d"],
                                                   capture_output=True).returncode == 0:
            return shutil.which(python), tried
    return None, tried


def spots_input(work):
    """The statistics' input: seeded grey noise, its voxels of SPOT_LEVEL and
    more labelled 6-connected by scipy (img3d labels them alike), the labels
    written beside it for the host."""
    grey = np.random.default_rng(3).integers(0, 256, SPOT_SHAPE, dtype=np.uint8)
    labels = np.zeros(SPOT_SHAPE, np.int32)
    count = ndi.label(grey >= SPOT_LEVEL, output=labels)
    path, labels_path = os.path.join(work, "spots.raw"), os.path.join(work, "spots-labels.raw")
    grey.tofile(path)
    labels.tofile(labels_path)
    d, h, w = SPOT_SHAPE
    v = Input("spots", f"grey noise {d}×{h}×{w}, {count} objects (v ≥ {SPOT_LEVEL})", path, (w, h, d), False)
    v._array, v.labels, v.labels_path, v.count = grey, labels, labels_path, count
    return v


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     epilog=__doc__[__doc__.index("    bench/compare.py "):],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build", "compare"))
    parser.add_argument("--itk-build-dir", default=os.path.join(ROOT, "build", "compare-itk"))
    parser.add_argument("--markdown", default=os.path.join(ROOT, "docs", "compare.md"))
    parser.add_argument("--chart", default=os.path.join(ROOT, "docs", "compare.png"))
    parser.add_argument("--ops", default=",".join(ALL_OPS),
                        help="comma-separated subset of: " + ", ".join(ALL_OPS))
    parser.add_argument("--inputs", default="",
                        help="comma-separated subset of: ball, noise50, noise10, noise, ch2, ch2better, "
                             "noise8, aal, spots, cells")
    parser.add_argument("--python", help="an interpreter that imports img3d, for the cells row (default: this "
                        "one if it does, else the README's venv, build/python/venv)")
    parser.add_argument("--no-itk", action="store_true", help="leave ITK out even when installed")
    parser.add_argument("--quick", action="store_true", help="fewer repetitions")
    parser.add_argument("--min-runs", type=int, default=5)
    parser.add_argument("--max-runs", type=int, default=100)
    parser.add_argument("--min-seconds", type=float, default=0.5)
    args = parser.parse_args()
    if args.quick:
        args.min_runs, args.max_runs, args.min_seconds = 3, 30, 0.2
    ops = [o for o in args.ops.split(",") if o]
    unknown = set(ops) - set(ALL_OPS)
    if unknown:
        parser.error("unknown operations: " + ", ".join(sorted(unknown)))
    wanted = set(k for k in args.inputs.split(",") if k)
    load_before = load()

    missing = []
    if np is None:
        missing.append("python3-numpy (every Python peer and the agreement checks)")
    else:
        if ndi is None:
            missing.append("python3-scipy (scipy.ndimage peers)")
        if skimage_measure is None:
            missing.append("python3-skimage (scikit-image peers)")
    if try_import("matplotlib") is None:
        missing.append("python3-matplotlib (the chart)")
    mri = [n for n in MRI_FILES if os.path.exists(os.path.join(MRI_DIR, n + ".nii.gz"))]
    if len(mri) < len(MRI_FILES):
        missing.append("mricron-data (the MRI volumes ch2, ch2better)")
    config_dir = itk_config_dir()
    if args.no_itk:
        config_dir = None
    elif not config_dir:
        missing.append(f"{ITK_PACKAGE} (the ITK column)")
    if "cells" in ops and (not wanted or "cells" in wanted):
        args.python, tried = img3d_python(args.python)
        if not args.python:
            missing.append(f"img3d importable from Python (the cells row; not by {' nor '.join(tried)}: pass "
                           "--python, or make the README's venv build/python/venv)")
    for m in missing:
        note("missing: " + m)

    host = build_host(args.build_dir)
    if not host:
        return 1
    itk = build_itk(args.itk_build_dir, config_dir) if config_dir else None
    if config_dir and not itk:
        missing.append("a working ITK build (see " + args.itk_build_dir + ")")
    work = os.path.join(args.build_dir, "compare-work")
    os.makedirs(work, exist_ok=True)
    runner = Runner(args, host, itk, work)
    comparison = Comparison(runner, itk is not None)

    # The inputs: synthetic ones made by the host itself, so the voxels are
    # those of the Google Benchmark programs.
    side = (256, 256, 256)
    synthetic = [("ball", "ball r=100, 256³", True), ("noise50", "noise 50 %, 256³", True),
                 ("noise10", "noise 10 %, 256³", True), ("noise", "grey noise, 256³", False)]
    masks, greys = [], []
    for key, label, binary in synthetic:
        if wanted and key not in wanted:
            continue
        path = os.path.join(work, key + ".raw")
        if subprocess.run([host, "make", key, path]).returncode != 0:
            return 1
        (masks if binary else greys).append(Input(key, label, path, side, binary))

    binarised = []
    for name in mri:
        if wanted and name not in wanted:
            continue
        dims, voxels = read_nifti_u8(os.path.join(MRI_DIR, name + ".nii.gz"))
        path = os.path.join(work, name + ".raw")
        with open(path, "wb") as f:
            f.write(voxels)
        greys.append(Input(name, f"{name} {dims[0]}×{dims[1]}×{dims[2]}", path, dims, False))

    # Each grey volume's img3d Otsu level: the segmentation's threshold, and
    # the MRI masks' binarisation.
    for volume in greys:
        otsu = runner.img3d("otsu", volume)
        if otsu.get("available"):
            volume.level = otsu["threshold"]
        elif skimage_filters:
            volume.level = int(skimage_filters.threshold_otsu(volume.array(), nbins=256))
            binarised.append(f"img3d has no Otsu yet: {volume.key} uses scikit-image's level {volume.level}.")
        if volume.key in MRI_FILES and volume.level is not None:
            mask_path = os.path.join(work, volume.key + "-mask.raw")
            segment = runner.img3d("segment", volume, volume.level + 1, mask_path)
            if not segment.get("available"):
                if np is None:
                    binarised.append(f"{volume.key}: no mask (neither Img3DSingleSegment nor numpy).")
                    continue
                ((volume.array() >= volume.level + 1).view(np.uint8) * np.uint8(255)).tofile(mask_path)
            masks.append(Input(volume.key + "-mask", f"{volume.key} mask v ≥ {volume.level + 1}", mask_path,
                               volume.dims, True))
            at_level = ""
            if np is not None:
                count = int(np.count_nonzero(volume.array() == volume.level))
                at_level = f" (taking v >= {volume.level} instead would add the {count} voxels of value {volume.level})"
            binarised.append(f"{volume.key}: img3d t = {volume.level}, mask v >= {volume.level + 1}{at_level}.")

    # The finishing operations' own inputs, made only when asked for: the
    # larger ones take seconds and hundreds of MB.
    def want(key, op_names):
        return any(op in op_names for op in ops) and (not wanted or key in wanted)

    def lacking(what):
        missing.append(what)
        note("missing: " + what)

    values, spots, cells = [], [], []
    if want("noise8", LABEL_ALL_OPS):
        path = os.path.join(work, "noise8.raw")
        if subprocess.run([host, "make", "noise8", path]).returncode != 0:
            return 1
        values.append(Input("noise8", "noise of 8 values, 256³", path, side, False))
    if want("aal", LABEL_ALL_OPS):
        if os.path.exists(os.path.join(MRI_DIR, "aal.nii.gz")):
            dims, voxels = read_nifti_u8(os.path.join(MRI_DIR, "aal.nii.gz"))
            path = os.path.join(work, "aal.raw")
            with open(path, "wb") as f:
                f.write(voxels)
            values.append(Input("aal", f"aal atlas {dims[0]}×{dims[1]}×{dims[2]}", path, dims, False))
        else:
            lacking("mricron-data (the aal atlas)")
    if want("spots", ("stats",)):
        if ndi is None:
            lacking("python3-scipy (the statistics' labels and peer)")
        else:
            spots.append(spots_input(work))
    if want("cells", ("cells",)) and args.python:
        cells.append(Input("cells", "blobs in noise 128×512×512", None, (512, 512, 128), False))

    for op in ops:
        if op in GREY_OPS:
            volumes = greys
        elif op in FINISHING_OPS:
            volumes = [v for v in masks if v.key in FINISHING_MASKS]
        else:
            volumes = {"stats": spots, "cells": cells}.get(op, values if op in LABEL_ALL_OPS else masks)
        if op == "segment":
            volumes = [v for v in volumes if v.level is not None]
        note(f"{OP_NAMES[op]}")
        for volume in volumes:
            run_op(comparison, op, volume)

    report = table(comparison.rows)
    today = datetime.date.today().isoformat()
    header = (f"# img3d against scipy.ndimage, scikit-image, numpy and ITK\n\n"
              f"Processor: **{processor()}** ({machine()}).  Measured by `bench/compare.py` on {today}; "
              f"{versions(comparison.itk_version)}.  Load average {load_before} at the start, "
              f"{load()} at the end: one run's figures, which vary between runs where the machine is "
              "shared, most in the sub-millisecond rows.\n")
    text = f"{header}\n{report}\n\n{notes(args, missing, ' '.join(binarised), comparison.cells_module)}\n"
    print(report)
    os.makedirs(os.path.dirname(args.markdown), exist_ok=True)
    with open(args.markdown, "w") as f:
        f.write(text)
    note(f"wrote {args.markdown}")
    if try_import("matplotlib") and chart(comparison.rows, args.chart, f"{processor()}, {today}"):
        note(f"wrote {args.chart}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
