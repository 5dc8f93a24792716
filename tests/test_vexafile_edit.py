"""Editing: to_protocol rebuilds what a file holds, snapshot reads a live
protocol, loads_text inverts the text form."""

import dataclasses
import math
import os
import re
import struct
from array import array

import numpy as np
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import pyvexa
import vexafile as vf
from vexafile import _edit, _text_parse
from vexa_helpers import DEFAULT_MACHINE, DEFAULT_TEXT, EXAMPLE_213, arbitrary, default_settings, encode, plain
from reader_support import hide_numpy

FEW = settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
U64 = st.integers(0, 2**64 - 1)
NAN_PAYLOAD = st.integers(1, 2**52 - 1).map(lambda m: struct.unpack("<d", struct.pack("<Q", 0x7FF0_0000_0000_0000 | m))[0])
ANY_FLOAT = st.one_of(st.floats(), st.sampled_from([-0.0, math.inf, 1e-5, 1e16, 1e-4, 5e-324]), NAN_PAYLOAD)
FRACTION = st.one_of(st.floats(0.0, 1.0), st.sampled_from([0.0, -0.0, 1.0, 0.5, 1 / 3]))
ENV = b"VEXA_TARGET_MACHINE"


def exact(record, payloads=True):
    """A record as plain data whose doubles compare by bit pattern; without
    `payloads` every NaN counts as the default NaN."""
    def walk(v):
        if isinstance(v, float):
            return struct.pack("<d", v if payloads or not math.isnan(v) else math.nan)
        if isinstance(v, dict):
            return {k: walk(x) for k, x in v.items()}
        if isinstance(v, list):
            return [walk(x) for x in v]
        return v

    return walk(plain(record))


# --- building protocols the way scripts do -----------------------------------

COILS = [pyvexa.Coil.A1, pyvexa.Coil.A2, pyvexa.Coil.B1, pyvexa.Coil.B2]
CHANNELS = [pyvexa.Channel.A, pyvexa.Channel.B]

OPS = st.one_of(
    st.tuples(st.just("set_session_duration"), st.one_of(st.floats(0.01, 1800.0), st.sampled_from([0.01, 0.07, 1800.0]))),
    st.tuples(st.just("set_stimulation_intensity"), FRACTION),
    st.tuples(st.just("add_constant_signal"), ANY_FLOAT),
    st.tuples(st.just("add_sine_signal"), ANY_FLOAT, ANY_FLOAT, ANY_FLOAT, ANY_FLOAT),
    st.tuples(st.just("add_ramp_signal"), ANY_FLOAT, ANY_FLOAT, ANY_FLOAT),
    st.tuples(st.just("add_mixed_signal"), U64, U64),
    st.tuples(st.just("set_amplitude_source"), st.sampled_from(COILS), U64, st.booleans()),
    st.tuples(st.just("set_modulation_source"), st.sampled_from(CHANNELS), U64, st.booleans()),
    st.tuples(st.just("enable_channel"), st.sampled_from(CHANNELS)),
    # An arbitrary signal under a short session of its own, then random fractions.
    st.tuples(st.just("arbitrary"), st.floats(0.01, 0.2), st.integers(0, 2**32 - 1)),
)


def build(ops):
    p = pyvexa.Protocol()
    for name, *args in ops:
        if name == "arbitrary":
            duration, seed = args
            p.set_session_duration(duration)
            x = np.random.default_rng(seed).random(p.get_num_samples())
            x[: min(4, len(x))] = [0.0, -0.0, 1.0, 0.5][: min(4, len(x))]
            p.add_arbitrary_signal(x)
        else:
            getattr(p, name)(*args)
    return p


@pytest.mark.parametrize("target", [None, b"1", b""])
@FEW
@given(ops=st.lists(OPS, max_size=12))
def test_to_protocol_saves_the_same_bytes(tmp_path, monkeypatch, target, ops):
    if target is None:
        monkeypatch.delitem(os.environb, ENV, raising=False)
    else:
        monkeypatch.setitem(os.environb, ENV, target)
    original, again = tmp_path / "a.vexa", tmp_path / "b.vexa"
    build(ops).save(str(original))
    # The caller's environment, whatever it is, is not the file's.
    monkeypatch.setitem(os.environb, ENV, b"\xff" if target is not None else b"set")
    before = dict(os.environb)
    vf.to_protocol(original).save(str(again))
    assert dict(os.environb) == before
    assert again.read_bytes() == original.read_bytes()


