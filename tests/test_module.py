import gc
import operator
import re
import shutil
import subprocess
import weakref

import pytest

import pyvexa
from pyvexa import Channel, Coil, Protocol
from surface_helpers import run_python

METHODS = [
    ("set_stimulation_intensity", "($self, intensity)"),
    ("set_session_duration", "($self, duration)"),
    ("enable_channel", "($self, channel)"),
    ("set_amplitude_source", "($self, coil, index, external=False)"),
    ("set_modulation_source", "($self, channel, index, external=False)"),
    ("add_constant_signal", "($self, value)"),
    ("add_sine_signal", "($self, amplitude, frequency, phase=0.0, depth=1.0)"),
    ("add_ramp_signal", "($self, peak, up_duration, down_duration)"),
    ("add_mixed_signal", "($self, a_idx, b_idx)"),
    ("add_arbitrary_signal", "($self, samples)"),
    ("get_num_samples", "($self)"),
    ("get_sampling_rate", "($self)"),
    ("save", "($self, filepath)"),
]

MEMBERS = [
    (Coil, "A1", 0), (Coil, "A2", 1), (Coil, "B1", 2), (Coil, "B2", 3),
    (Channel, "A", 0), (Channel, "B", 1),
]


def test_module_object():
    assert pyvexa.__name__ == "pyvexa"
    assert pyvexa.__doc__ == ""
    assert pyvexa.__all__ == ["Protocol", "Channel", "Coil"]
    assert type(pyvexa.__all__) is list
    public = {k for k in vars(pyvexa) if not k.startswith("__")}
    assert public == {"Protocol", "Channel", "Coil"}


def test_second_import_returns_same_module():
    out = run_python(
        "import importlib, sys, pyvexa\n"
        "first = pyvexa\n"
        "del sys.modules['pyvexa']\n"
        "import pyvexa as second\n"
        "third = importlib.reload(second)\n"
        "print(second is first, third is first, second.Protocol is first.Protocol)\n"
        "print(first.__all__)\n"
    )
    assert out.splitlines() == ["True True True", "['Protocol', 'Channel', 'Coil']"]


@pytest.mark.parametrize("cls", [Protocol, Channel, Coil], ids=lambda c: c.__name__)
def test_class_properties(cls):
    name = cls.__name__
    assert getattr(pyvexa, name) is cls
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    # The type is registered as "builtins.<name>"; the interpreter's repr of a
    # class whose __module__ is "builtins" shows that registered name.
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    # Class dictionaries stay writable.
    cls._probe = 1
    try:
        assert cls._probe == 1
    finally:
        del cls._probe


@pytest.mark.parametrize("cls", [Coil, Channel], ids=lambda c: c.__name__)
def test_enum_classes_not_instantiable(cls):
    with pytest.raises(TypeError):
        cls()
    assert cls.__doc__ is None


@pytest.mark.parametrize("obj", [Protocol(), Coil.A1, Channel.B], ids=["Protocol", "Coil", "Channel"])
def test_instances_have_no_dict_weakref_or_gc(obj):
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert not gc.is_tracked(obj)


def test_protocol_doc_and_signature():
    assert Protocol.__text_signature__ == "()"
    assert Protocol.__doc__ in (None, "")
    assert re.fullmatch(r"<builtins\.Protocol object at 0x[0-9a-fA-F]+>", repr(Protocol()))


def test_protocol_method_order():
    names = [k for k in Protocol.__dict__ if not k.startswith("__")]
    assert names == [m for m, _ in METHODS]
    assert "__str__" in Protocol.__dict__
    assert "__repr__" not in Protocol.__dict__


@pytest.mark.parametrize("name,sig", METHODS)
def test_method_signature(name, sig):
    method = Protocol.__dict__[name]
    assert method.__text_signature__ == sig
    assert method.__doc__ is None


@pytest.mark.parametrize("cls,name,value", MEMBERS)
def test_enum_member(cls, name, value):
    member = getattr(cls, name)
    assert member is getattr(cls, name)
    assert type(member) is cls
    assert type(int(member)) is int and int(member) == value
    assert repr(member) == str(member) == f"{cls.__name__}.{name}"
    assert bool(member) is True
    assert member == member and member != value
    assert hash(member) == object.__hash__(member)
    with pytest.raises(TypeError):
        operator.index(member)
    with pytest.raises(TypeError):
        [10, 20, 30, 40][member]
    with pytest.raises(TypeError):
        member + 1


@pytest.mark.parametrize("cls", [Coil, Channel], ids=lambda c: c.__name__)
def test_enum_class_members_in_order(cls):
    expected = [n for c, n, _ in MEMBERS if c is cls]
    assert [k for k in cls.__dict__ if not k.startswith("__")] == expected
    with pytest.raises(TypeError):
        iter(cls)


def test_enum_members_compare_by_identity():
    assert Coil.A1 != Channel.A  # same value, different objects
    assert Coil.A1 != Coil.A2
    with pytest.raises(TypeError):
        Coil.A1 < Coil.A2


def test_only_init_symbol_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not available")
    res = subprocess.run(
        [nm, "-D", "--defined-only", pyvexa.__file__], capture_output=True, text=True
    )
    assert res.returncode == 0, res.stderr
    names = [line.split()[-1] for line in res.stdout.splitlines() if line.strip()]
    assert names == ["PyInit_pyvexa"]


BLOCK_NUMPY = """
import sys
class Refuse:
    def find_spec(self, name, path=None, target=None):
        if name == "numpy" or name.startswith("numpy."):
            raise ImportError("numpy refused")
sys.meta_path.insert(0, Refuse())
try:
    import numpy
except ImportError:
    pass
else:
    raise SystemExit("numpy was not refused")
"""


@pytest.mark.parametrize("prelude", ["", BLOCK_NUMPY], ids=["fresh", "numpy-refused"])
def test_import_does_not_need_numpy(prelude):
    out = run_python(
        prelude
        + "import sys, pyvexa\n"
        + "p = pyvexa.Protocol()\n"
        + "p.set_session_duration(1.0)\n"
        + "print(p.add_constant_signal(0.5), p.get_num_samples(), len(str(p)) > 0)\n"
        + "print('numpy' in sys.modules)\n"
    )
    assert out.splitlines() == ["0 5000 True", "False"]


@pytest.mark.parametrize("main_first", [True, False], ids=["main-first", "subinterpreter-first"])
def test_only_the_first_interpreter_may_import(main_first):
    pytest.importorskip("_testcapi")
    out = run_python(
        "import _testcapi, sys\n"
        + ("import pyvexa\n" if main_first else "")
        + "rc = _testcapi.run_in_subinterp('import pyvexa')\n"
        + "print('sub', rc)\n"
        + "try:\n    import pyvexa\n    print('main ok')\n"
        + "except ImportError as e:\n    print('main', e)\n"
    )
    lines = out.splitlines()
    if main_first:
        assert lines == ["sub -1", "main ok"]
    else:
        # 3.13 and later load a single-phase module in the main interpreter
        # first even then, so either side may end up the owner; never both.
        assert lines in (["sub 0", lines[1]], ["sub -1", "main ok"])
        if lines[0] == "sub 0":
            assert lines[1].startswith("main ") and "sub-interpreters" in lines[1]
