"""A strict decoder of protocol files for checking the writer.

Written from the postcard rules and the record tables alone: it imports
nothing of pyvexa or vexafile, so a fault shared by the writer and the reader
(a field out of order, a wrong width) still shows here. Records decode to
dicts keyed by field name, a signal to {"Variant": {params}}, samples to a
list of ints. It is stricter than a reader needs to be: a varint must be in
its shortest form, as the writer always writes it.
"""

from __future__ import annotations

import struct

F64, U64, BOOL, STR = "f64", "u64", "bool", "str"


def seq(element):
    return ("seq", element)


LC_SETTING = [
    ("capacitance", F64),
    ("carrier_frequency", F64),
    ("clk_ticks_per_sample", U64),
    ("capacitor_bank_setting", U64),
]
COIL = [
    ("name", STR),
    ("inductance", F64),
    ("max_current", F64),
    ("max_carrier_frequency", F64),
    ("settings", seq(LC_SETTING)),
]
MACHINE_CONFIG = [
    ("supply_voltage", F64),
    ("num_coils", U64),
    ("coils", seq(COIL)),
    ("capacitors", seq(F64)),
    ("possible_capacitances", seq(F64)),
    ("num_external_signal_sources", U64),
    ("smbus_psu_connected", BOOL),
    ("num_temperature_sensors", U64),
    ("num_flow_rate_sensors", U64),
    ("safety_checks_enabled", BOOL),
    ("max_intensity_setpoint", F64),
    ("max_current", F64),
    ("max_carrier_frequency", F64),
    ("max_temperature", F64),
    ("min_flowrate", F64),
    ("max_power", F64),
]
SOURCE = [("internal", U64), ("external", U64), ("external_selected", BOOL)]
CHANNEL = [
    ("enabled", BOOL),
    ("amplitude1_source", SOURCE),
    ("amplitude2_source", SOURCE),
    ("modulation_source", SOURCE),
    ("coil_idx", U64),
    ("coil_setting_idx", U64),
]
SIGNAL_VARIANTS = [
    ("Constant", [("value", F64)]),
    ("Sine", [("amplitude", F64), ("frequency", F64), ("phase", F64), ("depth", F64)]),
    ("Ramp", [("peak", F64), ("up_duration", F64), ("down_duration", F64)]),
    ("MixedSignal", [("a_idx", U64), ("b_idx", U64)]),
    ("Arbitrary", [("samples", "samples")]),
]
SETTINGS = [
    ("running_on_target_machine", BOOL),
    ("machine_config", MACHINE_CONFIG),
    ("intensity", F64),
    ("session_duration", F64),
    ("signals", seq("signal")),
    ("channel_a_settings", CHANNEL),
    ("channel_b_settings", CHANNEL),
    ("monitor_trace_visible", ("array", BOOL, 16)),
    ("monitor_subsampling_factor", U64),
]


class OracleError(ValueError):
    pass


class _Cursor:
    def __init__(self, data: bytes):
        self.data = data
        self.pos = 0

    def take(self, n: int) -> bytes:
        if self.pos + n > len(self.data):
            raise OracleError(f"data ends at {len(self.data)}, {n} bytes needed at {self.pos}")
        chunk = self.data[self.pos : self.pos + n]
        self.pos += n
        return chunk

    def varint(self, limit_bits: int = 64) -> int:
        start, value, shift = self.pos, 0, 0
        while True:
            byte = self.take(1)[0]
            value |= (byte & 0x7F) << shift
            shift += 7
            if byte < 0x80:
                break
        if value >= 1 << limit_bits:
            raise OracleError(f"varint at {start} exceeds {limit_bits} bits")
        if self.pos - start > 1 and byte == 0:
            raise OracleError(f"varint at {start} is not in its shortest form")
        return value

    def sample(self) -> int:
        # The one-byte case inline: a saved signal holds up to 9M samples.
        data, pos = self.data, self.pos
        if pos < len(data) and data[pos] < 0x80:
            self.pos = pos + 1
            z = data[pos]
        else:
            z = self.varint(16)
        return (z >> 1) ^ -(z & 1)

    def value(self, kind):
        if kind == F64:
            return struct.unpack("<d", self.take(8))[0]
        if kind == U64:
            return self.varint()
        if kind == BOOL:
            byte = self.take(1)[0]
            if byte > 1:
                raise OracleError(f"boolean byte {byte:#x} at {self.pos - 1}")
            return byte == 1
        if kind == STR:
            return self.take(self.varint()).decode("utf-8")
        if kind == "samples":
            return [self.sample() for _ in range(self.varint())]
        if kind == "signal":
            index = self.varint()
            if index >= len(SIGNAL_VARIANTS):
                raise OracleError(f"signal variant {index}")
            name, fields = SIGNAL_VARIANTS[index]
            return {name: self.value(fields)}
        if isinstance(kind, list):
            return {name: self.value(field) for name, field in kind}
        if kind[0] == "seq":
            return [self.value(kind[1]) for _ in range(self.varint())]
        if kind[0] == "array":
            return [self.value(kind[1]) for _ in range(kind[2])]
        raise TypeError(kind)


def decode(data: bytes) -> dict:
    """The Settings record of a whole file; refuses a short or long file."""
    cursor = _Cursor(bytes(data))
    settings = cursor.value(SETTINGS)
    if cursor.pos != len(cursor.data):
        raise OracleError(f"{len(cursor.data) - cursor.pos} bytes after the record")
    return settings


def assert_same(got, want, path: str = "settings") -> None:
    """Deep equality where floats compare bit for bit (NaN, -0.0)."""
    if isinstance(want, float):
        assert isinstance(got, float), f"{path}: {got!r} is not a float"
        assert struct.pack("<d", got) == struct.pack("<d", want), f"{path}: {got!r} != {want!r}"
    elif isinstance(want, dict):
        assert isinstance(got, dict) and list(got) == list(want), f"{path}: keys {list(got)} != {list(want)}"
        for key in want:
            assert_same(got[key], want[key], f"{path}.{key}")
    elif isinstance(want, list):
        assert isinstance(got, list) and len(got) == len(want), f"{path}: length {len(got)} != {len(want)}"
        for i, (g, w) in enumerate(zip(got, want)):
            assert_same(g, w, f"{path}[{i}]")
    else:
        assert type(got) is type(want) and got == want, f"{path}: {got!r} != {want!r}"
