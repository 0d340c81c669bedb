"""Segments every NIfTI file of a folder as tasks on a dask.distributed cluster.

    python3 -m img3d.cohort IN_DIR -o OUT_DIR [--scheduler tcp://host:8786]
        [--workers N] [--redo] [the options of img3d segment: --threshold,
        --band, --window, --min-volume, --max-volume, --smooth, --dilate,
        --volume, ...]

Each file (``*.nii``, ``*.nii.gz``; names starting with "." are left out)
goes through the chain of ``img3d segment`` itself (:func:`img3d.segment_file`:
the tool's reader, chain and writer), with the demo's defaults: Otsu's
threshold, objects of at least 50 voxels kept, edge smoothing of radius 1.
Every type the tool reads is read, in the file's units, and what the tool
refuses fails with the tool's message.  The result (objects 255, the rest 0)
is written as ``OUT_DIR/<stem>.nii.gz`` with the input's geometry, exactly as
``img3d segment FILE -o RESULT`` writes it; ``OUT_DIR/cohort.csv`` gets one
row per file with the report's figures.

A folder has one run at a time: ``OUT_DIR/cohort.lock`` is held while a run
lives (the kernel lets go of it when the run dies), and a second run into the
folder stops at once naming the first one's host and process.  Beside each
result, ``OUT_DIR/<stem>.json`` holds its row, the options and the img3d
version that made it; it is written before the result is renamed into place,
and ``cohort.csv`` is rebuilt from these as files complete (at most once a
second, and at the end), so a crash at any moment loses at most the files in
flight; the next run rebuilds the table.  A rerun skips the files whose
result was made with the same options and redoes the rest; a result made
with other options (or without a record) stops the run, naming the option
and the file, unless ``--redo`` asks to recompute exactly those.

Without ``--scheduler`` the files run on a LocalCluster of this machine (one
process per core, or ``--workers``).  With it they run on that scheduler's
workers, which need img3d and the same paths (a shared file system).
"""

import argparse
import csv
import fcntl
import json
import logging
import os
import re
import shutil
import socket
import sys
import time
import uuid
import warnings

import img3d

from . import _temporaries

CSV_NAME = "cohort.csv"
LOCK_NAME = "cohort.lock"
COLUMNS = ("file", "status", "objects", "voxels", "threshold", "threshold_grey", "removed_after", "seconds",
           "error")
# The mark of every temporary a run makes, the tool's own included.
TEMPORARY = _temporaries.TEMPORARY
# Those of earlier versions: ".<stem>.nii.gz.<hex>.nii.gz" and cohort.csv.partial.
EARLIER_TEMPORARY = re.compile(r"\..+\.nii\.gz\.[0-9a-f]+\.nii\.gz\Z")


class Refused(ValueError):
    """A run that must not start: the folder is in use, or its results were
    made with other options."""


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


def _record(options):
    """What made a result: each option given, by the tool's name and in its
    text, and the version of img3d."""
    record = {}
    for o in img3d.SEGMENT_OPTIONS:
        value = options.get(_python_name(o))
        if value is not None and value is not False:
            record[o["name"]] = img3d._option_text(o["name"], value)
    return {"options": record, "img3d": img3d.__version__}


def _same_number(a, b):
    """"50" and "50.0" are one value."""
    try:
        return float(a) == float(b)
    except (TypeError, ValueError):
        return False


def _difference(made, wanted):
    """The first difference between two records, in words; None when equal."""
    if not isinstance(made, dict) or not isinstance(made.get("options"), dict):
        return "no record of the options that made it"
    for o in img3d.SEGMENT_OPTIONS:
        old, new = made["options"].get(o["name"]), wanted["options"].get(o["name"])
        if old != new and not _same_number(old, new):
            def said(text):
                return "no --" + o["name"] if text is None else ("--" + o["name"] + (" " + text if text else ""))
            return f"made with {said(old)}, this run has {said(new)}"
    if made.get("img3d") != wanted["img3d"]:
        return f"made by img3d {made.get('img3d')}, this run is img3d {wanted['img3d']}"
    return None


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


def _segment_task(in_path, out_dir, stem, run_id, options):
    """A worker's part: the result into a temporary folder of its own.  The
    driver, which holds the folder's lock, renames it into place."""
    folder = os.path.join(out_dir, f".{stem}.nii.gz{TEMPORARY}{run_id}-{uuid.uuid4().hex[:8]}")
    try:
        fd = _temporaries.locked_folder(folder)
    except OSError as e:
        return {"file": os.path.basename(in_path), "status": "failed", "error": f"{folder}: {e.strerror}"}, None
    try:
        return process_file(in_path, os.path.join(folder, stem + ".nii.gz"), options), folder
    finally:
        os.close(fd)


