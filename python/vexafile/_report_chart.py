"""One arbitrary signal over session time as inline SVG: a line when it is
short, a min/max band per pixel column when it is long, so that the size of
the drawing follows its width and not the signal's length."""

from __future__ import annotations

import math
from html import escape

from ._columns import column_envelope
from ._model import FULL_SCALE, SAMPLING_RATE
from ._text import format_f64

WIDTH, HEIGHT = 720, 190
_LEFT, _RIGHT, _TOP, _BOTTOM = 46, 12, 14, 34
PLOT_WIDTH = WIDTH - _LEFT - _RIGHT
_PLOT_HEIGHT = HEIGHT - _TOP - _BOTTOM
# Up to this many samples per pixel column a plain line still reads well.
_RAW_PER_COLUMN = 2
_INK, _GREY, _BAND, _BAND_OFF = "#1f2933", "#8a8a8a", "#2a6fb0", "#9aa5b1"


def _tick_step(span: float, most: int = 8) -> float:
    raw = span / most
    power = 10 ** math.floor(math.log10(raw))
    return next(k * power for k in (1, 2, 5, 10) if k * power >= raw)


def _ticks(lo: float, hi: float, most: int = 8) -> list[float]:
    step = _tick_step(hi - lo, most)
    first = math.ceil(lo / step - 1e-9)
    return [round(k * step, 10) for k in range(first, math.floor(hi / step + 1e-9) + 1)]


def _num(x: float) -> str:
    return f"{x:.1f}".rstrip("0").rstrip(".")


class _Frame:
    """Data to drawing coordinates."""

    def __init__(self, x_end: float, y_lo: float, y_hi: float) -> None:
        self.x_end, self.y_lo, self.y_hi = x_end, y_lo, y_hi

    def x(self, seconds: float) -> float:
        return _LEFT + seconds / self.x_end * PLOT_WIDTH

    def y(self, fraction: float) -> float:
        return _TOP + (self.y_hi - fraction) / (self.y_hi - self.y_lo) * _PLOT_HEIGHT


def x_end(count: int, session_duration: float) -> float:
    """Where the time axis ends: the session or the signal, whichever is longer."""
    end = session_duration if math.isfinite(session_duration) and session_duration > 0 else 0.0
    return max(end, count / SAMPLING_RATE) or 1.0


def _trace(np, samples, frame: _Frame, colour: str) -> tuple[str, bool]:
    """The signal's path, and whether it is a band."""
    n = len(samples)
    columns = max(1, round(PLOT_WIDTH * (n / SAMPLING_RATE) / frame.x_end))
    if n <= _RAW_PER_COLUMN * columns:
        ys = np.asarray(samples, dtype=np.float64) / FULL_SCALE
        points = " ".join(f"{_num(frame.x(i / SAMPLING_RATE))},{_num(frame.y(v))}" for i, v in enumerate(ys.tolist()))
        if n == 1:
            x, y = points.split(",")
            return f'<circle cx="{x}" cy="{y}" r="2" fill="{colour}"/>', False
        return f'<polyline points="{points}" fill="none" stroke="{colour}" stroke-width="1.2"/>', False
    edges, lo, hi = column_envelope(np, samples, 0, n, columns)
    xs = [frame.x(e / SAMPLING_RATE) for e in edges.tolist()]
    top = [frame.y(v / FULL_SCALE) for v in hi.tolist()]
    bottom = [frame.y(v / FULL_SCALE) for v in lo.tolist()]
    # Each bucket is a flat step from its left edge to its right edge.
    upper = [f"{_num(xs[j])},{_num(top[j])} {_num(xs[j + 1])},{_num(top[j])}" for j in range(len(top))]
    lower = [f"{_num(xs[j + 1])},{_num(bottom[j])} {_num(xs[j])},{_num(bottom[j])}"
             for j in reversed(range(len(bottom)))]
    # The stroke keeps a flat stretch (min = max) one pixel thick.
    return (f'<polygon points="{" ".join(upper)} {" ".join(lower)}" fill="{colour}" fill-opacity="0.55" '
            f'stroke="{colour}" stroke-width="0.8" stroke-linejoin="round"/>'), True


def signal_svg(np, samples, session_duration: float, label: str, enabled: bool = True) -> tuple[str, bool]:
    """The drawing of one signal and whether it came out as a band. The
    value axis reads in fractions of full scale, 0 to 1, widened to any
    sample outside that range (a file may hold negative samples)."""
    samples = np.asarray(samples, dtype=np.int16)
    n = len(samples)
    low = int(samples.min()) / FULL_SCALE if n else 0.0
    high = int(samples.max()) / FULL_SCALE if n else 1.0
    frame = _Frame(x_end(n, session_duration), min(0.0, low), max(1.0, high))
    ink = _INK if enabled else _GREY
    colour = _BAND if enabled else _BAND_OFF
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" class="chart" viewBox="0 0 {WIDTH} {HEIGHT}" '
             f'width="{WIDTH}" height="{HEIGHT}" font-family="sans-serif" font-size="11" role="img" aria-label="{escape(label)}">',
             f"<title>{escape(label)}</title>",
             f'<rect x="{_LEFT}" y="{_TOP}" width="{PLOT_WIDTH}" height="{_PLOT_HEIGHT}" fill="{"#fff" if enabled else "#f0f0f0"}" '
             f'stroke="{ink}" stroke-width="0.8"/>']
    for v in _ticks(frame.y_lo, frame.y_hi, 5):
        y = _num(frame.y(v))
        parts.append(f'<line x1="{_LEFT}" x2="{_LEFT + PLOT_WIDTH}" y1="{y}" y2="{y}" stroke="#d5dae0" stroke-width="0.6"/>'
                     f'<text x="{_LEFT - 5}" y="{y}" dy="0.32em" text-anchor="end" fill="{ink}">{_num_label(v)}</text>')
    for t in _ticks(0.0, frame.x_end):
        x = _num(frame.x(t))
        parts.append(f'<line x1="{x}" x2="{x}" y1="{_TOP + _PLOT_HEIGHT}" y2="{_TOP + _PLOT_HEIGHT + 4}" stroke="{ink}"/>'
                     f'<text x="{x}" y="{_TOP + _PLOT_HEIGHT + 15}" text-anchor="middle" fill="{ink}">{_num_label(t)}</text>')
    banded = False
    if n:
        trace, banded = _trace(np, samples, frame, colour)
        parts.append(trace)
    end = session_duration
    if math.isfinite(end) and 0 < end <= frame.x_end:
        x = _num(frame.x(end))
        parts.append(f'<line class="session-end" x1="{x}" x2="{x}" y1="{_TOP}" y2="{_TOP + _PLOT_HEIGHT}" '
                     f'stroke="#b00000" stroke-width="1.2" stroke-dasharray="5 3"/>'
                     f'<text x="{x}" y="{_TOP - 3}" text-anchor="{"end" if end > frame.x_end / 2 else "start"}" '
                     f'fill="#b00000">session end {escape(format_f64(end))} s</text>')
    axis = "session time (s)" + (" \u00b7 band: min to max of each pixel column" if banded else "")
    parts.append(f'<text x="{_LEFT + PLOT_WIDTH / 2:.0f}" y="{HEIGHT - 4}" text-anchor="middle" fill="{ink}">{axis}</text>'
                 f'<text transform="translate(11 {_TOP + _PLOT_HEIGHT / 2:.0f}) rotate(-90)" text-anchor="middle" '
                 f'fill="{ink}">fraction of full scale</text></svg>')
    return "".join(parts), banded


def _num_label(v: float) -> str:
    return format(v, "g")
