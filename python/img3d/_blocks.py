"""Labelling a volume block by block.

Each block is labelled on its own by the library; its pieces (its local
objects) are then joined across the blocks' faces, edges and corners by a
union-find over the pairs of pieces that touch, and every object is numbered
by the raster order of its first voxel, as the whole volume's labelling
numbers it.  The work is split into functions of plain numpy data, run by an
executor: threads for arrays in memory (img3d.label), dask tasks for dask
arrays (img3d.dask).  The driver holds only what lies on the blocks' faces;
per-piece tables stay with their blocks.

A piece is named by an int64 id, ``block << 32 | local label``.  Within a
block the library numbers pieces by their first voxel, and global raster
order compares two voxels of one block as local raster order does, so the
local label orders the pieces of a block.  Between blocks, pieces are ordered
by the global row ``z * height + y`` of their first voxel, then by the
block's x index: two pieces whose first voxels share a row lie in blocks
ordered along x.  A block's labelling tells how many pieces each of its rows
begins, which gives every piece its row.  When the blocks are whole z-slabs
(one block along y and x) the block index alone orders them, and no rows are
needed.
"""

import collections
import concurrent.futures
import itertools

import numpy as np

SHIFT = 32
LOCAL = (1 << SHIFT) - 1

Summary = collections.namedtuple("Summary", "n planes ends sizes")
Summary.__doc__ = """A block's labelling as the merge needs it: its piece count, its six
boundary planes of local labels (first and last along z, y, x), for each of
its rows (z * height + y, local) the number of pieces begun up to its end
(int64; None for z-slab grids) and, where objects are sized, the voxel count
per piece."""


class Grid:
    """Blocks of a volume, as dask's chunks describe them: three tuples of
    block extents along z, y and x."""

    def __init__(self, chunks):
        self.chunks = tuple(tuple(int(c) for c in axis) for axis in chunks)
        self.edges = tuple(np.concatenate([[0], np.cumsum(axis, dtype=np.int64)]).tolist()
                           for axis in self.chunks)
        self.numblocks = tuple(len(axis) for axis in self.chunks)
        self.shape = tuple(e[-1] for e in self.edges)
        # Whole z-slabs are ordered by their index: no row keys needed.
        self.keyed = self.numblocks[1] * self.numblocks[2] > 1

    def __dask_tokenize__(self):
        return ("img3d-grid", self.chunks)

    def __iter__(self):
        return itertools.product(*(range(n) for n in self.numblocks))

    def __len__(self):
        return self.numblocks[0] * self.numblocks[1] * self.numblocks[2]

    def index(self, ijk):
        i, j, k = ijk
        return (i * self.numblocks[1] + j) * self.numblocks[2] + k

    def ijk(self, index):
        rest, k = divmod(index, self.numblocks[2])
        i, j = divmod(rest, self.numblocks[1])
        return i, j, k

    def contains(self, ijk):
        return all(0 <= i < n for i, n in zip(ijk, self.numblocks))

    def origin(self, ijk):
        return tuple(e[i] for e, i in zip(self.edges, ijk))

    def extent(self, ijk):
        return tuple(c[i] for c, i in zip(self.chunks, ijk))

    def slices(self, ijk):
        return tuple(slice(e[i], e[i + 1]) for e, i in zip(self.edges, ijk))