def _write_replacing(path, text, run_id):
    """Writes text to path through a locked temporary and a rename, so a
    reader sees the old file or the new one, never part of one."""
    folder, name = os.path.split(path)
    temporary = os.path.join(folder, f".{name}{TEMPORARY}{run_id}")
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o666)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        with os.fdopen(os.dup(fd), "w", newline="") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    finally:
        os.close(fd)


def _remove_leftovers(out_dir):
    """Removes the temporaries of runs that ended without cleaning up."""
    _temporaries.remove_free(out_dir, lambda name: name.startswith(".") and TEMPORARY in name
                             or EARLIER_TEMPORARY.match(name) or name == CSV_NAME + ".partial")


class _FolderLock:
    """OUT_DIR/cohort.lock under flock for the run's life: the kernel lets go
    when the process dies, so a crash never leaves the folder locked."""

    def __init__(self, out_dir, run_id):
        path = os.path.join(out_dir, LOCK_NAME)
        self.fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
        try:
            fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            # The owner writes its name just after it takes the lock.
            for _ in range(40):
                owner = os.pread(self.fd, 1024, 0).decode("utf-8", "replace").split()
                if len(owner) >= 2:
                    break
                time.sleep(0.025)
            os.close(self.fd)
            who = f"host {owner[0]}, PID {owner[1]}" if len(owner) >= 2 else "another process"
            raise Refused(f"{out_dir}: in use by another cohort run ({who}); one run per folder at a time") from None
        os.ftruncate(self.fd, 0)
        os.pwrite(self.fd, f"{socket.gethostname()} {os.getpid()} {run_id}\n".encode(), 0)

    def close(self):
        os.close(self.fd)


def _sidecar_path(out_dir, stem):
    return os.path.join(out_dir, stem + ".json")


def _read_sidecar(path):
    try:
        with open(path) as f:
            made = json.load(f)
        return made if isinstance(made, dict) and isinstance(made.get("row"), dict) else None
    except (OSError, ValueError):
        return None


def _scan(in_dir):
    """The NIfTI names of in_dir that are not hidden and not folders, and
    for those that cannot be read, the system's reason."""
    names, unreadable = [], {}
    for name in sorted(os.listdir(in_dir)):
        if name.startswith(".") or not stem_of(name):
            continue
        path = os.path.join(in_dir, name)
        try:
            if os.path.isdir(path):
                continue
            os.close(os.open(path, os.O_RDONLY | os.O_CLOEXEC))
        except OSError as e:
            unreadable[name] = f"{path}: {e.strerror}"
        names.append(name)
    return names, unreadable


def _table_text(rows):
    from io import StringIO

    text = StringIO()
    writer = csv.DictWriter(text, COLUMNS, extrasaction="ignore", lineterminator="\n")
    writer.writeheader()
    writer.writerows(rows[name] for name in sorted(rows))
    return text.getvalue()


def _plan(names, unreadable, in_dir, out_dir, record, redo):
    """The rows known before any work, and the files to segment."""
    rows, todo, stems = {}, [], {}
    for name in names:
        stem = stem_of(name)
        out_path = os.path.join(out_dir, stem + ".nii.gz")
        if name in unreadable:
            rows[name] = {"file": name, "status": "failed", "error": unreadable[name]}
        elif stem in stems:
            rows[name] = {"file": name, "status": "failed",
                          "error": f"same result name as {stems[stem]}: {stem}.nii.gz"}
        elif os.path.exists(out_path):
            made = _read_sidecar(_sidecar_path(out_dir, stem))
            difference = _difference(made, record)
            if difference is None:
                rows[name] = {**made["row"], "file": name, "status": "skipped"}
            elif redo:
                todo.append((name, stem))
            else:
                raise Refused(f"{out_path} (of {os.path.join(in_dir, name)}): {difference}; "
                              "--redo recomputes the results made otherwise")
        else:
            todo.append((name, stem))
        stems.setdefault(stem, name)
    return rows, todo


def _open_client(scheduler, workers):
    from dask.distributed import Client, LocalCluster

    if scheduler:
        return Client(scheduler), None
    # Its HTTP server starts even without a dashboard, on another port when
    # 8787 is taken (another run of this machine): no cause for a warning.
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "Port .* is already in use", UserWarning)
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                               dashboard_address=None, silence_logs=logging.ERROR)
    return Client(cluster), cluster


