"""Site limits: the written limit tables of a lab (the device maker's, the
site's, one study's) as TOML files, layered, and checked against what a
protocol puts in force. Every key is optional and a key that is present is
a rule, named by its table and key ("session.intensity_max"). A key, table
or value this module does not know makes the file invalid: a misspelt limit
must never pass as no limit."""

from __future__ import annotations

import difflib
import hashlib
import json
import math
import operator
import os
import textwrap
import tomllib
from dataclasses import dataclass
from decimal import Decimal, localcontext
from itertools import islice
from typing import Any

from ._check import Finding
from ._in_force import in_force
from ._model import CHANNEL_FIELDS, FULL_SCALE, stored_sample
from ._records import Arbitrary, Constant, Ramp, Settings, Sine
from ._text import format_f64

__all__ = ["Limits", "LimitsError", "Layer", "template", "toml_value"]

_NUMBER, _FRACTION, _CHANNELS, _FLAG = "number", "fraction", "channels", "flag"
_AS_GIVEN = "no unit: the number as the script passed it"
_EXPECTED = {
    _NUMBER: "a finite number",
    _FRACTION: "a fraction from 0.0 to 1.0",
    _CHANNELS: 'a list of channel names, "A" or "B"',
    _FLAG: "true or false",
}
# Channel field name -> the letter a limits file uses.
_LETTERS = {name: name.split("_")[1].upper() for name in CHANNEL_FIELDS}


@dataclass(frozen=True)
class _Key:
    kind: str
    field: str  # the record field it checks ("" for the arbitrary and channel rules)
    unit: str
    what: str
    example: Any  # the template's value: together they make a valid file


_TABLES: dict[str, tuple[str, dict[str, _Key]]] = {
    "session": ("the whole session", {
        "intensity_max": _Key(_NUMBER, "intensity", "fraction of full scale", "the highest intensity", 0.3),
        "intensity_min": _Key(_NUMBER, "intensity", "fraction of full scale", "the lowest intensity", 0.0),
        "duration_max": _Key(_NUMBER, "session_duration", "seconds", "the longest session", 1200.0),
        "duration_min": _Key(_NUMBER, "session_duration", "seconds", "the shortest session", 1.0),
    }),
    "sine": ("every sine signal in force, in the numbers given to add_sine_signal", {
        "frequency_min": _Key(_NUMBER, "frequency", _AS_GIVEN, "the lowest frequency", 0.5),
        "frequency_max": _Key(_NUMBER, "frequency", _AS_GIVEN, "the highest frequency", 100.0),
        "amplitude_max": _Key(_NUMBER, "amplitude", _AS_GIVEN, "the highest absolute amplitude", 1.0),
        "depth_min": _Key(_NUMBER, "depth", _AS_GIVEN, "the lowest modulation depth", 0.0),
        "depth_max": _Key(_NUMBER, "depth", _AS_GIVEN, "the highest modulation depth", 1.0),
    }),
    "ramp": ("every ramp signal in force, in the numbers given to add_ramp_signal", {
        "peak_max": _Key(_NUMBER, "peak", _AS_GIVEN, "the highest peak", 1.0),
        "up_duration_min": _Key(_NUMBER, "up_duration", _AS_GIVEN, "the shortest ramp up", 5.0),
        "down_duration_min": _Key(_NUMBER, "down_duration", _AS_GIVEN, "the shortest ramp down", 5.0),
    }),
    "constant": ("every constant signal in force", {
        "value_max": _Key(_NUMBER, "value", _AS_GIVEN, "the highest value", 1.0),
    }),
    "arbitrary": ("every arbitrary signal in force, in fractions of full scale as given to "
                  "add_arbitrary_signal; each is compared as the sample it is stored as", {
        "fraction_max": _Key(_FRACTION, "", "fraction of full scale", "the highest sample", 0.8),
        "step_max": _Key(_FRACTION, "", "fraction of full scale",
                         "the largest change between two consecutive samples", 0.05),
        "first_max": _Key(_FRACTION, "", "fraction of full scale", "the first sample, so that a session starts low",
                          0.1),
        "last_max": _Key(_FRACTION, "", "fraction of full scale", "the last sample, so that a session ends low",
                         0.1),
    }),
    "channels": ("the channels and sources in force", {
        "allowed": _Key(_CHANNELS, "", "channel names", "the channels that may be enabled; pyvexa always "
                        'enables channel A, so a list without "A" fails every protocol', ("A",)),
        "external_inputs": _Key(_FLAG, "", "true or false", "false forbids external inputs as sources "
                                "of an enabled channel", False),
    }),
}
_RULE_IDS = tuple(f"{table}.{key}" for table, (_, keys) in _TABLES.items() for key in keys)
_VARIANT_TABLES = {Sine: "sine", Ramp: "ramp", Constant: "constant"}


