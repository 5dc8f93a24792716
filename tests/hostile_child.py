"""The child process of test_hostile_calls: calls one callable of pyvexa or
vexafile._native with every hostile argument set in turn.

    python hostile_child.py TARGET WORKDIR

Before each call it prints "CALL <label>", so that when the process dies
the parent can name the call that killed it; an exception that is a
SystemError (the sign of a C-API call misused) is printed as "SYSTEMERROR
<label>: <message>"; "DONE" ends a run that survived. Any other exception,
PanicException (a BaseException) included, is an acceptable outcome.
"""

from __future__ import annotations

import copy
import gc
import inspect
import io
import math
import os
import pickle
import sys
import warnings
import weakref

import numpy as np

import pyvexa
from vexa_helpers import native_classes
from vexafile import _native

CLASSES = native_classes()

# Callables reached through a class: (prefix, class).
CLASS_TARGETS = [
    ("pyvexa.Protocol", pyvexa.Protocol),
    ("pyvexa.Coil", pyvexa.Coil),
    ("pyvexa.Channel", pyvexa.Channel),
    ("_native.Decoded", _native.Decoded),
]
# Operations that every object supports through the interpreter's generic slots.
OBJECT_TARGET = "every object"
REBOUND_TARGET = "rebound module attributes"


def targets() -> list[str]:
    """Every callable of both modules: constructors, methods, slots and functions."""
    out = [f"{prefix}()" for prefix, _ in CLASS_TARGETS]
    for prefix, cls in CLASS_TARGETS:
        out += [f"{prefix}.{name}" for name, attr in vars(cls).items() if callable(attr) and not isinstance(attr, cls)]
    out += [f"_native.{name}" for name, attr in vars(_native).items() if inspect.isbuiltin(attr)]
    return out + [OBJECT_TARGET, REBOUND_TARGET]


# ---- hostile objects


class Raises:
    """Every conversion, comparison and protocol method raises."""

    def _fail(self, *_args, **_kwargs):
        raise ValueError("refused on purpose")

    __float__ = __index__ = __int__ = __bool__ = __len__ = __iter__ = __fspath__ = _fail
    __eq__ = __hash__ = __buffer__ = fileno = __call__ = __getitem__ = _fail

    def __repr__(self):
        return "<Raises>"


class WrongTypes:
    """Every conversion returns something of the wrong type."""

    def __float__(self):
        return "0.5"

    def __index__(self):
        return 1.5

    def __int__(self):
        return "1"

    def __bool__(self):
        return 2

    def __len__(self):
        return -1

    def fileno(self):
        return "3"

    def __fspath__(self):
        return 7


class Subclassed:
    """Conversions that return subclasses of the right type, which the
    interpreter deprecates (an error here: see main)."""

    class F(float):
        pass

    class I(int):
        pass

    def __float__(self):
        return self.F(0.5)

    def __index__(self):
        return self.I(1)


class Huge:
    def __float__(self):
        return 1e308 * 10

    def __index__(self):
        return 1 << 100

    def fileno(self):
        return 1 << 40


class Reenters:
    """Conversions that call back into the callable under test (on the same
    object), its text form and the other callables, then return a valid
    value; `propagate` lets the inner failure escape instead."""

    def __init__(self, world, propagate):
        self.world, self.propagate = world, propagate

    def _again(self, value):
        try:
            self.world.reenter()
        except BaseException:
            if self.propagate:
                raise
        return value

    def __float__(self):
        return self._again(0.5)

    def __index__(self):
        return self._again(0)

    def __bool__(self):
        return self._again(False)

    def fileno(self):
        return self._again(self.world.fresh_fd())

    def __call__(self, *args):
        return self._again(None)


class Drops:
    """Conversions that drop the world's references to the objects in use
    and collect garbage before returning a valid value."""

    def __init__(self, world):
        self.world = world

    def _drop(self, value):
        self.world.drop()
        gc.collect()
        return value

    def __float__(self):
        return self._drop(0.5)

    def __index__(self):
        return self._drop(0)

    def __call__(self, *args):
        return self._drop(None)


class CollidingKey:
    """A dict key with the hash of a class name whose comparison raises or
    empties the dict it is in."""

    def __init__(self, name, clear=None):
        self.name, self.clear = name, clear

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if self.clear is not None:
            self.clear.clear()
            return False
        raise ValueError("refused on purpose")


def released_view():
    view = memoryview(b"abc")
    view.release()
    return view


# ---- the world: valid objects and what the calls need


