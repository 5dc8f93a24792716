"""Indented text form of a protocol, as str() of a pyvexa.Protocol prints it."""

from __future__ import annotations

import math
from array import array
from dataclasses import fields, is_dataclass

from ._records import Settings, Signal

__all__ = ["format_f64", "quote", "to_text"]

_INDENT = "    "


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


_ESCAPES = {'"': '\\"', "\\": "\\\\", "\n": "\\n", "\r": "\\r", "\t": "\\t", "\0": "\\0"}


def quote(text: str) -> str:
    """Double-quoted text with backslash escapes; other control characters
    (C0, DEL, C1) as \\u{hex}."""
    out = ['"']
    for ch in text:
        esc = _ESCAPES.get(ch)
        if esc is not None:
            out.append(esc)
        elif ord(ch) < 0x20 or 0x7F <= ord(ch) <= 0x9F:
            out.append(f"\\u{{{ord(ch):x}}}")
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def _value(v, indent: str, out: list) -> None:
    """Append the rendering of v; its later lines start with `indent`."""
    if isinstance(v, bool):
        out.append("true" if v else "false")
    elif isinstance(v, int):
        out.append(str(v))
    elif isinstance(v, float):
        out.append(format_f64(v))
    elif isinstance(v, str):
        out.append(quote(v))
    elif isinstance(v, Signal):
        inner = indent + _INDENT
        out.append(f"{type(v).__name__}(\n{inner}")
        _value(v.params, inner, out)
        out.append(f",\n{indent})")
    elif is_dataclass(v):
        inner = indent + _INDENT
        out.append(f"{type(v).__name__} {{\n")
        for f in fields(v):
            out.append(f"{inner}{f.name}: ")
            _value(getattr(v, f.name), inner, out)
            out.append(",\n")
        out.append(f"{indent}}}")
    elif isinstance(v, (tuple, list, array)):
        if len(v) == 0:
            out.append("[]")
            return
        inner = indent + _INDENT
        out.append("[\n")
        if isinstance(v, array):
            # Sample lists can be millions long: render them in one pass.
            out.append(inner + f",\n{inner}".join(map(str, v)) + ",\n")
        else:
            for item in v:
                out.append(inner)
                _value(item, inner, out)
                out.append(",\n")
        out.append(f"{indent}]")
    else:
        raise TypeError(f"cannot render {type(v).__name__}")


def to_text(settings: Settings) -> str:
    """The text that str() of the pyvexa.Protocol holding `settings` gives."""
    out = ["Protocol {\n" + _INDENT + "settings: "]
    _value(settings, _INDENT, out)
    out.append(",\n}")
    return "".join(out)
