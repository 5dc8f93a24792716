"""vexafile study STUDY.toml --out DIR --key-out KEYDIR [--limits FILE]...:
blinded protocol files for a whole study; vexafile study verify DIR: the
operator's folder against its manifest.

Exit status: 0 written (or the folder as its manifest says), 1 a condition
file with an error (nothing written) or a folder that differs from its
manifest, 2 an unreadable or invalid input."""

from __future__ import annotations

import argparse
import sys

from .._manifest import ManifestError, verify
from .._study import StudyCheckError, StudyError, check_folders, load_study, write_study
from ._cli import CliError, load_limits

VERIFY = "verify"


def register(commands) -> None:
    p = commands.add_parser(
        "study", help="blinded, counterbalanced protocol files for a study, with a manifest",
        usage="vexafile study STUDY.toml --out DIR --key-out KEYDIR [--limits FILE]...\n"
        "       vexafile study verify DIR",
        description="Make one protocol file per participant session from the condition files that "
        "STUDY.toml names: DIR gets protocols/CODE.vexa, schedule.csv and manifest.json, which name no "
        "condition; KEYDIR gets key.csv and key.json, which say which code is which condition. "
        "'vexafile study verify DIR' names each file of DIR that was changed, is missing or was added. "
        "Exit status 0 when done, 1 when a condition file has an error (nothing is written) or DIR differs "
        "from its manifest, 2 when an input cannot be read.",
    )
    p.add_argument("target", metavar="STUDY.toml", help=f"the study file, or the word {VERIFY}")
    p.add_argument("folder", nargs="?", metavar="DIR", help=f"with {VERIFY}: the operator's folder to check")
    p.add_argument("--out", metavar="DIR", help="the operator's folder: new or empty")
    p.add_argument("--key-out", metavar="KEYDIR", help="the key's folder: new or empty, kept from the operator")
    p.add_argument("--limits", action="append", metavar="FILE",
                   help="site limits to check every condition file against (repeat for several files)")
    p.set_defaults(command=run)


def run(args: argparse.Namespace) -> int:
    if args.target == VERIFY and args.folder is not None:
        if args.out or args.key_out or args.limits:
            raise CliError("study verify takes only the folder: drop --out, --key-out and --limits", 2)
        return _verify(args.folder)
    if args.target == VERIFY and not args.out:
        raise CliError(f"study {VERIFY} needs the folder to check: vexafile study {VERIFY} DIR", 2)
    if args.folder is not None:
        raise CliError(f"study takes one STUDY.toml, not also {args.folder!r}; "
                       f"to check a folder write 'vexafile study {VERIFY} DIR'", 2)
    if not args.out or not args.key_out:
        raise CliError("study needs --out DIR (the operator's folder) and --key-out KEYDIR (the key's folder)", 2)
    try:
        check_folders(args.out, args.key_out)  # before the condition files are read
    except StudyError as e:
        raise CliError(str(e), 2) from None
    limits = load_limits(args.limits) if args.limits else None
    try:
        study = load_study(args.target)
        review = study.review(limits)
    except StudyError as e:
        raise CliError(str(e), 2) from None
    for condition, f in review.findings:
        sys.stderr.write(f"{condition.file}: {f.severity}: {f.path}: {f.message}\n")
    for warning in review.warnings:
        sys.stderr.write(f"vexafile: warning: {warning}\n")
    if review.errors:
        raise CliError("nothing written: mend the condition files with errors and run again", 1)
    try:
        sessions = write_study(study, args.out, args.key_out, review)
    except StudyCheckError as e:
        raise CliError(str(e), 1) from None
    except StudyError as e:
        raise CliError(str(e), 2) from None
    sys.stdout.write(f"{len(sessions)} protocol files for {len(study.participants)} participants in {args.out}; "
                     f"the key in {args.key_out}\n")
    return 0


def _verify(folder: str) -> int:
    try:
        problems = verify(folder)
    except ManifestError as e:
        raise CliError(str(e), 2) from None
    for p in problems:
        sys.stdout.write(f"{folder}: {p.kind}: {p.path}{': ' + p.reason if p.reason else ''}\n")
    if not problems:
        sys.stdout.write(f"{folder}: every file as the manifest says\n")
    return 1 if problems else 0

