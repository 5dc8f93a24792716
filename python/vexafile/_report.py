"""A protocol as one self-contained HTML page for a person who approves it:
which file it is, what drives each coil, the signals over session time, what
the checks found and the machine it is meant for. The styles and drawings
are inline and the page runs no script, so it opens anywhere, offline."""

from __future__ import annotations

import datetime
import itertools
import operator
import os
from dataclasses import dataclass, fields
from html import escape

from ._check import Finding, check
from ._in_force import in_force
from ._model import num_samples
from ._plot_text import channel_roles, channels, signal_label
from ._records import Arbitrary, Constant, MixedSignal, Ramp, Settings, Sine
from ._report_routing import has_mix, routing_svg
from ._summary import summarize
from ._text import format_f64, format_scalar, quote
from ._version import version

__all__ = ["report_html"]

# Drawn in full up to this many arbitrary signals, listed up to this many signals.
_MAX_CHARTS = 16
_MAX_LISTED = 200
_MAX_ROLES = 8

# The page's own frame and print layout; the rest is scoped to the report,
# so that a notebook showing a fragment keeps its own look.
_PAGE_CSS = """
@page { size: A4; margin: 12mm; }
body { max-width: 190mm; margin: 1.5em auto; padding: 0 1em; }
@media print { body { margin: 0; max-width: none; padding: 0; } }
"""
_CSS = """
.vexa-report { color: #1f2933; font: 10.5pt/1.4 system-ui, -apple-system, "Segoe UI", "DejaVu Sans", sans-serif; }
.vexa-report h1 { font-size: 1.5em; margin: 0 0 .3em; }
.vexa-report h2 { font-size: 1.2em; margin: 1.2em 0 .4em; border-bottom: 1px solid #c8d0d8; padding-bottom: .15em;
  break-after: avoid; page-break-after: avoid; }
.vexa-report h3 { font-size: 1em; margin: .8em 0 .3em; break-after: avoid; page-break-after: avoid; }
.vexa-report table { border-collapse: collapse; margin: .3em 0 .6em; font-size: .92em; }
.vexa-report th, .vexa-report td { border: 1px solid #c8d0d8; padding: .15em .5em; text-align: left;
  vertical-align: top; }
.vexa-report th { background: #eef1f4; font-weight: 600; }
.vexa-report td.num { text-align: right; font-variant-numeric: tabular-nums; }
.vexa-report .hash, .vexa-report code { font-family: "DejaVu Sans Mono", Menlo, Consolas, monospace;
  font-size: .9em; overflow-wrap: anywhere; }
.vexa-report svg { max-width: 100%; height: auto; display: block; }
.vexa-report figure { margin: .4em 0 .8em; }
.vexa-report figcaption { font-size: .92em; margin-bottom: .2em; }
.vexa-report .panel { break-inside: avoid; page-break-inside: avoid; }
.vexa-report .off, .vexa-report .off td { color: #8a8a8a; }
.vexa-report tr.in-use td { background: #fdf3e1; font-weight: 600; }
.vexa-report .error { color: #b00000; font-weight: 600; }
.vexa-report .warning { color: #9a5b00; font-weight: 600; }
.vexa-report .missing { color: #b00000; }
.vexa-report .note { color: #52606d; font-size: .92em; }
"""


@dataclass(frozen=True)
class FileFacts:
    """Which file a page shows: its name as given, size and SHA-256."""

    name: str
    size: int
    sha256: str


def made_at() -> str:
    """Now in UTC, or SOURCE_DATE_EPOCH when set, so that a page can be made
    again byte for byte. Raises ValueError for a value that is no time."""
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if epoch is None:
        when = datetime.datetime.now(datetime.timezone.utc)
    else:
        try:
            when = datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc)
        except (ValueError, OverflowError, OSError):
            raise ValueError(f"SOURCE_DATE_EPOCH must be a whole number of seconds since 1970, not {epoch!r}") from None
    return when.replace(microsecond=0).isoformat().replace("+00:00", "Z")


# --- small builders -------------------------------------------------------


def _cell(value) -> str:
    text = value if isinstance(value, str) else format_scalar(value)
    numeric = isinstance(value, (int, float)) and not isinstance(value, bool)
    return f'<td class="num">{escape(text)}</td>' if numeric else f"<td>{escape(text)}</td>"


def _table(head: list[str], rows: list[list], row_classes: list[str] | None = None, cls: str = "") -> str:
    out = [f'<table class="{cls}">' if cls else "<table>", "<thead><tr>",
           *(f"<th>{escape(h)}</th>" for h in head), "</tr></thead><tbody>"]
    for k, row in enumerate(rows):
        rc = row_classes[k] if row_classes else ""
        out.append(f'<tr class="{rc}">' if rc else "<tr>")
        out.extend(_cell(v) for v in row)
        out.append("</tr>")
    out.append("</tbody></table>")
    return "".join(out)


