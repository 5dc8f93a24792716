"""Builder.save replaces a file whole or not at all, and keeps what a save
through pyvexa means: symlinks followed, mode kept, unwritable files and
directories refused with their names, FIFOs written directly."""

from __future__ import annotations

import os
import pathlib
import shutil
import stat
import subprocess
import sys
import tempfile
import threading
import warnings

import numpy as np
import pytest

import vexafile as vf

ROOT = os.geteuid() == 0


def builder(seconds: float = 1.0):
    b = vf.Builder(duration=seconds, intensity=0.1)
    s = b.arbitrary(np.linspace(0.0, 1.0, b.num_samples))
    for coil in ("A1", "A2"):
        b.route(coil, s)
    b.modulate("A", s)
    return b


def save(b, path):
    with warnings.catch_warnings():
        warnings.simplefilter("error", vf.ProtocolWarning)
        return b.save(path)


def pyvexa_bytes(b, tmp_path) -> bytes:
    out = tmp_path / "reference" / "p.vexa"
    out.parent.mkdir(exist_ok=True)
    b.to_protocol().save(str(out))
    return out.read_bytes()


def test_path_objects_and_str_are_accepted_and_nothing_else_is_left(tmp_path):
    b = builder()
    save(b, tmp_path / "a.vexa")
    save(b, str(tmp_path / "b.vexa"))
    assert (tmp_path / "a.vexa").read_bytes() == (tmp_path / "b.vexa").read_bytes() == pyvexa_bytes(b, tmp_path)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.vexa", "b.vexa", "reference"]


def test_a_longer_old_file_is_replaced_by_exactly_the_new_bytes(tmp_path):
    target = tmp_path / "run.vexa"
    target.write_bytes(b"x" * 1_000_000)
    b = builder()
    save(b, target)
    assert target.read_bytes() == pyvexa_bytes(b, tmp_path)


FAIL_UNDER_FSIZE_LIMIT = r"""
import os, resource, sys, warnings
import numpy as np
import vexafile as vf
target = sys.argv[1]
b = vf.Builder(duration=2.0, intensity=0.1)
s = b.arbitrary(np.linspace(0.0, 1.0, b.num_samples))
b.route("A1", s); b.route("A2", s); b.modulate("A", s)
warnings.simplefilter("ignore")
resource.setrlimit(resource.RLIMIT_FSIZE, (4096, resource.RLIM_INFINITY))
try:
    b.save(target)
except OSError as e:
    print(type(e).__name__, e.errno, e)
else:
    print("saved")
"""


