"""Arrays larger than the library takes in one call: the block-by-block
paths, run on small arrays with the block sizes lowered, give what one call
on the whole array gives; and, opt-in, the functions on an array of more
than 2^31 voxels."""
import numpy as np
import pytest

import img3d
from conftest import SHAPES, large_memory, random_volume

GREY = (np.int16, np.uint16, np.float32)


def grey_volume(rng, shape, dtype):
    values = rng.normal(300, 2000, shape)
    if dtype == np.float32:
        values[rng.random(shape) < 0.05] = np.nan
    info = np.iinfo(dtype) if dtype != np.float32 else np.finfo(dtype)
    return np.clip(values, info.min, info.max).astype(dtype)


def classes(rng, shape, dtype):
    """A few values, in stretches along x so that pieces cross the blocks."""
    a = rng.choice(np.array([0, 3, 250, -7 if np.dtype(dtype).kind == "i" else 7], dtype), shape)
    along = rng.random(shape) < 0.6
    for x in range(1, shape[2]):
        a[:, :, x] = np.where(along[:, :, x], a[:, :, x - 1], a[:, :, x])
    return a


CALLS = {
    "histogram": lambda a, g: [img3d.histogram(a), img3d.histogram(g), img3d.histogram(g, window=(-900, 2500)),
                               img3d.histogram(a, window=(20, 180))],
    "mean, limits": lambda a, g: [img3d.mean(a), img3d.limits(a), img3d.mean(a.T), img3d.limits(a[::2])],
    "thresholds": lambda a, g: [f(x) for f in (img3d.otsu_threshold, img3d.two_mode_threshold)
                                for x in (a, a // 128 * 255, g, np.full_like(g, 7))],
    "segment": lambda a, g: [img3d.segment(a, 40, 170, 9, 3), img3d.segment(a.T, 100), img3d.segment(g, -500.5),
                             img3d.segment(g, 0, 900, 255, 1)],
    "label_all": lambda a, g: [img3d.label_all(classes(np.random.default_rng(a.size), a.shape, t), c)
                               for t, c in ((np.uint8, 6), (np.int16, 18), (np.int32, 26), (np.uint16, 6))]
                              + [img3d.label_all(a > 128, 26, out=np.empty(a.shape, np.int32))],
}


def same(x, y):
    if isinstance(x, (tuple, list)):
        return type(x) is type(y) and len(x) == len(y) and all(same(p, q) for p, q in zip(x, y))
    return np.array_equal(x, y, equal_nan=np.asarray(x).dtype.kind == "f")


@pytest.mark.parametrize("name", CALLS)
def test_blocks_give_what_one_call_gives(name, monkeypatch):
    rng = np.random.default_rng(20261210)
    for shape in SHAPES[1:]:
        a = random_volume(rng, shape)
        g = grey_volume(rng, shape, GREY[shape[0] % 3])
        whole = CALLS[name](a, g)
        slice_voxels = shape[1] * shape[2]
        # Pieces of rows, slabs of rows, whole slices, slabs of slices.
        for voxels in (shape[2] // 2 + 1, 2 * shape[2], slice_voxels, 3 * slice_voxels - 1):
            monkeypatch.setattr(img3d, "_VOLUME_VOXELS", 0)
            monkeypatch.setattr(img3d, "_SLAB_VOXELS", voxels)
            blocked = CALLS[name](a, g)
            monkeypatch.undo()
            assert same(blocked, whole), f"{shape} in blocks of {voxels}"
            if name == "segment":  # in a library block, which holds it
                assert all(img3d._img3d.is_resident(r) for r in blocked)


def test_label_all_count_beyond_dtype(monkeypatch):
    monkeypatch.setattr(img3d, "_VOLUME_VOXELS", 0)
    monkeypatch.setattr(img3d, "_SLAB_VOXELS", 4)
    monkeypatch.setattr(np, "iinfo", lambda dtype: type("Info", (), {"max": 3}))
    with pytest.raises(ValueError, match="dtype"):
        img3d.label_all(np.eye(5, dtype=np.uint8)[None])


# An isolated voxel at every even (z, y, x): 1024 x 512 x 513 of them.
LATTICE = (2048, 1024, 1025)


@large_memory(13)
def test_more_than_2_31_voxels_in_closed_form():
    a = np.zeros(LATTICE, np.uint8)
    a[::2, ::2, ::2] = 255
    n = 1024 * 512 * 513
    assert a.size > 2**31
    counts = img3d.histogram(a)
    assert counts[255] == n and counts[0] == a.size - n and counts.sum() == a.size
    assert img3d.mean(a) == 255 * n // a.size and img3d.limits(a) == (0, 255)
    assert img3d.otsu_threshold(a) == 254 and img3d.two_mode_threshold(a) == 2
    result = img3d.segment(a, 128)
    assert not img3d._img3d.is_resident(result) and np.array_equal(result, a)
    # The dilation makes crosses: even slices full rows on even rows and the
    # points' columns on odd ones, odd slices the points alone.
    assert np.count_nonzero(img3d.dilate(a)) == 1024 * 512 * (1025 + 2 * 513)
    assert not img3d.erode(a).any() and not img3d.opening(a, connectivity=26).any()
    # The closing keeps the points off the volume's faces (z, y, x >= 2, x <= 1022).
    assert np.count_nonzero(img3d.closing(a, connectivity=18)) == 1023 * 511 * 511
    assert np.array_equal(img3d.fill_holes(a), a)
    assert not img3d.remove_objects(a, min_volume=2).any()
    assert np.argwhere(img3d.largest_objects(a, 3)).tolist() == [[0, 0, 0], [0, 0, 2], [0, 0, 4]]
    del result
    labels, values = img3d.label_all(a)
    assert labels.dtype == np.int32 and len(values) == n and (values == 255).all()
    k = np.arange(0, n, 997)
    z, y, x = np.unravel_index(k, (1024, 512, 513))
    np.testing.assert_array_equal(labels[2 * z, 2 * y, 2 * x], k + 1)
    assert labels[1::2].max() == 0
    stats = img3d.intensity_stats(labels, a, 1000)
    assert (stats.count == 1).all() and (stats.mean == 255).all() and stats.outside == n - 1000
