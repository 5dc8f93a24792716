"""The cross-module borrow registry: the module's own table as other
extension modules see it, and the module's use of a registry it finds."""

import importlib
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import pyvexa
from borrow_peer import build
from borrow_peer.support import (
    CAPSULE,
    SAMPLES,
    multiarray_name,
    panic_text,
    run_python,
    short_protocol,
)

ALREADY_BORROWED = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"
MULTIARRAY = importlib.import_module(multiarray_name(np))


@pytest.fixture(scope="module")
def peer():
    """The peer attached to the registry that pyvexa installed in this process."""
    short_protocol(pyvexa).add_arbitrary_signal(np.zeros(SAMPLES))
    module = build.load()
    assert module.attach(MULTIARRAY) == 1
    return module


class Borrows:
    """Borrows taken through the peer, all released at the end of a test."""

    def __init__(self, peer):
        self.peer = peer
        self.held = []

    def take(self, kind, array):
        code = (self.peer.acquire_mut if kind == "mut" else self.peer.acquire)(array)
        if code == 0:
            self.held.append((kind, array))
        return code

    def give_back(self, kind, array):
        (self.peer.release_mut if kind == "mut" else self.peer.release)(array)
        at = next(i for i, (k, a) in enumerate(self.held) if k == kind and a is array)
        del self.held[at]

    def release_all(self):
        while self.held:
            self.give_back(*self.held[-1])


@pytest.fixture
def borrows(peer):
    taken = Borrows(peer)
    yield taken
    taken.release_all()


def test_capsule_installed_on_first_use():
    seen = run_python(
        f"""
        import importlib, json
        import numpy, pyvexa
        multiarray = importlib.import_module({multiarray_name(np)!r})
        before = hasattr(multiarray, {CAPSULE!r})
        p = pyvexa.Protocol()
        p.set_session_duration(0.01)
        p.add_arbitrary_signal(numpy.zeros(50))
        print(json.dumps([before, type(getattr(multiarray, {CAPSULE!r})).__name__]))
        """
    )
    assert seen == [False, "PyCapsule"]


def _buffer_views():
    # Two arrays over one bytearray, one of them through a view: only the
    # bytearray at the end of both base chains ties them together.
    buffer = bytearray(8 * 100)
    whole = np.ndarray((100,), buffer=buffer)
    return whole[:50], np.ndarray((50,), buffer=buffer, offset=8 * 25)


# (first kind, second kind, make both arrays, expected code of the second)
TABLE_CASES = {
    "mut then mut": ("mut", "mut", lambda a: (a, a), -1),
    "shared then shared": ("shared", "shared", lambda a: (a, a), 0),
    "shared then mut": ("shared", "mut", lambda a: (a, a), -1),
    "mut then shared": ("mut", "shared", lambda a: (a, a), -1),
    "mut then shared of overlap": ("mut", "shared", lambda a: (a[:60], a[40:]), -1),
    "mut then mut of overlap": ("mut", "mut", lambda a: (a[:10], a[5:15]), -1),
    "adjacent slices": ("mut", "mut", lambda a: (a[:10], a[10:20]), 0),
    "interleaved slices": ("mut", "mut", lambda a: (a[::2], a[1::2]), 0),
    "same stride, same phase": ("mut", "mut", lambda a: (a[::2], a[2::2]), -1),
    "reversed view overlaps": ("mut", "shared", lambda a: (a[::-1], a[5:6]), -1),
    "column and column": ("mut", "mut", lambda a: (a.reshape(10, 10)[:, 0], a.reshape(10, 10)[:, 1]), 0),
    "column and row": ("mut", "mut", lambda a: (a.reshape(10, 10)[:, 0], a.reshape(10, 10)[0, :]), -1),
    "empty view never conflicts": ("mut", "mut", lambda a: (a[50:].reshape(5, 10)[:, :0], a), 0),
    "other base": ("mut", "mut", lambda a: (a, a.copy()), 0),
    "shared then shared of overlap": ("shared", "shared", lambda a: (a[:60], a[40:]), 0),
    "through non-array base": ("mut", "mut", lambda a: _buffer_views(), -1),
}


