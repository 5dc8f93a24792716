"""Edit a protocol: rebuild a live pyvexa.Protocol from a file or record,
and take the record of a live one."""

from __future__ import annotations

import functools
import math
import os
from dataclasses import fields, is_dataclass
from operator import methodcaller
from typing import Any, Callable

from ._decode import load
from ._model import (
    CHANNEL_FIELDS,
    CHANNEL_LETTERS,
    FULL_SCALE,
    MAX_SESSION_DURATION,
    MIN_SESSION_DURATION,
    ROLES,
    SAMPLING_RATE,
    U64_LIMIT,
    Role,
)
from ._records import Arbitrary, Constant, MixedSignal, Ramp, Settings, Sine, f64_bits
from ._text import format_f64, format_scalar
from ._text_parse import loads_text

__all__ = ["to_protocol", "snapshot"]

_ENV_NAME = "VEXA_TARGET_MACHINE"
# ceil(d * 5000.0) for d = n / 5000.0 is n or n + 1; a step or two of
# neighbouring doubles finds n. The bound only guards the loop.
_DURATION_SEARCH_STEPS = 64

Step = Callable[[Any], object]


def snapshot(protocol) -> Settings:
    """The record of a live pyvexa.Protocol, as load() of its saved file
    would give it, without changing the protocol (save() would put a signal
    into an empty list; the snapshot keeps the list empty).

    Read from the text form str(protocol), which is exact for every value
    except the payload of a NaN: every NaN is shown as "NaN", so the
    snapshot holds the default quiet NaN where the protocol may hold another.
    """
    import pyvexa

    if not isinstance(protocol, pyvexa.Protocol):
        raise TypeError(f"snapshot() takes a pyvexa.Protocol, not {type(protocol).__name__}")
    return loads_text(str(protocol))


@functools.cache
def default_settings() -> Settings:
    import pyvexa

    return snapshot(pyvexa.Protocol())


def duration_for_samples(n: int) -> float | None:
    """A session duration the setter accepts whose sample count,
    ceil(duration * 5000.0) in double precision, is n; None if there is none."""
    d = n / SAMPLING_RATE
    for _ in range(_DURATION_SEARCH_STEPS):
        count = math.ceil(d * SAMPLING_RATE)
        if count == n:
            return d if MIN_SESSION_DURATION <= d <= MAX_SESSION_DURATION else None
        d = math.nextafter(d, 0.0 if count > n else math.inf)
    return None


class _Refused(Exception):
    """A field pyvexa cannot produce: its path, its value as text, and why."""

    def __init__(self, path: str, shown: str, why: str):
        super().__init__(f"{path}: {shown} cannot be produced by pyvexa ({why})")


def _same(a, b) -> bool:
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return f64_bits(a) == f64_bits(b)
    return a == b


def _require_default(path: str, value, default) -> None:
    """Refuse the first field (in declaration order) that differs from the default."""
    if is_dataclass(default):
        if type(value) is not type(default):
            raise _Refused(path, type(value).__name__, f"only {type(default).__name__}")
        for f in fields(default):
            _require_default(f"{path}.{f.name}", getattr(value, f.name), getattr(default, f.name))
    elif isinstance(default, tuple):
        if not isinstance(value, tuple) or len(value) != len(default):
            n = len(value) if isinstance(value, tuple) else type(value).__name__
            raise _Refused(path, f"{n} elements", f"only the default's {len(default)}")
        for i, (v, d) in enumerate(zip(value, default)):
            _require_default(f"{path}[{i}]", v, d)
    elif not _same(value, default):
        raise _Refused(path, format_scalar(value), f"only the default {format_scalar(default)}")


def _require_u64(path: str, value) -> None:
    if type(value) is not int or not 0 <= value < U64_LIMIT:
        raise _Refused(path, format_scalar(value), "an unsigned 64-bit integer is stored")


def _require_range(path: str, value, low: float, high: float) -> None:
    # A NaN fails both comparisons, as it fails the setters.
    if not isinstance(value, float) or not low <= value <= high:
        raise _Refused(path, format_scalar(value), f"the setter accepts {format_f64(low)} to {format_f64(high)}")