def slab_chunks(shape, voxels):
    """Chunks of at most ``voxels`` voxels (at least one voxel each): whole
    z-slabs where a slice fits, else slabs of rows, else pieces of rows."""
    depth, height, width = shape
    if height * width <= voxels:
        return split(depth, max(1, voxels // (height * width))), (height,), (width,)
    if width <= voxels:
        return split(depth, 1), split(height, max(1, voxels // width)), (width,)
    return split(depth, 1), split(height, 1), split(width, voxels)


def split(n, step):
    """n cut into the fewest parts of at most step, as equal as they can be:
    the library labels a block faster per voxel the smaller it is."""
    parts = -(-n // step)
    small, extra = divmod(n, parts)
    return tuple(small + (i < extra) for i in range(parts))


def summarise(grid, ijk, labels, n, sizes=None, starts=None):
    """A block's Summary; ``starts``, the pieces each row begins as the
    library counts them, where the labelling gave them (else counted from
    the labels, for grids that need them)."""
    planes = tuple(np.array(p) for p in (labels[0], labels[-1], labels[:, 0], labels[:, -1],
                                         labels[:, :, 0], labels[:, :, -1]))
    ends = None
    if grid.keyed:
        if starts is None:
            # Labels appear in raster order, so the running maximum over rows
            # counts the pieces begun up to each row.
            ends = np.maximum.accumulate(labels.max(axis=2).ravel()).astype(np.int64)
        else:
            ends = np.cumsum(starts)
    return Summary(n, planes, ends, sizes)


def summarise_runs(grid, ijk, runs, dtype, starts=None):
    """The Summary of a block held as runs (``_img3d.label_runs``, with
    ``starts`` where the grid needs them), its face planes written from
    the runs in ``dtype``: those that face another block (the others are
    never read, and left 0)."""
    d, h, w = grid.extent(ijk)

    def plane(axis, last):
        shape, origin = [d, h, w], [0, 0, 0]
        shape[axis] = 1
        origin[axis] = (d, h, w)[axis] - 1 if last else 0
        if not (ijk[axis] + 1 < grid.numblocks[axis] if last else ijk[axis] > 0):
            return np.zeros(shape, dtype).squeeze(axis)
        p = np.empty(shape, dtype)
        runs.write(p, tuple(origin))
        return p.squeeze(axis)

    planes = tuple(plane(axis, last) for axis in range(3) for last in (False, True))
    return Summary(runs.n, planes, np.cumsum(starts) if grid.keyed else None, None)


def rows_of(summary, local):
    """The local rows (z * height + y) of the first voxels of a block's
    pieces, by local label."""
    return np.searchsorted(summary.ends, local, side="left")


def majors(grid, ijk, summary, local):
    """The order keys' major part of a block's pieces, by local label: the
    global row of the first voxel, times the blocks along x, plus the
    block's x index."""
    _, height, _ = grid.extent(ijk)
    z0, y0, _ = grid.origin(ijk)
    z, y = np.divmod(rows_of(summary, local).astype(np.int64), height)
    return ((z0 + z) * grid.shape[1] + y0 + y) * grid.numblocks[2] + ijk[2]


def _ids(plane, b):
    """The pieces' ids of a plane of int32 or int64 local labels of block b
    (0 stays 0)."""
    from . import _img3d

    return _img3d.piece_ids(plane, b)


def neighbours(grid, ijk):
    """The blocks a block's contacts task reads: itself, the nine beyond its
    last z face, the three beyond its last y face within its z range, and
    the one beyond its last x face."""
    i, j, k = ijk
    near = [(i + 1, j + dj, k + dk) for dj in (-1, 0, 1) for dk in (-1, 0, 1)]
    near += [(i, j + 1, k + dk) for dk in (-1, 0, 1)] + [(i, j, k + 1)]
    return [ijk] + [n for n in near if grid.contains(n)]


def contacts(grid, ijk, blocks, connectivity):
    """The pairs of touching pieces between a block and the blocks beyond
    its last faces: ``(pairs, ids, majors, sizes)``, the pairs an (m, 2)
    array of piece ids, then each piece of a pair with its order key's major
    part and its voxel count (None where not summarised).

    Every contact between two blocks is found once: one across z by the
    lower block (its plane beyond, widened by a voxel along y and x, meets
    the diagonal neighbours), one within a z-slab across y by the lower
    block (widened along x), one within a row of blocks by the left one."""
    summaries = dict(zip(neighbours(grid, ijk), blocks))
    own = summaries[ijk]
    b = grid.index(ijk)
    origin, extent = grid.origin(ijk), grid.extent(ijk)
    from . import _img3d

    found = []
    for axis in range(3):
        beyond = list(ijk)
        beyond[axis] += 1
        if beyond[axis] >= grid.numblocks[axis]:
            continue
        # The plane beyond this face, over the block's extent along the two
        # other axes, widened by one voxel along those that may cross blocks.
        others = [a for a in range(3) if a != axis]
        widen = [0 if (axis > 0 and o == 0) or (axis == 2 and o == 1) else 1 for o in others]
        low = [max(0, origin[o] - w) for o, w in zip(others, widen)]
        high = [min(grid.shape[o], origin[o] + extent[o] + w) for o, w in zip(others, widen)]
        plane = np.zeros((high[0] - low[0], high[1] - low[1]), np.int64)
        for n, s in summaries.items():
            if n[axis] != beyond[axis] or any(n[o] != ijk[o] for o, w in zip(others, widen) if not w):
                continue
            n_origin, n_extent = grid.origin(n), grid.extent(n)
            r = [(max(low[t], n_origin[o]), min(high[t], n_origin[o] + n_extent[o])) for t, o in enumerate(others)]
            if r[0][0] >= r[0][1] or r[1][0] >= r[1][1]:
                continue
            piece = s.planes[2 * axis][r[0][0] - n_origin[others[0]]:r[0][1] - n_origin[others[0]],
                                       r[1][0] - n_origin[others[1]]:r[1][1] - n_origin[others[1]]]
            plane[r[0][0] - low[0]:r[0][1] - low[0], r[1][0] - low[1]:r[1][1] - low[1]] = _ids(piece, grid.index(n))
        found.append(_img3d.face_pairs(_ids(own.planes[2 * axis + 1], b), plane, low[0] - origin[others[0]],
                                       low[1] - origin[others[1]], connectivity))
    pairs = np.concatenate(found) if found else np.zeros((0, 2), np.int64)
    ids = np.unique(pairs)
    by_block = {grid.index(n): s for n, s in summaries.items()}
    keys = ids >> SHIFT
    sizes = np.zeros(len(ids), np.int64) if own.sizes is not None else None
    for q in np.unique(ids >> SHIFT).tolist():
        mine = (ids >> SHIFT) == q
        local = ids[mine] & LOCAL
        if grid.keyed:
            keys[mine] = majors(grid, grid.ijk(q), by_block[q], local)
        if sizes is not None:
            sizes[mine] = by_block[q].sizes[local - 1]
    return pairs, ids, keys, sizes


def components(pairs, count):
    """The root of each of count nodes joined by pairs of node indices: the
    smallest index of its component (a union-find in the binding)."""
    from . import _img3d

    return _img3d.components(np.asarray(pairs, np.int64).reshape(-1, 2), count)


class Joined:
    """The face pieces joined into objects: for each block, the local labels
    of its pieces that are not their object's first piece (its owner) and
    the owners' ids; and each face piece's object size where sized."""

    def __init__(self, found):
        found = list(found)
        pairs = np.concatenate([f[0] for f in found]) if found else np.zeros((0, 2), np.int64)
        ids = np.concatenate([f[1] for f in found]) if found else np.zeros(0, np.int64)
        majors = np.concatenate([f[2] for f in found]) if found else np.zeros(0, np.int64)
        self.nodes, where = np.unique(ids, return_index=True)
        majors = majors[where]
        root = components(np.searchsorted(self.nodes, pairs), len(self.nodes))
        # The owner of a component is its piece of smallest key.
        order = np.lexsort((self.nodes & LOCAL, majors, root))
        starts = np.ones(len(order), bool)
        starts[1:] = root[order][1:] != root[order][:-1]
        owner_of_root = np.empty(len(self.nodes), np.int64)
        owner_of_root[root[order][starts]] = self.nodes[order][starts]
        self.owner = owner_of_root[root]
        self.sizes = None
        if found and found[0][3] is not None:
            sizes = np.concatenate([f[3] for f in found])[where]
            self.sizes = np.bincount(root, weights=sizes, minlength=len(self.nodes)).astype(np.int64)[root]
        # Nodes are sorted by id, so by block: each block's run of them.
        others = self.owner != self.nodes
        blocks = self.nodes[others] >> SHIFT
        bounds = np.flatnonzero(np.diff(blocks)) + 1
        self.others = {int(b[0]): (l & LOCAL, o) for b, l, o in
                       zip(np.split(blocks, bounds), np.split(self.nodes[others], bounds),
                           np.split(self.owner[others], bounds)) if len(b)}

    def of(self, b):
        """(local labels, owner ids) of block b's pieces owned elsewhere."""
        empty = np.zeros(0, np.int64)
        return self.others.get(b, (empty, empty))

    def face_sizes(self, b):
        """(local labels, object sizes) of block b's face pieces."""
        if self.sizes is None:
            return np.zeros(0, np.int64), np.zeros(0, np.int64)
        mine = (self.nodes >> SHIFT) == b
        return self.nodes[mine] & LOCAL, self.sizes[mine]


def _ranks(n, others, base, dtype=np.int64, ends=None, out=None):
    """The global labels of a block's pieces that own their object, by local
    label (0 for the background and the pieces in ``others``, sorted local
    labels of pieces owned elsewhere): ``base`` plus the piece's place among
    the owners, counted from 1, in ``dtype`` (a value beyond it wraps; the
    caller refuses such counts), written into ``out`` (n + 1 entries) when
    given.  With ``ends`` (the pieces begun up to the end of each row),
    ``base`` is per row.  One pass in the binding: numpy's masks and repeats
    cost several times as much on blocks of a million pieces."""
    from . import _img3d

    if out is None:
        out = np.empty(n + 1, dtype)
    return _img3d.block_ranks(n, others, np.atleast_1d(base), ends, out)


def _slab_tables(blocks, dtype):
    """Room for the tables of one slab's blocks, views of one array: fresh
    memory is faulted in a page at a time, and an array of several
    megabytes takes huge pages."""
    sizes = [s.n + 1 for s in blocks]
    room = np.empty(sum(sizes), dtype)
    edges = np.cumsum([0] + sizes)
    return [room[a:b] for a, b in zip(edges[:-1], edges[1:])]


def slab_ranks(grid, slab, blocks, owned_elsewhere, offset, dtype=np.int64):
    """The global labels of the pieces of one z-slab of blocks that own their
    object: for each block a table of ``dtype`` indexed by local label, 0 for
    the background and for pieces owned elsewhere.  slab: the blocks' (i, j,
    k); offset: the objects of the slabs before."""
    offset = int(offset)
    if not grid.keyed:
        return [_ranks(s.n, others, offset, dtype, out=room)
                for s, others, room in zip(blocks, owned_elsewhere, _slab_tables(blocks, dtype))]
    # A piece's rank is the owners begun in the slab's earlier rows, plus
    # those begun in its own row by blocks to its left, plus its place among
    # its own block's owners of that row.  Each block's rows lie in one range
    # of y, so the owners each row begins are counted per (z, y, x block).
    depth = grid.extent(slab[0])[0]
    begun = np.zeros((depth, grid.shape[1], grid.numblocks[2]), np.int64)
    owners = []
    for ijk, s, others in zip(slab, blocks, owned_elsewhere):
        height, y0 = grid.extent(ijk)[1], grid.origin(ijk)[1]
        count = np.diff(s.ends, prepend=0)
        if len(others):
            count -= np.bincount(rows_of(s, others), minlength=len(count))
        owners.append(count)
        begun[:, y0:y0 + height, ijk[2]] = count.reshape(depth, height)
    before = (np.cumsum(begun.ravel()) - begun.ravel()).reshape(begun.shape)
    ranks = []
    for ijk, s, others, count, room in zip(slab, blocks, owned_elsewhere, owners, _slab_tables(blocks, dtype)):
        height, y0 = grid.extent(ijk)[1], grid.origin(ijk)[1]
        # A row's first owner follows the owners before the row, less the
        # block's owners of earlier rows, which its place already counts.
        start = before[:, y0:y0 + height, ijk[2]].ravel() - (np.cumsum(count) - count) + offset
        ranks.append(_ranks(s.n, others, start, dtype, s.ends, room))
    return ranks


def pick(ranks, position, labels):
    return ranks[position][labels]


def table(ranks, position, others, owner_labels, dtype):
    """A block's relabelling table: its ranks, with the labels of the pieces
    owned elsewhere filled in place (every pick from the ranks is done)."""
    t = ranks[position]
    t[others] = owner_labels
    return t if t.dtype == dtype else t.astype(dtype)


def piece_stats(grid, ijk, stats, table):
    """A block's pieces' statistics (those of the library's objects on the
    block) in global coordinates, with their global labels:
    (labels, voxels, bbox, coordinate sums, first voxel's raster index)."""
    counts, bbox, centroid, first = stats
    origin = np.array(grid.origin(ijk), np.int64)
    # The library's centroid is sum / count in double; a block's local
    # coordinate sums stay far below 2^51, so the product rounds back to the
    # exact integer sum.
    sums = np.rint(centroid * counts[:, None]).astype(np.int64) + counts[:, None] * origin
    bbox = bbox.astype(np.int64) + np.concatenate([origin, origin])
    first = first.astype(np.int64) + origin
    raster = (first[:, 0] * grid.shape[1] + first[:, 1]) * grid.shape[2] + first[:, 2]
    return table[1:], counts, bbox, sums, raster


def combine_stats(n, shape, parts):
    """The objects' (voxels, bbox, centroid, first) from the blocks' pieces,
    as img3d.objects gives them on the whole volume."""
    count = np.zeros(n, np.int64)
    low = np.full((n, 3), np.iinfo(np.int64).max)
    high = np.full((n, 3), -1, np.int64)
    sums = np.zeros((n, 3), np.int64)
    first = np.full(n, np.iinfo(np.int64).max)
    for labels, c, bbox, s, raster in parts:
        k = labels - 1
        np.add.at(count, k, c)
        np.minimum.at(low, k, bbox[:, :3])
        np.maximum.at(high, k, bbox[:, 3:])
        np.add.at(sums, k, s)
        np.minimum.at(first, k, raster)
    z, rest = np.divmod(first, shape[1] * shape[2])
    y, x = np.divmod(rest, shape[2])
    bbox = np.concatenate([low, high], axis=1).astype(np.int32)
    centroid = sums.astype(np.float64) / count[:, None].astype(np.float64)
    return count, bbox, centroid, np.stack([z, y, x], axis=1).astype(np.int32)


def rows_contiguous(a):
    """Whether the library can take a 3-D array as it lies: rows
    contiguous, rows and slices one after another in C order."""
    d, h, w = a.shape
    zs, ys, xs = a.strides
    return (w == 1 or xs == a.itemsize) and ys >= w * a.itemsize and zs >= h * ys > 0 and zs % a.itemsize == 0 \
        and ys % a.itemsize == 0


def rows_of_voxels(a):
    """A uint8 or bool array as the library reads voxels: as it lies where
    its rows are contiguous (a block of a larger array), else a copy."""
    if a.dtype == np.bool_:
        a = a.view(np.uint8)
    return a if rows_contiguous(a) else np.ascontiguousarray(a)


class Threads:
    """Runs the merge's steps on arrays in memory, over a pool of threads."""

    def __init__(self, workers):
        self.pool = concurrent.futures.ThreadPoolExecutor(workers) if workers > 1 else None

    def map(self, fn, *iterables):
        if self.pool is None:
            return list(map(fn, *iterables))
        return list(self.pool.map(fn, *iterables))

    def run(self, fn, calls):
        return self.map(lambda args: fn(*args), calls)

    def fetch(self, values):
        return list(values)

    def close(self):
        if self.pool is not None:
            self.pool.shutdown()


def merge(grid, summaries, counts, connectivity, executor, dtype=np.int64):
    """Joins the labelled blocks: ``(tables, n, joined)``, tables the
    per-block relabelling tables (as the executor holds them: values or
    tasks) indexed by local label, n the object count.  summaries: each
    block's Summary, held by the executor, in grid order; counts: their
    piece counts, in the driver."""
    blocks = list(grid)
    where = {ijk: i for i, ijk in enumerate(blocks)}
    found = executor.run(contacts, [(grid, ijk, [summaries[where[n]] for n in neighbours(grid, ijk)], connectivity)
                                    for ijk in blocks])
    joined = Joined(executor.fetch(found))
    slabs = [[ijk for ijk in blocks if ijk[0] == i] for i in range(grid.numblocks[0])]
    offsets, offset = [], 0
    for slab in slabs:
        offsets.append(offset)
        offset += sum(counts[where[ijk]] - len(joined.of(grid.index(ijk))[0]) for ijk in slab)
    n = offset
    ranks = executor.run(slab_ranks, [(grid, slab, [summaries[where[ijk]] for ijk in slab],
                                       [joined.of(grid.index(ijk))[0] for ijk in slab], o, dtype)
                                      for slab, o in zip(slabs, offsets)])
    # The owners' labels, asked of the slabs that hold them.
    owners = np.unique(joined.owner[joined.owner != joined.nodes])
    asked = []
    for i, slab in enumerate(slabs):
        for p, ijk in enumerate(slab):
            mine = owners[(owners >> SHIFT) == grid.index(ijk)]
            if len(mine):
                asked.append((i, p, mine))
    answers = executor.fetch(executor.run(pick, [(ranks[i], p, mine & LOCAL) for i, p, mine in asked]))
    # asked runs in block order, so its answers line up with the sorted owners.
    labels = np.concatenate(answers) if answers else np.zeros(0, np.int64)
    calls = []
    for i, slab in enumerate(slabs):
        for p, ijk in enumerate(slab):
            others, owner = joined.of(grid.index(ijk))
            calls.append((ranks[i], p, others, labels[np.searchsorted(owners, owner)], dtype))
    return executor.run(table, calls), n, joined
