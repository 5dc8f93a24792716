"""vexafile report and report_html: what the page holds, that it is whole
without the network, and the command's file handling and exit statuses.
The rendering in a real browser is tests/test_report_browser.py."""

from __future__ import annotations

import dataclasses
import hashlib
import math
import os
import re

import numpy as np
import pytest

import vexafile as vf
from reader_support import assert_one_line, cli
from vexa_helpers import DEFAULT_MACHINE, arbitrary, channel, constant, default_settings, encode, mixed, ramp, sine, source
from vexafile import _report_chart
from vexafile.commands.report import default_output

EPOCH = {"SOURCE_DATE_EPOCH": "1700000000"}


def run_report(*args, env_extra=None, timeout=60):
    env = {**os.environ, **(env_extra or {})}
    return cli("native", "report", *args, env=env, timeout=timeout)


def every_kind() -> vf.Settings:
    """Channel A on a mix of a sine and a missing signal, a ramp and an
    arbitrary signal; channel B off, on a constant."""
    signals = [sine(1.0, 10.0, 0.0, 1.0), ramp(0.5, 1.0, 2.0), mixed(0, 9), arbitrary([0, 16384, 32767] * 10),
               constant(0.75)]
    return default_settings(
        signals=signals, session_duration=0.006,
        channel_a_settings=channel(True, a1=source(2), a2=source(1), mod=source(3)),
        channel_b_settings=channel(False, a1=source(4), a2=source(external=3, external_selected=True), mod=source(4)))


@pytest.mark.parametrize("given, expected", [
    ("run1.vexa", "run1.html"),
    ("dir.vexa/run", "dir.vexa/run.html"),
    ("a.bin", "a.bin.html"),
    ("archive.vexa.bak", "archive.vexa.bak.html"),
])
def test_default_output_replaces_vexa_or_appends(given, expected):
    assert default_output(given) == expected


def test_page_shows_the_file_its_routing_signals_findings_and_machine(tmp_path):
    path = tmp_path / "every.vexa"
    data = encode(every_kind())
    path.write_bytes(data)
    r = run_report(path, env_extra=EPOCH)
    assert r.returncode == 0, r.stderr
    assert r.stdout.decode().startswith(f"{tmp_path / 'every.html'}: ")
    html = (tmp_path / "every.html").read_text()
    for words in (f"{len(data)} bytes", hashlib.sha256(data).hexdigest(), "2023-11-14T22:13:20Z",
                  f"vexafile {vf._version.version()}",
                  # routing: each coil's source, the mix's operands, the missing one marked
                  "coil A1", "coil A2", "modulation A", "a: signal 0", "b: signal 9", "missing: no such signal",
                  "external input 3",
                  # parameters labelled, the mix's operands named
                  "amplitude 1.0, frequency 10.0, phase 0.0, depth 1.0", "peak 0.5, up_duration 1.0, down_duration 2.0",
                  "a: signal 0 (Sine), b: signal 9 (missing)", "value 0.75",
                  # findings and machine
                  "names signal 9", "capacitance (nF)", "22.624434389140273", "in use: channel A, channel B (disabled)"):
        assert words in html, words
    assert 'class="routing disabled"' in html and 'class="routing enabled"' in html
    # The constant on channel B is listed greyed, not left out.
    signals = re.search(r'<section id="signals">.*?</section>', html, re.S).group(0)
    row = re.search(r'<tr class="off"><td>signal 4</td>.*?</tr>', signals)
    assert row and "B1 (off)" in row.group(0)
    # The arbitrary signal is drawn, with the session end marked.
    assert html.count('class="chart"') == 1 and 'class="session-end"' in html


def test_page_is_self_contained():
    html = vf.report_html(every_kind())
    assert "<script" not in html.lower() and "<link" not in html.lower()
    assert not re.search(r"\b(src|href)\s*=", html, re.I)
    assert not re.search(r"url\s*\(", html, re.I)
    # The one address on the page is SVG's namespace name, which is never fetched.
    assert set(re.findall(r"https?://[^\s\"'<>]+", html)) == {"http://www.w3.org/2000/svg"}
    assert "default-src 'none'" in html