def _pairs(rows: list[tuple[str, object]]) -> str:
    body = "".join(f"<tr><th>{escape(k)}</th>{_cell(v)}</tr>" for k, v in rows)
    return f"<table><tbody>{body}</tbody></table>"


# --- sections -------------------------------------------------------------


def _file_section(facts: FileFacts | None, when: str) -> str:
    rows: list[tuple[str, object]] = []
    if facts is None:
        rows.append(("file", "none: made from a record in memory"))
    else:
        rows += [("file", facts.name), ("size", f"{facts.size} bytes"), ("SHA-256", facts.sha256)]
    rows += [("tool", f"vexafile {version()}"), ("report made (UTC)", when)]
    return f'<section id="file" class="panel"><h2>The file</h2>{_pairs(rows)}</section>'


def _summary_section(settings: Settings) -> str:
    """The builder's summary as tables: session, channels with their
    sources, the first signals, the machine, the check's counts."""
    s = summarize(settings)
    out = ['<section id="summary"><h2>Summary</h2><div class="panel">', _pairs(list(s.session)), "</div>"]
    body = []
    for ch in s.channels:
        off = "" if ch.enabled else ' class="off"'
        span = len(ch.sources)
        for k, src in enumerate(ch.sources):
            head = (f'<td rowspan="{span}">channel {escape(ch.name)}</td><td rowspan="{span}">'
                    f'{"enabled" if ch.enabled else "disabled"}</td><td rowspan="{span}">{escape(ch.coil)}</td>'
                    if k == 0 else "")
            body.append(f"<tr{off}>{head}{_cell(src.role)}{_cell(src.source)}{_cell(src.signal or '')}</tr>")
    heads = "".join(f"<th>{h}</th>" for h in ("channel", "state", "coil", "drives", "source", "signal"))
    out.append(f'<div class="panel"><table><thead><tr>{heads}</tr></thead><tbody>{"".join(body)}</tbody></table></div>')
    signal_rows = [[f"signal {r.index}", r.kind, r.text, "yes" if r.in_force else "no"] for r in s.signals]
    out.append('<div class="panel">' + _table(["signal", "kind", "what", "in force"], signal_rows,
                                               ["" if r.in_force else "off" for r in s.signals]))
    if s.more_signals:
        out.append(f'<p class="note">and {s.more_signals} more signals</p>')
    out.append("</div>")
    out.append('<div class="panel">' + _pairs([(f"machine {k}", v) for k, v in s.machine]) + "</div>")
    out.append(f"<p>check: {s.errors} error{'s' if s.errors != 1 else ''}, "
               f"{s.warnings} warning{'s' if s.warnings != 1 else ''}</p></section>")
    return "".join(out)


def _routing_section(settings: Settings) -> str:
    mixes = any(has_mix(settings, ch) for _, ch in channels(settings))
    panels = "".join(f'<figure class="panel">{routing_svg(settings, letter, ch, mixes)}</figure>'
                     for letter, ch in channels(settings))
    return f'<section id="routing"><h2>Routing: what drives each coil</h2>{panels}</section>'


@dataclass
class _Use:
    enabled: bool  # reached from an enabled channel
    roles: list[str]
    more: int = 0  # roles left out: one signal may be the operand of millions of mixes

    def add(self, role: str) -> None:
        if len(self.roles) < _MAX_ROLES:
            self.roles.append(role)
        else:
            self.more += 1

    def drives(self) -> str:
        shown = ", ".join(self.roles)
        return f"{shown} and {self.more} more" if self.more else shown


@dataclass
class _Reached:
    count: int  # signals some channel reaches, enabled or not
    shown: dict[int, _Use]  # the first of them, and the first arbitrary ones, in signal order


def _reached(settings: Settings) -> _Reached:
    """The signals channels reach, enabled or not, with the sources and
    mixes that name them, for the first few listed and drawn. Linear in the
    signals, with the loops over all of them in C: a file may hold millions."""
    force = in_force(settings)
    graph, signals = force.graph, settings.signals
    reached = force.signals
    off_roots = [sel.internal for letter, ch in channels(settings) if not ch.enabled
                 for _, sel in channel_roles(letter, ch) if not sel.external_selected]
    if off_roots:
        reached = bytearray(map(operator.or_, reached, graph.reach(off_roots)))
    indices = list(itertools.compress(range(len(signals)), reached))
    wanted = indices[:_MAX_LISTED]
    arbitrary = (i for i in indices if isinstance(signals[i], Arbitrary))
    wanted += itertools.islice(arbitrary, _MAX_CHARTS + 1)
    shown = {i: _Use(force.reaches(i), []) for i in sorted(set(wanted))}
    for letter, ch in channels(settings):
        for role, sel in channel_roles(letter, ch):
            if not sel.external_selected and sel.internal in shown:
                name = f"modulation {letter}" if role == "modulation" else role
                shown[sel.internal].add(name if ch.enabled else f"{name} (off)")
    for i in itertools.compress(range(len(signals)), reached):
        for operand in graph.operands[i]:
            if operand in shown:
                shown[operand].add(f"operand of signal {i}")
    return _Reached(len(indices), shown)


