import csv
import logging
import os

import numpy as np
import pytest

nibabel = pytest.importorskip("nibabel")
distributed = pytest.importorskip("distributed")

from img3d import cohort  # noqa: E402
from conftest import random_volume  # noqa: E402


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None, silence_logs=logging.ERROR)
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


def phantom(rng, shape):
    """Bright blobs on a dark noisy background, as an MRI file stores it: [x, y, z]."""
    blobs = random_volume(rng, shape, p=0.3) == 255
    grey = np.where(blobs, rng.integers(150, 230, shape), rng.integers(10, 80, shape)).astype(np.uint8)
    return grey.T


@pytest.fixture
def cohort_dir(tmp_path):
    rng = np.random.default_rng(7)
    folder = tmp_path / "in"
    folder.mkdir()
    for i in range(7):
        shape = (12 + i, 15, 9 + 2 * i)
        affine = np.diag([1.0 + i / 10, 1.5, 2.0, 1.0])
        suffix = ".nii" if i == 3 else ".nii.gz"
        nibabel.Nifti1Image(phantom(rng, shape), affine).to_filename(str(folder / f"scan{i}{suffix}"))
    wide = rng.integers(0, 4000, (10, 11, 12)).astype(np.int16)
    nibabel.Nifti1Image(wide, np.eye(4)).to_filename(str(folder / "wide.nii.gz"))
    (folder / "notes.txt").write_text("not a volume")
    return folder


def read_table(path):
    with open(path, newline="") as f:
        return {row["file"]: row for row in csv.DictReader(f)}


def test_cohort_on_a_local_cluster_matches_serial_runs(client, cohort_dir, tmp_path):
    out = tmp_path / "out"
    options = cohort.Options(min_volume=20)
    table = cohort.run(str(cohort_dir), str(out), options, client=client)
    assert [r["file"] for r in table] == sorted(p.name for p in cohort_dir.iterdir() if p.name != "notes.txt")
    rows = read_table(out / "cohort.csv")
    assert rows["wide.nii.gz"]["status"] == "failed" and "8-bit" in rows["wide.nii.gz"]["error"]
    assert not (out / "wide.nii.gz").exists()
    for name, row in rows.items():
        if name == "wide.nii.gz":
            continue
        assert row["status"] == "done", row
        source = nibabel.load(str(cohort_dir / name))
        expected, report = cohort.segment_volume(np.asarray(source.dataobj).T, options)
        result = nibabel.load(str(out / (cohort.stem_of(name) + ".nii.gz")))
        np.testing.assert_array_equal(np.asarray(result.dataobj).T, expected)
        np.testing.assert_array_equal(result.affine, source.affine)
        assert result.get_data_dtype() == np.uint8
        assert {k: int(row[k]) for k in report} == report and report["objects"] > 0
    assert not [p for p in out.iterdir() if p.name.startswith(".")]

    # A rerun skips what exists and finishes the rest.
    os.remove(out / "scan2.nii.gz")
    again = {r["file"]: r for r in cohort.run(str(cohort_dir), str(out), options, client=client)}
    assert again["scan2.nii.gz"]["status"] == "done" and again["scan0.nii.gz"]["status"] == "skipped"
    assert again["scan0.nii.gz"]["objects"] == rows["scan0.nii.gz"]["objects"]
    assert again["wide.nii.gz"]["status"] == "failed"


def test_command_line_on_a_running_scheduler(client, cohort_dir, tmp_path, capsys):
    out = tmp_path / "cli"
    status = cohort.main([str(cohort_dir), "-o", str(out), "--scheduler", client.scheduler.address,
                          "--threshold", "120", "--min-volume", "5", "--smooth", "0", "--dilate", "26"])
    assert status == 1  # the int16 file failed
    assert "8 files: 7 done, 0 skipped (result present), 1 failed" in capsys.readouterr().out
    options = cohort.Options(threshold="120", min_volume=5, smooth=0, dilate=26)
    source = nibabel.load(str(cohort_dir / "scan5.nii.gz"))
    expected, _ = cohort.segment_volume(np.asarray(source.dataobj).T, options)
    np.testing.assert_array_equal(np.asarray(nibabel.load(str(out / "scan5.nii.gz")).dataobj).T, expected)
    assert cohort.main([str(cohort_dir), "-o", str(cohort_dir)]) == 2
