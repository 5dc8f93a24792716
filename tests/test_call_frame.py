import ctypes
import pathlib

import numpy
import pytest

import pyvexa
from pyvexa import Channel, Coil, Protocol
from surface_helpers import DEFAULT_TEXT, catch_panic, constant, panic, parse_text, with_signals


def capi_error(func, obj):
    """The interpreter's own exception for one C-API conversion of obj."""
    f = getattr(ctypes.pythonapi, func)
    f.argtypes = [ctypes.py_object]
    f.restype = ctypes.c_double if func == "PyFloat_AsDouble" else ctypes.c_ulonglong
    with pytest.raises(Exception) as info:
        f(obj)
    return info.value


def expect(exc, message, fn, *args, **kwargs):
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc
    assert str(info.value) == message
    return info.value


MATCHING = [
    (lambda p: p.enable_channel(),
     "Protocol.enable_channel() missing 1 required positional argument: 'channel'"),
    (lambda p: p.set_amplitude_source(),
     "Protocol.set_amplitude_source() missing 2 required positional arguments: 'coil' and 'index'"),
    (lambda p: p.set_amplitude_source(Coil.A1, external=True),
     "Protocol.set_amplitude_source() missing 1 required positional argument: 'index'"),
    (lambda p: p.add_ramp_signal(),
     "Protocol.add_ramp_signal() missing 3 required positional arguments: "
     "'peak', 'up_duration', and 'down_duration'"),
    (lambda p: p.add_ramp_signal(up_duration=1.0),
     "Protocol.add_ramp_signal() missing 2 required positional arguments: 'peak' and 'down_duration'"),
    (lambda p: p.add_sine_signal(phase=1.0),
     "Protocol.add_sine_signal() missing 2 required positional arguments: 'amplitude' and 'frequency'"),
    (lambda p: p.add_sine_signal(1.0, 2.0, 3.0, 4.0, 5.0),
     "Protocol.add_sine_signal() takes from 2 to 4 positional arguments but 5 were given"),
    (lambda p: p.set_modulation_source(Channel.A, 1, True, 4),
     "Protocol.set_modulation_source() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda p: p.set_session_duration(1.0, 2.0),
     "Protocol.set_session_duration() takes 1 positional arguments but 2 were given"),
    (lambda p: p.add_mixed_signal(0, 1, 2, valu=3),
     "Protocol.add_mixed_signal() takes 2 positional arguments but 3 were given"),
    (lambda p: p.add_constant_signal(valu=1.0),
     "Protocol.add_constant_signal() got an unexpected keyword argument 'valu'"),
    (lambda p: p.add_constant_signal(1.0, Value=1.0),
     "Protocol.add_constant_signal() got an unexpected keyword argument 'Value'"),
    (lambda p: p.add_constant_signal(1.0, value=2.0),
     "Protocol.add_constant_signal() got multiple values for argument 'value'"),
    (lambda p: p.add_mixed_signal(1, a_idx=2),
     "Protocol.add_mixed_signal() got multiple values for argument 'a_idx'"),
    # Matching comes before any conversion.
    (lambda p: p.add_sine_signal("x", None, 3.0, 4.0, 5.0),
     "Protocol.add_sine_signal() takes from 2 to 4 positional arguments but 5 were given"),
    (lambda p: p.add_ramp_signal("x"),
     "Protocol.add_ramp_signal() missing 2 required positional arguments: 'up_duration' and 'down_duration'"),
    (lambda p: Protocol(1),
     "Protocol.__new__() takes 0 positional arguments but 1 was given"),
    (lambda p: Protocol(1, 2),
     "Protocol.__new__() takes 0 positional arguments but 2 were given"),
    (lambda p: Protocol(x=1),
     "Protocol.__new__() got an unexpected keyword argument 'x'"),
]


@pytest.mark.parametrize("call,message", MATCHING, ids=[m for _, m in MATCHING])
def test_argument_matching(call, message):
    p = Protocol()
    expect(TypeError, message, call, p)
    assert str(p) == DEFAULT_TEXT


