"""vexafile limits --template | vexafile limits LIMITS...: print a commented
limits file with every key, or read limits files and list their rules.

Exit status: 0, or 2 when a limits file cannot be read or is not valid."""

from __future__ import annotations

import argparse
import sys

from .._limits import template, toml_value
from ._cli import CliError, load_limits


def register(commands) -> None:
    p = commands.add_parser(
        "limits", help="print a limits file to fill in, or the rules of limits files",
        description="With --template, print a limits file (TOML) with every key commented out, its unit and "
        "what it checks; set a key to make it a rule, then check protocols with "
        "'vexafile check --limits FILE PROTOCOL...'. With limits files, read them as check does and print "
        "each rule with the file that sets it. Exit status 0, or 2 when a limits file cannot be read "
        "or is not valid.",
    )
    p.add_argument("files", nargs="*", metavar="LIMITS", help="limits files to read, in layer order")
    p.add_argument("--template", action="store_true", help="print a commented limits file with every key")
    p.set_defaults(command=run)


def run(args: argparse.Namespace) -> int:
    if args.template == bool(args.files):
        raise CliError("limits: give either --template or limits files to read", 2)
    if args.template:
        sys.stdout.write(template())
        return 0
    limits = load_limits(args.files)
    for layer in limits.layers:
        if not layer.rules:
            sys.stdout.write(f"{layer.path}: no rules\n")
        for rule, limit in layer.rules.items():
            sys.stdout.write(f"{layer.path}: {rule} = {toml_value(limit)}\n")
    return 0

