"""Memory figures of pyvexa, each measured in a fresh child process.

- save: peak resident growth of `save` against the encoded size, for
  protocols of about 1 KB up to 1.08 GB (and 2.16 GB, past the 2 GiB of
  one write call, when BENCH_SAVE_2GB=1; that case needs about 4 GB of RAM
  and 2 GB of disk, and some seconds). Every sample takes 3 bytes.
- kept: resident memory kept after four 9M-sample protocols are built,
  saved and freed, with NumPy int16 arrays of the same size as comparison.
- resident: resident memory of many sample buffers against their size.

Resident memory is Rss less LazyFree from /proc/self/smaps_rollup (pages
the kernel may take back at will do not count); the peak is VmHWM, reset
through /proc/self/clear_refs just before the measured call.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys

MB = 1e6
SAMPLES_9M = 9_000_000

CHILD = r"""
import gc, json, os, sys
import numpy as np
import pyvexa

def field_kb(path, key):
    with open(path) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0

def resident():
    return (field_kb("/proc/self/smaps_rollup", "Rss") - field_kb("/proc/self/smaps_rollup", "LazyFree")) * 1024

def peak():
    return field_kb("/proc/self/status", "VmHWM") * 1024

def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")

def protocol(n):
    # the duration whose sample count is n (the count is a rounded-up product)
    p = pyvexa.Protocol()
    p.set_session_duration(n / 5000.0)
    if p.get_num_samples() != n:
        p.set_session_duration((n - 0.5) / 5000.0)
    assert p.get_num_samples() == n
    return p

mode, args = sys.argv[1], json.loads(sys.argv[2])
out = {}
if mode == "save":
    n, signals, path = args["samples"], args["signals"], args["path"]
    # from 0.5 up every sample takes 3 bytes, the most the format allows
    x = 0.5 + 0.5 * np.random.default_rng(1).random(n)
    p = protocol(n)
    for _ in range(signals):
        p.add_arbitrary_signal(x)
    gc.collect()
    reset_peak()
    base = resident()
    p.save(path)
    out = {"growth": peak() - base, "encoded": os.path.getsize(path)}
    os.unlink(path)
elif mode == "kept":
    x = np.random.default_rng(1).random(SAMPLES)
    def build_four():
        held = []
        for _ in range(4):
            if args["numpy"]:
                held.append(np.empty(SAMPLES, np.int16))
                held[-1].fill(1)
            else:
                held.append(protocol(SAMPLES))
                held[-1].add_arbitrary_signal(x)
                held[-1].save(args["path"])
        return resident() - base
    gc.collect()
    base = resident()
    built = build_four()
    gc.collect()
    out = {"built": built, "kept": resident() - base}
elif mode == "resident":
    n, signals = args["samples"], args["signals"]
    x = np.random.default_rng(1).random(n)
    p = protocol(n)
    gc.collect()
    base = resident()
    for _ in range(signals):
        p.add_arbitrary_signal(x)
    out = {"grown": resident() - base, "size": 2 * n * signals}
print(json.dumps(out))
""".replace("SAMPLES", str(SAMPLES_9M))


def child(mode: str, **args: object) -> dict[str, int]:
    r = subprocess.run([sys.executable, "-c", CHILD, mode, json.dumps(args)],
                       check=True, capture_output=True, text=True)
    return json.loads(r.stdout)


def measure(tmp: str) -> list[tuple[str, str, str, str]]:
    """Rows of (figure, measured, goal, status)."""
    rows: list[tuple[str, str, str, str]] = []
    path = os.path.join(tmp, "memory.vexa")

    saves = [("about 1 KB", 350, 1), ("a few MB", 1_000_000, 1), ("one 9M signal", SAMPLES_9M, 1),
             ("40 signals of 9M", SAMPLES_9M, 40)]
    if os.environ.get("BENCH_SAVE_2GB") == "1":
        saves.append(("80 signals of 9M, BENCH_SAVE_2GB", SAMPLES_9M, 80))
    for label, n, signals in saves:
        d = child("save", samples=n, signals=signals, path=path)
        goal = 1.05 * d["encoded"] + 32 * 2**20
        rows.append((f"save peak growth, {label}: encoded {d['encoded'] / MB:,.3f} MB",
                     f"{d['growth'] / MB:,.1f} MB ({d['growth'] / d['encoded']:.2f}x)",
                     f"<= {goal / MB:,.1f} MB (1.05x + 32 MiB)", "met" if d["growth"] <= goal else "MISSED"))

    for numpy in (False, True):
        d = child("kept", numpy=numpy, path=path)
        who = "NumPy int16 arrays" if numpy else "protocols (built, saved)"
        rows.append((f"resident kept after freeing four 9M-sample {who} (while held: {d['built'] / MB:.1f} MB)",
                     f"{d['kept'] / MB:.1f} MB", "" if numpy else "<= 25.2 MB (24 MiB)",
                     "" if numpy else ("met" if d["kept"] <= 24 * 2**20 else "MISSED")))
    if os.path.exists(path):
        os.unlink(path)

    for n, signals in ((550_000, 50), (32_768, 200)):
        d = child("resident", samples=n, signals=signals)
        ratio = d["grown"] / d["size"]
        rows.append((f"resident / size, {signals} signals of {n:,} samples ({2 * n / 2**20:.3g} MiB each)",
                     f"{ratio:.2f}x ({d['grown'] / MB:.1f} MB for {d['size'] / MB:.1f} MB)", "<= 1.1x",
                     "met" if ratio <= 1.1 else "MISSED"))
    return rows
