"""The tool's reader and writer on files as they come: data after the
voxels, 4-D series, text files, and the temporaries of runs that died."""
import fcntl
import os
import struct
import subprocess
import time
import zlib

import numpy as np
import pytest

nibabel = pytest.importorskip("nibabel")

MIB = 1 << 20


def gzip_member(*parts, zero_mib=0):
    """One gzip member of the parts followed by zero_mib MiB of zeros.  The
    zeros are one full-flush block repeated, so gigabytes cost little."""
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    body, crc, size = [], 0, 0
    for part in parts:
        body.append(c.compress(part))
        crc, size = zlib.crc32(part, crc), size + len(part)
    body.append(c.flush(zlib.Z_FULL_FLUSH))
    if zero_mib:
        zeros = bytes(MIB)
        block = c.compress(zeros) + c.flush(zlib.Z_FULL_FLUSH)
        body.append(block * zero_mib)
        for _ in range(zero_mib):
            crc = zlib.crc32(zeros, crc)
        size += zero_mib * MIB
    body.append(c.flush(zlib.Z_FINISH))
    return b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\xff" + b"".join(body) + struct.pack("<II", crc, size & 0xFFFFFFFF)


@pytest.fixture(scope="module")
def volume(tool, tmp_path_factory):
    """A small 8-bit NIfTI file: its header bytes and its voxels."""
    folder = tmp_path_factory.mktemp("volume")
    rng = np.random.default_rng(22)
    grey = rng.integers(0, 256, (24, 20, 16), dtype=np.uint8)
    nibabel.Nifti1Image(grey, np.eye(4)).to_filename(str(folder / "v.nii"))
    data = (folder / "v.nii").read_bytes()
    return data[:352], data[352:]


def run_tool(tool, *arguments):
    start = time.monotonic()
    done = subprocess.run([tool, *map(str, arguments)], capture_output=True, text=True, timeout=60)
    return done, time.monotonic() - start


def test_data_after_the_voxels_costs_nothing_and_is_named(tool, volume, tmp_path):
    header, voxels = volume
    files = {
        "members.nii.gz": gzip_member(header, voxels) + gzip_member(zero_mib=1024) * 3,
        "tail.nii.gz": gzip_member(header, voxels, zero_mib=3 * 1024),
        "long.nii": header + voxels + bytes(5 * MIB),
    }
    (tmp_path / "clean.nii").write_bytes(header + voxels)
    clean, _ = run_tool(tool, "segment", tmp_path / "clean.nii", "-o", tmp_path / "clean-out.nii")
    assert clean.returncode == 0 and "after the voxels" not in clean.stderr
    expected = (tmp_path / "clean-out.nii").read_bytes()
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)
        done, seconds = run_tool(tool, "segment", tmp_path / name, "-o", tmp_path / (name + "-out.nii"))
        assert done.returncode == 0, done.stderr
        assert seconds < 1.0, (name, seconds)
        lines = [line for line in done.stderr.splitlines() if line]
        assert len(lines) == 1 and name in lines[0] and "data after the voxels ignored" in lines[0], done.stderr
        assert (tmp_path / (name + "-out.nii")).read_bytes() == expected
    # Damage within reach of the reader is still refused.
    (tmp_path / "damaged.nii.gz").write_bytes(gzip_member(header, voxels) + b"\x1f\x8b\x08garbage")
    done, _ = run_tool(tool, "segment", tmp_path / "damaged.nii.gz")
    assert done.returncode == 2 and "damaged" in done.stderr


def test_one_volume_of_a_series(tool, tmp_path):
    rng = np.random.default_rng(4)
    series = rng.integers(0, 256, (18, 14, 11, 3), dtype=np.uint8)
    affine = np.diag([0.9, 1.1, 1.3, 1.0])
    nibabel.Nifti1Image(series, affine).to_filename(str(tmp_path / "series.nii.gz"))
    nibabel.Nifti1Image(series[..., 1], affine).to_filename(str(tmp_path / "one.nii.gz"))
    results = {}
    for name, extra in (("series.nii.gz", ["--volume", "1"]), ("one.nii.gz", [])):
        out = tmp_path / ("out-" + name)
        done, _ = run_tool(tool, "segment", tmp_path / name, "-o", out, "--min-volume", "3", *extra)
        assert done.returncode == 0, done.stderr
        results[name] = nibabel.load(str(out))
    np.testing.assert_array_equal(np.asarray(results["series.nii.gz"].dataobj), np.asarray(results["one.nii.gz"].dataobj))
    np.testing.assert_array_equal(results["series.nii.gz"].affine, results["one.nii.gz"].affine)
    done, _ = run_tool(tool, "objects", tmp_path / "series.nii.gz", "--volume", "2", "--value", "7")
    assert done.returncode == 0, done.stderr

    for arguments, words in ((["segment", tmp_path / "series.nii.gz"], ["3 volumes", "--volume"]),
                             (["segment", tmp_path / "series.nii.gz", "--volume", "3"], ["--volume 3", "0 ... 2"]),
                             (["objects", tmp_path / "one.nii.gz", "--volume", "1"], ["--volume 1", "single"])):
        done, _ = run_tool(tool, *arguments)
        assert done.returncode == 2 and all(w in done.stderr for w in words), done.stderr
        assert len(done.stderr.splitlines()) == 1


