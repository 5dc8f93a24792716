"""The pure-Python reader: worked byte examples, errors, robustness, text form, CLI."""

from __future__ import annotations

import dataclasses
import json
import math
import struct
import subprocess
import sys
from array import array

import pytest
from hypothesis import HealthCheck, given, settings as hsettings, strategies as st

import vexafile as vf
from vexa_helpers import (
    CONSTANT_ZERO_TEXT,
    DEFAULT_201,
    DEFAULT_TEXT,
    EXAMPLE_213,
    EXAMPLE_213_ROWS,
    SIGNALS_EXAMPLE_TEXT,
    arbitrary,
    channel,
    constant,
    default_settings,
    encode,
    mixed,
    ramp,
    sine,
    source,
    text_with_signals,
)

@pytest.fixture(autouse=True, params=["native", "python"])
def decoder(request, monkeypatch):
    """Every test with the compiled decoder and with the pure-Python one."""
    from vexafile import _decode

    if request.param == "python":
        monkeypatch.setattr(_decode, "_native", None)
    return request.param


EXAMPLE_213_RECORD = vf.Settings(
    running_on_target_machine=False,
    machine_config=vf.MachineConfig(
        supply_voltage=48.0,
        num_coils=1,
        coils=(vf.Coil("A1", 0.25, 8.0, 2000.0, (vf.LCSetting(0.125, 1000.0, 200, 5),)),),
        capacitors=(0.125,),
        possible_capacitances=(),
        num_external_signal_sources=2,
        smbus_psu_connected=True,
        num_temperature_sensors=4,
        num_flow_rate_sensors=1,
        safety_checks_enabled=True,
        max_intensity_setpoint=1.0,
        max_current=8.0,
        max_carrier_frequency=2000.0,
        max_temperature=40.0,
        min_flowrate=0.5,
        max_power=100.0,
    ),
    intensity=0.5,
    session_duration=60.0,
    signals=(sine(1.0, 10.0, 0.0, 0.5),),
    channel_a_settings=channel(True, mod=source(0, 1, True)),
    channel_b_settings=channel(False),
    monitor_trace_visible=(True, True) + (False,) * 14,
    monitor_subsampling_factor=300,
)


def with_bytes(data: bytes, offset: int, new: bytes, old_len: int | None = None) -> bytes:
    """data with old_len bytes at offset (default len(new)) replaced by new."""
    n = len(new) if old_len is None else old_len
    return data[:offset] + new + data[offset + n :]


# A default protocol holding one Arbitrary signal; its samples start here.
ARB_SAMPLES = [0, -1, 1, 200, -300, 32767, -32768]
ARB_FILE = encode(default_settings(signals=[arbitrary(ARB_SAMPLES)]))
ARB_SAMPLES_OFFSET = 150 + 1 + 1 + 1  # signal count, variant index, sample count


# --- worked examples -----------------------------------------------------


def test_example_213_decodes_field_by_field():
    # The hex rows are a hand transcription: check that each starts where stated.
    pos = 0
    for offset, hexbytes, _ in EXAMPLE_213_ROWS:
        assert pos == offset
        pos += len(bytes.fromhex(hexbytes))
    assert len(EXAMPLE_213) == 213

    s = vf.loads(EXAMPLE_213)
    assert s == EXAMPLE_213_RECORD
    # Field-by-field equality of floats hides nothing but the type: check it.
    assert type(s.machine_config.num_coils) is int
    assert type(s.running_on_target_machine) is bool
    assert isinstance(s.signals[0], vf.Sine) and s.signals[0].params.depth == 0.5


def test_default_201_is_the_default_record_with_one_constant():
    s = vf.loads(DEFAULT_201)
    assert s == default_settings(signals=[constant(0.0)])
    assert math.copysign(1.0, s.signals[0].params.value) == 1.0
    # Only the first byte depends on the environment.
    assert vf.loads(b"\x01" + DEFAULT_201[1:]).running_on_target_machine is True


