"""Protocol.save end to end, checked by decoding the written files with the
independent decoder of postcard_oracle (vexafile is not the judge here)."""

from __future__ import annotations

import json
import math
import os
import pathlib
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import textwrap

import pytest

import vexafile as vf
from postcard_oracle import assert_same, decode
from vexa_helpers import (
    CONSTANT_ZERO_TEXT,
    DEFAULT_201,
    DEFAULT_TEXT,
    SUFFIX_PANIC,
    UNWRAP,
    arbitrary,
    channel,
    constant,
    default_settings,
    mixed,
    plain,
    ramp,
    raises_panic,
    sine,
    source,
    text_with_signals,
)

pyvexa = pytest.importorskip("pyvexa")
np = pytest.importorskip("numpy")

NUL_ERROR = UNWRAP + 'Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" }'
NOT_FOUND = UNWRAP + 'Os { code: 2, kind: NotFound, message: "No such file or directory" }'
IS_A_DIRECTORY = UNWRAP + 'Os { code: 21, kind: IsADirectory, message: "Is a directory" }'
PERMISSION_DENIED = UNWRAP + 'Os { code: 13, kind: PermissionDenied, message: "Permission denied" }'


@pytest.fixture
def cwd(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def scaled(x: float) -> int:
    """A sample fraction as stored: x * 32767.0, rounded half away from zero."""
    # x * 32767.0 < 2**15, so adding 0.5 is exact and floor rounds half up.
    return math.floor(x * 32767.0 + 0.5)


# --- the default file --------------------------------------------------------


def test_new_protocol_saves_the_default_201_bytes(cwd):
    p = pyvexa.Protocol()
    assert p.save("run1.vexa") is None
    assert (cwd / "run1.vexa").read_bytes() == DEFAULT_201


@pytest.mark.parametrize("value", ["", "0", "1", "no"])
def test_target_machine_flag_is_only_the_first_byte(cwd, monkeypatch, value):
    monkeypatch.setenv("VEXA_TARGET_MACHINE", value)
    p = pyvexa.Protocol()
    # Read at construction: removing the variable now changes nothing.
    monkeypatch.delenv("VEXA_TARGET_MACHINE")
    p.save("t.vexa")
    assert (cwd / "t.vexa").read_bytes() == b"\x01" + DEFAULT_201[1:]
    assert decode((cwd / "t.vexa").read_bytes())["running_on_target_machine"] is True


def test_target_machine_set_after_construction_is_ignored(cwd, monkeypatch):
    p = pyvexa.Protocol()
    monkeypatch.setenv("VEXA_TARGET_MACHINE", "1")
    p.save("t.vexa")
    assert (cwd / "t.vexa").read_bytes()[0] == 0


def test_empty_protocol_gets_a_constant_zero_that_stays(cwd):
    p = pyvexa.Protocol()
    assert str(p) == DEFAULT_TEXT
    p.save("a.vexa")
    expected = text_with_signals(CONSTANT_ZERO_TEXT)
    assert str(p) == expected
    assert_same(decode((cwd / "a.vexa").read_bytes()), plain(default_settings(signals=[constant(0.0)])))
    p.save("b.vexa")
    assert (cwd / "b.vexa").read_bytes() == (cwd / "a.vexa").read_bytes() == DEFAULT_201
    # The inserted signal took index 0.
    assert p.add_constant_signal(0.5) == 1


# --- every kind of signal ----------------------------------------------------


def build_full_protocol():
    """A protocol using every signal kind and every setter; with its expected record."""
    p = pyvexa.Protocol()
    p.set_session_duration(0.01)
    assert p.get_num_samples() == 50
    p.set_stimulation_intensity(0.75)
    p.enable_channel(pyvexa.Channel.B)

    special = [0.0, 1.0, 0.5, 0.25, 0.1, 1.0 / 3.0, -0.0]
    special_stored = [0, 32767, 16384, 8192, 3277, 10922, 0]
    rest = np.linspace(0.0, 1.0, 50 - len(special))
    samples = np.concatenate([np.array(special), rest])
    assert samples.dtype == np.float64 and samples.shape == (50,)

    indices = [
        p.add_constant_signal(0.5),
        p.add_sine_signal(1.0, 10.0),
        p.add_sine_signal(2.0, 3.0, 0.25, 0.5),
        p.add_sine_signal(1.0, 10.0, depth=0.5),
        p.add_ramp_signal(1.0, -2.0, 1e-5),
        p.add_mixed_signal(0, 1),
        p.add_mixed_signal(2**64 - 1, 5),
        p.add_arbitrary_signal(samples),
        p.add_constant_signal(-0.0),
        p.add_constant_signal(float("inf")),
    ]
    assert indices == list(range(10))

    p.set_amplitude_source(pyvexa.Coil.A1, 7)
    p.set_amplitude_source(pyvexa.Coil.A2, 300, True)
    p.set_amplitude_source(pyvexa.Coil.B1, 2**64 - 1)
    p.set_amplitude_source(pyvexa.Coil.B2, 3, True)
    p.set_modulation_source(pyvexa.Channel.A, 123456789)
    p.set_modulation_source(pyvexa.Channel.B, 5, True)

    expected = default_settings(
        intensity=0.75,
        session_duration=0.01,
        signals=[
            constant(0.5),
            sine(1.0, 10.0, 0.0, 1.0),
            sine(2.0, 3.0, 0.25, 0.5),
            sine(1.0, 10.0, 0.0, 0.5),
            ramp(1.0, -2.0, 1e-5),
            mixed(0, 1),
            mixed(2**64 - 1, 5),
            arbitrary(special_stored + [scaled(x) for x in rest]),
            constant(-0.0),
            constant(float("inf")),
        ],
        channel_a_settings=channel(
            True, a1=source(7), a2=source(0, 300, True), mod=source(123456789)
        ),
        channel_b_settings=channel(
            True, a1=source(2**64 - 1), a2=source(0, 3, True), mod=source(0, 5, True)
        ),
    )
    return p, expected


def test_every_signal_kind_round_trips_field_by_field(cwd):
    p, expected = build_full_protocol()
    p.save("full.vexa")
    got = decode((cwd / "full.vexa").read_bytes())
    # Floats compare bit for bit: negative zero keeps its sign.
    assert_same(got, plain(expected))
    assert got["signals"][7]["Arbitrary"]["samples"][:7] == [0, 32767, 16384, 8192, 3277, 10922, 0]

    text = str(p)
    assert vf.to_text(vf.load("full.vexa")) == text
    assert "                    down_duration: 1e-5," in text
    assert "                    value: -0.0," in text
    assert "                    value: inf," in text


def test_nan_and_negative_zero_are_written_bit_for_bit(cwd):
    p = pyvexa.Protocol()
    p.set_stimulation_intensity(-0.0)
    p.add_constant_signal(float("nan"))
    p.save("n.vexa")
    data = (cwd / "n.vexa").read_bytes()
    assert data[134:142] == struct.pack("<d", -0.0) == bytes(7) + b"\x80"
    assert data[151] == 0 and data[152:160] == struct.pack("<d", float("nan"))
    assert math.isnan(decode(data)["signals"][0]["Constant"]["value"])
    assert vf.to_text(vf.load("n.vexa")) == str(p)
    assert "        intensity: -0.0," in str(p)
    assert "                    value: NaN," in str(p)


def test_saving_twice_gives_identical_bytes(cwd):
    p, _ = build_full_protocol()
    p.save("1.vexa")
    p.save("2.vexa")
    p.save("1.vexa")
    assert (cwd / "1.vexa").read_bytes() == (cwd / "2.vexa").read_bytes()


def test_arbitrary_signal_keeps_its_length_after_duration_change(cwd):
    p = pyvexa.Protocol()
    p.set_session_duration(0.01)
    p.add_arbitrary_signal(np.full(50, 0.5))
    p.set_session_duration(0.02)
    p.save("d.vexa")
    s = decode((cwd / "d.vexa").read_bytes())
    assert s["session_duration"] == 0.02
    assert s["signals"] == [{"Arbitrary": {"samples": [16384] * 50}}]
    assert vf.to_text(vf.load("d.vexa")) == str(p)


def test_full_length_arbitrary_signal_file_size(cwd):
    p = pyvexa.Protocol()
    n = p.get_num_samples()
    assert n == 300000
    p.add_arbitrary_signal(np.ones(n))
    p.save("big.vexa")
    data = (cwd / "big.vexa").read_bytes()
    # The 201-byte file less its Constant (9 bytes), plus variant index,
    # a 3-byte count and 3 bytes per sample (32767 zigzags to 65534).
    assert len(data) == 201 - 9 + 1 + 3 + 3 * n
    assert data[151:155] == bytes.fromhex("04 e0 a7 12")
    samples = decode(data)["signals"][0]["Arbitrary"]["samples"]
    assert len(samples) == n and set(samples) == {32767}


# --- file names and file system ----------------------------------------------


@pytest.mark.parametrize("name", ["run1.VEXA", "run1.vexa.bak", "run1.vexa/", "vexa", "run1.vexa ", ""])
def test_wrong_suffix_is_refused_and_touches_nothing(cwd, name):
    p = pyvexa.Protocol()
    assert raises_panic(p.save, name) == SUFFIX_PANIC
    assert list(cwd.iterdir()) == []
    assert str(p) == DEFAULT_TEXT  # no Constant inserted
    p.save("ok.vexa")  # still usable
    assert (cwd / "ok.vexa").read_bytes() == DEFAULT_201


@pytest.mark.parametrize("name", [".vexa", "\u00e9t\u00e9.vexa", "run1.vexa.vexa"])
def test_names_ending_in_the_suffix_are_used_unchanged(cwd, name):
    pyvexa.Protocol().save(name)
    assert [q.name for q in cwd.iterdir()] == [name]
    assert (cwd / name).read_bytes() == DEFAULT_201


def test_str_subclass_and_keyword_are_accepted(cwd):
    class Name(str):
        pass

    pyvexa.Protocol().save(Name("s.vexa"))
    pyvexa.Protocol().save(filepath="k.vexa")
    assert (cwd / "s.vexa").read_bytes() == (cwd / "k.vexa").read_bytes() == DEFAULT_201


def test_nul_in_name(cwd):
    p = pyvexa.Protocol()
    assert raises_panic(p.save, "a\0b.vexa") == NUL_ERROR
    assert list(cwd.iterdir()) == []
    assert str(p) == text_with_signals(CONSTANT_ZERO_TEXT)


def test_missing_directory(cwd):
    p = pyvexa.Protocol()
    assert raises_panic(p.save, str(cwd / "nodir" / "x.vexa")) == NOT_FOUND
    assert list(cwd.iterdir()) == []
    assert str(p) == text_with_signals(CONSTANT_ZERO_TEXT)


def test_existing_directory_named_like_a_protocol(cwd):
    (cwd / "x.vexa").mkdir()
    p = pyvexa.Protocol()
    assert raises_panic(p.save, "x.vexa") == IS_A_DIRECTORY
    assert list((cwd / "x.vexa").iterdir()) == []
    assert str(p) == text_with_signals(CONSTANT_ZERO_TEXT)


def test_longer_existing_file_is_truncated_and_keeps_its_mode(cwd):
    path = cwd / "old.vexa"
    path.write_bytes(b"\xaa" * 10_000)
    path.chmod(0o600)
    pyvexa.Protocol().save("old.vexa")
    assert path.read_bytes() == DEFAULT_201
    assert stat.S_IMODE(path.stat().st_mode) == 0o600


def test_new_file_mode_follows_umask(cwd):
    old = os.umask(0o027)
    try:
        pyvexa.Protocol().save("m.vexa")
    finally:
        os.umask(old)
    assert stat.S_IMODE((cwd / "m.vexa").stat().st_mode) == 0o640


def test_symlink_is_followed(cwd):
    (cwd / "target.bin").write_bytes(b"old content that is longer than nothing")
    (cwd / "link.vexa").symlink_to("target.bin")
    pyvexa.Protocol().save("link.vexa")
    assert (cwd / "link.vexa").is_symlink()
    assert (cwd / "target.bin").read_bytes() == DEFAULT_201


_UNPRIVILEGED_CHILD = textwrap.dedent(
    """
    import json, os, sys
    import pyvexa
    p = pyvexa.Protocol()
    os.setgid(65534)
    os.setuid(65534)
    try:
        p.save(sys.argv[1])
        out = {"type": None}
    except BaseException as e:
        out = {"type": type(e).__name__, "args": list(e.args), "text": str(p)}
    print(json.dumps(out))
    """
)


def test_unwritable_existing_file_is_not_replaced(tmp_path):
    content = b"keep me"
    if os.geteuid() != 0:
        path = tmp_path / "ro.vexa"
        path.write_bytes(content)
        path.chmod(0o444)
        p = pyvexa.Protocol()
        assert raises_panic(p.save, str(path)) == PERMISSION_DENIED
        assert path.read_bytes() == content
        return
    # As root the open would succeed: drop to "nobody" in a child process, in a
    # directory that uid can reach (pytest's own tmp dirs are private).
    d = tempfile.mkdtemp(prefix="vexa-perm-")
    try:
        os.chmod(d, 0o777)
        path = os.path.join(d, "ro.vexa")
        with open(path, "wb") as f:
            f.write(content)
        os.chmod(path, 0o444)
        r = subprocess.run(
            [sys.executable, "-c", _UNPRIVILEGED_CHILD, path],
            capture_output=True, text=True, timeout=120,
        )
        if r.returncode != 0 and "Operation not permitted" in r.stderr:
            pytest.skip("cannot drop privileges here: " + r.stderr.strip().splitlines()[-1])
        assert r.returncode == 0, r.stderr
        out = json.loads(r.stdout)
        assert out["type"] == "PanicException"
        assert out["args"] == [PERMISSION_DENIED]
        assert out["text"] == text_with_signals(CONSTANT_ZERO_TEXT)
        with open(path, "rb") as f:
            assert f.read() == content
    finally:
        shutil.rmtree(d)


# --- argument conversion -----------------------------------------------------


@pytest.mark.parametrize(
    "arg, message",
    [
        (b"x.vexa", "argument 'filepath': 'bytes' object cannot be cast as 'str'"),
        (pathlib.Path("x.vexa"), "argument 'filepath': 'PosixPath' object cannot be cast as 'str'"),
        (None, "argument 'filepath': 'NoneType' object cannot be cast as 'str'"),
        (1, "argument 'filepath': 'int' object cannot be cast as 'str'"),
    ],
)
def test_non_str_filepath_is_a_type_error(cwd, arg, message):
    p = pyvexa.Protocol()
    with pytest.raises(TypeError) as info:
        p.save(arg)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert list(cwd.iterdir()) == []
    assert str(p) == DEFAULT_TEXT


def test_lone_surrogate_is_a_unicode_error(cwd):
    p = pyvexa.Protocol()
    with pytest.raises(UnicodeEncodeError) as info:
        p.save("bad\udc80.vexa")
    assert not str(info.value).startswith("argument")
    assert list(cwd.iterdir()) == []
    assert str(p) == DEFAULT_TEXT


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "Protocol.save() missing 1 required positional argument: 'filepath'"),
        (("a.vexa", "b.vexa"), {}, "Protocol.save() takes 1 positional arguments but 2 were given"),
        ((), {"path": "a.vexa"}, "Protocol.save() got an unexpected keyword argument 'path'"),
        (("a.vexa",), {"filepath": "a.vexa"}, "Protocol.save() got multiple values for argument 'filepath'"),
    ],
)
def test_argument_matching(cwd, args, kwargs, message):
    p = pyvexa.Protocol()
    with pytest.raises(TypeError) as info:
        p.save(*args, **kwargs)
    assert str(info.value) == message
    assert list(cwd.iterdir()) == []
