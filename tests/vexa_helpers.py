"""Shared data and helpers for the vexafile and save tests.

Expected bytes and texts are the worked examples of the file format and of
the text form, written out by hand.
"""

from __future__ import annotations

import dataclasses

import pytest

import vexafile as vf

# The 213-byte example file: (offset, hex, field) rows.
EXAMPLE_213_ROWS = [
    (0, "00", "running_on_target_machine false"),
    (1, "00 00 00 00 00 00 48 40", "supply_voltage 48.0"),
    (9, "01", "num_coils 1"),
    (10, "01", "coils: count 1"),
    (11, "02 41 31", "coil name A1"),
    (14, "00 00 00 00 00 00 d0 3f", "coil inductance 0.25"),
    (22, "00 00 00 00 00 00 20 40", "coil max_current 8.0"),
    (30, "00 00 00 00 00 40 9f 40", "coil max_carrier_frequency 2000.0"),
    (38, "01", "coil settings: count 1"),
    (39, "00 00 00 00 00 00 c0 3f", "capacitance 0.125"),
    (47, "00 00 00 00 00 40 8f 40", "carrier_frequency 1000.0"),
    (55, "c8 01", "clk_ticks_per_sample 200"),
    (57, "05", "capacitor_bank_setting 5"),
    (58, "01 00 00 00 00 00 00 c0 3f", "capacitors [0.125]"),
    (67, "00", "possible_capacitances []"),
    (68, "02", "num_external_signal_sources 2"),
    (69, "01", "smbus_psu_connected true"),
    (70, "04", "num_temperature_sensors 4"),
    (71, "01", "num_flow_rate_sensors 1"),
    (72, "01", "safety_checks_enabled true"),
    (73, "00 00 00 00 00 00 f0 3f", "max_intensity_setpoint 1.0"),
    (81, "00 00 00 00 00 00 20 40", "max_current 8.0"),
    (89, "00 00 00 00 00 40 9f 40", "max_carrier_frequency 2000.0"),
    (97, "00 00 00 00 00 00 44 40", "max_temperature 40.0"),
    (105, "00 00 00 00 00 00 e0 3f", "min_flowrate 0.5"),
    (113, "00 00 00 00 00 00 59 40", "max_power 100.0"),
    (121, "00 00 00 00 00 00 e0 3f", "intensity 0.5"),
    (129, "00 00 00 00 00 00 4e 40", "session_duration 60.0"),
    (137, "01", "signals: count 1"),
    (138, "01", "Sine"),
    (
        139,
        "00 00 00 00 00 00 f0 3f 00 00 00 00 00 00 24 40"
        " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 e0 3f",
        "amplitude 1.0, frequency 10.0, phase 0.0, depth 0.5",
    ),
    (171, "01", "channel A enabled"),
    (172, "00 00 00", "A amplitude1_source"),
    (175, "00 00 00", "A amplitude2_source"),
    (178, "00 01 01", "A modulation_source: external 1"),
    (181, "00 00", "A coil_idx, coil_setting_idx"),
    (183, "00", "channel B disabled"),
    (184, "00 00 00 00 00 00 00 00 00", "B sources"),
    (193, "00 00", "B coil_idx, coil_setting_idx"),
    (195, "01 01" + " 00" * 14, "monitor_trace_visible"),
    (211, "ac 02", "monitor_subsampling_factor 300"),
]
EXAMPLE_213 = bytes.fromhex(" ".join(h for _, h, _ in EXAMPLE_213_ROWS))

# A new Protocol() saved at once, VEXA_TARGET_MACHINE unset.
DEFAULT_201 = bytes.fromhex(
    "00 00 00 00 00 00 00 54 40 02 01 07 44 65 66 61"
    "75 6c 74 00 00 00 00 00 c0 62 40 9a 99 99 99 99"
    "99 b9 3f 00 00 00 00 00 00 44 40 01 00 00 00 00"
    "00 a0 74 40 ef da 9f ee da 9f 36 40 dd 01 01 01"
    "00 00 00 00 00 a0 74 40 01 00 00 00 00 00 a0 74"
    "40 06 00 00 00 01 33 33 33 33 33 33 d3 3f 00 00"
    "00 00 00 00 e0 3f 00 00 00 00 00 00 44 40 00 00"
    "00 00 00 00 44 40 00 00 00 00 00 80 51 40 00 00"
    "00 00 00 40 80 40 00 00 00 00 00 00 00 00 00 00"
    "00 00 00 00 4e 40 01 00 00 00 00 00 00 00 00 00"
    "01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
    "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
    "00 00 00 00 00 00 00 00 01"
)
# Field offsets inside DEFAULT_201.
DEFAULT_SIGNAL_COUNT_OFFSET = 150
DEFAULT_CHANNEL_A_OFFSET = 160
DEFAULT_MONITOR_OFFSET = 184

