"""Property tests: random call sequences against a small model of the
record, random arguments of every type, random array layouts."""

import dataclasses
import math
import os
import tempfile

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import pyvexa
import vexafile
from postcard_oracle import assert_same, decode
from pyvexa import Channel, Coil
from vexa_helpers import default_settings, plain

FEW = settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
U64 = st.integers(0, 2**64 - 1)
ANY_FLOAT = st.floats(allow_nan=True, allow_infinity=True)
NUMPY_FLAG = st.sampled_from([np.True_, np.False_])


def outcome(fn, *args, **kwargs):
    """('ok', result) or (exception class name, text)."""
    try:
        return "ok", fn(*args, **kwargs)
    except BaseException as e:  # noqa: B036 - PanicException is a BaseException
        if isinstance(e, (KeyboardInterrupt, SystemExit)):
            raise
        return type(e).__name__, str(e)


DEFAULT = default_settings()
CHANNELS = {Channel.A: "channel_a_settings", Channel.B: "channel_b_settings"}
COILS = {
    Coil.A1: ("channel_a_settings", "amplitude1_source"),
    Coil.A2: ("channel_a_settings", "amplitude2_source"),
    Coil.B1: ("channel_b_settings", "amplitude1_source"),
    Coil.B2: ("channel_b_settings", "amplitude2_source"),
}


class Model:
    """What the record must hold after each call, and what each call returns."""

    def __init__(self):
        self.s = DEFAULT

    def _channel(self, name, **changes):
        self.s = dataclasses.replace(self.s, **{name: dataclasses.replace(getattr(self.s, name), **changes)})

    def _append(self, signal):
        self.s = dataclasses.replace(self.s, signals=self.s.signals + (signal,))
        return "ok", len(self.s.signals) - 1

    @staticmethod
    def _selection(index, external):
        if external:
            return vexafile.SignalSourceSelection(0, index, True)
        return vexafile.SignalSourceSelection(index, 0, False)

    def apply(self, op, args):
        if op == "set_stimulation_intensity":
            (x,) = args
            if not (0.0 <= x <= 1.0):
                return "PanicException", "assertion failed: intensity >= 0.0 && intensity <= 1.0"
            self.s = dataclasses.replace(self.s, intensity=x)
        elif op == "set_session_duration":
            (d,) = args
            if not d <= 1800.0:
                return "PanicException", "assertion failed: duration <= config::MAX_SESSION_DURATION"
            if d < 0.01:
                return "PanicException", "assertion failed: duration >= 0.01"
            self.s = dataclasses.replace(self.s, session_duration=d)
        elif op == "enable_channel":
            self._channel(CHANNELS[args[0]], enabled=True)
        elif op == "set_amplitude_source":
            coil, index, external = args
            channel, field = COILS[coil]
            self._channel(channel, **{field: self._selection(index, bool(external))})
        elif op == "set_modulation_source":
            channel, index, external = args
            self._channel(CHANNELS[channel], modulation_source=self._selection(index, bool(external)))
        elif op == "add_constant_signal":
            return self._append(vexafile.Constant(vexafile.ConstantSignalParams(*args)))
        elif op == "add_sine_signal":
            a, f, phase, depth = (list(args) + [0.0, 1.0][len(args) - 2 :])[:4]
            return self._append(vexafile.Sine(vexafile.SineSignalParams(a, f, phase, depth)))
        elif op == "add_ramp_signal":
            return self._append(vexafile.Ramp(vexafile.RampSignalParams(*args)))
        elif op == "add_mixed_signal":
            return self._append(vexafile.MixedSignal(vexafile.MixedSignalParams(*args)))
        elif op == "add_arbitrary_signal":
            (samples,) = args
            if len(samples) != math.ceil(self.s.session_duration * 5000.0):
                return "PanicException", "assertion failed: samples.len() == self.get_num_samples()"
            for s in samples:
                if not s >= 0.0:
                    return "PanicException", "assertion failed: *sample >= 0.0"
                if s > 1.0:
                    return "PanicException", "assertion failed: *sample <= 1.0"
            scaled = [s * 32767.0 for s in samples]
            stored = [int(x) + (x - int(x) >= 0.5) for x in scaled]
            from array import array

            return self._append(vexafile.Arbitrary(vexafile.ArbitrarySignalParams(array("h", stored))))
        return "ok", None