@FEW
@given(ops=st.lists(OPS, max_size=10))
def test_snapshot_is_the_saved_record_and_changes_nothing(tmp_path, ops):
    p = build(ops)
    text = str(p)
    snap = vf.snapshot(p)
    assert str(p) == text  # an empty list stays empty
    assert vf.to_text(snap) == text
    p.add_constant_signal(0.25)  # save would otherwise add a signal
    p.save(str(tmp_path / "p.vexa"))
    # Exact but for NaN payloads, which the text form does not show.
    assert exact(vf.snapshot(p), payloads=False) == exact(vf.load(tmp_path / "p.vexa"), payloads=False)


def test_snapshot_refuses_other_objects():
    with pytest.raises(TypeError):
        vf.snapshot(DEFAULT_TEXT)


# --- loads_text ------------------------------------------------------------------

NAMES = st.text(max_size=12) | st.sampled_from(['"', "\\", "a\nb", "\0", "\u202e", "\x85", "\\u{41}", "\u2028"])
SAMPLES = st.lists(st.integers(-32768, 32767), max_size=30) | st.sampled_from([[-32768, 32767, 0, -1]])
LC = st.builds(vf.LCSetting, ANY_FLOAT, ANY_FLOAT, U64, U64)
COIL = st.builds(vf.Coil, NAMES, ANY_FLOAT, ANY_FLOAT, ANY_FLOAT, st.lists(LC, max_size=3).map(tuple))
FLOATS = st.lists(ANY_FLOAT, max_size=3).map(tuple)
MACHINE = st.builds(vf.MachineConfig, ANY_FLOAT, U64, st.lists(COIL, max_size=3).map(tuple), FLOATS, FLOATS, U64,
                    st.booleans(), U64, U64, st.booleans(), *[ANY_FLOAT] * 6)
SIGNAL = st.one_of(
    st.builds(lambda v: vf.Constant(vf.ConstantSignalParams(v)), ANY_FLOAT),
    st.builds(lambda *a: vf.Sine(vf.SineSignalParams(*a)), *[ANY_FLOAT] * 4),
    st.builds(lambda *a: vf.Ramp(vf.RampSignalParams(*a)), *[ANY_FLOAT] * 3),
    st.builds(lambda a, b: vf.MixedSignal(vf.MixedSignalParams(a, b)), U64, U64),
    SAMPLES.map(arbitrary),
)
SOURCE = st.builds(vf.SignalSourceSelection, U64, U64, st.booleans())
CHANNEL = st.builds(vf.ChannelSettings, st.booleans(), SOURCE, SOURCE, SOURCE, U64, U64)
RECORD = st.builds(vf.Settings, st.booleans(), MACHINE, ANY_FLOAT, ANY_FLOAT, st.lists(SIGNAL, max_size=5).map(tuple),
                   CHANNEL, CHANNEL, st.lists(st.booleans(), min_size=16, max_size=16).map(tuple), U64)


@pytest.fixture(params=["numpy", "array"])
def container(request, monkeypatch):
    """Run with NumPy, and as if it were not installed."""
    if request.param == "array":
        hide_numpy(monkeypatch)
    return request.param


def assert_samples_like_load(record, container):
    for signal in record.signals:
        if isinstance(signal, vf.Arbitrary):
            s = signal.params.samples
            if container == "array":
                assert isinstance(s, array) and s.typecode == "h"
            else:
                assert s.dtype == np.int16 and not s.flags.writeable


EDGES = default_settings(
    machine_config=dataclasses.replace(
        DEFAULT_MACHINE, coils=(dataclasses.replace(DEFAULT_MACHINE.coils[0], name='q"b\\n\n\t\0\x7f\u202e\x85 é'),),
        capacitors=(-0.0, math.inf, -math.inf), possible_capacitances=(1e-5, 1e16, 9999999999999998.0, 1e-4)),
    signals=[vf.MixedSignal(vf.MixedSignalParams(2**64 - 1, 0)), vf.Constant(vf.ConstantSignalParams(math.nan)),
             arbitrary([-32768, 32767, -1, 0])],
    monitor_subsampling_factor=2**64 - 1)


