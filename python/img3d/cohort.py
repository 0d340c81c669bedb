"""Segments every NIfTI file of a folder as tasks on a dask.distributed cluster.

    python3 -m img3d.cohort IN_DIR -o OUT_DIR [--scheduler tcp://host:8786]
        [--threshold otsu|two-mode|LEVEL | --band LO:HI] [--min-volume N]
        [--max-volume N] [--smooth R] [--dilate 6|26] [--workers N]

Each file (``*.nii``, ``*.nii.gz``) goes through the chain of ``img3d
segment`` with the demo's defaults: Otsu's threshold, objects of at least 50
voxels kept, edge smoothing of radius 1.  The result (objects 255, the rest 0)
is written as ``OUT_DIR/<stem>.nii.gz`` with the input's geometry, under a
temporary name renamed once complete; ``OUT_DIR/cohort.csv`` gets one row per
file.  A file whose result exists is skipped, so a rerun after a crash
finishes the rest.  A file that fails (unreadable, not 3D, not 8-bit) gets
its error in its row; the others go on.

Without ``--scheduler`` the files run on a LocalCluster of this machine (one
process per core, or ``--workers``).  With it they run on that scheduler's
workers, which need img3d, nibabel and the same paths (a shared file system).
"""

import argparse
import csv
import dataclasses
import logging
import os
import sys
import time
import uuid

import numpy as np

import img3d

OBJECT, BACKGROUND = 255, 0
CSV_NAME = "cohort.csv"
COLUMNS = ("file", "status", "objects", "voxels", "threshold", "seconds", "error")


@dataclasses.dataclass(frozen=True)
class Options:
    """The chain's settings, named after ``img3d segment``'s options."""
    threshold: str = "otsu"     # "otsu", "two-mode", or a grey level: objects are grey >= it
    band: tuple = None          # (low, high): objects are grey low ... high; replaces threshold
    min_volume: int = 50
    max_volume: int = img3d.INT32_MAX
    smooth: int = 1             # edge smoothing radius, 0 = off
    dilate: int = 0             # 6 or 26: dilate the result by one voxel; 0 = off


def segment_volume(a, options=Options()):
    """Runs the chain on a [z, y, x] uint8 array.  Returns (result, report):
    the result holds 255 for the objects and 0 elsewhere; the report gives
    the threshold level, and the result's object and voxel counts."""
    if options.band is not None:
        level, (low, high) = options.band[0], options.band
    elif options.threshold in ("otsu", "two-mode"):
        choose = img3d.otsu_threshold if options.threshold == "otsu" else img3d.two_mode_threshold
        level = choose(a)
        low, high = level + 1, 255  # the upper class of the split
    else:
        level = low = int(options.threshold)
        high = 255
    result = img3d.segment(a, low, high, OBJECT, BACKGROUND)
    result = img3d.remove_objects(result, OBJECT, options.min_volume, options.max_volume, BACKGROUND)
    if options.smooth > 0:
        result = img3d.edge_smooth(result, OBJECT, BACKGROUND, options.smooth)
    if options.dilate:
        result = img3d.dilate(result, OBJECT, BACKGROUND, options.dilate)
    _, objects = img3d.label(result, OBJECT)
    voxels = int(img3d.histogram(result)[OBJECT])
    return result, {"objects": objects, "voxels": voxels, "threshold": level}


def stem_of(name):
    for suffix in (".nii.gz", ".nii"):
        if name.endswith(suffix):
            return name[: -len(suffix)]
    return None


def read_volume(path):
    """(image, [z, y, x] uint8 array) of a NIfTI file; ValueError when it is
    not an 8-bit 3D volume.  The stored values are read, unscaled."""
    import nibabel

    image = nibabel.load(path)
    shape = image.shape
    if len(shape) < 3 or any(n != 1 for n in shape[3:]):
        raise ValueError(f"not a 3D volume: shape {shape}")
    data = np.asarray(image.dataobj.get_unscaled())
    if data.dtype != np.uint8:
        raise ValueError(f"not 8-bit unsigned voxels: {data.dtype}")
    return image, data.reshape(shape[:3], order="A").T


