"""What pyvexa's setters accept and compute, for the tools that check,
rebuild and draw saved protocols."""

from __future__ import annotations

import math
from dataclasses import dataclass

SAMPLING_RATE = 5000.0
MIN_SESSION_DURATION = 0.01
MAX_SESSION_DURATION = 1800.0
MIN_INTENSITY = 0.0
MAX_INTENSITY = 1.0
# An arbitrary signal's fraction 1.0 is stored as this sample.
FULL_SCALE = 32767
U64_LIMIT = 1 << 64

CHANNEL_FIELDS = ("channel_a_settings", "channel_b_settings")
SOURCE_FIELDS = ("amplitude1_source", "amplitude2_source", "modulation_source")
# The letter of each channel in CHANNEL_FIELDS, as pyvexa.Channel names it.
CHANNEL_LETTERS = ("A", "B")


@dataclass(frozen=True)
class Role:
    """What one source of one channel drives: a coil (`coil` as pyvexa.Coil
    names it: "A1" to "B2") or, where `coil` is None, the channel's modulation."""

    channel: str  # field of Settings
    letter: str  # of the channel
    source: str  # field of ChannelSettings
    coil: str | None

    @property
    def name(self) -> str:
        return self.coil or "modulation"


# Every source of both channels, in field order.
ROLES = tuple(
    Role(channel, letter, source, f"{letter}{number}" if number else None)
    for channel, letter in zip(CHANNEL_FIELDS, CHANNEL_LETTERS)
    for source, number in zip(SOURCE_FIELDS, (1, 2, None))
)


def num_samples(duration: float) -> int | None:
    """The session's sample count as get_num_samples() computes it (the
    ceiling of duration * 5000.0 in double precision), or None where it has
    none: a duration not above 0, or one whose product is not finite."""
    product = duration * SAMPLING_RATE
    return math.ceil(product) if math.isfinite(product) and product > 0 else None


def stored_sample(fraction: float) -> int:
    """The sample add_arbitrary_signal stores for a fraction from 0.0 to 1.0:
    the product with FULL_SCALE truncated, then raised by one where the rest
    is at least one half (in double precision, as the module computes it)."""
    scaled = fraction * FULL_SCALE
    whole = int(scaled)
    return whole + ((scaled - whole) >= 0.5)
