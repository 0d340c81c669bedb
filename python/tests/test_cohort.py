import contextlib
import csv
import gzip
import logging
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import time
import warnings

import numpy as np
import pytest

nibabel = pytest.importorskip("nibabel")
distributed = pytest.importorskip("distributed")

import img3d  # noqa: E402
from img3d import cohort  # noqa: E402

MRICRON = "/usr/share/mricron/templates"


@contextlib.contextmanager
def another_http_port():
    """A cluster's HTTP server starts even without a dashboard, and warns when
    port 8787 is another's (a test of another checkout running)."""
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "Port .* is already in use", UserWarning)
        yield


@pytest.fixture(scope="module")
def client():
    with another_http_port():
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                           dashboard_address=None, silence_logs=logging.ERROR)
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


@pytest.fixture(scope="module")
def scans(tool, tmp_path_factory):
    """The demo's phantom as 8-bit, int16, float32 and scaled int16 files;
    Debian's mricron volumes too where installed."""
    folder = tmp_path_factory.mktemp("scans")
    subprocess.run([tool, "demo", "-q", "-o", str(folder / "demo")], check=True)
    phantom = nibabel.load(str(folder / "demo" / "phantom.nii.gz"))
    grey = np.asarray(phantom.dataobj)
    affine = np.diag([0.8, 1.0, 1.2, 1.0])
    nibabel.Nifti1Image(grey, affine).to_filename(str(folder / "uint8.nii.gz"))
    nibabel.Nifti1Image(grey.astype(np.int16) * 7 - 300, affine).to_filename(str(folder / "int16.nii.gz"))
    nibabel.Nifti1Image(grey.astype(np.float32) / 3, affine).to_filename(str(folder / "float32.nii"))
    scaled = nibabel.Nifti1Image(grey.astype(np.int16), affine)
    scaled.header.set_slope_inter(0.5, -20)
    scaled.to_filename(str(folder / "scaled.nii.gz"))
    (folder / "notes.txt").write_text("not a volume")
    for name in ("ch2.nii.gz", "aal.nii.gz"):
        if os.path.exists(os.path.join(MRICRON, name)):
            os.symlink(os.path.join(MRICRON, name), folder / name)
    return folder


def test_real_scans_take_part(scans):
    if not (scans / "ch2.nii.gz").exists():
        pytest.skip(f"mricron-data is not installed ({MRICRON}): the phantom's files only")


# The demo's values are the cohort's defaults; the tool is given them.
DEMO = [f"--{o['name']}={o['demo']}" for o in img3d.SEGMENT_OPTIONS if o["demo"]]
OPTION_SETS = [[], ["--min-volume", "1000", "--smooth", "1"], ["--dilate", "26"],
               ["--smooth", "2", "--max-volume", "50000"], ["--band=40:200"], ["--window", "0:300"]]


@pytest.mark.parametrize("options", OPTION_SETS, ids=lambda o: " ".join(o) or "defaults")
def test_cohort_writes_what_the_tool_writes(client, tool, scans, tmp_path, options):
    out = tmp_path / "out"
    assert cohort.main([str(scans), "-o", str(out), "-q", "--scheduler", client.scheduler.address, *options]) == 0
    with open(out / "cohort.csv", newline="") as f:
        rows = {row["file"]: row for row in csv.DictReader(f)}
    names = sorted(p.name for p in scans.iterdir() if cohort.stem_of(p.name))
    assert sorted(rows) == names
    for name in names:
        named = " ".join(options)
        given = [o for o in DEMO if o.split("=")[0] not in named and not ("--band" in named and "threshold" in o)]
        given += options
        expected = str(tmp_path / ("tool-" + name))
        run = subprocess.run([tool, "segment", str(scans / name), "-o", expected, "--json", *given],
                             capture_output=True, text=True, check=True)
        report = img3d.json.loads(run.stdout)
        ours = nibabel.load(str(out / (cohort.stem_of(name) + ".nii.gz")))
        theirs = nibabel.load(expected)
        np.testing.assert_array_equal(np.asarray(ours.dataobj), np.asarray(theirs.dataobj))
        assert ours.shape == theirs.shape and ours.get_data_dtype() == theirs.get_data_dtype() == np.uint8
        np.testing.assert_array_equal(ours.affine, theirs.affine)
        row = rows[name]
        assert row["status"] == "done", row
        assert int(row["objects"]) == report["result"]["objects"]
        assert int(row["voxels"]) == report["result"]["voxels"]
        assert int(row["removed_after"]) == report["result"]["removed_after"]
    assert not [p for p in out.iterdir() if p.name.startswith(".")]