class LimitsError(ValueError):
    """A limits file that is not a valid limits file: `file` as it was
    given, `key` the rule id or table it is about (None for the whole file)."""

    def __init__(self, file: str, key: str | None, problem: str) -> None:
        super().__init__(f"{file}: {key}: {problem}" if key else f"{file}: {problem}")
        self.file = file
        self.key = key


@dataclass(frozen=True)
class Layer:
    """One limits file: its path as given, the SHA-256 of its bytes, and its
    rules (rule id -> limit) in the order of the template."""

    path: str
    sha256: str
    rules: dict[str, Any]


class Limits:
    """Layers of limits, each a file, for example the device's, then the
    site's, then the study's. Every rule of every layer is checked."""

    def __init__(self, layers=()) -> None:
        self.layers: tuple[Layer, ...] = tuple(layers)

    @classmethod
    def load(cls, *paths) -> Limits:
        """Read limits files in the order given. Raises LimitsError for a
        file that is not a valid limits file, OSError for one that cannot be
        read."""
        return cls(_read_layer(os.fspath(p)) for p in paths)

    def __repr__(self) -> str:
        return f"Limits({', '.join(repr(layer.path) for layer in self.layers)})"

    def findings(self, settings: Settings) -> list[Finding]:
        """One error per broken rule per place, in the order of the protocol's
        fields, a place's layers in their order. Only what is in force is
        checked: enabled channels and the signals their sources reach."""
        return _Checker(self.layers, settings).run()


# --- reading -------------------------------------------------------------

# A limits file is a few dozen lines; anything far larger is not one.
_MAX_FILE = 1 << 20


def _read_layer(path: str) -> Layer:
    try:
        with open(path, "rb") as f:
            data = f.read(_MAX_FILE + 1)  # bounded: /dev/zero is a path too
    except OSError as e:
        if e.filename is None:  # a failed read names no file; the caller reports it
            e.filename = path
        raise
    if len(data) > _MAX_FILE:
        raise LimitsError(path, None, f"is larger than {_MAX_FILE // 1024} KiB; expected a limits file of a few "
                          "lines")
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise LimitsError(path, None, f"byte {e.start} is not UTF-8; expected a TOML file") from None
    try:
        document = tomllib.loads(text)
    except tomllib.TOMLDecodeError as e:
        raise LimitsError(path, None, f"not valid TOML: {e}") from None
    rules: dict[str, Any] = {}
    for table, body in document.items():
        if table not in _TABLES:
            if isinstance(body, dict):
                raise LimitsError(path, f"[{table}]", f"unknown table{_near(table, _TABLES)}; expected one of "
                                  f"{_tables()}")
            raise LimitsError(path, table, f"a key outside any table; expected it inside one of {_tables()}")
        if not isinstance(body, dict):
            raise LimitsError(path, table, f"expected the table [{table}], got {_shown(body)}")
        keys = _TABLES[table][1]
        for key, value in body.items():
            rule = f"{table}.{key}"
            if key not in keys:
                raise LimitsError(path, rule, f"unknown key{_near(key, keys)}; expected one of "
                                  f"{', '.join(keys)}")
            rules[rule] = _limit(path, rule, keys[key].kind, value)
    for table, (_, keys) in _TABLES.items():
        for key in keys:
            low, high = f"{table}.{key}", f"{table}.{key[:-4]}_max"
            if key.endswith("_min") and low in rules and high in rules and rules[low] > rules[high]:
                raise LimitsError(path, low, f"{format_f64(rules[low])} is above {high} {format_f64(rules[high])}; "
                                  "expected a minimum not above its maximum")
    digest = hashlib.sha256(data).hexdigest()
    return Layer(path, digest, {rule: rules[rule] for rule in _RULE_IDS if rule in rules})


def _limit(path: str, rule: str, kind: str, value):
    def refuse():
        return LimitsError(path, rule, f"expected {_EXPECTED[kind]}, got {_shown(value)}")

    if kind == _FLAG:
        if not isinstance(value, bool):
            raise refuse()
        return value
    if kind == _CHANNELS:
        if not isinstance(value, list) or any(v not in _LETTERS.values() for v in value):
            raise refuse()
        return tuple(dict.fromkeys(value))
    # Integers stand for numbers; booleans are ints in Python but never numbers here.
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise refuse()
    try:
        number = float(value)
    except OverflowError:
        raise refuse() from None
    if not math.isfinite(number) or (kind == _FRACTION and not 0.0 <= number <= 1.0):
        raise refuse()
    return number


