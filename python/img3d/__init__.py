"""img3d: exact 3D image processing of 8-bit volumes on numpy arrays.

Volumes are 3D numpy arrays indexed ``[z, y, x]``, x fastest in memory (the
convention of numpy and scikit-image).  Grey volumes are ``uint8``.  Where an
object value is expected, a ``bool`` mask is accepted too: ``True`` is the
object, and ``value`` (default 255) then says which voxels are the objects:
``True`` (or 1, or 255) the True voxels, ``False`` (or 0) the False ones.

A nibabel image is indexed ``[x, y, z]``; when its file stores x fastest
(every NIfTI file does), ``np.asarray(img.dataobj).T`` is the ``[z, y, x]``
array, a view without a copy, and ``nibabel.Nifti1Image(result.T, img.affine,
img.header)`` writes a result back with the input's geometry.

Inputs are never modified.  Results are new C-contiguous arrays.  The arrays
that img3d returns (and those made by :func:`zeros`) live in the library's own
volume blocks and are used in place when passed back; any other array is
copied once into such a block (non-contiguous and Fortran-ordered arrays
included), except by :func:`label` and :func:`objects`, which read the array's
memory directly when it is C-contiguous.

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
    "MAX_OBJECT_EXTENT", "Objects", "check_segment_options", "dilate", "edge_smooth", "histogram", "label",
    "limits", "mean", "objects", "otsu_threshold", "remove_objects", "runs", "segment", "segment_file",
    "two_mode_threshold", "zeros",
]

__version__ = _img3d.version

INT32_MAX = 2**31 - 1

#: The largest extent along any axis of an array whose objects can be taken
#: as run-length records (:func:`runs`, :func:`remove_objects`,
#: :func:`edge_smooth`): 32768, as records hold coordinates in 16 bits.
#: :func:`label` and :func:`objects` take any extent.
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


# ---- statistics and thresholds ---------------------------------------------

def histogram(a):
    """The voxel count of each grey value: an int64 array of 256 counts that
    sum to the voxel count of ``a`` (uint8)."""
    return _img3d.histogram(_array(a))


def mean(a):
    """The mean grey value of ``a`` (uint8), rounded down: the exact sum
    divided by the voxel count, truncated."""
    return _img3d.mean(_array(a))


def limits(a):
    """``(minimum, maximum)``: the smallest and the largest grey value of
    ``a`` (uint8)."""
    return _img3d.limits(_array(a))


def otsu_threshold(a):
    """Otsu's threshold of ``a`` (uint8): the level t, 0 ... 255, whose split
    into a lower class 0 ... t and an upper class t + 1 ... 255 has the largest
    between-class variance.  The objects are ``a > t``, i.e.
    ``segment(a, t + 1)``.  Computed in IEEE double in a fixed order, so every
    build gives the same level; ties go to the highest level, so a volume of
    one grey value gives 255, and a best split within a run of empty levels
    gives the level just below the next occupied one."""
    return _img3d.otsu_threshold(_array(a))


def two_mode_threshold(a):
    """The valley between the two highest modes of the histogram of ``a``
    (uint8): a level 1 ... 254, or 0 when the smoothed histogram has no level
    with a higher one on each side (a single mode).  The level suits
    ``segment(a, t + 1)`` as Otsu's does.  Integer arithmetic only."""
    return _img3d.two_mode_threshold(_array(a))


def segment(a, low, high=255, object=255, background=0):
    """Binarises ``a`` (uint8) by a band: a new uint8 array holding ``object``
    where ``low <= a <= high`` and ``background`` elsewhere.

    ``low`` and ``high`` are compared with the voxels as integers, so any
    integers are meaningful: ``low <= 0`` with ``high >= 255`` selects every
    voxel, ``low > high`` none.  ``object`` and ``background`` are grey values
    (0 ... 255) and must differ."""
    a = _array(a)
    low = _integer("low", low)
    high = _integer("high", high)
    object = _integer("object", object, 0, 255)
    background = _integer("background", background, 0, 255)
    if object == background:
        raise ValueError(f"object and background must differ (both are {object})")
    return _img3d.segment(a, low, high, object, background)


# ---- objects ------------------------------------------------------------------

def _connectivity(connectivity, allowed):
    connectivity = _integer("connectivity", connectivity)
    if connectivity not in allowed:
        raise ValueError(f"connectivity must be {' or '.join(map(str, allowed))}, not {connectivity}")
    return connectivity


# Arrays above this many voxels are labelled block by block (the library
# labels at most 2^31 - 1 voxels at once).  Tests lower it.
_BLOCK_VOXELS = 2**27