def write_volume(path, result, like):
    """Writes a [z, y, x] uint8 result with the geometry of the image like,
    under a temporary name renamed once complete."""
    header = like.header.copy()
    header.set_data_dtype(np.uint8)
    image = type(like)(result.T, like.affine, header)
    image.header.set_slope_inter(1, 0)
    folder, name = os.path.split(path)
    partial = os.path.join(folder, f".{name}.{uuid.uuid4().hex}.nii.gz")
    try:
        image.to_filename(partial)
        os.replace(partial, path)
    finally:
        if os.path.exists(partial):
            os.remove(partial)


def process_file(in_path, out_path, options=Options()):
    """One file: read, segment, write.  Returns its CSV row; never raises."""
    start = time.perf_counter()
    row = {"file": os.path.basename(in_path), "status": "done"}
    try:
        image, a = read_volume(in_path)
        result, report = segment_volume(a, options)
        write_volume(out_path, result, image)
        row.update(report)
    except Exception as e:  # the row says what went wrong; the cohort goes on
        row.update(status="failed", error=f"{type(e).__name__}: {e}")
    row["seconds"] = round(time.perf_counter() - start, 3)
    return row


def _previous_rows(path):
    try:
        with open(path, newline="") as f:
            return {row["file"]: row for row in csv.DictReader(f)}
    except (OSError, csv.Error, KeyError):
        return {}


def _open_client(scheduler, workers):
    from dask.distributed import Client, LocalCluster

    if scheduler:
        return Client(scheduler), None
    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                           dashboard_address=None, silence_logs=logging.ERROR)
    return Client(cluster), cluster


def run(in_dir, out_dir, options=Options(), client=None, scheduler=None, workers=None, log=None):
    """Segments every NIfTI file of in_dir into out_dir on a dask cluster:
    client when given, else a client of the scheduler at that address, else
    a new LocalCluster of workers processes.  Returns the rows of
    cohort.csv, sorted by file name."""
    names = sorted(n for n in os.listdir(in_dir) if stem_of(n) and os.path.isfile(os.path.join(in_dir, n)))
    os.makedirs(out_dir, exist_ok=True)
    if os.path.samefile(in_dir, out_dir):
        raise ValueError("the output folder must not be the input folder")
    csv_path = os.path.join(out_dir, CSV_NAME)
    previous = _previous_rows(csv_path)

    rows, todo, stems = {}, [], {}
    for name in names:
        stem = stem_of(name)
        out_path = os.path.join(out_dir, stem + ".nii.gz")
        if stem in stems:
            rows[name] = {"file": name, "status": "failed",
                          "error": f"same result name as {stems[stem]}: {stem}.nii.gz"}
        elif os.path.exists(out_path):
            rows[name] = {**previous.get(name, {}), "file": name, "status": "skipped"}
        else:
            todo.append((name, out_path))
        stems.setdefault(stem, name)

    # Rows are appended as files complete, so a crash leaves what was done;
    # the complete table replaces it at the end, sorted.
    with open(csv_path, "w", newline="") as f:
        writer = csv.DictWriter(f, COLUMNS, extrasaction="ignore")
        writer.writeheader()
        writer.writerows(rows.values())
        f.flush()
        if todo:
            own_client, cluster = (None, None) if client else _open_client(scheduler, workers)
            try:
                from dask.distributed import as_completed

                c = client or own_client
                futures = {c.submit(process_file, os.path.join(in_dir, name), out_path, options, pure=False): name
                           for name, out_path in todo}
                for future in as_completed(futures):
                    name = futures[future]
                    try:
                        row = future.result()
                    except Exception as e:  # the worker itself was lost
                        row = {"file": name, "status": "failed", "error": f"{type(e).__name__}: {e}"}
                    rows[name] = row
                    writer.writerow(row)
                    f.flush()
                    if log:
                        log(row)
            finally:
                if own_client:
                    own_client.close()
                if cluster:
                    cluster.close()

    table = [rows[name] for name in names]
    partial = csv_path + ".partial"
    with open(partial, "w", newline="") as f:
        writer = csv.DictWriter(f, COLUMNS, extrasaction="ignore")
        writer.writeheader()
        writer.writerows(table)
    os.replace(partial, csv_path)
    return table


