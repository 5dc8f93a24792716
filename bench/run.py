"""Benchmark of pyvexa: sample conversion, save, call overhead, peak memory.

Run with `make bench` (or `.venv/bin/python bench/run.py` after
`make install`). Everything runs in one process except the peak-memory
probes, which each need a fresh process for ru_maxrss to mean anything.
Cases that are compared with each other run in the same group, interleaved
round by round (A B C A B C ...), and ratios are taken per round, so slow
drift or a burst of outside load hits both sides of a ratio alike.

Environment: BENCH_ROUNDS (default 15, at least 11) for the 9M cases,
BENCH_SMALL_ROUNDS (default 21) for the call-overhead cases, BENCH_SAVE_2GB=1
to add the memory figure of saving about 2.2 GB (see memory.py).
"""

from __future__ import annotations

import contextlib
import gc
import json
import os
import platform
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from typing import Any
from pathlib import Path

import numpy as np

import pyvexa

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import _build  # noqa: E402
import memory  # noqa: E402
from _table import print_table  # noqa: E402

F = _build.load()

N = 9_000_000
DURATION = 1800.0
SMALL_DURATION = 0.01  # the shortest session the module admits: 50 samples
BLOCK = 65536  # chunk size of the chunked NumPy references (512 KB of float64)
KEEP_ALIVE = 8  # protocols kept alive in the fresh-memory case (8 x 18 MB)
CACHE_ENTRIES = 4  # most freed mappings the module keeps for reuse
ROUNDS = max(11, int(os.environ.get("BENCH_ROUNDS", "15")))
SMALL_ROUNDS = max(11, int(os.environ.get("BENCH_SMALL_ROUNDS", "21")))

ns = time.perf_counter_ns


# ---------------------------------------------------------------- helpers


class SampleError(Exception):
    """The reference's counterpart of the module's PanicException."""


MSG_LOW = "assertion failed: *sample >= 0.0"
MSG_HIGH = "assertion failed: *sample <= 1.0"


def minflt() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


@contextlib.contextmanager
def quiet_stderr() -> Iterator[None]:
    # The module prints each panic to fd 2; keep the report readable.
    sys.stderr.flush()
    saved = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)
    os.close(devnull)
    try:
        yield
    finally:
        sys.stderr.flush()
        os.dup2(saved, 2)
        os.close(saved)


def new_protocol(duration: float = DURATION) -> pyvexa.Protocol:
    p = pyvexa.Protocol()
    p.set_session_duration(duration)
    return p


def leb128(v: int) -> bytes:
    out = bytearray()
    while v >= 0x80:
        out.append((v & 0x7F) | 0x80)
        v >>= 7
    out.append(v)
    return bytes(out)


# ------------------------------------------------------ NumPy references


def _raise_first_bad(x: np.ndarray, ok: np.ndarray) -> None:
    i = int(np.argmin(ok))
    v = x[i]
    raise SampleError(MSG_LOW if not v >= 0.0 else MSG_HIGH) from None


def convert_plain(x: np.ndarray) -> np.ndarray:
    ok = (x >= 0.0) & (x <= 1.0)  # NaN fails both
    if not ok.all():
        _raise_first_bad(x, ok)
    y = x * 32767.0
    t = np.trunc(y)
    # y >= 0, so y - t is exact and halves go up, i.e. away from zero
    return (t + (y - t >= 0.5)).astype(np.int16)


def convert_chunked(x: np.ndarray) -> np.ndarray:
    n = x.shape[0]
    out = np.empty(n, np.int16)
    y = np.empty(BLOCK)
    t = np.empty(BLOCK)
    m = np.empty(BLOCK, np.bool_)
    m2 = np.empty(BLOCK, np.bool_)
    for s in range(0, n, BLOCK):
        xb = x[s : s + BLOCK]
        k = xb.shape[0]
        yb, tb, mb, mb2 = y[:k], t[:k], m[:k], m2[:k]
        np.greater_equal(xb, 0.0, out=mb)
        np.less_equal(xb, 1.0, out=mb2)
        np.logical_and(mb, mb2, out=mb)
        if not mb.all():
            _raise_first_bad(xb, mb)
        np.multiply(xb, 32767.0, out=yb)
        np.trunc(yb, out=tb)
        np.subtract(yb, tb, out=yb)
        np.greater_equal(yb, 0.5, out=mb)
        np.add(tb, mb, out=tb)
        np.copyto(out[s : s + k], tb, casting="unsafe")
    return out


