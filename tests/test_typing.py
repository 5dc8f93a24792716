"""The shipped stubs match the built module and document what it raises,
and the examples type-check."""

import ast
import importlib
import io
import pathlib
import re
import subprocess
import sys
import tokenize

import numpy as np
import pytest

import pyvexa
from borrow_peer import build as borrow_peer_build
from borrow_peer.support import SAMPLES, multiarray_name, short_protocol

pytest.importorskip("mypy")

ROOT = pathlib.Path(__file__).resolve().parent.parent


def run_mypy(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=ROOT / "tests")


def test_stubs_match_the_runtime_module():
    result = run_mypy("mypy.stubtest", "pyvexa")
    assert result.returncode == 0, result.stdout + result.stderr


def test_examples_pass_strict_type_checking():
    result = run_mypy("mypy", "--strict", "--no-incremental", str(ROOT / "examples"))
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubs_reject_a_wrong_argument_type(tmp_path):
    script = tmp_path / "bad.py"
    script.write_text("import pyvexa\npyvexa.Protocol().enable_channel(pyvexa.Coil.A1)\n")
    result = run_mypy("mypy", "--strict", "--no-incremental", str(script))
    assert result.returncode == 1
    assert 'incompatible type "Coil"; expected "Channel"' in result.stdout


# -- docstrings of the stubs ---------------------------------------------------
#
# A docstring quotes an exception exactly as Name('text') or Name("text"),
# the text a Python string literal on one line. Every such quote must be
# what the module raises, and every failure the triggers below provoke in a
# method must be quoted in that method's docstring.

STUB = ROOT / "python" / "pyvexa-stubs" / "__init__.pyi"
QUOTE = re.compile(r"\b([A-Z][A-Za-z]*(?:Error|Exception))\((?=['\"])")


def stub_definitions():
    """(name, docstring) of the stub module, its classes and their methods."""
    tree = ast.parse(STUB.read_text())
    found = [("module", ast.get_docstring(tree))]
    for cls in tree.body:
        if isinstance(cls, ast.ClassDef):
            found.append((cls.name, ast.get_docstring(cls)))
            found += [
                (f"{cls.name}.{fn.name}", ast.get_docstring(fn))
                for fn in cls.body
                if isinstance(fn, ast.FunctionDef)
            ]
    return found


STUB_DOCS = dict(stub_definitions())


def quoted_failures(doc):
    """The (exception name, text) pairs a docstring quotes."""
    found = set()
    for match in QUOTE.finditer(doc or ""):
        rest = doc[match.end():].splitlines()[0]
        token = next(tokenize.generate_tokens(io.StringIO(rest).readline))
        assert token.type == tokenize.STRING, f"unterminated quote after {match.group(0)}"
        found.add((match.group(1), ast.literal_eval(token.string)))
    return found


def call(name, *args):
    return lambda p, tmp_path: getattr(p, name)(*args)


def reentrant(name, *args):
    """Calls p.<name> while another call on p converts its argument."""

    def trigger(p, tmp_path):
        class Reentrant:
            def __float__(self):
                getattr(p, name)(*args)
                return 0.0

        p.add_constant_signal(Reentrant())

    return trigger


def save_to(*parts):
    return lambda p, tmp_path: p.save(str(tmp_path.joinpath(*parts)))


def held_for_writing(p, tmp_path):
    """add_arbitrary_signal on an array another module has borrowed for writing."""
    short_protocol(pyvexa).add_arbitrary_signal(np.zeros(SAMPLES))  # installs the registry
    peer = borrow_peer_build.load()
    peer.attach(importlib.import_module(multiarray_name(np)))
    samples = np.zeros(SAMPLES)
    assert peer.acquire_mut(samples) == 0
    try:
        p.add_arbitrary_signal(samples)
    finally:
        peer.release_mut(samples)


def samples_with(at, value):
    samples = np.full(SAMPLES, 0.5)
    samples[at] = value
    return samples


