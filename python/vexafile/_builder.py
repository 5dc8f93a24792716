"""vexafile.Builder: compose a protocol in plain Python, with every argument
checked at once and refused in words, and save it through pyvexa itself,
so that the file holds exactly pyvexa's bytes.

    b = vexafile.Builder(duration=1200.0, intensity=0.2)
    ramp = b.arbitrary(numpy.linspace(0.0, 1.0, b.num_samples))
    b.route("A1", b.sine(1.0, 10.0))
    b.modulate("A", ramp)
    b.save("session.vexa")
"""

from __future__ import annotations

import errno
import math
import numbers
import operator
import os
import re
import reprlib
import warnings
from typing import Any

from ._atomic import replace_file
from ._check import Finding, check
from ._decode import load
from ._edit import default_settings, duration_for_samples, fractions_of, new_protocol, on_target_machine
from ._edit import refuse_unproducible
from ._in_force import in_force
from ._model import (
    CHANNEL_FIELDS,
    FULL_SCALE,
    MAX_SESSION_DURATION,
    MIN_SESSION_DURATION,
    SOURCE_FIELDS,
    num_samples,
)
from ._records import (
    Arbitrary,
    ArbitrarySignalParams,
    ChannelSettings,
    Constant,
    ConstantSignalParams,
    MixedSignal,
    MixedSignalParams,
    Ramp,
    RampSignalParams,
    Settings,
    SignalSourceSelection,
    Sine,
    SineSignalParams,
)
from ._text import format_f64

__all__ = ["Builder", "ProtocolError", "ProtocolWarning"]

_COILS = {
    "A1": ("channel_a_settings", "amplitude1_source"),
    "A2": ("channel_a_settings", "amplitude2_source"),
    "B1": ("channel_b_settings", "amplitude1_source"),
    "B2": ("channel_b_settings", "amplitude2_source"),
}
_CHANNELS = {"A": "channel_a_settings", "B": "channel_b_settings"}
_LETTER = {field: letter for letter, field in _CHANNELS.items()}
_ROLE = {
    "amplitude1_source": "coil {}1",
    "amplitude2_source": "coil {}2",
    "modulation_source": "the modulation of channel {}",
}
_UNSET = SignalSourceSelection(0, 0, False)
_MIN_SAMPLES = num_samples(MIN_SESSION_DURATION)
_MAX_SAMPLES = num_samples(MAX_SESSION_DURATION)
# Fractions are checked and converted this many at a time: a block and its
# scratch (2 MB each) stay in the cache while they are worked on.
_CHUNK = 1 << 18
# floor(s + 0.5) in exact arithmetic, for 0 <= s <= 32767, is the
# truncation of the double s + 0.49999999999999994: a half goes up (the sum
# rounds to the next integer) and nothing below a half reaches it, where
# s + 0.5 itself would round 0.49999999999999994 up to 1.
_JUST_BELOW_HALF = 0.49999999999999994
_OS_ERROR = re.compile(r"Os \{ code: (\d+),")
_SHOWN = reprlib.Repr()  # a value quoted in a message is cut short
_SHOWN.maxstring = _SHOWN.maxother = 60


class ProtocolError(ValueError):
    """What save() refuses to write: `findings` holds every finding, the
    message each error."""

    def __init__(self, findings: list[Finding]):
        self.findings = list(findings)
        errors = [f for f in self.findings if f.severity == "error"]
        lines = "".join(f"\n  {f.path}: {f.message}" for f in errors)
        noun = "error" if len(errors) == 1 else "errors"
        super().__init__(f"the protocol has {len(errors)} {noun} and was not saved:{lines}")


class ProtocolWarning(UserWarning):
    """A finding that does not stop save(): likely a mistake, still writable."""


# --- argument checks -----------------------------------------------------


def _real(name: str, value) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__} {_SHOWN.repr(value)}")
    try:
        return float(value)
    except OverflowError:
        raise ValueError(f"{name} is {_SHOWN.repr(value)}, too large for a 64-bit float") from None