def test_rerun_finishes_what_is_missing_and_refusals_keep_the_tools_words(client, scans, tmp_path, capsys):
    out = tmp_path / "out"
    table = cohort.run(str(scans), str(out), cohort.Options(min_volume=20), client=client)
    os.remove(out / "int16.nii.gz")
    again = {r["file"]: r for r in cohort.run(str(scans), str(out), cohort.Options(min_volume=20), client=client)}
    assert again["int16.nii.gz"]["status"] == "done" and again["uint8.nii.gz"]["status"] == "skipped"
    assert str(again["uint8.nii.gz"]["objects"]) == str({r["file"]: r for r in table}["uint8.nii.gz"]["objects"])

    # A bad option stops the run before any file, with the tool's message.
    with pytest.raises(SystemExit):
        cohort.main([str(scans), "-o", str(tmp_path / "bad"), "--smooth", "200"])
    assert "--smooth 200: expected a whole number 0 ... 101" in capsys.readouterr().err
    assert cohort.main([str(scans), "-o", str(scans)]) == 2

    # What the tool refuses fails its row with the tool's reason.
    broken = tmp_path / "broken"
    broken.mkdir()
    (broken / "empty.nii.gz").write_bytes(b"")
    row = cohort.process_file(str(broken / "empty.nii.gz"), str(tmp_path / "x.nii.gz"))
    assert row["status"] == "failed" and "empty.nii.gz" in row["error"]
    with pytest.raises(ValueError, match="--dilate 12"):
        img3d.segment_file(str(scans / "uint8.nii.gz"), dilate=12)
    with pytest.raises(TypeError, match="smoothing"):
        img3d.segment_file(str(scans / "uint8.nii.gz"), smoothing=1)


# ---- runs that never lose data ----------------------------------------------

# A cohort run in a process of its own, on an in-process cluster of one
# worker thread: started in a fraction of a second, so it can be killed at
# many instants.
DRIVER = """
import logging, sys
from distributed import Client
from img3d import cohort
with Client(processes=False, n_workers=1, threads_per_worker=1, dashboard_address=None,
            silence_logs=logging.ERROR) as c:
    code = cohort.main(sys.argv[1:] + ["-q", "--scheduler", c.scheduler.address])
sys.exit(code)
"""


def driver(in_dir, out_dir, *options):
    return [sys.executable, "-c", DRIVER, str(in_dir), "-o", str(out_dir), *options]


def hostile_header():
    """77 bytes of .nii.gz whose header claims 2000^3 voxels."""
    header = nibabel.Nifti1Header()
    header.set_data_shape((2000, 2000, 2000))
    header.set_data_dtype(np.uint8)
    return gzip.compress(header.binaryblock + b"\0" * 4)


@pytest.fixture(scope="module")
def cohort_in(scans, tmp_path_factory):
    """The phantom's files, copies of them, a hostile header, a dangling and
    a looping link, and a hidden file that is no input."""
    folder = tmp_path_factory.mktemp("cohort-in")
    for name in ("uint8.nii.gz", "int16.nii.gz", "float32.nii", "scaled.nii.gz"):
        shutil.copy(scans / name, folder / name)
        shutil.copy(scans / name, folder / ("copy-" + name))
    (folder / "hostile.nii.gz").write_bytes(hostile_header())
    os.symlink("nowhere.nii.gz", folder / "dangling.nii.gz")
    os.symlink("loop.nii.gz", folder / "loop.nii.gz")
    shutil.copy(scans / "uint8.nii.gz", folder / ".hidden.nii.gz")
    return folder