def test_a_save_that_fails_part_way_leaves_the_old_file_intact(tmp_path):
    target = tmp_path / "run.vexa"
    old = b"the old protocol " * 100
    target.write_bytes(old)
    r = subprocess.run([sys.executable, "-P", "-c", FAIL_UNDER_FSIZE_LIMIT, str(target)],
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    kind, code, message = r.stdout.split(" ", 2)
    assert (kind, int(code)) == ("OSError", 27), r.stdout  # EFBIG
    assert str(target) in message and "File too large" in message and "Os {" not in message
    assert target.read_bytes() == old
    assert [p.name for p in tmp_path.iterdir()] == ["run.vexa"]


def test_a_symlink_is_followed_and_its_target_replaced(tmp_path):
    real = tmp_path / "real.vexa"
    real.write_bytes(b"old")
    link = tmp_path / "link.vexa"
    link.symlink_to(real.name)
    b = builder()
    save(b, link)
    assert link.is_symlink() and os.readlink(link) == real.name
    assert real.read_bytes() == pyvexa_bytes(b, tmp_path)
    dangling = tmp_path / "dangling.vexa"
    dangling.symlink_to("made-by-save.vexa")
    save(b, dangling)
    assert dangling.is_symlink() and (tmp_path / "made-by-save.vexa").read_bytes() == real.read_bytes()


def test_an_existing_file_keeps_its_mode_and_a_new_one_gets_the_umask(tmp_path):
    kept = tmp_path / "kept.vexa"
    kept.write_bytes(b"old")
    kept.chmod(0o640)
    save(builder(), kept)
    assert stat.S_IMODE(kept.stat().st_mode) == 0o640
    previous = os.umask(0o027)
    try:
        save(builder(), tmp_path / "new.vexa")
    finally:
        os.umask(previous)
    assert stat.S_IMODE((tmp_path / "new.vexa").stat().st_mode) == 0o640


def _save_as_nobody(target) -> str:
    """Save from a forked child that gave up root: the name of the OSError it met."""
    b = vf.Builder(intensity=0.1)
    b.to_protocol()  # pyvexa and the default record are loaded before the fork
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        outcome = "saved"
        try:
            os.setgid(65534)
            os.setuid(65534)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                b.save(target)
        except OSError as e:
            outcome = f"{type(e).__name__} {e}"
        finally:
            os.write(write, outcome.encode())
            os._exit(0)
    os.close(write)
    with os.fdopen(read, "rb") as f:
        text = f.read().decode()
    os.waitpid(pid, 0)
    return text


def test_a_file_the_user_may_not_write_is_refused_and_kept(tmp_path):
    # The directory is open to all, so a rename would succeed: the file's own
    # permission must still refuse, as it refuses pyvexa's direct write.
    shared = pathlib.Path(tempfile.mkdtemp(prefix="vexa-shared-"))
    try:
        shared.chmod(0o777)
        target = shared / "ro.vexa"
        target.write_bytes(b"old")
        target.chmod(0o444)
        if ROOT:
            # root may write any file: run the save as an ordinary user
            outcome = _save_as_nobody(target)
            assert outcome.startswith("PermissionError ") and str(target) in outcome, outcome
        else:
            with pytest.raises(PermissionError) as info:
                save(builder(), target)
            assert str(target) in str(info.value)
        assert target.read_bytes() == b"old" and [p.name for p in shared.iterdir()] == ["ro.vexa"]
    finally:
        shutil.rmtree(shared)


def _unwritable_directory(tmp_path) -> pathlib.Path:
    if not ROOT:
        d = tmp_path / "locked"
        d.mkdir()
        d.chmod(0o555)
        return d
    d = pathlib.Path("/sys")  # root may write anywhere but on a file system that refuses files
    if not d.is_dir() or os.access(d, os.W_OK) and not d.is_mount():
        pytest.skip("no directory that refuses new files")
    return d


def test_a_directory_that_cannot_take_a_temporary_file_is_named(tmp_path):
    d = _unwritable_directory(tmp_path)
    with pytest.raises(OSError) as info:
        save(builder(), d / "x.vexa")
    assert f"the directory {d}" in str(info.value) and "cannot take a temporary file" in str(info.value)
    assert not (d / "x.vexa").exists()


@pytest.mark.parametrize(
    "where, words",
    [
        ("missing/x.vexa", "the directory {tmp}/missing does not exist"),
        ("dir.vexa", "cannot save {tmp}/dir.vexa: it is a directory"),
    ],
)
def test_os_failures_name_the_path_in_words(tmp_path, where, words):
    (tmp_path / "dir.vexa").mkdir()
    with pytest.raises(OSError) as info:
        save(builder(), tmp_path / where)
    text = str(info.value)
    assert words.format(tmp=tmp_path) in text and "Os {" not in text and "kind:" not in text


def test_a_fifo_is_written_directly(tmp_path):
    fifo = tmp_path / "pipe.vexa"
    os.mkfifo(fifo)
    got = []
    reader = threading.Thread(target=lambda: got.append(fifo.read_bytes()))
    reader.start()
    b = builder()
    save(b, fifo)
    reader.join(timeout=30)
    assert got == [pyvexa_bytes(b, tmp_path)]
    assert stat.S_ISFIFO(fifo.stat().st_mode)


def test_a_refused_protocol_writes_nothing(tmp_path):
    b = builder()
    b.duration = 2.0  # the signal in force now has half the session's samples
    target = tmp_path / "run.vexa"
    target.write_bytes(b"old")
    with pytest.raises(vf.ProtocolError) as info:
        b.save(target)
    assert isinstance(info.value, ValueError) and info.value.findings
    assert target.read_bytes() == b"old" and [p.name for p in tmp_path.iterdir()] == ["run.vexa"]


def test_warnings_are_protocol_warnings_and_can_stop_the_save(tmp_path):
    b = vf.Builder()
    with pytest.warns(vf.ProtocolWarning, match="intensity: is 0.0"):
        b.save(tmp_path / "w.vexa")
    with warnings.catch_warnings():
        warnings.simplefilter("error", vf.ProtocolWarning)
        with pytest.raises(vf.ProtocolWarning):
            b.save(tmp_path / "stopped.vexa")
    assert not (tmp_path / "stopped.vexa").exists()