def _shown(value) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, str):
        return f"the string {json.dumps(value)}"
    if isinstance(value, float):
        return format_f64(value).lower()
    if isinstance(value, int):
        return str(value)
    if isinstance(value, list):
        return f"the array {json.dumps(value, default=str)}" if len(value) <= 8 else "an array"
    if isinstance(value, dict):
        return "a table"
    return f"a {type(value).__name__}"  # TOML dates and times


def _near(word: str, known) -> str:
    close = difflib.get_close_matches(word, list(known), n=1)
    return f" (did you mean {close[0]}?)" if close else ""


def _tables() -> str:
    return ", ".join(f"[{t}]" for t in _TABLES)


# --- checking ------------------------------------------------------------


def _excess(high: float, low: float) -> str:
    """high - low in decimal from the numbers as shown, so that 0.45 - 0.4
    reads 0.05."""
    with localcontext() as ctx:
        ctx.prec = 17
        d = Decimal(format_f64(high)) - Decimal(format_f64(low))
    if not -7 < d.adjusted() < 17:
        return format(d.normalize(), "e").replace("e+", "e")
    text = format(d, "f")
    # 0.45 - 0.25 is 0.20 in Decimal; shown as format_f64 shows numbers, 0.2
    if "." in text:
        text = text.rstrip("0")
    return text + "0" if text.endswith(".") else text


def _above(value: float, limit: float) -> str:
    return f"{format_f64(value)} is above {format_f64(limit)} by {_excess(value, limit)}"


def _compared(value: float, limit: float, upper: bool) -> str | None:
    """The message of a broken numeric rule, or None where it holds."""
    if not math.isfinite(value):
        return f"{format_f64(value)} is not a finite number; the limit is {format_f64(limit)}"
    if upper and value > limit:
        return _above(value, limit)
    if not upper and value < limit:
        return f"{format_f64(value)} is below {format_f64(limit)} by {_excess(limit, value)}"
    return None


class _Checker:
    def __init__(self, layers: tuple[Layer, ...], settings: Settings) -> None:
        self.s = settings
        self.findings: list[Finding] = []
        # rule id -> [(layer, limit)], layers in their order; unused rules absent
        self.rules: dict[str, list[tuple[Layer, Any]]] = {}
        for layer in layers:
            for rule, limit in layer.rules.items():
                self.rules.setdefault(rule, []).append((layer, limit))

    def run(self) -> list[Finding]:
        if not self.rules:
            return []
        force = in_force(self.s)
        for key, entry in _TABLES["session"][1].items():
            self.number("session", key, entry.field, getattr(self.s, entry.field))
        for i, signal in enumerate(self.s.signals):
            if not force.signals[i]:
                continue
            here = f"signals[{i}].{type(signal).__name__}"
            if isinstance(signal, Arbitrary):
                self.samples(f"{here}.samples", signal.params.samples)
                continue
            table = _VARIANT_TABLES.get(type(signal))
            if table is None:
                continue  # a mixed signal: what it mixes is reached on its own
            for key, entry in _TABLES[table][1].items():
                value = getattr(signal.params, entry.field)
                self.number(table, key, f"{here}.{entry.field}", abs(value) if key == "amplitude_max" else value)
        for name in force.channels:
            for layer, allowed in self.rules.get("channels.allowed", ()):
                if _LETTERS[name] not in allowed:
                    only = f"only {', '.join(allowed)}" if allowed else "no channel"
                    self.add(layer, "channels.allowed", f"{name}.enabled",
                             f"channel {_LETTERS[name]} is enabled, but the limits allow {only}",
                             _LETTERS[name], allowed)
        for name, field, number in force.external_inputs:
            for layer, allowed in self.rules.get("channels.external_inputs", ()):
                if not allowed:
                    self.add(layer, "channels.external_inputs", f"{name}.{field}",
                             f"external input {number} is a source, but the limits allow no external inputs",
                             number, allowed)
        return self.findings

    def add(self, layer: Layer, rule: str, path: str, message: str, value, limit) -> None:
        self.findings.append(Finding("error", path, f"{rule} ({layer.path}): {message}", rule=rule,
                                     limits_file=layer.path, limits_sha256=layer.sha256, value=value, limit=limit))

    def number(self, table: str, key: str, path: str, value: float) -> None:
        rule = f"{table}.{key}"
        for layer, limit in self.rules.get(rule, ()):
            message = _compared(value, limit, key.endswith("_max"))
            if message:
                self.add(layer, rule, path, message, value, limit)

    def samples(self, path: str, samples) -> None:
        if len(samples) == 0:
            return
        scan = _SampleScan(samples)
        for key in _TABLES["arbitrary"][1]:
            rule = f"arbitrary.{key}"
            for layer, limit in self.rules.get(rule, ()):
                found = scan.first_over(key, stored_sample(limit))
                if found is None:
                    continue
                index, stored = found
                fraction = stored / FULL_SCALE
                # Above the limit's stored value is above the limit: the stored
                # value is within half a step of it.
                self.add(layer, rule, f"{path}[{index}]", _above(fraction, limit), fraction, limit)