DEFAULT_TEXT = "\n".join(
    [
        "Protocol {",
        "    settings: Settings {",
        "        running_on_target_machine: false,",
        "        machine_config: MachineConfig {",
        "            supply_voltage: 80.0,",
        "            num_coils: 2,",
        "            coils: [",
        "                Coil {",
        '                    name: "Default",',
        "                    inductance: 150.0,",
        "                    max_current: 0.1,",
        "                    max_carrier_frequency: 40.0,",
        "                    settings: [",
        "                        LCSetting {",
        "                            capacitance: 330.0,",
        "                            carrier_frequency: 22.624434389140273,",
        "                            clk_ticks_per_sample: 221,",
        "                            capacitor_bank_setting: 1,",
        "                        },",
        "                    ],",
        "                },",
        "            ],",
        "            capacitors: [",
        "                330.0,",
        "            ],",
        "            possible_capacitances: [",
        "                330.0,",
        "            ],",
        "            num_external_signal_sources: 6,",
        "            smbus_psu_connected: false,",
        "            num_temperature_sensors: 0,",
        "            num_flow_rate_sensors: 0,",
        "            safety_checks_enabled: true,",
        "            max_intensity_setpoint: 0.3,",
        "            max_current: 0.5,",
        "            max_carrier_frequency: 40.0,",
        "            max_temperature: 40.0,",
        "            min_flowrate: 70.0,",
        "            max_power: 520.0,",
        "        },",
        "        intensity: 0.0,",
        "        session_duration: 60.0,",
        "        signals: [],",
        "        channel_a_settings: ChannelSettings {",
        "            enabled: true,",
        "            amplitude1_source: SignalSourceSelection {",
        "                internal: 0,",
        "                external: 0,",
        "                external_selected: false,",
        "            },",
        "            amplitude2_source: SignalSourceSelection {",
        "                internal: 0,",
        "                external: 0,",
        "                external_selected: false,",
        "            },",
        "            modulation_source: SignalSourceSelection {",
        "                internal: 0,",
        "                external: 0,",
        "                external_selected: false,",
        "            },",
        "            coil_idx: 0,",
        "            coil_setting_idx: 0,",
        "        },",
        "        channel_b_settings: ChannelSettings {",
        "            enabled: false,",
        "            amplitude1_source: SignalSourceSelection {",
        "                internal: 0,",
        "                external: 0,",
        "                external_selected: false,",
        "            },",
        "            amplitude2_source: SignalSourceSelection {",
        "                internal: 0,",
        "                external: 0,",
        "                external_selected: false,",
        "            },",
        "            modulation_source: SignalSourceSelection {",
        "                internal: 0,",
        "                external: 0,",
        "                external_selected: false,",
        "            },",
        "            coil_idx: 0,",
        "            coil_setting_idx: 0,",
        "        },",
        "        monitor_trace_visible: [",
        *["            false,"] * 16,
        "        ],",
        "        monitor_subsampling_factor: 1,",
        "    },",
        "}",
    ]
)

EMPTY_SIGNALS_LINE = "        signals: [],"

# A Constant 0.5 then a Sine 1.0/10.0 with default phase and depth.
SIGNALS_EXAMPLE_TEXT = """\
        signals: [
            Constant(
                ConstantSignalParams {
                    value: 0.5,
                },
            ),
            Sine(
                SineSignalParams {
                    amplitude: 1.0,
                    frequency: 10.0,
                    phase: 0.0,
                    depth: 1.0,
                },
            ),
        ],"""

CONSTANT_ZERO_TEXT = """\
        signals: [
            Constant(
                ConstantSignalParams {
                    value: 0.0,
                },
            ),
        ],"""


def text_with_signals(signals_block: str, *, running: bool = False) -> str:
    """The default text with its signals line replaced by `signals_block`."""
    text = DEFAULT_TEXT.replace(EMPTY_SIGNALS_LINE, signals_block)
    if running:
        text = text.replace(
            "running_on_target_machine: false,", "running_on_target_machine: true,", 1
        )
    return text


def source(internal=0, external=0, external_selected=False):
    return vf.SignalSourceSelection(internal, external, external_selected)


def channel(enabled, a1=None, a2=None, mod=None, coil_idx=0, coil_setting_idx=0):
    return vf.ChannelSettings(
        enabled, a1 or source(), a2 or source(), mod or source(), coil_idx, coil_setting_idx
    )


DEFAULT_MACHINE = vf.MachineConfig(
    supply_voltage=80.0,
    num_coils=2,
    coils=(
        vf.Coil(
            name="Default",
            inductance=150.0,
            max_current=0.1,
            max_carrier_frequency=40.0,
            settings=(vf.LCSetting(330.0, 22.624434389140273, 221, 1),),
        ),
    ),
    capacitors=(330.0,),
    possible_capacitances=(330.0,),
    num_external_signal_sources=6,
    smbus_psu_connected=False,
    num_temperature_sensors=0,
    num_flow_rate_sensors=0,
    safety_checks_enabled=True,
    max_intensity_setpoint=0.3,
    max_current=0.5,
    max_carrier_frequency=40.0,
    max_temperature=40.0,
    min_flowrate=70.0,
    max_power=520.0,
)


