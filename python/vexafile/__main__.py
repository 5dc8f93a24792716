"""vexafile [show] FILE | check FILE... | diff A B | plot FILE OUT.png"""

from __future__ import annotations

import argparse
import sys

from . import _check_command, _diff, _plot, _show
from ._cli import run_guarded
from ._plot import signal_users  # noqa: F401  (kept importable from here)

# Each command module adds its own subparser; the first one listed is the
# default, so that `vexafile FILE` keeps meaning `vexafile show FILE`.
_COMMAND_MODULES = (_show, _check_command, _diff, _plot)


def _parser() -> tuple[argparse.ArgumentParser, set[str]]:
    parser = argparse.ArgumentParser(
        prog="vexafile",
        description="Read, check, compare and plot .vexa protocol files. "
        "Without a command, 'vexafile FILE' shows the file as text.",
    )
    commands = parser.add_subparsers(title="commands", metavar="COMMAND")
    for module in _COMMAND_MODULES:
        module.register(commands)
    return parser, set(commands.choices)


def main(argv: list[str] | None = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    parser, names = _parser()
    if not argv:
        parser.error("name a command or a file")
    if argv[0] not in (*names, "-h", "--help"):
        argv.insert(0, "show")
    args = parser.parse_args(argv)
    return run_guarded(args.command, args)


if __name__ == "__main__":
    sys.exit(main())
