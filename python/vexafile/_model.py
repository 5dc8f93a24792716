"""What pyvexa's setters accept and compute, for the tools that check,
rebuild and draw saved protocols."""

from __future__ import annotations

import math

SAMPLING_RATE = 5000.0
MIN_SESSION_DURATION = 0.01
MAX_SESSION_DURATION = 1800.0
# An arbitrary signal's fraction 1.0 is stored as this sample.
FULL_SCALE = 32767
U64_LIMIT = 1 << 64

CHANNEL_FIELDS = ("channel_a_settings", "channel_b_settings")
SOURCE_FIELDS = ("amplitude1_source", "amplitude2_source", "modulation_source")


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
