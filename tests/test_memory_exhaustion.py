"""Running out of memory where the module first builds its per-process
state (the panic exception class, NumPy's C interface, the borrow
registry) or a new object: the call ends with a Python exception, never
with the interpreter aborted. Each case runs in a child whose address space
is filled to its limit before the call."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from emulation import EMULATED, NO_ADDRESS_LIMIT

# Before anything here can start a child that fills memory.
if EMULATED:
    pytest.skip(NO_ADDRESS_LIMIT, allow_module_level=True)

UNCAUGHT = "uncaught panic at ffi boundary"
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

CHILD = """
import json, mmap, os, resource, sys
import numpy as np
import pyvexa

p = pyvexa.Protocol()
p.set_session_duration(0.01)
samples = np.full(50, 0.5)
missing = os.path.join(sys.argv[1], "missing", "run.vexa")
{setup}

def vm_size():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

def call(ballast):
    # Nothing here may need memory before the ballast is gone.
    try:
        {call}
    except BaseException as e:
        ballast.clear()
        return e
    ballast.clear()
    return None

soft, hard = resource.getrlimit(resource.RLIMIT_AS)
limit = vm_size() + 64 * 2**20
resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
# Filling memory is only safe where the limit holds: a mapping past it
# (reserved, never touched) must be refused.
try:
    mmap.mmap(-1, 2 * limit).close()
    sys.exit("the address-space limit is not enforced here; memory was not filled")
except OSError:
    pass
# Ever smaller blocks, chained so that keeping one needs no growing list,
# down to the last byte the allocators can hand out.
ballast = [None, None]
sizes = tuple(1 << k for k in range(24, -1, -1))
i = 0
while i < len(sizes):
    try:
        ballast = [ballast, bytearray(sizes[i])]
    except MemoryError:
        i += 1
raised = call(ballast)
del ballast
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
# The call's own exception is the innermost one: the interpreter may have
# failed again recording the traceback, and chained that on top.
chain = []
while raised is not None:
    chain.append([type(raised).__name__, str(raised)])
    raised = raised.__context__
