"""vexafile plot FILE OUT.png: routing, parameters and sampled signals in one image."""

from __future__ import annotations

import argparse
import math

from .._plot import PlotError, Window, data_end, draw
from .._records import Settings
from .._text import format_f64
from ._cli import CliError, read_settings


def register(commands) -> None:
    p = commands.add_parser(
        "plot", help="draw a protocol into an image: routing, parameters and sampled signals",
        description="Draw a protocol file into an image: one panel per channel with the source of "
        "each coil and of the modulation, the parameters of constant, sine, ramp and mixed "
        "signals, and the arbitrary signals over session time.")
    p.add_argument("file", help="protocol file to read")
    p.add_argument("out", metavar="OUT.png", help="image to write (its suffix picks the format)")
    p.add_argument("--from", dest="start", metavar="SECONDS", help="show session time from here")
    p.add_argument("--to", dest="stop", metavar="SECONDS", help="show session time up to here")
    p.set_defaults(command=run)


def _seconds(option: str, text: str | None) -> float | None:
    if text is None:
        return None
    try:
        value = float(text)
    except ValueError:
        raise CliError(f"{option} takes a number of seconds, not {text!r}", 2) from None
    if not math.isfinite(value) or value < 0:
        raise CliError(f"{option} must be a finite number of seconds, 0 or more, not {text}", 2)
    return value


def window_of(settings: Settings, start: float | None, stop: float | None) -> Window | None:
    """The shown window; an option left out takes the plot's own edge."""
    if start is None and stop is None:
        return None
    if start is None:
        start = 0.0
    if stop is None:
        end = data_end(settings)
        if not start < end:
            raise CliError(f"--from {format_f64(start)} must be before the end of the plot at "
                           f"{format_f64(end)} s (or give --to)", 2)
        stop = end
    if not start < stop:
        raise CliError(f"--from {format_f64(start)} must be before --to {format_f64(stop)}", 2)
    return Window(start, stop)


def run(args: argparse.Namespace) -> int:
    start, stop = _seconds("--from", args.start), _seconds("--to", args.stop)
    settings = read_settings(args.file)
    draw_file(settings, args.out, window_of(settings, start, stop), name=args.file)
    return 0


def draw_file(settings: Settings, out: str, window: Window | None = None, name: str | None = None) -> None:
    """Draw into `out` and say how many signals were drawn; what cannot be
    drawn or written is the output's failure (status 1)."""
    try:
        n = draw(settings, out, window, name)
    except PlotError as e:
        raise CliError(str(e), 1) from None
    print(f"{out}: {n} signal{'s' if n != 1 else ''} drawn")