@pytest.mark.parametrize("first, second, make, expected", TABLE_CASES.values(), ids=TABLE_CASES.keys())
def test_own_table_as_seen_by_another_module(borrows, first, second, make, expected):
    one, two = make(np.arange(100.0))
    assert borrows.take(first, one) == 0
    assert borrows.take(second, two) == expected


def test_exclusive_refused_for_read_only(borrows):
    a = np.zeros(10)
    a.flags.writeable = False
    assert borrows.take("mut", a) == -2
    assert borrows.take("shared", a) == 0


def test_each_release_undoes_one_acquisition(borrows):
    a = np.zeros(10)
    assert borrows.take("shared", a) == 0
    assert borrows.take("shared", a) == 0
    borrows.give_back("shared", a)
    assert borrows.take("mut", a) == -1
    borrows.give_back("shared", a)
    assert borrows.take("mut", a) == 0
    borrows.give_back("mut", a)
    assert borrows.take("mut", a) == 0


# Slices of two bases: for contiguous 1-d views the table's conflict rule is
# exactly "same base and overlapping non-empty ranges".
SLICES = [(0, 100), (0, 10), (5, 15), (10, 20), (90, 100), (50, 50), (40, 60)]


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(st.tuples(st.sampled_from(["shared", "mut", "release"]), st.integers(0, 2 * len(SLICES) - 1)),
                max_size=40))
def test_many_borrows_in_any_order_match_a_model(peer, ops):
    bases = [np.zeros(100), np.zeros(100)]
    views = [(b, lo, hi, bases[b][lo:hi]) for b in (0, 1) for lo, hi in SLICES]
    held = []  # (kind, view index), in the order taken

    def conflicts(i, j):
        bi, lo_i, hi_i, _ = views[i]
        bj, lo_j, hi_j, _ = views[j]
        return bi == bj and lo_i < hi_i and lo_j < hi_j and lo_i < hi_j and lo_j < hi_i

    def same_key(i, j):
        return views[i][:3] == views[j][:3]

    try:
        for op, i in ops:
            if op == "release":
                if held:
                    kind, j = held.pop(i % len(held))
                    (peer.release_mut if kind == "mut" else peer.release)(views[j][3])
                continue
            if op == "shared":
                same = [k for k, j in held if same_key(i, j)]
                if same:
                    expected = 0 if "mut" not in same else -1
                else:
                    expected = -1 if any(k == "mut" and conflicts(i, j) for k, j in held) else 0
            else:
                expected = -1 if any(same_key(i, j) or conflicts(i, j) for _, j in held) else 0
            code = (peer.acquire_mut if op == "mut" else peer.acquire)(views[i][3])
            assert code == expected, (op, views[i][:3], [(k, views[j][:3]) for k, j in held])
            if code == 0:
                held.append((op, i))
    finally:
        for kind, j in reversed(held):
            (peer.release_mut if kind == "mut" else peer.release)(views[j][3])


# (held exclusively by the peer, passed as samples), as views of one base
HELD_CASES = {
    "same array": (lambda b: b[:50], lambda b: b[:50]),
    "overlapping slice": (lambda b: b[25:75], lambda b: b[:50]),
    "reversed view": (lambda b: b[:50], lambda b: b[49::-1]),
    "whole base": (lambda b: b, lambda b: b[::2]),
}


@pytest.mark.parametrize("held, passed", HELD_CASES.values(), ids=HELD_CASES.keys())
def test_exclusive_borrow_elsewhere_refuses_samples(borrows, held, passed):
    base = np.zeros(100)
    holder, samples = held(base), passed(base)
    assert borrows.take("mut", holder) == 0
    p = short_protocol(pyvexa)
    before = sys.getrefcount(samples)
    with pytest.raises(BaseException) as excinfo:
        p.add_arbitrary_signal(samples)
    assert panic_text(excinfo) == ALREADY_BORROWED
    assert sys.getrefcount(samples) == before
    borrows.give_back("mut", holder)
    assert p.add_arbitrary_signal(samples) == 0


