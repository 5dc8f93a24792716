"""Indented text form of a protocol, as str() of a pyvexa.Protocol prints it."""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import fields, is_dataclass

from ._records import Settings, Signal, is_samples

__all__ = ["format_f64", "quote", "to_text", "write_text"]

INDENT = "    "


def _shortest_digits(x: float) -> tuple[str, int]:
    """Shortest round-trip digits of a finite positive x, and the power of
    ten of the last digit (x == int(digits) * 10**scale)."""
    s = repr(x)  # repr is shortest round-trip; only the layout differs
    exp = 0
    if "e" in s:
        s, e = s.split("e")
        exp = int(e)
    whole, _, frac = s.partition(".")
    digits = (whole + frac).lstrip("0")
    stripped = digits.rstrip("0")
    scale = exp - len(frac) + (len(digits) - len(stripped))
    return stripped, scale


def format_f64(x: float) -> str:
    """Shortest digits; positional for 0 and 1e-4 <= |x| < 1e16, else
    exponent form such as 1e-5 or 1.7976931348623157e308."""
    if math.isnan(x):
        return "NaN"
    sign = "-" if math.copysign(1.0, x) < 0 else ""
    a = abs(x)
    if math.isinf(a):
        return sign + "inf"
    if a == 0.0:
        return sign + "0.0"
    digits, scale = _shortest_digits(a)
    if 1e-4 <= a < 1e16:
        if scale >= 0:
            return f"{sign}{digits}{'0' * scale}.0"
        point = len(digits) + scale
        if point > 0:
            return f"{sign}{digits[:point]}.{digits[point:]}"
        return f"{sign}0.{'0' * -point}{digits}"
    exponent = scale + len(digits) - 1
    mantissa = digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
    return f"{sign}{mantissa}e{exponent}"


ESCAPES = {'"': '\\"', "\\": "\\\\", "\n": "\\n", "\r": "\\r", "\t": "\\t", "\0": "\\0"}

# Characters that would mislead the eye if shown as they are: bidirectional
# controls, zero-width characters, and the line and paragraph separators.
_INVISIBLE = frozenset(
    [0x200E, 0x200F, *range(0x202A, 0x202F), *range(0x2066, 0x206A),
     0x200B, 0x200C, 0x200D, 0x2060, 0xFEFF, 0x2028, 0x2029]
)


def quote(text: str) -> str:
    """Double-quoted text with backslash escapes; other control characters
    (C0, DEL, C1) and the invisible characters above as \\u{hex}."""
    out = ['"']
    for ch in text:
        esc = ESCAPES.get(ch)
        code = ord(ch)
        if esc is not None:
            out.append(esc)
        elif code < 0x20 or 0x7F <= code <= 0x9F or code in _INVISIBLE:
            out.append(f"\\u{{{code:x}}}")
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


class Sink:
    """Collects pieces and hands them to `write` in blocks of about 1 MB."""

    __slots__ = ("parts", "size", "write")

    def __init__(self, write: Callable[[str], object]):
        self.parts: list[str] = []
        self.size = 0
        self.write = write

    def add(self, piece: str) -> None:
        self.parts.append(piece)
        self.size += len(piece)
        if self.size >= _BLOCK:
            self.flush()

    def flush(self) -> None:
        if self.parts:
            self.write("".join(self.parts))
            self.parts.clear()
            self.size = 0


_BLOCK = 1 << 20
# Samples are rendered this many at a time.
SAMPLE_CHUNK = 16384


def sample_chunks(samples):
    """The samples, SAMPLE_CHUNK at a time, as values that str() renders."""
    for start in range(0, len(samples), SAMPLE_CHUNK):
        chunk = samples[start : start + SAMPLE_CHUNK]
        yield chunk.tolist() if hasattr(chunk, "dtype") else chunk


def _samples(samples, inner: str, sink: Sink) -> None:
    sep = f",\n{inner}"
    for values in sample_chunks(samples):
        sink.add(inner + sep.join(map(str, values)) + ",\n")


def format_scalar(v) -> str:
    """A flag, integer, double or name in the text form's notation (anything
    else as its repr)."""
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, float):
        return format_f64(v)
    if isinstance(v, str):
        return quote(v)
    return repr(v)


def _value(v, indent: str, sink: Sink) -> None:
    """Render v; its later lines start with `indent`."""
    add = sink.add
    if isinstance(v, bool):
        add("true" if v else "false")
    elif isinstance(v, int):
        add(str(v))
    elif isinstance(v, float):
        add(format_f64(v))
    elif isinstance(v, str):
        add(quote(v))
    elif isinstance(v, Signal):
        inner = indent + INDENT
        add(f"{type(v).__name__}(\n{inner}")
        _value(v.params, inner, sink)
        add(f",\n{indent})")
    elif is_dataclass(v):
        inner = indent + INDENT
        add(f"{type(v).__name__} {{\n")
        for f in fields(v):
            add(f"{inner}{f.name}: ")
            _value(getattr(v, f.name), inner, sink)
            add(",\n")
        add(f"{indent}}}")
    elif isinstance(v, (tuple, list)) or is_samples(v):
        if len(v) == 0:
            add("[]")
            return
        inner = indent + INDENT
        add("[\n")
        if isinstance(v, (tuple, list)):
            for item in v:
                add(inner)
                _value(item, inner, sink)
                add(",\n")
        else:
            _samples(v, inner, sink)
        add(f"{indent}]")
    else:
        raise TypeError(f"cannot render {type(v).__name__}")


def write_text(settings: Settings, write: Callable[[str], object]) -> None:
    """Stream the text of to_text(settings) to `write` in blocks."""
    sink = Sink(write)
    sink.add("Protocol {\n" + INDENT + "settings: ")
    _value(settings, INDENT, sink)
    sink.add(",\n}")
    sink.flush()


def to_text(settings: Settings) -> str:
    """The text that str() of the pyvexa.Protocol holding `settings` gives."""
    parts: list[str] = []
    write_text(settings, parts.append)
    return "".join(parts)
