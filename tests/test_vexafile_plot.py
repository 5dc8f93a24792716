"""vexafile plot: the image file, the words beside each panel, the envelope
of long signals and the --from/--to window. The figure is read as objects,
never as pixels."""

from __future__ import annotations

import math
import subprocess
import sys

import pytest

from reader_support import assert_one_line, cli, run_bounded
from vexa_helpers import arbitrary, channel, constant, default_settings, encode, mixed, ramp, sine, source

pytest.importorskip("matplotlib")
np = pytest.importorskip("numpy")

from vexafile import _plot  # noqa: E402
from vexafile._columns import column_envelope  # noqa: E402

PNG = b"\x89PNG\r\n\x1a\n"


def panel_words(ax) -> str:
    """Every text of one panel (title, words, legend), blanks and wrapping
    folded so that a wrapped line reads as one."""
    texts = [ax.get_title(loc="left"), *(t.get_text() for t in ax.texts)]
    legend = ax.get_legend()
    if legend is not None:
        texts += [t.get_text() for t in legend.get_texts()]
    return " | ".join(" ".join(t.split()) for t in texts)


def figure_words(fig) -> str:
    return " | ".join(" ".join(t.get_text().split()) for t in fig.findobj(lambda a: hasattr(a, "get_text")))


def build(settings, window=None):
    plot = _plot.build(settings, None if window is None else _plot.Window(*window))
    return plot, plot.figure.axes


ROUTED = default_settings(
    signals=[sine(1.0, 10.0, 0.0, 1.0), arbitrary([0, 32767] * 50), constant(0.5), ramp(1.0, 0.5, 1.5),
             mixed(3, 1), mixed(9, 5)],
    session_duration=0.02,
    channel_a_settings=channel(True, a1=source(1), a2=source(0, 3, True), mod=source(0)),
    channel_b_settings=channel(False, a1=source(42), a2=source(4), mod=source(5)),
)


@pytest.mark.parametrize("panel, words", [
    (0, "A1 \u2190 signal 1 (Arbitrary)"),
    (0, "A2 \u2190 external input 3"),
    (0, "modulation \u2190 signal 0 (Sine)"),
    (0, "signal 0: Sine amplitude 1.0, frequency 10.0, phase 0.0, depth 1.0"),
    (0, "signal 1 \u2192 A1"),
    (1, "B1 \u2190 signal 42 (missing)"),
    (1, "B2 \u2190 signal 4 (MixedSignal)"),
    (1, "signal 4: MixedSignal of signals 3 and 1"),
    # A mix's operands are described (or drawn) in the panel that uses the mix.
    (1, "signal 3: Ramp peak 1.0, up_duration 0.5, down_duration 1.5"),
    (1, "signal 1 (in signal 4)"),
    (1, "signal 5: MixedSignal of signals 9 and 5"),
    (1, "signal 9 (missing)"),
])
def test_panels_name_sources_and_parameters(panel, words):
    _, axes = build(ROUTED)
    assert words in panel_words(axes[panel])


def test_words_stay_in_their_own_panel_and_unrouted_signals_are_listed():
    plot, axes = build(ROUTED)
    assert "signal 3: Ramp" not in panel_words(axes[0])
    assert "signal 0: Sine" not in panel_words(axes[1])
    assert "not routed to any coil or modulation: signal 2 (Constant)" in figure_words(plot.figure)
    assert plot.drawn == 1  # signal 1 feeds A1 and a mix on B: drawn in both, counted once


@pytest.mark.parametrize("a_on, b_on", [(True, False), (False, True), (True, True), (False, False)])
def test_disabled_channel_is_marked(a_on, b_on):
    s = default_settings(signals=[arbitrary([1, 2, 3])], session_duration=0.01,
                         channel_a_settings=channel(a_on), channel_b_settings=channel(b_on))
    _, axes = build(s)
    for ax, letter, on in zip(axes, "AB", (a_on, b_on)):
        words = panel_words(ax)
        assert (f"channel {letter}: disabled" in words) == (not on), words
        assert (f"channel {letter}: enabled" in words) == on, words


@pytest.mark.parametrize("changes, heading", [
    ({"intensity": 0.25, "session_duration": 10.0}, "intensity 0.25 \u00b7 10.0 s \u00b7 50000 samples per signal"),
    ({"session_duration": 0.07}, "intensity 0.0 \u00b7 0.07 s \u00b7 351 samples per signal"),
    ({"intensity": 1e-5, "session_duration": 1800.0}, "intensity 1e-5 \u00b7 1800.0 s \u00b7 9000000 samples per signal"),
    ({"session_duration": float("nan")}, "intensity 0.0 \u00b7 NaN s \u00b7 ? samples per signal"),
    ({"session_duration": -0.0}, "intensity 0.0 \u00b7 -0.0 s \u00b7 ? samples per signal"),
])
def test_title_shows_intensity_duration_and_sample_count(changes, heading):
    plot, _ = build(default_settings(signals=[arbitrary([5] * 10)], **changes))
    assert plot.figure.get_suptitle() == heading