@pytest.mark.parametrize(
    "hexbytes, value",
    [
        ("00", 0),
        ("7f", 127),
        ("80 01", 128),
        ("ac 02", 300),
        ("80 80 01", 16384),
        ("80 80 80 80 80 80 80 80 80 01", 2**63),
        ("ff ff ff ff ff ff ff ff ff 01", 2**64 - 1),
    ],
)
def test_varint_examples(hexbytes, value):
    r = vf.Reader(bytes.fromhex(hexbytes))
    assert r.varint() == value
    r.finish()


@pytest.mark.parametrize(
    "hexbytes, expected",
    [
        (
            "01" "000000000000f03f" "0000000000002440" "0000000000000000" "000000000000e03f",
            sine(1.0, 10.0, 0.0, 0.5),
        ),
        ("04 07 00 01 02 90 03 d7 04 fe ff 03 ff ff 03", arbitrary(ARB_SAMPLES)),
        ("04 04 7f 7e fe ff 03 ff ff 03", arbitrary([-64, 63, 32767, -32768])),
        ("04 00", arbitrary([])),
        ("00 0000000000000080", constant(-0.0)),
        ("02 000000000000f03f 00000000000000c0 0000000000000000", ramp(1.0, -2.0, 0.0)),
        ("03 05 07", mixed(5, 7)),
        ("03 ff ff ff ff ff ff ff ff ff 01 80 01", mixed(2**64 - 1, 128)),
    ],
)
def test_signal_fragments(hexbytes, expected):
    r = vf.Reader(bytes.fromhex(hexbytes))
    got = r.signal()
    r.finish()
    assert got == expected
    assert type(got) is type(expected)


def test_negative_zero_and_nan_payload_pass_bit_for_bit():
    nan_bits = struct.pack("<Q", 0x7FF8_0000_DEAD_BEEF)
    r = vf.Reader(b"\x00" + b"\x00" * 7 + b"\x80" + b"\x00" + nan_bits)
    neg = r.signal().params.value
    nan = r.signal().params.value
    assert struct.pack("<d", neg) == b"\x00" * 7 + b"\x80"
    assert struct.pack("<d", nan) == nan_bits


def test_source_selection_fragment():
    r = vf.Reader(bytes.fromhex("02 ac 02 01"))
    assert r.source_selection() == source(2, 300, True)
    r.finish()


def test_signal_list_fragment():
    r = vf.Reader(bytes.fromhex("02 00 0000000000000000 03 00 01"))
    assert r.signals() == (constant(0.0), mixed(0, 1))
    r.finish()


def test_non_ascii_coil_name_uses_its_byte_count():
    data = with_bytes(EXAMPLE_213, 11, bytes.fromhex("02 c3 a9"))
    assert vf.loads(data).machine_config.coils[0].name == "\u00e9"
    four = "\U0001f600".encode()
    data = with_bytes(EXAMPLE_213, 11, b"\x04" + four, old_len=3)
    assert vf.loads(data).machine_config.coils[0].name == "\U0001f600"


def test_non_minimal_varint_is_accepted():
    # Only the 10-byte limit is enforced; 0 written as 80 00 still reads as 0.
    data = with_bytes(EXAMPLE_213, 9, b"\x80\x00", old_len=1)
    assert vf.loads(data).machine_config.num_coils == 0


def test_samples_come_back_as_int16_arrays(sample_kind, tmp_path):
    path = tmp_path / "a.vexa"
    path.write_bytes(ARB_FILE)
    for s in (vf.loads(ARB_FILE), vf.load(path)):
        samples = s.signals[0].params.samples
        if sample_kind == "numpy":
            assert samples.dtype.name == "int16" and not samples.flags.writeable
        else:
            assert isinstance(samples, array) and samples.typecode == "h"
        assert samples.tolist() == ARB_SAMPLES


def test_records_compare_and_hash_by_sample_values():
    np = pytest.importorskip("numpy")
    as_array = arbitrary(ARB_SAMPLES)
    as_numpy = vf.Arbitrary(vf.ArbitrarySignalParams(np.array(ARB_SAMPLES, dtype=np.int16)))
    strided = vf.Arbitrary(vf.ArbitrarySignalParams(np.repeat(np.array(ARB_SAMPLES, dtype=np.int16), 2)[::2]))
    assert as_array == as_numpy == strided and hash(as_array) == hash(as_numpy) == hash(strided)
    assert len({as_array, as_numpy, strided}) == 1
    whole = default_settings(signals=[as_array])
    assert whole == default_settings(signals=[as_numpy]) and hash(whole) == hash(default_settings(signals=[as_numpy]))
    for other in ([0, -1, 1, 200, -300, 32767, -32767], ARB_SAMPLES[:-1], []):
        assert as_numpy != arbitrary(other) and as_array != arbitrary(other)
    assert as_numpy.params != ARB_SAMPLES  # not equal to a bare list


