"""vexafile diff: the fields in which two protocol files differ.

Lists are compared by position, since signals, coils and tunings are
addressed by their index; the tail beyond the shorter list is reported as
added or removed. Doubles compare by their bits, as the file stores them:
NaN equals a NaN of the same bits, and -0.0 differs from 0.0.
"""

from __future__ import annotations

import operator
from array import array
from dataclasses import dataclass, fields, is_dataclass

from . import _decode
from ._records import Signal, f64_bits, is_samples, sample_bytes
from ._text import format_f64, format_scalar

__all__ = ["Difference", "diff"]

CHANGED, ADDED, REMOVED, SAMPLES = "changed", "added", "removed", "samples"


@dataclass(frozen=True, slots=True)
class Difference:
    """One differing field. `old` and `new` are values in the text form's
    notation ("" for the side an added or removed element lacks); for
    samples they are the two sample counts and `detail` says what differs."""

    path: str
    kind: str
    old: str
    new: str
    detail: str = ""

    def __str__(self) -> str:
        if self.kind == ADDED:
            return f"{self.path}: added {self.new}"
        if self.kind == REMOVED:
            return f"{self.path}: removed {self.old}"
        if self.kind == SAMPLES:
            parts = [f"{self.old} -> {self.new} samples"] if self.old != self.new else []
            return f"{self.path}: " + "; ".join([*parts, *filter(None, [self.detail])])
        return f"{self.path}: {self.old} -> {self.new}"


def _fields(record) -> str:
    return ", ".join(f"{f.name}: {compact(getattr(record, f.name))}" for f in fields(record))


def compact(v) -> str:
    """A value on one line: `Constant(value: 0.5)`, `[330.0, 470.0]`. A
    signal shows its variant and its parameters, not the parameter record."""
    if isinstance(v, Signal):
        return f"{type(v).__name__}({_fields(v.params)})"
    if is_dataclass(v):
        return f"{type(v).__name__}({_fields(v)})"
    if is_samples(v):
        return f"[{len(v)} samples]"
    if isinstance(v, (tuple, list)):
        return "[" + ", ".join(map(compact, v)) + "]"
    return format_scalar(v)


# --- samples: up to 9 million a signal, compared a block at a time

_BLOCK = 1 << 20


@dataclass(slots=True)
class _SampleTally:
    count: int = 0
    first: int = -1
    first_old: int = 0
    first_new: int = 0
    largest: int = 0

    def note_first(self, index: int, old: int, new: int) -> None:
        if self.first < 0:
            self.first, self.first_old, self.first_new = index, old, new


def _tally_numpy(np, old, new, n: int, tally: _SampleTally) -> None:
    a = np.asarray(old, dtype=np.int16)[:n]
    b = np.asarray(new, dtype=np.int16)[:n]
    for start in range(0, n, _BLOCK):
        x, y = a[start : start + _BLOCK], b[start : start + _BLOCK]
        unequal = x != y
        count = int(np.count_nonzero(unequal))
        if not count:
            continue
        tally.count += count
        at = int(np.argmax(unequal))
        tally.note_first(start + at, int(x[at]), int(y[at]))
        spread = np.abs(x.astype(np.int32) - y.astype(np.int32)).max()
        tally.largest = max(tally.largest, int(spread))


def _as_int16_array(samples) -> array:
    if isinstance(samples, array) and samples.typecode == "h":
        return samples
    out = array("h")
    out.frombytes(sample_bytes(samples))
    return out


def _tally_python(old, new, n: int, tally: _SampleTally) -> None:
    a, b = _as_int16_array(old), _as_int16_array(new)
    for start in range(0, n, _BLOCK):
        stop = min(start + _BLOCK, n)
        x, y = a[start:stop], b[start:stop]
        if x == y:
            continue
        steps = list(map(operator.sub, x, y))
        tally.count += len(steps) - steps.count(0)
        at = next(i for i, d in enumerate(steps) if d)
        tally.note_first(start + at, x[at], y[at])
        tally.largest = max(tally.largest, max(steps), -min(steps))


def compare_samples(old, new, np=None) -> str:
    """What differs between two sample sequences, on one line; "" when
    they are equal. `np` is numpy, or None for the plain-array path."""
    n = min(len(old), len(new))
    tally = _SampleTally()
    if np is not None:
        _tally_numpy(np, old, new, n, tally)
    else:
        _tally_python(old, new, n, tally)
    if len(old) == len(new):
        if not tally.count:
            return ""
        scope = f"{tally.count} of {n} samples differ"
    elif not tally.count:
        return f"the first {n} are equal" if n else ""
    else:
        scope = f"{tally.count} of the first {n} differ"
    return (
        f"{scope}, first at [{tally.first}]: {tally.first_old} -> {tally.first_new}, "
        f"largest difference {tally.largest}"
    )


# --- the walk over two records


class _Walk:
    def __init__(self, np):
        self.np = np
        self.found: list[Difference] = []

    def changed(self, path: str, old: str, new: str) -> None:
        self.found.append(Difference(path, CHANGED, old, new))

    def value(self, path: str, old, new) -> None:
        if isinstance(old, Signal) and isinstance(new, Signal):
            self.signal(path, old, new)
        elif is_dataclass(old) and type(old) is type(new):
            prefix = path + "." if path else ""
            for f in fields(old):
                self.value(prefix + f.name, getattr(old, f.name), getattr(new, f.name))
        elif is_samples(old) and is_samples(new):
            self.samples(path, old, new)
        elif isinstance(old, (tuple, list)) and isinstance(new, (tuple, list)):
            self.sequence(path, old, new)
        elif isinstance(old, float) and isinstance(new, float):
            self.double(path, old, new)
        elif type(old) is not type(new) or old != new:
            self.changed(path, compact(old), compact(new))

    def signal(self, path: str, old: Signal, new: Signal) -> None:
        if type(old) is not type(new):
            self.changed(path, compact(old), compact(new))
            return
        self.value(f"{path}.{type(old).__name__}", old.params, new.params)

    def sequence(self, path: str, old, new) -> None:
        for i, (a, b) in enumerate(zip(old, new)):
            self.value(f"{path}[{i}]", a, b)
        for i in range(len(new), len(old)):
            self.found.append(Difference(f"{path}[{i}]", REMOVED, compact(old[i]), ""))
        for i in range(len(old), len(new)):
            self.found.append(Difference(f"{path}[{i}]", ADDED, "", compact(new[i])))

    def double(self, path: str, old: float, new: float) -> None:
        a, b = f64_bits(old), f64_bits(new)
        if a == b:
            return
        old_text, new_text = format_f64(old), format_f64(new)
        if old_text == new_text:  # NaNs that differ only in their payload
            old_text, new_text = f"{old_text} (0x{a:016x})", f"{new_text} (0x{b:016x})"
        self.changed(path, old_text, new_text)

    def samples(self, path: str, old, new) -> None:
        detail = compare_samples(old, new, self.np)
        if detail or len(old) != len(new):
            self.found.append(Difference(path, SAMPLES, str(len(old)), str(len(new)), detail))


def diff(old, new) -> list[Difference]:
    """The differences from record `old` to record `new` (two Settings, or
    any two records of one type), in field order."""
    walk = _Walk(_decode.samples_type())
    walk.value("", old, new)
    return walk.found