def _zigzag(s: np.ndarray) -> np.ndarray:
    s32 = s.astype(np.int32)
    return ((s32 << 1) ^ (s32 >> 15)) & 0xFFFF


def encode_plain(s: np.ndarray) -> np.ndarray:
    z = _zigzag(s)
    c1 = z >= 0x80
    c2 = z >= 0x4000
    ln = c1.astype(np.uint8)
    ln += 1
    ln += c2
    ends = np.cumsum(ln, dtype=np.int64)
    starts = ends - ln
    out = np.empty(int(ends[-1]) if len(ends) else 0, np.uint8)
    out[starts] = np.where(c1, (z & 0x7F) | 0x80, z)
    i2 = starts[c1] + 1
    z1 = z[c1]
    out[i2] = np.where(z1 >= 0x4000, ((z1 >> 7) & 0x7F) | 0x80, z1 >> 7)
    out[starts[c2] + 2] = z[c2] >> 14
    return out


def encode_chunked(s: np.ndarray) -> np.ndarray:
    out = np.empty(3 * s.shape[0], np.uint8)
    pos = 0
    for b in range(0, s.shape[0], BLOCK):
        z = _zigzag(s[b : b + BLOCK])
        c1 = z >= 0x80
        c2 = z >= 0x4000
        ln = c1.astype(np.int64)
        ln += 1
        ln += c2
        ends = np.cumsum(ln)
        starts = ends - ln
        starts += pos
        out[starts] = np.where(c1, (z & 0x7F) | 0x80, z)
        z1 = z[c1]
        out[starts[c1] + 1] = np.where(z1 >= 0x4000, ((z1 >> 7) & 0x7F) | 0x80, z1 >> 7)
        out[starts[c2] + 2] = z[c2] >> 14
        pos += int(ends[-1])
    return out[:pos]


def write_bytes(path: str, data: np.ndarray) -> None:
    with open(path, "wb") as f:
        f.write(data.data)


# ------------------------------------------------------------ the harness

Runner = Callable[[], float]  # one timed operation; returns ns per call
TIMES: dict[str, list[float]] = {}
FAULTS: dict[str, list[int]] = {}
NOTES: dict[str, str] = {}


def run_group(title: str, cases: dict[str, Runner], rounds: int) -> None:
    print(f"  {title}: {len(cases)} cases x {rounds} rounds", flush=True)
    for r in cases.values():  # warm-up, once per case
        r()
    res: dict[str, list[float]] = {k: [] for k in cases}
    gc.collect()
    gc.disable()
    try:
        for _ in range(rounds):
            for k, r in cases.items():
                res[k].append(r())
    finally:
        gc.enable()
    TIMES.update(res)


def timed(fn: Callable[[], object], name: str | None = None) -> int:
    f0 = minflt()
    t0 = ns()
    fn()
    t1 = ns()
    if name is not None:
        FAULTS.setdefault(name, []).append(minflt() - f0)
    return t1 - t0


def batch_runner(f: Callable[[Any], object], arg: Any, reps: int) -> Runner:
    # ten calls per loop iteration so the loop itself is a small share
    def run() -> float:
        it = range(reps)
        t0 = ns()
        for _ in it:
            f(arg); f(arg); f(arg); f(arg); f(arg)  # noqa: E702
            f(arg); f(arg); f(arg); f(arg); f(arg)  # noqa: E702
        return (ns() - t0) / (reps * 10)

    return run


# ------------------------------------------------------------ verification