def test_text_from_the_file_is_escaped():
    coil = dataclasses.replace(DEFAULT_MACHINE.coils[0], name="<b>x</b>&\u202e")
    settings = default_settings(machine_config=dataclasses.replace(DEFAULT_MACHINE, coils=(coil,)))
    html = vf.report_html(settings)
    assert "<b>x</b>" not in html
    assert "&lt;b&gt;x&lt;/b&gt;&amp;\\u{202e}" in html


def test_same_time_gives_the_same_page_and_a_bad_time_is_refused(tmp_path, monkeypatch):
    path = tmp_path / "run.vexa"
    path.write_bytes(encode(every_kind()))
    pages = []
    for out in ("a.html", "b.html"):
        assert run_report(path, "-o", tmp_path / out, env_extra={"SOURCE_DATE_EPOCH": "0"}).returncode == 0
        pages.append((tmp_path / out).read_text())
    assert pages[0] == pages[1] and "1970-01-01T00:00:00Z" in pages[0]
    monkeypatch.setenv("SOURCE_DATE_EPOCH", "yesterday")
    with pytest.raises(ValueError, match="SOURCE_DATE_EPOCH"):
        vf.report_html(every_kind())
    r = run_report(path, env_extra={"SOURCE_DATE_EPOCH": "yesterday"})
    assert r.returncode == 1 and not (tmp_path / "run.html").exists()
    assert_one_line(r.stderr, "SOURCE_DATE_EPOCH", "'yesterday'")


def test_an_existing_page_is_replaced(tmp_path):
    path = tmp_path / "run.vexa"
    path.write_bytes(encode(every_kind()))
    out = tmp_path / "run.html"
    out.write_text("old page " * 10000)
    assert run_report(path).returncode == 0
    assert out.read_text().startswith("<!DOCTYPE html>")
    assert {p.name for p in tmp_path.iterdir()} == {"run.vexa", "run.html"}


@pytest.mark.parametrize("case, status, words", [
    ("missing file", 2, "No such file"),
    ("not a protocol", 2, "bad.vexa"),
    ("a directory", 2, "Is a directory"),
    ("a FIFO", 2, "not a regular file"),
    ("output in a missing directory", 1, "does not exist"),
    ("output is a directory", 1, "it is a directory"),
])
def test_failures_are_one_line_with_their_status(tmp_path, case, status, words):
    good = tmp_path / "good.vexa"
    good.write_bytes(encode(every_kind()))
    args = {
        "missing file": [tmp_path / "none.vexa"],
        "not a protocol": [tmp_path / "bad.vexa"],
        "a directory": [tmp_path],
        "a FIFO": [tmp_path / "fifo"],
        "output in a missing directory": [good, "-o", tmp_path / "no" / "x.html"],
        "output is a directory": [good, "-o", tmp_path],
    }[case]
    (tmp_path / "bad.vexa").write_bytes(b"\x02")
    os.mkfifo(tmp_path / "fifo")
    r = run_report(*args)
    assert r.returncode == status and r.stdout == b""
    assert_one_line(r.stderr, words)
    assert {p.name for p in tmp_path.iterdir()} == {"good.vexa", "bad.vexa", "fifo"}


def test_help_lists_report():
    r = cli("native", "--help")
    assert r.returncode == 0 and "\n    report " in r.stdout.decode()


# --- the drawing of one signal ---------------------------------------------


def _band(svg: str) -> list[tuple[float, float]]:
    points = re.search(r'<polygon points="([^"]+)"', svg).group(1).split()
    return [tuple(map(float, p.split(","))) for p in points]


def test_a_long_signal_is_a_band_of_one_step_per_column_that_keeps_every_peak():
    n = 9_000_000
    samples = np.zeros(n, dtype=np.int16)
    samples[4_321_987] = 32767  # one sample at full scale in 1800 s
    samples[n - 1] = 100
    svg, banded = _report_chart.signal_svg(np, samples, 1800.0, "signal 0")
    assert banded and len(svg) < 60_000
    band = _band(svg)
    # Two points per column on each edge: at most the plot's width in columns.
    assert len(band) <= 4 * _report_chart.PLOT_WIDTH
    frame = _report_chart._Frame(1800.0, 0.0, 1.0)
    top = min(y for _, y in band)
    assert top == pytest.approx(frame.y(1.0), abs=0.1)
    spike_x = frame.x(4_321_987 / 5000)
    assert any(abs(x - spike_x) < 1.5 and y == top for x, y in band)