print(json.dumps(chain))
"""

# (what runs once before memory is filled, the call made when it is full)
CASES = {
    "first panic, from a precondition": ("", "p.set_session_duration(-1.0)"),
    "first panic, from a failed save": ("", "p.save(missing)"),
    "first use of NumPy": ("", "p.add_arbitrary_signal(samples)"),
    "first use of the borrow registry": (
        # reaches NumPy's C interface but refuses the list before the registry
        "try:\n    p.add_arbitrary_signal([0.5])\nexcept TypeError:\n    pass",
        "p.add_arbitrary_signal(samples)",
    ),
    "new protocol": ("", "pyvexa.Protocol()"),
}


@pytest.mark.skipif(SANITIZED, reason="the sanitizers reserve address space of their own")
@pytest.mark.parametrize("setup, call", CASES.values(), ids=CASES.keys())
def test_exhausted_memory_raises_instead_of_aborting(tmp_path, setup, call):
    code = CHILD.format(setup=textwrap.indent(setup, ""), call=call)
    result = subprocess.run(
        [sys.executable, "-c", code, str(tmp_path)],
        capture_output=True,
        text=True,
        timeout=120,
        env={**os.environ, "OPENBLAS_NUM_THREADS": "1"},
    )
    assert result.returncode == 0, result.stderr[-2000:]
    assert UNCAUGHT not in result.stderr
    chain = json.loads(result.stdout.splitlines()[-1])
    # The call may still get through; if not, it fails as a Python exception.
    if chain:
        innermost, text = chain[-1]
        assert innermost in ("MemoryError", "PanicException"), chain
        if innermost == "PanicException":
            assert text  # a panic that was raised carries its failure text


def run_injected(code):
    """Runs code in a child with _testcapi; returns its last line as JSON,
    and its standard error."""
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr[-2000:]
    return json.loads(result.stdout.splitlines()[-1]), result.stderr


testcapi = pytest.importorskip("_testcapi", reason="failure injection needs CPython's _testcapi")
if not hasattr(testcapi, "set_nomemory"):  # pragma: no cover
    pytest.skip("this _testcapi has no set_nomemory", allow_module_level=True)


@pytest.mark.parametrize("failing", range(6))
def test_keyword_names_interned_all_or_none(failing):
    # The first call with keywords interns the method's four parameter
    # names; the allocation numbered `failing` fails. The next call must
    # match its keywords against complete names. The call runs in a function
    # and keeps its result in a local: storing a global may grow the globals
    # dict, and a MemoryError from there (CPython 3.14 raises one at
    # STORE_NAME) is the interpreter's failure after the call succeeded.
    outcome, _ = run_injected(
        f"""
        import json, _testcapi, pyvexa
        p = pyvexa.Protocol()

        def first_call():
            _testcapi.set_nomemory({failing}, {failing} + 1)
            try:
                return p.add_sine_signal(1.0, 2.0, depth=0.5)
            except MemoryError:
                return "MemoryError"
            finally:
                _testcapi.remove_mem_hooks()

        first = first_call()
        after_first = str(p).count("SineSignalParams")
        index = p.add_sine_signal(frequency=4.0, amplitude=3.0, depth=0.25, phase=0.5)
        print(json.dumps([first, after_first, index, str(p).count("SineSignalParams")]))
        """
    )
    first, after_first, index, stored = outcome
    assert first in ("MemoryError", 0)
    # A call that fails stores nothing; one that returns stored its signal.
    assert after_first == (0 if first == "MemoryError" else 1)
    assert index == after_first == stored - 1


def test_failed_allocations_while_creating_a_protocol():
    # Each allocation of the constructor fails in turn: every attempt ends
    # in MemoryError or a usable protocol, and nothing keeps the class alive.
    outcome, _ = run_injected(
        """
        import json, sys, _testcapi, pyvexa
        results = []
        before = sys.getrefcount(pyvexa.Protocol)
        for failing in range(40):
            _testcapi.set_nomemory(failing, failing + 1)
            try:
                p = pyvexa.Protocol()
            except MemoryError:
                p = None
            finally:
                _testcapi.remove_mem_hooks()
            results.append("MemoryError" if p is None else p.add_constant_signal(0.5))
            del p
        print(json.dumps([results, sys.getrefcount(pyvexa.Protocol) - before]))
        """
    )
    results, leaked = outcome
    assert set(results) <= {"MemoryError", 0}
    assert "MemoryError" in results  # the injection reached the constructor
    assert leaked == 0


FIRST_PANICS = {
    "precondition": ("", "p.set_session_duration(-1.0)", "assertion failed: duration >= 0.01"),
    "failed save": ("", "p.save(missing)", "called `Result::unwrap()` on an `Err` value: Os { code: 2"),
    "first use of NumPy": ("", "p.add_arbitrary_signal(samples)", "Failed to access NumPy array API capsule: "),
    "first use of the borrow registry": (
        "try:\n    p.add_arbitrary_signal([0.5])\nexcept TypeError:\n    pass",
        "p.add_arbitrary_signal(samples)",
        "Interal borrow checking API error: ",
    ),
}


@pytest.mark.parametrize("setup, call, text", FIRST_PANICS.values(), ids=FIRST_PANICS.keys())
def test_first_panic_without_memory_for_its_class(tmp_path, setup, call, text):
    # Only the interpreter's allocators fail: the module's own work gets as
    # far as raising its first panic, whose class then cannot be created.
    # The class is still made lazily: the next failure raises it.
    (chain, second), stderr = run_injected(
        f"""
        import json, os, _testcapi
        import numpy as np
        import pyvexa
        p = pyvexa.Protocol()
        p.set_session_duration(0.01)
        samples = np.full(50, 0.5)
        missing = os.path.join({str(tmp_path)!r}, "missing", "run.vexa")
        {textwrap.indent(setup, " " * 8).lstrip()}
        raised = None
        _testcapi.set_nomemory(0)
        try:
            {call}
        except BaseException as e:
            raised = e
        finally:
            _testcapi.remove_mem_hooks()
        chain = []
        while raised is not None:
            chain.append(type(raised).__name__)
            raised = raised.__context__
        try:
            p.set_session_duration(-1.0)
        except BaseException as e:
            second = [type(e).__module__, type(e).__name__, str(e)]
        print(json.dumps([chain, second]))
        """
    )
    assert text in stderr  # the diagnostic of the panic that could not be raised
    assert UNCAUGHT not in stderr
    assert chain and chain[-1] == "MemoryError"
    assert second == ["pyo3_runtime", "PanicException", "assertion failed: duration >= 0.01"]
