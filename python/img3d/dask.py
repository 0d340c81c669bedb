"""img3d's object operations on dask arrays of any size and chunking.

Each chunk is labelled by the library; the chunks' pieces of objects are
joined across their faces, edges and corners, and the objects numbered by
the raster order of their first voxel, so that every result equals that of
the in-memory function on the whole array (``scipy.ndimage.label``'s
numbering for :func:`label`), whatever the chunks.  No task gathers the
volume: the driver holds what lies on the chunks' faces, the per-object
tables stay with their chunks.

The functions run on dask's current scheduler: the threaded one (the library
releases the GIL, so every core works) or a dask.distributed client.  Each
computes ``x``'s chunks once to join them, and its result computes them again
unless ``x`` is persisted (``x = x.persist()``): persist an ``x`` that is
expensive to compute and fits in memory.
"""

import dask
import dask.array as da
import numpy as np

from . import (_GREY_TYPES, _UNSET, INT32_MAX, INT64_MAX, Objects, _blocks, _connectivity, _img3d, _integer,
               _intensity, _level, _painted)

__all__ = ["label", "objects", "remove_objects"]

class _Voxels:
    """Which voxels of a chunk are the objects: those equal to value, or
    every non-zero one (value None); a uint8 or bool chunk goes to the
    library as it is, any other is compared first."""

    def __init__(self, dtype, value, connectivity):
        self.connectivity = connectivity
        self.direct = dtype in (np.dtype(np.uint8), np.dtype(np.bool_))
        if value is None:
            self.level = None
        elif self.direct:
            self.level = _level(np.zeros(0, dtype), "value", value)
        else:
            self.level = value

    def __dask_tokenize__(self):
        return ("img3d-voxels", self.direct, self.level, self.connectivity)

    def _voxels(self, block):
        """A chunk as the library takes it, and the value of its objects."""
        if self.level is None:
            voxels, level = np.asarray(block) != 0, 1
        elif self.direct:
            voxels, level = np.asarray(block), self.level
        else:
            voxels, level = np.asarray(block) == self.level, 1
        return _blocks.rows_of_voxels(voxels), level

    def label(self, block, dtype=np.int32, rows=False):
        """(labels, n, starts) of a chunk: its local labels of ``dtype`` and,
        with ``rows``, the pieces each of its rows begins (else None)."""
        voxels, level = self._voxels(block)
        labels = np.empty(voxels.shape, dtype)
        starts = np.empty(voxels.shape[0] * voxels.shape[1], np.int64) if rows else None
        return labels, _img3d.label_voxels(voxels, level, self.connectivity, labels, starts), starts

    def runs(self, block, rows=False):
        """(runs, starts) of a chunk: its objects held as runs
        (``_img3d.label_runs``) and, with ``rows``, the pieces each of its
        rows begins (else None)."""
        voxels, level = self._voxels(block)
        starts = np.empty(voxels.shape[0] * voxels.shape[1], np.int64) if rows else None
        return _img3d.label_runs(voxels, level, self.connectivity, starts), starts

    def sizes(self, block, labels, n):
        """The voxel count of each piece of a labelled chunk."""
        counts = np.bincount(labels.reshape(-1), minlength=n + 1)[1:]
        return counts.astype(np.int64)


def _prepare(x, value, connectivity, allowed=(6, 18, 26)):
    x = da.asarray(x)
    if x.ndim != 3:
        raise ValueError(f"x must be 3-dimensional, indexed [z, y, x]; its shape is {x.shape}")
    if 0 in x.shape:
        raise ValueError("x must have at least one voxel along each axis")
    voxels = _Voxels(x.dtype, 255 if value is _UNSET else value, _connectivity(connectivity, allowed))
    return x, voxels, _blocks.Grid(x.chunks)


def _first_pass(grid, ijk, block, voxels, keep, sized, dtype=np.int32):
    labels, n, starts = voxels.label(block, dtype, grid.keyed)
    sizes = voxels.sizes(block, labels, n) if sized else None
    summary = _blocks.summarise(grid, ijk, labels, n, sizes, starts)
    return (labels, summary) if keep else (None, summary)


def _first_pass_runs(grid, ijk, block, voxels, dtype):
    """A chunk's first pass that holds its objects as runs, whose labels are
    written once the chunks are joined: no label array of its own."""
    runs, starts = voxels.runs(block, grid.keyed)
    return runs, _blocks.summarise_runs(grid, ijk, runs, dtype, starts)


def _second(pair):
    return pair[1]


def _first(pair):
    return pair[0]


def _count(summary):
    return summary.n


