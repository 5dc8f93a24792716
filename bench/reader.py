"""Benchmark of the vexafile reader against the module that writes the files.

Run with `make bench-reader` (part of `make bench`). Prints one table of
same-run ratios with the goals:

- vexafile.load of a 9M-sample file, NumPy imported, against Protocol.save
  of the same protocol (both in this process, interleaved round by round);
- `python -m vexafile FILE` against str(p) plus interpreter start, on the 9M
  file and on a file of 2M mixed signals, with the child's peak memory;
- `--json` on the 9M file: time and peak memory;
- `python -m vexafile /dev/zero`: refused in time and memory, no traceback;
- `vexafile report` on the 9M file against `vexafile check` on it (at most
  3x), and the size of its page (under 500 KB);
- `check --limits` with every arbitrary-signal rule on the 9M file, kept and
  broken, against `check` without limits (goal: at most 2x), and the same
  two checks in this process on the loaded file, for scale;
- for scale, without goals: `check`, `diff` (equal, one sample changed) and
  `plot` on the 9M file, time and peak memory.

Children are started by a small spawner process forked before anything
large exists here: Linux carries the parent's peak RSS over fork+exec into a
child's ru_maxrss, so children of a large process would report its size.
Each child's peak is its ru_maxrss from wait4 (its VmHWM at exit), so it is
known for a child that was killed too.

Environment: BENCH_READER_ROUNDS (default 5, at least 3).
"""

from __future__ import annotations

import importlib.util
import json
import os
import signal
import subprocess
import sys
import threading
import time

# ------------------------------------------------------------ spawner
# Runs before numpy or pyvexa are imported, while this process is small.


def _rss_kb(pid: int) -> int:
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def _run_one(job: dict) -> dict:
    out = open(job.get("stdout", os.devnull), "wb")
    err_path = job["stderr"]
    err = open(err_path, "wb")
    t0 = time.perf_counter_ns()
    proc = subprocess.Popen(job["argv"], stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                            env=job.get("env"), cwd=job.get("cwd"))
    out.close()
    err.close()
    killed: list[str] = []
    done = threading.Event()

    def watch() -> None:
        # Stop a child that outgrows the caps; checked every 20 ms.
        limit_s, cap_kb = job.get("timeout", 600.0), job.get("rss_cap_mb", 8192) * 1024
        while not done.wait(0.02):
            elapsed = (time.perf_counter_ns() - t0) / 1e9
            rss = _rss_kb(proc.pid)
            if elapsed > limit_s or rss > cap_kb:
                killed.append(f"killed after {elapsed:.1f} s at {rss / 1024:.0f} MB resident")
                os.kill(proc.pid, signal.SIGKILL)
                return

    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    _, status, usage = os.wait4(proc.pid, 0)
    wall = (time.perf_counter_ns() - t0) / 1e9
    done.set()
    watcher.join()
    proc.returncode = os.waitstatus_to_exitcode(status)  # reaped here, not by Popen
    with open(err_path, "rb") as f:
        stderr = f.read(4096).decode("utf-8", "replace")
    os.unlink(err_path)
    return {"wall": wall, "peak_mb": usage.ru_maxrss / 1024, "status": proc.returncode,
            "killed": killed[0] if killed else "", "stderr": stderr}


def _spawner(rfd: int, wfd: int) -> None:
    with os.fdopen(rfd, "r") as jobs, os.fdopen(wfd, "w") as results:
        for line in jobs:
            results.write(json.dumps(_run_one(json.loads(line))) + "\n")
            results.flush()
    os._exit(0)


def _start_spawner():
    to_child_r, to_child_w = os.pipe()
    to_parent_r, to_parent_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(to_child_w)
        os.close(to_parent_r)
        try:
            _spawner(to_child_r, to_parent_w)
        finally:
            os._exit(1)
    os.close(to_child_r)
    os.close(to_parent_w)
    return os.fdopen(to_child_w, "w"), os.fdopen(to_parent_r, "r")


_JOBS, _RESULTS = _start_spawner()

# ------------------------------------------------------------ the rest

import gc  # noqa: E402
import hashlib  # noqa: E402
import platform  # noqa: E402
import shutil  # noqa: E402
import statistics  # noqa: E402
import tempfile  # noqa: E402
from pathlib import Path  # noqa: E402

from _table import print_table  # noqa: E402

import numpy as np  # noqa: E402

import pyvexa  # noqa: E402
import vexafile  # noqa: E402

HERE = Path(__file__).resolve().parent
N = 9_000_000
N_MIXED = 2_000_000
ROUNDS = max(3, int(os.environ.get("BENCH_READER_ROUNDS", "5")))
PY = sys.executable
ns = time.perf_counter_ns