class World:
    def __init__(self, workdir):
        self.workdir = workdir
        self.fds: list[int] = []
        self.current = None  # (callable, receiver factory or None, base argument factories)
        self.file = os.path.join(workdir, "valid.vexa")
        p = pyvexa.Protocol()
        p.add_sine_signal(1.0, 10.0)
        p.save(self.file)
        with open(self.file, "rb") as f:
            self.valid_bytes = f.read()
        self.directory = os.path.join(workdir, "directory.vexa")
        os.makedirs(self.directory, exist_ok=True)
        self.drop()

    def drop(self):
        self._protocol = self._decoded = None

    def protocol(self):
        if self._protocol is None:
            self._protocol = pyvexa.Protocol()
            self._protocol.set_session_duration(0.01)  # 50 samples
        return self._protocol

    def decoded(self):
        if self._decoded is None:
            with open(self.file, "rb") as f:
                self._decoded = _native.decode(f.fileno(), CLASSES)
        return self._decoded

    def samples(self, value=0.5):
        return np.full(self.protocol().get_num_samples(), value)

    def fresh_fd(self, path=None, flags=os.O_RDONLY):
        fd = os.open(path or self.file, flags)
        self.fds.append(fd)
        return fd

    def closed_fd(self):
        fd = os.open(self.file, os.O_RDONLY)
        os.close(fd)
        return fd

    def empty_pipe(self):
        read, write = os.pipe()
        os.close(write)
        self.fds.append(read)
        return read

    def cleanup(self):
        for fd in self.fds:
            try:
                os.close(fd)
            except OSError:
                pass
        self.fds.clear()

    def reenter(self):
        """The call under test once more with valid arguments, then the other
        entries of the same object."""
        fn, receiver, base = self.current
        args = [make() for make in base]
        if receiver is not None:
            fn(receiver(), *args)
        else:
            fn(*args)
        str(self.protocol())
        self.decoded().coil_names()


def generic_values(world):
    """(label, factory) of the values no parameter is meant to take."""
    return [
        ("None", lambda: None),
        ("True", lambda: True),
        ("0", lambda: 0),
        ("-1", lambda: -1),
        ("2**63", lambda: 1 << 63),
        ("2**64", lambda: 1 << 64),
        ("-2**63-1", lambda: -(1 << 63) - 1),
        ("10**400", lambda: 10**400),
        ("inf", lambda: math.inf),
        ("-inf", lambda: -math.inf),
        ("nan", lambda: math.nan),
        ("-0.0", lambda: -0.0),
        ("''", lambda: ""),
        ("'text'", lambda: "text"),
        ("surrogate", lambda: "\ud800"),
        ("NUL text", lambda: "a\0b"),
        ("b''", lambda: b""),
        ("bytearray", lambda: bytearray(b"abc")),
        ("memoryview", lambda: memoryview(b"abc")),
        ("released memoryview", released_view),
        ("[]", lambda: []),
        ("[1.0]", lambda: [1.0]),
        ("()", lambda: ()),
        ("{}", lambda: {}),
        ("object()", object),
        ("a class", lambda: int),
        ("a builtin", lambda: len),
        ("Coil.A1", lambda: pyvexa.Coil.A1),
        ("Channel.B", lambda: pyvexa.Channel.B),
        ("a Protocol", pyvexa.Protocol),
        ("the Protocol in use", world.protocol),
        ("a Decoded", world.decoded),
        ("numpy float64", lambda: np.float64(0.5)),
        ("numpy int64", lambda: np.int64(1)),
        ("numpy bool", lambda: np.bool_(True)),
        ("empty array", lambda: np.array([])),
        ("2-d array", lambda: np.zeros((2, 2))),
        ("0-d array", lambda: np.array(0.5)),
        ("int16 array", lambda: np.zeros(50, np.int16)),
        ("float32 array", lambda: np.zeros(50, np.float32)),
        ("big-endian array", lambda: np.zeros(50, ">f8")),
        ("object array", lambda: np.array([0.5] * 50, dtype=object)),
        ("Raises", Raises),
        ("WrongTypes", WrongTypes),
        ("Subclassed", Subclassed),
        ("Huge", Huge),
        ("Reenters", lambda: Reenters(world, propagate=False)),
        ("Reenters, failure escaping", lambda: Reenters(world, propagate=True)),
        ("Drops", lambda: Drops(world)),
    ]


def read_only(array):
    array.setflags(write=False)
    return array


