"""What pyvexa's setters accept and compute, for the tools that check,
rebuild and draw saved protocols."""

from __future__ import annotations

import math

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


def num_samples(duration: float) -> int | None:
    """The session's sample count as get_num_samples() computes it (the
    ceiling of duration * 5000.0 in double precision), or None where it has
    none: a duration not above 0, or one whose product is not finite."""
    product = duration * SAMPLING_RATE
    return math.ceil(product) if math.isfinite(product) and product > 0 else None