@pytest.mark.parametrize("count, marked", [(50, False), (20, True), (80, True)])
def test_session_end_marked_when_a_signal_is_shorter_or_longer(count, marked):
    s = default_settings(signals=[arbitrary(range(count))], session_duration=0.01)
    _, axes = build(s)
    words = panel_words(axes[0])
    assert ("session end 0.01 s" in words) == marked, words
    assert (f"{count} samples, the session has 50" in words) == marked, words
    assert axes[0].get_xlim()[1] >= max(count / 5000, 0.01)


@pytest.mark.parametrize("samples, window", [([-32768, 0, 32767] * 20, None), ([5] * 9 + [-9000] * 5, None),
                                             ([5] * 10000 + [-20000], (1.0, 2.0001))])
def test_samples_below_zero_stay_in_view(samples, window):
    s = default_settings(signals=[arbitrary(samples)], session_duration=0.01)
    _, axes = build(s, window)
    low, high = axes[0].get_ylim()
    assert low < min(samples) / 32767 and high > 1.0


def _drawn(ax):
    """(x, y) of the one signal drawn: a line's points, or a band's outline."""
    lines = [ln for ln in ax.lines if ln.get_label().startswith("signal")]
    if lines:
        (line,) = lines
        return np.asarray(line.get_xdata()), np.asarray(line.get_ydata())
    (band,) = ax.collections
    vertices = np.concatenate([p.vertices for p in band.get_paths()])
    return vertices[:, 0], vertices[:, 1]


