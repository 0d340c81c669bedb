import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import img3d
import reference
from conftest import SHAPES, random_volume


def grey_volumes(rng):
    """Uniform noise, a few occupied levels, and two modes with empty levels between."""
    for shape in SHAPES:
        yield random_volume(rng, shape)
        levels = rng.choice(256, size=rng.integers(1, 6), replace=False)
        yield rng.choice(levels, size=shape).astype(np.uint8)
        modes = np.concatenate([rng.normal(60, 12, 400), rng.normal(170, 20, 600)])
        yield np.clip(rng.choice(modes, size=shape), 0, 255).astype(np.uint8)


def test_statistics_and_thresholds(rng):
    for a in grey_volumes(rng):
        np.testing.assert_array_equal(img3d.histogram(a), np.bincount(a.ravel(), minlength=256))
        assert img3d.mean(a) == int(a.sum(dtype=np.int64)) // a.size
        assert img3d.limits(a) == (a.min(), a.max())
        assert img3d.otsu_threshold(a) == reference.otsu(a)
        assert img3d.two_mode_threshold(a) == reference.two_mode(a)


def test_thresholds_documented_examples():
    def two_levels(x, y):
        return np.array([x] * 32 + [y] * 32, np.uint8).reshape(4, 4, 4)
    assert img3d.two_mode_threshold(two_levels(10, 200)) == 12
    assert img3d.two_mode_threshold(two_levels(0, 255)) == 2
    assert img3d.otsu_threshold(two_levels(10, 200)) == 199
    assert img3d.otsu_threshold(np.full((2, 3, 4), 9, np.uint8)) == 255


def test_segment(rng):
    for a in grey_volumes(rng):
        for low, high, obj, bg in [(128, 255, 255, 0), (-5, 300, 1, 0), (40, 90, 0, 200), (200, 100, 255, 0)]:
            expected = np.where((a >= low) & (a <= high), obj, bg)
            np.testing.assert_array_equal(img3d.segment(a, low, high, obj, bg), expected)


def mask_volumes(rng):
    for shape in SHAPES:
        for p in (0.2, 0.5):
            a = random_volume(rng, shape, p=p)
            a[rng.random(shape) < 0.05] = 77  # grey values that are neither object nor background
            yield a


def test_dilate(rng):
    for a in mask_volumes(rng):
        for connectivity in (6, 18, 26):
            np.testing.assert_array_equal(img3d.dilate(a, 255, 0, connectivity),
                                          reference.dilate(a, 255, 0, connectivity))
            np.testing.assert_array_equal(img3d.dilate(a, 77, 9, connectivity), reference.dilate(a, 77, 9, connectivity))


def test_edge_smooth(rng):
    for a in mask_volumes(rng):
        for value, background, radius in [(255, 0, 1), (255, 0, 0), (255, 0, 2), (200, 50, 1)]:
            b = np.where(a == 255, value, a).astype(np.uint8)
            np.testing.assert_array_equal(img3d.edge_smooth(b, value, background, radius),
                                          reference.edge_smooth(b, value, background, radius))


def test_bool_masks_match_uint8(rng):
    for a in mask_volumes(rng):
        m = a == 255
        u = np.where(m, 255, 0).astype(np.uint8)
        for f in (lambda x, v, b: img3d.dilate(x, v, b, 26), lambda x, v, b: img3d.edge_smooth(x, v, b, 1),
                  lambda x, v, b: img3d.remove_objects(x, v, 4, 30, b)):
            r = f(m, True, False)
            assert r.dtype == np.bool_
            np.testing.assert_array_equal(r, f(u, 255, 0) == 255)
        np.testing.assert_array_equal(img3d.label(m)[0], img3d.label(u)[0])
        np.testing.assert_array_equal(img3d.label(m, False)[0], img3d.label(u, 0)[0])


def every_call():
    """Every function on a volume of grey values and 255-valued blobs."""
    return {
        "histogram": img3d.histogram, "mean": img3d.mean, "limits": img3d.limits,
        "otsu": img3d.otsu_threshold, "two_mode": img3d.two_mode_threshold,
        "segment": lambda a: img3d.segment(a, 60, 200, 255, 0),
        "label": lambda a: img3d.label(a, 255, 18), "objects": lambda a: img3d.objects(a, 255, 26),
        "runs": img3d.runs, "remove": lambda a: img3d.remove_objects(a, 255, 5),
        "dilate": lambda a: img3d.dilate(a, 255, 0, 26), "smooth": lambda a: img3d.edge_smooth(a, 255, 0, 1),
        "closing": lambda a: img3d.closing(a, 255, 0, 18, 2), "fill": img3d.fill_holes,
        "largest": lambda a: img3d.largest_objects(a, 2, connectivity=26), "label_all": img3d.label_all,
        "nonzero": lambda a: img3d.remove_objects(a, None, 3), "windowed": lambda a: img3d.histogram(a, (9, 200)),
        "grey": lambda a: img3d.objects(a, grey=a).intensity.mean,
    }