@FEW
@example(record=EDGES)
@given(record=RECORD)
def test_loads_text_inverts_to_text(container, record):
    text = vf.to_text(record)
    parsed = vf.loads_text(text)
    assert vf.to_text(parsed) == text
    assert exact(parsed, payloads=False) == exact(record, payloads=False)
    assert_samples_like_load(parsed, container)


SAMPLE_TEXT = vf.to_text(default_settings(signals=[arbitrary(range(-3, 400))], session_duration=0.07))
SAMPLE_LINE = SAMPLE_TEXT.split("\n").index(" " * 24 + "-3,") + 1  # line number of the first sample


def mutate(text, old, new, count=1):
    assert old in text
    return text.replace(old, new, count)


MALFORMED = [
    # (text, line, words of the expectation)
    (DEFAULT_TEXT + "\n", 105, "the end of the text"),
    (DEFAULT_TEXT + " ", 104, "'}'"),
    (DEFAULT_TEXT.replace("Protocol {", "Protocol{"), 1, "'Protocol {'"),
    (mutate(DEFAULT_TEXT, "    num_coils: 2,", "   num_coils: 2,"), 6, "field 'num_coils' indented by 12"),
    (mutate(DEFAULT_TEXT, "num_coils: 2,", "num_coils: 2"), 6, "followed by ','"),
    (mutate(DEFAULT_TEXT, "num_coils: 2,", "num_coil: 2,"), 6, "field 'num_coils'"),
    (mutate(DEFAULT_TEXT, "supply_voltage: 80.0,\n            num_coils: 2,",
            "num_coils: 2,\n            supply_voltage: 80.0,"), 5, "field 'supply_voltage'"),
    (mutate(DEFAULT_TEXT, "num_coils: 2,", f"num_coils: {2**64},"), 6, "unsigned 64-bit"),
    (mutate(DEFAULT_TEXT, "num_coils: 2,", "num_coils: 02,"), 6, "unsigned 64-bit"),
    (mutate(DEFAULT_TEXT, "supply_voltage: 80.0,", "supply_voltage: 80,"), 5, "a double"),
    (mutate(DEFAULT_TEXT, "supply_voltage: 80.0,", "supply_voltage: 8e1,"), 5, "a double"),
    (mutate(DEFAULT_TEXT, "supply_voltage: 80.0,", "supply_voltage: nan,"), 5, "a double"),
    (mutate(DEFAULT_TEXT, "smbus_psu_connected: false,", "smbus_psu_connected: False,"), 30, "'true' or 'false'"),
    (mutate(DEFAULT_TEXT, '"Default"', '"\\u{41}"'), 9, "quoted text"),
    (mutate(DEFAULT_TEXT, '"Default"', '"a\\qb"'), 9, "quoted text"),
    (mutate(DEFAULT_TEXT, '"Default"', '"a"b"'), 9, "quoted text"),
    (mutate(DEFAULT_TEXT, "signals: [],", "signals: [\n        ],"), 44, "an element indented by 12"),
    (mutate(DEFAULT_TEXT, "signals: [],", "signals: [\n            Square(\n"), 44, "a signal variant"),
    (mutate(DEFAULT_TEXT, "            false,\n        ],", "        ],"), 100, "an element"),
    (mutate(DEFAULT_TEXT, "            false,\n        ],", "            false,\n            false,\n        ],"),
     101, "after 16 elements"),
    (mutate(DEFAULT_TEXT, "        },\n        channel_b", "        }\n        channel_b"), 63, "'        },'"),
    ("\n".join(DEFAULT_TEXT.split("\n")[:50]), 51, "the end of the text"),
    ("", 1, "'Protocol {'"),
]
BAD_SAMPLES = ["32768", "-32769", "+5", "05", "-0", "1_0", " 5", "5 ", "٣", "", "5,6"]


@pytest.mark.parametrize("text, line, words", MALFORMED)
def test_malformed_text_is_refused_with_its_line(text, line, words):
    with pytest.raises(ValueError, match=rf"^line {line}: expected .*{words}"):
        vf.loads_text(text)