@pytest.mark.parametrize("window", [None, (100.0, 100.5), (1.0, 1.01), (599.9, 700.0)])
def test_window_is_recomputed_from_the_samples_it_shows(window):
    n = 3_000_000  # 600 s
    samples = np.random.default_rng(7).integers(0, 32768, n, dtype=np.int16)
    samples[n // 2] = 32767  # a one-sample spike the envelope must keep
    s = default_settings(signals=[vf_arbitrary(samples)], session_duration=600.0)
    _, axes = build(s, window)
    xs, ys = _drawn(axes[0])
    lo_t, hi_t = window or (0.0, 600.0)
    step = 1 / 5000
    assert xs.min() >= lo_t - step and xs.max() <= hi_t + step
    i0, i1 = math.floor(lo_t * 5000), min(n, math.ceil(hi_t * 5000) + 1)
    part = samples[i0:i1] / 32767
    assert ys.min() == pytest.approx(part.min()) and ys.max() == pytest.approx(part.max())
    columns = int(axes[0].bbox.width)
    if i1 - i0 <= 4 * columns:
        np.testing.assert_allclose(ys, part)  # zoomed in far enough: every sample
    else:
        assert len(xs) <= 4 * (columns + 2)  # a band, never millions of points


def vf_arbitrary(samples):
    import vexafile as vf

    return vf.Arbitrary(vf.ArbitrarySignalParams(samples))


@pytest.mark.parametrize("length", [1, 7, 1000, 1001, 4096, 99_991])
@pytest.mark.parametrize("columns", [1, 3, 640, 725])
@pytest.mark.parametrize("window", [(0, None), (5, None), (3, 900), (0, 10**9)])
def test_envelope_keeps_every_columns_min_and_max(length, columns, window):
    y = np.random.default_rng(length * columns).integers(-32768, 32768, length, dtype=np.int16)
    start, stop = window[0], length if window[1] is None else window[1]
    edges, lo, hi = column_envelope(np, y, start, stop, columns)
    first, last = min(start, length), min(stop, length)
    assert edges[0] == first and edges[-1] == max(first, last)
    assert len(lo) == len(hi) == len(edges) - 1 <= columns
    widths = np.diff(edges)
    if len(widths):
        assert (widths > 0).all() and (widths[:-1] == widths[0]).all() and widths[-1] <= widths[0]
    expected_lo = [y[a:b].min() for a, b in zip(edges[:-1], edges[1:])]
    expected_hi = [y[a:b].max() for a, b in zip(edges[:-1], edges[1:])]
    assert lo.tolist() == expected_lo and hi.tolist() == expected_hi
    assert lo.dtype == y.dtype


# -- the command line -------------------------------------------------------

LONGER_AND_SHORTER = default_settings(
    signals=[arbitrary(range(10)), arbitrary(range(900))], session_duration=0.1,
    channel_a_settings=channel(True, a1=source(0), a2=source(1)))
KINDS = {
    "quickstart": ([], default_settings(
        signals=[sine(1.0, 10.0, 0.0, 1.0), arbitrary(range(0, 32767, 650))], intensity=0.25, session_duration=0.01,
        channel_a_settings=channel(True, a1=source(0), mod=source(1))), 1),
    "external and disabled": ([], default_settings(
        signals=[arbitrary([1] * 50), arbitrary([2] * 50)], session_duration=0.01,
        channel_a_settings=channel(True, a1=source(0, 2, True), mod=source(1)),
        channel_b_settings=channel(False, a1=source(0), a2=source(7))), 2),
    "no signals": ([], default_settings(), 0),
    "only parameters": ([], default_settings(signals=[constant(0.5), ramp(1.0, 2.0, 3.0), mixed(0, 1)],
                                         channel_a_settings=channel(True, a1=source(2))), 0),
    "longer and shorter": ([], LONGER_AND_SHORTER, 2),
    "zoomed": (["--from", "0.001", "--to", "0.05"], LONGER_AND_SHORTER, 2),
    "zoomed past the end": (["--from=0", "--to", "1e3"], LONGER_AND_SHORTER, 2),
}


@pytest.mark.parametrize("kind", KINDS)
def test_plot_writes_a_png_for_each_kind(tmp_path, kind):
    extra, settings, drawn = KINDS[kind]
    path, out = tmp_path / "p.vexa", tmp_path / "p.png"
    path.write_bytes(encode(settings))
    r = cli("native", "plot", path, out, *extra)
    assert (r.returncode, r.stderr) == (0, b"")
    assert r.stdout.decode() == f"{out}: {drawn} signal{'s' if drawn != 1 else ''} drawn\n"
    assert out.read_bytes()[:8] == PNG


@pytest.mark.parametrize("args, words", [
    (["--from", "abc"], "--from takes a number of seconds, not 'abc'"),
    (["--to", "nan"], "--to must be a finite number of seconds"),
    (["--to", "inf"], "--to must be a finite number of seconds"),
    (["--from", "1e999"], "--from must be a finite number of seconds"),
    (["--from", "-0.5"], "--from must be a finite number of seconds, 0 or more, not -0.5"),
    (["--from", "2", "--to", "2"], "--from 2.0 must be before --to 2.0"),
    (["--from", "3", "--to", "1"], "--from 3.0 must be before --to 1.0"),
    (["--from", "0.01"], "--from 0.01 must be before the end of the plot at 0.01 s"),
])
def test_bad_window_is_refused_in_one_line(tmp_path, args, words):
    path = tmp_path / "p.vexa"
    path.write_bytes(encode(default_settings(signals=[arbitrary([1] * 50)], session_duration=0.01)))
    r = cli("native", "plot", path, tmp_path / "o.png", *args)
    assert r.returncode == 2 and r.stdout == b""
    assert_one_line(r.stderr, words)
    assert not (tmp_path / "o.png").exists()


@pytest.mark.parametrize("failure", ["no matplotlib", "missing/o.png", "o.unknown-format"])
def test_failures_are_one_line_with_status_1(tmp_path, failure):
    path = tmp_path / "p.vexa"
    path.write_bytes(encode(default_settings(signals=[arbitrary([1] * 50)], session_duration=0.01)))
    out = tmp_path / ("o.png" if failure == "no matplotlib" else failure)
    pre = "import sys; sys.modules['matplotlib'] = None\n" if failure == "no matplotlib" else ""
    code = f"{pre}import sys\nfrom vexafile.__main__ import main\nsys.exit(main(sys.argv[1:]))"
    r = subprocess.run([sys.executable, "-P", "-c", code, "plot", str(path), str(out)], capture_output=True, timeout=120)
    assert r.returncode == 1 and r.stdout == b""
    assert_one_line(r.stderr, "matplotlib" if failure == "no matplotlib" else f"cannot write {out}")
    assert not out.exists()


def test_nine_million_samples_plot_in_bounded_memory(tmp_path):
    pyvexa = pytest.importorskip("pyvexa")
    small, big = tmp_path / "small.vexa", tmp_path / "big.vexa"
    small.write_bytes(encode(default_settings(signals=[arbitrary([1] * 50)], session_duration=0.01)))
    p = pyvexa.Protocol()
    p.set_session_duration(1800.0)
    ramp_up = np.linspace(0.0, 1.0, p.get_num_samples())
    p.set_amplitude_source(pyvexa.Coil.A1, p.add_arbitrary_signal(ramp_up))
    p.set_modulation_source(pyvexa.Channel.A, p.add_arbitrary_signal(ramp_up[::-1]))
    del ramp_up
    p.save(str(big))
    runs = {}
    for path in (small, big):
        code = f"from vexafile.__main__ import main\nmain(['plot', {str(path)!r}, {str(tmp_path / 'o.png')!r}])"
        runs[path] = run_bounded(code, "native", timeout=120)
        assert runs[path].status == 0, runs[path].stderr
    assert runs[big].stdout.endswith(b": 2 signals drawn\n")
    # The two signals take 36 MB as int16; a float64 copy of either would
    # add 72 MB more.
    assert runs[big].peak_mb - runs[small].peak_mb < 110
