"""What every vexafile command shares: reading a file, and one-line failures
with the command line's exit statuses (0 fine, 1 failed output or a finding,
2 unreadable input, 130 interrupted)."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Callable, Sequence

from .. import _decode
from .._decode import VexaFormatError
from .._limits import Limits, LimitsError
from .._records import Settings


class CliError(Exception):
    def __init__(self, message: str, status: int):
        super().__init__(message)
        self.status = status


def read_file(path: str, records: bool = True):
    """The decoded file: Python records, or (records=False) the native
    decoder's own record when it is there. Bad input raises CliError(2)."""
    try:
        with open(path, "rb") as f:
            return _decode.read_settings(f) if records else _decode.read_decoded(f)
    except VexaFormatError as e:
        raise CliError(f"{path}: {_in_words(e)}", 2) from None
    except OSError as e:
        raise CliError(f"{path}: {e.strerror or e}", 2) from None


def _in_words(e: VexaFormatError) -> str:
    """What a person reads first about bytes that fail to decode, then the detail."""
    if e.kind == "unexpected_end":
        return f"the file is truncated, it ends early ({e})"
    return f"not a .vexa protocol, or damaged ({e})"


def read_settings(path: str) -> Settings:
    return read_file(path, records=True)


def load_limits(paths: list[str]) -> Limits:
    """The layered limits of the --limits files (none: no rules). A file
    that cannot be read or is not a valid limits file raises CliError(2)."""
    try:
        return Limits.load(*paths)
    except LimitsError as e:
        raise CliError(str(e), 2) from None
    except OSError as e:
        raise CliError(f"{e.filename}: cannot read the limits file: {e.strerror or e}", 2) from None


def refuse_unencodable(texts: Sequence[str], names: Sequence[str] | None = None) -> None:
    """Refuse output that standard output's encoding cannot show before any
    of it is written, rather than stop half-way through. names[i], when
    given, says what texts[i] is; otherwise the offending characters do."""
    encoding = sys.stdout.encoding or "utf-8"
    for i, text in enumerate(texts):
        try:
            text.encode(encoding)
        except UnicodeEncodeError as e:
            shown = names[i] if names is not None else ascii(e.object[e.start:e.end])
            raise CliError(f"the output encoding {encoding} cannot show {shown}; use UTF-8 (PYTHONIOENCODING=utf-8)",
                           1) from None


def print_failure(e: CliError) -> None:
    """The one line on standard error that reports a failure."""
    print(f"vexafile: {e}", file=sys.stderr)


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


def run_guarded(command: Callable[[argparse.Namespace], int], args: argparse.Namespace) -> int:
    """Run one command; every failure becomes one line on standard error and
    an exit status, never a traceback."""
    try:
        status = command(args)
        sys.stdout.flush()
        return status
    except CliError as e:
        print_failure(e)
        _silence_stdout()
        return e.status
    except BrokenPipeError:
        # Reader went away (| head): quiet exit, as other filters do.
        _silence_stdout()
        return 1
    except OSError as e:
        # Everything that reads input raises CliError: this is the output.
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
