import numpy as np
import pytest

import img3d
from conftest import random_volume

zarr = pytest.importorskip("zarr")
pytest.importorskip("dask.array")
from img3d import volume  # noqa: E402


@pytest.fixture
def stored(tmp_path, rng):
    a = random_volume(rng, (17, 12, 14), p=0.5)
    zarr.save_array(str(tmp_path / "in.zarr"), a, chunks=(5, 7, 4))
    return a, tmp_path


def test_label_objects_and_filter_of_a_store(stored, capsys):
    a, tmp = stored
    # A killed run's temporary beside the output goes; a live run's (held
    # under flock) stays.
    import fcntl
    import os
    (tmp / ".labels.zarr.img3d-tmp-dead").mkdir()
    (tmp / ".labels.zarr.img3d-tmp-live").mkdir()
    held = os.open(tmp / ".labels.zarr.img3d-tmp-live", os.O_RDONLY)
    fcntl.flock(held, fcntl.LOCK_EX)
    assert volume.main(["label", str(tmp / "in.zarr"), str(tmp / "labels.zarr"), "--connectivity", "26",
                        "--chunks", "6,5,9", "--workers", "2"]) == 0
    np.testing.assert_array_equal(zarr.open(str(tmp / "labels.zarr"))[:], img3d.label(a, 255, 26)[0])
    assert volume.main(["remove-objects", str(tmp / "in.zarr"), str(tmp / "kept.zarr"), "--min-volume", "5"]) == 0
    np.testing.assert_array_equal(zarr.open(str(tmp / "kept.zarr"))[:], img3d.remove_objects(a, 255, 5))
    capsys.readouterr()
    assert volume.main(["objects", str(tmp / "in.zarr"), "--csv"]) == 0
    rows = capsys.readouterr().out.splitlines()
    o = img3d.objects(a)
    assert len(rows) == len(o) + 1 and rows[1].split(",")[:2] == ["1", str(o.voxels[0])]
    assert sorted(p.name for p in tmp.iterdir()) == [".labels.zarr.img3d-tmp-live", "in.zarr", "kept.zarr",
                                                      "labels.zarr"]
    os.close(held)


def test_tiff_input_and_refusals(stored, capsys):
    tifffile = pytest.importorskip("tifffile")
    a, tmp = stored
    tifffile.imwrite(tmp / "in.tif", a)
    (tmp / "slices").mkdir()
    for z, plane in enumerate(a):
        tifffile.imwrite(tmp / "slices" / f"s{z:03d}.tif", plane)
    for source in ("in.tif", "slices"):
        assert volume.main(["label", str(tmp / source), str(tmp / "out.zarr"), "--chunks", "8"]) == 0
        np.testing.assert_array_equal(zarr.open(str(tmp / "out.zarr"))[:], img3d.label(a)[0])
    assert volume.main(["label", str(tmp / "missing.zarr"), str(tmp / "x.zarr")]) == 2
    assert volume.main(["label", str(tmp / "in.zarr"), str(tmp / "x.zarr"), "--connectivity", "5"]) == 2
    assert volume.main(["remove-objects", str(tmp / "in.zarr"), str(tmp / "x.zarr")]) == 2
    assert not (tmp / "x.zarr").exists()