def _band(text):
    try:
        low, high = (int(x) for x in text.split(":"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected LO:HI, not {text!r}") from None
    return low, high


def _threshold(text):
    if text in ("otsu", "two-mode"):
        return text
    try:
        int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected otsu, two-mode or a grey level, not {text!r}") from None
    return text


def _bounded(low, high):
    def parse(text):
        try:
            n = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected an integer, not {text!r}") from None
        if not low <= n <= high:
            raise argparse.ArgumentTypeError(f"must lie in {low} ... {high}: {n}")
        return n
    return parse


def main(argv=None):
    p = argparse.ArgumentParser(prog="python3 -m img3d.cohort", description=__doc__.split("\n\n")[0])
    p.add_argument("in_dir", metavar="IN_DIR", help="folder of NIfTI files (.nii, .nii.gz)")
    p.add_argument("-o", "--output", required=True, metavar="OUT_DIR", help="folder for the results and cohort.csv")
    p.add_argument("--scheduler", metavar="ADDRESS", help="a running dask scheduler (tcp://host:8786); "
                   "default: a LocalCluster of this machine")
    p.add_argument("--workers", type=_bounded(1, 1024), help="worker processes of the LocalCluster")
    method = p.add_mutually_exclusive_group()
    method.add_argument("--threshold", type=_threshold, default="otsu",
                        help="otsu, two-mode, or a grey level: objects are grey >= it (default: otsu)")
    method.add_argument("--band", type=_band, metavar="LO:HI", help="objects are grey LO ... HI inclusive")
    p.add_argument("--min-volume", type=_bounded(0, img3d.INT32_MAX), default=50,
                   help="remove objects of fewer voxels (default: 50)")
    p.add_argument("--max-volume", type=_bounded(0, img3d.INT32_MAX), default=img3d.INT32_MAX,
                   help="remove objects of more voxels")
    p.add_argument("--smooth", type=_bounded(0, 16), default=1, help="edge smoothing radius, 0 = off (default: 1)")
    p.add_argument("--dilate", type=int, choices=(6, 26), help="dilate the result by one voxel")
    p.add_argument("-q", "--quiet", action="store_true", help="print nothing but errors")
    args = p.parse_args(argv)
    if not os.path.isdir(args.in_dir):
        p.error(f"{args.in_dir}: not a folder")
    if args.scheduler and args.workers:
        p.error("--workers applies to the LocalCluster only, not with --scheduler")
    options = Options(threshold=args.threshold, band=args.band, min_volume=args.min_volume,
                      max_volume=args.max_volume, smooth=args.smooth, dilate=args.dilate or 0)

    def log(row):
        if row["status"] == "failed":
            print(f"{row['file']}: {row['error']}", file=sys.stderr)
        elif not args.quiet:
            print(f"{row['file']}: {row['objects']} objects, {row['voxels']} voxels, "
                  f"threshold {row['threshold']}, {row['seconds']} s")

    try:
        import distributed  # noqa: F401
        import nibabel  # noqa: F401
    except ImportError as e:
        print(f"img3d.cohort needs {e.name} (Debian: python3-distributed, python3-nibabel)", file=sys.stderr)
        return 2
    try:
        table = run(args.in_dir, args.output, options, scheduler=args.scheduler, workers=args.workers, log=log)
    except (OSError, ValueError) as e:
        print(f"img3d.cohort: {e}", file=sys.stderr)
        return 2
    count = {s: sum(r["status"] == s for r in table) for s in ("done", "skipped", "failed")}
    if not args.quiet:
        print(f"{len(table)} files: {count['done']} done, {count['skipped']} skipped (result present), "
              f"{count['failed']} failed; {os.path.join(args.output, CSV_NAME)}")
    return 1 if count["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