# --- errors ----------------------------------------------------------------

HUGE = bytes.fromhex("ff ff ff ff ff ff ff ff ff 01")


@pytest.mark.parametrize(
    "data, kind, offset, words",
    [
        pytest.param(b"", "unexpected_end", 0, "running_on_target_machine", id="empty"),
        pytest.param(EXAMPLE_213[:100], "unexpected_end", 97, "max_temperature", id="mid-double"),
        pytest.param(EXAMPLE_213[:212], "unexpected_end", 211, "monitor_subsampling_factor", id="mid-varint"),
        # A count that the rest cannot hold is reported at the count.
        pytest.param(EXAMPLE_213[:56], "unexpected_end", 38, "coil settings declares 1", id="short-seq"),
        pytest.param(EXAMPLE_213[:12], "unexpected_end", 10, "coils declares 1", id="short-coils"),
        pytest.param(EXAMPLE_213 + b"\x00", "trailing_bytes", 213, "1 trailing byte", id="trailing"),
        pytest.param(DEFAULT_201 + b"abc", "trailing_bytes", 201, "3 trailing bytes", id="trailing3"),
        pytest.param(
            with_bytes(EXAMPLE_213, 9, b"\xff" * 9 + b"\x02", old_len=1),
            "bad_varint", 9, "tenth byte is 0x02", id="varint-10th-byte-2",
        ),
        pytest.param(
            with_bytes(EXAMPLE_213, 9, b"\xff" * 10 + b"\x01", old_len=1),
            "bad_varint", 9, "num_coils", id="varint-11-bytes",
        ),
        pytest.param(with_bytes(EXAMPLE_213, 0, b"\x02"), "bad_bool", 0, "0x02", id="bool-first"),
        pytest.param(with_bytes(EXAMPLE_213, 69, b"\x80"), "bad_bool", 69, "smbus_psu_connected", id="bool-smbus"),
        pytest.param(with_bytes(EXAMPLE_213, 196, b"\xff"), "bad_bool", 196, "monitor_trace_visible[1]", id="bool-monitor"),
        pytest.param(with_bytes(EXAMPLE_213, 180, b"\x02"), "bad_bool", 180, "modulation_source external_selected", id="bool-source"),
        pytest.param(with_bytes(EXAMPLE_213, 12, b"\xff"), "bad_utf8", 12, "coil name", id="utf8-ff"),
        pytest.param(with_bytes(EXAMPLE_213, 12, b"A\xc3"), "bad_utf8", 13, "coil name", id="utf8-cut"),
        pytest.param(
            with_bytes(EXAMPLE_213, 11, b"\x03\xed\xa0\x80", old_len=3),
            "bad_utf8", 12, "coil name", id="utf8-surrogate",
        ),
        pytest.param(with_bytes(EXAMPLE_213, 138, b"\x05"), "bad_enum", 138, "unknown signal variant 5", id="variant-5"),
        pytest.param(
            with_bytes(EXAMPLE_213, 138, HUGE, old_len=1),
            "bad_enum", 138, "variant 18446744073709551615", id="variant-huge",
        ),
        pytest.param(
            with_bytes(ARB_FILE, ARB_SAMPLES_OFFSET, b"\x80\x80\x04", old_len=1),
            "sample_out_of_range", ARB_SAMPLES_OFFSET, "65536", id="sample-65536",
        ),
        pytest.param(
            with_bytes(ARB_FILE, ARB_SAMPLES_OFFSET + 1, b"\xff\xff\x7f", old_len=1),
            "sample_out_of_range", ARB_SAMPLES_OFFSET + 1, "sample 1", id="sample-max-3-bytes",
        ),
        pytest.param(
            with_bytes(ARB_FILE, ARB_SAMPLES_OFFSET, b"\x80\x80\x80\x01", old_len=1),
            "bad_varint", ARB_SAMPLES_OFFSET, "longer than 3 bytes", id="sample-4-bytes",
        ),
        pytest.param(
            ARB_FILE[: ARB_SAMPLES_OFFSET + 8], "unexpected_end", ARB_SAMPLES_OFFSET + 7,
            "sample 5", id="sample-cut",
        ),
        pytest.param(
            ARB_FILE[: ARB_SAMPLES_OFFSET + 4], "unexpected_end", ARB_SAMPLES_OFFSET - 1,
            "7 elements", id="samples-short",
        ),
    ],
)
def test_format_errors_name_kind_and_offset(data, kind, offset, words):
    with pytest.raises(vf.VexaFormatError) as info:
        vf.loads(data)
    e = info.value
    assert isinstance(e, ValueError)
    assert (e.kind, e.offset) == (kind, offset), str(e)
    assert str(e).startswith(f"offset {offset}: ")
    assert words in str(e)