@pytest.mark.parametrize("samples, low, high", [
    ([0, 32767], 0.0, 1.0),
    ([-32768, 16000], -1.0, 1.0),
    ([5], 0.0, 1.0),
])
def test_value_axis_reads_in_fractions_of_full_scale_widened_to_the_samples(samples, low, high):
    svg, banded = _report_chart.signal_svg(np, np.array(samples, dtype=np.int16), 10.0, "s")
    assert not banded
    labels = [float(t) for t in re.findall(r'text-anchor="end" fill="[^"]+">([-0-9.e]+)</text>', svg)]
    assert min(labels) == pytest.approx(low, abs=1e-3) and max(labels) == high


@pytest.mark.parametrize("count, duration, axis_end", [(50, 0.01, 0.01), (100, 0.01, 0.02), (10, 1.0, 1.0)])
def test_time_axis_covers_the_session_and_the_signal(count, duration, axis_end):
    assert _report_chart.x_end(count, duration) == axis_end
    svg, _ = _report_chart.signal_svg(np, np.ones(count, dtype=np.int16), duration, "s")
    assert f"session end {vf.format_f64(duration)} s" in svg


def test_nine_million_sample_page_is_small(tmp_path):
    n = 9_000_000
    wave = (np.sin(np.arange(n) / 800.0) * 16000 + 16383).astype(np.int16)
    settings = default_settings(
        signals=[vf.Arbitrary(vf.ArbitrarySignalParams(wave)), vf.Arbitrary(vf.ArbitrarySignalParams(wave[::-1].copy()))],
        session_duration=1800.0, channel_a_settings=channel(True, a1=source(0), a2=source(0), mod=source(1)))
    html = vf.report_html(settings)
    assert len(html.encode()) < 500_000
    assert html.count('class="chart"') == 2


def test_without_numpy_the_page_says_why_signals_are_not_drawn(monkeypatch):
    monkeypatch.setattr(vf._report, "_numpy", lambda: None)
    html = vf.report_html(every_kind())
    assert 'class="chart"' not in html and "drawing needs NumPy" in html


def test_notebook_shows_summary_and_routing_without_drawings():
    settings = every_kind()
    html = settings._repr_html_()
    assert html.startswith('<div class="vexa-report">') and "<style>" in html
    assert html.count('class="routing ') == 2 and "coil A1" in html and "missing: no such signal" in html
    assert 'class="chart"' not in html and "<script" not in html and "@page" not in html
    routing = re.compile(r'<svg[^>]*class="routing .*?</svg>')
    assert routing.findall(html) == routing.findall(vf.report_html(settings))


def test_many_signals_are_listed_in_part_and_counted():
    # 40 arbitrary signals mixed in a chain (41 to 80), then 5000 more mixes
    # (81 to 5080) of the chain and the constant, signal 0.
    arbitrary_chain = [mixed(1 + j, 0 if j == 0 else 40 + j) for j in range(40)]
    long_chain = [mixed(k - 1, 0) for k in range(81, 5081)]
    settings = default_settings(
        signals=[constant(0.5), *(arbitrary([1, 2]) for _ in range(40)), *arbitrary_chain, *long_chain],
        session_duration=0.0004, channel_a_settings=channel(True, a1=source(5080), a2=source(5080), mod=source(5080)))
    html = vf.report_html(settings)
    assert len(html) < 300_000
    assert "and 4881 more signals reached" in html  # all 5081 reached, 200 listed
    assert "B1 (off), B2 (off), modulation B (off), operand of signal 41, operand of signal 81, operand of " \
           "signal 82, operand of signal 83, operand of signal 84 and 4996 more" in html
    assert html.count('class="chart"') == 16 and "Only the first 16 arbitrary signals reached are drawn." in html
    assert "not routed" not in html


ODD = {
    "no signals": default_settings(),
    "empty arbitrary": default_settings(signals=[arbitrary([])]),
    "NaN duration and intensity": default_settings(signals=[arbitrary([5] * 3)], session_duration=float("nan"),
                                                   intensity=float("nan")),
    "infinite duration": default_settings(signals=[arbitrary([5] * 3)], session_duration=float("inf")),
    "negative duration": default_settings(signals=[arbitrary([5] * 3)], session_duration=-1.0),
    "tiny duration, extreme samples": default_settings(signals=[arbitrary([-32768, 32767])], session_duration=1e-300),
    "indices past everything": default_settings(
        signals=[sine(float("nan"), float("inf"), 0.0, 0.0), mixed(0, 2**64 - 1)],
        channel_a_settings=channel(True, a1=source(1), a2=source(external=2**64 - 1, external_selected=True),
                                   coil_idx=2**64 - 1)),
}