def table(out):
    with open(out / "cohort.csv", newline="") as f:
        return {row["file"]: row for row in csv.DictReader(f)}


def contents(path):
    with gzip.open(path) as f:
        return f.read()


@pytest.fixture(scope="module")
def serial(cohort_in, tmp_path_factory):
    """A clean serial run: its rows and its results' bytes."""
    out = tmp_path_factory.mktemp("serial")
    with another_http_port():
        c = distributed.Client(processes=False, n_workers=1, threads_per_worker=1, dashboard_address=None,
                               silence_logs=logging.ERROR)
    with c:
        rows = cohort.run(str(cohort_in), str(out), cohort.Options(), client=c)
    assert [r["file"] for r in rows] == sorted(p.name for p in cohort_in.iterdir() if not p.name.startswith("."))
    return table(out), {p.name: contents(p) for p in out.glob("*.nii.gz")}


def expect_as_serial(out, serial):
    rows, results = serial
    again = table(out)
    assert sorted(again) == sorted(rows)
    for name, row in rows.items():
        assert {k: v for k, v in again[name].items() if k not in ("status", "seconds")} == \
               {k: v for k, v in row.items() if k not in ("status", "seconds")}, name
        assert again[name]["status"] in (("done", "skipped") if row["status"] == "done" else ("failed",))
    assert {p.name: contents(p) for p in out.glob("*.nii.gz")} == results
    left = [p.name for p in out.rglob("*") if p.name.startswith(".")]
    assert not left, left


def test_refusals_come_at_once_with_the_reason(serial, cohort_in, tmp_path):
    rows, _ = serial
    hostile, dangling = rows["hostile.nii.gz"], rows["dangling.nii.gz"]
    assert hostile["status"] == "failed" and "hostile.nii.gz" in hostile["error"]
    assert float(hostile["seconds"]) < 0.5 and "voxels" in hostile["error"]
    assert dangling["status"] == "failed" and "No such file or directory" in dangling["error"]
    assert "Too many levels of symbolic links" in rows["loop.nii.gz"]["error"]
    assert ".hidden.nii.gz" not in rows
    (tmp_path / "file").write_text("")
    done = subprocess.run(driver(cohort_in, tmp_path / "file"), capture_output=True, text=True, timeout=60)
    assert done.returncode == 2 and f"{tmp_path / 'file'}: not a folder" in done.stderr