def _in_range(name: str, value, low: float, high: float, unit: str = "") -> float:
    x = _real(name, value)
    if not low <= x <= high:  # NaN fails both
        raise ValueError(f"{name} must be from {format_f64(low)} to {format_f64(high)}{unit}, not {format_f64(x)}")
    return x


def _integer(name: str, value) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, not bool {value!r}")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__} {_SHOWN.repr(value)}") from None


def _numpy():
    try:
        import numpy
    except ImportError:
        raise ImportError("arbitrary signals need NumPy (pip install numpy), as pyvexa does") from None
    return numpy


def _names(choices) -> str:
    shown = [repr(c) for c in choices]
    return ", ".join(shown[:-1]) + f" or {shown[-1]}"


def _coil(coil) -> tuple[str, str, str]:
    """(channel field, source field, name) of a pyvexa.Coil or its name."""
    import pyvexa

    if isinstance(coil, pyvexa.Coil):
        coil = tuple(_COILS)[int(coil)]
    if isinstance(coil, str) and coil in _COILS:
        return (*_COILS[coil], coil)
    why = (f"coil must be a pyvexa.Coil or its name ({_names(_COILS)}), "
           f"not {type(coil).__name__} {_SHOWN.repr(coil)}")
    raise (ValueError if isinstance(coil, str) else TypeError)(why)


def _channel(channel) -> tuple[str, str]:
    """(channel field, name) of a pyvexa.Channel or its name."""
    import pyvexa

    if isinstance(channel, pyvexa.Channel):
        channel = tuple(_CHANNELS)[int(channel)]
    if isinstance(channel, str) and channel in _CHANNELS:
        return _CHANNELS[channel], channel
    why = (f"channel must be a pyvexa.Channel or its name ({_names(_CHANNELS)}), "
           f"not {type(channel).__name__} {_SHOWN.repr(channel)}")
    raise (ValueError if isinstance(channel, str) else TypeError)(why)


def _counted(n: int) -> str:
    if n == 0:
        return "there are no signals yet"
    return f"there is 1 signal (0)" if n == 1 else f"there are {n} signals (0 to {n - 1})"


def _first_outside(given, start: int) -> ValueError:
    part = given[start:start + _CHUNK]
    j = start + int((~((part >= 0) & (part <= 1))).argmax())
    value = given[j].item()  # a longdouble stays one: shown in its own digits
    shown = repr(value) if isinstance(value, (int, float)) else str(value)
    return ValueError(f"fractions[{j}] is {shown}, outside 0.0 to 1.0")


def _fractions_and_samples(numpy, fractions):
    """A read-only float64 copy of a one-dimensional real array-like whose
    values lie from 0.0 to 1.0, and the int16 samples pyvexa stores for it:
    x * 32767.0 rounded half away from zero. One pass, a block at a time,
    so that each block is checked and converted while it is in the cache."""
    if isinstance(fractions, (list, tuple)) and any(type(v) is bool for v in fractions):
        raise TypeError("fractions must be real numbers from 0.0 to 1.0, not booleans")
    try:
        given = numpy.asarray(fractions)
    except (ValueError, TypeError) as e:
        raise TypeError(f"fractions must be a one-dimensional array of real numbers: {e}") from None
    kind = given.dtype.kind
    if kind == "b":
        raise TypeError("fractions must be real numbers from 0.0 to 1.0, not booleans (dtype bool)")
    if kind not in "iuf":
        raise TypeError(f"fractions must be real numbers from 0.0 to 1.0, not an array of dtype {given.dtype} "
                        f"(from {type(fractions).__name__})")
    if given.ndim != 1:
        raise ValueError(f"fractions must be one-dimensional, not of shape {given.shape}")
    n = len(given)
    if not _MIN_SAMPLES <= n <= _MAX_SAMPLES or duration_for_samples(n) is None:
        raise ValueError(f"fractions has {n} samples, but a session has {_MIN_SAMPLES} "
                         f"({format_f64(MIN_SESSION_DURATION)} s) to {_MAX_SAMPLES} "
                         f"({format_f64(MAX_SESSION_DURATION)} s)")
    # Wider floats can lie outside 0 to 1 by less than float64 resolves:
    # those are tested as given too.
    wide = kind == "f" and given.dtype.itemsize > 8
    copy = numpy.empty(n, numpy.float64)
    stored = numpy.empty(n, numpy.int16)
    scaled = numpy.empty(min(n, _CHUNK))
    for start in range(0, n, _CHUNK):
        stop = min(n, start + _CHUNK)
        block = copy[start:stop]
        block[...] = given[start:stop]
        if not (block.min() >= 0.0 and block.max() <= 1.0):  # a NaN fails both
            raise _first_outside(given, start)
        if wide and not (given[start:stop].min() >= 0 and given[start:stop].max() <= 1):
            raise _first_outside(given, start)
        s = scaled[:stop - start]
        numpy.multiply(block, float(FULL_SCALE), out=s)
        numpy.add(s, _JUST_BELOW_HALF, out=s)
        stored[start:stop] = s  # truncates: the sum is not negative
    copy.flags.writeable = False
    stored.flags.writeable = False
    return copy, stored


