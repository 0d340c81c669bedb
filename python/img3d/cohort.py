"""Segments every NIfTI file of a folder as tasks on a dask.distributed cluster.

    python3 -m img3d.cohort IN_DIR -o OUT_DIR [--scheduler tcp://host:8786]
        [--workers N] [the options of img3d segment: --threshold, --band,
        --window, --min-volume, --max-volume, --smooth, --dilate, ...]

Each file (``*.nii``, ``*.nii.gz``) goes through the chain of ``img3d
segment`` itself (:func:`img3d.segment_file`: the tool's reader, chain and
writer), with the demo's defaults: Otsu's threshold, objects of at least 50
voxels kept, edge smoothing of radius 1.  Every type the tool reads is read,
in the file's units, and what the tool refuses fails with the tool's message.
The result (objects 255, the rest 0) is written as ``OUT_DIR/<stem>.nii.gz``
with the input's geometry, exactly as ``img3d segment FILE -o RESULT`` writes
it; ``OUT_DIR/cohort.csv`` gets one row per file with the report's figures.
A file whose result exists is skipped, so a rerun after a crash finishes the
rest.  A file that fails gets its error in its row; the others go on.

Without ``--scheduler`` the files run on a LocalCluster of this machine (one
process per core, or ``--workers``).  With it they run on that scheduler's
workers, which need img3d, nibabel and the same paths (a shared file system).
"""

import argparse
import csv
import logging
import os
import sys
import time

import img3d

CSV_NAME = "cohort.csv"
COLUMNS = ("file", "status", "objects", "voxels", "threshold", "threshold_grey", "removed_after", "seconds",
           "error")


def _python_name(option):
    return option["name"].replace("-", "_")


class Options(dict):
    """The chain's options by their Python names (``min_volume``): the demo's
    values, changed by the keywords.  A ``band`` replaces the threshold."""

    def __init__(self, **given):
        values = {_python_name(o): o["demo"] or None for o in img3d.SEGMENT_OPTIONS}
        unknown = set(given) - set(values)
        if unknown:
            raise TypeError(f"unknown option {sorted(unknown)[0]!r}")
        values.update(given)
        if values.get("band") is not None:
            values["threshold"] = None
        super().__init__(values)


def _row_of(report):
    """The CSV figures of a segment_file report."""
    threshold = report["threshold"]
    return {"objects": report["result"]["objects"], "voxels": report["result"]["voxels"],
            "threshold": threshold["level"], "threshold_grey": threshold.get("level_grey", threshold["level"]),
            "removed_after": report["result"]["removed_after"]}


def stem_of(name):
    for suffix in (".nii.gz", ".nii"):
        if name.endswith(suffix):
            return name[: -len(suffix)]
    return None


def process_file(in_path, out_path, options=None):
    """One file through img3d.segment_file.  Returns its CSV row; never raises."""
    start = time.perf_counter()
    row = {"file": os.path.basename(in_path), "status": "done"}
    try:
        row.update(_row_of(img3d.segment_file(in_path, out_path, **(options or Options()))))
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


def _add_chain_options(p):
    """The options of img3d segment, from the chain's own table: the chain
    checks their values, with the tool's messages."""
    for o in img3d.SEGMENT_OPTIONS:
        default = f" (default: {o['demo']})" if o["demo"] else ""
        if o["value"]:
            p.add_argument("--" + o["name"], metavar=o["value"], help=o["help"] + default)
        else:
            p.add_argument("--" + o["name"], action="store_true", default=None, help=o["help"])


def main(argv=None):
    p = argparse.ArgumentParser(prog="python3 -m img3d.cohort", description=__doc__.split("\n\n")[0])
    p.add_argument("in_dir", metavar="IN_DIR", help="folder of NIfTI files (.nii, .nii.gz)")
    p.add_argument("-o", "--output", required=True, metavar="OUT_DIR", help="folder for the results and cohort.csv")
    p.add_argument("--scheduler", metavar="ADDRESS", help="a running dask scheduler (tcp://host:8786); "
                   "default: a LocalCluster of this machine")
    p.add_argument("--workers", type=_bounded(1, 1024), help="worker processes of the LocalCluster")
    _add_chain_options(p)
    p.add_argument("-q", "--quiet", action="store_true", help="print nothing but errors")
    args = p.parse_args(argv)
    if not os.path.isdir(args.in_dir):
        p.error(f"{args.in_dir}: not a folder")
    if args.scheduler and args.workers:
        p.error("--workers applies to the LocalCluster only, not with --scheduler")
    options = Options(**{k: v for k, v in ((_python_name(o), getattr(args, _python_name(o)))
                                           for o in img3d.SEGMENT_OPTIONS) if v is not None})
    try:
        img3d.check_segment_options(**options)
    except ValueError as e:
        p.error(str(e))

    def log(row):
        if row["status"] == "failed":
            print(f"{row['file']}: {row['error']}", file=sys.stderr)
        elif not args.quiet:
            print(f"{row['file']}: {row['objects']} objects, {row['voxels']} voxels, "
                  f"threshold {row['threshold']}, {row['seconds']} s")

    try:
        import distributed  # noqa: F401
    except ImportError as e:
        print(f"img3d.cohort needs {e.name} (Debian: python3-distributed)", file=sys.stderr)
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
