#!/usr/bin/env python3
"""Labelling large volumes: img3d.label on 1 and 2 workers, img3d.dask.label
on the threaded scheduler, against scipy.ndimage.label; optionally an
out-of-core run from one zarr store into another.

    bench/scale.py [--size 1024] [--chunk 256] [--no-scipy]
    bench/scale.py --out-of-core DIR [--shape 1536,2048,2048]

Run with an interpreter that imports img3d (e.g. build/python/venv/bin/python).
"""

import argparse
import os
import resource
import shutil
import sys
import time

import numpy as np

import img3d
from img3d import _blocks, _img3d


def blobs(shape, noise, seed=1, slab=32, cell=8, fill=0.7):
    """uint8 volume of 255/0: blocky blobs (a coarse random field thresholded)
    plus isolated noise voxels, made a slab at a time."""
    rng = np.random.default_rng(seed)
    a = np.empty(shape, np.uint8)
    coarse = rng.random(tuple(-(-s // cell) for s in shape), dtype=np.float32) > fill
    for z in range(0, shape[0], slab):
        part = a[z:z + slab]
        field = coarse[z // cell:(z + part.shape[0] - 1) // cell + 1]
        field = field.repeat(cell, 0)[z % cell:z % cell + part.shape[0]].repeat(cell, 1).repeat(cell, 2)
        part[...] = np.where(field[:, :shape[1], :shape[2]], 255, 0)
        part[rng.random(part.shape, dtype=np.float32) < noise] = 255
    return a


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return min(times), result


def in_memory(size, chunk, repeat, with_scipy):
    import dask
    import dask.array as da
    import img3d.dask as idask

    a = blobs((size,) * 3, noise=0.10)
    voxels = a.size
    print(f"volume     {size}^3 uint8, blobs + 10 % noise, {np.count_nonzero(a) / voxels:.1%} objects")
    rows = []
    for connectivity in (6, 26):
        t1, (labels, n) = best(lambda: img3d.label(a, 255, connectivity), repeat)
        del labels
        t2, (labels, n2) = best(lambda: img3d.label(a, 255, connectivity, workers=2), repeat)
        # The blocks' labelling alone, as workers=1 labels them.
        grid = _blocks.Grid(_blocks.slab_chunks(a.shape, img3d._BLOCK_VOXELS))
        alone = 0.0
        scratch = np.empty(a.shape, np.int32)
        for ijk in grid:
            where = grid.slices(ijk)
            alone += best(lambda: _img3d.label(a[where], 255, connectivity, scratch[where]), 1)[0]
        del scratch
        out = np.empty(a.shape, np.int32)
        with dask.config.set(scheduler="threads", num_workers=2):
            x = da.from_array(a, chunks=chunk)

            def chunked():
                lab, count = idask.label(x, 255, connectivity)
                da.store(lab, out, lock=False)
                return count

            td, nd = best(chunked, repeat)
        assert n == n2 == nd and np.array_equal(labels, out)
        del out
        ts = None
        if with_scipy:
            from scipy import ndimage
            structure = ndimage.generate_binary_structure(3, {6: 1, 26: 3}[connectivity])
            ts, (theirs, count) = best(lambda: ndimage.label(a == 255, structure), 1)
            assert count == n and np.array_equal(theirs, labels)
            del theirs
        del labels
        rows.append((connectivity, n, t1, t2, td, alone, ts))
    print(f"{'conn':>4} {'objects':>10} {'1 worker':>9} {'2 workers':>9} {'speedup':>7} {'effic.':>6} "
          f"{'dask 2':>7} {'speedup':>7} {'overhead':>8} {'ns/voxel':>8} {'scipy':>7} {'ratio':>6}")
    for connectivity, n, t1, t2, td, alone, ts in rows:
        scipy_cols = f"{ts:7.2f} {ts / t2:5.1f}x" if ts else f"{'-':>7} {'-':>6}"
        print(f"{connectivity:4d} {n:10d} {t1:8.2f}s {t2:8.2f}s {t1 / t2:6.2f}x {t1 / (2 * t2):6.0%} "
              f"{td:6.2f}s {t1 / td:6.2f}x {(t1 - alone) / alone:8.0%} {t2 / voxels * 1e9:8.2f} {scipy_cols}")
    print("times: best of", repeat, "; speedup: over 1 worker; overhead: (1 worker - the blocks' labelling) /"
          " the blocks' labelling; ratio: scipy / 2 workers")


def peak_rss_mib():
    own = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    children = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    return (own + children) / 1024


def out_of_core(folder, shape, chunk):
    import dask
    import dask.array as da
    import zarr
    import img3d.dask as idask

    source, target = os.path.join(folder, "blobs.zarr"), os.path.join(folder, "labels.zarr")
    for path in (source, target):
        shutil.rmtree(path, ignore_errors=True)
    store = zarr.open(source, mode="w", shape=shape, chunks=(chunk,) * 3, dtype=np.uint8)
    start = time.perf_counter()
    for z in range(0, shape[0], chunk):
        # cells of 22 voxels filled at 1 in 10: about one object per 10^4 voxels
        store[z:z + chunk] = blobs((min(chunk, shape[0] - z),) + shape[1:], noise=0.01, seed=z, cell=22, fill=0.9)
    print(f"written    {source}: {shape} uint8 in {time.perf_counter() - start:.1f} s")
    x = da.from_zarr(source)
    with dask.config.set(scheduler="threads", num_workers=2):
        start = time.perf_counter()
        labels, n = idask.label(x, 255, 6, recompute=True)
        labels.to_zarr(target)
        wall = time.perf_counter() - start
    # A streaming check: the labelled voxels are the object voxels, and the
    # largest label is the count.
    written = da.from_zarr(target)
    objects_voxels = int((x == 255).sum().compute())
    labelled = int((written > 0).sum().compute())
    top = int(written.max().compute())
    ok = objects_voxels == labelled and top == n
    voxels = int(np.prod(shape))
    print(f"out of core {n} objects in {wall:.1f} s, {wall / voxels * 1e9:.2f} ns/voxel, peak RSS "
          f"{peak_rss_mib():.0f} MiB; check {'passed' if ok else 'FAILED'}")
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=1024)
    parser.add_argument("--chunk", type=int, default=256)
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--no-scipy", action="store_true")
    parser.add_argument("--out-of-core", metavar="DIR")
    parser.add_argument("--shape", default="1536,2048,2048", help="z,y,x of the out-of-core volume")
    args = parser.parse_args()
    if args.out_of_core:
        return 0 if out_of_core(args.out_of_core, tuple(int(s) for s in args.shape.split(",")), args.chunk) else 1
    in_memory(args.size, args.chunk, args.repeat, not args.no_scipy)
    return 0


if __name__ == "__main__":
    sys.exit(main())
