"""Which condition each participant gets in which session: crossover orders
from a Williams design, and parallel groups, both drawn block by block so
that a participant's assignment never depends on how many come after."""

from __future__ import annotations

from ._seeded import Draws


def williams(n: int) -> list[list[int]]:
    """The orders of a Williams design of n conditions: every condition once
    in every session, and every condition followed by every other equally
    often. n rows for an even n; for an odd n the n rows and their mirrors."""
    first = [0]
    low, high = 1, n - 1
    while len(first) < n:
        first.append(low)
        low += 1
        if len(first) < n:
            first.append(high)
            high -= 1
    rows = [[(c + r) % n for c in first] for r in range(n)]
    if n % 2:
        rows += [row[::-1] for row in rows]
    return rows


def crossover(seed: int, conditions: int, participants: int) -> list[list[int]]:
    """Each participant's order of conditions: the design's rows in blocks,
    each block's row order shuffled by the seed."""
    rows = williams(conditions)
    return _in_blocks(seed, "crossover", rows, participants)


def parallel(seed: int, conditions: int, participants: int) -> list[list[int]]:
    """Each participant's one condition, in blocks of one of each, so that
    at every count the groups differ in size by one at most."""
    return _in_blocks(seed, "parallel", [[c] for c in range(conditions)], participants)


def _in_blocks(seed: int, design: str, rows: list[list[int]], participants: int) -> list[list[int]]:
    out: list[list[int]] = []
    block = 0
    while len(out) < participants:
        order = Draws(seed, f"{design} block {block}").shuffled(list(range(len(rows))))
        out.extend(rows[r] for r in order[: participants - len(out)])
        block += 1
    return out


DESIGNS = {"crossover": crossover, "parallel": parallel}
