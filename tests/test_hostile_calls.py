"""Every callable of pyvexa and vexafile._native (constructors, methods,
slots, module functions, and the generic operations on their objects),
called with hostile arguments, raises an exception or returns: none crashes
the interpreter, and none misuses the C API so that a SystemError comes out.

Each callable runs in a child process of its own (hostile_child.py), with
a time limit, so that a crash fails this test and names the call that was
running instead of killing the test worker."""

import signal
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("numpy")
pytest.importorskip("vexafile._native")

import hostile_child  # noqa: E402

CHILD = Path(hostile_child.__file__)
TIME_LIMIT = 300  # seconds for one child; a child takes about a second


def calls_made(stdout: str) -> list[str]:
    return [line[len("CALL ") :] for line in stdout.splitlines() if line.startswith("CALL ")]


def last_call(stdout) -> str:
    if isinstance(stdout, bytes):
        stdout = stdout.decode(errors="replace")
    made = calls_made(stdout or "")
    return made[-1] if made else "(none: it died before the first call)"


def how_it_ended(returncode: int) -> str:
    if returncode < 0:
        return f"killed by {signal.Signals(-returncode).name}"
    return f"exit status {returncode}"


@pytest.mark.parametrize("target", hostile_child.targets())
def test_hostile_arguments_raise_or_return(target, tmp_path):
    try:
        run = subprocess.run(
            [sys.executable, str(CHILD), target, str(tmp_path)],
            capture_output=True,
            text=True,
            timeout=TIME_LIMIT,
        )
    except subprocess.TimeoutExpired as e:
        pytest.fail(f"{target}: still running after {TIME_LIMIT} s, in the call: {last_call(e.stdout)}")
    lines = run.stdout.splitlines()
    if run.returncode != 0 or not lines or lines[-1] != "DONE":
        pytest.fail(
            f"{target}: {how_it_ended(run.returncode)} in the call: {last_call(run.stdout)}\n"
            f"stderr ends:\n{run.stderr[-3000:]}"
        )
    assert [line for line in lines if line.startswith("SYSTEMERROR")] == []


def test_the_sweep_finds_the_callables_itself():
    """The targets come from the classes and the module, so that a new method
    cannot be left out of the sweep."""
    targets = set(hostile_child.targets())
    for name in ("save", "add_arbitrary_signal", "__str__", "__new__", "get_num_samples"):
        assert f"pyvexa.Protocol.{name}" in targets
    assert {"_native.Decoded.coil_names", "_native.Decoded.write_text", "_native.Decoded()"} <= targets
    assert {f"_native.{n}" for n in ("loads", "load", "decode", "default_settings")} <= targets
    assert {"pyvexa.Coil.__repr__", "pyvexa.Channel.__int__"} <= targets


def test_each_argument_set_of_a_method_is_called(tmp_path):
    """A child reports a call for every hostile value in every position."""
    run = subprocess.run(
        [sys.executable, str(CHILD), "pyvexa.Protocol.set_amplitude_source", str(tmp_path)],
        capture_output=True,
        text=True,
        timeout=TIME_LIMIT,
    )
    made = calls_made(run.stdout)
    for expected in ("no arguments", "coil=None", "index=2**64", "index=Reenters", "external=Raises",
                     "receiver None", "a duplicate keyword", "index=Drops with external #1"):
        assert expected in made, expected