def same(x, y):
    if isinstance(x, img3d.Objects):
        return all(same(getattr(x, k), getattr(y, k)) for k in img3d.Objects.__slots__)
    if isinstance(x, (tuple, list)):
        return len(x) == len(y) and all(same(u, v) for u, v in zip(x, y))
    if isinstance(x, np.ndarray):
        return x.dtype == y.dtype and np.array_equal(x, y)
    return x == y


def test_layouts_and_inputs_untouched(rng):
    big = random_volume(rng, (14, 20, 26), p=0.4)
    big[rng.random(big.shape) < 0.1] = 120
    inputs = {
        "fortran": np.asfortranarray(big),
        "sliced": big[1::2, ::-1, 3:-2],
        "transposed": big.transpose(2, 0, 1),
        "resident": img3d.segment(big, 100),  # lives in a library block
    }
    inputs["resident view"] = inputs["resident"][...]
    for name, a in inputs.items():
        before = a.copy()
        contiguous = np.ascontiguousarray(a)
        for call_name, call in every_call().items():
            assert same(call(a), call(contiguous)), (name, call_name)
            np.testing.assert_array_equal(a, before, err_msg=f"{call_name} changed a {name} input")
    assert img3d._img3d.is_resident(inputs["resident"]) and img3d._img3d.is_resident(inputs["resident view"])
    assert not img3d._img3d.is_resident(inputs["resident"][:, 1:])


def test_results_are_new_c_contiguous_arrays(rng):
    a = random_volume(rng, (5, 6, 7), p=0.5)
    for r in (img3d.segment(a, 1), img3d.dilate(a), img3d.edge_smooth(a), img3d.remove_objects(a), img3d.label(a)[0]):
        assert r.flags.c_contiguous and r.flags.writeable and r.shape == a.shape
        assert not np.shares_memory(r, a)
    z = img3d.zeros((2, 3, 4))
    z[1, 2, 3] = 255
    assert img3d.histogram(z)[255] == 1 and img3d._img3d.is_resident(z)


def test_label_out(rng):
    a = random_volume(rng, (6, 7, 8), p=0.4)
    out = np.full(a.shape, -3, np.int32)
    labels, n = img3d.label(a, out=out)
    assert labels is out and n == out.max()
    np.testing.assert_array_equal(out, img3d.label(a)[0])


