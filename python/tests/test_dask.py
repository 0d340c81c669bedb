import numpy as np
import pytest

import img3d
import reference
from conftest import large_memory, random_volume

da = pytest.importorskip("dask.array")
import dask  # noqa: E402
import img3d.dask as idask  # noqa: E402


def chunking(rng, n):
    """One voxel thick, a single chunk, or uneven cuts."""
    kind = rng.integers(3)
    if kind == 0 or n == 1:
        return (n,)
    if kind == 1:
        return (1,) * n
    cuts = np.sort(rng.choice(np.arange(1, n), min(n - 1, int(rng.integers(1, 4))), replace=False))
    return tuple(np.diff(np.concatenate([[0], cuts, [n]])).tolist())


def expected_labels(mask, connectivity):
    try:
        from scipy import ndimage
    except ImportError:
        return reference.label(mask, connectivity)
    return ndimage.label(mask, ndimage.generate_binary_structure(3, {6: 1, 18: 2, 26: 3}[connectivity]))


def assert_same_objects(o, e):
    for field in ("voxels", "bbox", "centroid", "first"):
        np.testing.assert_array_equal(getattr(o, field), getattr(e, field))


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_chunked_operations_equal_whole_array(seed):
    rng = np.random.default_rng(seed)
    with dask.config.set(scheduler="threads"):
        for _ in range(6):
            shape = tuple(int(s) for s in rng.integers(1, 15, 3))
            a = random_volume(rng, shape, p=float(rng.choice([0.2, 0.5, 0.7])))
            a[rng.random(shape) < 0.03] = 255
            x = da.from_array(a, chunks=tuple(chunking(rng, s) for s in shape))
            for connectivity in (6, 18, 26):
                recompute = bool(rng.integers(2))
                if rng.integers(2):  # written straight into an array
                    out = np.full(shape, -1, rng.choice([np.int32, np.int64]))
                    labels, n = idask.label(x, 255, connectivity, recompute=recompute, out=out)
                    assert labels is out
                else:
                    labels, n = idask.label(x, 255, connectivity, recompute=recompute)
                    labels = labels.compute()
                theirs, count = expected_labels(a == 255, connectivity)
                assert n == count
                np.testing.assert_array_equal(labels, theirs)
                assert_same_objects(idask.objects(x, 255, connectivity), img3d.objects(a, 255, connectivity))
            grey = rng.normal(100, 30, shape).astype(rng.choice([np.uint8, np.int16, np.float32]))
            ours = idask.objects(x, 255, 26, grey=da.from_array(grey, chunks=3)).intensity
            theirs = img3d.objects(a, 255, 26, grey=grey).intensity
            for field in ("count", "min", "max"):
                np.testing.assert_array_equal(getattr(ours, field), getattr(theirs, field))
            for field in ("sum", "mean"):  # float sums are added in another order
                np.testing.assert_allclose(getattr(ours, field), getattr(theirs, field), rtol=1e-12)
            np.testing.assert_allclose(ours.std, theirs.std, rtol=1e-9, atol=1e-9)
            low, high = sorted(int(v) for v in rng.integers(1, 40, 2))
            c = int(rng.choice([6, 18, 26]))
            np.testing.assert_array_equal(idask.remove_objects(x, 255, low, high, 7, c).compute(),
                                          img3d.remove_objects(a, 255, low, high, 7, c))
            wide = a.astype(np.int16) - 9  # every non-zero voxel of another type
            np.testing.assert_array_equal(
                idask.remove_objects(da.from_array(wide, chunks=x.chunks), None, low, high, -1, c).compute(),
                img3d.remove_objects(wide, None, low, high, -1, c))


