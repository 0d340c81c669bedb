"""Labels, measures and filters the objects of stored volumes of any size.

    python3 -m img3d.volume label IN OUT [--value V] [--connectivity 6|18|26]
    python3 -m img3d.volume objects IN [--csv] [--value V] [--connectivity C]
    python3 -m img3d.volume remove-objects IN OUT --min-volume N [--max-volume N] [--connectivity C]

IN is a zarr directory store, a multi-page TIFF file or a folder of TIFF
slices (read lazily, a chunk at a time), or a NIfTI file (read into memory);
OUT is a zarr directory store, written under a temporary name beside it and
renamed once complete.  The work runs on dask's threaded scheduler with
``--workers`` threads (every core by default), or on the dask.distributed
scheduler at ``--scheduler ADDR``, in chunks of ``--chunks`` (the store's
own, else 256 voxels along each axis).  A progress bar shows on a terminal.

Exit status: 0 done, 1 out of memory, 2 bad input or arguments.
"""

import argparse
import contextlib
import csv
import glob
import os
import shutil
import sys
import uuid

import numpy as np

from . import _temporaries
from . import dask as idask

DEFAULT_CHUNK = 256


class BadInput(Exception):
    pass


def _chunks(text):
    try:
        sizes = [int(s) for s in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"--chunks must be N or Z,Y,X, not {text!r}") from None
    if len(sizes) not in (1, 3) or min(sizes) < 1:
        raise argparse.ArgumentTypeError(f"--chunks must be N or Z,Y,X of positive sizes, not {text!r}")
    return tuple(sizes * 3 if len(sizes) == 1 else sizes)


def read(path, chunks=None):
    """The volume at path as a [z, y, x] dask array."""
    import dask.array as da

    if not os.path.exists(path):
        raise BadInput(f"{path}: No such file or directory")
    if os.path.isdir(path) and not glob.glob(os.path.join(path, "*.tif*")):
        import zarr
        try:
            x = da.from_zarr(zarr.open(path, mode="r"))
        except Exception as e:
            raise BadInput(f"{path}: not a zarr array ({e})") from None
    elif os.path.isdir(path) or path.lower().endswith((".tif", ".tiff")):
        import tifffile
        import zarr
        try:
            if os.path.isdir(path):
                store = tifffile.TiffSequence(sorted(glob.glob(os.path.join(path, "*.tif*")))).aszarr()
            else:
                # Kept open while the volume is read, chunk by chunk.
                store = tifffile.TiffFile(path).aszarr()
            x = da.from_zarr(zarr.open(store, mode="r"))
        except Exception as e:
            raise BadInput(f"{path}: not a readable TIFF volume ({e})") from None
    elif path.endswith((".nii", ".nii.gz")):
        import nibabel
        try:
            image = nibabel.load(path)
            a = np.asarray(image.dataobj)
        except Exception as e:
            raise BadInput(f"{path}: not a readable NIfTI file ({e})") from None
        if a.ndim > 3 and all(s == 1 for s in a.shape[3:]):
            a = a.reshape(a.shape[:3])
        a = a.T  # nibabel's [x, y, z] -> [z, y, x]
        x = da.from_array(np.ascontiguousarray(a), chunks=chunks or DEFAULT_CHUNK)
    else:
        raise BadInput(f"{path}: not a zarr store, TIFF or NIfTI file")
    if x.ndim != 3:
        raise BadInput(f"{path}: not a 3D volume: shape {x.shape}")
    return x.rechunk(chunks) if chunks else x


def write(x, path, client=None):
    """Writes x to a zarr store at path, under a temporary name renamed once
    complete; regular chunks, as zarr stores them.  On a dask.distributed
    client the writing is a future, whose progress shows on a terminal."""
    path = os.path.abspath(path)
    folder, name = os.path.split(path)
    if not os.path.isdir(folder):
        raise BadInput(f"{folder}: No such directory")
    # Temporaries of killed runs beside this output go first; a live run's
    # are held under flock and stay.
    prefix = f".{name}{_temporaries.TEMPORARY}"
    _temporaries.remove_free(folder, lambda entry: entry.startswith(prefix))
    partial = os.path.join(folder, f"{prefix}{uuid.uuid4().hex}")
    regular = tuple(max(c) for c in x.chunks)
    if any(len(set(c[:-1])) > 1 or c[-1] > c[0] for c in x.chunks):
        x = x.rechunk(regular)
    fd = _temporaries.locked_folder(partial)
    try:
        stored = x.to_zarr(partial, compute=False, overwrite=True)
        if client is None:
            stored.compute()
        else:
            future = client.compute(stored)
            if sys.stderr.isatty():
                from dask.distributed import progress
                progress(future)
            future.result()
        if os.path.isdir(path):
            shutil.rmtree(path)
        os.replace(partial, path)
    finally:
        shutil.rmtree(partial, ignore_errors=True)
        os.close(fd)


