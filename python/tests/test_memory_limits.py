"""Every public function under an address-space limit: each call either
gives its result or raises MemoryError naming the function, never kills the
interpreter -- in the main thread and in a thread started under the limit.

Each function runs in a subprocess that builds its arguments, then calls it
16 times with RLIMIT_AS stepped from the process's current size up to twice
a generous bound on the call's working memory."""
import os
import subprocess
import sys

import numpy as np
import pytest

import img3d

CHILD = r'''
import resource, sys, threading
import numpy as np
import img3d

name, where, path = sys.argv[1], sys.argv[2], sys.argv[3]
rng = np.random.default_rng(5)
grey = rng.integers(0, 256, (24, 40, 56), dtype=np.uint8)
mask = np.where(grey > 150, 255, 0).astype(np.uint8)
labels = img3d.label(mask)[0]
calls = {
    "zeros": lambda: img3d.zeros(grey.shape),
    "histogram": lambda: img3d.histogram(grey),
    "mean": lambda: img3d.mean(grey),
    "limits": lambda: img3d.limits(grey),
    "otsu_threshold": lambda: img3d.otsu_threshold(grey),
    "two_mode_threshold": lambda: img3d.two_mode_threshold(grey),
    "segment": lambda: img3d.segment(grey, 100),
    "label": lambda: img3d.label(mask),
    "objects": lambda: img3d.objects(mask),
    "runs": lambda: img3d.runs(mask),
    "remove_objects": lambda: img3d.remove_objects(mask, min_volume=5),
    "dilate": lambda: img3d.dilate(mask),
    "erode": lambda: img3d.erode(mask),
    "opening": lambda: img3d.opening(mask),
    "closing": lambda: img3d.closing(mask, connectivity=26),
    "fill_holes": lambda: img3d.fill_holes(mask),
    "largest_objects": lambda: img3d.largest_objects(mask, 2),
    "label_all": lambda: img3d.label_all(grey // 64),
    "intensity_stats": lambda: img3d.intensity_stats(labels, grey),
    "edge_smooth": lambda: img3d.edge_smooth(mask),
    "check_segment_options": lambda: img3d.check_segment_options(min_volume=3),
    "segment_file": lambda: img3d.segment_file(path, path + ".out.nii.gz"),
}
call = calls[name]
call()  # the unlimited result; and every lazy import done
page = resource.getpagesize()
base = int(open("/proc/self/statm").read().split()[0]) * page
top = base + 2 * max(200 * grey.size, 32 << 20)
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
outcomes = []

def attempt():
    try:
        call()
        outcomes.append("result")
    except MemoryError as e:
        outcomes.append("memory" if ("img3d." + name) in str(e) or not str(e) else "unnamed: " + str(e))
    except BaseException as e:  # anything else is a fault
        outcomes.append(f"{type(e).__name__}: {e}")

for step in range(16):
    resource.setrlimit(resource.RLIMIT_AS, (base + (top - base) * step // 15, hard))
    try:
        if where == "thread":
            t = threading.Thread(target=attempt)
            try:
                t.start()
            except RuntimeError as e:
                outcomes.append("no thread" if "can't start new thread" in str(e) else f"RuntimeError: {e}")
            else:
                t.join()
        else:
            attempt()
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
bad = [o for o in outcomes if o not in ("result", "memory", "no thread")]
print(" ".join(o.split(":")[0] for o in outcomes))
if bad:
    print("\n".join(bad))
    sys.exit(3)
'''

FUNCTIONS = sorted(n for n in img3d.__all__ if callable(getattr(img3d, n)) and not isinstance(getattr(img3d, n), type))


@pytest.fixture(scope="module")
def scan(tmp_path_factory):
    nibabel = pytest.importorskip("nibabel")
    path = str(tmp_path_factory.mktemp("scan") / "scan.nii.gz")
    grey = np.random.default_rng(6).integers(0, 256, (56, 40, 24), dtype=np.uint8)
    nibabel.save(nibabel.Nifti1Image(grey, np.eye(4)), path)
    return path


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="RLIMIT_AS and /proc are Linux's")
@pytest.mark.parametrize("where", ["main", "thread"])
@pytest.mark.parametrize("name", FUNCTIONS)
def test_out_of_memory_is_memory_error(name, where, scan):
    child = subprocess.run([sys.executable, "-c", CHILD, name, where, scan], capture_output=True, text=True,
                           timeout=120, env=dict(os.environ, OMP_NUM_THREADS="1"))
    assert child.returncode == 0, f"exit {child.returncode}\n{child.stdout}\n{child.stderr[-2000:]}"
    assert "result" in child.stdout.split()[-1:], child.stdout  # the widest limit lets the call through