def samples_values(world):
    n = lambda: world.protocol().get_num_samples()  # noqa: E731
    return [
        ("nan samples", lambda: world.samples(math.nan)),
        ("samples above 1", lambda: world.samples(1.5)),
        ("samples below 0", lambda: world.samples(-0.1)),
        ("strided samples", lambda: np.full(2 * n(), 0.5)[::2]),
        ("reversed samples", lambda: np.full(n(), 0.5)[::-1]),
        ("broadcast samples", lambda: np.broadcast_to(np.float64(0.5), (n(),))),
        ("read-only samples", lambda: read_only(world.samples())),
        ("big-endian samples", lambda: np.full(n(), 0.5, ">f8")),
        ("masked samples", lambda: np.ma.array(world.samples())),
        ("one sample too many", lambda: np.full(n() + 1, 0.5)),
    ]


def fd_values(world):
    return [
        ("a closed fd", world.closed_fd),
        ("fd -1", lambda: -1),
        ("fd 2**31", lambda: 1 << 31),
        ("a directory's fd", lambda: world.fresh_fd(world.workdir)),
        ("/dev/null", lambda: world.fresh_fd(os.devnull)),
        ("/dev/zero", lambda: world.fresh_fd("/dev/zero")),
        ("a write-only fd", lambda: world.fresh_fd(os.path.join(world.workdir, "w.vexa"), os.O_WRONLY | os.O_CREAT)),
        ("an empty pipe", world.empty_pipe),
        ("a file object", lambda: open(world.file, "rb")),
    ]


def data_values(world):
    data = world.valid_bytes
    return [
        ("bad boolean", lambda: b"\x02"),
        ("truncated", lambda: data[:-1]),
        ("trailing byte", lambda: data + b"\0"),
        ("bytearray data", lambda: bytearray(data)),
        ("non-contiguous view", lambda: memoryview(data + data)[::2]),
        ("numpy bytes", lambda: np.frombuffer(data, np.uint8)),
        ("str data", lambda: data.decode("latin-1")),
    ]


def classes_values(world):
    def with_(name, value):
        def make():
            classes = dict(CLASSES)
            classes[name] = value
            return classes

        return make

    def colliding(name, clear):
        def make():
            classes = dict(CLASSES)
            del classes[name]
            classes[CollidingKey(name, classes if clear else None)] = None
            return classes

        return make

    def reenter_loads(*_args):
        return _native.loads(world.valid_bytes, CLASSES)

    class RaisingDict(dict):
        def __getitem__(self, key):
            raise ValueError("refused on purpose")

    out = [
        ("no classes", lambda: {}),
        ("only VexaFormatError", lambda: {"VexaFormatError": ValueError}),
        ("a dict subclass", lambda: RaisingDict(CLASSES)),
    ]
    for name in ("Settings", "Sine", "SineSignalParams", "samples", "VexaFormatError"):
        out += [
            (f"{name} raises", with_(name, Raises())),
            (f"{name} makes None", with_(name, lambda *a: None)),
            (f"{name} is int", with_(name, int)),
            (f"{name} is not callable", with_(name, 5)),
            (f"{name} re-enters loads", with_(name, reenter_loads)),
            (f"{name} drops", with_(name, Drops(world))),
            (f"{name} compares with a raising key", colliding(name, clear=False)),
            (f"{name} compares with a key that empties the dict", colliding(name, clear=True)),
        ]
    return out


def write_values(world):
    def reenter(_block):
        world.decoded().write_text(lambda _b: None)
        world.decoded().coil_names()

    def raise_base(_block):
        raise KeyboardInterrupt

    return [
        ("a raising write", lambda: Raises()),
        ("a write that re-enters", lambda: reenter),
        ("a write raising KeyboardInterrupt", lambda: raise_base),
        ("a write that drops", lambda: Drops(world)),
        ("a write of wrong arity", lambda: (lambda: None)),
    ]


def filepath_values(world):
    return [
        ("no suffix", lambda: os.path.join(world.workdir, "x.txt")),
        ("a directory", lambda: world.directory),
        ("a missing directory", lambda: os.path.join(world.workdir, "missing", "x.vexa")),
        ("NUL in the name", lambda: os.path.join(world.workdir, "a\0.vexa")),
        ("surrogate in the name", lambda: os.path.join(world.workdir, "\udc80.vexa")),
        ("too long a name", lambda: os.path.join(world.workdir, "a" * 5000 + ".vexa")),
        ("a Path", lambda: __import__("pathlib").Path(world.workdir, "p.vexa")),
    ]


