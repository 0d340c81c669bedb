import csv
import glob
import logging
import os
import subprocess

import numpy as np
import pytest

nibabel = pytest.importorskip("nibabel")
distributed = pytest.importorskip("distributed")

import img3d  # noqa: E402
from img3d import cohort  # noqa: E402

MRICRON = "/usr/share/mricron/templates"
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def tool_path():
    """The img3d tool: IMG3D_TOOL, else one built in this tree."""
    found = [os.environ.get("IMG3D_TOOL", "")] + sorted(glob.glob(os.path.join(ROOT, "build", "*", "tools", "img3d",
                                                                                 "img3d")))
    return next((p for p in found if p and os.access(p, os.X_OK)), None)


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None, silence_logs=logging.ERROR)
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


@pytest.fixture(scope="module")
def tool():
    path = tool_path()
    if path is None:
        pytest.skip("no img3d tool built (set IMG3D_TOOL; scripts/test.sh builds one before the Python tests)")
    return path


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
