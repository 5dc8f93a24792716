"""What a protocol puts in force: the channels that are enabled, the
signals their internal sources reach (through mixed signals too), and the
external inputs they select. check, the builder's warnings, the limits and
the report all ask this one question."""

from __future__ import annotations

from dataclasses import dataclass

from ._model import CHANNEL_FIELDS, SOURCE_FIELDS
from ._records import ChannelSettings, MixedSignal, Settings, SignalSourceSelection


def sources_of(channel: ChannelSettings) -> list[tuple[str, SignalSourceSelection]]:
    """A channel's source fields with their selections, in field order."""
    return [(field, getattr(channel, field)) for field in SOURCE_FIELDS]


def internal_signals(selections) -> list[int]:
    """The signal positions named by those of `selections` not set to an
    external input, unchecked."""
    return [sel.internal for sel in selections if not sel.external_selected]


class SignalGraph:
    """Mixed signals as edges to their operands; operands that name no
    signal are left out (they are reported on their own)."""

    def __init__(self, signals) -> None:
        n = len(signals)
        self.signals = signals
        self.size = n
        self.operands: list[tuple[int, ...]] = [
            tuple(i for i in (s.params.a_idx, s.params.b_idx) if i < n) if isinstance(s, MixedSignal) else ()
            for s in signals
        ]

    def walk(self, roots) -> tuple[list[int], bytearray]:
        """What `roots` reach through mixed signals: the positions in order
        of discovery (breadth first, each once, those that name no signal
        included, since a plot names them) and one flag per signal."""
        signals, n = self.signals, self.size
        seen = bytearray(n)
        missing: set[int] = set()
        order: list[int] = []
        todo = list(roots)
        for i in todo:  # breadth first; the list grows while it is walked
            if i < n:
                if seen[i]:
                    continue
                seen[i] = 1
                sig = signals[i]
                if isinstance(sig, MixedSignal):
                    todo += (sig.params.a_idx, sig.params.b_idx)
            elif i in missing:
                continue
            else:
                missing.add(i)
            order.append(i)
        return order, seen

    def reach(self, roots) -> bytearray:
        """Flags of the signals reached from `roots` through mixed signals."""
        return self.walk(roots)[1]

    def cycles(self) -> list[list[int]]:
        """Strongly connected groups of mixed signals that hold a cycle, each
        sorted, in the order of their smallest signal (Tarjan, without
        recursion: a chain can be millions of signals long)."""
        operands = self.operands
        order = [-1] * self.size
        low = [0] * self.size
        on_stack = bytearray(self.size)
        stack: list[int] = []
        found: list[list[int]] = []
        counter = 0
        for root in range(self.size):
            if order[root] != -1 or not operands[root]:
                continue
            order[root] = low[root] = counter
            counter += 1
            stack.append(root)
            on_stack[root] = 1
            work = [(root, 0)]
            while work:
                v, k = work[-1]
                if k < len(operands[v]):
                    work[-1] = (v, k + 1)
                    w = operands[v][k]
                    if order[w] == -1:
                        order[w] = low[w] = counter
                        counter += 1
                        stack.append(w)
                        on_stack[w] = 1
                        work.append((w, 0))
                    elif on_stack[w]:
                        low[v] = min(low[v], order[w])
                    continue
                work.pop()
                if work:
                    parent = work[-1][0]
                    low[parent] = min(low[parent], low[v])
                if low[v] == order[v]:
                    group = []
                    while True:
                        w = stack.pop()
                        on_stack[w] = 0
                        group.append(w)
                        if w == v:
                            break
                    if len(group) > 1 or v in operands[v]:
                        found.append(sorted(group))
        found.sort()
        return found

    def loop_through(self, start: int, group: list[int]) -> list[int]:
        """A shortest way from `start` back to itself inside `group`; in a
        group of several, one through another member even where `start`
        also mixes itself, so that the way shows how the group closes."""
        inside = set(group)
        came_from = {start: -1}
        todo = [start]
        for v in todo:  # breadth first; the list grows while it is walked
            for w in self.operands[v]:
                if w == start and (v != start or len(group) == 1):
                    way = [v]
                    while came_from[way[-1]] != -1:
                        way.append(came_from[way[-1]])
                    return [*reversed(way), start]
                if w in inside and w not in came_from:
                    came_from[w] = v
                    todo.append(w)
        raise AssertionError("a strongly connected group without a cycle")


@dataclass(frozen=True)
class InForce:
    """channels: the enabled channels' field names, in field order.
    roots: the internal signal indices their sources select (unchecked).
    signals: one flag per signal, set where an enabled source reaches it.
    external_inputs: (channel field, source field, input number) of each
    external source of an enabled channel."""

    channels: tuple[str, ...]
    roots: list[int]
    signals: bytearray
    external_inputs: tuple[tuple[str, str, int], ...]
    graph: SignalGraph

    def reaches(self, index: int) -> bool:
        return 0 <= index < len(self.signals) and bool(self.signals[index])


def in_force(settings: Settings, graph: SignalGraph | None = None) -> InForce:
    graph = graph or SignalGraph(settings.signals)
    channels, roots, external = [], [], []
    for name in CHANNEL_FIELDS:
        channel: ChannelSettings = getattr(settings, name)
        if not channel.enabled:
            continue
        channels.append(name)
        for field, sel in sources_of(channel):
            if sel.external_selected:
                external.append((name, field, sel.external))
            else:
                roots.append(sel.internal)
    return InForce(tuple(channels), roots, graph.reach(roots), tuple(external), graph)
