"""The operator's folder's manifest: every file's SHA-256 and size, and the
check of a folder against it (changed, missing and added files)."""

from __future__ import annotations

import hashlib
import json
import os
import stat
from dataclasses import dataclass
from pathlib import PurePosixPath

MANIFEST = "manifest.json"
FORMAT = "vexafile study manifest 1"
_BLOCK = 1 << 20


class ManifestError(ValueError):
    """A folder whose manifest is missing or cannot be read as one."""


@dataclass(frozen=True, slots=True)
class Entry:
    """One file as the manifest lists it."""

    path: str  # relative, with "/" between parts
    sha256: str
    size: int


@dataclass(frozen=True, slots=True)
class Problem:
    """A file that differs from the manifest."""

    kind: str  # "changed", "missing" or "added"
    path: str
    reason: str = ""


def document(entries: list[Entry], counts: dict[str, int], version: str) -> bytes:
    """The manifest's bytes: the same entries give the same bytes."""
    doc = {
        "format": FORMAT,
        "tool": "vexafile",
        "version": version,
        **counts,
        "files": [{"path": e.path, "sha256": e.sha256, "size": e.size}
                  for e in sorted(entries, key=lambda e: e.path)],
    }
    return (json.dumps(doc, indent=2) + "\n").encode()


def verify(folder: str | os.PathLike) -> list[Problem]:
    """What differs between the folder and its manifest, in path order.
    Raises ManifestError when there is no readable manifest."""
    entries = _read(folder)
    problems = []
    for e in entries.values():
        full = os.path.join(folder, *e.path.split("/"))
        try:
            info = os.lstat(full)
        except FileNotFoundError:
            problems.append(Problem("missing", e.path))
            continue
        except OSError as err:
            problems.append(Problem("changed", e.path, f"cannot be read: {err.strerror or err}"))
            continue
        reason = _differs(full, info, e)
        if reason:
            problems.append(Problem("changed", e.path, reason))
    problems += [Problem("added", p) for p in _unlisted(folder, entries)]
    return sorted(problems, key=lambda p: p.path)


def sha256_file(path: str) -> str:
    """The hex SHA-256 of a file, read in blocks."""
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(_BLOCK):
            h.update(block)
    return h.hexdigest()


def _differs(full: str, info: os.stat_result, e: Entry) -> str:
    if not stat.S_ISREG(info.st_mode):
        return "is no longer a regular file"
    if info.st_size != e.size:
        return f"{info.st_size} bytes, the manifest says {e.size}"
    try:
        digest = sha256_file(full)
    except OSError as err:
        return f"cannot be read: {err.strerror or err}"
    return "" if digest == e.sha256 else "its SHA-256 differs from the manifest's"


def _unlisted(folder, entries: dict[str, Entry]) -> list[str]:
    """Files, links and empty folders that the manifest does not name."""
    parents = {str(p) for path in entries for p in PurePosixPath(path).parents}
    found = []
    for top, dirs, files in os.walk(folder):
        rel = os.path.relpath(top, folder)
        prefix = "" if rel == "." else rel.replace(os.sep, "/") + "/"
        for name in files:
            path = prefix + name
            if path != MANIFEST and path not in entries:
                found.append(path)
        for name in list(dirs):
            path = prefix + name
            if os.path.islink(os.path.join(top, name)):
                found.append(path)  # os.walk does not enter it
                dirs.remove(name)
            elif path not in parents:
                found.append(path + "/")
                dirs.remove(name)  # one line for the folder, not one per file
    return found


def _read(folder) -> dict[str, Entry]:
    where = os.path.join(folder, MANIFEST)
    try:
        with open(where, "rb") as f:
            doc = json.loads(f.read())
    except FileNotFoundError:
        raise ManifestError(f"{where}: no manifest: is this a folder that 'vexafile study' wrote?") from None
    except OSError as e:
        raise ManifestError(f"{where}: {e.strerror or e}") from None
    except ValueError as e:
        raise ManifestError(f"{where}: not a JSON manifest ({e})") from None
    if not isinstance(doc, dict) or doc.get("format") != FORMAT or not isinstance(doc.get("files"), list):
        raise ManifestError(f"{where}: not a manifest of 'vexafile study' (no format {FORMAT!r} and files list)")
    entries: dict[str, Entry] = {}
    for k, item in enumerate(doc["files"]):
        entry = _entry(item)
        if entry is None:
            raise ManifestError(f"{where}: files[{k}] is not a path, sha256 and size inside the folder")
        entries[entry.path] = entry
    return entries


def _entry(item) -> Entry | None:
    if not isinstance(item, dict):
        return None
    path, digest, size = item.get("path"), item.get("sha256"), item.get("size")
    if not (isinstance(path, str) and isinstance(digest, str) and type(size) is int and size >= 0):
        return None
    parts = path.split("/")
    # A manifest is input too: it names nothing outside its folder.
    if path.startswith("/") or any(p in ("", ".", "..") for p in parts) or "\\" in path or path == MANIFEST:
        return None
    return Entry(path, digest, size)