def _finish(out_dir, stem, row, folder, record, run_id):
    """Puts a worker's result into place under the folder's lock: its
    sidecar first, then the result, so no result is ever without its row."""
    if folder is None:
        return
    result = os.path.join(out_dir, stem + ".nii.gz")
    try:
        if row["status"] == "done":
            # A result made otherwise goes first: the new row must never
            # stand beside the old result.
            if os.path.lexists(result):
                os.unlink(result)
            sidecar = {"file": row["file"], "row": row, **record}
            _write_replacing(_sidecar_path(out_dir, stem), json.dumps(sidecar, indent=1) + "\n", run_id)
            os.replace(os.path.join(folder, stem + ".nii.gz"), result)
    except OSError as e:
        row.update(status="failed", error=f"{result}: {e.strerror}")
    shutil.rmtree(folder, ignore_errors=True)


# How often cohort.csv is rebuilt while files complete, at most: the rows are
# safe in their sidecars meanwhile, and a rebuild per file of a large cohort
# would rewrite the table thousands of times.
CSV_INTERVAL = 1.0


def _segment_all(todo, rows, in_dir, out_dir, options, record, run_id, client, scheduler, workers, log):
    """The files of todo on the cluster, each result put into place as it
    completes; rows gets their rows."""
    from dask.distributed import as_completed

    own_client, cluster = (None, None) if client else _open_client(scheduler, workers)
    csv_path, written = os.path.join(out_dir, CSV_NAME), time.monotonic()
    try:
        c = client or own_client
        futures = {c.submit(_segment_task, os.path.join(in_dir, name), out_dir, stem, run_id, options,
                            pure=False): (name, stem) for name, stem in todo}
        for future in as_completed(futures):
            name, stem = futures[future]
            try:
                row, folder = future.result()
            except Exception as e:  # the worker itself was lost
                row = {"file": name, "status": "failed",
                       "error": f"{os.path.join(in_dir, name)}: its worker was lost ({type(e).__name__}: {e})"}
                folder = None
            _finish(out_dir, stem, row, folder, record, run_id)
            rows[name] = row
            if time.monotonic() - written >= CSV_INTERVAL:
                _write_replacing(csv_path, _table_text(rows), run_id)
                written = time.monotonic()
            if log:
                log(row)
    finally:
        if own_client:
            own_client.close()
        if cluster:
            cluster.close()


def run(in_dir, out_dir, options=Options(), client=None, scheduler=None, workers=None, log=None, redo=False):
    """Segments every NIfTI file of in_dir into out_dir on a dask cluster:
    client when given, else a client of the scheduler at that address, else
    a new LocalCluster of workers processes.  Returns the rows of
    cohort.csv, sorted by file name.  Raises Refused when another run holds
    out_dir, or when a result there was made with other options and redo is
    false; OSError or ValueError for folders that cannot be used."""
    names, unreadable = _scan(in_dir)
    if os.path.exists(out_dir) and not os.path.isdir(out_dir):
        raise NotADirectoryError(f"{out_dir}: not a folder")
    os.makedirs(out_dir, exist_ok=True)
    if os.path.samefile(in_dir, out_dir):
        raise ValueError("the output folder must not be the input folder")
    run_id = uuid.uuid4().hex[:12]
    lock = _FolderLock(out_dir, run_id)
    try:
        _remove_leftovers(out_dir)
        record = _record(options)
        rows, todo = _plan(names, unreadable, in_dir, out_dir, record, redo)
        csv_path = os.path.join(out_dir, CSV_NAME)
        _write_replacing(csv_path, _table_text(rows), run_id)
        if todo:
            _segment_all(todo, rows, in_dir, out_dir, options, record, run_id, client, scheduler, workers, log)
        _write_replacing(csv_path, _table_text(rows), run_id)
        _remove_leftovers(out_dir)
    finally:
        lock.close()
    return [rows[name] for name in names]


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
    p.add_argument("--redo", action="store_true",
                   help="recompute the results made with other options or another img3d version")
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
        table = run(args.in_dir, args.output, options, scheduler=args.scheduler, workers=args.workers, log=log,
                    redo=args.redo)
    except (OSError, ValueError) as e:
        # "out: Permission denied", not "[Errno 13] Permission denied: 'out'".
        said = f"{e.filename}: {e.strerror}" if isinstance(e, OSError) and e.filename and e.strerror else e
        print(f"img3d.cohort: {said}", file=sys.stderr)
        return 2
    count = {s: sum(r["status"] == s for r in table) for s in ("done", "skipped", "failed")}
    if not args.quiet:
        print(f"{len(table)} files: {count['done']} done, {count['skipped']} skipped (result present), "
              f"{count['failed']} failed; {os.path.join(args.output, CSV_NAME)}")
    return 1 if count["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
