"""Decoder of the postcard wire format as used by .vexa protocol files."""

from __future__ import annotations

import math
import os
import stat
import struct
from array import array

from ._records import (
    Arbitrary,
    ArbitrarySignalParams,
    ChannelSettings,
    Coil,
    Constant,
    ConstantSignalParams,
    LCSetting,
    MachineConfig,
    MixedSignal,
    MixedSignalParams,
    Ramp,
    RampSignalParams,
    Settings,
    SignalSourceSelection,
    Sine,
    SineSignalParams,
)

__all__ = ["VexaFormatError", "Reader", "load", "loads"]

_F64 = struct.Struct("<d")

# Smallest encoded size of one element, used to refuse a count that the
# remaining bytes cannot hold before anything is allocated.
_MIN_LC_SETTING = 8 + 8 + 1 + 1
_MIN_COIL = 1 + 8 + 8 + 8 + 1
_MIN_SIGNAL = 2  # Arbitrary with no samples

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
        return LCSetting(
            capacitance=self.f64("capacitance"),
            carrier_frequency=self.f64("carrier_frequency"),
            clk_ticks_per_sample=self.varint("clk_ticks_per_sample"),
            capacitor_bank_setting=self.varint("capacitor_bank_setting"),
        )

    def coil(self) -> Coil:
        """One Coil record (the machine's coil, with its tunings)."""
        name = self.string("coil name")
        inductance = self.f64("coil inductance")
        max_current = self.f64("coil max_current")
        max_carrier_frequency = self.f64("coil max_carrier_frequency")
        n = self.count("coil settings", _MIN_LC_SETTING)
        settings = tuple(self.lc_setting() for _ in range(n))
        return Coil(name, inductance, max_current, max_carrier_frequency, settings)

    def machine_config(self) -> MachineConfig:
        """One MachineConfig record."""
        supply_voltage = self.f64("supply_voltage")
        num_coils = self.varint("num_coils")
        n = self.count("coils", _MIN_COIL)
        coils = tuple(self.coil() for _ in range(n))
        return MachineConfig(
            supply_voltage=supply_voltage,
            num_coils=num_coils,
            coils=coils,
            capacitors=self.f64_seq("capacitors"),
            possible_capacitances=self.f64_seq("possible_capacitances"),
            num_external_signal_sources=self.varint("num_external_signal_sources"),
            smbus_psu_connected=self.boolean("smbus_psu_connected"),
            num_temperature_sensors=self.varint("num_temperature_sensors"),
            num_flow_rate_sensors=self.varint("num_flow_rate_sensors"),
            safety_checks_enabled=self.boolean("safety_checks_enabled"),
            max_intensity_setpoint=self.f64("max_intensity_setpoint"),
            max_current=self.f64("max_current"),
            max_carrier_frequency=self.f64("max_carrier_frequency"),
            max_temperature=self.f64("max_temperature"),
            min_flowrate=self.f64("min_flowrate"),
            max_power=self.f64("max_power"),
        )

    def source_selection(self, what: str = "source") -> SignalSourceSelection:
        """One SignalSourceSelection record; `what` names it in errors."""
        return SignalSourceSelection(
            internal=self.varint(f"{what} internal"),
            external=self.varint(f"{what} external"),
            external_selected=self.boolean(f"{what} external_selected"),
        )

    def channel_settings(self, what: str = "channel") -> ChannelSettings:
        """One ChannelSettings record; `what` names it in errors."""
        return ChannelSettings(
            enabled=self.boolean(f"{what} enabled"),
            amplitude1_source=self.source_selection(f"{what} amplitude1_source"),
            amplitude2_source=self.source_selection(f"{what} amplitude2_source"),
            modulation_source=self.source_selection(f"{what} modulation_source"),
            coil_idx=self.varint(f"{what} coil_idx"),
            coil_setting_idx=self.varint(f"{what} coil_setting_idx"),
        )

    def signal(self):
        """One signal: its variant index (0 to 4), then its parameter record."""
        start = self.pos
        index = self.varint("signal variant index")
        f = self.f64
        if index == 0:
            return Constant(ConstantSignalParams(f("Constant value")))
        if index == 1:
            return Sine(
                SineSignalParams(f("Sine amplitude"), f("Sine frequency"), f("Sine phase"), f("Sine depth"))
            )
        if index == 2:
            return Ramp(RampSignalParams(f("Ramp peak"), f("Ramp up_duration"), f("Ramp down_duration")))
        if index == 3:
            return MixedSignal(MixedSignalParams(self.varint("MixedSignal a_idx"), self.varint("MixedSignal b_idx")))
        if index == 4:
            n = self.count("Arbitrary samples", 1)
            return Arbitrary(ArbitrarySignalParams(as_samples(self._samples(n, "Arbitrary sample"))))
        raise VexaFormatError(
            "bad_enum", start, f"unknown signal variant {index}, expected 0 to 4"
        )

    def signals(self) -> tuple:
        """The signal list: a varint count, then the signals."""
        n = self.count("signals", _MIN_SIGNAL)
        return tuple(self.signal() for _ in range(n))

    def settings(self) -> Settings:
        """One whole Settings record (call finish() to refuse trailing bytes)."""
        return Settings(
            running_on_target_machine=self.boolean("running_on_target_machine"),
            machine_config=self.machine_config(),
            intensity=self.f64("intensity"),
            session_duration=self.f64("session_duration"),
            signals=self.signals(),
            channel_a_settings=self.channel_settings("channel_a_settings"),
            channel_b_settings=self.channel_settings("channel_b_settings"),
            monitor_trace_visible=tuple(
                self.boolean(f"monitor_trace_visible[{i}]") for i in range(16)
            ),
            monitor_subsampling_factor=self.varint("monitor_subsampling_factor"),
        )

    def finish(self) -> None:
        """Refuse bytes left after the decoded value."""
        left = self.size - self.pos
        if left:
            raise VexaFormatError(
                "trailing_bytes",
                self.pos,
                f"{left} trailing byte{'s' if left != 1 else ''} after the end of the record",
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
CLASSES = {
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
