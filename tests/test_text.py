import math

import numpy
import pytest

from pyvexa import Protocol
from surface_helpers import DEFAULT_TEXT, constant, replace_line, signal_lines, with_signals
from vexa_helpers import EMPTY_SIGNALS_LINE, SIGNALS_EXAMPLE_TEXT


def test_default_rendering():
    text = str(Protocol())
    assert text == DEFAULT_TEXT
    assert len(text.split("\n")) == 104
    assert not text.endswith("\n")


def test_signals_example():
    p = Protocol()
    p.add_constant_signal(0.5)
    p.add_sine_signal(1.0, 10.0)
    assert str(p) == DEFAULT_TEXT.replace(EMPTY_SIGNALS_LINE, SIGNALS_EXAMPLE_TEXT)


@pytest.mark.parametrize("value,text", [
    (1e-5, "1e-5"),
    (2.5e-7, "2.5e-7"),
    (1e16, "1e16"),
    (1.5e16, "1.5e16"),
    (9999999999999998.0, "9999999999999998.0"),
    (1e15, "1000000000000000.0"),
    (0.0001, "0.0001"),
    (9.999999999999999e-05, "9.999999999999999e-5"),
    (0.0, "0.0"),
    (-0.0, "-0.0"),
    (math.nan, "NaN"),
    (-math.nan, "NaN"),
    (math.inf, "inf"),
    (-math.inf, "-inf"),
    (5e-324, "5e-324"),
    (-5e-324, "-5e-324"),
    (1.7976931348623157e308, "1.7976931348623157e308"),
    (-1.7976931348623157e308, "-1.7976931348623157e308"),
    (1e300, "1e300"),
    (0.1 + 0.2, "0.30000000000000004"),
    (22.624434389140273, "22.624434389140273"),
    (100.0, "100.0"),
    (-2.5, "-2.5"),
    (123456.789, "123456.789"),
    (-1e-7, "-1e-7"),
])
def test_double_rendering(value, text):
    p = Protocol()
    p.add_constant_signal(value)
    assert str(p) == with_signals(constant(text))


def test_mixed_and_ramp_rendering():
    p = Protocol()
    p.add_ramp_signal(1.0, -2.0, 0.0)
    p.add_mixed_signal(5, 2**64 - 1)
    assert str(p) == with_signals(
        signal_lines("Ramp", "RampSignalParams",
                     [("peak", "1.0"), ("up_duration", "-2.0"), ("down_duration", "0.0")]),
        signal_lines("MixedSignal", "MixedSignalParams",
                     [("a_idx", "5"), ("b_idx", "18446744073709551615")]),
    )


def test_arbitrary_rendering_keeps_length_after_duration_change():
    p = Protocol()
    p.set_session_duration(0.01)
    samples = numpy.zeros(50)
    samples[0], samples[1], samples[49] = 1.0, 0.5, 0.25
    p.add_arbitrary_signal(samples)
    p.set_session_duration(0.02)
    expected_samples = ["32767", "16384"] + ["0"] * 47 + ["8192"]
    text = replace_line(DEFAULT_TEXT, "        session_duration: 60.0,", "        session_duration: 0.02,")
    assert str(p) == with_signals(
        signal_lines("Arbitrary", "ArbitrarySignalParams", [("samples", expected_samples)]), text=text)
