"""Decoder of the postcard wire format as used by .vexa protocol files."""

from __future__ import annotations

import functools
import math
import os
import stat
import struct
from array import array
from dataclasses import is_dataclass
from typing import Any, Callable

from ._records import (
    SAMPLES,
    SIGNAL_VARIANTS,
    Arbitrary,
    ArbitrarySignalParams,
    ChannelSettings,
    Coil,
    Constant,
    ConstantSignalParams,
    LCSetting,
    ListOf,
    MachineConfig,
    MixedSignal,
    MixedSignalParams,
    Ramp,
    RampSignalParams,
    Settings,
    Signal,
    SignalSourceSelection,
    Sine,
    SineSignalParams,
    record_fields,
)

__all__ = ["VexaFormatError", "Reader", "load", "loads"]

_F64 = struct.Struct("<d")

# Zigzag value of every one-byte sample varint.
_ZIGZAG1 = tuple((v >> 1) ^ -(v & 1) for v in range(128))


class _NeedMore(Exception):
    """The bytes at hand end inside the record, and more of the input follows."""


class VexaFormatError(ValueError):
    """The bytes are not a valid protocol file.

    `offset` is the byte position of the value that failed to decode and
    `kind` one of: "unexpected_end", "trailing_bytes", "bad_varint",
    "bad_bool", "bad_utf8", "bad_enum", "sample_out_of_range".
    """

    def __init__(self, kind: str, offset: int, message: str):
        super().__init__(f"offset {offset}: {message}")
        self.kind = kind
        self.offset = offset


_numpy_checked = False
_numpy = None


def samples_type():
    """numpy when it can be imported (on first use), else None."""
    global _numpy_checked, _numpy
    if not _numpy_checked:
        try:
            import numpy
        except ImportError:
            numpy = None
        _numpy, _numpy_checked = numpy, True
    return _numpy


def as_samples(samples: array):
    """The samples as a read-only NumPy int16 array, or as they are without NumPy."""
    np = samples_type()
    if np is None:
        return samples
    out = np.frombuffer(samples, dtype=np.int16)
    out.flags.writeable = False
    return out


