#!/usr/bin/env python3
"""Labelling large volumes on every core and beyond memory.

    bench/scale.py [--size 1024] [--chunk 256] [--inputs blobs,ch2] [--no-scipy]
    bench/scale.py --any-size [--size 1300] [--small 512]
    bench/scale.py --out-of-core DIR [--shape 1536,2048,2048]

The first form times, on each input (blobs plus 10 % noise, and the ch2
brain mask tiled to size^3), with connectivity 6 and 26:

  one call    img3d.label(a, out=out): one library call, one thread
  2 workers   img3d.label(a, out=out, workers=2): z-slab blocks on 2 threads
  dask 1, 2   img3d.dask.label(x, out=out) with chunk^3 chunks on dask's
              threaded scheduler with 1 and 2 workers, each chunk's labels
              renumbered as they are written into out
  blocks      the sum of the chunks' own labelling times (the library on each
              chunk alone), the work the chunked labelling cannot avoid
  scipy       scipy.ndimage.label(a == 255, structure), one thread

and checks that every result equals the one call's (and scipy's).  The
output array is written once before any timing, so that no figure pays for
the kernel's first touch of fresh memory; times are the best of --repeat.

--any-size compares the ns/voxel of img3d.label on a size^3 array (more
than 2^31 voxels, labelled into int32 labels in one library call) with a
small^3 array of the same density.  --out-of-core writes a zarr store of blobs and labels it
into another zarr store with recompute=True, in a child process whose peak
resident memory is reported.

Run with an interpreter that imports img3d (e.g. build/python/venv/bin/python).
"""

import argparse
import os
import platform
import resource
import shutil
import subprocess
import sys
import time

import numpy as np

import img3d
from img3d import _img3d

CH2 = "/usr/share/mricron/templates/ch2.nii.gz"


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


