"""python -m vexafile FILE [--json | --plot OUT.png]"""

from __future__ import annotations

import argparse
import codecs
import math
import os
import sys

from . import _decode
from ._decode import VexaFormatError
from ._json import write_json
from ._records import Arbitrary, Settings, SignalSourceSelection
from ._text import quote, write_text

SAMPLING_RATE = 5000.0
FULL_SCALE = 32767.0
# More points than this are drawn as a min/max envelope per pixel-sized bucket.
_PLOT_POINTS = 4000


class _CliError(Exception):
    def __init__(self, message: str, status: int):
        super().__init__(message)
        self.status = status


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
        raise _CliError(
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
        raise _CliError(f"cannot write {out}: {reason}", 1) from None
    finally:
        plt.close(fig)
    return drawn


def _read(path: str, records: bool):
    """The decoded file: Python records, or (text only) the native decoder's
    own record when it is there. Bad input ends the run with status 2."""
    try:
        with open(path, "rb") as f:
            if not records and _decode._native is not None:
                return _decode._native.decode(f.fileno(), _decode.CLASSES)
            return _decode.read_settings(f)
    except VexaFormatError as e:
        raise _CliError(f"{path}: {e}", 2) from None
    except OSError as e:
        raise _CliError(f"{path}: {e.strerror or e}", 2) from None


def _check_names(names: list[str]) -> None:
    # Refuse before writing anything rather than stop half-way through.
    encoding = sys.stdout.encoding or "utf-8"
    for name in names:
        try:
            quote(name).encode(encoding)
        except UnicodeEncodeError:
            raise _CliError(
                f"the output encoding {encoding} cannot show the coil name {ascii(name)}; "
                "use UTF-8 (PYTHONIOENCODING=utf-8)",
                1,
            ) from None


def _is_utf8(encoding: str | None) -> bool:
    try:
        return codecs.lookup(encoding or "").name == "utf-8"
    except LookupError:
        return False


def _print_text(doc) -> None:
    out = sys.stdout
    if isinstance(doc, Settings):
        _check_names([coil.name for coil in doc.machine_config.coils])
        write_text(doc, out.write)
    else:
        _check_names(doc.coil_names())
        binary = getattr(out, "buffer", None)
        if binary is not None and _is_utf8(out.encoding):
            out.flush()
            doc.write_text(binary.write)
        else:
            utf8 = codecs.getincrementaldecoder("utf-8")()
            doc.write_text(lambda block: out.write(utf8.decode(block)))
    out.write("\n")


def _run(args: argparse.Namespace) -> None:
    doc = _read(args.file, records=bool(args.json or args.plot))
    if args.plot:
        n = plot(doc, args.plot)
        print(f"{args.plot}: {n} signal{'s' if n != 1 else ''} drawn")
    elif args.json:
        write_json(doc, sys.stdout.write)
        sys.stdout.write("\n")
    else:
        _print_text(doc)
    sys.stdout.flush()


def _silence_stdout() -> None:
    """Point standard output at /dev/null, so that the flush at exit neither
    fails again nor prints."""
    try:
        fd = sys.stdout.fileno()
    except (AttributeError, OSError, ValueError):
        return
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, fd)
    os.close(devnull)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m vexafile", description="Show the content of a .vexa protocol file."
    )
    parser.add_argument("file", help="protocol file to read")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--json", action="store_true", help="print the record as JSON")
    mode.add_argument("--plot", metavar="OUT.png", help="draw the sampled signals into an image")
    args = parser.parse_args(argv)

    try:
        _run(args)
    except _CliError as e:
        print(f"vexafile: {e}", file=sys.stderr)
        _silence_stdout()
        return e.status
    except BrokenPipeError:
        # Reader went away (| head): quiet exit, as other filters do.
        _silence_stdout()
        return 1
    except OSError as e:
        # Everything that reads input is handled in _read: this is the output.
        print(f"vexafile: cannot write the output: {e.strerror or e}", file=sys.stderr)
        _silence_stdout()
        return 1
    except UnicodeEncodeError as e:
        print(f"vexafile: the output encoding {e.encoding} cannot show {ascii(e.object[e.start:e.end])}",
              file=sys.stderr)
        _silence_stdout()
        return 1
    except KeyboardInterrupt:
        _silence_stdout()
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
