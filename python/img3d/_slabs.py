"""Arrays larger than the library takes in one call, block by block.

A library volume block holds at most 2^31 - 1 bytes with its row tables,
and int32 labels index at most 2^31 - 1 voxels.  A larger array is cut as
``_blocks.slab_chunks`` cuts it: whole z-slabs, or slabs of rows of one
slice where a slice is too large, or pieces of one row.  Every block is
then contiguous in a C-contiguous array, and the blocks follow each other
in raster order: all voxels of a block come before those of the next.

The statistics add up over the blocks.
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
