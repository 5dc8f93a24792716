import math

import numpy
import pytest

from pyvexa import Protocol
from surface_helpers import DEFAULT_TEXT, constant, panic, replace_line, signal_lines, with_signals

LENGTH = "assertion failed: samples.len() == self.get_num_samples()"
LOW = "assertion failed: *sample >= 0.0"
HIGH = "assertion failed: *sample <= 1.0"
SHORT_TEXT = replace_line(DEFAULT_TEXT, "        session_duration: 60.0,", "        session_duration: 0.01,")


def sine(amplitude, frequency, phase, depth):
    return signal_lines("Sine", "SineSignalParams", [
        ("amplitude", amplitude), ("frequency", frequency), ("phase", phase), ("depth", depth)])


def short_protocol():
    """A protocol that needs 50 samples per arbitrary signal."""
    p = Protocol()
    p.set_session_duration(0.01)
    return p


def test_indices_count_up_across_kinds():
    p = short_protocol()
    results = [
        p.add_constant_signal(1.0),
        p.add_sine_signal(1.0, 2.0),
        p.add_ramp_signal(1.0, 2.0, 3.0),
        p.add_mixed_signal(0, 1),
        p.add_arbitrary_signal(numpy.zeros(50)),
        p.add_constant_signal(value=2.0),
    ]
    assert results == [0, 1, 2, 3, 4, 5]
    assert all(type(r) is int for r in results)


@pytest.mark.parametrize("kwargs,fields", [
    ({}, ("1.0", "10.0", "0.0", "1.0")),
    ({"depth": 0.5}, ("1.0", "10.0", "0.0", "0.5")),
    ({"phase": 3.0}, ("1.0", "10.0", "3.0", "1.0")),
])
def test_sine_defaults(kwargs, fields):
    p = Protocol()
    assert p.add_sine_signal(1.0, 10.0, **kwargs) == 0
    assert str(p) == with_signals(sine(*fields))


def test_sine_all_keywords_stored_in_declaration_order():
    p = Protocol()
    p.add_sine_signal(depth=0.25, phase=3.0, frequency=2.0, amplitude=1.5)
    assert str(p) == with_signals(sine("1.5", "2.0", "3.0", "0.25"))


@pytest.mark.parametrize("kwargs,name", [({"phase": None}, "phase"), ({"depth": None}, "depth")])
def test_sine_none_is_not_omission(kwargs, name):
    p = Protocol()
    with pytest.raises(TypeError) as info:
        p.add_sine_signal(1.0, 10.0, **kwargs)
    assert str(info.value) == f"argument '{name}': must be real number, not NoneType"
    assert p.add_constant_signal(0.5) == 0


def test_mixed_indices_unchecked():
    p = Protocol()
    assert p.add_mixed_signal(5, 7) == 0
    assert p.add_mixed_signal(0, 0) == 1
    assert p.add_mixed_signal(2, 2) == 2
    mixed = [signal_lines("MixedSignal", "MixedSignalParams", [("a_idx", a), ("b_idx", b)])
             for a, b in (("5", "7"), ("0", "0"), ("2", "2"))]
    assert str(p) == with_signals(*mixed)


def test_values_stored_unchanged():
    p = Protocol()
    p.add_ramp_signal(1.0, -2.0, 0.0)
    p.add_constant_signal(math.nan)
    p.add_sine_signal(-math.inf, -1.0, math.nan, -0.0)
    assert str(p) == with_signals(
        signal_lines("Ramp", "RampSignalParams",
                     [("peak", "1.0"), ("up_duration", "-2.0"), ("down_duration", "0.0")]),
        constant("NaN"),
        sine("-inf", "-1.0", "NaN", "-0.0"),
    )


@pytest.mark.parametrize("duration,count", [
    (None, 299999), (None, 300001), (0.07, 350), (0.07, 352), (0.01, 0), (0.01, 49),
])
def test_arbitrary_length_mismatch(duration, count):
    p = Protocol()
    if duration is not None:
        p.set_session_duration(duration)
    before = str(p)
    with panic(LENGTH):
        p.add_arbitrary_signal(numpy.zeros(count))
    assert str(p) == before


@pytest.mark.parametrize("duration,count", [(None, 300000), (0.07, 351), (0.01, 50)])
def test_arbitrary_length_accepted(duration, count):
    p = Protocol()
    if duration is not None:
        p.set_session_duration(duration)
    assert p.add_arbitrary_signal(numpy.full(count, 0.5)) == 0


def test_length_checked_before_samples():
    samples = numpy.full(51, 2.0)
    samples[0] = math.nan
    with panic(LENGTH):
        short_protocol().add_arbitrary_signal(samples)


@pytest.mark.parametrize("bad,message", [
    ({3: 2.0, 10: math.nan}, HIGH),
    ({3: math.nan, 10: 2.0}, LOW),
    ({0: -5e-324}, LOW),
    ({49: -0.5}, LOW),
    ({49: 1.0000000000000002}, HIGH),
    ({7: math.inf, 8: -math.inf}, HIGH),
    ({7: -math.inf, 8: math.inf}, LOW),
])
def test_first_bad_sample_decides(bad, message):
    p = short_protocol()
    before = str(p)
    samples = numpy.full(50, 0.5)
    for i, v in bad.items():
        samples[i] = v
    with panic(message):
        p.add_arbitrary_signal(samples)
    assert str(p) == before


@pytest.mark.parametrize("value,stored", [
    (0.0, 0), (1.0, 32767), (0.5, 16384), (0.25, 8192), (0.1, 3277), (1 / 3, 10922), (-0.0, 0),
    (5e-324, 0), (0.9999999999999999, 32767), (1 / 32767, 1),
])
def test_sample_conversion(value, stored):
    p = short_protocol()
    p.add_arbitrary_signal(numpy.full(50, value))
    expected = signal_lines("Arbitrary", "ArbitrarySignalParams", [("samples", [str(stored)] * 50)])
    assert str(p) == with_signals(expected, text=SHORT_TEXT)


def test_failed_append_does_not_take_an_index():
    p = short_protocol()
    assert p.add_constant_signal(0.0) == 0
    with panic(HIGH):
        p.add_arbitrary_signal(numpy.full(50, 1.5))
    with panic(LENGTH):
        p.add_arbitrary_signal(numpy.zeros(10))
    with pytest.raises(TypeError):
        p.add_mixed_signal(0, "x")
    assert p.add_arbitrary_signal(numpy.ones(50)) == 1
    assert p.add_sine_signal(1.0, 1.0) == 2


def test_arbitrary_length_follows_current_duration():
    p = short_protocol()
    assert p.add_arbitrary_signal(numpy.zeros(50)) == 0
    p.set_session_duration(0.02)
    with panic(LENGTH):
        p.add_arbitrary_signal(numpy.zeros(50))
    assert p.add_arbitrary_signal(numpy.zeros(100)) == 1