def sample_values(n):
    fraction = st.one_of(st.floats(0.0, 1.0), st.sampled_from([0.0, 1.0, 0.5, -0.0, 1 / 3]))
    rare_bad = st.sampled_from([math.nan, -1e-9, 1.0000000000000002, 2.0, -math.inf])
    return st.lists(st.one_of(fraction, fraction, fraction, rare_bad), min_size=n, max_size=n)


small_duration = st.sampled_from([0.01, 0.0102, 0.011, 0.009999999999999998, 1800.0000000000002, math.nan])

operations = st.one_of(
    st.tuples(st.just("set_stimulation_intensity"), st.tuples(st.one_of(ANY_FLOAT, st.floats(0, 1)))),
    st.tuples(st.just("set_session_duration"), st.tuples(small_duration)),
    st.tuples(st.just("enable_channel"), st.tuples(st.sampled_from([Channel.A, Channel.B]))),
    st.tuples(
        st.just("set_amplitude_source"),
        st.tuples(st.sampled_from(list(COILS)), U64, st.one_of(st.booleans(), NUMPY_FLAG)),
    ),
    st.tuples(
        st.just("set_modulation_source"),
        st.tuples(st.sampled_from([Channel.A, Channel.B]), U64, st.booleans()),
    ),
    st.tuples(st.just("add_constant_signal"), st.tuples(ANY_FLOAT)),
    st.tuples(
        st.just("add_sine_signal"), st.lists(ANY_FLOAT, min_size=2, max_size=4).map(tuple)
    ),
    st.tuples(st.just("add_ramp_signal"), st.tuples(ANY_FLOAT, ANY_FLOAT, ANY_FLOAT)),
    st.tuples(st.just("add_mixed_signal"), st.tuples(U64, U64)),
    st.tuples(
        st.just("add_arbitrary_signal"),
        st.integers(49, 56).flatmap(sample_values).map(lambda v: (v,)),
    ),
)


@FEW
@given(st.lists(operations, max_size=25))
def test_call_sequences_match_the_model_in_text_and_file(ops):
    p, model = pyvexa.Protocol(), Model()
    p.set_session_duration(0.01)
    model.apply("set_session_duration", (0.01,))
    for op, args in ops:
        call_args = [np.array(a, dtype=np.float64) if isinstance(a, list) else a for a in args]
        expected = model.apply(op, args)
        got = outcome(getattr(p, op), *call_args)
        assert got == expected, (op, args)
    assert str(p) == vexafile.to_text(model.s)

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "p.vexa")
        p.save(path)
        if not model.s.signals:
            model._append(vexafile.Constant(vexafile.ConstantSignalParams(0.0)))
        with open(path, "rb") as f:
            assert_same(decode(f.read()), plain(model.s))
    assert str(p) == vexafile.to_text(model.s)


class Floaty:
    def __float__(self):
        return 0.25


class Indexy:
    def __index__(self):
        return 7


ANYTHING = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-(2**70), 2**70),
    ANY_FLOAT,
    st.text(max_size=5),
    st.binary(max_size=5),
    st.complex_numbers(),
    st.sampled_from([Coil.A1, Channel.B, Floaty(), Indexy(), np.float64(0.5), np.int64(3), np.True_, [], ()]),
    st.just("\udc80.vexa"),
)