class Reader:
    """Cursor over encoded bytes; each method decodes one value at `pos`.

    Useful on its own for decoding fragments such as a single signal.
    `size`, when given, is the length of the whole input of which `data` is
    the start (infinite for a stream not yet ended): sequence counts are
    checked against it, and running out of `data` before it raises _NeedMore.
    """

    __slots__ = ("data", "pos", "size")

    def __init__(self, data, pos: int = 0, size: float | None = None):
        self.data = data if type(data) is bytes else bytes(memoryview(data))
        self.pos = pos
        self.size = len(self.data) if size is None else size

    # -- primitives --------------------------------------------------------

    def _end(self, start: int, what: str, need: str) -> VexaFormatError:
        if len(self.data) < self.size:
            raise _NeedMore
        left = len(self.data) - start
        return VexaFormatError(
            "unexpected_end",
            start,
            f"unexpected end of data: expected {need} for {what}, {left} byte{'s' if left != 1 else ''} left",
        )

    def varint(self, what: str = "varint") -> int:
        """Unsigned LEB128, at most 10 bytes, value below 2**64."""
        data = self.data
        start = pos = self.pos
        n = len(data)
        if pos < n and data[pos] < 0x80:  # most varints are one byte
            self.pos = pos + 1
            return data[pos]
        value = 0
        shift = 0
        for i in range(10):
            if pos >= n:
                raise self._end(start, what, "a varint")
            b = data[pos]
            pos += 1
            if i == 9 and b > 1:
                raise VexaFormatError(
                    "bad_varint",
                    start,
                    f"bad varint for {what}: tenth byte is 0x{b:02x}, must be 0x00 or 0x01",
                )
            value |= (b & 0x7F) << shift
            if b < 0x80:
                self.pos = pos
                return value
            shift += 7
        raise AssertionError("unreachable")  # pragma: no cover

    def f64(self, what: str = "f64") -> float:
        """One IEEE 754 double, 8 bytes little-endian."""
        start = self.pos
        end = start + 8
        if end > len(self.data):
            raise self._end(start, what, "8 bytes of a little-endian double")
        self.pos = end
        return _F64.unpack_from(self.data, start)[0]

    def boolean(self, what: str = "bool") -> bool:
        """One byte, 0x00 or 0x01; any other byte is bad_bool."""
        start = self.pos
        if start >= len(self.data):
            raise self._end(start, what, "a boolean byte")
        b = self.data[start]
        if b > 1:
            raise VexaFormatError(
                "bad_bool", start, f"bad boolean for {what}: byte 0x{b:02x}, expected 0x00 or 0x01"
            )
        self.pos = start + 1
        return b == 1

    def string(self, what: str = "string") -> str:
        """Varint byte length, then that many bytes of UTF-8."""
        start = self.pos
        length = self.varint(f"length of {what}")
        body = self.pos
        if length > len(self.data) - body:
            raise self._end(start, what, f"{length} bytes of UTF-8 text")
        try:
            text = self.data[body : body + length].decode("utf-8")
        except UnicodeDecodeError as e:
            raise VexaFormatError(
                "bad_utf8", body + e.start, f"bad UTF-8 in {what}: {e.reason}"
            ) from None
        self.pos = body + length
        return text

    def count(self, what: str, min_element_size: int) -> int:
        """Sequence length, refused when the rest of the data cannot hold it."""
        start = self.pos
        n = self.varint(f"element count of {what}")
        left = self.size - self.pos
        if n * min_element_size > left:
            raise VexaFormatError(
                "unexpected_end",
                start,
                f"unexpected end of data: {what} declares {n} elements of at least "
                f"{min_element_size} byte{'s' if min_element_size != 1 else ''} each, {left} bytes left",
            )
        return n

    def f64_seq(self, what: str) -> tuple[float, ...]:
        """Varint count, then that many doubles."""
        n = self.count(what, 8)
        start = self.pos
        if 8 * n > len(self.data) - start:
            raise self._end(start, what, f"{n} doubles")
        self.pos = start + 8 * n
        return struct.unpack_from(f"<{n}d", self.data, start)

    def sample(self, what: str = "sample") -> int:
        """Zigzag signed 16-bit varint (1 to 3 bytes)."""
        return self._samples(1, what)[0]

    def _samples(self, n: int, what: str) -> array:
        data = self.data
        pos = self.pos
        # Never more room than the bytes at hand can fill: a declared count
        # is not trusted before its samples have arrived.
        have = min(n, len(data) - pos)
        out = array("h", bytes(2 * have))
        zz1 = _ZIGZAG1
        k = 0
        try:
            for k in range(have):
                b = data[pos]
                if b < 0x80:
                    out[k] = zz1[b]
                    pos += 1
                    continue
                b1 = data[pos + 1]
                if b1 < 0x80:
                    v = (b & 0x7F) | (b1 << 7)
                    pos += 2
                else:
                    b2 = data[pos + 2]
                    if b2 >= 0x80:
                        raise VexaFormatError(
                            "bad_varint",
                            pos,
                            f"bad varint for {what} {k}: longer than 3 bytes",
                        )
                    if b2 > 0x03:
                        v = (b & 0x7F) | ((b1 & 0x7F) << 7) | (b2 << 14)
                        raise VexaFormatError(
                            "sample_out_of_range",
                            pos,
                            f"{what} {k} out of range: zigzag value {v} does not fit in 16 bits",
                        )
                    v = (b & 0x7F) | ((b1 & 0x7F) << 7) | (b2 << 14)
                    pos += 3
                out[k] = (v >> 1) ^ -(v & 1)
        except IndexError:
            raise self._end(pos, f"{what} {k}", "a sample varint") from None
        if have < n:
            raise self._end(pos, f"{what} {have}", "a sample varint")
        self.pos = pos
        return out

    # -- records -------------------------------------------------------------

    def lc_setting(self) -> LCSetting:
        """One LCSetting record."""
        return _read_one(LCSetting, "", self)

    def coil(self) -> Coil:
        """One Coil record (the machine's coil, with its tunings)."""
        return _read_one(Coil, _record_name(Coil, ""), self)

    def machine_config(self) -> MachineConfig:
        """One MachineConfig record."""
        return _read_one(MachineConfig, "", self)

    def source_selection(self, what: str = "source") -> SignalSourceSelection:
        """One SignalSourceSelection record; `what` names it in errors."""
        return _read_one(SignalSourceSelection, what, self)

    def channel_settings(self, what: str = "channel") -> ChannelSettings:
        """One ChannelSettings record; `what` names it in errors."""
        return _read_one(ChannelSettings, what, self)

    def signal(self):
        """One signal: its variant index (0 to 4), then its parameter record."""
        return _read_signal(self)

    def signals(self) -> tuple:
        """The signal list: a varint count, then the signals."""
        return _read_one(ListOf(Signal, None), "signals", self)

    def settings(self) -> Settings:
        """One whole Settings record (call finish() to refuse trailing bytes)."""
        return _read_one(Settings, "", self)

    def finish(self) -> None:
        """Refuse bytes left after the decoded value."""
        left = self.size - self.pos
        if left:
            raise VexaFormatError(
                "trailing_bytes",
                self.pos,
                f"{left} trailing byte{'s' if left != 1 else ''} after the end of the record",
            )