def valid_values(world):
    """Per parameter name, factories of values it accepts; the first is the usual."""
    floats = [lambda: 1.0]
    return {
        "intensity": [lambda: 0.5],
        "duration": [lambda: 0.01, lambda: 1.0],
        "value": [lambda: 0.5],
        **{name: floats for name in ("amplitude", "frequency", "phase", "depth", "peak", "up_duration",
                                      "down_duration")},
        **{name: [lambda: 0, lambda: (1 << 64) - 1] for name in ("index", "a_idx", "b_idx")},
        "external": [lambda: False, lambda: True],
        "channel": [lambda: pyvexa.Channel.A, lambda: pyvexa.Channel.B],
        "coil": [lambda: pyvexa.Coil.A1, lambda: pyvexa.Coil.B2],
        "samples": [world.samples],
        "filepath": [lambda: os.path.join(world.workdir, "out.vexa")],
        "data": [lambda: world.valid_bytes, lambda: b"\x02"],
        "classes": [lambda: CLASSES],
        "fd": [world.fresh_fd, lambda: world.fresh_fd(os.devnull)],
        "write": [lambda: io.BytesIO().write, lambda: (lambda _b: None)],
    }


EXTRA = {
    "samples": samples_values,
    "fd": fd_values,
    "data": data_values,
    "classes": classes_values,
    "write": write_values,
    "filepath": filepath_values,
}


