"""img3d: exact 3D image processing of 8-bit volumes on numpy arrays.

Volumes are 3D numpy arrays indexed ``[z, y, x]``, x fastest in memory (the
convention of numpy and scikit-image).  Grey volumes are ``uint8``;
:func:`histogram`, :func:`otsu_threshold`, :func:`two_mode_threshold`,
:func:`segment` and :func:`intensity_stats` take ``int16``, ``uint16`` and
``float32`` grey volumes too.  Where an object value is expected, a ``bool``
mask is accepted too: ``True`` is the object, and ``value`` (default 255)
then says which voxels are the objects: ``True`` (or 1, or 255) the True
voxels, ``False`` (or 0) the False ones.  ``value=None`` takes every
non-zero voxel, of an array of any numeric type.  No silent zero: a call
that finds no object of the default 255 in a uint8 array holding 1s raises
ValueError (pass ``value=1`` for a 0/1 mask, or ``value=None``).

A nibabel image is indexed ``[x, y, z]``; when its file stores x fastest
(every NIfTI file does), ``np.asarray(img.dataobj).T`` is the ``[z, y, x]``
array, a view without a copy, and ``nibabel.Nifti1Image(result.T, img.affine,
img.header)`` writes a result back with the input's geometry.

Inputs are never modified.  Results are new C-contiguous arrays.

Residency: a library volume block holds one uint8 (or bool) volume of at
most 2^31 - 1 bytes with its tables (a pointer per row and per slice, so a
little fewer voxels).  The uint8 and bool arrays img3d returns, and those of
:func:`zeros`, live in such blocks and are used in place when passed back; a
result larger than a block holds is a plain numpy array, and :func:`zeros`
refuses a shape no block holds.  The functions on blocks copy any other
array in (whole, or beyond a block's size one z-slab at a time, with the
same results); :func:`runs` and :func:`edge_smooth` take one block at most.
The object, morphology and labelling functions read C-contiguous arrays of
any size where they lie, and labels are plain numpy arrays.

Every library call releases the GIL, so threads (and dask's threaded
scheduler) run calls on different arrays in parallel.  Bad arguments raise
``TypeError`` or ``ValueError`` naming the argument; running out of memory
raises ``MemoryError``.
"""

import functools
import inspect
import json
import operator
import os

import numpy as np

from . import _img3d

__all__ = [
    "MAX_OBJECT_EXTENT", "IntensityStats", "Objects", "check_segment_options", "closing", "dilate", "edge_smooth",
    "erode", "fill_holes", "histogram", "intensity_stats", "label", "label_all", "largest_objects", "limits", "mean",
    "objects", "opening", "otsu_threshold", "remove_objects", "runs", "segment", "segment_file",
    "two_mode_threshold", "zeros",
]

__version__ = _img3d.version

INT32_MAX = 2**31 - 1
INT64_MAX = 2**63 - 1

#: The largest extent along any axis of an array whose objects can be taken
#: as run-length records (:func:`runs`, :func:`edge_smooth`): 32768, as
#: records hold coordinates in 16 bits.  The other functions take any extent.
MAX_OBJECT_EXTENT = _img3d.MAX_OBJECT_EXTENT


def _integer(name, x, low=-INT32_MAX - 1, high=INT32_MAX):
    try:
        x = operator.index(x)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(x).__name__}") from None
    if not low <= x <= high:
        raise ValueError(f"{name} must lie in {low} ... {high}, not {x}")
    return x


def _array(a):
    return a if type(a) is np.ndarray else np.asarray(a)


class _Default(int):
    """The default value, 255, told from a 255 passed on purpose."""

    def __repr__(self):
        return "255"


_UNSET = _Default(255)


def _check_found(a, value, empty=None):
    """No silent zero: a uint8 array without the default value 255 that
    holds 1s is most likely a 0/1 mask.  ``empty`` says whether the call found
    no object (None: whether ``a`` holds no 255, a scan that stops at the
    first one)."""
    if value is not _UNSET or a.dtype != np.uint8 or a.ndim != 3 or 0 in a.shape:
        return
    if empty is None:
        empty = not _img3d.holds(a, 255)
    if empty and _img3d.holds(a, 1):
        raise ValueError("a has no voxel of value=255 but holds 1s: pass value=1 for a 0/1 mask, "
                         "or value=None for every non-zero voxel")


def _objects_of(a, value):
    """The array and the value the library takes for the objects of ``a``:
    ``a`` itself with its object value, or for ``value=None`` a bool array's
    True voxels, or a 0/255 uint8 mask of any other array's non-zero voxels."""
    if value is not None:
        return a, _level(a, "value", value)
    if a.dtype == np.bool_:
        return a, 1
    if a.dtype.kind not in "uif":
        raise TypeError(f"a must be a numeric or bool array for value=None, not {a.dtype}")
    mask = np.empty(a.shape, np.uint8)
    np.not_equal(a, 0, out=mask.view(np.bool_))
    mask *= 255
    return mask, 255


def _level(a, name, x):
    """A grey value as the library matches it in a: 0 ... 255 for uint8,
    0 or 1 for a bool mask."""
    if a.dtype == np.bool_:
        x = _integer(name, x)
        if x in (1, 255):
            return 1
        if x == 0:
            return 0
        raise ValueError(f"{name} must be True or False (1 or 255, or 0) for a bool array, not {x}")
    return _integer(name, x, 0, 255)


def zeros(shape, dtype=np.uint8):
    """A zero-filled ``[z, y, x]`` array of uint8 (or bool) in a library
    volume block: fill it and pass it to img3d's functions without a copy."""
    dtype = np.dtype(dtype)
    if dtype not in (np.dtype(np.uint8), np.dtype(np.bool_)):
        raise TypeError(f"dtype must be uint8 or bool, not {dtype}")
    if len(shape) != 3:
        raise ValueError(f"shape must have 3 entries [z, y, x], not {len(shape)}")
    depth, height, width = (_integer("shape", n, 0, 2**62) for n in shape)
    return _img3d.zeros(depth, height, width, dtype == np.bool_)


