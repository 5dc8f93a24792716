"""A study: a STUDY.toml naming a design, participants, a seed and the
condition files, turned into blinded protocol files for the operator
(protocols/CODE.vexa, schedule.csv, manifest.json) and the key for whoever
keeps the blind (key.csv, key.json).

    study = load_study("study.toml")
    review = study.review()           # check findings and blinding warnings
    write_study(study, "operator", "key", review)
"""

from __future__ import annotations

import csv
import hashlib
import io
import json
import os
import secrets
import shutil
import tomllib
import unicodedata
from dataclasses import dataclass, field

from . import _manifest
from ._check import Finding, check
from ._decode import VexaFormatError, loads
from ._designs import DESIGNS
from ._records import Settings
from ._seeded import Draws
from ._version import version as tool_version

__all__ = ["Condition", "Review", "Session", "Study", "StudyError", "StudyCheckError", "check_folders", "load_study",
           "write_study"]

MAX_PARTICIPANTS = 10_000
MAX_SESSIONS = 100_000
_KEYS = ("design", "participants", "seed", "conditions")
# Crockford's base 32: no I, L, O or U to misread.
_CODE_ALPHABET = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"
CODE_LENGTH = 8
# Below this a seed can be found by trying them all against the codes.
_GUESSABLE_SEED = 1 << 40


class StudyError(ValueError):
    """A study that cannot be made: a bad STUDY.toml, an unreadable
    condition file, or an output folder that is in use."""


class StudyCheckError(StudyError):
    """Condition files with errors; `.findings` holds (condition, finding)."""

    def __init__(self, findings: list[tuple[Condition, Finding]]):
        names = sorted({c.name for c, f in findings if f.severity == "error"})
        super().__init__(f"condition files with errors: {', '.join(names)}")
        self.findings = findings


@dataclass(frozen=True, eq=False)
class Condition:
    """One condition: its name, its file and the bytes every copy gets."""

    name: str
    path: str  # as STUDY.toml writes it
    file: str  # where it was read
    data: bytes = field(repr=False)
    sha256: str
    settings: Settings = field(repr=False)


@dataclass(frozen=True)
class Session:
    """One participant's session: its protocol file's code and condition."""

    participant: str
    session: int  # from 1
    code: str
    condition: Condition


@dataclass(frozen=True)
class Review:
    """What a study's condition files were found to hold, before writing."""

    findings: list[tuple[Condition, Finding]]
    warnings: list[str]

    @property
    def errors(self) -> bool:
        """Whether any condition file has an error."""
        return any(f.severity == "error" for _, f in self.findings)


@dataclass(frozen=True, eq=False)
class Study:
    """A STUDY.toml as read, with its condition files."""

    file: str
    sha256: str
    design: str
    seed: int
    participants: tuple[str, ...]
    conditions: tuple[Condition, ...]

    def review(self, limits=None) -> Review:
        """The check findings of every condition file (with the limits'
        findings when given) and the warnings about what can unblind."""
        findings = [(c, f) for c in self.conditions for f in check(c.settings, limits)]
        return Review(findings, self._warnings())

    def plan(self) -> list[Session]:
        """Every session in schedule order: participant by participant."""
        orders = DESIGNS[self.design](self.seed, len(self.conditions), len(self.participants))
        codes = _codes(self.seed, sum(len(o) for o in orders))
        sessions = []
        for participant, order in zip(self.participants, orders):
            for number, c in enumerate(order, 1):
                sessions.append(Session(participant, number, next(codes), self.conditions[c]))
        return sessions

    def _warnings(self) -> list[str]:
        out = []
        sizes = {c.name: len(c.data) for c in self.conditions}
        if len(set(sizes.values())) > 1:
            listed = ", ".join(f"{name} {size} bytes" for name, size in sizes.items())
            out.append(f"the condition files differ in size ({listed}): "
                       "an operator who compares the protocol files' sizes can tell the conditions apart")
        if abs(self.seed) < _GUESSABLE_SEED:
            out.append(f"seed {self.seed} is small enough to be found by trying every seed against the codes: "
                       "use a large random one, such as python3 -c 'import secrets; print(secrets.randbits(63))'")
        return out