# Per definition, calls that provoke each failure its docstring can quote
# exactly; each runs on a fresh protocol of SAMPLES samples.
TRIGGERS = {
    "Protocol.__new__": [lambda p, tmp_path: pyvexa.Protocol(1)],
    "Protocol.set_stimulation_intensity": [
        reentrant("set_stimulation_intensity", 0.5),
        call("set_stimulation_intensity", 1.5),
        call("set_stimulation_intensity", -0.25),
    ],
    "Protocol.set_session_duration": [
        reentrant("set_session_duration", 1.0),
        call("set_session_duration", float("nan")),
        call("set_session_duration", 1800.5),
        call("set_session_duration", 0.005),
    ],
    "Protocol.enable_channel": [reentrant("enable_channel", pyvexa.Channel.B), call("enable_channel", 1)],
    "Protocol.set_amplitude_source": [
        reentrant("set_amplitude_source", pyvexa.Coil.A1, 0),
        call("set_amplitude_source", pyvexa.Channel.A, 0),
        call("set_amplitude_source", pyvexa.Coil.A1, 0, 1),
    ],
    "Protocol.set_modulation_source": [
        reentrant("set_modulation_source", pyvexa.Channel.A, 0),
        call("set_modulation_source", pyvexa.Coil.A1, 0),
    ],
    "Protocol.add_constant_signal": [reentrant("add_constant_signal", 1.0)],
    "Protocol.add_sine_signal": [reentrant("add_sine_signal", 1.0, 2.0)],
    "Protocol.add_ramp_signal": [reentrant("add_ramp_signal", 1.0, 1.0, 1.0)],
    "Protocol.add_mixed_signal": [reentrant("add_mixed_signal", 0, 0)],
    "Protocol.add_arbitrary_signal": [
        reentrant("add_arbitrary_signal", np.zeros(SAMPLES)),
        call("add_arbitrary_signal", [0.0] * SAMPLES),
        held_for_writing,
        call("add_arbitrary_signal", np.zeros(SAMPLES + 1)),
        call("add_arbitrary_signal", samples_with(7, -0.25)),
        call("add_arbitrary_signal", samples_with(7, float("nan"))),
        call("add_arbitrary_signal", samples_with(7, 1.0 + 2**-52)),
    ],
    "Protocol.get_num_samples": [reentrant("get_num_samples")],
    "Protocol.get_sampling_rate": [reentrant("get_sampling_rate")],
    "Protocol.save": [
        lambda p, tmp_path: reentrant("save", str(tmp_path / "x.vexa"))(p, tmp_path),
        call("save", b"x.vexa"),
        save_to("run1.VEXA"),
        save_to("run1\0.vexa"),
        save_to("missing", "run1.vexa"),
    ],
    "Protocol.__str__": [reentrant("__str__")],
}


def raised(trigger, tmp_path):
    """(exception name, text) of what trigger raises through the module."""
    try:
        trigger(short_protocol(pyvexa), tmp_path)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:  # PanicException derives from BaseException
        return type(e).__name__, str(e)
    pytest.fail("the trigger raised nothing")


@pytest.mark.parametrize("name", STUB_DOCS)
def test_stub_definition_has_a_summary_line(name):
    doc = STUB_DOCS[name]
    assert doc, f"{name} has no docstring"
    lines = doc.splitlines()
    assert lines[0].endswith("."), f"{name}: the summary line is not one sentence"
    assert len(lines) == 1 or lines[1] == "", f"{name}: no blank line after the summary"


@pytest.mark.parametrize("name", STUB_DOCS)
def test_quoted_failures_are_the_ones_the_module_raises(name, tmp_path):
    quoted = quoted_failures(STUB_DOCS[name])
    seen = {raised(trigger, tmp_path) for trigger in TRIGGERS.get(name, [])}
    assert quoted == seen


def test_every_trigger_belongs_to_a_stub_definition():
    assert set(TRIGGERS) <= set(STUB_DOCS)


def test_quote_parsing_keeps_inner_quotes_and_backticks():
    doc = """Raises:
        PanicException('assertion failed: filepath.ends_with(".vexa")'): wrong suffix.
        RuntimeError("Already borrowed"): busy.
        PanicException: prose only, "not a quote".
    """
    assert quoted_failures(doc) == {
        ("PanicException", 'assertion failed: filepath.ends_with(".vexa")'),
        ("RuntimeError", "Already borrowed"),
    }


# -- docstrings of vexafile's records and functions ------------------------------

VEXAFILE_MODULES = ["_records", "_decode", "_text", "_json"]


def vexafile_public():
    """(qualified name, object) of the public names of the reader's modules,
    with the public methods of its classes."""
    for module_name in VEXAFILE_MODULES:
        module = importlib.import_module(f"vexafile.{module_name}")
        for name in module.__all__:
            obj = getattr(module, name)
            if not callable(obj):
                continue
            yield f"{module_name}.{name}", obj
            if isinstance(obj, type):
                for attr, member in vars(obj).items():
                    if callable(member) and not attr.startswith("_"):
                        yield f"{module_name}.{name}.{attr}", member


@pytest.mark.parametrize("obj", [pytest.param(obj, id=name) for name, obj in vexafile_public()])
def test_vexafile_public_name_has_a_docstring(obj):
    doc = obj.__doc__ or ""
    # A dataclass without a docstring gets its signature as one.
    assert doc.strip() and not doc.startswith(f"{obj.__name__}(")