# Samples are scanned in blocks of this many, so that a 9M-sample signal
# needs no temporary array of its own size.
_BLOCK = 1 << 20


class _SampleScan:
    """The stored samples of one signal against thresholds in stored units.
    Maxima are computed once per signal and block, so that every layer's
    threshold costs one comparison unless it is broken."""

    def __init__(self, samples) -> None:
        self.samples = samples
        self.numpy = hasattr(samples, "dtype")
        self._highest: int | None = None
        self._step_maxima: list[int] = []
        self._narrow: bool | None = None

    def first_over(self, key: str, threshold: int) -> tuple[int, int] | None:
        """(index, value) of the first sample or step above threshold."""
        s = self.samples
        if key == "first_max":
            return (0, int(s[0])) if s[0] > threshold else None
        if key == "last_max":
            return (len(s) - 1, int(s[-1])) if s[-1] > threshold else None
        if key == "fraction_max":
            if self.highest() <= threshold:
                return None
            if self.numpy:
                index = int((s > threshold).argmax())
            else:
                index = next(i for i, v in enumerate(s) if v > threshold)
            return index, int(s[index])
        for b, start in enumerate(range(1, len(s), _BLOCK)):
            if b == len(self._step_maxima):  # blocks are scanned once, as far as a threshold needs
                self._step_maxima.append(self.largest_step(start))
            if self._step_maxima[b] > threshold:
                steps = self.steps(start)
                if self.numpy:
                    k = int((steps > threshold).argmax())
                    return start + k, int(steps[k])
                k, step = next((k, v) for k, v in enumerate(steps) if v > threshold)
                return start + k, step
        return None

    def highest(self) -> int:
        if self._highest is None:
            self._highest = int(self.samples.max()) if self.numpy else max(self.samples)
        return self._highest

    def steps(self, start: int):
        """The absolute steps into samples start .. start + _BLOCK - 1."""
        block = self.samples[start - 1:start + _BLOCK]
        if self.numpy:
            if self._narrow is None:
                # Samples from 0 to 32767 step by at most 32767, which int16 holds;
                # a file may hold any int16, and those steps need 17 bits.
                self._narrow = bool(self.samples.min() >= 0)
            if not self._narrow:
                block = block.astype("int32")
            return abs(block[1:] - block[:-1])
        return map(abs, map(operator.sub, islice(block, 1, None), block))

    def largest_step(self, start: int) -> int:
        steps = self.steps(start)
        return int(steps.max()) if self.numpy else max(steps)


# --- the template --------------------------------------------------------


def template() -> str:
    """A limits file with every key commented out: as printed it checks
    nothing; each key set is a rule."""
    lines = [
        "# vexafile limits: the limits a protocol must keep, checked by",
        "#   vexafile check --limits FILE [--limits FILE ...] PROTOCOL...",
        "# Every key is optional; a key that is set is a rule, named by its table and",
        "# key (session.intensity_max). A key, table or value that is not listed here",
        "# makes the whole file invalid. Several files are layers (the device's, the",
        "# site's, a study's): every rule of every file is checked. Rules apply to what",
        "# is in force: the enabled channels and the signals their sources reach,",
        "# through mixed signals too. A NaN or infinite value breaks every rule on its",
        "# field. Numbers may be integers; NaN and infinity are refused here.",
        "# Passing these checks does not by itself make a protocol safe.",
    ]
    for table, (scope, keys) in _TABLES.items():
        lines += ["", *textwrap.wrap(scope[0].upper() + scope[1:] + ".", 79, initial_indent="# ",
                                     subsequent_indent="# "), f"[{table}]"]
        for key, entry in keys.items():
            lines.append(f"# {key} = {toml_value(entry.example)}")
            lines += textwrap.wrap(f"{entry.what} ({entry.unit})", 79, initial_indent="#     ",
                                   subsequent_indent="#     ")
    return "\n".join(lines) + "\n"


def toml_value(value) -> str:
    """A limit as a limits file spells it."""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, tuple):
        return "[" + ", ".join(json.dumps(v) for v in value) + "]"
    return format_f64(value)
