"""What pyvexa stores without checking, checked on a decoded protocol:
indices that name nothing, mixed signals that mix themselves, arbitrary
signals whose length no longer fits the session, and values the module
refuses but a file can hold."""

from __future__ import annotations

import math
import sys
from dataclasses import dataclass, fields

from ._model import (
    CHANNEL_FIELDS,
    FULL_SCALE,
    MAX_INTENSITY,
    MAX_SESSION_DURATION,
    MIN_INTENSITY,
    MIN_SESSION_DURATION,
    SAMPLING_RATE,
    SOURCE_FIELDS,
    num_samples,
)
from ._records import (
    Arbitrary,
    ChannelSettings,
    Constant,
    MixedSignal,
    Ramp,
    Settings,
    SignalSourceSelection,
    Sine,
)
from ._in_force import SignalGraph, in_force, sources_of
from ._text import format_f64, quote

__all__ = ["Finding", "check"]

_UNSET = SignalSourceSelection(0, 0, False)
# At most this many signal numbers are spelled out in one message.
_LIST_LIMIT = 8


@dataclass(frozen=True, slots=True)
class Finding:
    """One finding. Those of a site limit also name its rule id, the limits
    file as it was given and the SHA-256 of its bytes, the value found and
    the limit; other findings leave these None."""

    severity: str  # "error" or "warning"
    path: str
    message: str
    rule: str | None = None
    limits_file: str | None = None
    limits_sha256: str | None = None
    value: object = None
    limit: object = None


def _error(path: str, message: str) -> Finding:
    return Finding("error", path, message)


def _warning(path: str, message: str) -> Finding:
    return Finding("warning", path, message)


# --- message parts -------------------------------------------------------


def _positions(n: int) -> str:
    return "(0)" if n == 1 else f"(0 to {n - 1})"


def _counted(n: int, noun: str) -> str:
    """"no signals", "1 signal (0)", "5 signals (0 to 4)"."""
    if n == 0:
        return f"no {noun}s"
    return f"{n} {noun}{'' if n == 1 else 's'} {_positions(n)}"


def _no_signal(index: int, count: int) -> str:
    verb = "is" if count == 1 else "are"
    return f"names signal {index}, but there {verb} {_counted(count, 'signal')}"


def _no_input(number: int, count: int) -> str:
    has = "none" if count == 0 else f"{count} {_positions(count)}"
    return f"external input {number}, but the machine has {has}"


def _listed(numbers: list[int], joiner: str = ", ") -> str:
    shown = [str(n) for n in numbers[:_LIST_LIMIT]]
    if len(numbers) > _LIST_LIMIT:
        shown.append(f"... ({len(numbers)} in all)")
    return joiner.join(shown)


def _cycle_message(graph: SignalGraph, group: list[int]) -> str:
    if len(group) == 1:
        return "mixes itself"
    loop = graph.loop_through(group[0], group)
    if len(loop) - 1 > _LIST_LIMIT:
        way = " -> ".join(map(str, loop[:_LIST_LIMIT])) + f" -> ... -> {loop[0]}"
    else:
        way = " -> ".join(map(str, loop))
    return f"mixed signals {_listed(group)} form a cycle: {way}"


# --- samples -------------------------------------------------------------


def _negative_samples(samples) -> tuple[int, int, int] | None:
    """(index of the first, its value, how many) of the samples below 0, or
    None. An int16 never exceeds 32767, so only the lower bound can fail."""
    if len(samples) == 0:
        return None
    if hasattr(samples, "dtype"):  # NumPy: one vectorised pass, more only on failure
        if samples.min() >= 0:
            return None
        below = samples < 0
        first = int(below.argmax())
        return first, int(samples[first]), int(below.sum())
    # array('h'): a sample is negative when its high byte is 0x80 or more;
    # bytes methods scan those in C instead of one Python int per sample.
    high = samples.tobytes()[_HIGH_BYTE::2]
    count = len(high.translate(None, _SIGN_CLEAR))
    if count == 0:
        return None
    first = len(high) - len(high.lstrip(_SIGN_CLEAR))
    return first, samples[first], count


_HIGH_BYTE = 1 if sys.byteorder == "little" else 0
_SIGN_CLEAR = bytes(range(0x80))


# --- the checks, in field order ------------------------------------------