def test_refusals_say_what_the_file_is(tool, volume, tmp_path):
    header, voxels = volume
    (tmp_path / "notes.nii").write_text("subject 12: rescan\n")
    (tmp_path / "empty.nii").write_bytes(b"")
    (tmp_path / "cut.nii.gz").write_bytes(gzip_member(header, voxels)[:60])
    os.symlink("loop.nii", tmp_path / "loop.nii")
    (tmp_path / "plain").write_text("")
    for arguments, words in ((["segment", "notes.nii"], "begins with text: \"subject 12"),
                             (["segment", "empty.nii"], "empty.nii: an empty file"),
                             (["segment", "cut.nii.gz"], "cut.nii.gz: compressed data truncated or damaged"),
                             (["segment", "loop.nii"], "loop.nii: Too many levels of symbolic links"),
                             (["demo", "-o", "plain"], "plain: not a folder")):
        done, _ = run_tool(tool, *(tmp_path / a if a.endswith((".nii", ".gz")) or a == "plain" else a
                                   for a in arguments))
        assert done.returncode == 2 and words in done.stderr and "size 0" not in done.stderr, done.stderr


def test_leftovers_of_dead_runs_go_and_live_ones_stay(tool, volume, tmp_path):
    header, voxels = volume
    (tmp_path / "in.nii").write_bytes(header + voxels)
    out = tmp_path / "out.nii"
    run_tool(tool, "segment", tmp_path / "in.nii", "-o", out)
    good = out.read_bytes()
    dead = tmp_path / ".out.nii.img3d-tmp-4242"  # an earlier version's, named by PID only
    dead.write_bytes(b"partial")
    live = tmp_path / ".out.nii.img3d-tmp-77-1"
    live.write_bytes(b"being written")
    other = tmp_path / ".else.nii.img3d-tmp-4242"
    other.write_bytes(b"not beside this output")
    with open(live, "rb") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        done, _ = run_tool(tool, "segment", tmp_path / "in.nii", "-o", out)
        assert done.returncode == 0, done.stderr
        assert not dead.exists() and live.exists() and other.exists()
    # A backup whose replacement never completed is put back (by a run that
    # then fails on its input); one whose replacement did is removed.
    os.rename(out, tmp_path / ".out.nii.img3d-tmp-5-old")
    (tmp_path / ".out.nii.img3d-tmp-5").write_bytes(b"never renamed")
    done, _ = run_tool(tool, "segment", tmp_path / "missing.nii", "-o", out)
    assert done.returncode == 2 and out.read_bytes() == good
    os.link(out, tmp_path / ".out.nii.img3d-tmp-6-old")
    (tmp_path / "new").write_bytes(b"the replacement")
    os.replace(tmp_path / "new", out)
    done, _ = run_tool(tool, "segment", tmp_path / "missing.nii", "-o", out)
    assert out.read_bytes() == b"the replacement"
    assert sorted(p.name for p in tmp_path.iterdir() if p.name.startswith(".out")) == []


def test_a_killed_run_leaves_nothing_the_next_one_keeps(tool, tmp_path):
    rng = np.random.default_rng(9)
    nibabel.Nifti1Image(rng.integers(0, 256, (160, 160, 160), dtype=np.uint8), np.eye(4)).to_filename(
        str(tmp_path / "in.nii"))
    command = [tool, "segment", str(tmp_path / "in.nii"), "-o", str(tmp_path / "out.nii.gz"), "--smooth", "4", "-q"]
    for _ in range(2):
        run = subprocess.Popen(command)
        deadline = time.monotonic() + 30
        while not list(tmp_path.glob(".out.nii.gz.img3d-tmp-*")) and time.monotonic() < deadline:
            time.sleep(0.01)
        run.kill()
        run.wait()
    assert list(tmp_path.glob(".out.nii.gz.img3d-tmp-*"))
    assert subprocess.run(command, timeout=120).returncode == 0
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.nii", "out.nii.gz"]
