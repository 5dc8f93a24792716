"""The command line on real files, on bad input and on failing output, with
the compiled decoder and with the pure-Python one."""

from __future__ import annotations

import json
import subprocess

import pytest

from reader_support import DECODERS, assert_one_line, cli, named_coil_file, reader_env, text_of
from vexa_helpers import DEFAULT_201, EXAMPLE_213

pyvexa = pytest.importorskip("pyvexa")
np = pytest.importorskip("numpy")


@pytest.fixture(params=DECODERS)
def decoder(request):
    return request.param


def every_kind_protocol() -> pyvexa.Protocol:
    p = pyvexa.Protocol()
    p.set_session_duration(10.0)
    p.enable_channel(pyvexa.Channel.B)
    p.add_constant_signal(-0.0)
    p.add_sine_signal(1.0, 10.0, 0.25, 0.5)
    p.add_ramp_signal(1e-5, 2.5e-7, 1e16)
    p.add_mixed_signal(2**64 - 1, 0)
    p.add_arbitrary_signal(np.random.default_rng(3).random(p.get_num_samples()))
    p.add_constant_signal(float("nan"))
    p.set_amplitude_source(pyvexa.Coil.B2, 7, True)
    return p


@pytest.fixture(scope="module")
def big_file(tmp_path_factory):
    """A saved protocol of every signal kind, 50000 samples (about 1.5 MB of text)."""
    p = every_kind_protocol()
    path = tmp_path_factory.mktemp("big") / "big.vexa"
    p.save(str(path))
    return path, str(p)


def test_text_is_str_of_the_protocol_byte_for_byte(decoder, big_file):
    path, text = big_file
    r = cli(decoder, path)
    assert (r.returncode, r.stderr) == (0, b"")
    assert r.stdout == text.encode() + b"\n"


def test_json_is_the_json_of_the_records(decoder, big_file):
    import vexafile as vf

    path, _ = big_file
    r = cli(decoder, path, "--json")
    assert (r.returncode, r.stderr) == (0, b"")
    expected = json.dumps(vf.to_jsonable(vf.load(path)), indent=2, allow_nan=False) + "\n"
    assert r.stdout.decode() == expected


@pytest.mark.parametrize("mode", [[], ["--json"]])
@pytest.mark.parametrize("size", ["small", "big"])
def test_full_disk_is_one_line_and_status_1(decoder, big_file, tmp_path, mode, size):
    path = big_file[0]
    if size == "small":
        path = tmp_path / "d.vexa"
        path.write_bytes(DEFAULT_201)
    with open("/dev/full", "wb") as full:
        r = cli(decoder, path, *mode, stdout=full)
    assert r.returncode == 1
    assert_one_line(r.stderr, "No space left on device")


@pytest.mark.parametrize("mode", [[], ["--json"]])
def test_closed_pipe_ends_quietly(decoder, big_file, mode):
    proc = subprocess.Popen(
        [__import__("sys").executable, "-P", "-m", "vexafile", str(big_file[0]), *mode],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=reader_env(decoder),
    )
    assert proc.stdout.readline()
    proc.stdout.close()
    err = proc.stderr.read()
    assert proc.wait(timeout=60) == 1
    assert err == b""


@pytest.mark.parametrize("target", ["missing/o.png", "a-file/o.png", "o.unknown-format"])
def test_unwritable_plot_path_is_one_line(decoder, big_file, tmp_path, target):
    pytest.importorskip("matplotlib")
    (tmp_path / "a-file").write_bytes(b"")
    out = tmp_path / target
    r = cli(decoder, big_file[0], "--plot", out)
    assert r.returncode == 1 and r.stdout == b""
    assert_one_line(r.stderr, f"cannot write {out}")


@pytest.mark.parametrize("name", ["\u00e9t\u00e9", "\u0436", "\U0001f600"])
def test_output_encoding_that_cannot_show_the_name(decoder, tmp_path, name):
    path = tmp_path / "n.vexa"
    path.write_bytes(named_coil_file(name))
    r = cli(decoder, path, env=reader_env(decoder, PYTHONIOENCODING="ascii"))
    assert r.returncode == 1 and r.stdout == b""
    assert_one_line(r.stderr, "ascii", ascii(name))