def label(a, value=255, connectivity=6, out=None, dtype=None, workers=1):
    """Labels the objects of the voxels of ``a`` equal to ``value``: returns
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

    Arrays of any size are accepted: one of more than ``2**27`` voxels (or
    any array when ``workers > 1``) is labelled in blocks of whole z-slabs,
    joined across their faces, with the same result.  ``workers`` threads
    label and relabel the blocks (the GIL is released meanwhile).  A
    C-contiguous ``a`` is read in place, without a copy."""
    a = _array(a)
    level = _level(a, "value", value)
    connectivity = _connectivity(connectivity, (6, 18, 26))
    workers = _integer("workers", workers, 1)
    dtype = _label_dtype(out, dtype)
    if a.ndim == 3 and a.size <= _BLOCK_VOXELS and workers == 1 and dtype == np.int32:
        return _img3d.label(a, level, connectivity, out)
    from . import _blocks

    if out is None:
        out = np.empty(a.shape, dtype)
    else:
        _check_out(a, out)
    if a.ndim != 3 or 0 in a.shape:
        return _img3d.label(a, level, connectivity, None)  # the binding words the refusal
    grid = _blocks.Grid(_blocks.slab_chunks(a.shape, _block_voxels(a, workers)))
    # Whole z-slabs of a C-contiguous int32 out are contiguous: the library
    # writes each block's labels in place.
    direct = dtype == np.int32 and not grid.keyed
    blocks = list(grid)
    executor = _blocks.Threads(workers)
    try:
        def first(ijk):
            where = grid.slices(ijk)
            held = out[where] if direct else None
            labels, n = _img3d.label(a[where], level, connectivity, held)
            return labels, _blocks.summarise(grid, ijk, labels, n)

        done = executor.map(first, blocks)
        tables, n, _ = _blocks.merge(grid, [s for _, s in done], [s.n for _, s in done], connectivity,
                                     executor, dtype)
        if n > np.iinfo(dtype).max:
            raise ValueError(f"a has {n} objects, more than dtype={np.dtype(dtype).name} labels hold: "
                             "pass dtype=np.int64")

        def relabel(ijk, labels, t):
            if direct:
                _blocks.relabel(t, labels, labels)
            else:
                out[grid.slices(ijk)] = _blocks.relabel(t, labels)

        executor.map(relabel, blocks, [labels for labels, _ in done], tables)
    finally:
        executor.close()
    return out, n


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
    ``centroid`` (n, 3) float64 ``(z, y, x)``, the mean voxel position;
    ``first`` (n, 3) int32 ``(z, y, x)``, the object's first voxel in raster
    order."""

    __slots__ = ("voxels", "bbox", "centroid", "first")

    def __init__(self, voxels, bbox, centroid, first):
        self.voxels, self.bbox, self.centroid, self.first = voxels, bbox, centroid, first

    def __len__(self):
        return len(self.voxels)

    def __repr__(self):
        return f"<img3d.Objects: {len(self)} objects>"


def objects(a, value=255, connectivity=6, workers=1):
    """Statistics of the objects of the voxels of ``a`` equal to ``value``,
    labelled as :func:`label` labels them: an :class:`Objects` whose arrays
    are indexed by label - 1.  Arrays of any size are accepted, as by
    :func:`label`, with ``workers`` threads."""
    a = _array(a)
    level = _level(a, "value", value)
    connectivity = _connectivity(connectivity, (6, 18, 26))
    workers = _integer("workers", workers, 1)
    if a.ndim != 3 or 0 in a.shape or (a.size <= _BLOCK_VOXELS and workers == 1):
        return Objects(*_img3d.objects(a, level, connectivity))
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
    """The blocks' size: a few blocks per worker."""
    return _BLOCK_VOXELS if workers == 1 else min(_BLOCK_VOXELS, -(-a.size // (4 * workers)))


def runs(a, value=255):
    """The 6-connected objects of the voxels of ``a`` equal to ``value`` as
    run-length records: a list with one ``(n, 4)`` int16 array per object,
    each row a run ``(y, z, x_start, x_end)`` (x_end inclusive) along x.

    Objects are listed in raster order of their first voxel (z, then y, then
    x); each object's first run holds that voxel, the other runs follow in the
    order of the library's scan-line fill (``GetAllRunLength3D``).  ``a`` is
    not modified (the extraction runs on a copy).  Each extent of ``a`` must
    be at most :data:`MAX_OBJECT_EXTENT` (32768)."""
    a = _array(a)
    return _img3d.runs(a, _level(a, "value", value))


def remove_objects(a, value=255, min_volume=1, max_volume=INT32_MAX, paint=0):
    """A copy of ``a`` in which every 6-connected object of ``value`` whose
    voxel count lies outside ``min_volume ... max_volume`` (both kept) is
    painted with ``paint``; every other voxel is as in ``a``.  With
    ``min_volume > max_volume`` every object goes.  ``paint`` must differ
    from ``value``.  Each extent of ``a`` must be at most
    :data:`MAX_OBJECT_EXTENT` (32768)."""
    a = _array(a)
    value = _level(a, "value", value)
    paint = _level(a, "paint", paint)
    if paint == value:
        raise ValueError("paint must differ from value: a removed object could not be told from one that stays")
    return _img3d.remove_objects(a, value, _integer("min_volume", min_volume),
                                 _integer("max_volume", max_volume), paint)


def dilate(a, value=255, background=0, connectivity=6):
    """Dilates the voxels of ``value`` by one voxel: a new array of only
    ``value`` and ``background``.  ``connectivity`` 6 spreads each voxel to
    its 6 face neighbours (the cross), 26 to the whole 3x3x3 cube.

    Only interior voxels spread: a voxel of ``value`` on an outer face of the
    volume is neither kept nor spread, and a volume thinner than 3 along any
    axis gives all ``background``.  Other grey values become background."""
    a = _array(a)
    value = _level(a, "value", value)
    background = _level(a, "background", background)
    if value == background:
        raise ValueError(f"value and background must differ (both are {value})")
    element = 1 if _connectivity(connectivity, (6, 26)) == 6 else 2
    return _img3d.dilate(a, value, background, element)


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
    (32768)."""
    a = _array(a)
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
        ``min_volume``, ``max_volume``, ``smooth``, ``dilate`` (6 or 26),
        ``raw``, ``spacing``; :data:`SEGMENT_OPTIONS` lists them all.  Values
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