@pytest.mark.parametrize(
    "method, hexbytes, offset, words",
    [
        ("string", "05 41 42", 0, "5 bytes of UTF-8 text"),
        ("string", "02 41 c3", 2, "bad UTF-8"),
        ("varint", "80 80", 0, "expected a varint"),
        ("f64", "00 00 00", 0, "expected 8 bytes"),
        ("boolean", "", 0, "expected a boolean byte"),
        ("sample", "90", 0, "sample varint"),
        ("source_selection", "02 ac 02", 3, "external_selected"),
    ],
)
def test_fragment_errors(method, hexbytes, offset, words):
    with pytest.raises(vf.VexaFormatError) as info:
        getattr(vf.Reader(bytes.fromhex(hexbytes)), method)()
    assert info.value.offset == offset and words in str(info.value)


@pytest.mark.parametrize(
    "offset, old_len, what",
    [
        (10, 1, "coils"),
        (38, 1, "coil settings"),
        (58, 1, "capacitors"),
        (67, 1, "possible_capacitances"),
        (137, 1, "signals"),
        (11, 1, "coil name"),
    ],
)
def test_huge_counts_are_refused_before_allocating(offset, old_len, what):
    with pytest.raises(vf.VexaFormatError) as info:
        vf.loads(with_bytes(EXAMPLE_213, offset, HUGE, old_len=old_len))
    assert (info.value.kind, info.value.offset) == ("unexpected_end", offset)
    assert what in str(info.value)


def test_huge_sample_count_is_refused():
    data = with_bytes(ARB_FILE, ARB_SAMPLES_OFFSET - 1, HUGE, old_len=1)
    with pytest.raises(vf.VexaFormatError) as info:
        vf.loads(data)
    assert (info.value.kind, info.value.offset) == ("unexpected_end", ARB_SAMPLES_OFFSET - 1)


def test_loads_accepts_bytes_like_but_not_text(tmp_path):
    assert vf.loads(bytearray(EXAMPLE_213)) == EXAMPLE_213_RECORD
    assert vf.loads(memoryview(EXAMPLE_213)) == EXAMPLE_213_RECORD
    with pytest.raises(TypeError):
        vf.loads(EXAMPLE_213.hex())
    path = tmp_path / "x.vexa"
    path.write_bytes(EXAMPLE_213)
    assert vf.load(path) == vf.load(str(path)) == EXAMPLE_213_RECORD


# --- robustness --------------------------------------------------------------

REAL_FILES = {"example213": EXAMPLE_213, "default201": DEFAULT_201, "arbitrary": ARB_FILE}


def _decode_or_format_error(data: bytes):
    try:
        return vf.loads(data)
    except vf.VexaFormatError as e:
        assert 0 <= e.offset <= len(data)
        return e


@pytest.mark.parametrize("name", sorted(REAL_FILES))
def test_every_truncation_is_an_unexpected_end(name):
    data = REAL_FILES[name]
    for n in range(len(data)):
        with pytest.raises(vf.VexaFormatError) as info:
            vf.loads(data[:n])
        assert info.value.kind == "unexpected_end", (n, str(info.value))
        assert info.value.offset <= n


