"""Arrays larger than the library takes in one call, block by block.

A library volume block holds at most 2^31 - 1 bytes with its row tables,
and the labelling of every value into int32 labels indexes at most
2^31 - 1 voxels.  A larger array is cut as
``_blocks.slab_chunks`` cuts it: whole z-slabs, or slabs of rows of one
slice where a slice is too large, or pieces of one row.  Every block is
then contiguous in a C-contiguous array, and the blocks follow each other
in raster order: all voxels of a block come before those of the next.

The statistics add up over the blocks.  The labelling of every value
(``label_all``) labels each block on its own and joins the pieces that
touch across the blocks' faces and have one value; as the blocks follow
raster order, a piece id ``block << 32 | local label`` orders the pieces
by their first voxels, so each object is numbered by its smallest id.
"""

import numpy as np

from . import _blocks, _img3d


def blocks(shape, voxels):
    """The blocks of an array of this shape, of at most ``voxels`` voxels
    each (at least one), as index tuples in raster order."""
    grid = _blocks.Grid(_blocks.slab_chunks(shape, voxels))
    return [grid.slices(ijk) for ijk in grid]


def value_range(a, parts):
    """``(minimum, maximum)`` of the finite values of ``a`` over its
    blocks, ``(0, 0)`` when there is none: the window the level map takes
    without one."""
    ranges = [_img3d.grey_range(a[p]) for p in parts]
    finite = [(low, high) for low, high, count in ranges if count > 0]
    if not finite:
        return 0.0, 0.0
    return min(low for low, _ in finite), max(high for _, high in finite)


def label_all(a, connectivity, out, voxels, label_block):
    """Labels the pieces of every value of ``a`` (C-contiguous) into ``out``
    (int32 or int64, C-contiguous) by blocks of at most ``voxels`` voxels:
    the pieces' values.  ``label_block(a, out)`` labels one block in place
    and returns its pieces' values.  A count beyond ``out``'s type is a
    ValueError naming ``dtype``, with ``out`` holding each block's own
    labels."""
    grid = _blocks.Grid(_blocks.slab_chunks(a.shape, voxels))
    order = list(grid)
    values, summaries, found = [], {}, []

    def join(i):
        # The blocks of z-slab i of blocks touch only those of slabs i and
        # i + 1 beyond their last faces; once those are labelled, slab i's
        # contacts are known and its summaries can go.
        slab = [ijk for ijk in summaries if ijk[0] == i]
        for ijk in slab:
            near = [summaries[n] for n in _blocks.neighbours(grid, ijk)]
            pairs = _blocks.contacts(grid, ijk, near, connectivity)[0]
            found.append(pairs[_value_of(pairs[:, 0], values) == _value_of(pairs[:, 1], values)])
        for ijk in slab:
            del summaries[ijk]

    for ijk in order:
        if ijk[0] > 1 and ijk[1:] == (0, 0):
            join(ijk[0] - 2)
        where = grid.slices(ijk)
        values.append(label_block(a[where], out[where]))
        summaries[ijk] = _blocks.summarise(grid, ijk, out[where], len(values[-1]))
    for i in range(max(0, grid.numblocks[0] - 2), grid.numblocks[0]):
        join(i)

    # Each piece joined to an earlier one takes the label of its object's
    # first piece (the smallest id); the others are numbered in order.
    pairs = np.concatenate(found) if found else np.zeros((0, 2), np.int64)
    nodes = np.unique(pairs)
    first = nodes[_blocks.components(np.searchsorted(nodes, pairs), len(nodes))]
    later = first != nodes
    nodes, first = nodes[later], first[later]
    n = sum(len(v) for v in values) - len(nodes)
    if n > np.iinfo(out.dtype).max:
        raise ValueError(f"a has {n} pieces, more than dtype={out.dtype.name} labels hold: pass dtype=np.int64")
    owners = np.unique(first)
    owner_labels = np.zeros(len(owners), np.int64)
    node_blocks, owner_blocks = nodes >> _blocks.SHIFT, owners >> _blocks.SHIFT
    offset, kept = 0, []
    for b, ijk in enumerate(order):
        # The block's pieces owned elsewhere, and the owners it holds.
        lo, hi = np.searchsorted(node_blocks, [b, b + 1])
        others = nodes[lo:hi] & _blocks.LOCAL
        owned = np.ones(len(values[b]) + 1, bool)
        owned[0] = False
        owned[others] = False
        table = _blocks._ranks(len(values[b]), others, offset)
        here = slice(*np.searchsorted(owner_blocks, [b, b + 1]))
        owner_labels[here] = table[owners[here] & _blocks.LOCAL]
        table[others] = owner_labels[np.searchsorted(owners, first[lo:hi])]
        if len(values[b]) and (offset > 0 or hi > lo):
            _img3d.relabel(out[grid.slices(ijk)], table.astype(out.dtype))
        offset += int(owned.sum())
        kept.append(values[b][owned[1:]])
    return np.concatenate(kept) if kept else np.zeros(0, a.dtype)


def _value_of(ids, values):
    """The values of the pieces named by ids."""
    result = np.zeros(len(ids), values[0].dtype) if values else np.zeros(0)
    blocks = ids >> _blocks.SHIFT
    for b in np.unique(blocks).tolist():
        mine = blocks == b
        result[mine] = values[b][(ids[mine] & _blocks.LOCAL) - 1]
    return result