@pytest.mark.parametrize("chunk", [16, 40, 1 << 20])
@pytest.mark.parametrize("bad", BAD_SAMPLES)
@pytest.mark.parametrize("at", [0, 1, 57, 402])
def test_bad_sample_is_refused_with_its_line(container, monkeypatch, chunk, bad, at):
    # Small chunks put the bad line in later chunks and at chunk edges.
    monkeypatch.setattr(_text_parse, "_SAMPLE_CHUNK", chunk)
    lines = SAMPLE_TEXT.split("\n")
    lines[SAMPLE_LINE - 1 + at] = " " * 24 + bad + ","
    with pytest.raises(ValueError, match=rf"^line {SAMPLE_LINE + at}: expected a sample"):
        vf.loads_text("\n".join(lines))
    assert vf.loads_text(SAMPLE_TEXT) == default_settings(signals=[arbitrary(range(-3, 400))], session_duration=0.07)


# A close at the list's indentation ends the list: the next line is refused.
# The last case counts the lines of every chunk before the error.
@pytest.mark.parametrize("chunk", [16, 1 << 20])
@pytest.mark.parametrize("index, bad_line, after", [
    (10, " " * 23 + "5,", 0), (10, " " * 24 + "5", 0), (10, " " * 20 + "],", 1), (404, " " * 16 + "}", 0)])
def test_bad_sample_layout_is_refused(container, monkeypatch, chunk, index, bad_line, after):
    monkeypatch.setattr(_text_parse, "_SAMPLE_CHUNK", chunk)
    lines = SAMPLE_TEXT.split("\n")
    lines[SAMPLE_LINE - 1 + index] = bad_line
    with pytest.raises(ValueError, match=rf"^line {SAMPLE_LINE + index + after}: expected"):
        vf.loads_text("\n".join(lines))


def test_loads_text_takes_str_only():
    with pytest.raises(TypeError):
        vf.loads_text(DEFAULT_TEXT.encode())


# --- to_protocol -------------------------------------------------------------------

def sample_record(**changes):
    fields = {"signals": [arbitrary([0, 1, 32767] + [5] * 47)], "session_duration": 0.01}
    return default_settings(**{**fields, **changes})


def channel_with(name, **changes):
    base = getattr(sample_record(), name)
    fields = {k: (dataclasses.replace(getattr(base, k), **v) if isinstance(v, dict) else v) for k, v in changes.items()}
    return {name: dataclasses.replace(base, **fields)}


def with_coil(**changes):
    coil = dataclasses.replace(DEFAULT_MACHINE.coils[0], **changes)
    return {"machine_config": dataclasses.replace(DEFAULT_MACHINE, coils=(coil,))}


REFUSED = [
    ({"machine_config": dataclasses.replace(DEFAULT_MACHINE, supply_voltage=48.0)}, "machine_config.supply_voltage: 48.0"),
    ({"machine_config": dataclasses.replace(DEFAULT_MACHINE, coils=DEFAULT_MACHINE.coils * 2)}, "machine_config.coils: 2 elements"),
    (with_coil(name="A1"), 'machine_config.coils[0].name: "A1"'),
    (with_coil(settings=(vf.LCSetting(330.0, 22.624434389140273, 221, 2),)),
     "machine_config.coils[0].settings[0].capacitor_bank_setting: 2"),
    ({"machine_config": dataclasses.replace(DEFAULT_MACHINE, max_power=-0.0)}, "machine_config.max_power: -0.0"),
    ({"intensity": 1.0000000000000002}, "intensity: 1.0000000000000002"),
    ({"intensity": math.nan}, "intensity: NaN"),
    ({"session_duration": 0.009999999999999998}, "session_duration: 0.009999999999999998"),
    ({"session_duration": math.inf}, "session_duration: inf"),
    ({"signals": (arbitrary([1] * 49),)}, "signals[0].Arbitrary.samples: 49 samples"),
    ({"signals": (arbitrary([]),)}, "signals[0].Arbitrary.samples: 0 samples"),
    ({"signals": (vf.Constant(vf.ConstantSignalParams(1.0)), arbitrary([1] * 60 + [-1] * 3))},
     "signals[1].Arbitrary.samples[60]: -1"),
    (channel_with("channel_a_settings", enabled=False), "channel_a_settings.enabled: false"),
    (channel_with("channel_a_settings", amplitude1_source={"external": 3}), "channel_a_settings.amplitude1_source.external: 3"),
    (channel_with("channel_b_settings", modulation_source={"internal": 2, "external_selected": True}),
     "channel_b_settings.modulation_source.internal: 2"),
    (channel_with("channel_b_settings", amplitude2_source={"internal": 1, "external": 2**64, "external_selected": True}),
     "channel_b_settings.amplitude2_source.internal: 1"),
    (channel_with("channel_b_settings", coil_idx=1), "channel_b_settings.coil_idx: 1"),
    (channel_with("channel_a_settings", coil_setting_idx=1), "channel_a_settings.coil_setting_idx: 1"),
    ({"monitor_trace_visible": (False,) * 3 + (True,) + (False,) * 12}, "monitor_trace_visible[3]: true"),
    ({"monitor_subsampling_factor": 300}, "monitor_subsampling_factor: 300"),
    # The first refused field in declaration order is named.
    ({"intensity": 2.0, "monitor_subsampling_factor": 0}, "intensity: 2.0"),
]


