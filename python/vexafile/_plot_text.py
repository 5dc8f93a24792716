"""The words of a plot: who feeds each coil, what each signal is, the title.

Kept apart from the drawing so that it needs neither NumPy nor matplotlib.
"""

from __future__ import annotations

from ._in_force import SignalGraph, internal_signals, sources_of
from ._model import CHANNEL_FIELDS, CHANNEL_LETTERS, ROLES, num_samples
from ._records import Arbitrary, ChannelSettings, Constant, MixedSignal, Ramp, Settings, Sine, SignalSourceSelection
from ._text import format_f64, quote

ARROW = "\u2190"

def channels(settings: Settings) -> list[tuple[str, ChannelSettings]]:
    return [(letter, getattr(settings, field)) for field, letter in zip(CHANNEL_FIELDS, CHANNEL_LETTERS)]

def channel_roles(letter: str, channel: ChannelSettings) -> list[tuple[str, SignalSourceSelection]]:
    """The three sources of one channel, named as a person reads them."""
    return [(role.name, getattr(channel, role.source)) for role in ROLES if role.letter == letter]

def signal_at(settings: Settings, index: int):
    """The signal at `index`, or None: positions are stored unchecked."""
    return settings.signals[index] if 0 <= index < len(settings.signals) else None

def signal_label(settings: Settings, index: int) -> str:
    sig = signal_at(settings, index)
    return f"signal {index} ({type(sig).__name__ if sig is not None else 'missing'})"

def source_label(settings: Settings, sel: SignalSourceSelection) -> str:
    if sel.external_selected:
        return f"external input {sel.external}"
    return signal_label(settings, sel.internal)

def _fields(params, names: tuple[str, ...]) -> str:
    return ", ".join(f"{name} {format_f64(getattr(params, name))}" for name in names)

def describe(settings: Settings, index: int) -> str:
    """One signal as labelled parameters; the machine defines the waveforms
    of all but arbitrary signals, so they are named, never drawn."""
    sig = signal_at(settings, index)
    head = f"signal {index}:"
    if sig is None:
        return signal_label(settings, index)
    if isinstance(sig, Constant):
        return f"{head} Constant {_fields(sig.params, ('value',))}"
    if isinstance(sig, Sine):
        return f"{head} Sine {_fields(sig.params, ('amplitude', 'frequency', 'phase', 'depth'))}"
    if isinstance(sig, Ramp):
        return f"{head} Ramp {_fields(sig.params, ('peak', 'up_duration', 'down_duration'))}"
    if isinstance(sig, MixedSignal):
        return f"{head} MixedSignal of signals {sig.params.a_idx} and {sig.params.b_idx}"
    return f"{head} Arbitrary, {len(sig.params.samples)} samples"

def reached(graph: SignalGraph, sels: list[SignalSourceSelection]) -> list[int]:
    """Internal signals the selections use, then the operands of mixed
    signals among them, in order of discovery; mixes may form cycles."""
    return graph.walk(internal_signals(sels))[0]

def mix_parents(settings: Settings, order: list[int]) -> dict[int, int]:
    """Each operand in `order`'s mixes, with the first mix that uses it."""
    parents: dict[int, int] = {}
    for index in order:
        sig = signal_at(settings, index)
        if isinstance(sig, MixedSignal):
            parents.setdefault(sig.params.a_idx, index)
            parents.setdefault(sig.params.b_idx, index)
    return parents

def unrouted(settings: Settings, graph: SignalGraph) -> list[int]:
    """Signals no coil or modulation reaches, directly or through a mix."""
    used = graph.reach(internal_signals([sel for _, channel in channels(settings) for _, sel in sources_of(channel)]))
    return [i for i, flag in enumerate(used) if not flag]

def coil_line(settings: Settings, channel: ChannelSettings) -> str:
    coils = settings.machine_config.coils
    if channel.coil_idx >= len(coils):
        return f"coil {channel.coil_idx} (missing)"
    coil = coils[channel.coil_idx]
    tuning = f"tuning {channel.coil_setting_idx}"
    if channel.coil_setting_idx >= len(coil.settings):
        tuning += " (missing)"
    return f"coil {channel.coil_idx} {quote(coil.name)}, {tuning}"

def title(settings: Settings) -> str:
    needed = num_samples(settings.session_duration)
    count = "?" if needed is None else str(needed)
    return (
        f"intensity {format_f64(settings.intensity)} \u00b7 "
        f"{format_f64(settings.session_duration)} s \u00b7 {count} samples per signal"
    )

def arbitrary_length(settings: Settings, index: int) -> int | None:
    sig = signal_at(settings, index)
    return len(sig.params.samples) if isinstance(sig, Arbitrary) else None