@pytest.mark.parametrize("encoding, name", [("latin-1", "\u00e9t\u00e9"), ("ascii", "Default"), ("utf-16", "\u0436")])
def test_output_encoding_that_can_show_the_name(decoder, tmp_path, encoding, name):
    data = named_coil_file(name)
    path = tmp_path / "n.vexa"
    path.write_bytes(data)
    r = cli(decoder, path, env=reader_env(decoder, PYTHONIOENCODING=encoding))
    assert (r.returncode, r.stderr) == (0, b"")
    assert r.stdout.decode(encoding) == text_of(data) + "\n"


def test_every_escape_renders_as_the_python_renderer_does(decoder, tmp_path):
    # The compiled text comes from the model's renderer, the expected one
    # from vexafile's own: both must escape the same characters the same way.
    codes = [0x200E, 0x200F, *range(0x202A, 0x202F), *range(0x2066, 0x206A), 0x200B, 0x200C, 0x200D,
             0x2060, 0xFEFF, 0x2028, 0x2029, 0x01, 0x1F, 0x7F, 0x85, 0x9F, 0x202F, 0x2065, 0xE9, 0x1F600]
    name = '"\\\n\t' + "".join(chr(c) for c in codes)
    data = named_coil_file(name)
    path = tmp_path / "n.vexa"
    path.write_bytes(data)
    r = cli(decoder, path)
    assert (r.returncode, r.stderr) == (0, b"")
    assert r.stdout.decode() == text_of(data) + "\n"
    assert "\\u{feff}" in r.stdout.decode() and "\u202f" in r.stdout.decode()


def test_escaped_name_needs_no_unicode_output(decoder, tmp_path):
    # An escaped character never reaches the output encoding.
    data = named_coil_file("a\u202eb\u200bc")
    path = tmp_path / "n.vexa"
    path.write_bytes(data)
    r = cli(decoder, path, env=reader_env(decoder, PYTHONIOENCODING="ascii"))
    assert r.returncode == 0, r.stderr
    assert b'name: "a\\u{202e}b\\u{200b}c",' in r.stdout


@pytest.mark.parametrize(
    "content, words",
    [
        (b"\x07" * 50, "offset 0"),
        (EXAMPLE_213[:120], "offset 113"),
        (EXAMPLE_213 + b"junk", "offset 213"),
        ("directory", "Is a directory"),
        ("/dev/zero", "trailing bytes"),
    ],
    ids=["random", "short", "trailing", "directory", "dev-zero"],
)
@pytest.mark.parametrize("mode", [[], ["--json"]])
def test_bad_input_is_one_line_and_status_2(decoder, tmp_path, content, words, mode):
    if content == "directory":
        path = tmp_path
    elif content == "/dev/zero":
        path = "/dev/zero"
    else:
        path = tmp_path / "bad.vexa"
        path.write_bytes(content)
    r = cli(decoder, path, *mode, timeout=20)
    assert r.returncode == 2 and r.stdout == b""
    assert_one_line(r.stderr, words)


def test_help_lists_every_command_and_no_arguments_is_a_usage_error():
    r = cli("native", "--help")
    assert r.returncode == 0
    listed = r.stdout.decode()
    for command in ("show", "check", "diff", "plot"):
        assert f"\n    {command} " in listed, command
    r = cli("native")
    assert r.returncode == 2 and b"usage: vexafile" in r.stderr and r.stdout == b""


@pytest.mark.parametrize("args", [["show", "check"], ["./check"], ["--json", "check"]])
def test_a_file_named_like_a_command_is_reached_through_show_or_a_path(tmp_path, args):
    (tmp_path / "check").write_bytes(DEFAULT_201)
    r = subprocess.run([__import__("sys").executable, "-P", "-m", "vexafile", *args], cwd=tmp_path,
                       capture_output=True, env=reader_env("native"), timeout=60)
    assert (r.returncode, r.stderr) == (0, b"")
    assert r.stdout.startswith(b"{" if "--json" in args else b"Protocol {")


def test_a_bare_command_name_is_the_command_not_a_file(tmp_path):
    (tmp_path / "check").write_bytes(DEFAULT_201)
    r = subprocess.run([__import__("sys").executable, "-P", "-m", "vexafile", "check"], cwd=tmp_path,
                       capture_output=True, env=reader_env("native"), timeout=60)
    assert r.returncode == 2 and b"usage: vexafile check" in r.stderr
