"""Benchmark of vexafile.Builder against the pyvexa calls it stands for, and
of `vexafile show --summary` against `vexafile check`, as same-run ratios.

For a 9M-sample session (1800 s):
- Builder(...).arbitrary(x) + routing + save against Protocol() +
  add_arbitrary_signal(x) + the same routing + save, to a new file each
  round, interleaved round by round (goal: at most 3x). The builder's save
  also flushes the file (fdatasync) and its directory to disk (the atomic replace);
  pyvexa's does not, so the flush of a file of that size is timed too;
- peak memory growth of the builder's calls in a fresh child process (goal:
  the float64 input + 2 bytes a sample + the encoded size + 32 MiB);
- `python -m vexafile show --summary FILE` against `python -m vexafile
  check FILE`, each a child process, interleaved (goal: at most 2x).

Knob: BENCH_BUILDER_ROUNDS (default 7, at least 3).
"""

from __future__ import annotations

import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
import warnings
from pathlib import Path

import numpy as np

import pyvexa
import vexafile

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from _table import print_table  # noqa: E402

N = 9_000_000
DURATION = 1800.0
ROUNDS = max(3, int(os.environ.get("BENCH_BUILDER_ROUNDS", "7")))
MIB = 1 << 20


def fractions() -> np.ndarray:
    return np.random.default_rng(0).random(N)


def with_pyvexa(x: np.ndarray, out: str) -> None:
    p = pyvexa.Protocol()
    p.set_session_duration(DURATION)
    p.set_stimulation_intensity(0.1)
    s = p.add_arbitrary_signal(x)
    p.set_amplitude_source(pyvexa.Coil.A1, s)
    p.set_amplitude_source(pyvexa.Coil.A2, s)
    p.set_modulation_source(pyvexa.Channel.A, s)
    p.save(out)


def with_builder(x: np.ndarray, out: str) -> float:
    """The whole builder case; returns the seconds its save took."""
    b = vexafile.Builder(duration=DURATION, intensity=0.1)
    s = b.arbitrary(x)
    b.route("A1", s)
    b.route("A2", s)
    b.modulate("A", s)
    start = time.perf_counter()
    b.save(out)
    return time.perf_counter() - start


def warm_up(out: str) -> None:
    """Load what both sides use, on a tiny session, so that neither pays for imports."""
    p = pyvexa.Protocol()
    p.set_session_duration(0.01)
    p.add_arbitrary_signal(np.zeros(50))
    p.save(out)
    b = vexafile.Builder(duration=0.01, intensity=0.1)
    b.route("A1", b.arbitrary(np.zeros(50)))
    b.save(out)


def fsync_only(data: bytes, out: str) -> None:
    with open(out, "wb") as f:
        f.write(data)
        f.flush()
        getattr(os, "fdatasync", os.fsync)(f.fileno())


MEMORY_CHILD = r"""
import json, sys, warnings
warnings.simplefilter("ignore")
import numpy as np
sys.path.insert(0, sys.argv[2])
import builder

def field_kb(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])

x = builder.fractions()
mode, out = sys.argv[1], sys.argv[3]
builder.warm_up(out + ".warm.vexa")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
base = field_kb("VmRSS")
(builder.with_builder if mode == "builder" else builder.with_pyvexa)(x, out)
print(json.dumps({"grown_kb": field_kb("VmHWM") - base}))
"""


def peak_growth(mode: str, tmp: str) -> int:
    r = subprocess.run([sys.executable, "-P", "-c", MEMORY_CHILD, mode, str(HERE), os.path.join(tmp, f"m-{mode}.vexa")],
                       check=True, capture_output=True, text=True)
    return json.loads(r.stdout)["grown_kb"] * 1024