class _Dask:
    """Runs the merge's steps as dask tasks, on the current scheduler; the
    steps' results stay where the scheduler keeps them (persisted)."""

    def run(self, fn, calls):
        tasks = [dask.delayed(fn, pure=True)(*args) for args in calls]
        return list(dask.persist(*tasks)) if tasks else []

    def fetch(self, tasks):
        return list(dask.compute(*tasks)) if tasks else []


def _join(x, voxels, grid, keep, sized=False, dtype=np.int64, kept=np.int32, held=False):
    """Labels every chunk, joins them: (tables, n, joined, labels,
    summaries), labels the chunks' local labellings (of type ``kept``) where
    kept (else None per chunk), all but n as dask holds them.  With
    ``held``, the chunks' objects are kept as runs instead of labels."""
    blocks = list(grid)
    chunks = x.to_delayed().ravel().tolist()
    if held:
        passes = [dask.delayed(_first_pass_runs, pure=True)(grid, ijk, c, voxels, kept)
                  for ijk, c in zip(blocks, chunks)]
    else:
        passes = [dask.delayed(_first_pass, pure=True)(grid, ijk, c, voxels, keep, sized, kept)
                  for ijk, c in zip(blocks, chunks)]
    passes = dask.persist(*passes)
    summaries = list(dask.persist(*[dask.delayed(_second, pure=True)(p) for p in passes]))
    labels = [dask.delayed(_first, pure=True)(p) for p in passes] if keep else [None] * len(blocks)
    counts = dask.compute(*[dask.delayed(_count, pure=True)(s) for s in summaries])
    executor = _Dask()
    tables, n, joined = _blocks.merge(grid, summaries, counts, voxels.connectivity, executor, dtype)
    return tables, n, joined, labels, summaries


def _assemble(grid, parts, dtype):
    """The dask array of a grid of delayed chunks."""
    it = iter(parts)
    nz, ny, nx = grid.numblocks
    nested = [[[da.from_delayed(next(it), grid.extent((i, j, k)), dtype=dtype) for k in range(nx)]
               for j in range(ny)] for i in range(nz)]
    return da.block(nested)


def _label_again(table, block, voxels):
    return _relabelled(table, voxels.label(block, table.dtype)[0])


def _relabelled(table, labels):
    """table[labels] in a new array, in one pass."""
    out = np.empty(labels.shape, table.dtype)
    _img3d.relabel_into(labels, table, out)
    return out


def _write_runs(out, where, table, runs):
    """Writes a chunk's global labels into out[where], a numpy array, from
    its runs."""
    runs.write(out[where], table=table)


def _write(out, where, table, labels, block=None, voxels=None):
    """Writes a chunk's global labels into out[where]: renumbered as they
    are copied into a numpy out, else renumbered, then stored.  Without
    kept labels, the chunk is labelled again."""
    if labels is None:
        labels = voxels.label(block, table.dtype)[0]
    if isinstance(out, np.ndarray):
        _img3d.relabel_into(labels, table, out[where])
    else:
        out[where] = _relabelled(table, labels)


def _check_found(x, n, value):
    if n == 0 and value is _UNSET and bool((x == 1).any().compute()):
        raise ValueError("x has no voxel of value=255 but holds 1s: pass value=1 for a 0/1 mask, "
                         "or value=None for every non-zero voxel")


def _local_scheduler():
    """Whether dask's current scheduler runs tasks in this process."""
    import dask.local
    import dask.threaded

    return dask.base.get_scheduler() in (dask.threaded.get, dask.local.get_sync, None)


