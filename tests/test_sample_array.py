"""The samples argument of add_arbitrary_signal: which objects are accepted,
how their elements are read, and how NumPy is reached."""

import sys

import numpy as np
import pytest

import pyvexa
from borrow_peer.support import (
    SAMPLES,
    panic_text,
    run_python,
    scaled,
    short_protocol,
    stored_samples,
)

RNG = np.random.default_rng(20240611)


def fractions(n):
    return RNG.uniform(0.0, 1.0, n)


class SubArray(np.ndarray):
    pass


def _unaligned():
    raw = np.frombuffer(bytearray(8 * SAMPLES + 1), dtype=np.uint8)
    view = raw[1:].view(np.float64)
    view[:] = fractions(SAMPLES)
    return view


def _read_only():
    a = fractions(SAMPLES)
    a.flags.writeable = False
    return a


REFUSED = {
    "list": lambda: [0.5] * SAMPLES,
    "numpy scalar": lambda: np.float64(0.5),
    "0-d": lambda: np.array(0.5),
    "2-d column": lambda: np.full((SAMPLES, 1), 0.5),
    "2-d row": lambda: np.full((1, SAMPLES), 0.5),
    "int64": lambda: np.zeros(SAMPLES, dtype=np.int64),
    "float32": lambda: np.zeros(SAMPLES, dtype=np.float32),
    "complex128": lambda: np.zeros(SAMPLES, dtype=np.complex128),
    "opposite byte order": lambda: np.zeros(SAMPLES, dtype=np.dtype(np.float64).newbyteorder()),
}


@pytest.mark.parametrize("make", REFUSED.values(), ids=REFUSED.keys())
def test_refused_with_cast_error(make):
    p = short_protocol(pyvexa)
    obj = make()
    with pytest.raises(TypeError) as excinfo:
        p.add_arbitrary_signal(obj)
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value) == (
        f"argument 'samples': '{type(obj).__qualname__}' object cannot be cast as 'ndarray'"
    )
    assert stored_samples(p) == []
    assert p.add_constant_signal(0.0) == 0


ACCEPTED = {
    "contiguous": lambda: fractions(SAMPLES),
    "reversed": lambda: fractions(SAMPLES)[::-1],
    "every second": lambda: fractions(2 * SAMPLES)[::2],
    "every third backwards": lambda: fractions(3 * SAMPLES)[::-3],
    "column of 2-d": lambda: fractions(3 * SAMPLES).reshape(SAMPLES, 3)[:, 1],
    "broadcast": lambda: np.broadcast_to(np.array([0.25]), (SAMPLES,)),
    "read-only": _read_only,
    "subclass": lambda: fractions(SAMPLES).view(SubArray),
    "unaligned": _unaligned,
    "equivalent descriptor": lambda: fractions(SAMPLES).astype(np.dtype(np.float64, metadata={"unit": "V"})),
}


@pytest.mark.parametrize("make", ACCEPTED.values(), ids=ACCEPTED.keys())
def test_accepted_and_read_in_index_order(make):
    p = short_protocol(pyvexa)
    p.add_constant_signal(0.0)
    view = make()
    assert p.add_arbitrary_signal(view) == 1
    assert stored_samples(p) == [scaled(view.tolist())]


def test_float64_descriptor_identity_not_required():
    # The metadata case must really carry a distinct descriptor object.
    assert ACCEPTED["equivalent descriptor"]().dtype is not np.dtype(np.float64)


FAILURES = {
    "success": (lambda: fractions(SAMPLES), None),
    "wrong length": (lambda: fractions(SAMPLES + 1), "assertion failed: samples.len() == self.get_num_samples()"),
    "bad sample": (lambda: np.full(SAMPLES, 2.0), "assertion failed: *sample <= 1.0"),
    "wrong shape": (lambda: np.zeros((SAMPLES, 1)), TypeError),
}


@pytest.mark.parametrize("make, outcome", FAILURES.values(), ids=FAILURES.keys())
def test_reference_count_restored(make, outcome):
    p = short_protocol(pyvexa)
    a = make()
    before = sys.getrefcount(a)
    if outcome is None:
        p.add_arbitrary_signal(a)
    elif outcome is TypeError:
        with pytest.raises(TypeError):
            p.add_arbitrary_signal(a)
    else:
        with pytest.raises(BaseException) as excinfo:
            p.add_arbitrary_signal(a)
        assert panic_text(excinfo) == outcome
    assert sys.getrefcount(a) == before