def test_a_killed_run_loses_no_finished_row(serial, cohort_in, tmp_path):
    subprocess.run(driver(cohort_in, tmp_path / "clean"), check=False, timeout=120)
    expect_as_serial(tmp_path / "clean", serial)
    # Killed at ten instants spread over the work: as the folder is taken,
    # then after more and more results, each a little later than seen.
    done = sum(row["status"] == "done" for row in serial[0].values())
    jitter = random.Random(22)
    killed = 0
    for k in range(10):
        out = tmp_path / f"killed-{k}"
        run = subprocess.Popen(driver(cohort_in, out), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 60
        while run.poll() is None and time.monotonic() < deadline and not (
                (out / "cohort.lock").exists() and len(list(out.glob("*.json"))) >= k * done // 10):
            time.sleep(0.005)
        time.sleep(jitter.uniform(0, 0.04))
        run.kill()
        killed += run.wait() == -signal.SIGKILL
        print(f"kill {k}: {len(list(out.glob('*.json')))} results in, {len(list(out.glob('.*')))} temporaries")
        again = subprocess.run(driver(cohort_in, out), capture_output=True, text=True, timeout=120)
        assert again.returncode == 1, again.stderr  # the hostile and dangling files fail
        expect_as_serial(out, serial)
    assert killed >= 8


def session_alive(session):
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if entry.isdigit() and int(fields[3]) == session and fields[0] != "Z":
            return True
    return False


def test_one_run_per_folder_and_orphaned_workers_rename_nothing(serial, cohort_in, tmp_path):
    out = tmp_path / "out"
    command = [sys.executable, "-m", "img3d.cohort", str(cohort_in), "-o", str(out), "--workers", "2", "-q"]
    logs = [open(tmp_path / f"stderr-{i}", "w") for i in range(2)]
    runs = [subprocess.Popen(command, stderr=log, start_new_session=True) for log in logs]
    start = time.monotonic()
    while all(r.poll() is None for r in runs) and time.monotonic() - start < 60:
        time.sleep(0.02)
    second = next(r for r in runs if r.returncode is not None)
    first = next(r for r in runs if r is not second)
    assert second.returncode == 2 and first.poll() is None and time.monotonic() - start < 10
    said = (tmp_path / f"stderr-{runs.index(second)}").read_text()
    assert f"{out}: in use by another cohort run (host {socket.gethostname()}, PID {first.pid})" in said, said

    # The owner killed once a result is in: its LocalCluster's processes
    # outlive it for a while, and must leave the folder to the next run.
    deadline = time.monotonic() + 120
    while not list(out.glob("*.json")) and time.monotonic() < deadline:
        time.sleep(0.05)
    first.kill()
    first.wait()
    for log in logs:
        log.close()
    while session_alive(first.pid) and time.monotonic() < deadline:
        time.sleep(0.2)
    assert not session_alive(first.pid)
    done = subprocess.run(driver(cohort_in, out), capture_output=True, text=True, timeout=120)
    assert done.returncode == 1, done.stderr
    expect_as_serial(out, serial)


def test_results_of_other_options_are_refused_or_redone(client, cohort_in, serial, tmp_path, capsys):
    out = tmp_path / "out"
    for name in ("uint8.nii.gz", "int16.nii.gz"):
        shutil.copy(cohort_in / name, tmp_path / name)
    given = [str(tmp_path), "-o", str(out), "-q", "--scheduler", client.scheduler.address]
    out.mkdir()
    for leftover in (".uint8.nii.gz.3fa9c2.nii.gz", "cohort.csv.partial", ".int16.nii.gz.img3d-tmp-12"):
        (out / leftover).write_bytes(b"of a run that died")
    assert cohort.main(given) == 0
    assert sorted(p.name for p in out.iterdir()) == ["cohort.csv", "cohort.lock", "int16.json", "int16.nii.gz",
                                                     "uint8.json", "uint8.nii.gz"]
    made = {p.name: p.stat().st_mtime_ns for p in out.glob("*.nii.gz")}
    shutil.copy(cohort_in / "scaled.nii.gz", tmp_path / "scaled.nii.gz")
    assert cohort.main(given + ["--min-volume", "3000"]) == 2
    said = capsys.readouterr().err
    assert "int16.nii.gz" in said and "--min-volume 50" in said and "--min-volume 3000" in said, said
    assert {p.name: p.stat().st_mtime_ns for p in out.glob("*.nii.gz")} == made  # nothing done, nothing lost

    assert cohort.main(given + ["--min-volume", "3000", "--redo"]) == 0
    rows = table(out)
    assert [rows[n]["status"] for n in sorted(rows)] == ["done"] * 3
    for name, row in rows.items():
        report = img3d.segment_file(str(tmp_path / name), **cohort.Options(min_volume=3000))
        assert int(row["objects"]) == report["result"]["objects"]
    # The volume read counts too, as does a result without its record.
    assert cohort.main(given + ["--min-volume", "3000", "--volume", "0"]) == 2
    assert "made with no --volume, this run has --volume 0" in capsys.readouterr().err
    os.remove(out / "int16.json")
    assert cohort.main(given + ["--min-volume", "3000"]) == 2
    assert cohort.main(given + ["--min-volume", "3000", "--redo"]) == 0
    assert [r["status"] for r in table(out).values()].count("done") == 1