def saved_samples(p: pyvexa.Protocol, n: int, tmp: str) -> bytes:
    """Samples bytes of p's single Arbitrary signal of n samples, as saved."""
    duration = n / 5000.0
    pa = os.path.join(tmp, "verify_a.vexa")
    pq = os.path.join(tmp, "verify_q.vexa")
    p.save(pa)
    q = new_protocol(duration)
    q.add_constant_signal(0.0)
    q.save(pq)
    a = Path(pa).read_bytes()
    b = Path(pq).read_bytes()
    L = 0
    while L < min(len(a), len(b)) and a[L] == b[L]:
        L += 1
    # the signal count byte is shared; then variant 4 vs variant 0
    assert b[L - 1] == 1 and a[L] == 4 and b[L] == 0, "unexpected file layout"
    suffix = b[L + 9 :]
    head = leb128(n)
    assert a[L + 1 : L + 1 + len(head)] == head, "sample count mismatch"
    assert a.endswith(suffix), "suffix mismatch"
    return a[L + 1 + len(head) : len(a) - len(suffix)]


def module_message(x: np.ndarray, duration: float) -> str | None:
    p = new_protocol(duration)
    try:
        p.add_arbitrary_signal(x)
    except BaseException as e:  # PanicException derives from BaseException
        if type(e).__name__ != "PanicException":
            raise
        return str(e)
    return None


def reference_message(fn: Callable[[np.ndarray], object], x: np.ndarray) -> str | None:
    try:
        fn(x)
    except SampleError as e:
        return str(e)
    return None


def verify(arrays: dict[str, np.ndarray], bad9m: np.ndarray, s16: np.ndarray, tmp: str) -> int:
    """Checks the references and the C floor against the module; returns the
    encoded size of the samples of the contiguous case."""
    # small arrays: rounding edges and first-bad-sample order
    n50 = new_protocol(SMALL_DURATION).get_num_samples()
    rng = np.random.default_rng(7)
    edge = rng.random(n50)
    halves = (np.arange(20) + 0.5) / 32767.0  # products land on or next to k + 0.5
    vals = [0.0, 1.0, 0.5, 0.25, 0.1, 1 / 3, -0.0, np.nextafter(0.5, 0), np.nextafter(1.0, 0)]
    edge[: len(vals)] = vals
    edge[len(vals) : len(vals) + 20] = halves
    small = {"edges": edge}
    for name, x in list(small.items()) + list(arrays.items()):
        ref = convert_plain(x)
        assert np.array_equal(ref, convert_chunked(x)), f"chunked conversion differs: {name}"
        enc = encode_plain(ref)
        assert np.array_equal(enc, encode_chunked(ref)), f"chunked encoding differs: {name}"
        p = new_protocol(x.shape[0] / 5000.0)
        assert p.get_num_samples() == x.shape[0]
        p.add_arbitrary_signal(x)
        got = saved_samples(p, x.shape[0], tmp)
        assert got == enc.tobytes(), f"module samples differ from the reference: {name}"
        del p
    expected = [0, 32767, 16384, 8192, 3277, 10922, 0, 16383, 32767]
    assert convert_plain(edge)[: len(vals)].tolist() == expected

    bads: list[tuple[str, np.ndarray, float]] = []
    for i_nan, i_big in ((10, 3), (3, 10)):
        b = np.full(n50, 0.5)
        b[i_nan], b[i_big] = np.nan, 2.0
        bads.append((f"nan@{i_nan},2.0@{i_big}", b, SMALL_DURATION))
    for v in (-1.0, -np.inf, np.inf, 1.0000000000000002, -1e-300):
        b = np.full(n50, 0.5)
        b[-1] = v
        bads.append((f"{v}@end", b, SMALL_DURATION))
    bads.append(("9M bad at end", bad9m, DURATION))
    with quiet_stderr():
        for name, b, d in bads:
            want = module_message(b, d)
            assert want in (MSG_LOW, MSG_HIGH), (name, want)
            assert reference_message(convert_plain, b) == want, f"plain reject differs: {name}"
            assert reference_message(convert_chunked, b) == want, f"chunked reject differs: {name}"

    enc = encode_plain(s16)
    F.encode(s16)
    assert F.encoded_bytes() == enc.tobytes(), "C floor encoding differs"
    return int(enc.shape[0])


# ------------------------------------------------------------ peak memory

