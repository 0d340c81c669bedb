"""Morphology, hole filling, size selection, every-value labelling, intensity
statistics and grey images of other types, against scipy and scikit-image."""
import os

import numpy as np
import pytest

import img3d
from conftest import random_volume

ndi = pytest.importorskip("scipy.ndimage")
RANK = {6: 1, 18: 2, 26: 3}
CH2 = "/usr/share/mricron/templates/ch2.nii.gz"


def masks():
    """Blobs of three densities in odd shapes, and ch2's head at half resolution."""
    rng = np.random.default_rng(20261209)
    for shape, p in [((1, 1, 1), 0.5), ((7, 5, 3), 0.3), ((2, 9, 4), 0.8), ((11, 13, 17), 0.1), ((20, 18, 19), 0.5),
                     ((16, 1, 23), 0.6)]:
        yield random_volume(rng, shape, p=p)
    if os.path.exists(CH2):
        nibabel = pytest.importorskip("nibabel")
        grey = np.asarray(nibabel.load(CH2).dataobj).T[::2, ::2, ::2]
        yield np.where(grey > 60, 255, 0).astype(np.uint8)


def structure(connectivity):
    return ndi.generate_binary_structure(3, RANK[connectivity])


@pytest.mark.parametrize("name", ["dilation", "erosion", "opening", "closing"])
def test_morphology_equals_scipy(name):
    ours = {"dilation": img3d.dilate, "erosion": img3d.erode, "opening": img3d.opening, "closing": img3d.closing}[name]
    theirs = getattr(ndi, "binary_" + name)
    for a in masks():
        for connectivity, iterations in [(6, 1), (18, 2), (26, 1), (6, 3)]:
            expected = theirs(a == 255, structure(connectivity), iterations)
            np.testing.assert_array_equal(ours(a, connectivity=connectivity, iterations=iterations),
                                          np.where(expected, 255, 0), err_msg=f"{a.shape} {connectivity}")
        np.testing.assert_array_equal(ours(a == 255, True, False, 26), theirs(a == 255, structure(26)))
        np.testing.assert_array_equal(ours(a, 255, 7, 6), np.where(theirs(a == 255, structure(6)), 255, 7))


@pytest.mark.parametrize("connectivity", [6, 18, 26])
def test_fill_holes_equals_scipy(connectivity):
    for a in masks():
        m = a == 255
        np.testing.assert_array_equal(img3d.fill_holes(a, connectivity=connectivity) == 255,
                                      ndi.binary_fill_holes(m, structure(connectivity)))
        plane = ndi.generate_binary_structure(2, 1 if connectivity == 6 else 2)
        for axis in range(3):
            planes = [ndi.binary_fill_holes(p, plane) for p in np.moveaxis(m, axis, 0)]
            np.testing.assert_array_equal(img3d.fill_holes(m, connectivity=connectivity, axis=axis),
                                          np.moveaxis(np.array(planes), 0, axis))


@pytest.mark.parametrize("connectivity", [6, 18, 26])
def test_size_selection_equals_skimage(connectivity):
    measure = pytest.importorskip("skimage.measure")
    morphology = pytest.importorskip("skimage.morphology")
    for a in masks():
        m = a == 255
        for size in (2, 30, 500):
            theirs = morphology.remove_small_objects(m, min_size=size, connectivity=RANK[connectivity])
            np.testing.assert_array_equal(img3d.remove_objects(a, min_volume=size, connectivity=connectivity),
                                          np.where(theirs, 255, 0))
        labels = measure.label(m, connectivity=RANK[connectivity])
        sizes = np.bincount(labels.ravel())[1:]
        order = np.lexsort((np.arange(len(sizes)), -sizes))  # larger first, then the lower label
        for k in (0, 1, 3, len(sizes) + 1):
            kept = np.isin(labels, order[:k] + 1)
            np.testing.assert_array_equal(img3d.largest_objects(a, k, connectivity=connectivity, paint=9),
                                          np.where(kept, 255, np.where(m, 9, 0)))


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.int16, np.int32])
def test_label_all_equals_skimage(dtype):
    measure = pytest.importorskip("skimage.measure")
    rng = np.random.default_rng(7)
    for shape, values in [((9, 11, 13), 3), ((20, 18, 19), 8), ((1, 30, 2), 2)]:
        palette = np.concatenate([[0], rng.choice(np.arange(-300, 300), values, replace=False)])
        if dtype in (np.uint8, np.uint16):
            palette = np.abs(palette) % 250
        a = rng.choice(palette, size=shape).astype(dtype)
        for connectivity in (6, 18, 26):
            labels, values_of = img3d.label_all(a, connectivity)
            expected = measure.label(a, background=0, connectivity=RANK[connectivity])
            np.testing.assert_array_equal(labels, expected)
            first = np.unique(labels.ravel(), return_index=True)[1][1:]
            np.testing.assert_array_equal(values_of, a.ravel()[first])
            assert values_of.dtype == a.dtype