def _arbitrary_steps(path: str, samples, numpy) -> list[Step]:
    n = len(samples)
    duration = duration_for_samples(n)
    if duration is None:
        raise _Refused(path, f"{n} samples", "no session duration from 0.01 to 1800.0 gives that many")
    stored = numpy.asarray(samples)
    if stored.ndim != 1 or (n and stored.dtype.kind not in "iu"):
        raise _Refused(path, type(samples).__name__, "a sequence of integers is stored")
    bad = numpy.flatnonzero((stored < 0) | (stored > FULL_SCALE))
    if bad.size:
        j = int(bad[0])
        raise _Refused(f"{path}[{j}]", str(int(stored[j])), f"samples lie from 0 to {FULL_SCALE}")
    stored = stored.astype(numpy.int16)
    return [
        methodcaller("set_session_duration", duration),
        functools.partial(_add_arbitrary, path, stored, numpy),
    ]


def _add_arbitrary(path: str, stored, numpy, protocol) -> None:
    protocol.add_arbitrary_signal(fractions_of(path, stored, numpy))


def fractions_of(path: str, stored, numpy):
    """Float64 fractions that the sample conversion turns back into `stored`:
    round half away from zero of x * 32767.0 gives each value back (checked)."""
    x = stored.astype(numpy.float64) / float(FULL_SCALE)
    scaled = x * float(FULL_SCALE)
    rounded = numpy.floor(scaled)
    rounded += (scaled - rounded) >= 0.5  # halves away from zero; scaled >= 0
    wrong = numpy.flatnonzero(rounded != stored)
    if wrong.size:
        j = int(wrong[0])
        raise ValueError(f"{path}[{j}]: no fraction converts back to {int(stored[j])}")
    return x


def _signal_steps(settings: Settings) -> list[Step]:
    numpy: Any = None
    steps: list[Step] = []
    for i, signal in enumerate(settings.signals):
        path = f"signals[{i}].{type(signal).__name__}"
        if isinstance(signal, Constant):
            steps.append(methodcaller("add_constant_signal", signal.params.value))
        elif isinstance(signal, Sine):
            s = signal.params
            steps.append(methodcaller("add_sine_signal", s.amplitude, s.frequency, s.phase, s.depth))
        elif isinstance(signal, Ramp):
            r = signal.params
            steps.append(methodcaller("add_ramp_signal", r.peak, r.up_duration, r.down_duration))
        elif isinstance(signal, MixedSignal):
            m = signal.params
            _require_u64(f"{path}.a_idx", m.a_idx)
            _require_u64(f"{path}.b_idx", m.b_idx)
            steps.append(methodcaller("add_mixed_signal", m.a_idx, m.b_idx))
        elif isinstance(signal, Arbitrary):
            if numpy is None:
                import numpy  # add_arbitrary_signal takes NumPy arrays only
            steps += _arbitrary_steps(f"{path}.samples", signal.params.samples, numpy)
        else:
            raise _Refused(f"signals[{i}]", type(signal).__name__, "not a signal variant")
    return steps


def _source_step(path: str, selection, setter: str, target) -> Step:
    """The setter call that writes `selection`, whose index not in force must be 0."""
    external = selection.external_selected
    if type(external) is not bool:
        raise _Refused(f"{path}.external_selected", format_scalar(external), "a flag is stored")
    used = "external" if external else "internal"
    for name in ("internal", "external"):
        value = getattr(selection, name)
        if name == used:
            _require_u64(f"{path}.{name}", value)
        elif type(value) is not int or value != 0:
            why = f"the setters write 0 for the {name} index while the {used} one is in force"
            raise _Refused(f"{path}.{name}", format_scalar(value), why)
    return methodcaller(setter, target, getattr(selection, used), external)


def _setter_of(role: Role, pyvexa) -> tuple[str, object]:
    """The setter that writes a source, and what it takes as its target."""
    if role.coil is None:
        return "set_modulation_source", getattr(pyvexa.Channel, role.letter)
    return "set_amplitude_source", getattr(pyvexa.Coil, role.coil)


def _channel_steps(name: str, channel, default, pyvexa) -> list[Step]:
    """The calls that write one channel; every field that no setter writes
    must keep the default channel's value."""
    steps: list[Step] = []
    roles = {role.source: role for role in ROLES if role.channel == name}
    for f in fields(channel):
        value, path = getattr(channel, f.name), f"{name}.{f.name}"
        if f.name == "enabled":
            if name == "channel_a_settings" and value is not True:
                raise _Refused(path, format_scalar(value), "channel A is always enabled")
            if type(value) is not bool:
                raise _Refused(path, format_scalar(value), "a flag is stored")
        elif f.name in roles:
            steps.append(_source_step(path, value, *_setter_of(roles[f.name], pyvexa)))
        else:
            _require_default(path, value, getattr(default, f.name))
    if channel.enabled and name != "channel_a_settings":
        steps.append(methodcaller("enable_channel", getattr(pyvexa.Channel, CHANNEL_LETTERS[CHANNEL_FIELDS.index(name)])))
    return steps