PEAK_CHILD = r"""
import json, resource, sys
import numpy as np
import pyvexa
mode, path = sys.argv[1], sys.argv[2]
def status_kb(key):
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1])
def maxrss_kb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
p = pyvexa.Protocol()
p.set_session_duration(1800.0)
x = np.random.default_rng(1).random(p.get_num_samples())
if mode == "save":
    p.add_arbitrary_signal(x)
base = {"rss": status_kb("VmRSS:"), "max": maxrss_kb(), "hwm": status_kb("VmHWM:")}
if mode in ("add", "add+save"):
    p.add_arbitrary_signal(x)
if mode in ("save", "add+save"):
    p.save(path)
print(json.dumps({"base": base, "max": maxrss_kb(), "hwm": status_kb("VmHWM:")}))
"""


def peak_memory(tmp: str) -> dict[str, float]:
    """Peak RSS growth in MB per mode, from ru_maxrss in a fresh child."""
    out: dict[str, float] = {}
    for mode in ("add", "save", "add+save"):
        path = os.path.join(tmp, f"peak_{mode.replace('+', '_')}.vexa")
        r = subprocess.run(
            [sys.executable, "-c", PEAK_CHILD, mode, path],
            check=True, capture_output=True, text=True,
        )
        d = json.loads(r.stdout)
        b = d["base"]
        # the baseline must be the current peak, or growth would be hidden
        if b["max"] - b["rss"] > 1024:
            NOTES[f"peak {mode}"] = f"baseline ru_maxrss {b['max']} kB > RSS {b['rss']} kB"
        grow_max = d["max"] - b["rss"]
        grow_hwm = d["hwm"] - b["rss"]
        if abs(grow_max - grow_hwm) > 1024:
            NOTES[f"peak {mode}"] = f"ru_maxrss growth {grow_max} kB vs VmHWM growth {grow_hwm} kB"
        out[mode] = grow_max * 1024 / 1e6
    return out


# ------------------------------------------------------------ load probe


def cpu_busy_ticks() -> int:
    with open("/proc/stat") as f:
        v = [int(t) for t in f.readline().split()[1:]]
    # user nice system idle iowait irq softirq steal
    return v[0] + v[1] + v[2] + v[5] + v[6] + v[7]


def own_cpu_seconds() -> float:
    a = resource.getrusage(resource.RUSAGE_SELF)
    b = resource.getrusage(resource.RUSAGE_CHILDREN)
    return a.ru_utime + a.ru_stime + b.ru_utime + b.ru_stime


# ------------------------------------------------------------ main


def main() -> None:
    t_start = time.monotonic()
    busy0, own0 = cpu_busy_ticks(), own_cpu_seconds()
    print(f"pyvexa benchmark: python {platform.python_version()}, numpy {np.__version__}, "
          f"{os.cpu_count()} CPUs, AVX2 floor kernels: {F.avx2_used()}, "
          f"load average at start {os.getloadavg()[0]:.2f}")
    os.makedirs(str(HERE.parent / "build" / "bench"), exist_ok=True)
    tmp = tempfile.mkdtemp(prefix="run-", dir=str(HERE.parent / "build" / "bench"))
    try:
        # first, while this process is small: Linux carries the parent's peak
        # RSS over fork+exec into the child's ru_maxrss
        peaks = peak_memory(tmp)
        print("  memory figures (a child process each)", flush=True)
        memory_rows = memory.measure(tmp)
        run_all(tmp)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    elapsed = time.monotonic() - t_start
    other = ((cpu_busy_ticks() - busy0) / os.sysconf("SC_CLK_TCK") - (own_cpu_seconds() - own0)) / elapsed
    report(peaks, memory_rows, elapsed, max(other, 0.0))


SIZES: dict[str, int] = {}


def prewarm() -> None:
    # On this VM the first touch of a guest page is slow (the host backs it
    # lazily; 2 MB faults took 5-10x longer cold). Touch and free more than
    # the benchmark keeps alive at once, so the cases meet warm pages.
    keep = [F.write_fresh(N, True) for _ in range(3 * KEEP_ALIVE + 10)]
    keep += [F.write_fresh(N, False) for _ in range(KEEP_ALIVE + 2)]
    del keep


