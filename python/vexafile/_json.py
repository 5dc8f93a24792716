"""Conversion of decoded records to JSON-ready Python data, and the same
JSON written as a stream."""

from __future__ import annotations

import json
import math
from collections.abc import Callable
from dataclasses import fields, is_dataclass

from ._records import Settings, Signal, is_samples
from ._text import Sink, sample_chunks

__all__ = ["to_jsonable", "write_json"]


def _float(v: float):
    if math.isnan(v):
        return "NaN"
    if math.isinf(v):
        return "inf" if v > 0 else "-inf"
    return v


def to_jsonable(v):
    """Dicts, lists and scalars; a signal becomes {"Variant": {params}} and
    non-finite floats the strings "NaN", "inf", "-inf" (JSON has none)."""
    if isinstance(v, float):
        return _float(v)
    if isinstance(v, (bool, int, str)):
        return v
    if is_samples(v):
        return [int(x) for x in v.tolist()]
    if isinstance(v, Signal):
        return {type(v).__name__: to_jsonable(v.params)}
    if is_dataclass(v):
        return {f.name: to_jsonable(getattr(v, f.name)) for f in fields(v)}
    if isinstance(v, (tuple, list)):
        return [to_jsonable(x) for x in v]
    raise TypeError(f"cannot convert {type(v).__name__}")


_STEP = "  "


def _items(pairs, indent: str, sink: Sink) -> None:
    """A JSON object of (key, value) pairs, laid out as json.dump(indent=2)."""
    inner = indent + _STEP
    sep = "{\n"
    for key, value in pairs:
        sink.add(f"{sep}{inner}{json.dumps(key)}: ")
        _json(value, inner, sink)
        sep = ",\n"
    sink.add(f"\n{indent}}}")


def _json(v, indent: str, sink: Sink) -> None:
    if isinstance(v, float):
        sink.add(json.dumps(_float(v)))
    elif isinstance(v, (bool, int, str)):
        sink.add(json.dumps(v))
    elif isinstance(v, Signal):
        _items([(type(v).__name__, v.params)], indent, sink)
    elif is_dataclass(v):
        _items([(f.name, getattr(v, f.name)) for f in fields(v)], indent, sink)
    elif len(v) == 0:
        sink.add("[]")
    else:
        inner = indent + _STEP
        sep = ",\n" + inner
        if isinstance(v, (tuple, list)):
            for i, item in enumerate(v):
                sink.add(sep if i else "[\n" + inner)
                _json(item, inner, sink)
        else:  # samples, rendered a block at a time
            for i, values in enumerate(sample_chunks(v)):
                sink.add((sep if i else "[\n" + inner) + sep.join(map(str, values)))
        sink.add(f"\n{indent}]")


def write_json(settings: Settings, write: Callable[[str], object]) -> None:
    """Stream json.dumps(to_jsonable(settings), indent=2) to `write` in blocks."""
    sink = Sink(write)
    _json(settings, "", sink)
    sink.flush()