# ---- arrays larger than one library call takes ------------------------------

# The most voxels the library takes in one call: in one volume block (which
# also holds its row tables within 2^31 - 1 bytes) or into int32 labels.
# Larger arrays are processed in blocks of whole z-slabs (of rows where one
# slice is larger) of at most _SLAB_VOXELS voxels, with the same results.
# Tests lower both.
_VOLUME_VOXELS = INT32_MAX
_SLAB_VOXELS = 2**27


def _slabs_of(a):
    """The blocks (index tuples) in which to process ``a`` when no volume
    block takes it whole; None when one does (always for a block's own
    array) or when the library should word its refusal of ``a``."""
    if a.ndim != 3 or 0 in a.shape or _img3d.is_resident(a):
        return None
    if a.size <= _VOLUME_VOXELS and _img3d.fits_block(*a.shape):
        return None
    from . import _slabs

    return _slabs.blocks(a.shape, _SLAB_VOXELS)


def _by_slabs(a, f):
    """``f(a)``, a uint8 array of ``a``'s shape, or where no volume block
    takes ``a``, ``f`` of each block of it gathered into one: in a volume
    block where one holds the result, else in a plain array."""
    slabs = _slabs_of(a)
    if slabs is None:
        return f(a)
    first = f(a[slabs[0]])  # its refusals before any allocation
    depth, height, width = a.shape
    out = (_img3d.zeros(depth, height, width, False) if _img3d.fits_block(depth, height, width)
           else np.empty(a.shape, np.uint8))
    out[slabs[0]] = first
    for s in slabs[1:]:
        out[s] = f(a[s])
    return out


def _one_block_only(a, name, instead=None):
    """Refuses an array no volume block holds, for a function that takes
    one block at most."""
    if a.ndim == 3 and 0 not in a.shape and not _img3d.fits_block(*a.shape):
        raise ValueError(f"a is too large for {name}: it takes one library volume, at most 2^31 - 1 bytes with "
                         f"its row tables, and a has {a.size} voxels"
                         + (f"; {instead} takes arrays of any size" if instead else ""))


# ---- statistics and thresholds ---------------------------------------------

_GREY_TYPES = tuple(np.dtype(t) for t in (np.uint8, np.int16, np.uint16, np.float32))


def _grey(a, window=None):
    """``a`` as the level map reads it (C-contiguous), and the checked window;
    None for a uint8 array without a window, which the library reads as it is."""
    a = _array(a)
    if a.dtype not in _GREY_TYPES:
        raise TypeError(f"a must be a uint8, int16, uint16 or float32 array, not {a.dtype}")
    if window is not None:
        try:
            low, high = (float(w) for w in window)
        except (TypeError, ValueError):
            raise TypeError("window must be a pair of numbers (low, high)") from None
        if not (np.isfinite(low) and np.isfinite(high) and low < high):
            raise ValueError(f"window must be finite with low < high, not {window!r}")
        window = (low, high)
    elif a.dtype == np.uint8:
        return a, None
    if a.ndim != 3:
        raise ValueError(f"a must be 3-dimensional, indexed [z, y, x]; its shape is {a.shape}")
    return np.ascontiguousarray(a), window


def _add_doc(text):
    """Appends a shared paragraph to the function's docstring."""
    def decorate(f):
        f.__doc__ += text
        return f
    return decorate


_LEVEL_MAP = """The levels of an int16, uint16 or float32 array (or of any array with
    ``window``) are those of the ``img3d`` tool: value v lies at level
    ``round((v - low) * 255 / (high - low))``, clamped to 0 ... 255, halves
    rounded up, with ``(low, high)`` the ``window`` or else the array's finite
    minimum and maximum; non-finite values lie at level 0."""


@_add_doc(_LEVEL_MAP)
def histogram(a, window=None):
    """The voxel count of each grey level of ``a``.

    For a uint8 array without ``window``: an int64 array of 256 counts, that
    of each grey value, which sum to the voxel count.  Otherwise ``(counts,
    edges)``: 256 counts of the levels and 257 float64 edges, level k holding
    the values from ``edges[k]`` up to (not including) ``edges[k + 1]``;
    values below the window count at level 0 and above it at level 255, so
    this is not ``np.histogram(a, 256, window)``, whose bins are the window
    cut in 256 equal parts.  Arrays of any size are accepted.

    """
    a, window = _grey(a, window)
    if a.dtype == np.uint8 and window is None:
        return _counts(a)
    return _level_counts(a, window)


def _counts(a):
    """The 256 counts of a uint8 array, added up over its slabs where no
    volume block takes it."""
    slabs = _slabs_of(a)
    if slabs is None:
        return _img3d.histogram(a)
    return sum(_img3d.histogram(a[s]) for s in slabs)


def _level_counts(a, window):
    """(counts, edges) of the levels of ``a`` (C-contiguous), as
    :func:`histogram` gives them; over its slabs where no volume block
    takes it, each by the whole array's map."""
    slabs = _slabs_of(a)
    if slabs is None:
        return _img3d.grey_histogram(a, window)
    from . import _slabs

    if window is None:
        window = _slabs.value_range(a, slabs)
    parts = [_img3d.grey_histogram(a[s], window) for s in slabs]
    return sum(counts for counts, _ in parts), parts[0][1]


def _threshold(a, window, otsu):
    """The level of Otsu's or the two-mode selection, in ``a``'s units
    where ``a`` is not read as plain bytes."""
    a, window = _grey(a, window)
    if a.dtype == np.uint8 and window is None:
        return _img3d.histogram_threshold(_counts(a), otsu)
    counts, edges = _level_counts(a, window)
    level = _img3d.histogram_threshold(counts, otsu)
    # No split, or a map whose window is one value (edges all alike): no
    # level's lower bound separates anything.
    if (level >= 255 if otsu else level == 0) or not edges[-1] > edges[0]:
        return float("inf")
    return float(edges[level + 1])