def child_seconds(args: list[str], cwd: str) -> float:
    start = time.perf_counter()
    r = subprocess.run([sys.executable, "-P", "-m", "vexafile", *args], cwd=cwd,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    seconds = time.perf_counter() - start
    if r.returncode not in (0, 1):
        raise SystemExit(f"vexafile {' '.join(args)} failed: {r.stderr.decode()}")
    return seconds


def paired(a: list[float], b: list[float]) -> str:
    ratios = [x / y for x, y in zip(a, b)]
    return f"{statistics.median(ratios):.2f}x ({min(ratios):.2f} - {max(ratios):.2f})"


def ms(values: list[float]) -> str:
    return f"{statistics.median(values) * 1000:.1f} ms ({min(values) * 1000:.1f} - {max(values) * 1000:.1f})"


def main() -> None:
    warnings.simplefilter("ignore", vexafile.ProtocolWarning)
    print(f"builder benchmark: python {sys.version.split()[0]}, numpy {np.__version__}, {ROUNDS} rounds, "
          f"load average at start {os.getloadavg()[0]:.2f}")
    x = fractions()
    with tempfile.TemporaryDirectory(dir=os.getcwd(), prefix=".bench-builder-") as tmp:
        ref = os.path.join(tmp, "ref.vexa")
        with_pyvexa(x, ref)
        with_builder(x, os.path.join(tmp, "b.vexa"))
        data = Path(ref).read_bytes()
        if Path(tmp, "b.vexa").read_bytes() != data:
            raise SystemExit("the builder's file differs from pyvexa's")
        times: dict[str, list[float]] = {"pyvexa": [], "builder": [], "fsync": [], "builder save": []}
        for i in range(ROUNDS + 1):
            for name, fn in (("pyvexa", lambda out: with_pyvexa(x, out)),
                             ("builder", lambda out: with_builder(x, out)),
                             ("fsync", lambda out: fsync_only(data, out))):
                out = os.path.join(tmp, f"{name}-{i}.vexa")
                start = time.perf_counter()
                saving = fn(out)
                seconds = time.perf_counter() - start
                os.unlink(out)
                if i:  # round 0 warms up
                    times[name].append(seconds)
                    if saving is not None:
                        times["builder save"].append(saving)
        memory = {mode: peak_growth(mode, tmp) for mode in ("builder", "pyvexa")}
        cli: dict[str, list[float]] = {"summary": [], "check": []}
        for i in range(ROUNDS + 1):
            for name, args in (("summary", ["show", "--summary", ref]), ("check", ["check", ref])):
                seconds = child_seconds(args, tmp)
                if i:
                    cli[name].append(seconds)
    encoded = len(data)
    budget = N * 8 + 2 * N + encoded + 32 * MIB
    print()
    print_table(["case", "median (min - max)"], "lr", [
        ("pyvexa: Protocol + add_arbitrary_signal + save, 9M", ms(times["pyvexa"])),
        ("Builder: arbitrary + save, 9M (atomic, flushed)", ms(times["builder"])),
        ("  of which Builder.save", ms(times["builder save"])),
        (f"write + fdatasync of the {encoded / 1e6:.1f} MB file alone", ms(times["fsync"])),
        ("vexafile show --summary FILE (child)", ms(cli["summary"])),
        ("vexafile check FILE (child)", ms(cli["check"])),
    ])
    print()
    print_table(["ratio or figure", "measured", "goal", "status"], "lrrl", [
        ("Builder / pyvexa, 9M arbitrary + save", paired(times["builder"], times["pyvexa"]), "<= 3x",
         "met" if statistics.median(b / p for b, p in zip(times["builder"], times["pyvexa"])) <= 3 else "NOT met"),
        ("(Builder - that flush alone) / pyvexa", paired([b - f for b, f in zip(times["builder"], times["fsync"])],
                                                    times["pyvexa"]), "", ""),
        ("peak growth, Builder arbitrary + save", f"{memory['builder'] / MIB:.1f} MiB",
         f"<= {budget / MIB:.1f} MiB", "met" if memory["builder"] <= budget else "NOT met"),
        ("peak growth, the pyvexa calls", f"{memory['pyvexa'] / MIB:.1f} MiB", "", ""),
        ("show --summary / check", paired(cli["summary"], cli["check"]), "<= 2x",
         "met" if statistics.median(s / c for s, c in zip(cli["summary"], cli["check"])) <= 2 else "NOT met"),
    ])
    print(f"\nbudget: float64 input {N * 8 / MIB:.1f} MiB + 2 bytes a sample {2 * N / MIB:.1f} MiB "
          f"+ encoded {encoded / MIB:.1f} MiB + 32 MiB")


if __name__ == "__main__":
    main()
