"""Conversion of decoded records to JSON-ready Python data."""

from __future__ import annotations

import math
from array import array
from dataclasses import fields, is_dataclass

from ._records import Signal

__all__ = ["to_jsonable"]


def to_jsonable(v):
    """Dicts, lists and scalars; a signal becomes {"Variant": {params}} and
    non-finite floats the strings "NaN", "inf", "-inf" (JSON has none)."""
    if isinstance(v, float):
        if math.isnan(v):
            return "NaN"
        if math.isinf(v):
            return "inf" if v > 0 else "-inf"
        return v
    if isinstance(v, (bool, int, str)):
        return v
    if isinstance(v, array):
        return v.tolist()
    if isinstance(v, Signal):
        return {type(v).__name__: to_jsonable(v.params)}
    if is_dataclass(v):
        return {f.name: to_jsonable(getattr(v, f.name)) for f in fields(v)}
    if isinstance(v, (tuple, list)):
        return [to_jsonable(x) for x in v]
    raise TypeError(f"cannot convert {type(v).__name__}")