def mean(a):
    """The mean grey value of ``a`` (uint8), rounded down: the exact sum
    divided by the voxel count, truncated.  Arrays of any size are
    accepted."""
    a = _array(a)
    if _slabs_of(a) is None:
        return _img3d.mean(a)
    counts = _counts(a)
    return int(np.dot(counts, np.arange(256))) // int(counts.sum())


def limits(a):
    """``(minimum, maximum)``: the smallest and the largest grey value of
    ``a`` (uint8).  Arrays of any size are accepted."""
    a = _array(a)
    slabs = _slabs_of(a)
    if slabs is None:
        return _img3d.limits(a)
    parts = [_img3d.limits(a[s]) for s in slabs]
    return min(low for low, _ in parts), max(high for _, high in parts)


_THRESHOLD_IN_UNITS = """For an int16, uint16 or float32 array (or any array with ``window``), the
    split is chosen on its levels (below) and the result is a float: the
    smallest value of the level above the split, in the array's units, so
    that the objects are ``a >= t``, i.e. ``segment(a, t)`` -- not
    ``segment(a, t + 1)`` as for a uint8 level (a uint8 array with
    ``window``: ``segment(a, math.ceil(t))``).  ``inf`` where there is no
    split (Otsu's level 255, the two-mode's 0: no valley), as the ``img3d``
    tool then finds no object.

    """ + _LEVEL_MAP


@_add_doc(_THRESHOLD_IN_UNITS)
def otsu_threshold(a, window=None):
    """Otsu's threshold of ``a``.

    For a uint8 array without ``window``: the level t, 0 ... 255, whose split
    into a lower class 0 ... t and an upper class t + 1 ... 255 has the
    largest between-class variance.  The objects are ``a > t``, i.e.
    ``segment(a, t + 1)``.  Computed in IEEE double in a fixed order, so every
    build gives the same level; ties go to the highest level, so a volume of
    one grey value gives 255, and a best split within a run of empty levels
    gives the level just below the next occupied one.  Arrays of any size
    are accepted.

    """
    return _threshold(a, window, True)


@_add_doc(_THRESHOLD_IN_UNITS)
def two_mode_threshold(a, window=None):
    """The valley between the two highest modes of the histogram of ``a``.

    For a uint8 array without ``window``: a level 1 ... 254, or 0 when the
    smoothed histogram has no level with a higher one on each side (a single
    mode).  The level suits ``segment(a, t + 1)`` as Otsu's does.  Integer
    arithmetic only.  Arrays of any size are accepted.

    """
    return _threshold(a, window, False)


