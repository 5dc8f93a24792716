"""Benchmark of editing a 9M-sample protocol (1800 s of arbitrary samples).

Run with `make bench` or `.venv/bin/python bench/edit.py`. Prints the median
of BENCH_EDIT_ROUNDS (default 3) rounds of: str(p) (the text form from the
module itself, for scale), vexafile.loads_text of that text with NumPy and
without, vexafile.snapshot(p), and vexafile.to_protocol of the saved file
followed by save.
"""

from __future__ import annotations

import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import pyvexa
import vexafile
from vexafile import _decode

sys.path.insert(0, str(Path(__file__).parent))
from _table import print_table  # noqa: E402

ROUNDS = max(1, int(os.environ.get("BENCH_EDIT_ROUNDS", "3")))


def timed(fn) -> float:
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def without_numpy(fn):
    def run():
        saved = _decode._numpy_checked, _decode._numpy
        _decode._numpy_checked, _decode._numpy = True, None
        try:
            fn()
        finally:
            _decode._numpy_checked, _decode._numpy = saved

    return run


def main() -> None:
    p = pyvexa.Protocol()
    p.set_session_duration(1800.0)
    p.add_arbitrary_signal(np.random.default_rng(7).random(p.get_num_samples()))
    text = str(p)
    with tempfile.TemporaryDirectory() as d:
        path, again = os.path.join(d, "a.vexa"), os.path.join(d, "b.vexa")
        p.save(path)
        cases = [
            ("str(p)", lambda: str(p)),
            ("loads_text, NumPy", lambda: vexafile.loads_text(text)),
            ("loads_text, no NumPy", without_numpy(lambda: vexafile.loads_text(text))),
            ("snapshot(p)", lambda: vexafile.snapshot(p)),
            ("to_protocol(file).save", lambda: vexafile.to_protocol(path).save(again)),
        ]
        times: dict[str, list[float]] = {name: [] for name, _ in cases}
        for _ in range(ROUNDS):
            for name, fn in cases:
                times[name].append(timed(fn))
        same = Path(path).read_bytes() == Path(again).read_bytes()
    print(f"9,000,000 samples; text {len(text) / 1e6:.0f} MB; {ROUNDS} rounds; rebuilt file identical: {same}")
    print_table(("operation", "median s"), "lr", ((name, f"{statistics.median(t):.2f}") for name, t in times.items()))


if __name__ == "__main__":
    main()
