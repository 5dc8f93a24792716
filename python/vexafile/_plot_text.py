"""The words of a plot: who feeds each coil, what each signal is, the title.

Kept apart from the drawing so that it needs neither NumPy nor matplotlib.
"""

from __future__ import annotations

from collections import deque

from ._model import num_samples
from ._records import Arbitrary, ChannelSettings, Constant, MixedSignal, Ramp, Settings, Sine, SignalSourceSelection
from ._text import format_f64, quote

ARROW = "\u2190"

def _sources(settings: Settings) -> list[tuple[str, SignalSourceSelection]]:
    a, b = settings.channel_a_settings, settings.channel_b_settings
    return [
        ("A1", a.amplitude1_source),
        ("A2", a.amplitude2_source),
        ("B1", b.amplitude1_source),
        ("B2", b.amplitude2_source),
        ("mod A", a.modulation_source),
        ("mod B", b.modulation_source),
    ]

def channels(settings: Settings) -> list[tuple[str, ChannelSettings]]:
    return [("A", settings.channel_a_settings), ("B", settings.channel_b_settings)]

def channel_roles(letter: str, channel: ChannelSettings) -> list[tuple[str, SignalSourceSelection]]:
    """The three sources of one channel, named as a person reads them."""
    return [
        (f"{letter}1", channel.amplitude1_source),
        (f"{letter}2", channel.amplitude2_source),
        ("modulation", channel.modulation_source),
    ]

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

def reached(settings: Settings, sels: list[SignalSourceSelection]) -> list[int]:
    """Internal signals the selections use, then the operands of mixed
    signals among them, in order of discovery; mixes may form cycles."""
    # A file may hold millions of mixed signals: a queue and a set keep the
    # walk linear.
    order: list[int] = []
    seen: set[int] = set()
    pending = deque(sel.internal for sel in sels if not sel.external_selected)
    while pending:
        index = pending.popleft()
        if index in seen:
            continue
        seen.add(index)
        order.append(index)
        sig = signal_at(settings, index)
        if isinstance(sig, MixedSignal):
            pending += (sig.params.a_idx, sig.params.b_idx)
    return order

def mix_parents(settings: Settings, order: list[int]) -> dict[int, int]:
    """Each operand in `order`'s mixes, with the first mix that uses it."""
    parents: dict[int, int] = {}
    for index in order:
        sig = signal_at(settings, index)
        if isinstance(sig, MixedSignal):
            parents.setdefault(sig.params.a_idx, index)
            parents.setdefault(sig.params.b_idx, index)
    return parents

def unrouted(settings: Settings) -> list[int]:
    """Signals no coil or modulation reaches, directly or through a mix."""
    used = set(reached(settings, [sel for _, sel in _sources(settings)]))
    return [i for i in range(len(settings.signals)) if i not in used]

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