def _bound(name, x):
    if isinstance(x, (bool, np.bool_)) or not isinstance(x, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a number, not {type(x).__name__}")
    if np.isnan(x):
        raise ValueError(f"{name} must be a number, not NaN")
    return float(x)


def segment(a, low, high=None, object=255, background=0):
    """Binarises ``a`` by a band: a new uint8 array holding ``object``
    where ``low <= a <= high`` and ``background`` elsewhere; ``high=None``
    sets no upper bound.

    For a uint8 ``a``, ``low`` and ``high`` are integers compared with the
    voxels as integers, so any integers are meaningful: ``low <= 0`` with
    ``high >= 255`` selects every voxel, ``low > high`` none.  For an int16,
    uint16 or float32 ``a`` they are numbers (floats too) compared with the
    values in the array's units; NaN voxels are never selected.  ``object``
    and ``background`` are grey values (0 ... 255) and must differ.  Arrays
    of any size are accepted."""
    a = _array(a)
    object = _integer("object", object, 0, 255)
    background = _integer("background", background, 0, 255)
    if object == background:
        raise ValueError(f"object and background must differ (both are {object})")
    if a.dtype in _GREY_TYPES[1:]:
        a, _ = _grey(a)
        low, high = _bound("low", low), np.inf if high is None else _bound("high", high)
        return _by_slabs(a, lambda b: _img3d.grey_segment(b, low, high, object, background))
    low = _integer("low", low)
    high = 255 if high is None else _integer("high", high)
    return _by_slabs(a, lambda b: _img3d.segment(b, low, high, object, background))


# ---- objects ------------------------------------------------------------------

def _connectivity(connectivity, allowed):
    connectivity = _integer("connectivity", connectivity)
    if connectivity not in allowed:
        raise ValueError(f"connectivity must be {' or '.join(map(str, allowed))}, not {connectivity}")
    return connectivity


# With more than one worker, arrays are labelled in blocks of at most this
# many voxels, a few per worker.  Tests lower it.
_BLOCK_VOXELS = 2**27
def label(a, value=_UNSET, connectivity=6, out=None, dtype=None, workers=1):
    """Labels the objects of the voxels of ``a`` equal to ``value`` (every
    non-zero voxel for ``value=None``): returns
    ``(labels, n)``, ``labels`` an int32 array of ``a``'s shape holding
    1 ... n for the objects and 0 elsewhere.

    ``connectivity`` is 6 (voxels sharing a face touch), 18 (a face or an
    edge) or 26 (a face, an edge or a corner).  Objects are numbered by the
    raster order (x fastest, then y, then z) of their first voxel, as
    ``scipy.ndimage.label`` numbers them on the same array; with 6, label k is
    the object ``runs(a, value)`` lists at index k - 1.

    ``out``, when given, receives the labels and is returned: a C-contiguous
    writable int32 or int64 array of ``a``'s shape, apart from ``a``'s
    memory.  ``dtype`` (int32 by default, or int64; that of ``out`` when
    given) is the labels' type.  A count of objects beyond what it holds is
    a ValueError naming ``dtype``; ``out`` then holds partial labels.

    Arrays of any size are accepted.  With one worker, ``a`` is labelled in
    one library call.  More ``workers`` threads find the objects of z-slabs
    of ``a`` at once (the GIL is released meanwhile), two slabs per thread,
    join them across their faces and write each slab's labels once, with
    the same result.  A
    C-contiguous ``a`` is read in place, without a copy."""
    given = _array(a)
    a, level = _objects_of(given, value)
    connectivity = _connectivity(connectivity, (6, 18, 26))
    workers = _integer("workers", workers, 1)
    dtype = _label_dtype(out, dtype)
    if a.ndim == 3 and a.size <= _BLOCK_VOXELS and workers == 1 and dtype == np.int32:
        labels, n = _img3d.label(a, level, connectivity, out)
        _check_found(given, value, n == 0)
        return labels, n
    from . import _blocks

    if out is None:
        out = np.empty(a.shape, dtype)
    else:
        _check_out(a, out)
    if a.ndim != 3 or 0 in a.shape:
        return _img3d.label(a, level, connectivity, None)  # the binding words the refusal
    if workers == 1:
        n = _img3d.label_voxels(_blocks.rows_of_voxels(a), level, connectivity, out)
        _check_found(given, value, n == 0)
        return out, n
    grid = _blocks.Grid(_blocks.slab_chunks(a.shape, _block_voxels(a, workers)))
    blocks = list(grid)
    executor = _blocks.Threads(workers)
    try:
        # Each block's objects are found and held as runs; once the blocks
        # are joined, each block's labels are written into their place in
        # out through its table, once.
        def first(ijk):
            block = _blocks.rows_of_voxels(a[grid.slices(ijk)])
            starts = np.empty(block.shape[0] * block.shape[1], np.int64) if grid.keyed else None
            runs = _img3d.label_runs(block, level, connectivity, starts)
            return runs, _blocks.summarise_runs(grid, ijk, runs, dtype, starts)

        done = executor.map(first, blocks)
        tables, n, _ = _blocks.merge(grid, [s for _, s in done], [s.n for _, s in done], connectivity,
                                     executor, dtype)
        _check_found(given, value, n == 0)
        _count_fits(n, dtype)
        executor.map(lambda ijk, runs, t: runs.write(out[grid.slices(ijk)], table=t), blocks,
                     [runs for runs, _ in done], tables)
    finally:
        executor.close()
    return out, n


def _count_fits(n, dtype):
    if n > np.iinfo(dtype).max:
        raise ValueError(f"a has {n} objects, more than dtype={np.dtype(dtype).name} labels hold: "
                         "pass dtype=np.int64")
    return n


def _label_dtype(out, dtype):
    if out is not None:
        if not isinstance(out, np.ndarray):
            raise TypeError("out must be a numpy array")
        if out.dtype not in (np.dtype(np.int32), np.dtype(np.int64)):
            raise TypeError(f"out must be an int32 or int64 array, not {out.dtype}")
        if dtype is not None and np.dtype(dtype) != out.dtype:
            raise TypeError(f"dtype must be that of out, {out.dtype}, not {np.dtype(dtype)}")
        return out.dtype
    dtype = np.dtype(np.int32 if dtype is None else dtype)
    if dtype not in (np.dtype(np.int32), np.dtype(np.int64)):
        raise TypeError(f"dtype must be int32 or int64, not {dtype}")
    return dtype


def _check_out(a, out):
    if out.shape != a.shape:
        raise ValueError(f"out must have the shape of a, {a.shape}, not {out.shape}")
    if not out.flags.c_contiguous or not out.flags.writeable:
        raise ValueError("out must be C-contiguous and writable")
    if np.may_share_memory(a, out):
        raise ValueError("out must not share memory with a")


class Objects:
    """Per-object statistics of :func:`objects`; row k describes label k + 1.

    ``voxels`` (n,) int64 voxel counts; ``bbox`` (n, 6) int32
    ``(z0, y0, x0, z1, y1, x1)``, the bounding box with exclusive ends (the
    object lies in ``a[z0:z1, y0:y1, x0:x1]``, scikit-image's convention);
    ``centroid`` (n, 3) float64 ``(z, y, x)``, the mean voxel position, times
    ``spacing`` when given; ``first`` (n, 3) int32 ``(z, y, x)``, the
    object's first voxel in raster order; ``spacing``, the voxel size
    ``(dz, dy, dx)`` or None; ``intensity``, the :class:`IntensityStats` of
    a grey image over the objects, or None."""

    __slots__ = ("voxels", "bbox", "centroid", "first", "spacing", "intensity")

    def __init__(self, voxels, bbox, centroid, first, spacing=None, intensity=None):
        self.voxels, self.bbox, self.centroid, self.first = voxels, bbox, centroid, first
        self.spacing, self.intensity = spacing, intensity

    def __len__(self):
        return len(self.voxels)

    def __repr__(self):
        return f"<img3d.Objects: {len(self)} objects>"

    @property
    def volume(self):
        """(n,) float64: each object's volume, ``voxels`` times the voxel
        volume ``dz * dy * dx`` (1 without ``spacing``)."""
        size = 1.0 if self.spacing is None else float(np.prod(self.spacing))
        return self.voxels * size

    def to_dict(self):
        """The table as ``skimage.measure.regionprops_table`` names its
        columns, for ``pandas.DataFrame(objects.to_dict())``: ``label``,
        ``area`` (the voxel count, or the volume with ``spacing``),
        ``bbox-0`` ... ``bbox-5`` (``z0, y0, x0, z1, y1, x1``, ends
        exclusive), ``centroid-0`` ... ``centroid-2`` and, with a grey image,
        ``intensity_mean``, ``intensity_min`` and ``intensity_max``."""
        table = {"label": np.arange(1, len(self) + 1, dtype=np.int32),
                 "area": self.voxels if self.spacing is None else self.volume}
        table.update({f"bbox-{i}": self.bbox[:, i] for i in range(6)})
        table.update({f"centroid-{i}": self.centroid[:, i] for i in range(3)})
        if self.intensity is not None:
            table.update(intensity_mean=self.intensity.mean, intensity_min=self.intensity.min,
                         intensity_max=self.intensity.max)
        return table


def _spacing(spacing):
    if spacing is None:
        return None
    try:
        spacing = tuple(float(d) for d in spacing)
    except (TypeError, ValueError):
        raise TypeError("spacing must be three numbers (dz, dy, dx)") from None
    if len(spacing) != 3 or not all(np.isfinite(d) and d > 0 for d in spacing):
        raise ValueError(f"spacing must be three positive numbers (dz, dy, dx), not {spacing}")
    return spacing


def objects(a, value=_UNSET, connectivity=6, workers=1, spacing=None, grey=None):
    """Statistics of the objects of the voxels of ``a`` equal to ``value``
    (every non-zero voxel for ``value=None``), labelled as :func:`label`
    labels them: an :class:`Objects` whose arrays are indexed by label - 1.
    Arrays of any size are accepted, as by :func:`label`, with ``workers``
    threads.

    ``spacing`` ``(dz, dy, dx)``, the voxel size, scales the centroids
    (index times spacing) and gives :attr:`Objects.volume` in physical units.
    nibabel's ``header.get_zooms()`` is ``(dx, dy, dz)``, for its ``[x, y,
    z]`` arrays: pass it reversed, ``get_zooms()[2::-1]``, with
    ``np.asarray(img.dataobj).T``.

    ``grey``, an array of ``a``'s shape (uint8, int16, uint16 or float32),
    gives :attr:`Objects.intensity`: its :func:`intensity_stats` over the
    objects."""
    given = _array(a)
    a, level = _objects_of(given, value)
    connectivity = _connectivity(connectivity, (6, 18, 26))
    workers = _integer("workers", workers, 1)
    spacing = _spacing(spacing)
    if grey is not None:
        grey = _grey_for(grey, a.shape)
    if a.ndim != 3 or 0 in a.shape or (a.size <= _BLOCK_VOXELS and workers == 1):
        stats = _img3d.objects(a, level, connectivity, grey)
        intensity = _intensity(grey, *stats[4]) if grey is not None else None
        result = Objects(*stats[:4], intensity=intensity)
    else:
        result = _objects_in_blocks(a, level, connectivity, workers)
        if grey is not None:
            labels, n = label(a, level, connectivity, workers=workers)
            result.intensity = intensity_stats(labels, grey, n)
    _check_found(given, value, len(result) == 0)
    if spacing is not None:
        result.spacing = spacing
        result.centroid = result.centroid * np.array(spacing)
    return result


def _objects_in_blocks(a, level, connectivity, workers):
    from . import _blocks

    grid = _blocks.Grid(_blocks.slab_chunks(a.shape, _block_voxels(a, workers)))
    blocks = list(grid)
    executor = _blocks.Threads(workers)
    try:
        def first(ijk):
            labels, n = _img3d.label(a[grid.slices(ijk)], level, connectivity, None)
            return _blocks.summarise(grid, ijk, labels, n)

        summaries = executor.map(first, blocks)
        tables, n, _ = _blocks.merge(grid, summaries, [s.n for s in summaries], connectivity, executor)

        def stats(ijk, table):
            return _blocks.piece_stats(grid, ijk, _img3d.objects(a[grid.slices(ijk)], level, connectivity), table)

        return Objects(*_blocks.combine_stats(n, a.shape, executor.map(stats, blocks, tables)))
    finally:
        executor.close()


def _block_voxels(a, workers):
    """The blocks' size: two blocks per worker, which evens out their times
    while the joins stay few (each block's pieces are ranked in the driver)."""
    return _BLOCK_VOXELS if workers == 1 else min(_BLOCK_VOXELS, -(-a.size // (2 * workers)))


def runs(a, value=_UNSET):
    """The 6-connected objects of the voxels of ``a`` equal to ``value``
    (every non-zero voxel for ``value=None``) as run-length records: a list
    with one ``(n, 4)`` int16 array per object, each row a run ``(y, z,
    x_start, x_end)`` (x_end inclusive) along x.

    Objects are listed in raster order of their first voxel (z, then y, then
    x); each object's first run holds that voxel, the other runs follow in the
    order of the library's scan-line fill (``GetAllRunLength3D``).  ``a`` is
    not modified (the extraction runs on a copy).  Each extent of ``a`` must
    be at most :data:`MAX_OBJECT_EXTENT` (32768), and ``a`` must fit in one
    library volume (2^31 - 1 bytes with its row tables): :func:`objects`
    takes arrays of any size."""
    given = _array(a)
    _one_block_only(given, "runs", "img3d.objects")
    a, level = _objects_of(given, value)
    result = _img3d.runs(a, level)
    _check_found(given, value, not result)
    return result


def _painted(given, value, paint):
    """The paint as the library writes it in ``given``'s objects: a level
    for a uint8 or bool array; for ``value=None`` on another type, a value of
    that type."""
    if value is not None or given.dtype in (np.dtype(np.uint8), np.dtype(np.bool_)):
        return _level(given, "paint", paint)
    try:
        painted = np.array(paint, given.dtype)
    except (TypeError, ValueError, OverflowError):
        raise TypeError(f"paint must be a value of a's type, {given.dtype}, not {paint!r}") from None
    if painted != paint:
        raise ValueError(f"paint must be a value of a's type, {given.dtype}, not {paint!r}")
    return painted


def _select(a, value, connectivity, keep, low, high, paint):
    """Paints the objects that Img3DKeepLargest (keep >= 0) or
    Img3DRemoveBySize removes."""
    given = _array(a)
    source, level = _objects_of(given, value)
    connectivity = _connectivity(connectivity, (6, 18, 26))
    paint = _painted(given, value, paint)
    _check_found(given, value)
    if source is given:
        if paint == level:
            raise ValueError("paint must differ from value: a removed object could not be told from one that stays")
        return _img3d.select_objects(given, level, connectivity, keep, low, high, paint)[0]
    # Every non-zero voxel of another type: the selection on the 0/255 mask
    # says which voxels keep their own values.
    kept = _img3d.select_objects(source, level, connectivity, keep, low, high, 0)[0]
    return np.where(kept == source, given, np.asarray(paint, given.dtype))


def remove_objects(a, value=_UNSET, min_volume=1, max_volume=INT32_MAX, paint=0, connectivity=6):
    """A copy of ``a`` in which every object of ``value`` (every non-zero
    voxel for ``value=None``) whose voxel count lies outside ``min_volume ...
    max_volume`` (both kept) is painted with ``paint``; every other voxel is
    as in ``a``.  With ``min_volume > max_volume`` every object goes.

    Objects are the pieces of ``connectivity`` 6, 18 or 26, so that with the
    default ``max_volume`` this is
    ``skimage.morphology.remove_small_objects(a == value, min_volume,
    connectivity=1 | 2 | 3)`` painted into ``a``.  ``paint`` must differ from
    ``value``.  Arrays of any size are accepted."""
    low = _integer("min_volume", min_volume, -INT64_MAX - 1, INT64_MAX)
    high = _integer("max_volume", max_volume, -INT64_MAX - 1, INT64_MAX)
    return _select(a, value, connectivity, -1, low, high, paint)


def largest_objects(a, k=1, value=_UNSET, connectivity=6, paint=0):
    """A copy of ``a`` in which every object of ``value`` (every non-zero
    voxel for ``value=None``) but the ``k`` largest is painted with
    ``paint``.

    Objects are the pieces of ``connectivity`` 6, 18 or 26, ranked by voxel
    count; among objects of equal size the lower label (:func:`label`'s
    numbering) stays.  ``k=0`` paints every object; ``k`` at least the
    number of objects keeps them all.  ``paint`` must differ from ``value``.
    Arrays of any size are accepted."""
    return _select(a, value, connectivity, _integer("k", k, 0, INT64_MAX), 0, 0, paint)


def _binary(a, value, background):
    """The source, the object and the background values of an operation
    whose result holds only the two."""
    source, level = _objects_of(_array(a), value)
    background = _level(source, "background", background)
    if level == background:
        raise ValueError(f"value and background must differ (both are {level})")
    return source, level, background


def _morphology(operation, a, value, background, connectivity, iterations):
    source, level, background = _binary(a, value, background)
    connectivity = _connectivity(connectivity, (6, 18, 26))
    iterations = _integer("iterations", iterations, 1)
    _check_found(_array(a), value)
    return _img3d.morphology(source, operation, level, background, connectivity, iterations)


_MORPHOLOGY = """

    The set is the voxels of ``a`` equal to ``value`` (every non-zero voxel
    for ``value=None``, of an array of any numeric type).  The result is a new
    array (uint8; bool for a bool ``a``) holding ``value`` (255 for
    ``value=None`` on a non-bool array) where the operation's set lies and
    ``background`` elsewhere: ``np.where(scipy.ndimage.binary_{name}(a ==
    value, structure, iterations), value, background)``, the structure
    ``generate_binary_structure(3, 1)`` for ``connectivity`` 6 (the cross),
    ``(3, 2)`` for 18 and ``(3, 3)`` for 26 (the cube).  Outside the volume
    counts as background, as scipy's ``border_value=0``.  Arrays of any size
    are accepted."""


def _morphology_doc(name):
    return _add_doc(_MORPHOLOGY.replace("{name}", name))


@_morphology_doc("dilation")
def dilate(a, value=_UNSET, background=0, connectivity=6, iterations=1):
    """Dilates the set by the element of ``connectivity``, ``iterations``
    times: a voxel joins it when the element centred on it meets the set.
    The result holds every voxel of the set (on the volume's faces too).
    The library's older border-shrinking dilation remains in C as
    ``Img3DDilatation``."""
    return _morphology("dilate", a, value, background, connectivity, iterations)


@_morphology_doc("erosion")
def erode(a, value=_UNSET, background=0, connectivity=6, iterations=1):
    """Erodes the set by the element of ``connectivity``, ``iterations``
    times: a voxel stays when the element centred on it lies wholly in the
    set, so the set's voxels on the volume's faces go."""
    return _morphology("erode", a, value, background, connectivity, iterations)


@_morphology_doc("opening")
def opening(a, value=_UNSET, background=0, connectivity=6, iterations=1):
    """Opens the set: ``iterations`` erosions, then as many dilations."""
    return _morphology("opening", a, value, background, connectivity, iterations)


@_morphology_doc("closing")
def closing(a, value=_UNSET, background=0, connectivity=6, iterations=1):
    """Closes the set: ``iterations`` dilations, then as many erosions, as
    scipy closes it (a set near the volume's faces can lose voxels)."""
    return _morphology("closing", a, value, background, connectivity, iterations)


def fill_holes(a, value=_UNSET, background=0, connectivity=6, axis=None):
    """Fills the holes of the voxels of ``a`` equal to ``value`` (every
    non-zero voxel for ``value=None``): a new array (uint8; bool for a bool
    ``a``) holding ``value`` (255 for ``value=None`` on a non-bool array) on
    the set and its holes, ``background`` elsewhere.

    A hole is a piece of the other voxels, ``connectivity``-connected (6,
    18 or 26), that touches no face of the volume:
    ``scipy.ndimage.binary_fill_holes(a == value, structure)`` with the
    structure of ``connectivity``.  ``axis`` 0, 1 or 2 fills the 2-D holes of
    each plane across that axis on its own (axis 0: each ``a[z]``), pieces
    4-connected in the plane for connectivity 6 and 8-connected for 18 or 26.
    Arrays of any size are accepted."""
    source, level, background = _binary(a, value, background)
    connectivity = _connectivity(connectivity, (6, 18, 26))
    axis = -1 if axis is None else _integer("axis", axis, 0, 2)
    _check_found(_array(a), value)
    return _img3d.fill_holes(source, level, background, connectivity, axis)[0]


_LABEL_ALL_TYPES = tuple(np.dtype(t) for t in (np.uint8, np.uint16, np.int16, np.int32))


def label_all(a, connectivity=6, out=None, dtype=None):
    """Labels the pieces of every non-zero value of ``a`` at once: returns
    ``(labels, values)``.

    A piece is a ``connectivity``-connected (6, 18 or 26) set of voxels of
    one value.  ``labels`` (int32 by default) holds 1 ... n for the pieces,
    numbered in raster order of their first voxel over all values, and 0 for
    the voxels of 0: ``skimage.measure.label(a, background=0,
    connectivity=1 | 2 | 3)``.  ``values[k - 1]`` is the value of piece k,
    in ``a``'s type.

    ``a`` is uint8, uint16, int16 or int32 (a bool array as uint8).  ``out``
    and ``dtype`` as for :func:`label`.  Arrays of any size are accepted:
    int32 labels of more than 2^31 - 1 voxels are made in blocks of whole
    z-slabs, joined across their faces, with the same result; a count of
    pieces beyond what ``dtype`` holds is a ValueError naming ``dtype``
    (``out`` then holds partial labels)."""
    a = _array(a)
    if a.dtype == np.bool_:
        a = a.view(np.uint8)
    if a.dtype not in _LABEL_ALL_TYPES:
        raise TypeError(f"a must be a uint8, uint16, int16 or int32 array, not {a.dtype}")
    connectivity = _connectivity(connectivity, (6, 18, 26))
    dtype = _label_dtype(out, dtype)
    a = np.ascontiguousarray(a)
    if out is None:
        out = np.empty(a.shape, dtype)
    else:
        _check_out(a, out)
    if dtype == np.int32 and a.size > _VOLUME_VOXELS and a.ndim == 3:
        from . import _slabs

        return out, _slabs.label_all(a, connectivity, out, _SLAB_VOXELS,
                                     lambda block, labels: _label_all_into(block, connectivity, labels))
    return out, _label_all_into(a, connectivity, out)


def _label_all_into(a, connectivity, out):
    """Labels every value of ``a`` (C-contiguous) into ``out`` in one call:
    the pieces' values."""
    labels, first, n = _img3d.label_all(a, connectivity, out)
    values = np.empty(n, a.dtype)
    known = min(n, len(first))
    values[:known] = first[:known]
    if n > known:
        # The values of the pieces beyond those the call returned, from their
        # voxels; a stretch at a time, as numpy widens an index array to
        # 8 bytes a voxel.
        table = np.zeros(n + 1, a.dtype)
        labels, a = labels.reshape(-1), a.reshape(-1)
        for i in range(0, a.size, 1 << 22):
            table[labels[i:i + (1 << 22)]] = a[i:i + (1 << 22)]
        values[known:] = table[known + 1:]
    return values


class IntensityStats:
    """Per-label statistics of a grey image, :func:`intensity_stats`; entry
    k - 1 describes label k.

    ``count`` int64 voxel counts; ``sum`` the sums (int64, exact, for an
    integer grey image; float64 for float32); ``mean`` and ``std`` float64,
    the mean and the population standard deviation (NaN for an empty label);
    ``min`` and ``max`` in the grey image's type (0, or NaN for float32, for
    an empty label); ``outside``, the number of voxels whose label lies
    outside 0 ... n, counted nowhere."""

    __slots__ = ("count", "sum", "mean", "std", "min", "max", "outside")

    def __len__(self):
        return len(self.count)

    def __repr__(self):
        return f"<img3d.IntensityStats: {len(self)} labels>"


def _grey_for(grey, shape):
    grey = np.ascontiguousarray(_array(grey))
    if grey.dtype not in _GREY_TYPES:
        raise TypeError(f"grey must be a uint8, int16, uint16 or float32 array, not {grey.dtype}")
    if grey.shape != shape:
        raise ValueError(f"grey must have the shape of the labels, {shape}, not {grey.shape}")
    return grey


def _intensity(grey, count, integer_sum, total, mean, std, minimum, maximum, outside):
    s = IntensityStats()
    s.count, s.mean, s.std, s.outside = count, mean, std, outside
    s.sum = total if grey.dtype.kind == "f" else integer_sum
    s.min, s.max = minimum.astype(grey.dtype), maximum.astype(grey.dtype)
    return s


def intensity_stats(labels, grey, n=None):
    """Count, sum, mean, standard deviation, minimum and maximum of ``grey``
    over each label 1 ... n of ``labels``: an :class:`IntensityStats` whose
    arrays are indexed by label - 1.

    ``labels`` is an int32 or int64 array, 0 the background; ``grey`` an
    array of its shape, uint8, int16, uint16 or float32.  ``n`` defaults to
    the largest label.  The values are those of ``scipy.ndimage.mean``,
    ``standard_deviation``, ``minimum`` and ``maximum`` (``grey, labels,
    index=range(1, n + 1)``), the deviation the population one; a NaN grey
    value makes its label's sum, mean and std NaN.  One pass over the
    voxels, of arrays of any size."""
    labels = np.ascontiguousarray(_array(labels))
    if labels.dtype not in (np.dtype(np.int32), np.dtype(np.int64)):
        raise TypeError(f"labels must be an int32 or int64 array, not {labels.dtype}")
    if labels.ndim != 3:
        raise ValueError(f"labels must be 3-dimensional, indexed [z, y, x]; its shape is {labels.shape}")
    grey = _grey_for(grey, labels.shape)
    if n is None:
        n = max(int(labels.max()), 0) if labels.size else 0
    n = _integer("n", n, 0, INT64_MAX)
    return _intensity(grey, *_img3d.intensity_stats(labels, grey, n))


def edge_smooth(a, value=255, background=0, radius=1):
    """Smooths the surface of every 6-connected object of ``value`` by a
    cubic majority window of side ``2 * radius + 1``, one object at a time:
    a new array of only ``value`` and ``background``.

    Each voxel of an object's bounding box becomes ``value`` when the window
    around it, counting only that object, holds a strict majority of object
    voxels (with background 0; in general when its grey sum reaches
    ``((w**3 + 1) * value) // 2``).  Objects never count in each other's
    windows and never grow beyond their bounding boxes.  ``radius`` is
    0 ... 101 (0 keeps the objects as they are); ``background`` must differ
    from ``value``.  Without any voxel of ``value``, the result is a copy of
    ``a``.  Each extent of ``a`` must be at most :data:`MAX_OBJECT_EXTENT`
    (32768), and ``a`` must fit in one library volume (2^31 - 1 bytes with
    its row tables)."""
    a = _array(a)
    _one_block_only(a, "edge_smooth")
    value = _level(a, "value", value)
    background = _level(a, "background", background)
    if value == background:
        raise ValueError(f"value and background must differ (both are {value})")
    radius = _integer("radius", radius, 0, 101)
    return _img3d.edge_smooth(a, value, background, radius)


# The chain's options, in the tool's spelling ("min-volume"), with their
# value forms, help texts and the values of `img3d segment` and of the demo.
SEGMENT_OPTIONS = tuple(_img3d.option_table())
_JOINED = {"band": ":", "window": ":", "raw": "x", "spacing": ","}


def _option_text(name, value):
    """The tool's text of one option value: numbers in full, pairs and
    triples joined as the tool writes them, flags as ""."""
    if value is True:
        return ""
    if isinstance(value, (tuple, list)) and name in _JOINED:
        return _JOINED[name].join(_option_text(name, v) for v in value)
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, (int, np.integer, np.floating)):
        return repr(value.item() if isinstance(value, np.generic) else value)
    if isinstance(value, str):
        return value
    raise TypeError(f"{name} must be a number, a string or a tuple, not {type(value).__name__}")


def segment_file(input, output=None, *, labels=None, **options):
    """Runs the chain of ``img3d segment`` on a volume file.

    The tool's reader, its threshold, size bounds, smoothing, dilation and
    writer, exactly: the files written are those ``img3d segment INPUT -o
    OUTPUT --labels LABELS`` writes with the same options, and the result is
    its ``--json`` report.

    Parameters
    ----------
    input : str or os.PathLike
        A NIfTI-1 or NIfTI-2 file (``.nii``, ``.nii.gz``) of any integer or
        floating-point type, values in the file's units (raw x slope +
        intercept); or raw 8-bit voxels with ``raw="WxHxD"``.
    output : str or os.PathLike, optional
        The result, objects 255 and the rest 0 (``.nii``, ``.nii.gz`` or
        ``.raw``), with the input's geometry; not written when None.
    labels : str or os.PathLike, optional
        The result's label image (``.nii`` or ``.nii.gz``): object k, the
        k-th in raster order of the objects' first voxels, holds k.
    **options
        The tool's options in Python spelling (``min_volume`` for
        ``--min-volume``): ``threshold`` ("otsu", "two-mode" or a value in
        file units), ``band`` ``(low, high)``, ``window`` ``(low, high)``,
        ``min_volume``, ``max_volume``, ``smooth``, ``fill_holes``,
        ``largest``, ``connectivity``, ``open``, ``close``, ``erode``,
        ``dilate`` (an element 6, 18 or 26, with ``"x2"`` for two
        iterations), ``volume``, ``raw``, ``spacing``;
        :data:`SEGMENT_OPTIONS` lists them all.  Values
        take the tool's text forms too (``band="-100:50"``); None leaves an
        option at the tool's default.

    Returns
    -------
    dict
        The keys of ``img3d segment --json``: ``dimensions``, ``grey``,
        ``threshold``, ``objects``, ``result`` (``objects``, ``voxels``,
        ``removed_after``), ``outputs``, ``milliseconds``, ...

    Raises
    ------
    ValueError
        What the tool refuses with exit status 2, with its message (a
        missing, damaged or unsupported file, a bad option value, an output
        that cannot or must not be written).  Nothing is written then.
    MemoryError
        What the tool reports with exit status 1.
    TypeError
        An unknown option.
    """
    paths = [os.fspath(p) if p is not None else "" for p in (input, output, labels)]
    return json.loads(_img3d.segment_file(paths[0], paths[1], paths[2], _given("segment_file", options)))


def _given(function, options):
    """The options as the tool's names and texts."""
    names = {o["name"].replace("-", "_") for o in SEGMENT_OPTIONS}
    given = []
    for key, value in options.items():
        if key not in names:
            raise TypeError(f"{function}() got an unexpected keyword argument {key!r}")
        if value is None or value is False:
            continue
        name = key.replace("_", "-")
        given.append((name, _option_text(name, value)))
    return given


def check_segment_options(**options):
    """Raises ValueError, with the tool's message, for options that
    :func:`segment_file` would refuse; reads no file."""
    _img3d.check_options(_given("check_segment_options", options))


def _naming_memory_errors(name, function):
    """function, with its MemoryError saying which function ran out."""

    @functools.wraps(function)
    def named(*args, **kwargs):
        try:
            return function(*args, **kwargs)
        except MemoryError as e:
            # One function of the package may call another: the outermost,
            # which the caller called, is the one named.
            text = str(e) or "out of memory"
            for prefix in ("img3d.", name + ": "):
                if text.startswith(prefix) and ": " in text:
                    text = text.split(": ", 1)[1]
            raise MemoryError(f"img3d.{name}: {text}") from None

    return named


for _name in __all__:
    if inspect.isfunction(globals()[_name]):
        globals()[_name] = _naming_memory_errors(_name, globals()[_name])
del _name
