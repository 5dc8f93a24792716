"""vexafile diff A B: the fields in which two files differ, one line each."""

from __future__ import annotations

import argparse
import sys

from .._diff import diff
from ._cli import read_settings, refuse_unencodable

_LINES_PER_WRITE = 4096


def register(commands) -> None:
    p = commands.add_parser("diff", help="list the fields in which two files differ",
                            description="List the fields in which two protocol files differ, "
                            "one line each. Exit status 0 when they are equal, 1 when they "
                            "differ, 2 when a file cannot be read.")
    p.add_argument("old", metavar="A", help="protocol file to compare from")
    p.add_argument("new", metavar="B", help="protocol file to compare to")
    p.set_defaults(command=run)


def run(args: argparse.Namespace) -> int:
    found = diff(read_settings(args.old), read_settings(args.new))
    lines = [str(d) for d in found]
    refuse_unencodable(lines)
    for start in range(0, len(lines), _LINES_PER_WRITE):
        sys.stdout.write("".join(line + "\n" for line in lines[start : start + _LINES_PER_WRITE]))
    return 1 if found else 0