def run_all(tmp: str) -> None:
    print("  pre-warming memory", flush=True)
    prewarm()
    rng = np.random.default_rng(0)
    x = rng.random(N)
    wide = rng.random(2 * N)
    views = {
        "contiguous": x,
        "stride-2": wide[::2],
        "reversed": x[::-1],
        "broadcast": np.broadcast_to(np.float64(0.3), (N,)),
    }
    bad = x.copy()
    bad[-1] = 1.5
    s16 = convert_plain(x)

    print("  verifying references and the C floor against the module", flush=True)
    SIZES["encoded"] = verify(views, bad, s16, tmp)
    SIZES["samples"] = N * 2

    # -- conversion, steady state (each result freed after its call)
    def module_add(a: np.ndarray) -> Runner:
        def run() -> int:
            p = new_protocol()
            return timed(lambda: p.add_arbitrary_signal(a))

        return run

    def module_reject() -> int:
        p = new_protocol()
        t0 = ns()
        try:
            p.add_arbitrary_signal(bad)
        except BaseException:
            pass
        return ns() - t0

    def ref_reject(fn: Callable[[np.ndarray], object]) -> Runner:
        def run() -> int:
            t0 = ns()
            try:
                fn(bad)
            except SampleError:
                pass
            return ns() - t0

        return run

    conv: dict[str, Runner] = {
        "read floor contiguous": lambda: timed(lambda: F.read_sum(x)),
        "write floor (reused buffer)": lambda: timed(lambda: F.write_reused(N)),
        "copy floor (AVX2, no checks)": lambda: timed(lambda: F.convert_floor(x)),
    }
    def call(fn: Callable[[np.ndarray], object], a: np.ndarray) -> Runner:
        return lambda: timed(lambda: fn(a))

    for v, a in views.items():
        conv[f"module {v}"] = module_add(a)
        conv[f"numpy plain {v}"] = call(convert_plain, a)
        conv[f"numpy chunked {v}"] = call(convert_chunked, a)
        if v != "contiguous":
            conv[f"read floor {v}"] = call(F.read_sum, a)
    conv["module reject (bad at end)"] = module_reject
    conv["numpy plain reject"] = ref_reject(convert_plain)
    conv["numpy chunked reject"] = ref_reject(convert_chunked)
    with quiet_stderr():
        run_group("conversion of 9M samples", conv, ROUNDS)

    # -- fresh memory (results kept alive) vs steady state (freed)
    alive: list[object] = []
    alive_4k: list[object] = []
    alive_2m: list[object] = []

    flat = np.broadcast_to(np.float64(0.3), (N,))  # the cheapest 9M conversion

    def module_fresh() -> int:
        if len(alive) >= KEEP_ALIVE:
            alive.clear()
        # The module keeps up to 64 MiB of freed sample buffers for reuse
        # (one is freed by "steady" every round). Hold them all, outside the
        # timing, so that this call really gets new memory.
        drain = [new_protocol() for _ in range(CACHE_ENTRIES)]
        for d in drain:
            d.add_arbitrary_signal(flat)
        p = new_protocol()
        alive.append(p)
        t = timed(lambda: p.add_arbitrary_signal(x), "module fresh (kept alive)")
        del drain
        return t

    def module_steady() -> int:
        p = new_protocol()
        return timed(lambda: p.add_arbitrary_signal(x), "module steady (freed)")

    def floor_fresh(keep: list[object], huge: bool, name: str) -> Runner:
        def run() -> int:
            if len(keep) >= KEEP_ALIVE:
                keep.clear()
            box: list[object] = []
            t = timed(lambda: box.append(F.write_fresh(N, huge)), name)
            keep.extend(box)
            return t

        return run

    fresh_cases: dict[str, Runner] = {
        "module fresh (kept alive)": module_fresh,
        "module steady (freed)": module_steady,
        "write floor fresh, 4 KB pages (kept alive)": floor_fresh(alive_4k, False, "write floor fresh, 4 KB pages (kept alive)"),
        "write floor fresh, 2 MB pages (kept alive)": floor_fresh(alive_2m, True, "write floor fresh, 2 MB pages (kept alive)"),
        "write floor, reused buffer": lambda: timed(lambda: F.write_reused(N), "write floor, reused buffer"),
    }
    run_group("fresh vs steady memory", fresh_cases, max(ROUNDS, 21))
    alive.clear()
    alive_4k.clear()
    alive_2m.clear()
    gc.collect()

    # -- save
    ps = new_protocol()
    ps.add_arbitrary_signal(x)
    path = {k: os.path.join(tmp, f"{k}.vexa") for k in ("mod_new", "mod_old", "c_new", "c_old",
                                                         "w_new", "w_old", "np_new", "npp_new")}
    null = os.path.join(tmp, "null.vexa")
    os.symlink(os.devnull, null)
    F.encode(s16)
    enc_c = encode_chunked(s16)
    SIZES["file"] = 0

    def fresh_file(k: str, fn: Callable[[], object]) -> Runner:
        def run() -> int:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path[k])
            return timed(fn)

        return run

    def np_save(enc: Callable[[np.ndarray], np.ndarray], k: str) -> Callable[[], None]:
        return lambda: write_bytes(path[k], enc(s16))

    save_cases: dict[str, Runner] = {
        "module save, new file": fresh_file("mod_new", lambda: ps.save(path["mod_new"])),
        "module save, existing file": lambda: timed(lambda: ps.save(path["mod_old"])),
        "module save, /dev/null": lambda: timed(lambda: ps.save(null)),
        "C pipeline, new file": fresh_file("c_new", lambda: F.save_pipeline(s16, path["c_new"])),
        "C pipeline, existing file": lambda: timed(lambda: F.save_pipeline(s16, path["c_old"])),
        "C encode only": lambda: timed(lambda: F.encode(s16)),
        "C write only, new file": fresh_file("w_new", lambda: F.write_file(path["w_new"])),
        "C write only, existing file": lambda: timed(lambda: F.write_file(path["w_old"])),
        "numpy chunked encode + write, new file": fresh_file("np_new", np_save(encode_chunked, "np_new")),
        "numpy plain encode + write, new file": fresh_file("npp_new", np_save(encode_plain, "npp_new")),
    }
    run_group("save of one 9M-sample signal", save_cases, ROUNDS)
    SIZES["file"] = os.path.getsize(path["mod_new"])
    assert Path(path["np_new"]).read_bytes() == enc_c.tobytes()
    del ps, enc_c

    # -- call overhead
    p_set = new_protocol()
    a50 = np.random.default_rng(3).random(new_protocol(SMALL_DURATION).get_num_samples())
    a16 = a50[:16].copy()
    p_small: list[pyvexa.Protocol] = []

    def small_add(reps: int) -> Runner:
        def run() -> float:
            p = new_protocol(SMALL_DURATION)  # a fresh list of signals each round
            p_small[:] = [p]
            return batch_runner(p.add_arbitrary_signal, a50, reps)()

        return run

    default = pyvexa.Protocol()
    setter = F.Setter()
    check_setter_floor(setter)
    run_group("call overhead", {
        "bare METH_O C call": batch_runner(F.bare, 0.5, 2000),
        "setter floor (C)": batch_runner(setter.set, 0.5, 2000),
        "set_stimulation_intensity(0.5)": batch_runner(p_set.set_stimulation_intensity, 0.5, 2000),
        "buffer method, 16 elements": batch_runner(F.buf_method, a16, 2000),
        "buffer method + registry lock, 16 elements": batch_runner(F.buf_method_locked, a16, 2000),
        "buffer method + registry lock, 50 elements": batch_runner(F.buf_method_locked, a50, 2000),
        "add_arbitrary_signal, 50 samples": small_add(500),
        "str(Protocol())": batch_runner(str, default, 30),
    }, SMALL_ROUNDS)
    p_small.clear()