def spawn(argv: list[str], tmp: str, **job) -> dict:
    # In tmp, so that `-m vexafile` finds the installed package, not a
    # source tree in the current directory.
    job.update(argv=argv, stderr=os.path.join(tmp, "child.err"), cwd=tmp)
    _JOBS.write(json.dumps(job) + "\n")
    _JOBS.flush()
    return json.loads(_RESULTS.readline())


def protocol_9m() -> pyvexa.Protocol:
    # The input of bench/run.py: about 75% of the samples take 3 bytes
    # (save_with_one_sample_changed makes its twin).
    p = pyvexa.Protocol()
    p.set_session_duration(1800.0)
    p.add_arbitrary_signal(np.random.default_rng(0).random(N))
    return p


def protocol_mixed() -> pyvexa.Protocol:
    # Indices between 2^20 and 2^21 take 3 bytes each: 7 bytes a signal.
    p = pyvexa.Protocol()
    add = p.add_mixed_signal
    base = 1 << 20
    for i in range(N_MIXED):
        add(base + i % base, base + (i * 7) % base)
    return p


def cli_digest(args: list[str], tmp: str) -> tuple[str, int, str]:
    """sha256 of the CLI's standard output, read as it comes."""
    proc = subprocess.Popen([PY, "-m", "vexafile", *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, cwd=tmp)
    h = hashlib.sha256()
    assert proc.stdout is not None and proc.stderr is not None
    while chunk := proc.stdout.read(1 << 20):
        h.update(chunk)
    err = proc.stderr.read().decode("utf-8", "replace")
    return h.hexdigest(), proc.wait(), err


def verify(cases: dict[str, tuple[pyvexa.Protocol, str]], tmp: str) -> None:
    """The reader's text must be str(p) byte for byte before anything is timed."""
    for name, (p, path) in cases.items():
        text = str(p).encode()
        want = hashlib.sha256(text + b"\n").hexdigest()
        del text
        got, status, err = cli_digest([path], tmp)
        if (got, status) != (want, 0):
            raise SystemExit(f"verify {name}: CLI text differs from str(p) (exit {status}): {err[:500]}")
        status_json = cli_digest([path, "--json"], tmp)[1]
        if status_json != 0:
            raise SystemExit(f"verify {name}: --json exited {status_json}")
    p9, path9 = cases["9M"]
    loaded = vexafile.load(path9)
    samples = np.asarray(loaded.signals[0].params.samples)
    if samples.dtype != np.int16 or len(samples) != N:
        raise SystemExit(f"verify: load gave {samples.dtype} x {len(samples)}")
    del loaded, samples


def save_with_one_sample_changed(out: str) -> None:
    samples = np.random.default_rng(0).random(N)
    samples[N // 2] = 1.0 - samples[N // 2]
    p = pyvexa.Protocol()
    p.set_session_duration(1800.0)
    p.add_arbitrary_signal(samples)
    p.save(out)


TIMES: dict[str, list[float]] = {}
PEAKS: dict[str, list[float]] = {}
OUTPUT_SIZES: dict[str, int] = {}


def record(name: str, seconds: float, peak_mb: float | None = None) -> None:
    TIMES.setdefault(name, []).append(seconds)
    if peak_mb is not None:
        PEAKS.setdefault(name, []).append(peak_mb)


def timed(fn) -> float:
    t0 = ns()
    fn()
    return (ns() - t0) / 1e9


def cli_round(name: str, args: list[str], tmp: str, expect: int = 0) -> None:
    r = spawn([PY, "-m", "vexafile", *args], tmp, timeout=600.0, rss_cap_mb=8192)
    if r["status"] != expect or r["killed"]:
        raise SystemExit(f"{name}: exit {r['status']} {r['killed']}: {r['stderr'][:500]}")
    record(name, r["wall"], r["peak_mb"])


# Every arbitrary-signal rule: at 1.0 each is kept and scans the whole
# signal; the broken ones stop at the first sample that breaks them.
LIMITS = {
    "kept": "[arbitrary]\nfraction_max = 1.0\nstep_max = 1.0\nfirst_max = 1.0\nlast_max = 1.0\n",
    "broken": "[arbitrary]\nfraction_max = 0.99\nstep_max = 0.9\nfirst_max = 0.0\nlast_max = 0.0\n",
}


def write_limits(tmp: str) -> dict[str, str]:
    paths = {}
    for name, text in LIMITS.items():
        paths[name] = os.path.join(tmp, f"{name}.toml")
        with open(paths[name], "w") as f:
            f.write(text)
    return paths


def run_rounds(p9: pyvexa.Protocol, path9: str, pm: pyvexa.Protocol, pathm: str, changed9: str,
               tmp: str) -> None:
    save_path = os.path.join(tmp, "save.vexa")
    p9.save(save_path)
    vexafile.load(path9)  # warm-up: imports, page cache
    limits = write_limits(tmp)
    loaded = vexafile.load(path9)
    layered = {name: vexafile.Limits.load(path) for name, path in limits.items()}
    for r in range(ROUNDS):
        print(f"  round {r + 1} of {ROUNDS}", flush=True)
        gc.collect()
        gc.disable()
        try:
            record("Protocol.save, 9M", timed(lambda: p9.save(save_path)))
            record("vexafile.load, 9M", timed(lambda: vexafile.load(path9)))
            gc.collect()
            record("str(p), 9M", timed(lambda: str(p9)))
            record("str(p), 2M mixed", timed(lambda: str(pm)))
            record("check() in process, 9M", timed(lambda: vexafile.check(loaded)))
            for name, lim in layered.items():
                record(f"check(limits={name}) in process, 9M", timed(lambda: vexafile.check(loaded, limits=lim)))
        finally:
            gc.enable()
        start = spawn([PY, "-c", "pass"], tmp)
        record("interpreter start", start["wall"], start["peak_mb"])
        cli_round("python -m vexafile, 9M", [path9], tmp)
        cli_round("python -m vexafile, 2M mixed", [pathm], tmp)
        cli_round("python -m vexafile --json, 9M", [path9, "--json"], tmp)
        for name, args, expect in tool_cases(path9, changed9, limits):
            cli_round(name, args, tmp, expect)
        OUTPUT_SIZES["report"] = os.path.getsize(report_page(path9))


def tool_cases(path9: str, changed9: str, limits: dict[str, str]) -> list[tuple[str, list[str], int]]:
    """The commands that read a whole 9M file and answer briefly."""
    cases = [
        ("vexafile check, 9M", ["check", path9], 0),
        ("vexafile check --limits, every arbitrary rule kept, 9M", ["check", "--limits", limits["kept"], path9], 0),
        ("vexafile check --limits, every arbitrary rule broken, 9M",
         ["check", "--limits", limits["broken"], path9], 1),
        ("vexafile diff, 9M against itself", ["diff", path9, path9], 0),
        ("vexafile diff, 9M, one sample changed", ["diff", path9, changed9], 1),
        ("vexafile report, 9M", ["report", path9, "-o", report_page(path9)], 0),
    ]
    if importlib.util.find_spec("matplotlib") is not None:
        cases.append(("vexafile plot, 9M", ["plot", path9, os.path.join(os.path.dirname(path9), "p.png")], 0))
    return cases


def report_page(path9: str) -> str:
    return os.path.join(os.path.dirname(path9), "report.html")


def dev_zero(tmp: str) -> dict:
    # Caps far above the goals, so that the old reader's growth shows.
    return spawn([PY, "-m", "vexafile", "/dev/zero"], tmp, timeout=10.0, rss_cap_mb=2048)


def paired(a: list[float], b: list[float]) -> tuple[float, float, float]:
    r = [x / y for x, y in zip(a, b)]
    return statistics.median(r), min(r), max(r)


def report(sizes: dict[str, int], zero: dict, elapsed: float) -> None:
    print()
    print("| case | rounds | median | min - max | peak memory (median) |")
    print("|---|---:|---:|---:|---:|")
    for k, v in TIMES.items():
        peak = f"{statistics.median(PEAKS[k]):.0f} MiB" if k in PEAKS else ""
        print(f"| {k} | {len(v)} | {statistics.median(v):.3f} s | {min(v):.3f} - {max(v):.3f} s | {peak} |")

    rows: list[tuple[str, str, str, str]] = []

    def status(ok: bool) -> str:
        return "met" if ok else "MISSED"

    m, lo, hi = paired(TIMES["vexafile.load, 9M"], TIMES["Protocol.save, 9M"])
    rows.append((f"vexafile.load / Protocol.save, 9M samples ({sizes['9M'] / 1e6:.1f} MB), NumPy imported",
                 f"{m:.1f}x ({lo:.1f} - {hi:.1f})", "<= 5x", status(m <= 5)))

    start = TIMES["interpreter start"]
    for label, key, strp, size, goal in (
        ("9M samples", "python -m vexafile, 9M", "str(p), 9M", sizes["9M"], 2),
        ("2M mixed signals", "python -m vexafile, 2M mixed", "str(p), 2M mixed", sizes["mixed"], 10),
    ):
        anchor = [a + b for a, b in zip(TIMES[strp], start)]
        m, lo, hi = paired(TIMES[key], anchor)
        rows.append((f"`python -m vexafile FILE` / (str(p) + interpreter start), {label} ({size / 1e6:.1f} MB)",
                     f"{m:.1f}x ({lo:.1f} - {hi:.1f})", f"<= {goal}x", status(m <= goal)))
        bound = 4 * size / 2**20 + 100
        peak = max(PEAKS[key])
        rows.append((f"  peak memory, {label}", f"{peak:.0f} MiB", f"<= {bound:.0f} MiB (4x file + 100 MiB)",
                     status(peak <= bound)))

    key = "python -m vexafile --json, 9M"
    bound = 4 * sizes["9M"] / 2**20 + 100
    peak = max(PEAKS[key])
    anchor = [a + b for a, b in zip(TIMES["str(p), 9M"], start)]
    m, lo, hi = paired(TIMES[key], anchor)
    rows.append(("`--json` on the 9M file: time", f"{statistics.median(TIMES[key]):.2f} s "
                 f"({m:.1f}x str(p) + start)", "", ""))
    rows.append(("  peak memory", f"{peak:.0f} MiB", f"<= {bound:.0f} MiB, as for the text", status(peak <= bound)))

    m, lo, hi = paired(TIMES["vexafile report, 9M"], TIMES["vexafile check, 9M"])
    rows.append(("`vexafile report` / `vexafile check`, 9M samples", f"{m:.1f}x ({lo:.1f} - {hi:.1f})", "<= 3x",
                 status(m <= 3)))
    size = OUTPUT_SIZES["report"]
    rows.append(("  its page", f"{size / 1000:.0f} KB", "< 500 KB", status(size < 500_000)))
    for name in LIMITS:
        m, lo, hi = paired(TIMES[f"vexafile check --limits, every arbitrary rule {name}, 9M"],
                           TIMES["vexafile check, 9M"])
        rows.append((f"`check --limits` (every arbitrary rule {name}) / `check`, 9M samples",
                     f"{m:.2f}x ({lo:.2f} - {hi:.2f})", "<= 2x", status(m <= 2)))
        m, lo, hi = paired(TIMES[f"check(limits={name}) in process, 9M"], TIMES["check() in process, 9M"])
        rows.append(("  in this process: check(limits) / check(), on the loaded file",
                     f"{m:.1f}x ({lo:.1f} - {hi:.1f}); "
                     f"{statistics.median(TIMES[f'check(limits={name}) in process, 9M']) * 1e3:.1f} ms", "", ""))

    for key in TIMES:
        if key.startswith("vexafile "):
            rows.append((f"`{key}`", f"{statistics.median(TIMES[key]):.2f} s, peak {max(PEAKS[key]):.0f} MiB",
                         "(no goal; for scale)", ""))

    traceback = "Traceback" in zero["stderr"]
    refused = not zero["killed"] and zero["status"] not in (0, None)
    outcome = (f"{zero['killed']}" if zero["killed"] else f"exit {zero['status']} after {zero['wall']:.2f} s")
    ok = refused and zero["wall"] <= 5 and zero["peak_mb"] <= 200 and not traceback
    rows.append(("`python -m vexafile /dev/zero`",
                 f"{outcome}, peak {zero['peak_mb']:.0f} MiB, {'traceback' if traceback else 'no traceback'}",
                 "refused within 5 s, < 200 MB, no traceback", status(ok)))
    last = zero["stderr"].strip().splitlines()[-1:] or [""]
    rows.append(("  its last line on standard error", last[0][:120], "", ""))

    print()
    print_table(("case", "measured", "goal", "status"), "lrll", rows)
    print()
    print(f"total {elapsed:.0f} s; load average at end {os.getloadavg()[0]:.2f}")


def main() -> None:
    t_start = time.monotonic()
    print(f"vexafile reader benchmark: python {platform.python_version()}, numpy {np.__version__}, "
          f"{os.cpu_count()} CPUs, {ROUNDS} rounds, load average at start {os.getloadavg()[0]:.2f}")
    os.makedirs(HERE.parent / "build" / "bench", exist_ok=True)
    tmp = tempfile.mkdtemp(prefix="reader-", dir=str(HERE.parent / "build" / "bench"))
    try:
        zero = dev_zero(tmp)  # first: it needs nothing of the rest
        print("  building the protocols", flush=True)
        p9 = protocol_9m()
        pm = protocol_mixed()
        path9 = os.path.join(tmp, "samples9m.vexa")
        pathm = os.path.join(tmp, "mixed2m.vexa")
        p9.save(path9)
        pm.save(pathm)
        sizes = {"9M": os.path.getsize(path9), "mixed": os.path.getsize(pathm)}
        print("  verifying the reader's output", flush=True)
        verify({"9M": (p9, path9), "2M mixed": (pm, pathm)}, tmp)
        changed9 = os.path.join(tmp, "samples9m-changed.vexa")
        save_with_one_sample_changed(changed9)
        run_rounds(p9, path9, pm, pathm, changed9, tmp)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    report(sizes, zero, time.monotonic() - t_start)


if __name__ == "__main__":
    main()
