"""Plain records of a protocol file, named and ordered as in the file."""

from __future__ import annotations

import functools
import struct
import typing
from array import array
from dataclasses import dataclass, fields, is_dataclass
from typing import Any, ClassVar, Union

__all__ = [
    "Settings",
    "MachineConfig",
    "Coil",
    "LCSetting",
    "ChannelSettings",
    "SignalSourceSelection",
    "ConstantSignalParams",
    "SineSignalParams",
    "RampSignalParams",
    "MixedSignalParams",
    "ArbitrarySignalParams",
    "Signal",
    "Constant",
    "Sine",
    "Ramp",
    "MixedSignal",
    "Arbitrary",
    "SIGNAL_VARIANTS",
]


@dataclass(frozen=True, slots=True)
class LCSetting:
    """One tuning of a coil with a bank capacitance.

    capacitance in nanofarads; carrier_frequency in kHz, as realised;
    clk_ticks_per_sample: ticks of the 160 MHz clock per carrier sample
    (32 carrier samples make a period); capacitor_bank_setting: 1-based
    position of the capacitance in the bank's candidate list.
    """

    capacitance: float
    carrier_frequency: float
    clk_ticks_per_sample: int
    capacitor_bank_setting: int


@dataclass(frozen=True, slots=True)
class Coil:
    """A coil of the machine with its usable tunings (not pyvexa.Coil, the output).

    inductance in microhenries, max_carrier_frequency in kHz; pyvexa writes
    `settings` in ascending carrier frequency.
    """

    name: str
    inductance: float
    max_current: float
    max_carrier_frequency: float
    settings: tuple[LCSetting, ...]


@dataclass(frozen=True, slots=True)
class MachineConfig:
    """The machine a protocol is meant for: supply, coils, capacitor bank, limits.

    Capacitances are in nanofarads and carrier frequencies in kHz; the other
    quantities carry no unit in the file. `num_coils` is stored as written and
    need not equal len(coils).
    """

    supply_voltage: float
    num_coils: int
    coils: tuple[Coil, ...]
    capacitors: tuple[float, ...]
    possible_capacitances: tuple[float, ...]
    num_external_signal_sources: int
    smbus_psu_connected: bool
    num_temperature_sensors: int
    num_flow_rate_sensors: int
    safety_checks_enabled: bool
    max_intensity_setpoint: float
    max_current: float
    max_carrier_frequency: float
    max_temperature: float
    min_flowrate: float
    max_power: float


@dataclass(frozen=True, slots=True)
class SignalSourceSelection:
    """What drives an amplitude or a modulation.

    `internal` is a position in Settings.signals, in force when
    `external_selected` is false; `external` an external input number, in
    force when it is true. Neither is checked against what exists.
    """

    internal: int
    external: int
    external_selected: bool


@dataclass(frozen=True, slots=True)
class ChannelSettings:
    """One output channel: whether it is on and what drives it.

    amplitude1_source and amplitude2_source drive the channel's first and
    second coil (A1, A2 or B1, B2); coil_idx is a position in
    MachineConfig.coils and coil_setting_idx one in that coil's settings.
    """

    enabled: bool
    amplitude1_source: SignalSourceSelection
    amplitude2_source: SignalSourceSelection
    modulation_source: SignalSourceSelection
    coil_idx: int
    coil_setting_idx: int


@dataclass(frozen=True, slots=True)
class ConstantSignalParams:
    """Parameters of a Constant signal: its value, as given."""

    value: float


@dataclass(frozen=True, slots=True)
class SineSignalParams:
    """Parameters of a Sine signal, as given; the machine gives them their units."""

    amplitude: float
    frequency: float
    phase: float
    depth: float


@dataclass(frozen=True, slots=True)
class RampSignalParams:
    """Parameters of a Ramp signal, as given; the machine gives them their units."""

    peak: float
    up_duration: float
    down_duration: float


@dataclass(frozen=True, slots=True)
class MixedSignalParams:
    """Parameters of a MixedSignal: positions of its two operands in Settings.signals, unchecked."""

    a_idx: int
    b_idx: int


def f64_bits(x: float) -> int:
    """The 64 bits that store a double. Two doubles are the same value when
    their bits are: a NaN only with a NaN of its payload, -0.0 not with 0.0."""
    return int.from_bytes(struct.pack("<d", x), "little")


def is_samples(v) -> bool:
    """Whether `v` holds samples: an array('h') or a NumPy array."""
    return isinstance(v, array) or hasattr(v, "dtype")


def sample_bytes(samples) -> bytes:
    """The samples as native-order int16 bytes, whatever holds them."""
    if getattr(samples, "typecode", None) == "h" or str(getattr(samples, "dtype", "")) == "int16":
        return samples.tobytes()
    return array("h", samples).tobytes()


