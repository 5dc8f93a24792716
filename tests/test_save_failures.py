"""Saving onto a full disk, into a read-only directory and over files that
cannot be replaced: exact error texts, the object stays usable, and nothing
but the documented state is left on disk."""

import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

import pytest

import pyvexa

UNWRAP = "called `Result::unwrap()` on an `Err` value: "


def os_error(code, kind):
    return UNWRAP + f'Os {{ code: {code}, kind: {kind}, message: "{os.strerror(code)}" }}'


def save_failure(p, path):
    try:
        p.save(path)
    except BaseException as e:  # noqa: B036 - PanicException
        assert type(e).__name__ == "PanicException"
        return e.args[0]
    pytest.fail("save did not fail")


def test_full_device_reports_storage_full_and_keeps_the_object(tmp_path):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full on this system")
    target = tmp_path / "full.vexa"
    target.symlink_to("/dev/full")  # open follows links; every write fails
    p = pyvexa.Protocol()
    assert save_failure(p, str(target)) == os_error(28, "StorageFull")
    assert "ConstantSignalParams" in str(p)  # the inserted signal stays
    p.save(str(tmp_path / "ok.vexa"))


def test_small_filesystem_runs_out_of_space_midway(tmp_path):
    mount_point = tmp_path / "small"
    mount_point.mkdir()
    mounted = subprocess.run(
        ["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(mount_point)], capture_output=True
    )
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {mounted.stderr.decode().strip()}")
    try:
        import numpy as np

        p = pyvexa.Protocol()
        p.set_session_duration(10.0)  # 50000 samples of 3 bytes each: too big
        p.add_arbitrary_signal(np.full(50000, 0.9))
        target = mount_point / "big.vexa"
        assert save_failure(p, str(target)) == os_error(28, "StorageFull")
        # The file stays, truncated, holding what was written before.
        assert target.exists() and 0 < target.stat().st_size <= 64 * 1024
        small = pyvexa.Protocol()
        small.save(str(target))
        assert target.stat().st_size == 201
    finally:
        subprocess.run(["umount", str(mount_point)], check=False)


UNPRIVILEGED = r"""
import os, sys
import pyvexa  # first: the checkout may be unreadable to the unprivileged user
os.setgid(65534); os.setuid(65534)
p = pyvexa.Protocol()
try:
    p.save(sys.argv[1])
except BaseException as e:
    print(e.args[0]); p.save(sys.argv[2]); print("usable")
"""


def run_unprivileged(*args):
    if os.geteuid() != 0:
        pytest.skip("needs root to drop to an unprivileged user")
    return subprocess.run([sys.executable, "-c", UNPRIVILEGED, *args], capture_output=True, text=True)


def test_read_only_directory_refuses_a_new_file():
    # pytest's own temporary directories are private to root.
    base = pathlib.Path(tempfile.mkdtemp(prefix="vexa-ro-"))
    try:
        os.chmod(base, 0o777)
        locked = base / "locked"
        locked.mkdir()
        os.chmod(locked, 0o555)
        result = run_unprivileged(str(locked / "new.vexa"), str(base / "fine.vexa"))
        assert result.stdout.splitlines() == [os_error(13, "PermissionDenied"), "usable"], result.stderr
        assert list(locked.iterdir()) == []
    finally:
        shutil.rmtree(base)


def test_existing_file_in_a_directory_turned_into_a_file_path(tmp_path):
    (tmp_path / "plain").write_bytes(b"x")
    p = pyvexa.Protocol()
    assert save_failure(p, str(tmp_path / "plain" / "x.vexa")) == os_error(20, "NotADirectory")
    assert (tmp_path / "plain").read_bytes() == b"x"


def test_file_replaced_by_a_directory(tmp_path):
    target = tmp_path / "run.vexa"
    p = pyvexa.Protocol()
    p.save(str(target))
    target.unlink()
    target.mkdir()
    assert save_failure(p, str(target)) == os_error(21, "IsADirectory")
    assert target.is_dir() and list(target.iterdir()) == []