def load_study(path: str | os.PathLike) -> Study:
    """Read STUDY.toml and every condition file it names, each once.
    Raises StudyError naming the value and what to do."""
    path = os.fspath(path)
    raw = _read_bytes(path, "")
    try:
        doc = tomllib.loads(raw.decode("utf-8"))
    except (UnicodeDecodeError, tomllib.TOMLDecodeError) as e:
        raise StudyError(f"{path}: not a TOML file: {e}") from None
    unknown = [k for k in doc if k not in _KEYS]
    if unknown:
        raise StudyError(f"{path}: unknown key {unknown[0]!r}: a study has {', '.join(_KEYS)}")
    missing = [k for k in _KEYS if k not in doc]
    if missing:
        raise StudyError(f"{path}: {missing[0]!r} is missing: a study has {', '.join(_KEYS)}")
    design = doc["design"]
    if design not in DESIGNS:
        raise StudyError(f"{path}: design {design!r} is neither 'crossover' nor 'parallel'")
    seed = doc["seed"]
    if type(seed) is not int:
        raise StudyError(f"{path}: seed {seed!r} must be an integer")
    participants = _participants(path, doc["participants"])
    conditions = _conditions(path, doc["conditions"])
    per_participant = len(conditions) if design == "crossover" else 1
    if len(participants) * per_participant > MAX_SESSIONS:
        raise StudyError(f"{path}: {len(participants)} participants of {per_participant} sessions make more than "
                         f"{MAX_SESSIONS} protocol files: split the study")
    return Study(path, hashlib.sha256(raw).hexdigest(), design, seed, participants, conditions)


def write_study(study: Study, out: str | os.PathLike, key_out: str | os.PathLike,
                review: Review | None = None) -> list[Session]:
    """Write the operator's folder `out` and the key folder `key_out`, each
    new or empty, whole or not at all. Condition files with errors raise
    StudyCheckError before anything is written."""
    review = study.review() if review is None else review
    if review.errors:
        raise StudyCheckError(review.findings)
    out, key_out = os.fspath(out), os.fspath(key_out)
    check_folders(out, key_out)
    sessions = study.plan()
    version = tool_version()
    with _Staged(key_out, 0o700) as key_stage, _Staged(out, 0o777) as out_stage:
        manifest = _write_operator(out_stage.path, study, sessions, version)
        _write_key(key_stage.path, study, sessions, version, manifest)
        key_stage.commit()
        out_stage.commit()
    return sessions


# --- reading STUDY.toml ---------------------------------------------------


def _participants(path: str, value) -> tuple[str, ...]:
    if type(value) is int:
        if not 1 <= value <= MAX_PARTICIPANTS:
            raise StudyError(f"{path}: participants {value} is outside 1 to {MAX_PARTICIPANTS}")
        width = max(2, len(str(value)))
        return tuple(f"P{k:0{width}d}" for k in range(1, value + 1))
    if not isinstance(value, list) or not value:
        raise StudyError(f"{path}: participants must be a count or a list of id strings, not {value!r}")
    if len(value) > MAX_PARTICIPANTS:
        raise StudyError(f"{path}: {len(value)} participants, more than {MAX_PARTICIPANTS}")
    seen = set()
    for k, pid in enumerate(value):
        if not _plain_text(pid):
            raise StudyError(f"{path}: participants[{k}] {pid!r} must be a non-empty string without "
                             "control characters or blanks at either end")
        if pid in seen:
            raise StudyError(f"{path}: participant {pid!r} is listed twice")
        seen.add(pid)
    return tuple(value)


def _conditions(path: str, table) -> tuple[Condition, ...]:
    if not isinstance(table, dict) or len(table) < 2:
        raise StudyError(f"{path}: [conditions] must name at least two conditions, as name = \"file.vexa\"")
    base = os.path.dirname(os.path.abspath(path))
    out = []
    for name, rel in table.items():
        if not _plain_text(name):
            raise StudyError(f"{path}: condition name {name!r} must have no control characters "
                             "or blanks at either end")
        if not isinstance(rel, str) or not rel:
            raise StudyError(f"{path}: conditions.{name} must be the path of a .vexa file, not {rel!r}")
        out.append(_read_condition(name, rel, os.path.join(base, rel)))
    return tuple(out)


def _read_bytes(path: str, what: str) -> bytes:
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise StudyError(f"{path}: {what}{e.strerror or e}") from None


def _read_condition(name: str, rel: str, file: str) -> Condition:
    data = _read_bytes(file, f"condition {name}: ")
    try:
        settings = loads(data)
    except VexaFormatError as e:
        raise StudyError(f"{file}: condition {name}: not a .vexa protocol, or damaged ({e})") from None
    return Condition(name, rel, file, data, hashlib.sha256(data).hexdigest(), settings)


def _plain_text(value) -> bool:
    return (isinstance(value, str) and value != "" and value == value.strip()
            and not any(unicodedata.category(ch).startswith("C") for ch in value))


# --- drawing the codes ----------------------------------------------------


def _codes(seed: int, count: int):
    """Distinct codes, drawn in schedule order, so that a session's code
    does not depend on the sessions after it."""
    draws = Draws(seed, "codes")
    seen: set[str] = set()
    space = len(_CODE_ALPHABET) ** CODE_LENGTH
    while len(seen) < count:
        n = draws.below(space)
        chars = []
        for _ in range(CODE_LENGTH):
            n, digit = divmod(n, len(_CODE_ALPHABET))
            chars.append(_CODE_ALPHABET[digit])
        code = "".join(chars)
        if code not in seen:
            seen.add(code)
            yield code