def label(x, value=_UNSET, connectivity=6, dtype=np.int32, recompute=False, out=None):
    """Labels the objects of the voxels of ``x`` (a dask array, or anything
    ``dask.array.asarray`` takes) equal to ``value``: ``(labels, n)``.

    ``labels`` is a dask array of ``x``'s shape and chunks whose value is that
    of ``img3d.label(x.compute(), value, connectivity)[0]``, i.e.
    ``scipy.ndimage.label(x.compute() == value, structure)[0]`` with the
    structure of ``connectivity`` (6, 18 or 26), at any chunking; ``n``, the
    object count, is computed at once (the chunks are computed and joined
    now).  ``value=None`` takes every non-zero voxel; with the default 255,
    an ``x`` without any 255 that holds 1s is refused (ValueError): pass
    ``value=1`` or ``value=None``.  ``x`` of another type than uint8 or bool
    is compared with ``value``.

    ``dtype`` is int32 or int64; a count beyond it is a ValueError naming it.
    The chunks' labellings are kept until ``labels`` is computed and then
    renumbered (write ``labels`` out with ``da.store(labels, target,
    lock=False)`` or ``to_zarr``); with ``recompute=True`` they are not kept,
    and ``labels`` labels each chunk again: for arrays larger than memory.
    Persist an expensive ``x`` first (``x.persist()``): ``labels`` computes
    its chunks again.

    ``out``, an array of ``x``'s shape that takes ``out[region] = chunk``
    (a numpy array, or a zarr array), receives the labels now and is
    returned as ``labels``: for a numpy ``out`` each chunk's objects are
    held as runs (a bit per voxel and a few bytes per run) until the chunks
    are joined, and then its labels are written into ``out`` once, already
    renumbered; any other ``out`` gets each chunk renumbered as it is
    written.  Its type (int32 or int64) is the labels' type.  A numpy ``out``
    needs a scheduler that runs in this process (threads or synchronous); a
    dask.distributed cluster writes into a zarr array."""
    x, voxels, grid = _prepare(x, value, connectivity)
    if out is not None:
        if tuple(out.shape) != tuple(x.shape):
            raise ValueError(f"out must have the shape of x, {x.shape}, not {tuple(out.shape)}")
        dtype = out.dtype
        if isinstance(out, np.ndarray) and not _local_scheduler():
            raise ValueError("out must be a zarr array (or another store the workers can write) on a distributed "
                             "scheduler: a numpy out lives in this process only")
    dtype = np.dtype(dtype)
    if dtype not in (np.dtype(np.int32), np.dtype(np.int64)):
        raise TypeError(f"{'out' if out is not None else 'dtype'} must be int32 or int64, not {dtype}")
    # For a numpy out the chunks' objects are held as runs, and each chunk's
    # labels are written into out once, already renumbered.
    in_place = isinstance(out, np.ndarray) and not recompute
    tables, n, _, labels, _ = _join(x, voxels, grid, keep=not recompute, dtype=dtype, kept=dtype, held=in_place)
    _check_found(x, n, value)
    if n > np.iinfo(dtype).max:
        raise ValueError(f"x has {n} objects, more than dtype={dtype.name} labels hold: pass dtype=np.int64")
    chunks = x.to_delayed().ravel().tolist()
    if in_place:
        # Not pure: a pure task's key would hash the whole of out.
        dask.compute(*[dask.delayed(_write_runs, pure=False)(out, grid.slices(ijk), t, runs)
                       for ijk, t, runs in zip(grid, tables, labels)])
        return out, n
    if out is not None:
        if recompute:
            writes = [dask.delayed(_write, pure=False)(out, grid.slices(ijk), t, None, c, voxels)
                      for ijk, t, c in zip(grid, tables, chunks)]
        else:
            writes = [dask.delayed(_write, pure=False)(out, grid.slices(ijk), t, lab)
                      for ijk, t, lab in zip(grid, tables, labels)]
        dask.compute(*writes)
        return out, n
    if recompute:
        parts = [dask.delayed(_label_again, pure=True)(t, c, voxels) for t, c in zip(tables, chunks)]
    else:
        parts = [dask.delayed(_relabelled, pure=True)(t, lab) for t, lab in zip(tables, labels)]
    return _assemble(grid, parts, dtype), n


def _piece_stats(grid, ijk, block, voxels, table, grey=None):
    arguments = _objects_arguments(block, voxels)
    if grey is None:
        return _blocks.piece_stats(grid, ijk, _img3d.objects(*arguments), table), None
    stats = _img3d.objects(*arguments, np.ascontiguousarray(grey))
    return _blocks.piece_stats(grid, ijk, stats[:4], table), stats[4]


def _intensity_of(n, grey_dtype, parts):
    """The objects' intensity statistics from their pieces': counts, sums,
    minima and maxima added up, and the deviations joined by the pairwise
    formula (each piece's squared deviations about the object's mean are
    its own about its mean plus count x the two means' squared
    difference), which keeps the error near that of one pass."""
    count = np.zeros(n, np.int64)
    integer_sum = np.zeros(n, np.int64)
    total = np.zeros(n)
    low = np.full(n, np.inf)
    high = np.full(n, -np.inf)
    for (labels, *_), (c, isum, fsum, _, _, lo, hi, _) in parts:
        k = labels - 1
        np.add.at(count, k, c)
        np.add.at(integer_sum, k, isum)
        np.add.at(total, k, fsum)
        np.minimum.at(low, k, lo)
        np.maximum.at(high, k, hi)
    floating = np.dtype(grey_dtype).kind == "f"
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = (total if floating else integer_sum.astype(np.float64)) / count
        squares = np.zeros(n)
        for (labels, *_), (c, _, _, m, std, _, _, _) in parts:
            np.add.at(squares, labels - 1, c * std * std + c * (m - mean[labels - 1]) ** 2)
        std = np.sqrt(squares / count)
    empty = count == 0
    low[empty] = high[empty] = np.nan if floating else 0
    return count, integer_sum, total, mean, std, low, high, 0


