import glob
import os

import numpy as np
import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def random_volume(rng, shape, levels=256, p=None):
    """uint8 volume: uniform grey values below levels, or a two-valued
    (255 / 0) mask with object probability p, smoothed into blobs."""
    if p is None:
        return rng.integers(0, levels, shape, dtype=np.uint8)
    noise = rng.random(shape)
    # A 3-voxel box average makes blobs of many sizes instead of specks only.
    blur = sum(np.roll(noise, s, axis) for axis in range(3) for s in (-1, 0, 1)) / 9
    return np.where(blur < np.quantile(blur, p), 255, 0).astype(np.uint8)


# Odd, non-cubic shapes catch swapped axes; thin ones the edges.
SHAPES = [(1, 1, 1), (7, 5, 3), (3, 5, 7), (2, 9, 4), (11, 13, 17), (16, 1, 23), (20, 18, 19)]


@pytest.fixture
def rng():
    return np.random.default_rng(20261208)


def large_memory(gib, by_default=False):
    """Marks a test of an array of more than 2^31 voxels: it runs when gib GiB
    of memory are available and, unless by_default, only when asked for
    (IMG3D_LARGE=1); IMG3D_LARGE=0 skips them all."""
    asked = os.environ.get("IMG3D_LARGE")
    if asked == "0" or (asked != "1" and not by_default):
        return pytest.mark.skip(reason=f"more than 2^31 voxels: set IMG3D_LARGE=1 to run it with {gib} GiB free")
    try:
        import psutil

        available = psutil.virtual_memory().available
    except ImportError:
        available = os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    if available < gib << 30:
        return pytest.mark.skip(reason=f"more than 2^31 voxels: needs {gib} GiB free, {available / 2**30:.1f} are")
    return lambda test: test


def tool_path():
    """The img3d tool: IMG3D_TOOL, else one built in this tree."""
    found = [os.environ.get("IMG3D_TOOL", "")] + sorted(glob.glob(os.path.join(ROOT, "build", "*", "tools", "img3d",
                                                                                 "img3d")))
    return next((p for p in found if p and os.access(p, os.X_OK)), None)


@pytest.fixture(scope="module")
def tool():
    path = tool_path()
    if path is None:
        pytest.skip("no img3d tool built (set IMG3D_TOOL; scripts/test.sh builds one before the Python tests)")
    return path
