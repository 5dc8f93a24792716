import math

import numpy
import pytest

from pyvexa import Channel, Coil, Protocol
from surface_helpers import DEFAULT_TEXT, panic, parse_text, replace_line, run_python, selection

UPPER = "assertion failed: duration <= config::MAX_SESSION_DURATION"
LOWER = "assertion failed: duration >= 0.01"
INTENSITY = "assertion failed: intensity >= 0.0 && intensity <= 1.0"

SOURCES = [("a", "amplitude1_source"), ("a", "amplitude2_source"), ("a", "modulation_source"),
           ("b", "amplitude1_source"), ("b", "amplitude2_source"), ("b", "modulation_source")]


def sources(p):
    fields = parse_text(str(p))
    return {key: fields[key] for key in SOURCES}


def default_sources():
    return {key: selection() for key in SOURCES}


def test_new_protocol_basics():
    p = Protocol()
    assert type(p.get_num_samples()) is int and p.get_num_samples() == 300000
    rate = p.get_sampling_rate()
    assert type(rate) is float and rate == 5000.0
    fields = parse_text(str(p))
    assert fields[(None, "intensity")] == "0.0"
    assert fields[(None, "session_duration")] == "60.0"
    assert fields[("a", "enabled")] == "true" and fields[("b", "enabled")] == "false"
    assert sources(p) == default_sources()


def test_protocols_are_independent():
    p, q = Protocol(), Protocol()
    p.set_session_duration(1.0)
    p.enable_channel(Channel.B)
    p.add_constant_signal(0.5)
    assert str(q) == DEFAULT_TEXT


@pytest.mark.parametrize("duration,samples,text", [
    (0.07, 351, "0.07"),
    (0.01, 50, "0.01"),
    (0.1, 500, "0.1"),
    (1800.0, 9000000, "1800.0"),
    (60, 300000, "60.0"),
])
def test_session_duration_and_sample_count(duration, samples, text):
    p = Protocol()
    assert p.set_session_duration(duration) is None
    assert p.get_num_samples() == samples
    assert p.get_sampling_rate() == 5000.0
    assert str(p) == replace_line(DEFAULT_TEXT, "        session_duration: 60.0,",
                                  f"        session_duration: {text},")


@pytest.mark.parametrize("duration,message", [
    (1800.0000000000002, UPPER),
    (math.nan, UPPER),
    (math.inf, UPPER),
    (1e308, UPPER),
    (0.009999999999999998, LOWER),
    (-math.inf, LOWER),
    (0.0, LOWER),
    (-0.0, LOWER),
    (-60.0, LOWER),
])
def test_session_duration_rejected(duration, message):
    p = Protocol()
    p.set_session_duration(2.0)
    before = str(p)
    with panic(message):
        p.set_session_duration(duration)
    assert str(p) == before
    assert p.get_num_samples() == 10000


@pytest.mark.parametrize("intensity,text", [
    (0.0, "0.0"), (1.0, "1.0"), (0.3, "0.3"), (-0.0, "-0.0"), (5e-324, "5e-324"), (True, "1.0"),
])
def test_intensity_accepted(intensity, text):
    p = Protocol()
    assert p.set_stimulation_intensity(intensity) is None
    assert str(p) == replace_line(DEFAULT_TEXT, "        intensity: 0.0,", f"        intensity: {text},")


@pytest.mark.parametrize("intensity", [-5e-324, -1.0, 1.0000000000000002, 2, math.nan, math.inf, -math.inf])
def test_intensity_rejected(intensity):
    p = Protocol()
    p.set_stimulation_intensity(0.5)
    before = str(p)
    with panic(INTENSITY):
        p.set_stimulation_intensity(intensity)
    assert str(p) == before


@pytest.mark.parametrize("coil,key", [
    (Coil.A1, ("a", "amplitude1_source")),
    (Coil.A2, ("a", "amplitude2_source")),
    (Coil.B1, ("b", "amplitude1_source")),
    (Coil.B2, ("b", "amplitude2_source")),
])
def test_amplitude_source_targets_its_record(coil, key):
    p = Protocol()
    p.set_amplitude_source(coil, 5)
    expected = default_sources()
    expected[key] = selection(internal=5)
    assert sources(p) == expected
    p.set_amplitude_source(coil, 8, True)
    expected[key] = selection(external=8, selected=True)
    assert sources(p) == expected


@pytest.mark.parametrize("channel,key", [
    (Channel.A, ("a", "modulation_source")),
    (Channel.B, ("b", "modulation_source")),
])
def test_modulation_source_targets_its_record(channel, key):
    p = Protocol()
    p.set_modulation_source(channel, 123456789)
    expected = default_sources()
    expected[key] = selection(internal=123456789)
    assert sources(p) == expected
    p.set_modulation_source(channel=channel, index=2**64 - 1, external=numpy.True_)
    expected[key] = selection(external=2**64 - 1, selected=True)
    assert sources(p) == expected