@pytest.mark.parametrize("call", [
    lambda p: p.get_num_samples(1),
    lambda p: p.get_sampling_rate(x=1),
    lambda p: Protocol.set_session_duration(object(), 1.0),
    lambda p: Protocol.get_sampling_rate(Coil.A1),
])
def test_interpreter_refuses_bad_calls(call):
    with pytest.raises(TypeError):
        call(Protocol())


class Holder:
    class Inner:
        pass


class Float:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class FakeNumpyBool:
    """Looks like a NumPy boolean by module and class name only."""
    __module__ = "numpy"

    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return self.value


FakeNumpyBool.__name__ = FakeNumpyBool.__qualname__ = "bool_"


class FakeNumpyBoolNoTruth:
    __module__ = "numpy"


FakeNumpyBoolNoTruth.__name__ = FakeNumpyBoolNoTruth.__qualname__ = "bool"

CONVERSION = [
    # float
    (lambda p: p.add_constant_signal("1"), "argument 'value': must be real number, not str"),
    (lambda p: p.add_constant_signal(None), "argument 'value': must be real number, not NoneType"),
    (lambda p: p.add_constant_signal(1j), "argument 'value': must be real number, not complex"),
    (lambda p: p.add_sine_signal(1.0, "x"), "argument 'frequency': must be real number, not str"),
    (lambda p: p.add_sine_signal("x", None), "argument 'amplitude': must be real number, not str"),
    (lambda p: p.add_ramp_signal(1.0, 2.0, b"3"), "argument 'down_duration': must be real number, not bytes"),
    (lambda p: p.set_stimulation_intensity([]), "argument 'intensity': must be real number, not list"),
    # unsigned index
    (lambda p: p.add_mixed_signal(1.5, 0), "argument 'a_idx': 'float' object cannot be interpreted as an integer"),
    (lambda p: p.add_mixed_signal(0, "1"), "argument 'b_idx': 'str' object cannot be interpreted as an integer"),
    (lambda p: p.set_amplitude_source(Coil.A1, 1.0),
     "argument 'index': 'float' object cannot be interpreted as an integer"),
    (lambda p: p.set_modulation_source(Channel.B, None),
     "argument 'index': 'NoneType' object cannot be interpreted as an integer"),
    # flag
    (lambda p: p.set_amplitude_source(Coil.A1, 0, 1), "argument 'external': 'int' object cannot be cast as 'bool'"),
    (lambda p: p.set_amplitude_source(Coil.A1, 0, 0), "argument 'external': 'int' object cannot be cast as 'bool'"),
    (lambda p: p.set_modulation_source(Channel.A, 0, None),
     "argument 'external': 'NoneType' object cannot be cast as 'bool'"),
    (lambda p: p.set_modulation_source(Channel.A, 0, numpy.int64(1)),
     "argument 'external': 'int64' object cannot be cast as 'bool'"),
    # text
    (lambda p: p.save(b"x"), "argument 'filepath': 'bytes' object cannot be cast as 'str'"),
    (lambda p: p.save(pathlib.PurePosixPath("a.vexa")),
     "argument 'filepath': 'PurePosixPath' object cannot be cast as 'str'"),
    (lambda p: p.save(None), "argument 'filepath': 'NoneType' object cannot be cast as 'str'"),
    # enumerations
    (lambda p: p.enable_channel(0), "argument 'channel': 'int' object cannot be cast as 'Channel'"),
    (lambda p: p.enable_channel("A"), "argument 'channel': 'str' object cannot be cast as 'Channel'"),
    (lambda p: p.enable_channel(Coil.A1), "argument 'channel': 'Coil' object cannot be cast as 'Channel'"),
    (lambda p: p.enable_channel(Holder.Inner()),
     "argument 'channel': 'Holder.Inner' object cannot be cast as 'Channel'"),
    (lambda p: p.set_amplitude_source(Channel.A, 0), "argument 'coil': 'Channel' object cannot be cast as 'Coil'"),
    (lambda p: p.set_modulation_source(Coil.A1, 0), "argument 'channel': 'Coil' object cannot be cast as 'Channel'"),
    # the first failing argument in declaration order is reported
    (lambda p: p.set_amplitude_source(0, -1, 1), "argument 'coil': 'int' object cannot be cast as 'Coil'"),
]