# --- decoders derived from the record declarations -------------------------
#
# How messages name a value, as the compiled decoder does: a field by the
# name of its record and its own ("coil name", "Sine depth"), where the name
# of a record is empty unless this table gives one ("capacitance") and a
# signal's parameters take their variant's. A record named _BY_PATH takes the
# name of the field that holds it ("channel_b_settings amplitude2_source
# internal"); elements of a list of doubles take the list's ("capacitors").
_BY_PATH = None
_RECORD_NAMES: dict[type, str | None] = {ChannelSettings: _BY_PATH, SignalSourceSelection: _BY_PATH, Coil: "coil"}


# A decoder is a pair (read, arg): read(reader, arg) decodes one value. A
# plain function of two arguments is called in about half the time of a
# methodcaller, which counts in a file of millions of signals.
Decode = tuple[Callable[[Reader, Any], Any], Any]


def _then(label: str, word: str) -> str:
    return f"{label} {word}" if label else word


def _record_name(cls: type, path: str) -> str:
    name = _RECORD_NAMES.get(cls, "")
    return path if name is _BY_PATH else name


def _min_size(shape) -> int:
    """Fewest bytes one encoded value of `shape` takes: a count is refused
    when the rest of an input of known size cannot hold that many elements."""
    if shape is float:
        return 8
    if shape is Signal:
        return 2  # the variant number and an empty sample count
    if isinstance(shape, ListOf):
        return shape.length if shape.length is not None else 1
    if isinstance(shape, type) and is_dataclass(shape):
        return sum(_min_size(field) for _, field in record_fields(shape))
    return 1  # bool, varint, string, sample count


def _field_decoders(cls: type, label: str) -> list[Decode]:
    parts: list[Decode] = []
    for name, shape in record_fields(cls):
        if isinstance(shape, type) and is_dataclass(shape):
            parts.append(_decoder(shape, _record_name(shape, _then(label, name))))
        elif shape == SAMPLES:
            parts.append(_decoder(shape, label))  # "Arbitrary samples", "Arbitrary sample 5"
        else:
            parts.append(_decoder(shape, _then(label, name)))
    return parts


def _read_record(r: Reader, arg):
    cls, parts = arg
    return cls(*[read(r, a) for read, a in parts])


def _read_fixed(r: Reader, parts):
    return tuple([read(r, a) for read, a in parts])


def _read_counted(r: Reader, arg):
    label, size, (read, a) = arg
    return tuple([read(r, a) for _ in range(r.count(label, size))])


def _read_samples(r: Reader, labels):
    counted, each = labels
    return as_samples(r._samples(r.count(counted, 1), each))


def _read_signal(r: Reader, _arg=None):
    start = r.pos
    index = r.varint("signal variant index")
    if index < len(_VARIANTS):
        variant, params, parts = _VARIANTS[index]
        return variant(params(*[read(r, a) for read, a in parts]))
    raise VexaFormatError("bad_enum", start, f"unknown signal variant {index}, expected 0 to {len(_VARIANTS) - 1}")


_SCALARS: dict[Any, Callable[[Reader, Any], Any]] = {
    float: Reader.f64,
    int: Reader.varint,
    bool: Reader.boolean,
    str: Reader.string,
}


@functools.lru_cache(maxsize=256)
def _decoder(shape, label: str) -> Decode:
    """The decoder of one value of `shape`, named `label` in messages."""
    if shape in _SCALARS:
        return _SCALARS[shape], label
    if shape == SAMPLES:
        return _read_samples, (_then(label, "samples"), _then(label, "sample"))
    if shape is Signal:
        return _read_signal, None
    if not isinstance(shape, ListOf):
        return _read_record, (shape, _field_decoders(shape, label))
    element = shape.element
    if shape.length is not None:
        return _read_fixed, [_decoder(element, f"{label}[{i}]") for i in range(shape.length)]
    if element is float:
        return Reader.f64_seq, label
    each = _record_name(element, label) if isinstance(element, type) and is_dataclass(element) else label
    return _read_counted, (label, _min_size(element), _decoder(element, each))


