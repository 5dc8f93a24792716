"""Helpers shared by the sample-array and borrow-registry tests."""

import json
import math
import subprocess
import sys
import textwrap

CAPSULE = "_RUST_NUMPY_BORROW_CHECKING_API"
SESSION = 0.01  # seconds; a session of 50 samples
SAMPLES = 50


def multiarray_name(numpy):
    """Name of NumPy's multiarray module for the NumPy in use."""
    major = int(numpy.__version__.split(".")[0])
    return "numpy._core.multiarray" if major >= 2 else "numpy.core.multiarray"


def short_protocol(pyvexa):
    """A Protocol that wants SAMPLES samples per arbitrary signal."""
    p = pyvexa.Protocol()
    p.set_session_duration(SESSION)
    assert p.get_num_samples() == SAMPLES
    return p


def stored_samples(p):
    """The sample lists of p's arbitrary signals, read from its text form."""
    lines = str(p).splitlines()
    found = []
    for at, line in enumerate(lines):
        if line.strip() == "samples: [":
            values = []
            for inner in lines[at + 1:]:
                if inner.strip() == "],":
                    break
                values.append(int(inner.strip().rstrip(",")))
            found.append(values)
    return found


def scaled(values):
    """Stored form of fractions in [0, 1]: x 32767, halves rounded up."""
    return [math.floor(v * 32767.0 + 0.5) for v in values]


def panic_text(excinfo):
    """The text of a caught PanicException (fails for any other exception)."""
    assert type(excinfo.value).__name__ == "PanicException", repr(excinfo.value)
    return str(excinfo.value)


def run_python(code, *args, timeout=120):
    """Runs code in a fresh interpreter; returns the JSON value of its last output line."""
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args],
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.splitlines()[-1])