def parameters(fn) -> list[str] | None:
    """The parameter names after the receiver, or None when unknown."""
    try:
        signature = inspect.signature(fn)
    except (TypeError, ValueError):
        return None
    names = [p.name for p in signature.parameters.values() if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
    return [n for n in names if n not in ("self", "$self", "type", "$type", "cls")]


def usual_arguments(world, params):
    valid = valid_values(world)
    return [valid.get(name, [lambda: 0])[0] for name in params]


def argument_sets(world, params):
    """(label, positional factories, keyword factories) for parameters `params`."""
    valid = valid_values(world)
    usual = usual_arguments(world, params)
    # The usual arguments, and each with one parameter at another accepted value.
    bases = [("", usual)]
    for i, name in enumerate(params):
        for k, alternative in enumerate(valid.get(name, [])[1:], 1):
            bases.append((f" with {name} #{k}", usual[:i] + [alternative] + usual[i + 1 :]))

    sets = [("no arguments", [], {})]
    sets += [(f"only {k} arguments", usual[:k], {}) for k in range(1, len(params))]
    sets += [
        ("one argument too many", usual + [lambda: 0], {}),
        ("five arguments too many", usual + [lambda: 0] * 5, {}),
        ("an unknown keyword", usual, {"bogus": lambda: 0}),
        ("all as keywords", [], dict(zip(params, usual))),
    ]
    if params:
        sets.append(("a duplicate keyword", usual, {params[0]: usual[0]}))
    for base_label, base in bases:
        sets.append((f"valid{base_label}", base, {}))
        for i, name in enumerate(params):
            for label, make in generic_values(world) + EXTRA.get(name, lambda w: [])(world):
                args = base[:i] + [make] + base[i + 1 :]
                sets.append((f"{name}={label}{base_label}", args, {}))
        if params:
            last = params[-1]
            for label, make in generic_values(world)[:8]:
                sets.append((f"{last}={label} as keyword{base_label}", base[:-1], {last: make}))
    return sets


def hostile_receivers(world):
    return [
        ("None", lambda: None),
        ("object()", object),
        ("0", lambda: 0),
        ("Coil.A1", lambda: pyvexa.Coil.A1),
        ("Channel.B", lambda: pyvexa.Channel.B),
        ("a Protocol", world.protocol),
        ("a Decoded", world.decoded),
        ("Raises", Raises),
    ]


def calls_for_callable(world, target):
    """(label, thunk) for a constructor, a method or slot of a class, or a module function."""
    receivers = {"pyvexa.Protocol": world.protocol, "pyvexa.Coil": lambda: pyvexa.Coil.A1,
                 "pyvexa.Channel": lambda: pyvexa.Channel.B, "_native.Decoded": world.decoded}
    classes = dict(CLASS_TARGETS)
    receiver = None
    if target.endswith("()"):
        fn = classes[target[:-2]]
    elif target.startswith("_native.") and target.count(".") == 1:
        fn = getattr(_native, target.split(".", 1)[1])
    else:
        prefix, name = target.rsplit(".", 1)
        fn = vars(classes[prefix])[name]
        receiver = (lambda cls=classes[prefix]: cls) if name == "__new__" else receivers[prefix]
    params = parameters(fn)
    if params is None:
        params = ["argument"]
    for label, args, kwargs in argument_sets(world, params):
        def thunk(args=args, kwargs=kwargs):
            world.current = (fn, receiver, args)
            values = [make() for make in args]
            keywords = {k: make() for k, make in kwargs.items()}
            return fn(receiver(), *values, **keywords) if receiver else fn(*values, **keywords)

        yield label, thunk
        if target.endswith("()"):
            # Whatever a constructor made must be usable: every method of it, without arguments.
            yield from use_every_method(f"{label}, then", thunk)
    if receiver is not None:
        usual = usual_arguments(world, params)
        for label, make in hostile_receivers(world) + [("a class", lambda: int), ("Coil", lambda: pyvexa.Coil)]:
            yield f"receiver {label}", lambda make=make: fn(make(), *[m() for m in usual])


def use_every_method(label, make):
    """Calls of each callable in the class of make()'s result, on a result of its own."""
    try:
        kind = type(make())
    except BaseException:
        return
    for name, attr in vars(kind).items():
        if callable(attr) and not isinstance(attr, kind):
            yield f"{label} {name}()", lambda attr=attr: attr(make())


def object_calls(world):
    """The generic operations on an instance of each class of both modules."""

    def panic_class():
        try:
            world.protocol().set_stimulation_intensity(2.0)
        except BaseException as e:  # PanicException
            return type(e)

    instances = [("Protocol", world.protocol), ("Coil.A1", lambda: pyvexa.Coil.A1),
                 ("Channel.B", lambda: pyvexa.Channel.B), ("Decoded", world.decoded),
                 ("PanicException('x')", lambda: panic_class()("x"))]
    kinds = [pyvexa.Protocol, pyvexa.Coil, pyvexa.Channel, _native.Decoded]
    operations = [
        ("copy", copy.copy),
        ("deepcopy", copy.deepcopy),
        *[(f"pickle {n}", lambda o, n=n: pickle.loads(pickle.dumps(o, n))) for n in range(pickle.HIGHEST_PROTOCOL + 1)],
        *[(f"__reduce_ex__({n})", lambda o, n=n: o.__reduce_ex__(n)) for n in range(6)],
        ("repr", repr), ("str", str), ("hash", hash), ("bool", bool), ("int", int), ("float", float),
        ("index", lambda o: o.__index__()), ("len", len), ("iter", iter), ("==", lambda o: o == o),
        ("<", lambda o: o < o), ("dir", dir), ("vars", vars), ("weakref", weakref.ref),
        ("sizeof", lambda o: o.__sizeof__()), ("format", lambda o: format(o, "x")),
        ("setattr", lambda o: setattr(o, "x", 1)), ("delattr", lambda o: delattr(o, "x")),
        ("call", lambda o: o()),
        *[(f"__class__ = {k.__name__}", lambda o, k=k: setattr(o, "__class__", k)) for k in kinds],
        *[(f"object.__new__({k.__name__})", lambda o, k=k: object.__new__(k)) for k in kinds],
        *[(f"type(o).__new__({k.__name__})", lambda o, k=k: type(o).__new__(k)) for k in kinds],
        ("object.__init__", lambda o: object.__init__(o, 1)),
    ]
    for name, make in instances:
        for label, op in operations:
            yield f"{label} on {name}", lambda make=make, op=op: op(make())


def rebound_calls(world):
    """The modules' own attributes rebound, then each callable used as usual."""

    def rebind():
        for module in (pyvexa, _native):
            for name in list(vars(module)):
                if not name.startswith("__"):
                    setattr(module, name, None)

    protocol = world.protocol()
    decode = _native.decode
    coil = pyvexa.Coil.A1
    yield "rebinding", rebind
    yield "decode", lambda: decode(world.fresh_fd(), CLASSES).coil_names()
    yield "set_amplitude_source", lambda: protocol.set_amplitude_source(coil, 1)
    yield "add_arbitrary_signal", lambda: protocol.add_arbitrary_signal(np.full(protocol.get_num_samples(), 0.5))
    yield "str", lambda: str(protocol)


def calls(world, target):
    if target == OBJECT_TARGET:
        return object_calls(world)
    if target == REBOUND_TARGET:
        return rebound_calls(world)
    return calls_for_callable(world, target)


def main(target, workdir):
    # A conversion's deprecation becomes an error, to take that way out too.
    warnings.simplefilter("error", DeprecationWarning)
    world = World(workdir)
    os.chdir(workdir)
    for label, thunk in calls(world, target):
        label = label.replace("\n", " ")
        print("CALL", label, flush=True)
        try:
            thunk()
        except SystemError as e:
            print(f"SYSTEMERROR {label}: {e}", flush=True)
        except BaseException:
            pass
        finally:
            world.cleanup()
    world.drop()
    gc.collect()
    print("DONE", flush=True)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
