"""Draws from a seed that mean the same on every Python: SHA-256 of the
seed, a purpose and a counter, never the random module, whose sequences
may change between versions."""

from __future__ import annotations

import hashlib

_LABEL = b"vexafile seeded draws 1\0"
_WORD = 1 << 64


class Draws:
    """One stream of draws for one purpose ("codes", "block 3", ...)."""

    def __init__(self, seed: int, purpose: str):
        self._prefix = _LABEL + str(seed).encode() + b"\0" + purpose.encode() + b"\0"
        self._counter = 0

    def _word(self) -> int:
        digest = hashlib.sha256(self._prefix + self._counter.to_bytes(8, "big")).digest()
        self._counter += 1
        return int.from_bytes(digest[:8], "big")

    def below(self, n: int) -> int:
        """A uniform integer 0 to n - 1 (n from 1 to 2**64): words past the
        last whole multiple of n are drawn again, so no value is favoured."""
        if not 1 <= n <= _WORD:
            raise ValueError(f"cannot draw below {n}")
        limit = _WORD - _WORD % n
        while True:
            w = self._word()
            if w < limit:
                return w % n

    def shuffled(self, items: list) -> list:
        """A copy of items in an order drawn uniformly (Fisher-Yates)."""
        out = list(items)
        for i in range(len(out) - 1, 0, -1):
            j = self.below(i + 1)
            out[i], out[j] = out[j], out[i]
        return out
