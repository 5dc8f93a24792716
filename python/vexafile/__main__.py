"""vexafile [show] FILE | check FILE... | diff A B | plot FILE OUT.png"""

from __future__ import annotations

import sys

from .commands import parser
from .commands._cli import run_guarded


def main(argv: list[str] | None = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    top, names = parser()
    if not argv:
        top.error("name a command or a file")
    if argv[0] not in (*names, "-h", "--help"):
        argv.insert(0, "show")
    args = top.parse_args(argv)
    return run_guarded(args.command, args)


if __name__ == "__main__":
    sys.exit(main())