# --- writing --------------------------------------------------------------


def _write_operator(folder: str, study: Study, sessions: list[Session], version: str) -> bytes:
    protocols = os.path.join(folder, "protocols")
    os.mkdir(protocols)
    entries = []
    for s in sessions:
        name = f"{s.code}.vexa"
        _write_new(os.path.join(protocols, name), s.condition.data)
        entries.append(_manifest.Entry(f"protocols/{name}", s.condition.sha256, len(s.condition.data)))
    _fsync_dir(protocols)
    schedule = _csv(["participant", "session", "code"],
                    ([s.participant, s.session, s.code] for s in sessions))
    _write_new(os.path.join(folder, "schedule.csv"), schedule)
    entries.append(_manifest.Entry("schedule.csv", hashlib.sha256(schedule).hexdigest(), len(schedule)))
    counts = {"participants": len(study.participants), "protocols": len(sessions)}
    manifest = _manifest.document(entries, counts, version)
    _write_new(os.path.join(folder, _manifest.MANIFEST), manifest)
    return manifest


def _write_key(folder: str, study: Study, sessions: list[Session], version: str, manifest: bytes) -> None:
    key = _csv(["code", "participant", "session", "condition"],
               ([s.code, s.participant, s.session, s.condition.name] for s in sessions))
    _write_new(os.path.join(folder, "key.csv"), key)
    doc = {
        "tool": "vexafile",
        "version": version,
        "design": study.design,
        "seed": study.seed,
        "study_sha256": study.sha256,
        "conditions": [{"name": c.name, "path": c.path, "sha256": c.sha256, "size": len(c.data)}
                       for c in study.conditions],
        "participants": len(study.participants),
        "protocols": len(sessions),
        "manifest_sha256": hashlib.sha256(manifest).hexdigest(),
    }
    _write_new(os.path.join(folder, "key.json"), (json.dumps(doc, indent=2) + "\n").encode())


def _csv(header: list[str], rows) -> bytes:
    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\n")
    writer.writerow(header)
    writer.writerows(rows)
    return text.getvalue().encode()


def _write_new(path: str, data: bytes) -> None:
    with open(path, "xb") as f:
        f.write(data)
        f.flush()
        _flush(f.fileno())


# The data and its size; the folders' own flushes carry the names.
_flush = getattr(os, "fdatasync", os.fsync)


def _fsync_dir(path: str) -> None:
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def check_folders(out: str | os.PathLike, key_out: str | os.PathLike) -> None:
    """Refuse output folders that are in use, or that lie one in the other."""
    out, key_out = os.fspath(out), os.fspath(key_out)
    for label, folder in (("output", out), ("key", key_out)):
        if os.path.lexists(folder) and not os.path.isdir(folder):
            raise StudyError(f"{label} folder {folder} is not a folder: name a new or empty folder")
        if os.path.isdir(folder) and os.listdir(folder):
            raise StudyError(f"{label} folder {folder} exists and is not empty: name a new or empty folder")
    a, b = os.path.realpath(out), os.path.realpath(key_out)
    if a == b or a.startswith(b + os.sep) or b.startswith(a + os.sep):
        raise StudyError(f"the key folder {key_out} and the operator's folder {out} must be apart, "
                         "neither inside the other: the operator must not see the key")


class _Staged:
    """A folder filled under a temporary name beside its place and renamed
    into it (over an empty folder), so that a failure leaves nothing half
    written. Leaving the block without commit() removes what was staged,
    and a failure after a commit takes the committed folder back."""

    def __init__(self, target: str, new_mode: int):
        self.target = os.path.realpath(target)  # a link to an empty folder: that folder
        parent, base = os.path.split(self.target)
        self.path = os.path.join(parent, f".{base}.{secrets.token_hex(8)}.partial")
        try:
            os.makedirs(parent, exist_ok=True)
            self._existed = os.path.isdir(self.target)
            os.mkdir(self.path, new_mode)  # less the umask
            if self._existed:  # an empty folder made for it keeps its mode
                os.chmod(self.path, os.stat(self.target).st_mode & 0o7777)
        except OSError as e:
            raise StudyError(f"cannot make the folder {target}: {e.strerror or e}") from None
        self._committed = False

    def commit(self) -> None:
        try:
            _fsync_dir(self.path)
            os.rename(self.path, self.target)
        except OSError as e:
            raise StudyError(f"cannot put the folder {self.target} in place: {e.strerror or e}") from None
        self._committed = True
        _fsync_dir(os.path.dirname(self.target))

    def __enter__(self) -> _Staged:
        return self

    def __exit__(self, kind, value, tb) -> None:
        if kind is None:
            return
        if self._committed:
            shutil.rmtree(self.target, ignore_errors=True)
            if self._existed:
                os.makedirs(self.target, exist_ok=True)
        else:
            shutil.rmtree(self.path, ignore_errors=True)