@pytest.mark.parametrize("call,message", CONVERSION, ids=[m for _, m in CONVERSION])
def test_conversion_errors(call, message):
    p = Protocol()
    expect(TypeError, message, call, p)
    assert str(p) == DEFAULT_TEXT


def test_path_object_refused():
    e = expect(TypeError, "argument 'filepath': 'PosixPath' object cannot be cast as 'str'",
               Protocol().save, pathlib.PosixPath("a.vexa"))
    assert e.__cause__ is None


def test_fake_numpy_bool_without_truth_slot():
    with pytest.raises(TypeError) as info:
        Protocol().set_amplitude_source(Coil.A1, 0, FakeNumpyBoolNoTruth())
    msg = str(info.value)
    assert msg.startswith("argument 'external': object of type '")
    # How the class is rendered is left open; it must be named.
    assert msg.endswith("' does not define a '__bool__' conversion")
    assert "bool" in msg[len("argument 'external': object of type '"):]


def test_enum_as_float_uses_interpreter_text():
    expected = capi_error("PyFloat_AsDouble", Coil.A1)
    expect(TypeError, "argument 'duration': " + str(expected),
           Protocol().set_session_duration, Coil.A1)


@pytest.mark.parametrize("func,obj,call", [
    ("PyLong_AsUnsignedLongLong", -1, lambda p: p.add_mixed_signal(-1, 0)),
    ("PyLong_AsUnsignedLongLong", 2**64, lambda p: p.add_mixed_signal(0, 2**64)),
    ("PyLong_AsUnsignedLongLong", -1, lambda p: p.set_amplitude_source(Coil.A1, -1)),
    ("PyLong_AsUnsignedLongLong", -5, lambda p: p.set_modulation_source(Channel.A, Index(-5))),
    ("PyFloat_AsDouble", 2**1024, lambda p: p.add_constant_signal(2**1024)),
])
def test_overflow_is_not_prefixed(func, obj, call):
    expected = capi_error(func, obj)
    assert type(expected) is OverflowError
    p = Protocol()
    expect(OverflowError, str(expected), call, p)
    assert str(p) == DEFAULT_TEXT


def test_lone_surrogate_text_raises_unicode_error_unchanged():
    with pytest.raises(UnicodeEncodeError) as info:
        Protocol().save("\udc80.vexa")
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("arg,text", [
    (True, "1.0"),
    (False, "0.0"),
    (3, "3.0"),
    (Float(0.25), "0.25"),
    (Index(7), "7.0"),
    (numpy.float32(0.5), "0.5"),
    (numpy.int64(-2), "-2.0"),
])
def test_float_kind_accepts(arg, text):
    p = Protocol()
    assert p.add_constant_signal(arg) == 0
    assert str(p) == with_signals(constant(text))


@pytest.mark.parametrize("arg,external,selected", [
    (True, "9", "true"),
    (False, "0", "false"),
    (numpy.True_, "9", "true"),
    (numpy.False_, "0", "false"),
    (FakeNumpyBool(True), "9", "true"),
    (FakeNumpyBool(False), "0", "false"),
])
def test_flag_kind_accepts(arg, external, selected):
    p = Protocol()
    p.set_amplitude_source(Coil.A1, 9, arg)
    source = parse_text(str(p))[("a", "amplitude1_source")]
    assert source["external"] == external and source["external_selected"] == selected


@pytest.mark.parametrize("a,b,texts", [
    (Index(3), True, ("3", "1")),
    (numpy.uint64(2**64 - 1), numpy.int8(4), ("18446744073709551615", "4")),
])
def test_index_kind_accepts(a, b, texts):
    p = Protocol()
    assert p.add_mixed_signal(a, b) == 0
    assert f"a_idx: {texts[0]}," in str(p) and f"b_idx: {texts[1]}," in str(p)


def test_str_subclass_accepted_as_text(tmp_path):
    class Name(str):
        pass

    target = tmp_path / "sub.vexa"
    Protocol().save(Name(str(target)))
    assert target.exists()


class Raising:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