def _os_error(panic: BaseException, name: str) -> OSError:
    """The OSError behind pyvexa's unwrap panic of a failed file operation."""
    text = str(panic)
    found = _OS_ERROR.search(text)
    if found:
        code = int(found.group(1))
        return OSError(code, os.strerror(code), name)
    if "failed to write whole buffer" in text:
        return OSError(errno.EIO, "the system wrote nothing more (failed to write whole buffer)", name)
    return OSError(errno.EIO, text, name)


def _save_through(protocol, name: str) -> None:
    try:
        protocol.save(name)
    except BaseException as e:
        if type(e).__name__ != "PanicException":
            raise
        raise _os_error(e, name) from None


def _vexa_path(path) -> str:
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"path must be a str or os.PathLike, not {type(path).__name__} {path!r}")
    shown = os.fspath(path)
    if isinstance(shown, bytes):
        shown = os.fsdecode(shown)
    if not shown.endswith(".vexa"):
        raise ValueError(f"the file name must end in .vexa, as pyvexa requires: {shown!r}")
    if "\0" in shown:
        raise ValueError(f"the file name holds a NUL character: {shown!r}")
    return shown


# --- the builder ---------------------------------------------------------


class Builder:
    """One protocol under construction, in plain Python.

    Every call checks its arguments at once and raises ValueError or
    TypeError naming the argument, the value and what is allowed. save()
    writes through pyvexa, so the file is byte for byte what the equivalent
    pyvexa script writes, and refuses a protocol with errors.
    """

    def __init__(self, duration: float = 60.0, intensity: float = 0.0):
        self._on_target = on_target_machine()
        self._duration = _in_range("duration", duration, MIN_SESSION_DURATION, MAX_SESSION_DURATION, " seconds")
        self._intensity = _in_range("intensity", intensity, 0.0, 1.0)
        self._signals: list[Any] = []
        # Float64 fractions of the arbitrary signals, by index: what pyvexa is given.
        self._fractions: dict[int, Any] = {}
        self._enabled = {"channel_a_settings": True, "channel_b_settings": False}
        self._sources = {(c, s): _UNSET for c in CHANNEL_FIELDS for s in SOURCE_FIELDS}
        self._set: set[tuple[str, str]] = set()

    # --- starting from a saved protocol --------------------------------

    @classmethod
    def from_file(cls, path: str | os.PathLike) -> Builder:
        """A builder holding the protocol saved in `path`."""
        return cls.from_settings(load(path))

    @classmethod
    def from_settings(cls, settings: Settings) -> Builder:
        """A builder holding `settings`. Refuses what to_protocol() refuses,
        and signals that no routing can mend (a mix naming no signal, a
        cycle); a source equal to the default counts as never set."""
        if not isinstance(settings, Settings):
            raise TypeError(f"from_settings() takes a Settings record, not {type(settings).__name__}")
        refuse_unproducible(settings)
        for f in check(settings):
            if f.severity == "error" and f.path.startswith("signals[") and not f.path.endswith(".samples"):
                raise ValueError(f"{f.path}: {f.message}; no routing can mend this signal list")
        b = cls.__new__(cls)
        b._on_target = settings.running_on_target_machine
        b._duration = settings.session_duration
        b._intensity = settings.intensity
        b._signals = []
        b._fractions = {}
        numpy = None
        for i, signal in enumerate(settings.signals):
            if isinstance(signal, Arbitrary):
                numpy = numpy or _numpy()
                stored = numpy.array(signal.params.samples, dtype=numpy.int16)
                fractions = fractions_of(f"signals[{i}].Arbitrary.samples", stored, numpy)
                fractions.flags.writeable = False
                stored.flags.writeable = False
                b._fractions[i] = fractions
                signal = Arbitrary(ArbitrarySignalParams(stored))
            b._signals.append(signal)
        b._enabled = {name: getattr(settings, name).enabled for name in CHANNEL_FIELDS}
        b._sources = {(c, s): getattr(getattr(settings, c), s) for c in CHANNEL_FIELDS for s in SOURCE_FIELDS}
        b._set = {key for key, sel in b._sources.items() if sel != _UNSET}
        return b

    # --- session ---------------------------------------------------------

    @property
    def duration(self) -> float:
        """The session's length in seconds, 0.01 to 1800.0."""
        return self._duration

    @duration.setter
    def duration(self, value: float) -> None:
        self._duration = _in_range("duration", value, MIN_SESSION_DURATION, MAX_SESSION_DURATION, " seconds")

    @property
    def intensity(self) -> float:
        """The stimulation intensity, a fraction of full scale from 0.0 to 1.0."""
        return self._intensity

    @intensity.setter
    def intensity(self, value: float) -> None:
        self._intensity = _in_range("intensity", value, 0.0, 1.0)

    @property
    def num_samples(self) -> int:
        """Samples in the session: ceil(duration * 5000.0), as pyvexa counts them."""
        count = num_samples(self._duration)
        assert count is not None  # every duration the setter takes has one
        return count

    @property
    def signals(self) -> tuple:
        """The signal records, in index order."""
        return tuple(self._signals)

    def channel(self, channel) -> ChannelSettings:
        """The record of channel "A" or "B" (or a pyvexa.Channel), as load() gives it."""
        field, _ = _channel(channel)
        return self._channel_record(field)

    def _channel_record(self, field: str) -> ChannelSettings:
        a1, a2, mod = (self._sources[(field, s)] for s in SOURCE_FIELDS)
        return ChannelSettings(self._enabled[field], a1, a2, mod, 0, 0)

    # --- signals ---------------------------------------------------------

    def _append(self, signal) -> int:
        self._signals.append(signal)
        return len(self._signals) - 1

    def constant(self, value: float) -> int:
        """Add a constant signal; returns its index."""
        return self._append(Constant(ConstantSignalParams(_real("value", value))))

    def sine(self, amplitude: float, frequency: float, phase: float = 0.0, depth: float = 1.0) -> int:
        """Add a sine signal; returns its index."""
        params = [_real(name, v) for name, v in
                  (("amplitude", amplitude), ("frequency", frequency), ("phase", phase), ("depth", depth))]
        return self._append(Sine(SineSignalParams(*params)))

    def ramp(self, peak: float, up_duration: float, down_duration: float) -> int:
        """Add a ramp signal; returns its index."""
        params = [_real(name, v) for name, v in
                  (("peak", peak), ("up_duration", up_duration), ("down_duration", down_duration))]
        return self._append(Ramp(RampSignalParams(*params)))

    def mix(self, a: int, b: int) -> int:
        """Add the mix of two existing signals; returns its index."""
        a_idx = self._signal_index("a", a)
        b_idx = self._signal_index("b", b)
        return self._append(MixedSignal(MixedSignalParams(a_idx, b_idx)))

    def arbitrary(self, fractions) -> int:
        """Add a signal of samples given as fractions of full scale, 0.0 to
        1.0, 5000 a second: any one-dimensional real array-like. Its length
        is checked against the session when saving; returns its index."""
        copy, stored = _fractions_and_samples(_numpy(), fractions)
        index = self._append(Arbitrary(ArbitrarySignalParams(stored)))
        self._fractions[index] = copy
        return index

    def _signal_index(self, name: str, value) -> int:
        index = _integer(name, value)
        if not 0 <= index < len(self._signals):
            raise ValueError(f"{name}={index} names no signal: {_counted(len(self._signals))}")
        return index

    # --- routing ---------------------------------------------------------

    def _selection(self, call: str, signal, external) -> SignalSourceSelection:
        if (signal is None) == (external is None):
            raise TypeError(f"{call} takes exactly one of signal and external")
        if signal is not None:
            return SignalSourceSelection(self._signal_index("signal", signal), 0, False)
        number = _integer("external", external)
        count = default_settings().machine_config.num_external_signal_sources
        if not 0 <= number < count:
            raise ValueError(f"external={number} names no input: "
                             f"the machine has {count} external inputs (0 to {count - 1})")
        return SignalSourceSelection(0, number, True)

    def route(self, coil, signal: int | None = None, *, external: int | None = None) -> None:
        """Drive a coil's amplitude ("A1", "A2", "B1", "B2" or a pyvexa.Coil)
        from a signal index or an external input."""
        field, source, name = _coil(coil)
        self._sources[(field, source)] = self._selection(f"route({name!r})", signal, external)
        self._set.add((field, source))

    def modulate(self, channel, signal: int | None = None, *, external: int | None = None) -> None:
        """Drive a channel's modulation ("A", "B" or a pyvexa.Channel) from a
        signal index or an external input."""
        field, name = _channel(channel)
        self._sources[(field, "modulation_source")] = self._selection(f"modulate({name!r})", signal, external)
        self._set.add((field, "modulation_source"))

    def enable(self, channel) -> None:
        """Switch a channel on."""
        field, _ = _channel(channel)
        self._enabled[field] = True

    def disable(self, channel) -> None:
        """Switch channel B off; channel A is always on."""
        field, name = _channel(channel)
        if name == "A":
            raise ValueError("channel A cannot be disabled: pyvexa has no call that disables it, "
                             "so it cannot write channel A disabled")
        self._enabled[field] = False

    # --- records and checks ----------------------------------------------

    def to_settings(self) -> Settings:
        """The record exactly as save() writes it."""
        default = default_settings()
        return Settings(
            running_on_target_machine=self._on_target,
            machine_config=default.machine_config,
            intensity=self._intensity,
            session_duration=self._duration,
            # saving puts this one constant into an empty list
            signals=tuple(self._signals) or (Constant(ConstantSignalParams(0.0)),),
            channel_a_settings=self._channel_record("channel_a_settings"),
            channel_b_settings=self._channel_record("channel_b_settings"),
            monitor_trace_visible=default.monitor_trace_visible,
            monitor_subsampling_factor=default.monitor_subsampling_factor,
        )

    def to_protocol(self):
        """The pyvexa.Protocol whose save() writes this protocol."""
        import pyvexa

        protocol = new_protocol(pyvexa, self._on_target)
        for i, signal in enumerate(self._signals):
            p = signal.params
            if isinstance(signal, Constant):
                protocol.add_constant_signal(p.value)
            elif isinstance(signal, Sine):
                protocol.add_sine_signal(p.amplitude, p.frequency, p.phase, p.depth)
            elif isinstance(signal, Ramp):
                protocol.add_ramp_signal(p.peak, p.up_duration, p.down_duration)
            elif isinstance(signal, MixedSignal):
                protocol.add_mixed_signal(p.a_idx, p.b_idx)
            else:
                # pyvexa takes as many samples as the session has at the time
                protocol.set_session_duration(duration_for_samples(len(self._fractions[i])))
                protocol.add_arbitrary_signal(self._fractions[i])
        protocol.set_session_duration(self._duration)
        protocol.set_stimulation_intensity(self._intensity)
        for coil in (pyvexa.Coil.A1, pyvexa.Coil.A2, pyvexa.Coil.B1, pyvexa.Coil.B2):
            sel = self._sources[_COILS[tuple(_COILS)[int(coil)]]]
            protocol.set_amplitude_source(coil, *_setter_arguments(sel))
        for channel in (pyvexa.Channel.A, pyvexa.Channel.B):
            sel = self._sources[(_CHANNELS[tuple(_CHANNELS)[int(channel)]], "modulation_source")]
            protocol.set_modulation_source(channel, *_setter_arguments(sel))
        if self._enabled["channel_b_settings"]:
            protocol.enable_channel(pyvexa.Channel.B)
        return protocol

    def _own_findings(self, record: Settings) -> list[Finding]:
        found = []
        need = num_samples(self._duration)
        force = in_force(record)
        for i, fractions in self._fractions.items():
            if not force.reaches(i) and len(fractions) != need:
                found.append(Finding("warning", f"signals[{i}].Arbitrary.samples",
                                     f"has {len(fractions)} samples, but the session needs {need}; "
                                     "unused, so it is saved as it is"))
        for field in CHANNEL_FIELDS:
            if not self._enabled[field]:
                continue
            for source in SOURCE_FIELDS:
                if (field, source) not in self._set:
                    role = _ROLE[source].format(_LETTER[field])
                    found.append(Finding("warning", f"{field}.{source}",
                                         f"never set, so {role} takes signal 0 by default{self._default_source()}"))
        if self._intensity == 0.0:
            found.append(Finding("warning", "intensity", "is 0.0, which stimulates nothing"))
        return found

    def _default_source(self) -> str:
        if not self._signals:
            return " (the constant 0.0 that saving puts into an empty signal list)"
        return f" ({type(self._signals[0]).__name__})"

    def _findings(self, record: Settings, limits) -> list[Finding]:
        found = check(record) + self._own_findings(record)
        if limits is not None:
            found += limits.findings(record)
        return found

    def findings(self, limits=None) -> list[Finding]:
        """check() of the record save() would write, then what only the
        builder knows (sources never set, an intensity of 0.0), then the
        findings of `limits` (a vexafile.Limits) when given."""
        return self._findings(self.to_settings(), limits)

    def save(self, path: str | os.PathLike, limits=None) -> Settings:
        """Write the protocol to `path` (a name ending in .vexa) and return
        the record written. Raises ProtocolError, writing nothing, when the
        findings hold an error; warnings go out as ProtocolWarning. The file
        is replaced whole or not at all (see vexafile._atomic)."""
        shown = _vexa_path(path)
        record = self.to_settings()
        found = self._findings(record, limits)
        if any(f.severity == "error" for f in found):
            raise ProtocolError(found)
        for f in found:
            warnings.warn(ProtocolWarning(f"{f.path}: {f.message}"), stacklevel=2)
        protocol = self.to_protocol()
        replace_file(shown, lambda name: _save_through(protocol, name), suffix=".vexa")
        return record

    # --- display and copying ---------------------------------------------

    def _repr_html_(self) -> str:
        """The summary and routing of the report, for notebooks."""
        from ._report import fragment

        return fragment(self.to_settings())

    def __repr__(self) -> str:
        on = ", ".join(_LETTER[f] for f in CHANNEL_FIELDS if self._enabled[f])
        n = len(self._signals)
        return (f"<vexafile.Builder: {format_f64(self._duration)} s, {n} signal{'' if n == 1 else 's'}, "
                f"channels enabled: {on}>")

    def __str__(self) -> str:
        from ._summary import summary

        return summary(self.to_settings())

    def __getstate__(self) -> dict:
        # The stored samples follow from the fractions; only those are kept.
        state = dict(self.__dict__)
        state["_signals"] = [None if i in self._fractions else s for i, s in enumerate(self._signals)]
        return state

    def __setstate__(self, state: dict) -> None:
        self.__dict__.update(state)
        if self._fractions:
            numpy = _numpy()
            for i, fractions in self._fractions.items():
                self._fractions[i], stored = _fractions_and_samples(numpy, fractions)
                self._signals[i] = Arbitrary(ArbitrarySignalParams(stored))


def _setter_arguments(sel: SignalSourceSelection) -> tuple[int, bool]:
    return (sel.external if sel.external_selected else sel.internal), sel.external_selected