_PARAMS = {Constant: ("value",), Sine: ("amplitude", "frequency", "phase", "depth"),
           Ramp: ("peak", "up_duration", "down_duration")}


def _parameters(settings: Settings, index: int) -> str:
    sig = settings.signals[index]
    if isinstance(sig, MixedSignal):
        return (f"a: {signal_label(settings, sig.params.a_idx)}, "
                f"b: {signal_label(settings, sig.params.b_idx)}")
    if isinstance(sig, Arbitrary):
        return f"{len(sig.params.samples)} samples"
    names = _PARAMS[type(sig)]
    return ", ".join(f"{name} {format_f64(getattr(sig.params, name))}" for name in names)


def _numpy():
    try:
        import numpy
    except ImportError:
        return None
    return numpy


def _signals_section(settings: Settings) -> str:
    from ._report_chart import signal_svg

    reached = _reached(settings)
    needed = num_samples(settings.session_duration)
    rows, classes = [], []
    charts: list[str] = []
    np = _numpy()
    arbitrary = 0
    for index, use in reached.shown.items():
        sig = settings.signals[index]
        state = "in force" if use.enabled else "disabled channel only"
        if len(rows) < _MAX_LISTED:
            rows.append([f"signal {index}", type(sig).__name__, _parameters(settings, index),
                         use.drives(), state])
            classes.append("" if use.enabled else "off")
        if not isinstance(sig, Arbitrary):
            continue
        arbitrary += 1
        if np is None or len(charts) >= _MAX_CHARTS:
            continue
        count = len(sig.params.samples)
        label = f"signal {index} (Arbitrary, {count} samples) \u2192 {use.drives()}"
        if not use.enabled:
            label += " \u00b7 disabled channel"
        if needed is not None and count != needed:
            label += f" \u00b7 the session has {needed} samples"
        svg, _ = signal_svg(np, sig.params.samples, settings.session_duration, label, use.enabled)
        cls = "panel" if use.enabled else "panel off"
        charts.append(f'<figure class="{cls}"><figcaption>{escape(label)}</figcaption>{svg}</figure>')
    not_drawn = []
    if arbitrary and np is None:
        not_drawn.append("Arbitrary signals are not drawn: drawing needs NumPy, which is not installed.")
    elif arbitrary > len(charts):
        not_drawn.append(f"Only the first {_MAX_CHARTS} arbitrary signals reached are drawn.")
    out = ['<section id="signals"><h2>Signals</h2>']
    if rows:
        out.append(_table(["signal", "kind", "parameters", "drives", "state"], rows, classes))
    if reached.count > len(rows):
        out.append(f'<p class="note">and {reached.count - len(rows)} more signals reached (vexafile show FILE)</p>')
    if not reached.count:
        out.append('<p class="note">No channel reaches a signal.</p>')
    unused = len(settings.signals) - reached.count
    if unused:
        out.append(f'<p class="note">{unused} signal{"s" if unused != 1 else ""} not routed to any coil or '
                   "modulation (see the findings).</p>")
    out.append("<h3>Arbitrary signals over session time</h3>" if charts or not_drawn else "")
    out.extend(charts)
    out.extend(f'<p class="note">{escape(line)}</p>' for line in not_drawn)
    out.append("</section>")
    return "".join(out)


def _finding_table(findings: list[Finding], extra: bool) -> str:
    if not findings:
        return '<p class="note">No findings.</p>'
    head = ["severity", "where", "finding"] + (["rule", "value", "limit"] if extra else [])
    out = [f"<table><thead><tr>{''.join(f'<th>{escape(h)}</th>' for h in head)}</tr></thead><tbody>"]
    for f in findings:
        cells = [f'<td class="{escape(f.severity)}">{escape(f.severity)}</td>', _cell(f.path), _cell(f.message)]
        if extra:
            extras = (getattr(f, name, None) for name in ("rule", "value", "limit"))
            cells += [_cell("" if v is None else v) for v in extras]
        out.append(f"<tr>{''.join(cells)}</tr>")
    out.append("</tbody></table>")
    return "".join(out)


