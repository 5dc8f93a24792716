"""A whole protocol on one screen, however long its signals: the session,
the channels and what drives them, one line per signal (the first 20),
the machine, and how many findings check() has.

summarize() gives the rows without any layout (the report renders them as
tables); summary() lays them out as plain ASCII text."""

from __future__ import annotations

from dataclasses import dataclass

from ._check import check
from ._in_force import in_force
from ._model import CHANNEL_FIELDS, FULL_SCALE, SAMPLING_RATE, num_samples
from ._plot_text import channel_roles, describe, signal_at
from ._records import Arbitrary, Settings
from ._text import format_f64, quote

__all__ = ["Summary", "ChannelRow", "SourceRow", "SignalRow", "summarize", "summary"]

# Signals listed before the list is cut short with "... and N more".
SIGNAL_ROWS = 20


@dataclass(frozen=True)
class SourceRow:
    """One amplitude or modulation source: role ("A1", "A2", "modulation"),
    what it selects ("signal 3", "external input 2") and, for a signal, that
    signal's one-line description (None for an input or a missing signal)."""

    role: str
    source: str
    signal: str | None


@dataclass(frozen=True)
class ChannelRow:
    """name "A" or "B"; coil: the coil and tuning the channel uses."""

    name: str
    enabled: bool
    coil: str
    sources: tuple[SourceRow, ...]


@dataclass(frozen=True)
class SignalRow:
    """index, kind (the variant's name), text (kind and parameters on one
    line), in_force (whether an enabled channel reaches it)."""

    index: int
    kind: str
    text: str
    in_force: bool


@dataclass(frozen=True)
class Summary:
    """session and machine: (label, value) rows; signals: the first 20,
    more_signals: how many are left out; errors, warnings: check() counts."""

    session: tuple[tuple[str, str], ...]
    channels: tuple[ChannelRow, ...]
    signals: tuple[SignalRow, ...]
    more_signals: int
    machine: tuple[tuple[str, str], ...]
    errors: int
    warnings: int


def fraction(x: float) -> str:
    """A fraction of full scale as shown in summaries: 3 decimals."""
    return f"{x:.3f}"


def _sample_stats(samples) -> tuple[int, int, float]:
    """Minimum, maximum and mean of int16 samples, NumPy or array('h')."""
    if hasattr(samples, "dtype"):
        return int(samples.min()), int(samples.max()), float(samples.sum(dtype="int64")) / len(samples)
    return min(samples), max(samples), sum(samples) / len(samples)


def _signal_text(settings: Settings, index: int) -> str:
    sig = signal_at(settings, index)
    if not isinstance(sig, Arbitrary):
        return describe(settings, index).partition(": ")[2] or describe(settings, index)
    samples = sig.params.samples
    n = len(samples)
    text = f"Arbitrary, {n} samples, {format_f64(n / SAMPLING_RATE)} s"
    if n:
        low, high, mean = _sample_stats(samples)
        text += (f", min {fraction(low / FULL_SCALE)}, max {fraction(high / FULL_SCALE)}, "
                 f"mean {fraction(mean / FULL_SCALE)}")
    return text


def _coil_text(settings: Settings, coil_idx: int, setting_idx: int, detail: bool) -> str:
    coils = settings.machine_config.coils
    if coil_idx >= len(coils):
        return f"coil {coil_idx} (missing)"
    coil = coils[coil_idx]
    text = f"coil {coil_idx} {quote(coil.name)}"
    if detail:
        text += f", {format_f64(coil.inductance)} uH"
    if setting_idx >= len(coil.settings):
        return f"{text}, tuning {setting_idx} (missing)"
    tuning = coil.settings[setting_idx]
    text += f", tuning {setting_idx}"
    if detail:
        text += f": {format_f64(tuning.capacitance)} nF"
    return f"{text}, carrier {tuning.carrier_frequency:.3f} kHz"


def summarize(settings: Settings) -> Summary:
    """The rows of the one-screen summary of `settings`."""
    machine = settings.machine_config
    count = num_samples(settings.session_duration)
    session = (
        ("duration", f"{format_f64(settings.session_duration)} s"),
        ("samples", "none (the duration is out of range)" if count is None
         else f"{count} at {SAMPLING_RATE:g} per second"),
        ("intensity", f"{fraction(settings.intensity)} of full scale "
                      f"(machine maximum {fraction(machine.max_intensity_setpoint)})"),
    )
    texts: dict[int, str] = {}

    def text_of(index: int) -> str:
        if index not in texts:
            texts[index] = _signal_text(settings, index)
        return texts[index]

    channels = []
    for letter, field in zip("AB", CHANNEL_FIELDS):
        ch = getattr(settings, field)
        rows = []
        for role, sel in channel_roles(letter, ch):
            if sel.external_selected:
                rows.append(SourceRow(role, f"external input {sel.external}", None))
            elif signal_at(settings, sel.internal) is None:
                rows.append(SourceRow(role, f"signal {sel.internal} (missing)", None))
            else:
                rows.append(SourceRow(role, f"signal {sel.internal}", text_of(sel.internal)))
        coil = _coil_text(settings, ch.coil_idx, ch.coil_setting_idx, detail=False)
        channels.append(ChannelRow(letter, bool(ch.enabled), coil, tuple(rows)))
    force = in_force(settings)
    shown = min(len(settings.signals), SIGNAL_ROWS)
    signals = tuple(
        SignalRow(i, type(settings.signals[i]).__name__, text_of(i), force.reaches(i)) for i in range(shown)
    )
    used = sorted({(ch.coil_idx, ch.coil_setting_idx) for ch in
                   (getattr(settings, f) for f in CHANNEL_FIELDS)})
    machine_rows = [("supply", f"supply_voltage {format_f64(machine.supply_voltage)}, "
                               f"{machine.num_external_signal_sources} external inputs")]
    machine_rows += [("coil", _coil_text(settings, c, s, detail=True)) for c, s in used]
    findings = check(settings)
    errors = sum(f.severity == "error" for f in findings)
    return Summary(session, tuple(channels), signals, len(settings.signals) - shown, tuple(machine_rows),
                   errors, len(findings) - errors)


def _plural(n: int, noun: str) -> str:
    return f"{n} {noun}{'' if n == 1 else 's'}"


def summary(settings: Settings) -> str:
    """The protocol on one screen, in plain ASCII apart from names stored in
    the file; a few dozen lines at most, however long its signals are."""
    s = summarize(settings)
    lines = [f"{label}: {value}" for label, value in s.session]
    for ch in s.channels:
        lines.append(f"channel {ch.name}: {'enabled' if ch.enabled else 'disabled'}, {ch.coil}")
        for source in ch.sources:
            lines.append(f"  {source.role}: {source.source}" + (f" = {source.signal}" if source.signal else ""))
    total = len(s.signals) + s.more_signals
    lines.append(f"signals: {total}")
    for row in s.signals:
        lines.append(f"  {row.index}: {row.text}" + ("" if row.in_force else " (not in force)"))
    if s.more_signals:
        lines.append(f"  ... and {s.more_signals} more")
    lines += [f"machine {label}: {value}" for label, value in s.machine]
    lines.append(f"check: {_plural(s.errors, 'error')}, {_plural(s.warnings, 'warning')}")
    return "\n".join(lines)
