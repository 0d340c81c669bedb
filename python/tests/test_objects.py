import warnings

import numpy as np
import pytest

import img3d
import reference
from conftest import SHAPES, random_volume


def masks(rng):
    for shape in SHAPES:
        for p in (0.15, 0.5, 0.7):
            a = random_volume(rng, shape, p=p)
            a[rng.random(shape) < 0.03] = 255  # specks: single-voxel objects, corner contacts
            yield a


@pytest.mark.parametrize("connectivity", [6, 18, 26])
def test_label_against_naive_labelling(rng, connectivity):
    for a in masks(rng):
        labels, n = img3d.label(a, 255, connectivity)
        expected, count = reference.label(a == 255, connectivity)
        assert n == count
        np.testing.assert_array_equal(labels, expected)


@pytest.mark.parametrize("connectivity, rank", [(6, 1), (18, 2), (26, 3)])
def test_label_equals_scipy(rng, connectivity, rank):
    ndi = pytest.importorskip("scipy.ndimage")
    structure = ndi.generate_binary_structure(3, rank)
    for shape in [(31, 29, 37), (1, 64, 3), (40, 2, 41)]:
        for p in (0.3, 0.6):
            m = random_volume(rng, shape, p=p) == 255
            theirs, count = ndi.label(m, structure)
            labels, n = img3d.label(m, True, connectivity)
            assert n == count
            np.testing.assert_array_equal(labels, theirs)


def test_objects_statistics(rng):
    for a in masks(rng):
        for connectivity in (6, 26):
            labels, n = img3d.label(a, 255, connectivity)
            o = img3d.objects(a, 255, connectivity)
            assert len(o) == n
            flat = labels.ravel()
            np.testing.assert_array_equal(o.voxels, np.bincount(flat, minlength=n + 1)[1:])
            coords = np.indices(a.shape).reshape(3, -1)
            inside = flat > 0
            first = np.unique(flat, return_index=True)[1][1:]
            np.testing.assert_array_equal(o.first, coords[:, first].T)
            for axis in range(3):
                c = coords[axis][inside]
                lows = np.full(n, np.iinfo(np.int32).max)
                highs = np.full(n, -1)
                np.minimum.at(lows, flat[inside] - 1, c)
                np.maximum.at(highs, flat[inside] - 1, c)
                np.testing.assert_array_equal(o.bbox[:, axis], lows)
                np.testing.assert_array_equal(o.bbox[:, axis + 3], highs + 1)
                sums = np.bincount(flat, weights=coords[axis], minlength=n + 1)[1:]
                np.testing.assert_allclose(o.centroid[:, axis], sums / o.voxels, rtol=1e-12)


def test_runs_are_the_objects_in_label_order(rng):
    for a in masks(rng):
        labels, n = img3d.label(a, 255, 6)
        records = img3d.runs(a)
        assert len(records) == n
        painted = np.zeros(a.shape, np.int32)
        for k, runs in enumerate(records, 1):
            assert runs.dtype == np.int16 and runs.shape[1] == 4
            for y, z, x0, x1 in runs:
                assert x0 <= x1 and not painted[z, y, x0:x1 + 1].any()
                painted[z, y, x0:x1 + 1] = k
                # whole stretches: the voxels beside a run are not the object's
                assert x0 == 0 or labels[z, y, x0 - 1] != k
                assert x1 == a.shape[2] - 1 or labels[z, y, x1 + 1] != k
            y, z, x0, _ = runs[0]
            assert (z, y, x0) == tuple(np.argwhere(labels == k)[0])
        np.testing.assert_array_equal(painted, labels)


def test_remove_objects(rng):
    for a in masks(rng):
        a[a == 0] = np.uint8(rng.integers(0, 200))
        for low, high, paint in [(1, 2**31 - 1, 0), (3, 40, 0), (10, 5, 9), (-4, 1, 200)]:
            np.testing.assert_array_equal(img3d.remove_objects(a, 255, low, high, paint),
                                          reference.remove_objects(a, 255, low, high, paint))


def test_remove_objects_equals_skimage(rng):
    morphology = pytest.importorskip("skimage.morphology")
    for shape in [(31, 29, 37), (40, 2, 41)]:
        m = random_volume(rng, shape, p=0.4) == 255
        for size in (2, 30, 300):
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                theirs = morphology.remove_small_objects(m, min_size=size, connectivity=1)
            np.testing.assert_array_equal(img3d.remove_objects(m, min_volume=size), theirs)


def test_objects_of_nothing():
    a = np.zeros((3, 4, 5), np.uint8)
    assert img3d.label(a)[1] == 0 and img3d.runs(a) == [] and len(img3d.objects(a)) == 0
    np.testing.assert_array_equal(img3d.remove_objects(a), a)