METHODS = [
    ("set_stimulation_intensity", 1),
    ("set_session_duration", 1),
    ("enable_channel", 1),
    ("set_amplitude_source", 3),
    ("set_modulation_source", 3),
    ("add_constant_signal", 1),
    ("add_sine_signal", 4),
    ("add_ramp_signal", 3),
    ("add_mixed_signal", 2),
    ("add_arbitrary_signal", 1),
]
DOCUMENTED = {"ok", "TypeError", "OverflowError", "UnicodeEncodeError", "PanicException"}


@settings(max_examples=150, deadline=None)
@given(st.sampled_from(METHODS), st.data())
def test_any_argument_gives_a_documented_outcome(method, data):
    name, arity = method
    args = data.draw(st.lists(ANYTHING, min_size=0, max_size=arity + 1))
    p = pyvexa.Protocol()
    before = str(p)
    kind, _ = outcome(getattr(p, name), *args)
    assert kind in DOCUMENTED, (name, args)
    if kind != "ok":
        assert str(p) == before  # refused calls change nothing


def save_with(path_value):
    # A drawn name such as ".vexa" is a valid file name: keep it out of the tree.
    with tempfile.TemporaryDirectory() as tmp:
        cwd = os.getcwd()
        os.chdir(tmp)
        try:
            return outcome(pyvexa.Protocol().save, path_value)
        finally:
            os.chdir(cwd)


@settings(max_examples=40, deadline=None)
@given(ANYTHING)
def test_save_refuses_anything_but_text(path_value):
    kind, text = save_with(path_value)
    if isinstance(path_value, str) and "\udc80" not in path_value:
        assert kind in {"ok", "PanicException"}  # saved, or refused by suffix or the system
    else:
        assert kind in {"TypeError", "UnicodeEncodeError"}


class Sub(np.ndarray):
    pass


@st.composite
def array_arguments(draw):
    dtype = draw(st.sampled_from(["=f8", ">f8" if np.little_endian else "<f8", "f4", "i8", "?"]))
    n = draw(st.sampled_from([50, 50, 50, 49, 51]))
    step = draw(st.sampled_from([1, 2, -1, -3]))
    base = draw(hnp.arrays(dtype, n * abs(step), elements=hnp.from_dtype(np.dtype(dtype))))
    if dtype.endswith("f8"):
        base = np.clip(np.nan_to_num(base.astype(np.float64), nan=0.5), 0.0, 1.0).astype(dtype)
        if draw(st.booleans()):
            base[draw(st.integers(0, len(base) - 1))] = draw(st.sampled_from([math.nan, -0.5, 1.5]))
    view = base[::step]
    shape = draw(st.sampled_from(["1d", "2d", "0d", "broadcast"]))
    if shape == "2d":
        view = view.reshape(1, -1)
    elif shape == "0d":
        view = np.asarray(view[0])
    elif shape == "broadcast":
        view = np.broadcast_to(view[:1], (n,))
    if draw(st.booleans()) and view.flags.writeable:
        view.flags.writeable = False
    if draw(st.booleans()):
        view = view.view(Sub)
    return view


@settings(max_examples=120, deadline=None)
@given(array_arguments())
def test_random_arrays_are_accepted_exactly_when_they_are_1d_native_float64(arr):
    p = pyvexa.Protocol()
    p.set_session_duration(0.01)
    model = Model()
    model.apply("set_session_duration", (0.01,))
    acceptable = arr.ndim == 1 and arr.dtype == np.dtype("=f8") and arr.dtype.isnative
    got = outcome(p.add_arbitrary_signal, arr)
    if not acceptable:
        assert got == ("TypeError", "argument 'samples': 'Sub' object cannot be cast as 'ndarray'"
                       if isinstance(arr, Sub) else "argument 'samples': 'ndarray' object cannot be cast as 'ndarray'")
        return
    assert got == model.apply("add_arbitrary_signal", ([float(x) for x in arr],))
    assert str(p) == vexafile.to_text(model.s)
