"""Benchmark of `vexafile study`: a 24-participant crossover of two
20-minute conditions (an active trapezoid and its sham) against copying the
same 48 files.

Run with `make bench` or `.venv/bin/python bench/study.py`. Knob:
BENCH_STUDY_ROUNDS (default 5, at least 3). Each round times, interleaved:
the study written in process (load_study, review, write_study), the same as
a command (`python -m vexafile study`, interpreter start included), and the
48 copies made with shutil.copyfile, plain and with an fsync of each copy
(the study fsyncs every file it writes, so that a folder put in place holds
its data), and for reference the study with its fsyncs made no-ops. Before
each case, outside the timing, the folders of the last
one are removed and os.sync() writes out what it left dirty. Ratios are per
round, then the median.
"""

from __future__ import annotations

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pyvexa
import vexafile
from vexafile import envelopes

sys.path.insert(0, str(Path(__file__).parent))
from _table import print_table  # noqa: E402

ROUNDS = max(3, int(os.environ.get("BENCH_STUDY_ROUNDS", "5")))
PARTICIPANTS = 24
DURATION = 1200.0
RAMP = 30.0


def conditions(folder: Path) -> dict[str, Path]:
    out = {}
    for name, samples in (("active", envelopes.trapezoid(DURATION, RAMP, RAMP)),
                          ("sham", envelopes.sham(DURATION, RAMP, RAMP))):
        p = pyvexa.Protocol()
        p.set_session_duration(DURATION)
        p.set_stimulation_intensity(0.3)
        p.set_amplitude_source(pyvexa.Coil.A1, p.add_arbitrary_signal(samples))
        p.set_modulation_source(pyvexa.Channel.A, p.add_sine_signal(1.0, 10.0))
        out[name] = folder / f"{name}.vexa"
        p.save(str(out[name]))
    return out


def timed(fn, clear) -> float:
    # Outside the timing: the last case's folders go, and its dirty pages
    # are written out, so that no case pays for the one before it.
    clear()
    os.sync()
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def main() -> None:
    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_STUDY_DIR")) as tmp:
        d = Path(tmp)
        files = conditions(d)
        study_file = d / "study.toml"
        study_file.write_text(f'design = "crossover"\nparticipants = {PARTICIPANTS}\nseed = 6151972350187234567\n'
                              '[conditions]\nactive = "active.vexa"\nsham = "sham.vexa"\n')
        sources = [files[s.condition.name] for s in vexafile.load_study(study_file).plan()]
        env = {**os.environ, "PYTHONWARNINGS": "ignore"}

        def clear() -> None:
            for name in ("op", "key", "copies"):
                shutil.rmtree(d / name, ignore_errors=True)

        def in_process() -> None:
            study = vexafile.load_study(study_file)
            vexafile.write_study(study, d / "op", d / "key", study.review())

        def unsynced() -> None:
            # For reference only: what the study costs without its fsyncs.
            saved = os.fsync, os.fdatasync
            os.fsync = os.fdatasync = lambda fd: None
            try:
                in_process()
            finally:
                os.fsync, os.fdatasync = saved

        def command() -> None:
            subprocess.run([sys.executable, "-P", "-m", "vexafile", "study", str(study_file), "--out",
                            str(d / "op"), "--key-out", str(d / "key")],
                           check=True, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def copy(sync: bool):
            def run() -> None:
                out = d / "copies"
                out.mkdir()
                for k, src in enumerate(sources):
                    dst = out / f"{k}.vexa"
                    shutil.copyfile(src, dst)
                    if sync:
                        fd = os.open(dst, os.O_RDONLY)
                        os.fsync(fd)
                        os.close(fd)
            return run

        cases = [("study, in process", in_process), ("study, command", command),
                 ("study, in process, fsync skipped", unsynced),
                 ("copy 48 files", copy(False)), ("copy 48 files + fsync each", copy(True))]
        times: dict[str, list[float]] = {name: [] for name, _ in cases}
        for fn in (c[1] for c in cases):
            timed(fn, clear)  # warm-up: page cache and imports
        for _ in range(ROUNDS):
            for name, fn in cases:
                times[name].append(timed(fn, clear))
        copied = sum(os.path.getsize(s) for s in sources)
        clear()
        in_process()
        same = vexafile.verify_study(d / "op") == []

    print(f"study: {PARTICIPANTS} participants x 2 conditions of {DURATION:.0f} s "
          f"({len(sources)} files, {copied / 1e6:.0f} MB); {ROUNDS} rounds; the folder verifies: {same}")
    print_table(("case", "median s", "min - max s"), "lrr",
                ((n, f"{statistics.median(t):.3f}", f"{min(t):.3f} - {max(t):.3f}") for n, t in times.items()))

    def ratio(a: str, b: str) -> str:
        r = [x / y for x, y in zip(times[a], times[b])]
        return f"{statistics.median(r):.2f}x ({min(r):.2f} - {max(r):.2f})"

    print_table(("ratio", "measured", "target"), "lrr", [
        ("study in process / copy", ratio("study, in process", "copy 48 files"), "<= 3x"),
        ("study command / copy", ratio("study, command", "copy 48 files"), ""),
        ("study in process / copy + fsync", ratio("study, in process", "copy 48 files + fsync each"), ""),
        ("study, fsync skipped / copy", ratio("study, in process, fsync skipped", "copy 48 files"), ""),
    ])


if __name__ == "__main__":
    main()
