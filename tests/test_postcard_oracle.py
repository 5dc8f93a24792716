"""The independent decoder itself, against the worked examples of the file
format: it must be right before it can judge the writer."""

import pytest
from postcard_oracle import OracleError, assert_same, decode
from test_vexafile import ARB_FILE, ARB_SAMPLES, ARB_SAMPLES_OFFSET, EXAMPLE_213_RECORD, with_bytes
from vexa_helpers import DEFAULT_201, EXAMPLE_213, arbitrary, constant, default_settings, plain


@pytest.mark.parametrize(
    "data, record",
    [
        (EXAMPLE_213, EXAMPLE_213_RECORD),
        (DEFAULT_201, default_settings(signals=[constant(0.0)])),
        (ARB_FILE, default_settings(signals=[arbitrary(ARB_SAMPLES)])),
    ],
    ids=["example213", "default201", "arbitrary"],
)
def test_worked_examples(data, record):
    assert_same(decode(data), plain(record))


@pytest.mark.parametrize(
    "data",
    [
        pytest.param(EXAMPLE_213[:-1], id="short"),
        pytest.param(EXAMPLE_213 + b"\x00", id="trailing"),
        pytest.param(with_bytes(EXAMPLE_213, 9, b"\x81\x00", old_len=1), id="non-minimal-varint"),
        pytest.param(with_bytes(EXAMPLE_213, 9, b"\xff" * 9 + b"\x02", old_len=1), id="varint-65-bits"),
        pytest.param(with_bytes(EXAMPLE_213, 69, b"\x02"), id="bool-2"),
        pytest.param(with_bytes(EXAMPLE_213, 138, b"\x05"), id="variant-5"),
        pytest.param(with_bytes(EXAMPLE_213, 12, b"\xff"), id="bad-utf8"),
        pytest.param(with_bytes(ARB_FILE, ARB_SAMPLES_OFFSET, b"\x80\x80\x04", old_len=1), id="sample-17-bits"),
    ],
)
def test_refuses_what_the_writer_never_writes(data):
    with pytest.raises((OracleError, UnicodeDecodeError)):
        decode(data)


@pytest.mark.parametrize("stored, expected", [(0.0, -0.0), (float("nan"), float("nan")), (1.0, 2.0)])
def test_assert_same_compares_floats_bit_for_bit(stored, expected):
    import dataclasses
    import struct

    got = decode(with_bytes(EXAMPLE_213, 121, struct.pack("<d", stored)))
    want = plain(dataclasses.replace(EXAMPLE_213_RECORD, intensity=expected))
    if struct.pack("<d", stored) == struct.pack("<d", expected):
        assert_same(got, want)
    else:
        with pytest.raises(AssertionError, match="settings.intensity"):
            assert_same(got, want)