_FUZZ = hsettings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@_FUZZ
@given(st.binary(max_size=400))
def test_random_bytes_never_raise_anything_else(data):
    _decode_or_format_error(data)


@_FUZZ
@given(
    st.sampled_from(sorted(REAL_FILES)),
    st.lists(st.tuples(st.integers(0, 10_000), st.integers(0, 255)), min_size=1, max_size=4),
)
def test_mutated_real_files_never_raise_anything_else(name, edits):
    data = bytearray(REAL_FILES[name])
    for pos, value in edits:
        data[pos % len(data)] = value
    _decode_or_format_error(bytes(data))


_f64 = st.floats(allow_nan=True, allow_infinity=True)
_u64 = st.integers(0, 2**64 - 1)
_sel = st.builds(vf.SignalSourceSelection, _u64, _u64, st.booleans())
_signal = st.one_of(
    st.builds(constant, _f64),
    st.builds(sine, _f64, _f64, _f64, _f64),
    st.builds(ramp, _f64, _f64, _f64),
    st.builds(mixed, _u64, _u64),
    st.builds(arbitrary, st.lists(st.integers(-32768, 32767), max_size=40)),
)
_coil = st.builds(
    vf.Coil,
    st.text(max_size=12),
    _f64,
    _f64,
    _f64,
    st.lists(st.builds(vf.LCSetting, _f64, _f64, _u64, _u64), max_size=3).map(tuple),
)
_settings = st.builds(
    vf.Settings,
    st.booleans(),
    st.builds(
        vf.MachineConfig,
        _f64, _u64,
        st.lists(_coil, max_size=3).map(tuple),
        st.lists(_f64, max_size=4).map(tuple),
        st.lists(_f64, max_size=4).map(tuple),
        _u64, st.booleans(), _u64, _u64, st.booleans(),
        _f64, _f64, _f64, _f64, _f64, _f64,
    ),
    _f64,
    _f64,
    st.lists(_signal, max_size=5).map(tuple),
    st.builds(vf.ChannelSettings, st.booleans(), _sel, _sel, _sel, _u64, _u64),
    st.builds(vf.ChannelSettings, st.booleans(), _sel, _sel, _sel, _u64, _u64),
    st.lists(st.booleans(), min_size=16, max_size=16).map(tuple),
    _u64,
)


@hsettings(max_examples=100, deadline=None)
@given(_settings, st.booleans())
def test_streamed_text_and_json_equal_the_whole_forms(s, numpy_samples):
    if numpy_samples:
        np = pytest.importorskip("numpy")
        s = dataclasses.replace(s, signals=tuple(
            vf.Arbitrary(vf.ArbitrarySignalParams(np.array(x.params.samples, dtype=np.int16)))
            if isinstance(x, vf.Arbitrary) else x for x in s.signals))
    blocks: list[str] = []
    vf.write_json(s, blocks.append)
    assert "".join(blocks) == json.dumps(vf.to_jsonable(s), indent=2, allow_nan=False)
    blocks.clear()
    vf.write_text(s, blocks.append)
    assert "".join(blocks) == vf.to_text(s) == vf.to_text(vf.loads(encode(s)))


@pytest.mark.parametrize("write", [vf.write_text, vf.write_json])
def test_streamed_forms_come_in_bounded_blocks(write):
    s = default_settings(signals=[arbitrary([-32768, 32767] * 300_000), sine(1.0, 2.0, 3.0, 4.0)])
    blocks: list[str] = []
    write(s, blocks.append)
    assert len(blocks) > 5
    assert max(map(len, blocks)) < 2 << 20


@hsettings(max_examples=200, deadline=None)
@given(_settings)
def test_any_record_round_trips(s):
    data = encode(s)
    back = vf.loads(data)
    # Bytes compare NaN payloads and -0.0 exactly, where == would not.
    assert encode(back) == data
    assert vf.to_text(back) == vf.to_text(s)


# --- text form ---------------------------------------------------------------


