"""The routing of one channel as inline SVG: a box per source, an arrow to
each coil and to the modulation; a mix shows its two operands. A source
that names nothing is drawn red and dashed, a disabled channel grey."""

from __future__ import annotations

from html import escape

from ._plot_text import channel_roles, coil_line, describe, signal_at, source_label
from ._records import ChannelSettings, MixedSignal, Settings, SignalSourceSelection

WIDTH = 720
_HEAD = 30
_BOX_H = 38
_GAP = 10
_OPERAND_X, _OPERAND_W = 8, 220
_SOURCE_X, _SOURCE_W = 268, 236
_TARGET_X, _TARGET_W = 560, 150
# Characters of 11 px sans-serif that fit a box, by its width.
_CHAR_WIDTH = 6.2

_ON = {"ink": "#1f2933", "fill": "#eef4fb", "stroke": "#2a6fb0", "target": "#fdf3e1", "target_stroke": "#b7791f"}
_OFF = {"ink": "#8a8a8a", "fill": "#f2f2f2", "stroke": "#a0a0a0", "target": "#f2f2f2", "target_stroke": "#a0a0a0"}
_MISSING = "#b00000"


def _short(text: str, width: float) -> str:
    room = int((width - 16) / _CHAR_WIDTH)
    return text if len(text) <= room else text[: room - 1] + "\u2026"


def _box(x: float, y: float, w: float, lines: list[str], style: dict, *, fill: str, stroke: str,
         missing: bool = False, tip: str = "") -> str:
    colour = _MISSING if missing else stroke
    dash = ' stroke-dasharray="5 3"' if missing else ""
    ink = _MISSING if missing else style["ink"]
    bold = ' font-weight="bold"'
    text = "".join(
        f'<text x="{x + 8}" y="{y + 15 + 14 * k}" fill="{ink}"{bold if k == 0 else ""}>'
        f"{escape(line)}</text>" for k, line in enumerate(lines))
    title = f"<title>{escape(tip)}</title>" if tip else ""
    return (f'<g class="{"box missing" if missing else "box"}">{title}<rect x="{x}" y="{y}" width="{w}" '
            f'height="{_BOX_H}" rx="4" fill="{"#fff5f5" if missing else fill}" stroke="{colour}" '
            f'stroke-width="1.2"{dash}/>{text}</g>')


def _arrow(x1: float, y1: float, x2: float, y2: float, colour: str) -> str:
    head = f"{x2},{y2} {x2 - 8},{y2 - 4} {x2 - 8},{y2 + 4}"
    return (f'<line x1="{x1}" y1="{y1}" x2="{x2 - 7}" y2="{y2}" stroke="{colour}" stroke-width="1.4"/>'
            f'<polygon points="{head}" fill="{colour}"/>')


def _signal_lines(settings: Settings, index: int, width: float) -> tuple[list[str], bool, str]:
    """Title, detail, whether it names nothing, and the whole description."""
    sig = signal_at(settings, index)
    if sig is None:
        return [f"signal {index}", "missing: no such signal"], True, f"signal {index} names no signal"
    whole = describe(settings, index)
    detail = whole.split(": ", 1)[1]
    return [f"signal {index}", _short(detail, width)], False, whole


def _source_lines(settings: Settings, sel: SignalSourceSelection, width: float) -> tuple[list[str], bool, str]:
    if not sel.external_selected:
        return _signal_lines(settings, sel.internal, width)
    inputs = settings.machine_config.num_external_signal_sources
    if sel.external >= inputs:
        return ([f"external input {sel.external}", f"missing: the machine has {inputs}"], True,
                f"external input {sel.external}, but the machine has {inputs} (0 to {inputs - 1})")
    return [f"external input {sel.external}", "an input of the machine"], False, source_label(settings, sel)


def has_mix(settings: Settings, channel: ChannelSettings) -> bool:
    return any(not sel.external_selected and isinstance(signal_at(settings, sel.internal), MixedSignal)
               for _, sel in channel_roles("", channel))


def routing_svg(settings: Settings, letter: str, channel: ChannelSettings, mixes: bool = True) -> str:
    """`mixes`: leave room on the left for the operands of mixed signals
    (the report keeps it on both channels when either has one, so that
    their boxes line up)."""
    style = _ON if channel.enabled else _OFF
    # Without operands, the source boxes take the room and show more words.
    source_x, source_w = (_SOURCE_X, _SOURCE_W) if mixes else (_OPERAND_X, _TARGET_X - 56 - _OPERAND_X)
    rows = []
    for role, sel in channel_roles(letter, channel):
        sig = None if sel.external_selected else signal_at(settings, sel.internal)
        rows.append((role, sel, sig.params if isinstance(sig, MixedSignal) else None))
    height = _HEAD + sum((2 * _BOX_H + _GAP if mix else _BOX_H) + 2 * _GAP for _, _, mix in rows)
    state = "enabled" if channel.enabled else "disabled"
    heading = f"channel {letter} \u00b7 {state} \u00b7 {coil_line(settings, channel)}"
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" class="routing {state}" viewBox="0 0 {WIDTH} {height}" '
             f'width="{WIDTH}" height="{height}" font-family="sans-serif" font-size="11" role="img" '
             f'aria-label="routing of channel {letter}">',
             f"<title>routing of channel {letter} ({state})</title>",
             f'<text x="8" y="18" font-size="13" font-weight="bold" '
             f'fill="{_MISSING if "(missing)" in heading else style["ink"]}">{escape(heading)}</text>']
    y = _HEAD
    for role, sel, mix in rows:
        band = 2 * _BOX_H + _GAP if mix else _BOX_H
        source_y = y + (band - _BOX_H) / 2
        mid = source_y + _BOX_H / 2
        lines, missing, tip = _source_lines(settings, sel, source_w)
        parts.append(_box(source_x, source_y, source_w, lines, style, fill=style["fill"], stroke=style["stroke"],
                          missing=missing, tip=tip))
        target = f"coil {role}" if role != "modulation" else f"modulation {letter}"
        parts.append(_box(_TARGET_X, source_y, _TARGET_W, [target, "amplitude" if role != "modulation" else "of the channel"],
                          style, fill=style["target"], stroke=style["target_stroke"]))
        parts.append(_arrow(source_x + source_w, mid, _TARGET_X, mid, _MISSING if missing else style["ink"]))
        if mix:
            for k, operand in enumerate((mix.a_idx, mix.b_idx)):
                oy = y + k * (_BOX_H + _GAP)
                olines, omissing, otip = _signal_lines(settings, operand, _OPERAND_W)
                olines[0] = f"{'ab'[k]}: {olines[0]}"
                parts.append(_box(_OPERAND_X, oy, _OPERAND_W, olines, style, fill=style["fill"],
                                  stroke=style["stroke"], missing=omissing, tip=otip))
                parts.append(_arrow(_OPERAND_X + _OPERAND_W, oy + _BOX_H / 2, source_x, mid,
                                    _MISSING if omissing else style["ink"]))
        y += band + 2 * _GAP
    if not channel.enabled:
        parts.append(f'<text x="{WIDTH - 10}" y="18" text-anchor="end" font-size="13" fill="{_OFF["ink"]}">'
                     "disabled: drives nothing</text>")
    parts.append("</svg>")
    return "".join(parts)