def _objects_arguments(block, voxels):
    if voxels.level is None:
        return np.asarray(block != 0), 1, voxels.connectivity
    if voxels.direct:
        return np.asarray(block), voxels.level, voxels.connectivity
    return np.asarray(block == voxels.level), 1, voxels.connectivity


def objects(x, value=_UNSET, connectivity=6, grey=None):
    """The :class:`img3d.Objects` table of the objects of ``x`` (a dask
    array) equal to ``value``, labelled as :func:`label` labels them: equal
    to ``img3d.objects(x.compute(), value, connectivity)`` bit for bit
    (centroids from exact integer coordinate sums).  ``value`` as for
    :func:`label`.  ``grey``, a dask array (or anything
    ``dask.array.asarray`` takes) of ``x``'s shape, uint8, int16, uint16 or
    float32, gives ``Objects.intensity`` as ``img3d.objects(..., grey=...)``
    does: counts, integer sums, minima and maxima exact, means and
    deviations joined from the chunks' pieces (within 1e-12 of the
    whole array's).  The table is computed at once."""
    x, voxels, grid = _prepare(x, value, connectivity)
    chunks = [None] * len(grid)
    if grey is not None:
        grey = da.asarray(grey)
        if grey.dtype not in _GREY_TYPES:
            raise TypeError(f"grey must be a uint8, int16, uint16 or float32 array, not {grey.dtype}")
        if grey.shape != x.shape:
            raise ValueError(f"grey must have the shape of x, {x.shape}, not {grey.shape}")
        chunks = grey.rechunk(x.chunks).to_delayed().ravel().tolist()
    tables, n, _, _, _ = _join(x, voxels, grid, keep=False)
    _check_found(x, n, value)
    stats = [dask.delayed(_piece_stats, pure=True)(grid, ijk, c, voxels, t, g)
             for ijk, c, t, g in zip(grid, x.to_delayed().ravel().tolist(), tables, chunks)]
    parts = dask.compute(*stats)
    result = Objects(*_blocks.combine_stats(n, grid.shape, [p for p, _ in parts]))
    if grey is not None:
        intensity = _intensity_of(n, grey.dtype, parts)
        result.intensity = _intensity(np.zeros(0, grey.dtype), *intensity)
    return result


def _removal(summary, face_labels, face_sizes, low, high):
    """Whether each piece (by local label) goes: its object's size, its own
    or, on a face, its whole object's, outside low ... high."""
    sizes = np.concatenate([[0], summary.sizes])
    sizes[face_labels] = face_sizes
    gone = (sizes < low) | (sizes > high)
    gone[0] = False
    return gone


def _paint(gone, labels, block, paint):
    block = np.asarray(block)
    return np.where(gone[labels], np.asarray(paint, block.dtype), block)


def _paint_again(gone, block, voxels, paint):
    return _paint(gone, voxels.label(block)[0], block, paint)


def remove_objects(x, value=_UNSET, min_volume=1, max_volume=INT32_MAX, paint=0, connectivity=6, recompute=False):
    """A dask array equal to ``img3d.remove_objects(x.compute(), value,
    min_volume, max_volume, paint, connectivity)``: every object of ``value``
    (every non-zero voxel for ``value=None``), of connectivity 6, 18 or 26,
    whose voxel count lies outside ``min_volume ... max_volume`` painted with
    ``paint``, every other voxel as in ``x``.  ``value`` as for :func:`label`;
    ``x`` of another type than uint8 or bool is compared with ``value``, and
    ``paint`` is then a value of its type.  The objects' sizes are computed
    at once; ``recompute`` as for :func:`label`."""
    x, voxels, grid = _prepare(x, value, connectivity)
    probe = np.zeros(0, x.dtype)
    if voxels.direct:
        paint = _level(probe, "paint", paint)
    else:
        paint = _painted(probe, None, paint)
    if voxels.level is not None and paint == voxels.level:
        raise ValueError("paint must differ from value: a removed object could not be told from one that stays")
    low = _integer("min_volume", min_volume, -INT64_MAX - 1, INT64_MAX)
    high = _integer("max_volume", max_volume, -INT64_MAX - 1, INT64_MAX)
    _, n, joined, labels, summaries = _join(x, voxels, grid, keep=not recompute, sized=True)
    _check_found(x, n, value)
    gone = [dask.delayed(_removal, pure=True)(s, *joined.face_sizes(grid.index(ijk)), low, high)
            for ijk, s in zip(grid, summaries)]
    chunks = x.to_delayed().ravel().tolist()
    if recompute:
        parts = [dask.delayed(_paint_again, pure=True)(g, c, voxels, paint) for g, c in zip(gone, chunks)]
    else:
        parts = [dask.delayed(_paint, pure=True)(g, lab, c, paint) for g, lab, c in zip(gone, labels, chunks)]
    return _assemble(grid, parts, x.dtype)