def test_last_source_call_overwrites_all_three_fields():
    p = Protocol()
    assert p.set_amplitude_source(Coil.B2, 7, True) is None
    assert sources(p)[("b", "amplitude2_source")] == selection(external=7, selected=True)
    p.set_amplitude_source(Coil.B2, 3)
    assert sources(p)[("b", "amplitude2_source")] == selection(internal=3)
    p.set_amplitude_source(index=4, coil=Coil.B2, external=False)
    assert sources(p)[("b", "amplitude2_source")] == selection(internal=4)
    p.set_amplitude_source(Coil.B2, 0, True)
    assert sources(p)[("b", "amplitude2_source")] == selection(selected=True)


@pytest.mark.parametrize("calls,a,b", [
    ([], "true", "false"),
    ([Channel.A], "true", "false"),
    ([Channel.B], "true", "true"),
    ([Channel.B, Channel.B], "true", "true"),
    ([Channel.B, Channel.A], "true", "true"),
])
def test_enable_channel(calls, a, b):
    p = Protocol()
    for channel in calls:
        assert p.enable_channel(channel) is None
    expected = replace_line(DEFAULT_TEXT, "            enabled: true,", f"            enabled: {a},")
    expected = replace_line(expected, "            enabled: false,", f"            enabled: {b},")
    assert str(p) == expected


FAILING = [
    lambda p: p.set_amplitude_source(Coil.A1, -1),
    lambda p: p.set_amplitude_source(Coil.A1, 5, 1),
    lambda p: p.set_amplitude_source(Coil.B1, 5, None),
    lambda p: p.set_modulation_source(Channel.B, 2**64, True),
    lambda p: p.set_modulation_source(Channel.A, 1, external="yes"),
    lambda p: p.enable_channel(1),
    lambda p: p.set_session_duration(0.0),
    lambda p: p.set_session_duration("1"),
    lambda p: p.set_stimulation_intensity(2.0),
    lambda p: p.add_constant_signal(),
]


@pytest.mark.parametrize("call", FAILING)
def test_failed_call_changes_nothing(call):
    p = Protocol()
    p.set_session_duration(3.0)
    p.set_stimulation_intensity(0.25)
    p.set_amplitude_source(Coil.B1, 2, True)
    p.set_modulation_source(Channel.A, 4)
    before = str(p)
    with pytest.raises(BaseException):
        call(p)
    assert str(p) == before
    p.enable_channel(Channel.B)
    assert p.get_num_samples() == 15000


TARGET_LINE = "        running_on_target_machine: {},"


def target_flag(p):
    return parse_text(str(p))[(None, "running_on_target_machine")]


@pytest.mark.parametrize("value,flag", [(None, "false"), ("", "true"), ("0", "true"),
                                        ("false", "true"), ("é", "true")])
def test_target_machine_variable(monkeypatch, value, flag):
    if value is not None:
        monkeypatch.setenv("VEXA_TARGET_MACHINE", value)
    p = Protocol()
    assert str(p) == replace_line(DEFAULT_TEXT, TARGET_LINE.format("false"), TARGET_LINE.format(flag))


def test_target_machine_read_at_construction_only(monkeypatch):
    p = Protocol()
    monkeypatch.setenv("VEXA_TARGET_MACHINE", "1")
    q = Protocol()
    assert target_flag(p) == "false" and target_flag(q) == "true"
    monkeypatch.delenv("VEXA_TARGET_MACHINE")
    p.set_session_duration(1.0)
    assert target_flag(p) == "false" and target_flag(q) == "true"
    assert target_flag(Protocol()) == "false"


def test_target_machine_invalid_utf8():
    out = run_python(
        "import os, pyvexa\n"
        "os.environb.pop(b'VEXA_TARGET_MACHINE', None)\n"
        "def flag():\n"
        "    return str(pyvexa.Protocol()).split('\\n')[2].strip()\n"
        "os.environb[b'VEXA_TARGET_MACHINE'] = b'\\xff\\xfe'\n"
        "print(flag())\n"
        "os.environb[b'VEXA_TARGET_MACHINE'] = b'ok'\n"
        "print(flag())\n"
        "os.environb[b'VEXA_TARGET_MACHINE'] = b'\\xc3'\n"
        "print(flag())\n"
    )
    assert out.splitlines() == [
        "running_on_target_machine: false,",
        "running_on_target_machine: true,",
        "running_on_target_machine: false,",
    ]
