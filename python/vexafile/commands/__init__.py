"""The command line: one module per command word, each with `register`
(its subparser) and `run`; the first listed is the default, so that
`vexafile FILE` keeps meaning `vexafile show FILE`."""

from __future__ import annotations

import argparse

from . import check, diff, limits, plot, report, show
from .._version import version

COMMANDS = (show, check, diff, plot, limits, report)


def parser() -> tuple[argparse.ArgumentParser, tuple[str, ...]]:
    """The whole parser, and the command words it knows, in order."""
    top = argparse.ArgumentParser(
        prog="vexafile",
        description="Read, check, compare, plot and report .vexa protocol files. "
        "Without a command, 'vexafile FILE' shows the file as text.",
    )
    top.add_argument("--version", action="version", version=f"vexafile {version()}",
                     help="print vexafile's version and exit")
    words = top.add_subparsers(title="commands", metavar="COMMAND")
    for module in COMMANDS:
        module.register(words)
    return top, tuple(words.choices)