def _findings_section(settings: Settings, limits) -> str:
    found = check(settings)
    errors = sum(f.severity == "error" for f in found)
    out = ['<section id="findings"><h2>Check findings</h2>',
           f'<p>{errors} error{"s" if errors != 1 else ""}, {len(found) - errors} '
           f'warning{"s" if len(found) - errors != 1 else ""}.</p>', _finding_table(found, False)]
    if limits is not None:
        out.append("<h3>Limits</h3>")
        layers = [[layer.path, layer.sha256] for layer in limits.layers]
        out.append(_table(["limits file", "SHA-256"], layers, cls="hash") if layers
                   else '<p class="note">No limits file.</p>')
        out.append(_finding_table(limits.findings(settings), True))
    out.append("</section>")
    return "".join(out)


def _users_of_tuning(settings: Settings, coil: int, tuning: int) -> list[str]:
    return [f"channel {letter}{'' if ch.enabled else ' (disabled)'}" for letter, ch in channels(settings)
            if ch.coil_idx == coil and ch.coil_setting_idx == tuning]


def _machine_section(settings: Settings) -> str:
    m = settings.machine_config
    scalars = [(f.name, getattr(m, f.name)) for f in fields(m) if f.name != "coils"]
    out = ['<section id="machine"><h2>The machine</h2><div class="panel">',
           _pairs([(k, v if not isinstance(v, tuple) else ", ".join(format_f64(x) for x in v)) for k, v in scalars]),
           "</div>"]
    for k, coil in enumerate(m.coils):
        rows, classes = [], []
        for t, lc in enumerate(coil.settings):
            users = _users_of_tuning(settings, k, t)
            rows.append([t, lc.capacitance, lc.carrier_frequency, lc.clk_ticks_per_sample,
                         lc.capacitor_bank_setting, "in use: " + ", ".join(users) if users else ""])
            classes.append("in-use" if users else "")
        out.append(f'<div class="panel"><h3>coil {k} {escape(quote(coil.name))}</h3>'
                   f"<p>inductance {escape(format_f64(coil.inductance))} \u00b5H \u00b7 max current "
                   f"{escape(format_f64(coil.max_current))} \u00b7 max carrier frequency "
                   f"{escape(format_f64(coil.max_carrier_frequency))} kHz</p>")
        out.append(_table(["tuning", "capacitance (nF)", "carrier frequency (kHz)", "clock ticks per sample",
                           "bank setting", "use"], rows, classes))
        out.append("</div>")
    for letter, ch in channels(settings):
        if ch.coil_idx >= len(m.coils) or ch.coil_setting_idx >= len(m.coils[ch.coil_idx].settings):
            out.append(f'<p class="missing">channel {letter} selects coil {ch.coil_idx}, tuning '
                       f"{ch.coil_setting_idx}, which the machine does not have.</p>")
    out.append("</section>")
    return "".join(out)


# --- pages ----------------------------------------------------------------


def fragment(settings: Settings) -> str:
    """The summary and the routing, without the drawings of the signals:
    what a notebook shows for a record."""
    return (f'<div class="vexa-report"><style>{_CSS}</style>'
            f"{_summary_section(settings)}{_routing_section(settings)}</div>")


def page(settings: Settings, limits=None, facts: FileFacts | None = None) -> str:
    """The whole page. Raises ValueError for a SOURCE_DATE_EPOCH that is no time."""
    when = made_at()
    name = os.path.basename(facts.name) or facts.name if facts is not None else "protocol"
    body = [
        f"<h1>Protocol report: {escape(name)}</h1>",
        f'<p class="note">intensity {escape(format_f64(settings.intensity))} \u00b7 session '
        f"{escape(format_f64(settings.session_duration))} s \u00b7 channels "
        f"{escape(', '.join(f'{l} ' + ('on' if c.enabled else 'off') for l, c in channels(settings)))}</p>",
        _file_section(facts, when),
        _routing_section(settings),
        _summary_section(settings),
        _signals_section(settings),
        _findings_section(settings, limits),
        _machine_section(settings),
    ]
    return ('<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
            # Nothing may be fetched, not even by accident: no source of any kind is allowed.
            "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'; "
            "img-src data:\">"
            '<meta name="viewport" content="width=device-width, initial-scale=1">'
            f"<title>Protocol report: {escape(name)}</title><style>{_PAGE_CSS}{_CSS}</style></head>"
            f'<body class="vexa-report">{"".join(body)}</body></html>\n')


def report_html(settings: Settings, limits=None) -> str:
    """The whole report page of a record: routing, summary, signals, check
    (and limits) findings and machine, as one self-contained HTML page."""
    return page(settings, limits)