DISJOINT_CASES = {
    "interleaved": (lambda b: b[1::2], lambda b: b[::2]),
    "other half": (lambda b: b[50:], lambda b: b[:50]),
}


@pytest.mark.parametrize("held, passed", DISJOINT_CASES.values(), ids=DISJOINT_CASES.keys())
def test_exclusive_borrow_of_other_memory_does_not_interfere(borrows, held, passed):
    base = np.zeros(100)
    assert borrows.take("mut", held(base)) == 0
    assert short_protocol(pyvexa).add_arbitrary_signal(passed(base)) == 0


OUTCOMES = {
    "success": lambda: np.full(SAMPLES, 0.5),
    "wrong length": lambda: np.full(SAMPLES - 1, 0.5),
    "bad sample": lambda: np.concatenate([np.full(SAMPLES - 1, 0.5), [-1.0]]),
}


@pytest.mark.parametrize("make", OUTCOMES.values(), ids=OUTCOMES.keys())
def test_samples_not_registered_after_the_call(borrows, make):
    a = make()
    try:
        short_protocol(pyvexa).add_arbitrary_signal(a)
    except BaseException as e:  # the panics of the length and value checks
        assert type(e).__name__ == "PanicException"
    assert borrows.take("mut", a) == 0


PEER_FIRST = f"""
import importlib, json, sys
import numpy
sys.path.insert(0, sys.argv[1])
import _borrow_peer as peer
multiarray = importlib.import_module({multiarray_name(np)!r})
"""

CALL = """
import pyvexa
p = pyvexa.Protocol()
p.set_session_duration(0.01)
samples = numpy.full(50, 0.5)

def attempt():
    refs = sys.getrefcount(samples)
    try:
        result = ["ok", p.add_arbitrary_signal(samples)]
    except BaseException as e:
        result = [type(e).__name__, str(e)]
    return result + [sys.getrefcount(samples) - refs]
"""


def test_registry_installed_first_is_used():
    seen = run_python(
        PEER_FIRST
        + f"""
peer.install(multiarray, 1)
capsule = getattr(multiarray, {CAPSULE!r})
"""
        + CALL
        + f"""
outcome = attempt()
print(json.dumps([outcome, list(peer.own_calls()), getattr(multiarray, {CAPSULE!r}) is capsule]))
""",
        build.peer_dir(),
    )
    assert seen == [["ok", 0, 0], [1, 0, 1, 0], True]


@pytest.mark.parametrize(
    "code, expected",
    [
        (-1, ALREADY_BORROWED),
        (-2, "Unexpected return code -2 from borrow checking API"),
        (7, "Unexpected return code 7 from borrow checking API"),
    ],
)
def test_refusal_codes_of_a_foreign_registry(code, expected):
    seen = run_python(
        PEER_FIRST
        + f"""
peer.install(multiarray, 1)
peer.set_answer({code})
"""
        + CALL
        + """
print(json.dumps([attempt(), list(peer.own_calls())]))
""",
        build.peer_dir(),
    )
    # Refused: nothing to release, and the reference is dropped again.
    assert seen == [["PanicException", expected, 0], [1, 0, 0, 0]]


@pytest.mark.parametrize(
    "setup, detail",
    [
        ("peer.install(multiarray, 0)", "version 0"),
        (f"setattr(multiarray, {CAPSULE!r}, 5)", "'int' object cannot be cast as 'PyCapsule'"),
    ],
    ids=["version 0", "not a capsule"],
)
def test_unusable_registry_panics_and_is_retried(setup, detail):
    seen = run_python(
        PEER_FIRST
        + setup
        + CALL
        + f"""
first = attempt()
delattr(multiarray, {CAPSULE!r})
second = attempt()
print(json.dumps([first, second, type(getattr(multiarray, {CAPSULE!r})).__name__]))
""",
        build.peer_dir(),
    )
    first, second, installed = seen
    assert first[0] == "PanicException"
    assert first[1].startswith("Interal borrow checking API error: ")
    assert detail in first[1]
    assert first[2] == 0
    assert second == ["ok", 0, 0]
    assert installed == "PyCapsule"
