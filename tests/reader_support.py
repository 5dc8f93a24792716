"""Running the reader in a child process: both decoders, the child's peak
memory, and the checks every failure of the command line must pass."""

from __future__ import annotations

import dataclasses
import os
import subprocess
import sys
import time

import pytest

import vexafile as vf
from vexa_helpers import DEFAULT_MACHINE, arbitrary, default_settings, encode

DECODERS = ["native", "python"]


def hide_numpy(monkeypatch) -> None:
    """Make the decoder give array('h') samples, as it does without NumPy."""
    from vexafile import _decode

    monkeypatch.setattr(_decode, "_numpy_checked", True)
    monkeypatch.setattr(_decode, "_numpy", None)


def reader_env(decoder: str, **extra: str) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if k != "VEXAFILE_PURE_PYTHON"}
    if decoder == "python":
        env["VEXAFILE_PURE_PYTHON"] = "1"
    env.update(extra)
    return env


def cli(decoder: str, *args, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, env=None, timeout=60):
    """python -m vexafile ARGS; -P so the installed package is the one run."""
    return subprocess.run(
        [sys.executable, "-P", "-m", "vexafile", *map(str, args)],
        stdin=stdin, stdout=stdout, stderr=subprocess.PIPE,
        env=env or reader_env(decoder), timeout=timeout,
    )


def assert_one_line(stderr: bytes, *words: str) -> str:
    text = stderr.decode("utf-8", "replace")
    assert "Traceback" not in text and text.count("\n") == 1, text
    for word in words:
        assert word in text, text
    return text


@dataclasses.dataclass
class Run:
    status: int
    stdout: bytes
    stderr: bytes
    seconds: float
    peak_mb: float


def run_bounded(code: str, decoder: str, *, stdin=subprocess.DEVNULL, feed=None, timeout: float = 20.0) -> Run:
    """Run python code in a child, which reports its peak resident memory.

    `feed`, when given, is called with the child's standard input (a pipe)
    in this thread while the child runs, and must return when it breaks.
    """
    start = time.monotonic()
    proc = subprocess.Popen(
        [sys.executable, "-P", "-c", REPORT_PEAK + code], stdin=subprocess.PIPE if feed else stdin,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=reader_env(decoder),
    )
    if feed is not None:
        feed(proc.stdin)
        try:
            proc.stdin.close()
        except BrokenPipeError:
            pass
        proc.stdin = None
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        pytest.fail(f"still running after {timeout} s")
    seconds = time.monotonic() - start
    return Run(proc.returncode, out, err, seconds, _peak_from(err))


PEAK_PREFIX = "peak-kb:"
# Appended to child code: the child writes its VmHWM as its last line.
REPORT_PEAK = f"""
def _report_peak():
    import sys
    with open("/proc/self/status") as f:
        kb = next(int(l.split()[1]) for l in f if l.startswith("VmHWM:"))
    sys.stderr.write("{PEAK_PREFIX}%d\\n" % kb)
import atexit
atexit.register(_report_peak)
"""


def _peak_from(err: bytes) -> float:
    for line in err.decode("utf-8", "replace").splitlines():
        if line.startswith(PEAK_PREFIX):
            return int(line[len(PEAK_PREFIX):]) / 1024
    return float("nan")


def named_coil_file(name: str) -> bytes:
    coil = dataclasses.replace(DEFAULT_MACHINE.coils[0], name=name)
    machine = dataclasses.replace(DEFAULT_MACHINE, coils=(coil,))
    return encode(default_settings(signals=[arbitrary([1, -2])], machine_config=machine))


def text_of(data: bytes) -> str:
    return vf.to_text(vf.loads(data))