@pytest.mark.parametrize("changes, message", REFUSED)
def test_to_protocol_refuses_what_pyvexa_cannot_write(monkeypatch, changes, message):
    vf.to_protocol(sample_record())  # the default record is taken once, here
    made = []
    monkeypatch.setattr(pyvexa, "Protocol", lambda: made.append(1))
    with pytest.raises(ValueError, match="^" + re.escape(message + " cannot be produced by pyvexa")):
        vf.to_protocol(sample_record(**changes))
    assert made == []  # refused before anything was built


def test_to_protocol_refuses_a_foreign_machine_file(tmp_path):
    (tmp_path / "x.vexa").write_bytes(EXAMPLE_213)
    with pytest.raises(ValueError, match=r"^machine_config.supply_voltage: 48.0 "):
        vf.to_protocol(tmp_path / "x.vexa")
    with pytest.raises(TypeError):
        vf.to_protocol(3)  # not read as a file descriptor


def test_to_protocol_of_a_record_with_no_signals_saves_like_a_new_protocol(tmp_path):
    vf.to_protocol(default_settings()).save(str(tmp_path / "a.vexa"))
    pyvexa.Protocol().save(str(tmp_path / "b.vexa"))
    assert (tmp_path / "a.vexa").read_bytes() == (tmp_path / "b.vexa").read_bytes()
    assert (tmp_path / "a.vexa").read_bytes() == encode(default_settings(signals=[vf.Constant(vf.ConstantSignalParams(0.0))]))


@pytest.mark.parametrize("n", [50, 351, 9_000_000])
def test_to_protocol_rebuilds_edge_lengths(tmp_path, n):
    record = default_settings(signals=[vf.Arbitrary(vf.ArbitrarySignalParams((np.arange(n) % 32768).astype(np.int16)))])
    vf.to_protocol(record).save(str(tmp_path / "a.vexa"))
    assert (tmp_path / "a.vexa").read_bytes() == encode(record)


@pytest.mark.parametrize("previous", [None, b"", b"0", b"\xff\xfe"])
@pytest.mark.parametrize("on_target", [False, True])
def test_environment_is_restored(monkeypatch, previous, on_target):
    if previous is not None:
        monkeypatch.setitem(os.environb, ENV, previous)
    record = default_settings(running_on_target_machine=on_target)
    assert vf.snapshot(vf.to_protocol(record)).running_on_target_machine is on_target
    assert os.environb.get(ENV) == previous

    def failing():
        raise MemoryError

    monkeypatch.setattr(pyvexa, "Protocol", failing)
    with pytest.raises(MemoryError):
        vf.to_protocol(record)
    assert os.environb.get(ENV) == previous


def test_sample_counts_have_a_duration():
    # Every count from 50 to 9,000,000 has one; check both ends densely.
    for n in [*range(50, 20_050), *range(8_980_000, 9_000_001)]:
        d = _edit.duration_for_samples(n)
        assert d is not None and 0.01 <= d <= 1800.0 and math.ceil(d * 5000.0) == n, n
    for n in (0, 1, 49, 9_000_001, 2**40):
        assert _edit.duration_for_samples(n) is None