def spiral(n):
    """A square spiral winding inwards, each ring one slice higher: one
    object that leaves and re-enters every chunk many times."""
    a = np.zeros((n // 4 + 2, n, n), np.uint8)
    for ring, lo in enumerate(range(0, n // 2 - 1, 2)):
        hi = n - 1 - lo
        z = ring + 1
        a[z, lo, lo:hi + 1] = a[z, lo:hi + 1, hi] = a[z, hi, lo:hi + 1] = 255
        a[z, lo + 2:hi + 1, lo] = 255
        a[z:z + 2, lo + 2, lo:lo + 3] = 255  # the step up to the next ring
    return a


def comb(n):
    """Teeth along x joined only by a spine in the last chunk."""
    a = np.zeros((n, n, n), np.uint8)
    a[:, :, ::2] = 255
    a[: n - 1, :, 1::2] = 0
    a[n - 1] = 255
    return a


def test_shapes_across_many_chunks():
    corner = np.zeros((4, 4, 4), np.uint8)
    corner[1, 1, 1] = corner[2, 2, 2] = corner[1, 2, 1] = 255
    cases = [(spiral(21), 4), (comb(12), 3), (corner, 2)]
    with dask.config.set(scheduler="threads"):
        for a, step in cases:
            for connectivity in (6, 18, 26):
                labels, n = idask.label(da.from_array(a, chunks=step), 255, connectivity)
                theirs, count = expected_labels(a == 255, connectivity)
                assert n == count
                np.testing.assert_array_equal(labels.compute(), theirs)
    assert idask.label(da.from_array(corner, chunks=2), 255, 26)[1] == 1
    assert idask.label(da.from_array(comb(12), chunks=3))[1] == 1


def test_value_of_a_mask():
    x = da.from_array(np.eye(4, dtype=np.uint8)[None].repeat(3, 0), chunks=2)
    with pytest.raises(ValueError, match="value=1.*value=None"):
        idask.label(x)
    assert idask.label(x, value=None, connectivity=26)[1] == 1
    assert idask.label(x, value=1)[1] == 4
    assert idask.label(x.astype(np.uint16) * 300, value=300)[1] == 4


def test_on_local_cluster():
    distributed = pytest.importorskip("distributed")
    rng = np.random.default_rng(4)
    a = random_volume(rng, (20, 18, 19), p=0.5)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster):
        x = da.from_array(a, chunks=(7, 6, 10))
        labels, n = idask.label(x, 255, 26)
        theirs, count = expected_labels(a == 255, 26)
        assert n == count
        np.testing.assert_array_equal(labels.compute(), theirs)
        with pytest.raises(ValueError, match="zarr"):
            idask.label(x, 255, 26, out=np.empty(a.shape, np.int32))


@pytest.mark.parametrize("connectivity", [6, 18, 26])
def test_blocked_in_memory_labelling(rng, connectivity, monkeypatch):
    for shape in [(9, 8, 7), (1, 13, 11), (12, 1, 1)]:
        a = random_volume(rng, shape, p=0.5)
        a[rng.random(shape) < 0.03] = 255
        theirs, count = expected_labels(a == 255, connectivity)
        for voxels in (1, 5, 60, 200):  # whole slabs, rows, pieces of rows
            monkeypatch.setattr(img3d, "_BLOCK_VOXELS", voxels)
            for workers, dtype in ((1, np.int32), (2, np.int64), (1, np.int64)):
                labels, n = img3d.label(a, 255, connectivity, dtype=dtype, workers=workers)
                assert n == count and labels.dtype == dtype
                np.testing.assert_array_equal(labels, theirs)


def test_label_count_beyond_dtype(monkeypatch):
    monkeypatch.setattr(np, "iinfo", lambda dtype: type("Info", (), {"max": 3}))
    with pytest.raises(ValueError, match="dtype"):
        img3d.label(np.eye(5, dtype=np.uint8)[None] * 255, workers=2)


@large_memory(12, by_default=True)
def test_more_than_2_31_voxels():
    a = np.zeros((2048, 1024, 1025), np.uint8)
    a[::2, ::2, ::2] = 255
    labels, n = img3d.label(a, workers=2)
    del a
    points = (1024, 512, 513)
    assert n == np.prod(points)
    np.testing.assert_array_equal(labels[::2, ::2, ::2].ravel()[:: 997], np.arange(1, n + 1)[:: 997])
    assert labels[1::2].max() == 0


def test_blocked_in_memory_objects(rng, monkeypatch):
    a = random_volume(rng, (9, 8, 7), p=0.5)
    expected = {c: img3d.objects(a, 255, c) for c in (6, 26)}
    for voxels in (3, 40):
        monkeypatch.setattr(img3d, "_BLOCK_VOXELS", voxels)
        for c, e in expected.items():
            assert_same_objects(img3d.objects(a, 255, c, workers=2), e)