@dataclass(frozen=True, slots=True)
class ArbitrarySignalParams:
    """Parameters of an Arbitrary signal: one int16 per sample, 0 to 32767 when written by pyvexa.

    Sample s of the array given to add_arbitrary_signal is stored as
    round(s * 32767.0), at 5000 samples per second.
    """

    # A NumPy int16 array when NumPy is installed, else array('h'): up to 9
    # million samples at 2 bytes each. Equality and hashing go by the sample
    # values, so records compare equal whichever of the two holds them.
    samples: Any

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, ArbitrarySignalParams):
            return NotImplemented
        return len(self.samples) == len(other.samples) and sample_bytes(self.samples) == sample_bytes(
            other.samples
        )

    def __hash__(self) -> int:
        return hash(sample_bytes(self.samples))


class Signal:
    """Base of the five signal variants; `params` holds the parameter record,
    of type `params_type`, and `variant_index` is the variant's number in a file."""

    __slots__ = ()
    params: Any
    variant_index: ClassVar[int]
    params_type: ClassVar[type]


@dataclass(frozen=True, slots=True)
class Constant(Signal):
    """Signal variant 0: a constant value."""

    params: ConstantSignalParams


@dataclass(frozen=True, slots=True)
class Sine(Signal):
    """Signal variant 1: a sine."""

    params: SineSignalParams


@dataclass(frozen=True, slots=True)
class Ramp(Signal):
    """Signal variant 2: a ramp up to a peak and down again."""

    params: RampSignalParams


@dataclass(frozen=True, slots=True)
class MixedSignal(Signal):
    """Signal variant 3: a mix of two other signals."""

    params: MixedSignalParams


@dataclass(frozen=True, slots=True)
class Arbitrary(Signal):
    """Signal variant 4: samples at 5000 per second."""

    params: ArbitrarySignalParams


# In the order of their variant index.
SIGNAL_VARIANTS: tuple[type[Signal], ...] = (Constant, Sine, Ramp, MixedSignal, Arbitrary)

for _index, _variant in enumerate(SIGNAL_VARIANTS):
    _variant.variant_index = _index
    _variant.params_type = typing.get_type_hints(_variant)["params"]
del _index, _variant

AnySignal = Union[Constant, Sine, Ramp, MixedSignal, Arbitrary]


@dataclass(frozen=True, slots=True)
class Settings:
    """The whole content of a .vexa file: one protocol.

    intensity is a fraction of full scale (0.0 to 1.0 when written by
    pyvexa) and session_duration in seconds (0.01 to 1800.0); signals are
    addressed by their position in `signals`; monitor_trace_visible holds
    16 flags.
    """

    running_on_target_machine: bool
    machine_config: MachineConfig
    intensity: float
    session_duration: float
    signals: tuple[AnySignal, ...]
    channel_a_settings: ChannelSettings
    channel_b_settings: ChannelSettings
    monitor_trace_visible: tuple[bool, ...]
    monitor_subsampling_factor: int

    def _repr_html_(self) -> str:
        """The summary and routing of the report, for notebooks."""
        from ._report import fragment

        return fragment(self)


# --- the shape of each field, derived from the declarations above ----------
#
# The decoder and the text parser both walk these, so that a new field is
# one line of a dataclass here. A shape is float, int (unsigned 64-bit),
# bool, str, SAMPLES, Signal (any variant), a record class, or a ListOf.

SAMPLES = "samples"  # an Arbitrary signal's int16 samples

# Lists of a fixed length, written without a count.
_FIXED_LENGTHS: dict[tuple[type, str], int] = {(Settings, "monitor_trace_visible"): 16}


@dataclass(frozen=True, slots=True)
class ListOf:
    """A list of `element`, with its count first unless `length` fixes it."""

    element: Any
    length: int | None


def _shape(owner: type, name: str, hint) -> Any:
    if hint in (float, int, bool, str):
        return hint
    if owner is ArbitrarySignalParams and name == "samples":
        return SAMPLES
    origin, args = typing.get_origin(hint), typing.get_args(hint)
    if origin is tuple:
        return ListOf(_shape(owner, name, args[0]), _FIXED_LENGTHS.get((owner, name)))
    if origin is Union and set(args) == set(SIGNAL_VARIANTS):
        return Signal
    if isinstance(hint, type) and is_dataclass(hint):
        return hint
    raise TypeError(f"no shape for {owner.__name__}.{name}: {hint!r}")


@functools.cache
def record_fields(cls: type) -> tuple[tuple[str, Any], ...]:
    """(name, shape) of each field of a record, in declaration order."""
    hints = typing.get_type_hints(cls)
    return tuple((f.name, _shape(cls, f.name, hints[f.name])) for f in fields(cls))