def test_numpy_not_imported_by_module_import():
    seen = run_python(
        """
        import json, sys
        import pyvexa
        before = "numpy" in sys.modules
        p = pyvexa.Protocol()
        try:
            p.add_arbitrary_signal([0.5])
        except TypeError:
            pass
        print(json.dumps([before, "numpy" in sys.modules]))
        """
    )
    assert seen == [False, True]


WITHOUT_NUMPY = """
import json, sys

class RefuseNumpy:
    def find_spec(self, name, path=None, target=None):
        if name == "numpy" or name.startswith("numpy."):
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        return None

refuser = RefuseNumpy()
sys.meta_path.insert(0, refuser)
import pyvexa

p = pyvexa.Protocol()
p.set_session_duration(0.01)

def attempt(samples):
    try:
        return ["ok", p.add_arbitrary_signal(samples)]
    except BaseException as e:
        return [type(e).__name__, str(e)]
"""


def test_without_numpy_import_works_and_each_call_panics():
    outcomes = run_python(
        WITHOUT_NUMPY
        + """
print(json.dumps([attempt([0.5] * 50), attempt([0.5] * 50), attempt(3)]))
"""
    )
    for name, text in outcomes:
        assert name == "PanicException"
        assert text.startswith("Failed to access NumPy array API capsule: ")
        assert "ModuleNotFoundError" in text


def test_failed_numpy_lookup_is_retried():
    outcomes = run_python(
        WITHOUT_NUMPY
        + """
first = attempt([0.5] * 50)
sys.meta_path.remove(refuser)
second = attempt([0.5] * 50)
import numpy
third = attempt(numpy.full(50, 0.5))
print(json.dumps([first[0], second, third]))
"""
    )
    assert outcomes == [
        "PanicException",
        ["TypeError", "argument 'samples': 'list' object cannot be cast as 'ndarray'"],
        ["ok", 0],
    ]


def test_concurrent_first_use_waits_for_the_initialising_thread():
    # Thread one is held inside NumPy's import (the finder sleeps, letting the
    # interpreter lock go); thread two arrives meanwhile and must wait for it
    # without holding the lock, or neither finishes.
    outcomes = run_python(
        """
        import json, sys, threading, time
        import pyvexa

        inside = threading.Event()

        class SlowNumpy:
            def find_spec(self, name, path=None, target=None):
                if name == "numpy" and not inside.is_set():
                    inside.set()
                    time.sleep(0.5)
                return None

        sys.meta_path.insert(0, SlowNumpy())
        results = {}

        def call(key):
            p = pyvexa.Protocol()
            try:
                p.add_arbitrary_signal([0.5])
            except BaseException as e:
                results[key] = [type(e).__name__, str(e)]

        first = threading.Thread(target=call, args=("first",))
        first.start()
        inside.wait()
        second = threading.Thread(target=call, args=("second",))
        second.start()
        first.join(30)
        second.join(30)
        print(json.dumps([results.get("first"), results.get("second")]))
        """,
        timeout=60,
    )
    expected = ["TypeError", "argument 'samples': 'list' object cannot be cast as 'ndarray'"]
    assert outcomes == [expected, expected]


def test_reentrant_first_use_from_the_initialiser():
    # NumPy's import runs Python code; a call made from there, on the same
    # thread while the first call initialises, must not deadlock.
    outcomes = run_python(
        """
        import json, sys
        import pyvexa

        nested = []

        class Reenter:
            def find_spec(self, name, path=None, target=None):
                if name == "numpy" and not nested:
                    nested.append(None)
                    try:
                        pyvexa.Protocol().add_arbitrary_signal([0.5])
                    except BaseException as e:
                        nested[0] = [type(e).__name__, str(e)]
                return None

        sys.meta_path.insert(0, Reenter())
        try:
            pyvexa.Protocol().add_arbitrary_signal([0.5])
        except BaseException as e:
            outer = [type(e).__name__, str(e)]
        print(json.dumps([nested[0], outer]))
        """,
        timeout=60,
    )
    expected = ["TypeError", "argument 'samples': 'list' object cannot be cast as 'ndarray'"]
    assert outcomes == [expected, expected]
