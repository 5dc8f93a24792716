"""Every call, on its success path and on each failure path, repeated:
reference counts of the arguments and the process's memory stay flat.
`pytest --leak-loops N` sets the repetitions."""

import gc
import os
import sys

import numpy as np
import pytest

import pyvexa
from emulation import EMULATED
from pyvexa import Channel, Coil

PAGE = os.sysconf("SC_PAGE_SIZE")
# AddressSanitizer keeps freed memory in quarantine, so resident memory is
# no measure of leaks there (its own checks cover that build).
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
# The emulator's own memory would be measured under qemu-user.
MEASURES_MEMORY = not UNDER_ASAN and not EMULATED
# Bytes the smallest buffer of any scenario below holds (300000 samples).
SMALLEST_LEAK = 300_000


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def call(fn):
    try:
        fn()
    except BaseException as e:  # PanicException is a BaseException
        if isinstance(e, (KeyboardInterrupt, SystemExit)):
            raise
        return type(e).__name__
    return None


class Flaky:
    """A float argument that calls back into the same Protocol."""

    def __init__(self, p):
        self.p = p

    def __float__(self):
        self.p.set_session_duration(1.0)
        return 0.5


def scenarios(tmp):
    """(name, make) pairs; make() returns (call, tracked objects, expected
    exception name or None). Large arrays make a leak of any buffer show in
    memory within a few dozen loops."""
    big = np.linspace(0.0, 1.0, 300000)  # a default session needs 300000 samples
    bad = big.copy()
    bad[-1] = 2.0
    name = os.path.join(tmp, "leak.vexa")

    def saved():
        p = pyvexa.Protocol()
        p.add_arbitrary_signal(big)
        return p

    keep = pyvexa.Protocol()
    return [
        ("intensity", lambda p=keep, v=0.5: (lambda: p.set_stimulation_intensity(v), [p, v], None)),
        ("intensity out of range", lambda p=keep, v=2.0: (lambda: p.set_stimulation_intensity(v), [p, v], "PanicException")),
        ("intensity wrong type", lambda p=keep, v="x": (lambda: p.set_stimulation_intensity(v), [p, v], "TypeError")),
        ("duration keyword", lambda p=keep, v=10.0: (lambda: p.set_session_duration(duration=v), [p, v], None)),
        ("duration missing", lambda p=keep: (lambda: p.set_session_duration(), [p], "TypeError")),
        ("enable channel", lambda p=keep: (lambda: p.enable_channel(Channel.B), [p, Channel.B], None)),
        ("channel wrong type", lambda p=keep, v=1: (lambda: p.enable_channel(v), [p, v], "TypeError")),
        ("source", lambda p=keep, i=2**40: (lambda: p.set_amplitude_source(Coil.B2, i, True), [p, Coil.B2, i], None)),
        ("source numpy flag", lambda p=keep, f=np.True_: (lambda: p.set_modulation_source(Channel.A, 3, f), [p, f], None)),
        ("source negative", lambda p=keep, i=-1: (lambda: p.set_amplitude_source(Coil.A1, i), [p, i], "OverflowError")),
        ("source int flag", lambda p=keep, f=1: (lambda: p.set_amplitude_source(Coil.A1, 0, f), [p, f], "TypeError")),
        ("unexpected keyword", lambda p=keep, v=1.0: (lambda: p.add_constant_signal(v, bogus=v), [p, v], "TypeError")),
        ("re-entrant argument", lambda p=keep: (lambda f=Flaky(keep): p.add_constant_signal(f), [p], "RuntimeError")),
        ("str", lambda p=keep: (lambda: str(p), [p], None)),
        ("num samples", lambda p=keep: (lambda: p.get_num_samples(), [p], None)),
        ("construct", lambda: (lambda: pyvexa.Protocol(), [], None)),
        ("construct with argument", lambda v=1: (lambda: pyvexa.Protocol(v), [v], "TypeError")),
        ("arbitrary", lambda a=big: (lambda: pyvexa.Protocol().add_arbitrary_signal(a), [a], None)),
        ("arbitrary view", lambda a=big[::-1]: (lambda: pyvexa.Protocol().add_arbitrary_signal(a), [a, big], None)),
        ("arbitrary bad sample", lambda a=bad: (lambda: pyvexa.Protocol().add_arbitrary_signal(a), [a], "PanicException")),
        ("arbitrary wrong length", lambda a=big[1:]: (lambda: pyvexa.Protocol().add_arbitrary_signal(a), [a], "PanicException")),
        ("arbitrary wrong dtype", lambda a=big.astype(np.float32): (lambda: pyvexa.Protocol().add_arbitrary_signal(a), [a], "TypeError")),
        ("arbitrary list", lambda a=[0.5] * 10: (lambda: pyvexa.Protocol().add_arbitrary_signal(a), [a], "TypeError")),
        ("save", lambda p=saved(), n=name: (lambda: p.save(n), [p, n], None)),
        ("save bad suffix", lambda p=saved(), n=name + ".bak": (lambda: p.save(n), [p, n], "PanicException")),
        ("save NUL", lambda p=saved(), n="a\0.vexa": (lambda: p.save(n), [p, n], "PanicException")),
        ("save missing dir", lambda p=saved(), n=os.path.join(tmp, "no", "x.vexa"): (lambda: p.save(n), [p, n], "PanicException")),
        ("save bytes", lambda p=saved(), n=b"x.vexa": (lambda: p.save(n), [p, n], "TypeError")),
    ]


def test_calls_leak_no_references_and_no_memory(tmp_path, leak_loops, capfd):
    failures = []
    for name, make in scenarios(str(tmp_path)):
        fn, tracked, expected = make()
        for _ in range(3):  # warm caches, first-use state, the allocator
            assert call(fn) == expected, name
        gc.collect()
        counts = [sys.getrefcount(obj) for obj in tracked]
        # The allocator settles during the first half (arenas, trim
        # thresholds and page sizes differ between machines); a leak keeps
        # growing through the second.
        for _ in range(leak_loops):
            call(fn)
        gc.collect()
        before = resident_bytes()
        for _ in range(leak_loops):
            call(fn)
        gc.collect()
        grown = resident_bytes() - before
        after = [sys.getrefcount(obj) for obj in tracked]
        if after != counts:
            failures.append(f"{name}: reference counts {counts} -> {after}")
        # Any per-call leak of a sample buffer, encoded file or array view
        # is at least 300 KB, so a leak shows as more than half of that per call.
        if grown > leak_loops * SMALLEST_LEAK // 2 and MEASURES_MEMORY:
            failures.append(f"{name}: resident memory grew by {grown / 2**20:.1f} MB in {leak_loops} calls")
    capfd.readouterr()  # panic diagnostics
    assert not failures, "\n".join(failures)


@pytest.mark.parametrize("member", [Coil.A1, Coil.B2, Channel.A, Channel.B])
def test_enum_members_keep_their_counts(member, leak_loops):
    p = pyvexa.Protocol()
    before = sys.getrefcount(member)
    for _ in range(leak_loops):
        repr(member)
        int(member)
        if isinstance(member, Coil):
            p.set_amplitude_source(member, 1)
        else:
            p.set_modulation_source(member, 1)
    assert sys.getrefcount(member) == before
