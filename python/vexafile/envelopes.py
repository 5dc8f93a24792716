"""Envelopes for arbitrary signals: the fractions (0.0 to 1.0) of a whole
session, one per sample, ready for `Protocol.add_arbitrary_signal`.

Every function returns a float64 NumPy array of exactly
ceil(duration * 5000.0) samples, the count `get_num_samples()` asks for;
sample i is the value at time i / 5000 seconds.

    samples = envelopes.trapezoid(1200.0, ramp_up=30.0, ramp_down=30.0)
    p.set_session_duration(1200.0)
    p.add_arbitrary_signal(samples)
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from numbers import Real

try:
    import numpy as np
except ImportError:  # pragma: no cover - depends on the installation
    raise ImportError(
        "vexafile.envelopes needs NumPy (pyvexa takes arbitrary signals only as NumPy arrays): "
        "pip install numpy"
    ) from None

from ._model import MAX_SESSION_DURATION, MIN_SESSION_DURATION, SAMPLING_RATE, num_samples

__all__ = ["piecewise", "trapezoid", "sham"]


def piecewise(points: Sequence[tuple[float, float]], duration: float) -> np.ndarray:
    """Linear between (time_s, fraction) points, holding the first fraction
    before the first point and the last after the last. Two points at one
    time make a step: the later one holds from that time on."""
    n = _sample_count(duration)
    times, fractions = _points(points, duration)
    out = np.empty(n, dtype=np.float64)
    starts = [_first_sample_at(t, n) for t in times]
    out[: starts[0]] = fractions[0]
    for k in range(len(times) - 1):
        a, b = starts[k], starts[k + 1]
        if a == b:
            continue
        t0, t1, f0, f1 = times[k], times[k + 1], fractions[k], fractions[k + 1]
        if f0 == f1:
            out[a:b] = f0
            continue
        part = out[a:b]
        np.divide(np.arange(a, b, dtype=np.float64), SAMPLING_RATE, out=part)
        part -= t0
        part /= t1 - t0
        part *= f1 - f0
        part += f0
        # Rounding must not carry a sample past either end of its segment.
        np.clip(part, min(f0, f1), max(f0, f1), out=part)
    out[starts[-1]:] = fractions[-1]
    return out


def trapezoid(duration: float, ramp_up: float, ramp_down: float, level: float = 1.0) -> np.ndarray:
    """Up from 0 to `level` over `ramp_up` seconds, hold, and down to 0 over
    `ramp_down` seconds, ending on the last sample, which is exactly 0."""
    n = _sample_count(duration)
    up, down, level = _ramp("ramp_up", ramp_up), _ramp("ramp_down", ramp_down), _fraction("level", level)
    end = _last_time(n)
    if up > end - down:
        raise ValueError(
            f"ramp_up {up!r} s and ramp_down {down!r} s together are longer than the session, "
            f"whose last sample is at {end!r} s: shorten the ramps or lengthen the session"
        )
    return piecewise([(0.0, 0.0), (up, level), (end - down, level), (end, 0.0)], duration)


def sham(duration: float, ramp_up: float, ramp_down: float, level: float = 1.0) -> np.ndarray:
    """The sham envelope: a ramp up and at once down at the start, the same
    again ending on the last sample, and 0 in between."""
    n = _sample_count(duration)
    up, down, level = _ramp("ramp_up", ramp_up), _ramp("ramp_down", ramp_down), _fraction("level", level)
    end = _last_time(n)
    block = up + down
    if end < 2 * block:
        raise ValueError(
            f"a sham of ramp_up {up!r} s and ramp_down {down!r} s needs two blocks of {block!r} s, "
            f"{2 * block!r} s, but the session's last sample is at {end!r} s: "
            "shorten the ramps or lengthen the session"
        )
    # Rounding is monotonic, so with end >= 2 * block these stay in order.
    points = [(0.0, 0.0), (up, level), (block, 0.0), (end - block, 0.0), (end - down, level), (end, 0.0)]
    return piecewise(points, duration)


# --- checks --------------------------------------------------------------


def _number(name: str, value) -> float:
    if isinstance(value, bool) or not isinstance(value, Real):
        raise ValueError(f"{name} must be a number of seconds or a fraction, not {value!r}")
    return float(value)


def _sample_count(duration) -> int:
    d = _number("duration", duration)
    if not MIN_SESSION_DURATION <= d <= MAX_SESSION_DURATION:
        raise ValueError(
            f"duration {duration!r} s is outside the {MIN_SESSION_DURATION} to {MAX_SESSION_DURATION} s "
            "that set_session_duration accepts"
        )
    n = num_samples(d)
    assert n is not None  # every accepted duration has a count
    return n


def _fraction(name: str, value) -> float:
    f = _number(name, value)
    if not 0.0 <= f <= 1.0:
        raise ValueError(f"{name} {value!r} is outside 0.0 to 1.0, the fractions of full scale")
    return f


def _ramp(name: str, value) -> float:
    r = _number(name, value)
    if not (r >= 0.0 and math.isfinite(r)):
        raise ValueError(f"{name} {value!r} s must be a duration of 0 s or more")
    return r


def _points(points, duration) -> tuple[list[float], list[float]]:
    """The points' times and fractions, refused unless in order and inside
    the session."""
    try:
        pairs = list(points)
    except TypeError:
        raise ValueError(f"points must be a sequence of (time_s, fraction) pairs, not {points!r}") from None
    if not pairs:
        raise ValueError("points is empty: give at least one (time_s, fraction) pair")
    times: list[float] = []
    fractions: list[float] = []
    end = float(duration)
    for k, pair in enumerate(pairs):
        try:
            t, f = pair
        except (TypeError, ValueError):
            raise ValueError(f"points[{k}] must be a (time_s, fraction) pair, not {pair!r}") from None
        t = _number(f"points[{k}] time", t)
        if not 0.0 <= t <= end:
            raise ValueError(f"points[{k}] time {t!r} s is outside the session, 0 to {end!r} s")
        if times and t < times[-1]:
            raise ValueError(
                f"points[{k}] time {t!r} s comes before points[{k - 1}] at {times[-1]!r} s: "
                "give the points in time order"
            )
        times.append(t)
        fractions.append(_fraction(f"points[{k}] fraction", f))
    return times, fractions


def _last_time(n: int) -> float:
    return (n - 1) / SAMPLING_RATE


def _first_sample_at(t: float, n: int) -> int:
    """The first sample i (0 to n) whose time i / 5000 is not before t,
    found on the very division that defines a sample's time."""
    i = min(n, max(0, math.ceil(t * SAMPLING_RATE)))
    while i > 0 and (i - 1) / SAMPLING_RATE >= t:
        i -= 1
    while i < n and i / SAMPLING_RATE < t:
        i += 1
    return i