@pytest.mark.filterwarnings("ignore:invalid value")  # scipy's 0 / 0 on the empty labels
@pytest.mark.parametrize("dtype", [np.uint8, np.int16, np.uint16, np.float32])
def test_intensity_stats_equals_scipy(dtype):
    rng = np.random.default_rng(11)
    shape = (13, 17, 19)
    labels = rng.integers(0, 40, shape).astype(np.int64)
    labels[labels == 5] = 0  # an empty label
    grey = (rng.normal(100, 30, shape) if dtype == np.float32 else rng.integers(0, 250, shape)).astype(dtype)
    n = 42
    s = img3d.intensity_stats(labels, grey, n)
    index = np.arange(1, n + 1)
    full = s.count > 0
    np.testing.assert_array_equal(s.count, ndi.sum_labels(np.ones(shape), labels, index))
    np.testing.assert_allclose(s.mean[full], ndi.mean(grey, labels, index)[full], rtol=1e-12)
    np.testing.assert_allclose(s.std[full], ndi.standard_deviation(grey, labels, index)[full], atol=1e-9)
    np.testing.assert_array_equal(s.min[full], ndi.minimum(grey, labels, index)[full])
    np.testing.assert_array_equal(s.max[full], ndi.maximum(grey, labels, index)[full])
    np.testing.assert_allclose(s.sum, ndi.sum_labels(grey.astype(np.float64), labels, index))
    assert s.min.dtype == grey.dtype and np.isnan(s.mean[4]) and s.count[4] == 0
    assert len(img3d.intensity_stats(labels.astype(np.int32), grey)) == 39


def test_objects_table_equals_regionprops():
    measure = pytest.importorskip("skimage.measure")
    rng = np.random.default_rng(3)
    a = random_volume(rng, (12, 21, 17), p=0.3)
    grey = rng.integers(0, 4000, a.shape).astype(np.int16)
    spacing = (2.0, 0.5, 0.75)
    table = img3d.objects(a, connectivity=26, spacing=spacing, grey=grey).to_dict()
    labels = measure.label(a == 255, connectivity=3)
    theirs = measure.regionprops_table(labels, grey, properties=("label", "area", "bbox", "centroid",
                                                                  "intensity_mean", "intensity_min",
                                                                  "intensity_max"))
    # This scikit-image takes no spacing: scaled here.
    theirs["area"] = theirs["area"] * np.prod(spacing)
    for i in range(3):
        theirs[f"centroid-{i}"] = theirs[f"centroid-{i}"] * spacing[i]
    assert set(table) == set(theirs)
    for key in theirs:
        np.testing.assert_allclose(table[key], theirs[key], rtol=1e-12, err_msg=key)


def test_no_silent_zero():
    rng = np.random.default_rng(5)
    ones = (random_volume(rng, (6, 7, 8), p=0.4) == 255).astype(np.uint8)
    calls = [img3d.label, img3d.objects, img3d.runs, img3d.remove_objects, img3d.largest_objects, img3d.fill_holes,
             img3d.dilate, img3d.erode, img3d.opening, img3d.closing]
    for f in calls:
        with pytest.raises(ValueError, match=r"value=1.*value=None"):
            f(ones)
        f(ones, value=255)  # asked for on purpose: no objects, no error
    np.testing.assert_array_equal(img3d.label(ones, value=None)[0], img3d.label(ones, value=1)[0])
    wide = ones.astype(np.int16) * -3
    np.testing.assert_array_equal(img3d.label(wide, value=None)[0], img3d.label(ones, value=1)[0])
    np.testing.assert_array_equal(img3d.closing(wide, value=None, connectivity=18), img3d.closing(ones * 255, 255, 0, 18))
    kept = img3d.remove_objects(wide, value=None, min_volume=5, paint=7)
    np.testing.assert_array_equal(kept == -3, img3d.remove_objects(ones, 1, 5) == 1)
    assert kept.dtype == np.int16 and set(np.unique(kept)) <= {-3, 0, 7}


def levels(a, low, high):
    """The tool's level map, naively."""
    v = a.astype(np.float64)
    with np.errstate(invalid="ignore"):
        t = (v - low) * 255.0 / (high - low)
        level = np.where(t > 0, np.where(t >= 255, 255, np.floor(t + 0.5)), 0)
    return np.where(np.isfinite(v), level, 0).astype(np.uint8)


@pytest.mark.parametrize("dtype", [np.int16, np.uint16, np.float32])
def test_grey_types(dtype):
    import reference

    rng = np.random.default_rng(13)
    shape = (9, 14, 11)
    a = np.concatenate([rng.normal(300, 80, 600), rng.normal(1500, 200, 900)])
    a = np.clip(rng.choice(a, size=shape), 0, 4000).astype(dtype)
    if dtype == np.float32:
        a[0, 0, :3] = np.nan
    finite = a[np.isfinite(a)]
    for window in (None, (200.0, 1800.0)):
        low, high = window or (float(finite.min()), float(finite.max()))
        lv = levels(a, low, high)
        counts, edges = img3d.histogram(a, window=window)
        np.testing.assert_array_equal(counts, np.bincount(lv.ravel(), minlength=256))
        assert len(edges) == 257 and np.all(np.diff(edges) > 0)
        for ours, theirs, none in [(img3d.otsu_threshold, reference.otsu, 255),
                                   (img3d.two_mode_threshold, reference.two_mode, 0)]:
            t, level = ours(a, window=window), theirs(lv)
            with np.errstate(invalid="ignore"):
                np.testing.assert_array_equal(a >= t, (lv >= level + 1) & (level != none))
    assert img3d.two_mode_threshold(np.full((2, 3, 4), 7, dtype)) == np.inf
    for lo, hi in [(250.5, None), (-10, 1000), (900, 100)]:
        with np.errstate(invalid="ignore"):
            expected = (a >= lo) & (a <= (np.inf if hi is None else hi))
        np.testing.assert_array_equal(img3d.segment(a, lo, hi, 1, 4), np.where(expected, 1, 4))
