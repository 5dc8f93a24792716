"""vexafile plot: a protocol drawn for a person who checks it before a run.

One panel per channel names the source of each coil and of the modulation,
draws the arbitrary signals over session time and lists the parameters of
the others, whose waveforms the machine defines.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

from ._columns import column_envelope
from ._in_force import SignalGraph
from ._model import FULL_SCALE, SAMPLING_RATE, num_samples
from ._plot_text import (
    ARROW,
    arbitrary_length,
    channel_roles,
    channels,
    coil_line,
    describe,
    mix_parents,
    reached,
    signal_at,
    signal_label,
    source_label,
    title,
    unrouted,
)
from ._records import Arbitrary, Settings
from ._text import format_f64

# Figure geometry: the waveform axes take the left part, the words the right.
_SIZE_INCHES = (13.0, 7.5)
_DPI = 100
_AXES_LEFT, _AXES_RIGHT = 0.055, 0.6
_TEXT_X = 1.025  # in axes widths, where the column of words starts
_WRAP = 62
_MAX_DRAWN = 4
# Up to this many samples per pixel column a plain line still reads well.
_RAW_PER_COLUMN = 4
_FONT_POINTS = 9.0
_LINE_POINTS = 12.5
_GREY = "#8a8a8a"
_MISSING = "#b00000"


class PlotError(Exception):
    """A plot that cannot be drawn or written; the message says why."""


@dataclass(frozen=True)
class Window:
    """Session time shown, in seconds."""

    start: float
    stop: float


@dataclass
class Plot:
    figure: Any  # a matplotlib Figure, imported only when a plot is drawn
    drawn: int


def _matplotlib_figure():
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise PlotError("drawing needs matplotlib, which is not installed (pip install matplotlib)") from None
    return Figure


def data_end(settings: Settings) -> float:
    """Where the plot ends by default: the session or the longest signal."""
    longest = max((arbitrary_length(settings, i) or 0 for i in range(len(settings.signals))), default=0)
    end = settings.session_duration
    end = end if math.isfinite(end) and end > 0 else 0.0
    return max(end, longest / SAMPLING_RATE) or 1.0


def _wrapped(line: str) -> list[str]:
    """One line of words, broken after commas so no number is split."""
    out = [""]
    for piece in line.split(", "):
        joined = f"{out[-1]}, {piece}" if out[-1] else piece
        if len(joined) <= _WRAP or not out[-1].strip():
            out[-1] = joined
        else:
            out[-1] += ","
            out.append("      " + piece)
    return out


def _write_lines(ax, lines: list[str], colour: str, room: int) -> int:
    """The words beside a panel, one text per line (wrapped inside it) so
    that each reads whole, in at most `room` rows; missing parts in red.
    Returns the rows used."""
    blocks = [(line, _wrapped(line)) for line in lines]
    budget = room if sum(len(parts) for _, parts in blocks) <= room else room - 1
    kept, rows = [], 0
    for line, parts in blocks:
        if rows + len(parts) > budget:
            break
        kept.append((line, parts))
        rows += len(parts)
    if len(kept) < len(blocks):
        kept.append(("", [f"\u2026 {len(blocks) - len(kept)} more (vexafile show FILE)"]))
    row = 0
    for line, parts in kept:
        ax.annotate("\n".join(parts), xy=(_TEXT_X, 1.0), xycoords="axes fraction",
                    xytext=(0, -_LINE_POINTS * row), textcoords="offset points", va="top", ha="left",
                    fontsize=_FONT_POINTS, linespacing=_LINE_POINTS / _FONT_POINTS,
                    color=_MISSING if "(missing)" in line else colour, annotation_clip=False)
        row += len(parts)
    return row


def _draw_signal(np, ax, samples, window: Window, columns: int, **style) -> bool:
    """Draws one signal; True when it came out as a min/max band."""
    start = max(0, math.floor(window.start * SAMPLING_RATE))
    # One sample past the window's end, so the line reaches the edge.
    stop = min(len(samples), math.ceil(window.stop * SAMPLING_RATE) + 1)
    if stop <= start:
        ax.plot([], [], **style)  # keeps the legend entry
        return False
    if stop - start <= _RAW_PER_COLUMN * columns:
        ys = np.asarray(samples[start:stop], dtype=np.float64) / FULL_SCALE
        ax.plot(np.arange(start, stop) / SAMPLING_RATE, ys, linewidth=1.0, **style)
        return False
    edges, lo, hi = column_envelope(np, samples, start, stop, columns)
    xs = edges / SAMPLING_RATE
    # Step "post" needs the last bucket's values repeated at its right edge.
    lo = np.append(lo, lo[-1]) / FULL_SCALE
    hi = np.append(hi, hi[-1]) / FULL_SCALE
    color = style.pop("color")
    ax.fill_between(xs, lo, hi, step="post", linewidth=0.8, facecolor=color, edgecolor=color, **style)
    return True


def _roles_of(index: int, roles) -> list[str]:
    return [name for name, sel in roles if not sel.external_selected and sel.internal == index]


def _legend_label(settings: Settings, index: int, roles, parents: dict[int, int], needed: int | None) -> str:
    users = _roles_of(index, roles)
    label = f"signal {index} \u2192 {', '.join(users)}" if users else f"signal {index} (in signal {parents[index]})"
    count = arbitrary_length(settings, index)
    if needed is not None and count != needed:
        label += f"\n    {count} samples, the session has {needed}"
    return label


def _samples(np, sig: Arbitrary):
    return np.asarray(sig.params.samples, dtype=np.int16)


def _channel_panel(np, ax, settings: Settings, graph: SignalGraph, letter: str, channel, window: Window,
                   columns: int) -> dict[int, bool]:
    """Draws one channel; returns the signals drawn, each with whether it
    came out as a min/max band."""
    roles = channel_roles(letter, channel)
    state = "enabled" if channel.enabled else "disabled"
    colour = "black" if channel.enabled else _GREY
    ax.set_title(f"channel {letter}: {state} \u00b7 {coil_line(settings, channel)}",
                 loc="left", fontsize=10, color=colour, fontweight="bold")
    lines = [f"{name} {ARROW} {source_label(settings, sel)}" for name, sel in roles]
    needed = num_samples(settings.session_duration)
    order = reached(graph, [sel for _, sel in roles])
    parents = mix_parents(settings, order)
    drawn: dict[int, bool] = {}
    labels: list[str] = []
    for index in order:
        sig = signal_at(settings, index)
        if isinstance(sig, Arbitrary) and len(sig.params.samples):
            if len(drawn) < _MAX_DRAWN:
                labels.append(_legend_label(settings, index, roles, parents, needed))
                style = {"color": f"C{index % 10}", "label": labels[-1], "alpha": 0.65 if channel.enabled else 0.3}
                drawn[index] = _draw_signal(np, ax, _samples(np, sig), window, columns, **style)
            else:
                lines.append(f"signal {index}: Arbitrary, not drawn (more than {_MAX_DRAWN} here)")
        elif sig is not None:
            lines.append(describe(settings, index))
        elif not _roles_of(index, roles):
            lines.append(signal_label(settings, index))  # a mix's missing operand
    # The words first, the legend of the drawn signals right below them.
    legend_rows = sum(label.count("\n") + 1 for label in labels)
    room = int(ax.bbox.height * 72 / ax.figure.dpi / _LINE_POINTS) - legend_rows - 1
    rows = _write_lines(ax, lines, colour, room)
    if drawn:
        from matplotlib.transforms import offset_copy

        below_words = offset_copy(ax.transAxes, fig=ax.figure, y=-_LINE_POINTS * rows - 4, units="points")
        ax.legend(loc="upper left", bbox_to_anchor=(_TEXT_X - 0.008, 1.0), bbox_transform=below_words,
                  fontsize=8, frameon=False, borderaxespad=0.0, labelspacing=0.45)
    if not channel.enabled:
        ax.set_facecolor("#ececec")
        ax.text(0.5, 0.5, f"channel {letter}: disabled", transform=ax.transAxes, ha="center",
                va="center", fontsize=16, color=_GREY, zorder=5,
                bbox={"facecolor": "#ececec", "edgecolor": _GREY, "alpha": 0.9})
    elif not drawn:
        ax.text(0.5, 0.5, "no arbitrary signal on this channel", transform=ax.transAxes,
                ha="center", va="center", fontsize=10, color=_GREY)
    return drawn


def _mark_session_end(ax, settings: Settings, window: Window) -> None:
    end = settings.session_duration
    if not (math.isfinite(end) and window.start < end < window.stop):
        return
    ax.axvline(end, color="black", linestyle="--", linewidth=0.9)
    ax.axvspan(end, window.stop, color=_GREY, alpha=0.15, linewidth=0)
    # Label on the side with room: right of the line would run into the words.
    left_half = end < (window.start + window.stop) / 2
    ax.text(end, 1.0, f" session end {format_f64(end)} s ", transform=ax.get_xaxis_transform(),
            ha="left" if left_half else "right", va="bottom", fontsize=8)


def _fit_y(ax) -> None:
    """0 to 1 with a margin, widened to any sample outside it: the file
    holds signed 16-bit samples, only the protocol keeps them at 0 and up."""
    lo, hi = ax.dataLim.intervaly
    lo = min(-0.05, lo - 0.05) if math.isfinite(lo) else -0.05
    hi = max(1.05, hi + 0.05) if math.isfinite(hi) else 1.05
    ax.set_ylim(lo, hi)


def _x_range(settings: Settings, window: Window | None) -> Window:
    if window is not None:
        return window
    right = data_end(settings)
    # A little room past the end, so a session-end line there stays visible.
    lengths = {arbitrary_length(settings, i) for i in range(len(settings.signals))} - {None, 0}
    if lengths - {num_samples(settings.session_duration)}:
        right *= 1.02
    return Window(0.0, right)


def build(settings: Settings, window: Window | None = None, name: str | None = None) -> Plot:
    """The figure of a protocol, not yet saved; `drawn` counts the
    arbitrary signals drawn (each once, whichever panels show it)."""
    Figure = _matplotlib_figure()
    import numpy as np

    fig = Figure(figsize=_SIZE_INCHES, dpi=_DPI)
    fig.subplots_adjust(left=_AXES_LEFT, right=_AXES_RIGHT, top=0.86, bottom=0.1, hspace=0.32)
    axes = fig.subplots(2, 1, sharex=True)
    shown = _x_range(settings, window)
    columns = max(1, int(axes[0].bbox.width))
    graph = SignalGraph(settings.signals)
    drawn: dict[int, bool] = {}
    for ax, (letter, channel) in zip(axes, channels(settings)):
        drawn.update(_channel_panel(np, ax, settings, graph, letter, channel, shown, columns))
        _mark_session_end(ax, settings, shown)
        ax.set_xlim(shown.start, shown.stop)
        _fit_y(ax)
        ax.set_ylabel("sample / 32767")
        ax.grid(True, linewidth=0.4, alpha=0.5)
    axes[-1].set_xlabel("session time (s) \u00b7 5000 samples per second"
                        + (" \u00b7 bands: min to max of each pixel column" if any(drawn.values()) else ""))
    heading = title(settings)
    if window is not None:
        heading += f" \u00b7 showing {format_f64(window.start)} s to {format_f64(window.stop)} s"
    fig.suptitle(f"{name}\n{heading}" if name else heading, x=0.02, ha="left", fontsize=12)
    _footer(fig, settings, graph)
    return Plot(fig, len(drawn))


def _footer(fig, settings: Settings, graph: SignalGraph) -> None:
    idle = unrouted(settings, graph)
    if not idle:
        return
    names = ", ".join(signal_label(settings, i) for i in idle[:8])
    if len(idle) > 8:
        names += f" and {len(idle) - 8} more"
    fig.text(0.02, 0.015, f"not routed to any coil or modulation: {names}", fontsize=9, color=_GREY)


def save(plot: Plot, out: str) -> None:
    try:
        plot.figure.savefig(out, dpi=_DPI)
    except (OSError, ValueError) as e:
        reason = e.strerror if isinstance(e, OSError) and e.strerror else str(e)
        raise PlotError(f"cannot write {out}: {reason}") from None


def draw(settings: Settings, out: str, window: Window | None = None, name: str | None = None) -> int:
    """Draw and write the plot; the number of arbitrary signals drawn."""
    plot = build(settings, window, name)
    save(plot, out)
    return plot.drawn