def _value(text):
    return None if text.lower() == "none" else int(text)


def arguments(argv):
    parser = argparse.ArgumentParser(prog="python3 -m img3d.volume", description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)

    def command(name, output, help):
        p = commands.add_parser(name, help=help)
        p.add_argument("input", help="zarr store, TIFF file or folder, NIfTI file")
        if output:
            p.add_argument("output", help="zarr store to write")
        p.add_argument("--chunks", type=_chunks, help="chunk size N or Z,Y,X")
        p.add_argument("--scheduler", help="address of a dask.distributed scheduler")
        p.add_argument("--workers", type=int, help="threads of the threaded scheduler")
        p.add_argument("--value", type=_value, default=idask._UNSET,
                       help="the objects' grey value (255), or None for every non-zero voxel")
        return p

    p = command("label", True, "label images of the objects, int32 (int64 where needed)")
    p.add_argument("--connectivity", type=int, default=6, choices=(6, 18, 26))
    p = command("objects", False, "a table of the objects")
    p.add_argument("--connectivity", type=int, default=6, choices=(6, 18, 26))
    p.add_argument("--csv", action="store_true", help="CSV on stdout")
    p = command("remove-objects", True, "paint the objects outside a size range")
    p.add_argument("--connectivity", type=int, default=6, choices=(6, 18, 26))
    p.add_argument("--min-volume", type=int, required=True)
    p.add_argument("--max-volume", type=int, default=2**31 - 1)
    p.add_argument("--paint", type=int, default=0)
    return parser.parse_args(argv)


@contextlib.contextmanager
def scheduler(args):
    import dask

    if args.scheduler:
        from dask.distributed import Client
        with Client(args.scheduler) as client:
            yield client
    else:
        with dask.config.set(scheduler="threads", num_workers=args.workers):
            yield None


@contextlib.contextmanager
def progress(client):
    if not sys.stderr.isatty():
        yield
    elif client is None:
        from dask.diagnostics import ProgressBar
        with ProgressBar(out=sys.stderr):
            yield
    else:
        # A cluster's work shows as the futures write() follows.
        yield


def run(args):
    if args.input == getattr(args, "output", None):
        raise BadInput("the output must not be the input")
    x = read(args.input, args.chunks)
    with scheduler(args) as client, progress(client):
        if args.command == "label":
            try:
                labels, n = idask.label(x, args.value, args.connectivity, recompute=True)
            except ValueError as e:
                if "dtype" not in str(e):
                    raise
                labels, n = idask.label(x, args.value, args.connectivity, dtype=np.int64, recompute=True)
            write(labels, args.output, client)
            print(f"{n} objects labelled into {args.output}", file=sys.stderr)
        elif args.command == "objects":
            table(idask.objects(x, args.value, args.connectivity), args.csv)
        else:
            write(idask.remove_objects(x, args.value, args.min_volume, args.max_volume, args.paint,
                                       args.connectivity, recompute=True), args.output, client)


def table(o, as_csv):
    header = ["label", "voxels", "z0", "y0", "x0", "z1", "y1", "x1", "centroid_z", "centroid_y", "centroid_x",
              "first_z", "first_y", "first_x"]
    if as_csv:
        out = csv.writer(sys.stdout, lineterminator="\n")
        out.writerow(header)
    else:
        print(f"{len(o)} objects")
        print(" ".join(f"{h:>10}" for h in header))
    for k in range(len(o)):
        row = [k + 1, int(o.voxels[k]), *o.bbox[k].tolist(), *(repr(float(c)) for c in o.centroid[k]),
               *o.first[k].tolist()]
        if as_csv:
            out.writerow(row)
        else:
            print(" ".join(f"{str(v):>10}" for v in row))


def main(argv=None):
    try:
        args = arguments(argv)
    except SystemExit as e:
        return 2 if e.code else 0
    try:
        run(args)
    except MemoryError:
        print("img3d.volume: out of memory", file=sys.stderr)
        return 1
    except (BadInput, ValueError, TypeError, OSError) as e:
        print(f"img3d.volume: {e}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