@pytest.mark.parametrize("call, error, words", [
    (lambda: img3d.mean(np.zeros((3, 4), np.uint8)), ValueError, "a must be 3-dimensional"),
    (lambda: img3d.mean(np.zeros((3, 4, 5), np.int16)), TypeError, "a must be a uint8 array"),
    (lambda: img3d.mean(np.zeros((3, 4, 5), bool)), TypeError, "a must be a uint8 array"),
    (lambda: img3d.label(np.zeros((3, 4, 5), np.float32)), TypeError, "a must be a uint8 or bool"),
    (lambda: img3d.histogram(np.zeros((3, 0, 5), np.uint8)), ValueError, "at least one voxel"),
    (lambda: img3d.label(np.zeros((2, 3, 4), np.uint8), connectivity=5), ValueError, "connectivity"),
    (lambda: img3d.dilate(np.zeros((2, 3, 4), np.uint8), connectivity=8), ValueError, "connectivity"),
    (lambda: img3d.edge_smooth(np.zeros((2, 3, 4), np.uint8), radius=102), ValueError, "radius"),
    (lambda: img3d.edge_smooth(np.zeros((2, 3, 4), np.uint8), radius=1.0), TypeError, "radius"),
    (lambda: img3d.edge_smooth(np.zeros((2, 3, 4), np.uint8), 5, 5), ValueError, "background"),
    (lambda: img3d.segment(np.zeros((2, 3, 4), np.uint8), 4, object=9, background=9), ValueError, "background"),
    (lambda: img3d.segment(np.zeros((2, 3, 4), np.uint8), 4, object=256), ValueError, "object"),
    (lambda: img3d.remove_objects(np.zeros((2, 3, 4), np.uint8), paint=255), ValueError, "paint"),
    (lambda: img3d.runs(np.zeros((2, 3, 4), bool), value=7), ValueError, "value"),
    (lambda: img3d.runs(np.zeros((1, 1, 40000), np.uint8)), ValueError, "32768"),
    (lambda: img3d.runs(np.broadcast_to(np.uint8(0), (2048, 1024, 1025))), ValueError,
     r"runs.*2\^31.*img3d.objects"),
    (lambda: img3d.edge_smooth(np.broadcast_to(np.uint8(0), (2048, 1024, 1025))), ValueError, r"edge_smooth.*2\^31"),
    (lambda: img3d.label(np.zeros((2, 3, 4), np.uint8), out=np.zeros((2, 3, 5), np.int32)), ValueError, "shape"),
    (lambda: img3d.label(np.zeros((2, 3, 4), np.uint8), out=np.zeros((2, 3, 4), np.int16)), TypeError, "int32"),
    (lambda: img3d.label(np.zeros((2, 3, 4), np.uint8), out=np.zeros((2, 3, 4), np.int32, order="F")),
     ValueError, "C-contiguous"),
    (lambda: img3d.zeros((2**12, 2**12, 2**8)), ValueError, "too large"),
    (lambda: img3d.erode(np.zeros((2, 3, 4), np.uint8), iterations=0), ValueError, "iterations"),
    (lambda: img3d.fill_holes(np.zeros((2, 3, 4), np.uint8), axis=3), ValueError, "axis"),
    (lambda: img3d.largest_objects(np.zeros((2, 3, 4), np.uint8), k=-1), ValueError, "k"),
    (lambda: img3d.label_all(np.zeros((2, 3, 4), np.float32)), TypeError, "a must be a uint8, uint16"),
    (lambda: img3d.histogram(np.zeros((2, 3, 4), np.int16), window=(5, 5)), ValueError, "window"),
    (lambda: img3d.segment(np.zeros((2, 3, 4), np.float32), "1"), TypeError, "low"),
    (lambda: img3d.intensity_stats(np.zeros((2, 3, 4), np.int16), np.zeros((2, 3, 4), np.uint8)), TypeError,
     "labels must be an int32 or int64"),
    (lambda: img3d.objects(np.zeros((2, 3, 4), np.uint8), grey=np.zeros((2, 3, 5), np.uint8)), ValueError, "grey"),
    (lambda: img3d.objects(np.zeros((2, 3, 4), np.uint8), spacing=(1, 0, 1)), ValueError, "spacing"),
])
def test_bad_arguments(call, error, words):
    with pytest.raises(error, match=words):
        call()


def test_label_out_may_not_overlap_input():
    buffer = np.zeros(2 * 3 * 4 * 4, np.uint8)
    out = buffer.view(np.int32).reshape(2, 3, 4)
    with pytest.raises(ValueError, match="share memory"):
        img3d.label(buffer[:24].reshape(2, 3, 4), out=out)


def test_out_of_memory_raises_memory_error():
    # A child with 1 GiB of address space: a volume of 1.5 GiB cannot be had.
    script = textwrap.dedent("""
        import resource, numpy as np, img3d
        a = np.zeros((4, 5, 6), np.uint8)
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        try:
            img3d.zeros((1536, 1024, 1024))
        except MemoryError:
            print("MemoryError")
        print(img3d.mean(a))
    """)
    r = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0 and r.stdout.split() == ["MemoryError", "0"], r.stderr


def test_threads_give_the_serial_results(rng):
    volumes = [random_volume(rng, (20, 21, 22), p=0.45) for _ in range(8)]
    serial = [(img3d.edge_smooth(a), img3d.label(a, connectivity=26)) for a in volumes]
    with ThreadPoolExecutor(4) as pool:
        threaded = list(pool.map(lambda a: (img3d.edge_smooth(a), img3d.label(a, connectivity=26)), volumes))
    assert same(serial, threaded)


def test_object_extent_limit():
    # Records take exactly MAX_OBJECT_EXTENT voxels along an axis, one more is refused.
    assert img3d.MAX_OBJECT_EXTENT == 32768
    row = np.zeros((1, 1, img3d.MAX_OBJECT_EXTENT + 1), np.uint8)
    row[0, 0, 5:9] = 255
    with pytest.raises(ValueError, match="MAX_OBJECT_EXTENT"):
        img3d.runs(row)
    (record,) = img3d.runs(row[:, :, :img3d.MAX_OBJECT_EXTENT])
    assert record.tolist() == [[0, 0, 5, 8]]
    labels, n = img3d.label(row)  # labelling takes any extent
    assert n == 1 and labels[0, 0, 5:9].tolist() == [1] * 4 and labels.sum() == 4
