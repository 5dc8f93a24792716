"""Shared helpers for the tests of the Python surface of pyvexa."""

import contextlib
import subprocess
import sys

import pytest

# str(Protocol()) with VEXA_TARGET_MACHINE unset: 104 lines, no final newline.
from vexa_helpers import DEFAULT_TEXT  # noqa: E402


EMPTY_SIGNALS = "        signals: [],"


def replace_line(text, old, new):
    """Replace one whole line that must occur exactly once."""
    lines = text.split("\n")
    assert lines.count(old) == 1, old
    lines[lines.index(old)] = new
    return "\n".join(lines)


def signal_lines(variant, record, fields):
    """Lines of one element of the signal list; a list value renders one
    element per line."""
    out = [f"            {variant}(", f"                {record} {{"]
    for name, value in fields:
        if isinstance(value, list):
            out.append(f"                    {name}: [")
            out += [f"                        {v}," for v in value]
            out.append("                    ],")
        else:
            out.append(f"                    {name}: {value},")
    out += ["                },", "            ),"]
    return out


def with_signals(*signals, text=DEFAULT_TEXT):
    """Expected text with the given signal_lines() results as the list."""
    block = ["        signals: ["] + [ln for s in signals for ln in s] + ["        ],"]
    return replace_line(text, EMPTY_SIGNALS, "\n".join(block))


def constant(value):
    return signal_lines("Constant", "ConstantSignalParams", [("value", value)])


def parse_text(text):
    """Map (channel, field) -> value for the channel records, plus the
    top-level settings scalars under (None, field)."""
    out = {}
    channel = source = None
    for line in text.split("\n"):
        stripped = line.strip().rstrip(",")
        depth = (len(line) - len(line.lstrip(" "))) // 4
        if stripped.startswith("channel_") and stripped.endswith("ChannelSettings {"):
            channel = stripped[len("channel_")]
            continue
        if depth == 2 and ": " in stripped and not stripped.endswith("{"):
            key, value = stripped.split(": ", 1)
            if not value.startswith("["):
                out[(None, key)] = value
            channel = None
        if channel and depth == 3 and ": " in stripped:
            key, value = stripped.split(": ", 1)
            if value == "SignalSourceSelection {":
                source = key
                out[(channel, source)] = {}
            else:
                out[(channel, key)] = value
        elif channel and depth == 4 and source:
            key, value = stripped.split(": ", 1)
            out[(channel, source)][key] = value
    return out


def selection(internal=0, external=0, selected=False):
    return {
        "internal": str(internal),
        "external": str(external),
        "external_selected": "true" if selected else "false",
    }


@contextlib.contextmanager
def panic(text):
    """Expect a PanicException (a BaseException) carrying exactly text."""
    try:
        yield
    except BaseException as e:  # noqa: B036 - PanicException is not an Exception
        if type(e).__name__ != "PanicException":
            raise
        assert type(e).__module__ == "pyo3_runtime"
        assert e.args == (text,)
    else:
        pytest.fail(f"no PanicException raised, expected {text!r}")


def catch_panic(fn, *args):
    """Call fn and return the PanicException it raises."""
    try:
        fn(*args)
    except BaseException as e:  # noqa: B036
        if type(e).__name__ == "PanicException":
            return e
        raise
    pytest.fail("no PanicException raised")


def run_python(code, env=None):
    """Run code in a fresh interpreter of the test environment."""
    res = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120
    )
    assert res.returncode == 0, res.stderr
    return res.stdout
