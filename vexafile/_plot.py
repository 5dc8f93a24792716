"""vexafile plot: the sampled signals of a file drawn into an image."""

from __future__ import annotations

import argparse
import math

from ._cli import CliError, read_settings
from ._records import Arbitrary, Settings, SignalSourceSelection

SAMPLING_RATE = 5000.0
FULL_SCALE = 32767.0
# More points than this are drawn as a min/max envelope per pixel-sized bucket.
_PLOT_POINTS = 4000


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


def signal_users(settings: Settings, index: int) -> list[str]:
    """Coils (A1..B2) and channel modulations ("mod A") fed by internal signal `index`."""
    return [
        name
        for name, sel in _sources(settings)
        if not sel.external_selected and sel.internal == index
    ]


def _routing_line(settings: Settings) -> str:
    parts = []
    for name, sel in _sources(settings):
        src = f"ext {sel.external}" if sel.external_selected else f"sig {sel.internal}"
        parts.append(f"{name}\u2190{src}")
    return ", ".join(parts)


def _envelope(np, y):
    """x positions and values: all points, or min/max per bucket when long."""
    n = len(y)
    if n <= 2 * _PLOT_POINTS:
        return np.arange(n), y
    bucket = -(-n // _PLOT_POINTS)
    full = (n // bucket) * bucket
    parts = [y[:full].reshape(-1, bucket)]
    starts = np.arange(0, full, bucket)
    lo, hi = parts[0].min(axis=1), parts[0].max(axis=1)
    if full < n:
        tail = y[full:]
        starts = np.append(starts, full)
        lo, hi = np.append(lo, tail.min()), np.append(hi, tail.max())
    xs = np.repeat(starts, 2)
    ys = np.empty(2 * len(lo), dtype=y.dtype)
    ys[0::2], ys[1::2] = lo, hi
    return xs, ys


def plot(settings: Settings, out: str) -> int:
    """Draw every Arbitrary signal over the session time axis; returns how many."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        import numpy as np
    except ImportError:
        raise CliError(
            "--plot needs matplotlib, which is not installed (pip install matplotlib)", 1
        ) from None

    fig, ax = plt.subplots(figsize=(10, 4.5))
    drawn = 0
    for i, sig in enumerate(settings.signals):
        if not isinstance(sig, Arbitrary) or len(sig.params.samples) == 0:
            continue
        y = np.asarray(sig.params.samples, dtype=np.int16).astype(np.float64) / FULL_SCALE
        xs, ys = _envelope(np, y)
        users = signal_users(settings, i)
        label = f"signal {i}: " + (", ".join(users) if users else "unused")
        ax.plot(xs / SAMPLING_RATE, ys, linewidth=0.8, label=label)
        drawn += 1
    # A signal added before the duration was shortened is longer than the
    # session: show all of it and mark where the session ends.
    longest = max(
        (len(sig.params.samples) / SAMPLING_RATE for sig in settings.signals if isinstance(sig, Arbitrary)),
        default=0.0,
    )
    end = settings.session_duration
    if longest != end and math.isfinite(end) and end > 0:
        ax.axvline(end, color="grey", linestyle="--", linewidth=0.8, label="session end")
    right = max(longest, end) if math.isfinite(end) else longest
    if right > 0:
        ax.set_xlim(0.0, right)
    ax.set_xlabel("time (s), 5000 samples per second")
    ax.set_ylabel("sample / 32767")
    ax.set_title(_routing_line(settings), fontsize=8)
    if drawn or longest != end:
        ax.legend(loc="upper right", fontsize=8)
    else:
        ax.text(0.5, 0.5, "no signal with samples", ha="center", va="center", transform=ax.transAxes)
    fig.tight_layout()
    try:
        fig.savefig(out, dpi=100)
    except (OSError, ValueError) as e:
        reason = e.strerror if isinstance(e, OSError) and e.strerror else str(e)
        raise CliError(f"cannot write {out}: {reason}", 1) from None
    finally:
        plt.close(fig)
    return drawn


def register(commands) -> None:
    p = commands.add_parser("plot", help="draw the signals of a file into an image",
                            description="Draw the sampled signals of a protocol file into an image.")
    p.add_argument("file", help="protocol file to read")
    p.add_argument("out", metavar="OUT.png", help="image to write")
    p.set_defaults(command=run)


def run(args: argparse.Namespace) -> int:
    draw(read_settings(args.file), args.out)
    return 0


def draw(settings: Settings, out: str) -> None:
    n = plot(settings, out)
    print(f"{out}: {n} signal{'s' if n != 1 else ''} drawn")
