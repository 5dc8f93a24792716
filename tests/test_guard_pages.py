"""Sample arrays whose memory ends (or begins) right at an inaccessible
page: add_arbitrary_signal may read the elements of the view and nothing
else, whatever its stride, length, or the loop the CPU's features select.
Heap arrays hide an overrun in the allocator's slack; these do not."""

import math

import numpy as np
import pytest

import pyvexa
from borrow_peer.support import scaled, stored_samples
from guarded_memory import GuardedPages, run_forked

LENGTHS = [*range(50, 131), 255, 256, 257, 351, 1000, 1057, 4099]
CHECK_VALUES = {50, 63, 64, 65, 351}  # lengths whose stored samples are compared too
DATA = {
    "good": (None, None),
    "bad first": (0, "assertion failed: *sample >= 0.0"),
    "bad last": (-1, "assertion failed: *sample <= 1.0"),
}
BAD_VALUE = {0: math.nan, -1: 1.5}
GAP = 2.0  # between the elements of a view: no loop may pick it up


def protocol_for(n):
    p = pyvexa.Protocol()
    duration = n / 5000.0
    p.set_session_duration(duration)
    if p.get_num_samples() != n:
        p.set_session_duration(math.nextafter(duration, 0.0))
    assert p.get_num_samples() == n
    return p


def strided(step):
    """Views base[::step] (base[::0] meaning one value broadcast), placed so
    that their lowest or highest byte touches a guard."""

    def span(n):
        return 1 if step == 0 else (n - 1) * abs(step) + 1

    def make(pages, at_high, n):
        count = span(n)
        backing = pages.doubles(pages.high - 8 * count if at_high else pages.low, count)
        backing[:] = GAP
        view = np.broadcast_to(backing, (n,)) if step == 0 else backing[::step]
        return backing if step == 0 else view, view

    return 8 * span(max(LENGTHS)), make


def interleaved(kind):
    """The right channel of interleaved stereo, or the imaginary part of
    complex samples: 16-byte strides that end 8 bytes into a pair."""

    def make(pages, at_high, n):
        dtype = np.complex128 if kind == "imag" else np.float64
        count = n if kind == "imag" else 2 * n
        nbytes = count * np.dtype(dtype).itemsize
        backing = pages.doubles(pages.high - nbytes if at_high else pages.low, count, dtype)
        backing[:] = GAP
        view = backing.imag if kind == "imag" else backing[1::2]
        return view, view

    return 16 * max(LENGTHS), make


LAYOUTS = {f"stride {step}": strided(step) for step in range(-4, 5)}
LAYOUTS["stereo right channel [1::2]"] = interleaved("right")
LAYOUTS["complex .imag"] = interleaved("imag")


def exercise(nbytes, make, report):
    rng = np.random.default_rng(11)
    with GuardedPages(nbytes) as pages:
        for n in LENGTHS:
            for at_high in (False, True):
                for data, (bad_at, message) in DATA.items():
                    case = f"n={n} at the {'high' if at_high else 'low'} guard, {data}"
                    target, view = make(pages, at_high, n)
                    values = rng.uniform(0.0, 1.0, n)
                    if bad_at is not None:
                        values[bad_at] = BAD_VALUE[bad_at]
                    if target.shape[0] == n:
                        target[:] = values
                    else:  # one value broadcast: the bad one if any
                        target[0] = values[bad_at or 0]
                    expected = view.tolist()
                    p = protocol_for(n)
                    report(f"at {case}")
                    try:
                        outcome = p.add_arbitrary_signal(view)
                    except BaseException as e:  # noqa: B036 - PanicException
                        outcome = f"{type(e).__name__}: {e}"
                    wanted = 0 if message is None else f"PanicException: {message}"
                    if outcome != wanted:
                        report(f"fail {case}: {outcome!r} instead of {wanted!r}")
                    elif message is None and n in CHECK_VALUES and stored_samples(p) != [scaled(expected)]:
                        report(f"fail {case}: stored samples differ from the view's values")
                    del target, view


@pytest.mark.parametrize("nbytes, make", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_views_at_a_guard_page_read_only_their_elements(nbytes, make):
    killed_by, code, lines = run_forked(lambda report: exercise(nbytes, make, report))
    started = [line[3:] for line in lines if line.startswith("at ")]
    assert killed_by is None, f"{killed_by} at {started[-1] if started else 'start'}"
    assert code == 0, [line for line in lines if line.startswith("error ")]
    assert [line for line in lines if line.startswith("fail ")] == []
    assert len(started) == len(LENGTHS) * 2 * len(DATA)