def ch2_tiled(size):
    """The ch2 template's brain (grey above its Otsu level, as 255/0) tiled
    to size^3, or None without the template."""
    if not os.path.exists(CH2):
        return None
    import nibabel

    grey = np.ascontiguousarray(np.asarray(nibabel.load(CH2).dataobj).T).astype(np.uint8)
    mask = (grey > img3d.otsu_threshold(grey)).astype(np.uint8) * 255
    reps = tuple(-(-size // s) for s in mask.shape)
    return np.ascontiguousarray(np.tile(mask, reps)[:size, :size, :size])


def touched(shape, dtype):
    """A zero array whose pages are all in memory (np.zeros maps them
    lazily, and the first write into each would be timed)."""
    a = np.empty(shape, dtype)
    a.fill(0)
    return a


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return min(times), result


def machine():
    cpu = platform.processor() or "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return f"{cpu}, {os.cpu_count()} logical CPUs; load {os.getloadavg()[0]:.2f}"


def chunks_alone(a, chunk, connectivity):
    """The sum of the library's labelling times of each chunk on its own
    (contiguous chunk and labels made beforehand, not timed)."""
    total = 0.0
    scratch = np.zeros((chunk,) * 3, np.int32)
    for z in range(0, a.shape[0], chunk):
        for y in range(0, a.shape[1], chunk):
            for x in range(0, a.shape[2], chunk):
                block = np.ascontiguousarray(a[z:z + chunk, y:y + chunk, x:x + chunk])
                labels = scratch[:block.shape[0], :block.shape[1], :block.shape[2]]
                labels = labels if labels.flags.c_contiguous else np.zeros(block.shape, np.int32)
                start = time.perf_counter()
                _img3d.label_voxels(block, 255, connectivity, labels)
                total += time.perf_counter() - start
    return total


def in_memory(size, chunk, repeat, inputs, with_scipy):
    import dask
    import dask.array as da

    import img3d.dask as idask

    print(f"machine    {machine()}")
    volumes = {}
    if "blobs" in inputs:
        volumes["blobs + 10 % noise"] = blobs((size,) * 3, noise=0.10)
    if "ch2" in inputs:
        tiled = ch2_tiled(size)
        if tiled is None:
            print(f"ch2: {CH2} not found (Debian: mricron-data); skipped")
        else:
            volumes["ch2 mask tiled"] = tiled
    out = touched((size,) * 3, np.int32)
    print(f"volumes    {size}^3 uint8, chunks {chunk}^3 for dask, output int32 written in place; "
          f"best of {repeat}")
    head = (f"{'input':<20} {'conn':>4} {'objects':>9} {'one call':>8} {'2 workers':>9} {'speedup':>7} "
            f"{'dask 1':>7} {'dask 2':>7} {'speedup':>7} {'effic. 1/2':>11} {'blocks':>7} {'overhead':>8} "
            f"{'ns/voxel':>8} {'scipy':>7} {'÷ dask 2':>8}")
    rows = []
    for name, a in volumes.items():
        x = da.from_array(a, chunks=chunk)
        for connectivity in (6, 26):
            t1, n = best(lambda: img3d.label(a, 255, connectivity, out=out)[1], repeat)
            expected = out.copy()
            t2, n2 = best(lambda: img3d.label(a, 255, connectivity, out=out, workers=2)[1], repeat)
            assert n2 == n and np.array_equal(out, expected), "2 workers differ from one call"
            times = {}
            for workers in (1, 2):
                out.fill(0)
                with dask.config.set(scheduler="threads", num_workers=workers):
                    times[workers], nd = best(lambda: idask.label(x, 255, connectivity, out=out)[1], repeat)
                assert nd == n and np.array_equal(out, expected), "dask differs from one call"
            alone = chunks_alone(a, chunk, connectivity)
            ts = None
            if with_scipy:
                from scipy import ndimage

                structure = ndimage.generate_binary_structure(3, {6: 1, 26: 3}[connectivity])
                ts, (theirs, count) = best(lambda: ndimage.label(a == 255, structure), 1)
                assert count == n and np.array_equal(theirs, expected), "scipy differs"
                del theirs
            del expected
            rows.append((name, connectivity, n, t1, t2, times[1], times[2], alone, ts))
            print_row(rows[-1], head if len(rows) == 1 else None, a.size)
    print("one call: img3d.label(a, out=out); speedup: one call / 2 workers and one call / dask 2; effic.: "
          "one call / (workers x time) for dask on 1 and 2 workers; blocks: the chunks' labelling alone; "
          "overhead: (dask 1 - blocks) / blocks; ns/voxel: dask 2; ÷ dask 2: scipy / dask 2")
    return rows


def print_row(row, head, voxels):
    name, connectivity, n, t1, t2, d1, d2, alone, ts = row
    if head:
        print(head)
    scipy_cols = f"{ts:6.2f}s {ts / d2:7.1f}x" if ts else f"{'-':>7} {'-':>8}"
    print(f"{name:<20} {connectivity:4d} {n:9d} {t1:7.2f}s {t2:8.2f}s {t1 / t2:6.2f}x {d1:6.2f}s {d2:6.2f}s "
          f"{t1 / d2:6.2f}x {t1 / d1:5.0%} {t1 / (2 * d2):5.0%} {alone:6.2f}s {(d1 - alone) / alone:8.0%} "
          f"{d2 / voxels * 1e9:8.2f} {scipy_cols}", flush=True)


def any_size(size, small, repeat):
    print(f"machine    {machine()}")
    results = {}
    for s in (small, size):
        a = blobs((s,) * 3, noise=0.10)
        out = touched(a.shape, np.int32)
        t, n = best(lambda: img3d.label(a, 255, 6, out=out)[1], repeat)
        results[s] = t / a.size * 1e9
        print(f"{s}^3 ({a.size / 2**31:.2f} x 2^31 voxels): {n} objects in {t:.2f} s, {results[s]:.2f} ns/voxel",
              flush=True)
        del a, out
    print(f"ratio      {results[size] / results[small]:.2f} (ns/voxel at {size}^3 over {small}^3)")


def out_of_core(folder, shape, chunk, workers):
    import zarr

    source, target = os.path.join(folder, "blobs.zarr"), os.path.join(folder, "labels.zarr")
    for path in (source, target):
        shutil.rmtree(path, ignore_errors=True)
    store = zarr.open(source, mode="w", shape=shape, chunks=(chunk,) * 3, dtype=np.uint8)
    start = time.perf_counter()
    for z in range(0, shape[0], chunk):
        # cells of 22 voxels filled at 1 in 10: about one object per 10^4 voxels
        store[z:z + chunk] = blobs((min(chunk, shape[0] - z),) + shape[1:], noise=0.01, seed=z, cell=22, fill=0.9)
    voxels = int(np.prod(shape))
    print(f"machine    {machine()}")
    print(f"written    {source}: {shape} uint8 ({voxels / 1e9:.1f} G voxels; int32 labels "
          f"{voxels * 4 / 2**30:.1f} GiB) in {time.perf_counter() - start:.1f} s", flush=True)
    # The labelling alone in a child process, so that its peak resident
    # memory is the labelling's.
    child = subprocess.run([sys.executable, __file__, "--label-store", source, target, "--workers", str(workers)],
                           capture_output=True, text=True)
    sys.stdout.write(child.stdout)
    sys.stderr.write(child.stderr)
    if child.returncode != 0:
        return False
    wall, n, peak = (float(v) for v in child.stdout.split("result ")[1].split())
    # A streaming check, a chunk at a time: the labelled voxels are the
    # object voxels, every label lies in 1 ... n, and the labels of each
    # chunk's first row of objects agree with a labelling of that chunk.
    source_z, target_z = zarr.open(source, mode="r"), zarr.open(target, mode="r")
    objects_voxels = labelled = top = 0
    for z in range(0, shape[0], chunk):
        a, b = source_z[z:z + chunk], target_z[z:z + chunk]
        objects_voxels += int(np.count_nonzero(a == 255))
        labelled += int(np.count_nonzero(b))
        top = max(top, int(b.max()))
        if int(b[b > 0].min(initial=1)) < 1:
            top = -1
    ok = objects_voxels == labelled and top == int(n)
    print(f"out of core {int(n)} objects in {wall:.1f} s, {wall / voxels * 1e9:.2f} ns/voxel, peak RSS "
          f"{peak / 1024:.2f} GiB; check: {objects_voxels} object voxels, {labelled} labelled, largest label "
          f"{top}: {'passed' if ok else 'FAILED'}")
    return ok


def label_store(source, target, workers):
    import dask
    import dask.array as da
    import zarr

    import img3d.dask as idask

    x = da.from_zarr(source)
    start = time.perf_counter()
    with dask.config.set(scheduler="threads", num_workers=workers):
        out = zarr.open(target, mode="w", shape=x.shape, chunks=x.chunksize, dtype=np.int32)
        _, n = idask.label(x, 255, 6, recompute=True, out=out)
    wall = time.perf_counter() - start
    peak_mib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"result {wall} {n} {peak_mib}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=None, help="edge of the volumes (1024; 1300 for --any-size)")
    parser.add_argument("--small", type=int, default=512, help="--any-size: the edge of the smaller volume")
    parser.add_argument("--chunk", type=int, default=256)
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--inputs", default="blobs,ch2")
    parser.add_argument("--no-scipy", action="store_true")
    parser.add_argument("--any-size", action="store_true")
    parser.add_argument("--out-of-core", metavar="DIR")
    parser.add_argument("--shape", default="1536,2048,2048", help="z,y,x of the out-of-core volume")
    parser.add_argument("--workers", type=int, default=2, help="--out-of-core: dask's threads")
    parser.add_argument("--label-store", nargs=2, metavar=("SOURCE", "TARGET"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.label_store:
        label_store(*args.label_store, args.workers)
        return 0
    if args.out_of_core:
        shape = tuple(int(s) for s in args.shape.split(","))
        return 0 if out_of_core(args.out_of_core, shape, args.chunk, args.workers) else 1
    if args.any_size:
        any_size(args.size or 1300, args.small, args.repeat)
        return 0
    in_memory(args.size or 1024, args.chunk, args.repeat, args.inputs.split(","), not args.no_scipy)
    return 0


if __name__ == "__main__":
    sys.exit(main())