@pytest.mark.parametrize(
    "x, text",
    [
        (60.0, "60.0"),
        (0.3, "0.3"),
        (22.624434389140273, "22.624434389140273"),
        (1234567.0, "1234567.0"),
        (0.1 + 0.2, "0.30000000000000004"),
        (1e-4, "0.0001"),
        (0.0012345, "0.0012345"),
        (1e15, "1000000000000000.0"),
        (9999999999999998.0, "9999999999999998.0"),
        (1e16, "1e16"),
        (1.2345678901234567e19, "1.2345678901234567e19"),
        (9.999999999999999e-05, "9.999999999999999e-5"),
        (1e-5, "1e-5"),
        (2.5e-7, "2.5e-7"),
        (-1.5e-7, "-1.5e-7"),
        (1e300, "1e300"),
        (5e-324, "5e-324"),
        (1.7976931348623157e308, "1.7976931348623157e308"),
        (0.0, "0.0"),
        (-0.0, "-0.0"),
        (-2.0, "-2.0"),
        (float("nan"), "NaN"),
        (-float("nan"), "NaN"),
        (struct.unpack("<d", struct.pack("<Q", 0xFFF0_0000_0000_0001))[0], "NaN"),
        (float("inf"), "inf"),
        (float("-inf"), "-inf"),
    ],
)
def test_format_f64(x, text):
    assert vf.format_f64(x) == text


@_FUZZ
@given(st.floats(allow_nan=False, allow_infinity=False))
def test_format_f64_reads_back_and_has_no_python_layout(x):
    text = vf.format_f64(x)
    assert float(text) == x and math.copysign(1, float(text)) == math.copysign(1, x)
    assert "+" not in text and "e-0" not in text and "e0" not in text
    assert ("e" in text) != (x == 0 or 1e-4 <= abs(x) < 1e16)


@pytest.mark.parametrize(
    "name, quoted",
    [
        ("Default", '"Default"'),
        ('say "hi"', '"say \\"hi\\""'),
        ("back\\slash", '"back\\\\slash"'),
        ("tab\tnl\n", '"tab\\tnl\\n"'),
        ("\u00e9", '"\u00e9"'),
    ],
)
def test_coil_name_quoting(name, quoted):
    assert vf.quote(name) == quoted


INVISIBLE = [0x200E, 0x200F, *range(0x202A, 0x202F), *range(0x2066, 0x206A),
             0x200B, 0x200C, 0x200D, 0x2060, 0xFEFF, 0x2028, 0x2029]


@pytest.mark.parametrize("code", INVISIBLE + [0x01, 0x1F, 0x7F, 0x80, 0x9F], ids=lambda c: f"U+{c:04X}")
def test_misleading_characters_are_escaped(code):
    assert vf.quote(f"a{chr(code)}b") == f'"a\\u{{{code:x}}}b"'


@pytest.mark.parametrize(
    "code", [0x20, 0x7E, 0xA0, 0xE9, 0x200A, 0x2010, 0x2027, 0x202F, 0x2065, 0x206A, 0xFEFE, 0x1F600],
    ids=lambda c: f"U+{c:04X}",
)
def test_other_characters_stay_as_they_are(code):
    # The neighbours of every escaped range, and letters beyond ASCII.
    assert vf.quote(chr(code)) == f'"{chr(code)}"'


def test_default_text_matches_worked_example():
    assert vf.to_text(default_settings()) == DEFAULT_TEXT
    assert DEFAULT_TEXT.count("\n") == 103 and not DEFAULT_TEXT.endswith("\n")
    assert vf.to_text(vf.loads(DEFAULT_201)) == text_with_signals(CONSTANT_ZERO_TEXT)
    running = vf.loads(b"\x01" + DEFAULT_201[1:])
    assert vf.to_text(running) == text_with_signals(CONSTANT_ZERO_TEXT, running=True)


def test_signals_text_matches_worked_example():
    s = default_settings(signals=[constant(0.5), sine(1.0, 10.0, 0.0, 1.0)])
    assert vf.to_text(s) == text_with_signals(SIGNALS_EXAMPLE_TEXT)


