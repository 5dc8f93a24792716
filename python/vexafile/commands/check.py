"""vexafile check [--limits LIMITS ...] FILE...: findings one per line, or
one JSON document.

Exit status: 0 when no file has an error (warnings alone give 0), 1 when a
file has one, 2 when a file cannot be read; every file is still checked and
2 wins over 1. A limits file that cannot be read or is not valid gives 2
before any protocol is checked."""

from __future__ import annotations

import argparse
import json
import sys
from dataclasses import fields

from .._check import Finding, check
from .._json import to_jsonable
from ._cli import CliError, load_limits, print_failure, read_settings


def register(commands) -> None:
    p = commands.add_parser(
        "check", help="report what pyvexa stores unchecked: bad indices, cycles, wrong lengths",
        description="Check protocol files: sources, inputs, coils and mixed signals that name nothing, "
        "mixing cycles, arbitrary signals whose length differs from the session's, and doubtful values. "
        "Exit status 0 without errors, 1 when a file has an error, 2 when a file cannot be read.",
    )
    p.add_argument("files", nargs="+", metavar="FILE", help="protocol files to check")
    p.add_argument("--limits", action="append", metavar="LIMITS", default=[],
                   help="also check against the rules of this limits file (TOML; see 'vexafile limits "
                   "--template'); repeat it for layers such as the device's, the site's and the study's")
    mode = p.add_mutually_exclusive_group()
    mode.add_argument("--json", action="store_true", help="print one JSON document with every file's findings")
    mode.add_argument("-q", "--quiet", action="store_true", help="print nothing; only the exit status tells")
    p.set_defaults(command=run)


def run(args: argparse.Namespace) -> int:
    limits = load_limits(args.limits)
    status = 0
    report = []
    for path in args.files:
        try:
            settings = read_settings(path)
        except CliError as e:
            print_failure(e)
            status = 2
            report.append({"file": path, "error": _reason(path, e)})
            continue
        findings = check(settings, limits)
        if status == 0 and any(f.severity == "error" for f in findings):
            status = 1
        if args.json:
            report.append({"file": path, "findings": [_jsonable(f) for f in findings]})
        elif not args.quiet:
            for f in findings:
                sys.stdout.write(f"{path}: {f.severity}: {f.path}: {f.message}\n")
    if args.json:
        json.dump({"files": report}, sys.stdout, indent=2)
        sys.stdout.write("\n")
    return status


def _jsonable(f: Finding) -> dict:
    """Every field; those a finding does not have are null."""
    values = ((field.name, getattr(f, field.name)) for field in fields(f))
    return {name: None if v is None else to_jsonable(v) for name, v in values}


def _reason(path: str, e: CliError) -> str:
    """The failure without the file name in front, which the record holds."""
    text = str(e)
    prefix = f"{path}: "
    return text[len(prefix):] if text.startswith(prefix) else text