def _plan(settings: Settings, default: Settings, pyvexa) -> list[Step]:
    """The calls that rebuild `settings` on a new Protocol; refuses the first
    field, in declaration order, that no sequence of calls can produce. A
    field that no setter writes must keep the default's value."""
    signals: list[Step] = []
    channels: list[Step] = []
    for f in fields(settings):
        value = getattr(settings, f.name)
        if f.name == "running_on_target_machine":
            if type(value) is not bool:
                raise _Refused(f.name, format_scalar(value), "a flag is stored")
        elif f.name == "intensity":
            _require_range(f.name, value, 0.0, 1.0)
        elif f.name == "session_duration":
            _require_range(f.name, value, MIN_SESSION_DURATION, MAX_SESSION_DURATION)
        elif f.name == "signals":
            signals = _signal_steps(settings)
        elif f.name in CHANNEL_FIELDS:
            channels += _channel_steps(f.name, value, getattr(default, f.name), pyvexa)
        else:
            _require_default(f.name, value, getattr(default, f.name))
    return [
        *signals,
        methodcaller("set_session_duration", settings.session_duration),
        methodcaller("set_stimulation_intensity", settings.intensity),
        *channels,
    ]


def _environment() -> tuple[Any, Any]:
    """The environment mapping that keeps values as they are, and the key."""
    if os.supports_bytes_environ:
        return os.environb, os.fsencode(_ENV_NAME)
    return os.environ, _ENV_NAME


def _reads_as_target(value) -> bool:
    """Whether a Protocol built with this value of the variable is on the target machine."""
    if value is None:
        return False
    if isinstance(value, bytes):
        try:
            value.decode("utf-8")
        except UnicodeDecodeError:
            return False
    return True


def on_target_machine() -> bool:
    """Whether a Protocol built now records that it runs on the target machine."""
    env, key = _environment()
    return _reads_as_target(env.get(key))


def new_protocol(pyvexa, on_target: bool):
    env, key = _environment()
    previous = env.get(key)
    if _reads_as_target(previous) == on_target:
        return pyvexa.Protocol()
    if on_target:
        env[key] = b"1" if isinstance(key, bytes) else "1"
    else:
        del env[key]
    try:
        return pyvexa.Protocol()
    finally:
        if previous is None:
            env.pop(key, None)
        else:
            env[key] = previous


def _checked_plan(settings: Settings) -> list[Step]:
    import pyvexa

    try:
        return _plan(settings, default_settings(), pyvexa)
    except _Refused as e:
        raise ValueError(str(e)) from None


def refuse_unproducible(settings: Settings) -> None:
    """Raise the ValueError of to_protocol() for a record that no sequence
    of pyvexa calls produces."""
    _checked_plan(settings)


def to_protocol(source) -> Any:
    """A new pyvexa.Protocol whose save() writes the same bytes as `source`,
    a protocol file (path) or a Settings record.

    Refuses with ValueError, naming the first such field in path notation
    (e.g. "channel_a_settings.amplitude1_source.external"), a record that no
    sequence of pyvexa calls produces; nothing is built before all fields
    are checked. An empty signal list is accepted (save() then adds a
    constant 0.0, as for any new Protocol).

    running_on_target_machine is reproduced by setting or removing
    VEXA_TARGET_MACHINE while the Protocol is constructed; the previous
    value (or absence) is restored afterwards, failures included. This
    briefly changes the process environment, which is not safe against
    other threads reading it at the same time.
    """
    if isinstance(source, Settings):
        settings = source
    elif isinstance(source, (str, os.PathLike)):
        settings = load(source)
    else:
        raise TypeError(f"to_protocol() takes a path or a Settings record, not {type(source).__name__}")
    import pyvexa

    steps = _checked_plan(settings)
    protocol = new_protocol(pyvexa, settings.running_on_target_machine)
    for step in steps:
        step(protocol)
    return protocol