def test_ramp_mixed_and_arbitrary_text():
    s = default_settings(
        signals=[ramp(1.0, -2.0, 1e-5), mixed(5, 7), arbitrary([0, -1, 32767]), arbitrary([])]
    )
    block = "\n".join(
        [
            "        signals: [",
            "            Ramp(",
            "                RampSignalParams {",
            "                    peak: 1.0,",
            "                    up_duration: -2.0,",
            "                    down_duration: 1e-5,",
            "                },",
            "            ),",
            "            MixedSignal(",
            "                MixedSignalParams {",
            "                    a_idx: 5,",
            "                    b_idx: 7,",
            "                },",
            "            ),",
            "            Arbitrary(",
            "                ArbitrarySignalParams {",
            "                    samples: [",
            "                        0,",
            "                        -1,",
            "                        32767,",
            "                    ],",
            "                },",
            "            ),",
            "            Arbitrary(",
            "                ArbitrarySignalParams {",
            "                    samples: [],",
            "                },",
            "            ),",
            "        ],",
        ]
    )
    assert vf.to_text(s) == text_with_signals(block)


def test_example_213_text_details():
    lines = vf.to_text(EXAMPLE_213_RECORD).split("\n")
    assert '                    name: "A1",' in lines
    assert "            possible_capacitances: []," in lines
    assert "        monitor_subsampling_factor: 300," in lines
    i = lines.index("        monitor_trace_visible: [")
    assert lines[i + 1 : i + 4] == ["            true,", "            true,", "            false,"]


# --- JSON and command line -----------------------------------------------------


def test_json_form():
    s = default_settings(signals=[constant(float("nan")), ramp(float("inf"), float("-inf"), 0.5), arbitrary([-1, 2])])
    j = json.loads(json.dumps(vf.to_jsonable(s), allow_nan=False))
    assert j["signals"] == [
        {"Constant": {"value": "NaN"}},
        {"Ramp": {"peak": "inf", "up_duration": "-inf", "down_duration": 0.5}},
        {"Arbitrary": {"samples": [-1, 2]}},
    ]
    assert j["machine_config"]["coils"][0]["settings"][0]["clk_ticks_per_sample"] == 221
    assert j["monitor_trace_visible"] == [False] * 16


def run_cli(*args, pre: str = ""):
    code = f"{pre}\nimport sys\nfrom vexafile.__main__ import main\nsys.exit(main(sys.argv[1:]))"
    return subprocess.run(
        [sys.executable, "-P", "-c", code, *map(str, args)], capture_output=True, text=True, timeout=120
    )


def test_cli_prints_text_and_json(tmp_path):
    path = tmp_path / "d.vexa"
    path.write_bytes(DEFAULT_201)
    r = subprocess.run(
        [sys.executable, "-P", "-m", "vexafile", str(path)], capture_output=True, text=True, timeout=120
    )
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout == text_with_signals(CONSTANT_ZERO_TEXT) + "\n"
    r = run_cli(path, "--json")
    assert r.returncode == 0
    assert json.loads(r.stdout)["signals"] == [{"Constant": {"value": 0.0}}]


@pytest.mark.parametrize(
    "content, words",
    [
        (EXAMPLE_213[:100], "offset 97"),
        (EXAMPLE_213 + b"\x00", "offset 213"),
        (None, "No such file"),
    ],
)
@pytest.mark.parametrize("mode", [[], ["--json"]])
def test_cli_bad_file_exits_2_with_one_line(tmp_path, content, words, mode):
    path = tmp_path / "bad.vexa"
    if content is not None:
        path.write_bytes(content)
    r = run_cli(path, *mode)
    assert r.returncode == 2
    assert r.stdout == ""
    assert r.stderr.count("\n") == 1 and words in r.stderr


def test_cli_plot_without_matplotlib_says_so(tmp_path):
    path = tmp_path / "a.vexa"
    path.write_bytes(ARB_FILE)
    r = run_cli(path, "--plot", tmp_path / "o.png", pre="import sys; sys.modules['matplotlib'] = None")
    assert r.returncode == 1
    assert "matplotlib" in r.stderr and r.stderr.count("\n") == 1
    assert not (tmp_path / "o.png").exists()


def test_cli_plot_writes_png(tmp_path):
    pytest.importorskip("matplotlib")
    path = tmp_path / "a.vexa"
    path.write_bytes(ARB_FILE)
    out = tmp_path / "o.png"
    r = run_cli(path, "--plot", out)
    assert r.returncode == 0, r.stderr
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
