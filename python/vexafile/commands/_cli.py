"""What every vexafile command shares: reading a file, and one-line failures
with the command line's exit statuses (0 fine, 1 failed output or a finding,
2 unreadable input, 130 interrupted)."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Callable

from .. import _decode
from .._decode import VexaFormatError
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
            if not records and _decode._native is not None:
                return _decode._native.decode(f.fileno(), _decode.CLASSES)
            return _decode.read_settings(f)
    except VexaFormatError as e:
        raise CliError(f"{path}: {e}", 2) from None
    except OSError as e:
        raise CliError(f"{path}: {e.strerror or e}", 2) from None


def read_settings(path: str) -> Settings:
    return read_file(path, records=True)


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
