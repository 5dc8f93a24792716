"""vexafile report FILE [-o OUT.html] [--limits FILE]...: one HTML page a
person reads before a session.

Exit status: 0 when the page is written, whatever it shows; 1 when it
cannot be written; 2 when FILE (or a limits file) cannot be read."""

from __future__ import annotations

import argparse
import hashlib
import os
import stat

from .. import _decode
from .._atomic import replace_file
from .._decode import VexaFormatError
from .._records import Settings
from .._report import FileFacts, page
from ._cli import CliError, load_limits


def register(commands) -> None:
    p = commands.add_parser(
        "report", help="write one self-contained HTML page: file, summary, routing, signals, findings, machine",
        description="Write a protocol report as one HTML page with its styles and drawings inline, which "
        "opens offline and prints on A4: the file's name, size and SHA-256, the summary, a routing "
        "diagram per channel, the signals over session time, the check findings (and the limits "
        "findings with --limits) and the machine. SOURCE_DATE_EPOCH, when set, gives the time the "
        "page names. Exit status 0 when the page is written, 1 when it cannot be, 2 when FILE "
        "cannot be read.")
    p.add_argument("file", metavar="FILE", help="protocol file to read")
    p.add_argument("-o", "--output", metavar="OUT.html",
                   help="page to write (default: FILE with .html in place of .vexa); an existing page is replaced")
    p.add_argument("--limits", metavar="FILE", action="append", default=[],
                   help="limits file to check against, its name and SHA-256 shown on the page (repeatable)")
    p.set_defaults(command=run)


def default_output(path: str) -> str:
    root, suffix = os.path.splitext(path)
    return root + ".html" if suffix == ".vexa" else path + ".html"


def read_with_facts(path: str) -> tuple[Settings, FileFacts]:
    """The record and the facts of the same bytes: the hash is taken on the
    open file, which is then decoded from its start."""
    try:
        # Without blocking, so that a FIFO is refused rather than waited on.
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
        with open(fd, "rb") as f:
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                raise CliError(f"{path}: not a regular file; the report names its size and SHA-256, "
                               "so give it a file", 2)
            os.set_blocking(fd, True)
            digest = hashlib.file_digest(f, "sha256")
            size = f.tell()
            f.seek(0)
            settings = _decode.read_settings(f)
    except VexaFormatError as e:
        raise CliError(f"{path}: {e}", 2) from None
    except OSError as e:
        raise CliError(f"{path}: {e.strerror or e}", 2) from None
    return settings, FileFacts(path, size, digest.hexdigest())


def write_page(out: str, text: str) -> None:
    """Replace `out` whole or not at all (an old page stays as it was)."""
    data = text.encode("utf-8")

    def write(name: str) -> None:
        with open(name, "wb") as f:
            f.write(data)

    try:
        replace_file(out, write, suffix=".html")
    except OSError as e:
        reason = e.strerror or str(e)
        raise CliError(reason if reason.startswith("cannot ") else f"cannot write {out}: {reason}", 1) from None


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def run(args: argparse.Namespace) -> int:
    settings, facts = read_with_facts(args.file)
    limits = load_limits(args.limits) if args.limits else None
    out = args.output or default_output(args.file)
    for given in (args.file, *args.limits):
        if _same_file(out, given):
            raise CliError(f"the page {out} would replace {given}, which it reports on; give another -o", 1)
    try:
        text = page(settings, limits, facts)
    except ValueError as e:
        raise CliError(f"cannot make the page: {e}", 1) from None
    write_page(out, text)
    print(f"{out}: {len(text.encode('utf-8'))} bytes written")
    return 0
