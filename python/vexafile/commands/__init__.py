"""The command line: one module per command word, each with `register`
(its subparser) and `run`; the first listed is the default, so that
`vexafile FILE` keeps meaning `vexafile show FILE`."""

from __future__ import annotations

import argparse

from . import check, diff, plot, show

COMMANDS = (show, check, diff, plot)


def parser() -> tuple[argparse.ArgumentParser, set[str]]:
    """The whole parser, and the command words it knows."""
    top = argparse.ArgumentParser(
        prog="vexafile",
        description="Read, check, compare and plot .vexa protocol files. "
        "Without a command, 'vexafile FILE' shows the file as text.",
    )
    words = top.add_subparsers(title="commands", metavar="COMMAND")
    for module in COMMANDS:
        module.register(words)
    return top, set(words.choices)
