"""vexafile [show] FILE | check FILE... | diff A B | plot FILE OUT.png"""

from __future__ import annotations

import os
import sys

from .commands import parser
from .commands._cli import run_guarded

_USAGE_ERROR = 2


def _looks_like_a_file(word: str) -> bool:
    """A word that is not a command is taken as a file when one of that
    name exists or it reads like one, so that a missing file is reported
    as missing rather than as an unknown command."""
    separators = [s for s in (os.sep, os.altsep) if s]
    return word.endswith(".vexa") or any(s in word for s in separators) or os.path.exists(word)


def main(argv: list[str] | None = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    top, names = parser()
    if not argv:
        top.error("name a command or a file")
    first = argv[0]
    if first not in (*names, "-h", "--help", "--version"):
        if not first.startswith("-") and not _looks_like_a_file(first):
            print(f"vexafile: {first!r} is neither a command nor a file; the commands are "
                  f"{', '.join(names)} (vexafile --help tells more)", file=sys.stderr)
            return _USAGE_ERROR
        argv.insert(0, "show")
    args = top.parse_args(argv)
    return run_guarded(args.command, args)


if __name__ == "__main__":
    sys.exit(main())