@pytest.mark.parametrize("name", ODD)
def test_odd_records_give_drawings_that_parse_with_finite_coordinates(name):
    import xml.etree.ElementTree as ET

    html = vf.report_html(ODD[name])
    drawings = re.findall(r"<svg.*?</svg>", html, re.S)
    assert len(drawings) >= 2  # the routing of both channels at least
    for svg in drawings:
        root = ET.fromstring(svg)
        for element in root.iter():
            for attr in ("x", "y", "x1", "x2", "y1", "y2", "width", "height", "points", "cx", "cy"):
                for number in re.split(r"[ ,]+", element.get(attr, "").strip()):
                    if number:
                        assert math.isfinite(float(number)), (name, element.tag, attr)


@pytest.mark.parametrize("target", ["the protocol", "a link to it"])
def test_the_page_never_replaces_the_file_it_reports_on(tmp_path, target):
    path = tmp_path / "run.vexa"
    data = encode(every_kind())
    path.write_bytes(data)
    out = path
    if target == "a link to it":
        out = tmp_path / "link.html"
        out.symlink_to(path)
    r = run_report(path, "-o", out)
    assert r.returncode == 1 and path.read_bytes() == data
    assert_one_line(r.stderr, "would replace", "another -o")


def test_summary_is_rendered_as_tables():
    html = vf.report_html(every_kind())
    section = re.search(r'<section id="summary">.*?</section>', html, re.S).group(0)
    assert section.count("<table>") >= 4
    assert '<td rowspan="3">channel A</td>' in section and '<tr class="off"><td rowspan="3">channel B</td>' in section
    assert "MixedSignal of signals 0 and 9" in section and "external input 3" in section



def test_builder_shows_in_a_notebook_as_its_record():
    b = vf.Builder()
    b.duration = 2.0
    b.route("A1", b.sine(1.0, 10.0))
    html = b._repr_html_()
    assert html == b.to_settings()._repr_html_() and 'class="routing ' in html


def test_limits_files_and_findings_are_on_the_page(tmp_path):
    site, study = tmp_path / "site.toml", tmp_path / "study.toml"
    site.write_text("[session]\nintensity_max = 0.2\n")
    study.write_text("[session]\nduration_max = 0.001\n")
    path = tmp_path / "run.vexa"
    path.write_bytes(encode(dataclasses.replace(every_kind(), intensity=0.25)))
    r = run_report(path, "--limits", site, "--limits", study)
    assert r.returncode == 0, r.stderr
    html = (tmp_path / "run.html").read_text()
    for f in (site, study):
        assert f"<td>{f}</td><td>{hashlib.sha256(f.read_bytes()).hexdigest()}</td>" in html
    assert "session.intensity_max" in html and "session.duration_max" in html
    assert html.index("<h3>Limits</h3>") > html.index("names signal 9")


@pytest.mark.parametrize("content, words", [(None, "cannot read the limits file"), ("[nonsense]\n", "nonsense")])
def test_a_limits_file_that_cannot_be_used_is_status_2(tmp_path, content, words):
    path = tmp_path / "run.vexa"
    path.write_bytes(encode(every_kind()))
    limits = tmp_path / "site.toml"
    if content is not None:
        limits.write_text(content)
    r = run_report(path, "--limits", limits)
    assert r.returncode == 2 and not (tmp_path / "run.html").exists()
    assert_one_line(r.stderr, words)


def test_an_arbitrary_signal_only_a_disabled_channel_uses_is_drawn_grey():
    settings = default_settings(
        signals=[constant(0.0), arbitrary([0, 32767] * 25)], session_duration=0.01,
        channel_b_settings=channel(False, a1=source(1)))
    html = vf.report_html(settings)
    figure = re.search(r'<figure class="panel off"><figcaption>signal 1 .*?</figure>', html, re.S)
    assert figure and "disabled channel" in figure.group(0)
    assert f'stroke="{_report_chart._BAND_OFF}"' in figure.group(0)
    assert html.count('class="chart"') == 1