def test_remapped_type_error_keeps_cause():
    root = KeyError("root")
    inner = TypeError("no float here")
    inner.__cause__ = root
    e = expect(TypeError, "argument 'value': no float here",
               Protocol().add_constant_signal, Raising(inner))
    assert e is not inner
    assert e.__cause__ is root


class MyTypeError(TypeError):
    pass


@pytest.mark.parametrize("exc", [MyTypeError("sub"), ValueError("val"), ZeroDivisionError("zero")],
                         ids=lambda e: type(e).__name__)
def test_other_conversion_errors_raised_unchanged(exc):
    p = Protocol()
    with pytest.raises(type(exc)) as info:
        p.add_constant_signal(Raising(exc))
    assert info.value is exc
    assert str(p) == DEFAULT_TEXT


class Reenter:
    def __init__(self, action):
        self.action = action

    def __float__(self):
        self.action()
        return 0.5


REENTRY = [
    (lambda p: p.set_session_duration(1.0), RuntimeError, "Already borrowed"),
    (lambda p: p.get_num_samples(), RuntimeError, "Already borrowed"),
    (lambda p: p.add_constant_signal(0.5), RuntimeError, "Already borrowed"),
    (lambda p: p.get_sampling_rate(), RuntimeError, "Already mutably borrowed"),
    (lambda p: str(p), RuntimeError, "Already mutably borrowed"),
    # matching precedes access, and a TypeError from inside is remapped
    (lambda p: p.set_session_duration(), TypeError,
     "argument 'value': Protocol.set_session_duration() missing 1 required positional argument: 'duration'"),
]


@pytest.mark.parametrize("action,exc,message", REENTRY, ids=[m for _, _, m in REENTRY])
def test_reentrant_use_refused(action, exc, message):
    p = Protocol()
    expect(exc, message, p.add_constant_signal, Reenter(lambda: action(p)))
    assert str(p) == DEFAULT_TEXT
    assert p.add_constant_signal(0.5) == 0
    assert p.get_sampling_rate() == 5000.0


def test_reentry_caught_inside_leaves_call_working():
    p = Protocol()
    seen = []

    def action():
        for inner in (lambda: p.get_sampling_rate(), lambda: p.set_session_duration(1.0)):
            try:
                inner()
            except RuntimeError as e:
                seen.append(str(e))

    assert p.add_constant_signal(Reenter(action)) == 0
    assert seen == ["Already mutably borrowed", "Already borrowed"]
    assert str(p) == with_signals(constant("0.5"))


def test_other_protocol_usable_during_conversion():
    p, q = Protocol(), Protocol()
    p.set_session_duration(Reenter(lambda: q.set_session_duration(2.0)))
    assert parse_text(str(p))[(None, "session_duration")] == "0.5"
    assert parse_text(str(q))[(None, "session_duration")] == "2.0"


def test_panic_exception_class():
    p = Protocol()
    caught_as_exception = False
    try:
        try:
            p.set_session_duration(0.0)
        except Exception:
            caught_as_exception = True
    except BaseException as e:  # noqa: B036
        err = e
    assert not caught_as_exception
    cls = type(err)
    assert cls.__name__ == cls.__qualname__ == "PanicException"
    assert cls.__module__ == "pyo3_runtime"
    assert issubclass(cls, BaseException) and not issubclass(cls, Exception)
    assert cls.__bases__ == (BaseException,)
    assert cls.__doc__
    assert err.args == ("assertion failed: duration >= 0.01",)
    assert str(err) == "assertion failed: duration >= 0.01"
    assert not hasattr(pyvexa, "PanicException")
    assert "PanicException" not in dir(pyvexa)
    # The same class serves every later failure.
    assert type(catch_panic(p.set_stimulation_intensity, 2.0)) is cls
    assert type(catch_panic(Protocol().set_session_duration, 1e9)) is cls
    # The object stays usable.
    p.set_session_duration(0.5)
    assert p.get_num_samples() == 2500


def test_panic_writes_diagnostic(capfd):
    capfd.readouterr()
    with panic("assertion failed: intensity >= 0.0 && intensity <= 1.0"):
        Protocol().set_stimulation_intensity(-1.0)
    err = capfd.readouterr().err
    assert "assertion failed: intensity >= 0.0 && intensity <= 1.0" in err
