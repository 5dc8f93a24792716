"""Plain records of a protocol file, named and ordered as in the file."""

from __future__ import annotations

from array import array
from dataclasses import dataclass
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
    capacitance: float
    carrier_frequency: float
    clk_ticks_per_sample: int
    capacitor_bank_setting: int


@dataclass(frozen=True, slots=True)
class Coil:
    name: str
    inductance: float
    max_current: float
    max_carrier_frequency: float
    settings: tuple[LCSetting, ...]


@dataclass(frozen=True, slots=True)
class MachineConfig:
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
    internal: int
    external: int
    external_selected: bool


@dataclass(frozen=True, slots=True)
class ChannelSettings:
    enabled: bool
    amplitude1_source: SignalSourceSelection
    amplitude2_source: SignalSourceSelection
    modulation_source: SignalSourceSelection
    coil_idx: int
    coil_setting_idx: int


@dataclass(frozen=True, slots=True)
class ConstantSignalParams:
    value: float


@dataclass(frozen=True, slots=True)
class SineSignalParams:
    amplitude: float
    frequency: float
    phase: float
    depth: float


@dataclass(frozen=True, slots=True)
class RampSignalParams:
    peak: float
    up_duration: float
    down_duration: float


@dataclass(frozen=True, slots=True)
class MixedSignalParams:
    a_idx: int
    b_idx: int


def sample_bytes(samples) -> bytes:
    """The samples as native-order int16 bytes, whatever holds them."""
    if getattr(samples, "typecode", None) == "h" or str(getattr(samples, "dtype", "")) == "int16":
        return samples.tobytes()
    return array("h", samples).tobytes()


@dataclass(frozen=True, slots=True)
class ArbitrarySignalParams:
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
    """Base of the five signal variants; `params` holds the parameter record."""

    __slots__ = ()
    params: Any
    variant_index: ClassVar[int]
    params_type: ClassVar[type]


@dataclass(frozen=True, slots=True)
class Constant(Signal):
    params: ConstantSignalParams
    variant_index: ClassVar[int] = 0
    params_type: ClassVar[type] = ConstantSignalParams


@dataclass(frozen=True, slots=True)
class Sine(Signal):
    params: SineSignalParams
    variant_index: ClassVar[int] = 1
    params_type: ClassVar[type] = SineSignalParams


@dataclass(frozen=True, slots=True)
class Ramp(Signal):
    params: RampSignalParams
    variant_index: ClassVar[int] = 2
    params_type: ClassVar[type] = RampSignalParams


@dataclass(frozen=True, slots=True)
class MixedSignal(Signal):
    params: MixedSignalParams
    variant_index: ClassVar[int] = 3
    params_type: ClassVar[type] = MixedSignalParams


@dataclass(frozen=True, slots=True)
class Arbitrary(Signal):
    params: ArbitrarySignalParams
    variant_index: ClassVar[int] = 4
    params_type: ClassVar[type] = ArbitrarySignalParams


SIGNAL_VARIANTS: tuple[type[Signal], ...] = (Constant, Sine, Ramp, MixedSignal, Arbitrary)

AnySignal = Union[Constant, Sine, Ramp, MixedSignal, Arbitrary]


@dataclass(frozen=True, slots=True)
class Settings:
    running_on_target_machine: bool
    machine_config: MachineConfig
    intensity: float
    session_duration: float
    signals: tuple[AnySignal, ...]
    channel_a_settings: ChannelSettings
    channel_b_settings: ChannelSettings
    monitor_trace_visible: tuple[bool, ...]
    monitor_subsampling_factor: int