def _read_one(shape, label: str, r: Reader):
    read, arg = _decoder(shape, label)
    return read(r, arg)


# Each variant in the order of its index, with its parameter record and the
# decoders of that record's fields, named after the variant.
_VARIANTS: tuple[tuple[Any, type, list[Decode]], ...] = tuple(
    (variant, variant.params_type, _field_decoders(variant.params_type, variant.__name__))
    for variant in SIGNAL_VARIANTS
)


# Regular files are read in one block up to this size, larger ones and
# streams in blocks that double from the first size until the record is
# whole; each attempt decodes from the start.
_WHOLE_READ = 64 << 20
_FIRST_BLOCK = 64 << 10


def loads(data) -> Settings:
    """Decode the bytes of a whole protocol file.

    Raises VexaFormatError (a ValueError) when they are not exactly one
    protocol record, and TypeError for a str.
    """
    if isinstance(data, str):
        raise TypeError("loads() takes bytes, not str")
    if _native is not None:
        return _native.loads(data, CLASSES)
    r = Reader(data)
    settings = r.settings()
    r.finish()
    return settings


def _trailing(pos: int) -> VexaFormatError:
    return VexaFormatError("trailing_bytes", pos, "trailing bytes after the end of the record")


def read_settings(f) -> Settings:
    """Decode one record from an open binary file, reading no more of it than
    the record and one byte; a byte after the record is refused."""
    if _native is not None:
        return _native.load(f.fileno(), CLASSES)
    info = os.fstat(f.fileno())
    size = info.st_size if stat.S_ISREG(info.st_mode) else None
    want = min(size, _WHOLE_READ) if size is not None else _FIRST_BLOCK
    data = b""
    while True:
        more = _read_up_to(f, want)
        at_end = len(more) < want
        data += more
        if at_end:
            limit: float = len(data)
        elif size is not None and size >= len(data):
            limit = size
        else:
            limit = math.inf
        r = Reader(data, size=limit)
        try:
            settings = r.settings()
        except _NeedMore:
            want = len(data)
            continue
        if r.pos < len(data) or (not at_end and _read_up_to(f, 1)):
            if limit != math.inf:
                r.finish()  # a regular file: says how many bytes follow
            raise _trailing(r.pos)
        return settings


def read_decoded(f):
    """The compiled decoder's own record of an open binary file where it is
    in use (it writes the text form itself, without Python records), else
    read_settings(f)."""
    if _native is not None:
        return _native.decode(f.fileno(), CLASSES)
    return read_settings(f)


def _read_up_to(f, n: int) -> bytes:
    """n bytes, or fewer only at the end of the input (a raw file or a pipe
    may return less from one read)."""
    parts = []
    while n > 0:
        chunk = f.read(n)
        if not chunk:
            break
        parts.append(chunk)
        n -= len(chunk)
    return b"".join(parts)


def load(path: str | os.PathLike) -> Settings:
    """Read and decode a protocol file.

    Raises VexaFormatError (a ValueError) when the file is not exactly one
    protocol record, and OSError when it cannot be read.
    """
    with open(path, "rb") as f:
        return read_settings(f)


def _samples_from_bytes(raw: bytes):
    np = samples_type()
    if np is None:
        out = array("h")
        out.frombytes(raw)
        return out
    return np.frombuffer(raw, dtype=np.int16)  # read-only: bytes do not change


# What the compiled decoder builds its records with, by type name.
CLASSES: dict[str, Any] = {
    cls.__name__: cls
    for cls in (
        Settings, MachineConfig, Coil, LCSetting, ChannelSettings, SignalSourceSelection,
        ConstantSignalParams, SineSignalParams, RampSignalParams, MixedSignalParams, ArbitrarySignalParams,
        Constant, Sine, Ramp, MixedSignal, Arbitrary,
    )
}
CLASSES["samples"] = _samples_from_bytes
CLASSES["VexaFormatError"] = VexaFormatError

try:
    from . import _native  # type: ignore[attr-defined]
except ImportError:
    _native = None
if os.environ.get("VEXAFILE_PURE_PYTHON"):
    _native = None
