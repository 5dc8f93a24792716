"""vexafile show: a file as the text of str(p), or as JSON."""

from __future__ import annotations

import argparse
import codecs
import sys

from ._cli import read_file, refuse_unencodable
from .plot import draw_file
from .._json import write_json
from .._records import Settings
from .._summary import summary
from .._text import quote, write_text


def _check_names(names: list[str]) -> None:
    refuse_unencodable([quote(name) for name in names], [f"the coil name {ascii(name)}" for name in names])


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


def register(commands) -> None:
    p = commands.add_parser("show", help="print a file as text (the default command) or JSON",
                            description="Print a protocol file as the text of str(p), or as JSON.")
    add_arguments(p)


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("file", help="protocol file to read")
    mode = p.add_mutually_exclusive_group()
    mode.add_argument("--json", action="store_true", help="print the record as JSON")
    mode.add_argument("-s", "--summary", action="store_true",
                      help="print the protocol on one screen: session, channels, one line per signal, findings")
    mode.add_argument("--plot", metavar="OUT.png", help="draw the sampled signals into an image (as the plot command)")
    p.set_defaults(command=run)


def run(args: argparse.Namespace) -> int:
    doc = read_file(args.file, records=bool(args.json or args.plot or args.summary))
    if args.summary:
        _check_names([coil.name for coil in doc.machine_config.coils])
        sys.stdout.write(summary(doc) + "\n")
    elif args.plot:
        draw_file(doc, args.plot)
    elif args.json:
        write_json(doc, sys.stdout.write)
        sys.stdout.write("\n")
    else:
        _print_text(doc)
    return 0