def constant(value):
    return vf.Constant(vf.ConstantSignalParams(value))


def sine(amplitude, frequency, phase, depth):
    return vf.Sine(vf.SineSignalParams(amplitude, frequency, phase, depth))


def ramp(peak, up, down):
    return vf.Ramp(vf.RampSignalParams(peak, up, down))


def mixed(a, b):
    return vf.MixedSignal(vf.MixedSignalParams(a, b))


def arbitrary(samples):
    from array import array

    return vf.Arbitrary(vf.ArbitrarySignalParams(array("h", samples)))


def default_settings(signals=(), **changes) -> vf.Settings:
    """The record of a new Protocol() (no signals unless given)."""
    base = vf.Settings(
        running_on_target_machine=False,
        machine_config=DEFAULT_MACHINE,
        intensity=0.0,
        session_duration=60.0,
        signals=tuple(signals),
        channel_a_settings=channel(True),
        channel_b_settings=channel(False),
        monitor_trace_visible=(False,) * 16,
        monitor_subsampling_factor=1,
    )
    return dataclasses.replace(base, **changes)


UNWRAP = "called `Result::unwrap()` on an `Err` value: "
SUFFIX_PANIC = 'assertion failed: filepath.ends_with(".vexa")'


def raises_panic(fn, *args, **kwargs) -> str:
    """Call fn, which must raise PanicException; return its single argument."""
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    e = info.value
    assert type(e).__name__ == "PanicException", repr(e)
    assert not isinstance(e, Exception)
    assert len(e.args) == 1 and isinstance(e.args[0], str), e.args
    return e.args[0]


# --- a small encoder, written straight from the wire rules, to build test files


def enc_varint(n: int) -> bytes:
    out = bytearray()
    while n >= 0x80:
        out.append((n & 0x7F) | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def enc_sample(n: int) -> bytes:
    return enc_varint(((n << 1) ^ (n >> 15)) & 0xFFFF)


def _enc(v, out: bytearray) -> None:
    import struct
    from array import array

    if isinstance(v, bool):
        out.append(1 if v else 0)
    elif isinstance(v, int):
        out += enc_varint(v)
    elif isinstance(v, float):
        out += struct.pack("<d", v)
    elif isinstance(v, str):
        raw = v.encode("utf-8")
        out += enc_varint(len(raw)) + raw
    elif isinstance(v, array) or hasattr(v, "dtype"):  # samples
        out += enc_varint(len(v))
        for s in v.tolist():
            out += enc_sample(s)
    elif isinstance(v, vf.Signal):
        out += enc_varint(v.variant_index)
        _enc(v.params, out)
    elif dataclasses.is_dataclass(v):
        for f in dataclasses.fields(v):
            if f.name == "monitor_trace_visible":  # fixed array: no count
                out += bytes(1 if b else 0 for b in getattr(v, f.name))
            else:
                _enc(getattr(v, f.name), out)
    elif isinstance(v, tuple):
        out += enc_varint(len(v))
        for item in v:
            _enc(item, out)
    else:
        raise TypeError(type(v))


def encode(record) -> bytes:
    out = bytearray()
    _enc(record, out)
    return bytes(out)


def plain(v):
    """A vexafile record in the shape the independent decoder returns."""
    if isinstance(v, vf.Signal):
        return {type(v).__name__: plain(v.params)}
    if dataclasses.is_dataclass(v):
        return {f.name: plain(getattr(v, f.name)) for f in dataclasses.fields(v)}
    if isinstance(v, (tuple, list)):
        return [plain(x) for x in v]
    if hasattr(v, "tolist"):  # array('h') or a NumPy array of samples
        return [int(x) for x in v.tolist()]
    return v


def record_classes() -> dict[str, type]:
    """The record dataclasses that vexafile exports, by name; the signal
    variants, which wrap a parameter record, are not records of their own,
    and the decoder's own helpers (field shapes) are not exported."""
    from vexafile import _records

    return {
        name: cls
        for name in _records.__all__
        if isinstance(cls := getattr(_records, name), type) and dataclasses.is_dataclass(cls)
        and not issubclass(cls, _records.Signal)
    }


def native_classes() -> dict:
    """What vexafile._native builds records with (its `classes` argument),
    made from the records alone."""
    from array import array

    from vexafile import _records

    made = {cls.__name__: cls for cls in [*record_classes().values(), *_records.SIGNAL_VARIANTS]}
    made["samples"] = lambda raw: array("h", raw)
    made["VexaFormatError"] = vf.VexaFormatError
    return made