class _Checker:
    def __init__(self, settings: Settings) -> None:
        self.s = settings
        self.findings: list[Finding] = []
        force = in_force(settings)
        self.graph = force.graph
        self.live = force.signals
        # A signal named only by a disabled channel is reported with that
        # channel's source, not a second time as unused.
        disabled = [sel.internal for name in CHANNEL_FIELDS if not getattr(settings, name).enabled
                    for _, sel in sources_of(getattr(settings, name))
                    if not sel.external_selected and sel != _UNSET]
        self.used = self.graph.reach(force.roots + disabled)

    def run(self) -> list[Finding]:
        self.intensity()
        self.session_duration()
        self.signals()
        for name in CHANNEL_FIELDS:
            self.channel(name, getattr(self.s, name))
        return self.findings

    def add(self, finding: Finding) -> None:
        self.findings.append(finding)

    def intensity(self) -> None:
        x = self.s.intensity
        limit = self.s.machine_config.max_intensity_setpoint
        if not (MIN_INTENSITY <= x <= MAX_INTENSITY):
            self.add(_error("intensity", f"{format_f64(x)} is outside {format_f64(MIN_INTENSITY)} to "
                            f"{format_f64(MAX_INTENSITY)}"))
        elif x > limit:
            self.add(_warning("intensity", f"{format_f64(x)} is above the machine's "
                              f"max_intensity_setpoint {format_f64(limit)}"))

    def session_duration(self) -> None:
        d = self.s.session_duration
        if not (MIN_SESSION_DURATION <= d <= MAX_SESSION_DURATION):
            self.add(_error("session_duration", f"{format_f64(d)} s is outside "
                            f"{format_f64(MIN_SESSION_DURATION)} to {format_f64(MAX_SESSION_DURATION)} s"))

    def signals(self) -> None:
        signals = self.s.signals
        cycles = {group[0]: group for group in self.graph.cycles()}
        need = num_samples(self.s.session_duration)
        # The constant 0.0 that saving puts into an empty list is nobody's mistake.
        placeholder = len(signals) == 1 and _is_zero_constant(signals[0])
        for i, signal in enumerate(signals):
            here = f"signals[{i}]"
            if i in cycles:
                self.add(_error(here, _cycle_message(self.graph, cycles[i])))
            if not self.used[i] and not placeholder:
                self.add(_warning(here, "unused: no source of a channel reaches it"))
            variant = f"{here}.{type(signal).__name__}"
            if isinstance(signal, (Constant, Sine, Ramp)):
                self.parameters(variant, signal.params)
            elif isinstance(signal, MixedSignal):
                for field in ("a_idx", "b_idx"):
                    index = getattr(signal.params, field)
                    if index >= len(signals):
                        self.add(_error(f"{variant}.{field}", _no_signal(index, len(signals))))
            elif isinstance(signal, Arbitrary):
                self.samples(f"{variant}.samples", signal.params.samples, need if self.live[i] else None)

    def parameters(self, path: str, params) -> None:
        for f in fields(params):
            value = getattr(params, f.name)
            if not math.isfinite(value):
                self.add(_warning(f"{path}.{f.name}", f"is {format_f64(value)}, not a finite number"))

    def samples(self, path: str, samples, need: int | None) -> None:
        if need is not None and len(samples) != need:
            self.add(_error(path, f"has {len(samples)} samples, but the session needs {need} "
                            f"({format_f64(self.s.session_duration)} s at {SAMPLING_RATE:g} per second)"))
        negative = _negative_samples(samples)
        if negative is not None:
            first, value, count = negative
            self.add(_error(path, f"sample {first} is {value}, outside 0 to {FULL_SCALE} "
                            f"({count} sample{'' if count == 1 else 's'} below 0)"))

    def channel(self, name: str, ch: ChannelSettings) -> None:
        for field in SOURCE_FIELDS:
            self.source(f"{name}.{field}", getattr(ch, field), ch.enabled)
        coils = self.s.machine_config.coils
        flag = _error if ch.enabled else _warning
        off = "" if ch.enabled else "; the channel is disabled"
        if ch.coil_idx >= len(coils):
            self.add(flag(f"{name}.coil_idx",
                          f"names coil {ch.coil_idx}, but the machine has {_counted(len(coils), 'coil')}{off}"))
            return
        coil = coils[ch.coil_idx]
        if ch.coil_setting_idx >= len(coil.settings):
            self.add(flag(f"{name}.coil_setting_idx",
                          f"names tuning {ch.coil_setting_idx}, but coil {ch.coil_idx} ({quote(coil.name)}) "
                          f"has {_counted(len(coil.settings), 'tuning')}{off}"))

    def source(self, path: str, sel: SignalSourceSelection, enabled: bool) -> None:
        if sel.external_selected:
            count = self.s.machine_config.num_external_signal_sources
            fault = _no_input(sel.external, count) if sel.external >= count else None
            target = f"external input {sel.external}"
        else:
            count = len(self.s.signals)
            fault = _no_signal(sel.internal, count) if sel.internal >= count else None
            target = f"signal {sel.internal}"
        if enabled:
            if fault:
                self.add(_error(path, fault))
        elif sel != _UNSET:
            self.add(_warning(path, f"set on a disabled channel: {fault or target}"))


def _is_zero_constant(signal) -> bool:
    return isinstance(signal, Constant) and signal.params.value == 0.0


def check(settings: Settings, limits=None) -> list[Finding]:
    """Findings about one decoded protocol, in the order of its fields:
    errors for what cannot run as written, warnings for what is likely a
    mistake, then (with a vexafile.Limits) the site limits it breaks. An
    empty list means the protocol is clean."""
    findings = _Checker(settings).run()
    if limits is not None:
        findings += limits.findings(settings)
    return findings