def check_setter_floor(setter: Any) -> None:
    """The setter anchor does its work: by position or keyword, refusing others."""
    setter.set(0.25)
    assert setter.get() == 0.25
    setter.set(intensity=0.5)
    assert setter.get() == 0.5
    for bad in ({"other": 0.5}, {}):
        try:
            setter.set(**bad)
        except TypeError:
            continue
        raise AssertionError(f"setter floor accepted {bad}")


# ------------------------------------------------------------ report


def med(name: str) -> float:
    return statistics.median(TIMES[name])


def paired(a: str, b: str) -> list[float]:
    return [x / y for x, y in zip(TIMES[a], TIMES[b])]


def fmt_t(v: float) -> str:
    if v >= 1e6:
        return f"{v / 1e6:.2f} ms"
    if v >= 1e3:
        return f"{v / 1e3:.2f} us"
    return f"{v:.1f} ns"


def report(peaks: dict[str, float], memory_rows: list[tuple[str, str, str, str]], elapsed: float,
           other: float) -> None:
    print()
    print("Cases (median and min-max over rounds; per call):")
    print()
    print("| case | rounds | median | min - max | minor faults/call |")
    print("|---|---:|---:|---:|---:|")
    for k, tv in TIMES.items():
        fl = FAULTS.get(k)
        fs = f"{statistics.median(fl[1:]):.0f}" if fl and len(fl) > 1 else ""
        print(f"| {k} | {len(tv)} | {fmt_t(statistics.median(tv))} | {fmt_t(min(tv))} - {fmt_t(max(tv))} | {fs} |")

    rows: list[tuple[str, str, str, str]] = []

    def ratio(label: str, a: str, b: str, target: float | None = None, le: bool = True) -> None:
        # "le": a/b must stay at or below target; else b/a must reach target
        r = paired(a, b)
        m = statistics.median(r)
        meas = f"{m:.2f}x ({min(r):.2f} - {max(r):.2f})"
        if target is None:
            rows.append((label, meas, "", ""))
        else:
            ok = m <= target if le else m >= target
            rows.append((label, meas, f"{'<=' if le else '>='} {target:g}x", "met" if ok else "MISSED"))

    ratio("(1) module 9M contiguous / read floor", "module contiguous", "read floor contiguous", 1.75)
    ratio("(1) numpy plain / module, contiguous", "numpy plain contiguous", "module contiguous", 10, le=False)
    ratio("(1) numpy chunked / module, contiguous", "numpy chunked contiguous", "module contiguous", 2.5, le=False)
    for v in ("stride-2", "reversed"):
        ratio(f"(2) module {v} / module contiguous", f"module {v}", "module contiguous", 2.2)
        ratio(f"(2) numpy plain / module, {v}", f"numpy plain {v}", f"module {v}", 7, le=False)
    ratio("(3) module fresh (kept alive) / steady", "module fresh (kept alive)", "module steady (freed)", 3.0)

    enc_derived = [(a - b) / N for a, b in zip(TIMES["module save, new file"], TIMES["C write only, new file"])]
    enc_null = [t / N for t in TIMES["module save, /dev/null"]]
    m = statistics.median(enc_derived)
    rows.append(("(4) encode ns/sample = (module save new - C write-only new) / 9M",
                 f"{m:.2f} ns ({min(enc_derived):.2f} - {max(enc_derived):.2f})", "<= 1.0 ns",
                 "met" if m <= 1.0 else "MISSED"))
    rows.append(("(4) cross-check: module save to /dev/null / 9M",
                 f"{statistics.median(enc_null):.2f} ns ({min(enc_null):.2f} - {max(enc_null):.2f})", "", ""))
    ratio("(5) module save / C pipeline, new file", "module save, new file", "C pipeline, new file", 1.3)
    ratio("(5) module save / C pipeline, existing file", "module save, existing file", "C pipeline, existing file", 1.3)
    ratio("(5) numpy chunked encode+write / module save, new file",
          "numpy chunked encode + write, new file", "module save, new file", 6, le=False)
    ratio("(6) set_stimulation_intensity / setter floor", "set_stimulation_intensity(0.5)", "setter floor (C)", 1.5)
    ratio("(6) add_arbitrary_signal(50) / buffer method + registry lock(16)", "add_arbitrary_signal, 50 samples",
          "buffer method + registry lock, 16 elements", 2.0)

    mb_s, mb_e = SIZES["samples"] / 1e6, SIZES["encoded"] / 1e6
    budget = (mb_s + mb_e) * 1.1
    rows.append((f"(7) peak growth, add + save (budget: {mb_s:.1f} MB samples + {mb_e:.1f} MB encoded + 10%)",
                 f"{peaks['add+save']:.1f} MB", f"<= {budget:.1f} MB",
                 "met" if peaks["add+save"] <= budget else "MISSED"))
    rows.append(("(7) peak growth, add_arbitrary_signal alone", f"{peaks['add']:.1f} MB",
                 f"(samples {mb_s:.1f} MB + 10% = {mb_s * 1.1:.1f})", ""))
    rows.append(("(7) peak growth, save alone", f"{peaks['save']:.1f} MB",
                 f"(encoded {mb_e:.1f} MB + 10% = {mb_e * 1.1:.1f})", ""))

    # context rows, no target
    ratio("module contiguous / copy floor (read+convert+write, no checks)", "module contiguous",
          "copy floor (AVX2, no checks)")
    ratio("write floor (reused buffer) / read floor", "write floor (reused buffer)", "read floor contiguous")
    ratio("module broadcast / module contiguous", "module broadcast", "module contiguous")
    ratio("numpy plain / module, broadcast", "numpy plain broadcast", "module broadcast", le=False)
    ratio("numpy chunked / module, stride-2", "numpy chunked stride-2", "module stride-2", le=False)
    ratio("numpy chunked / module, reversed", "numpy chunked reversed", "module reversed", le=False)
    ratio("module reject (bad at end) / module contiguous", "module reject (bad at end)", "module contiguous")
    ratio("numpy plain reject / module reject", "numpy plain reject", "module reject (bad at end)", le=False)
    ratio("write floor fresh 4 KB pages / reused buffer", "write floor fresh, 4 KB pages (kept alive)",
          "write floor, reused buffer")
    ratio("write floor fresh 2 MB pages / reused buffer", "write floor fresh, 2 MB pages (kept alive)",
          "write floor, reused buffer")
    ratio("module fresh / write floor fresh 2 MB pages", "module fresh (kept alive)",
          "write floor fresh, 2 MB pages (kept alive)")
    ratio("module fresh / write floor fresh 4 KB pages", "module fresh (kept alive)",
          "write floor fresh, 4 KB pages (kept alive)")
    ratio("module save existing / new file", "module save, existing file", "module save, new file")
    ratio("numpy plain encode+write / module save, new file", "numpy plain encode + write, new file",
          "module save, new file", le=False)
    c_enc = [t / N for t in TIMES["C encode only"]]
    rows.append(("C floor encode ns/sample (table-driven)", f"{statistics.median(c_enc):.2f} ns", "", ""))
    ratio("add_arbitrary_signal(50) / buffer method + registry lock(50)", "add_arbitrary_signal, 50 samples",
          "buffer method + registry lock, 50 elements")
    ratio("add_arbitrary_signal(50) / buffer method(16), the former anchor", "add_arbitrary_signal, 50 samples",
          "buffer method, 16 elements")
    ratio("set_stimulation_intensity / bare METH_O, the former anchor", "set_stimulation_intensity(0.5)",
          "bare METH_O C call")
    ratio("setter floor / bare METH_O", "setter floor (C)", "bare METH_O C call")
    ratio("str(Protocol()) / bare METH_O", "str(Protocol())", "bare METH_O C call")

    print()
    print(f"Ratios (median of per-round ratios, min - max); encoded samples {SIZES['encoded']:,} bytes, "
          f"file {SIZES['file']:,} bytes:")
    print()
    print_table(("ratio", "measured", "target", "status"), "lrrl", rows)
    print()
    print("Memory (each figure from a fresh child process; resident = Rss - LazyFree):")
    print()
    print_table(("figure", "measured", "goal", "status"), "lrrl", memory_rows)
    print()
    for key, note in NOTES.items():
        print(f"note: {key}: {note}")
    print(f"total {elapsed:.0f} s; other processes used {other:.2f} CPUs on average "
          f"(of {os.cpu_count()}); load average at end {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
