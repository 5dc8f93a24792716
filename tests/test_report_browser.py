"""Reports rendered in headless Chromium: no console message, no request
but the page itself, every section in the rendered text, the 9M-sample
drawing on screen, and A4 pages with the routing on the first.

Run by `make test-browser` (VEXA_BROWSER_TESTS=1), which skips with a
message when Chromium is missing; `make test` leaves them out. Screenshots
and PDFs go to VEXA_SCREENSHOTS when set, for a person to look at."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from chromium import Chromium, Page, find_chromium
from vexa_helpers import arbitrary, channel, default_settings, encode, mixed, sine, source

pytestmark = pytest.mark.skipif(not os.environ.get("VEXA_BROWSER_TESTS"),
                                reason="browser tests run under make test-browser")

SECTIONS = ("The file", "Routing: what drives each coil", "Summary", "Signals", "Check findings", "The machine")


def quickstart(path: Path) -> None:
    import pyvexa

    p = pyvexa.Protocol()
    p.set_session_duration(10.0)
    p.set_stimulation_intensity(0.25)
    sine_index = p.add_sine_signal(1.0, 10.0)
    p.set_amplitude_source(pyvexa.Coil.A1, sine_index)
    ramp = np.linspace(0.0, 1.0, p.get_num_samples())
    p.set_modulation_source(pyvexa.Channel.A, p.add_arbitrary_signal(ramp))
    p.save(str(path))


def nine_million(path: Path) -> None:
    import pyvexa

    p = pyvexa.Protocol()
    p.set_session_duration(1800.0)
    t = np.arange(p.get_num_samples()) / 5000.0
    bursts = 0.5 + 0.45 * np.sin(2 * np.pi * t / 300.0) * np.abs(np.sin(2 * np.pi * t))
    p.set_amplitude_source(pyvexa.Coil.A1, p.add_arbitrary_signal(bursts))
    p.set_modulation_source(pyvexa.Channel.A, p.add_arbitrary_signal(np.linspace(1.0, 0.0, len(t))))
    p.save(str(path))


def planted_errors(path: Path) -> list[str]:
    """A missing signal, a mix of itself, an external input past the
    machine's, a wrong length and a tuning the coil does not have; checked
    against a limits file too."""
    (path.parent / "site.toml").write_text("[session]\nduration_min = 1.0\n")
    signals = [sine(1.0, 10.0, 0.0, 1.0), mixed(1, 0), arbitrary([100] * 20)]
    path.write_bytes(encode(default_settings(
        signals=signals, session_duration=0.01,
        channel_a_settings=channel(True, a1=source(1), a2=source(42), mod=source(2)),
        channel_b_settings=channel(True, a1=source(external=6, external_selected=True), mod=source(2),
                                   coil_setting_idx=3))))
    return ["--limits", "site.toml"]


MAKERS = {"quickstart": quickstart, "nine_million": nine_million, "planted_errors": planted_errors}


@pytest.fixture(scope="module")
def browser():
    binary = find_chromium()
    if binary is None:
        pytest.skip("Chromium is not installed (apt-get install chromium)")
    b = Chromium(binary)
    yield b
    b.close()


@pytest.fixture(scope="module")
def shots(tmp_path_factory) -> Path:
    where = os.environ.get("VEXA_SCREENSHOTS")
    out = Path(where) if where else tmp_path_factory.mktemp("shots")
    out.mkdir(parents=True, exist_ok=True)
    return out


@pytest.fixture(scope="module")
def reports(tmp_path_factory) -> dict[str, Path]:
    pytest.importorskip("pyvexa")
    folder = tmp_path_factory.mktemp("reports")
    pages = {}
    for name, make in MAKERS.items():
        extra = make(folder / f"{name}.vexa") or []
        # Named as a person would give it, from the file's folder.
        r = subprocess.run([sys.executable, "-P", "-m", "vexafile", "report", f"{name}.vexa", *extra], cwd=folder,
                           capture_output=True, timeout=120, env={**os.environ, "SOURCE_DATE_EPOCH": "1700000000"})
        assert r.returncode == 0, r.stderr
        pages[name] = folder / f"{name}.html"
    return pages


@pytest.fixture(scope="module")
def pages(browser, reports, shots) -> dict[str, Page]:
    loaded = {name: Page(browser, path.as_uri()) for name, path in reports.items()}
    for name, page in loaded.items():
        page.screenshot(shots / f"{name}.png", full=True)
    loaded["quickstart"].screenshot(shots / "quickstart-top.png")  # the README's picture
    return loaded


def test_the_harness_sees_console_messages_and_requests(browser, tmp_path):
    # So that the empty lists below mean something.
    probe = tmp_path / "probe.html"
    probe.write_text('<!DOCTYPE html><img src="http://127.0.0.1:9/x.png"><script>console.error("seen")</script>')
    page = Page(browser, probe.as_uri())
    assert "error: seen" in page.console()
    assert "http://127.0.0.1:9/x.png" in page.requests()


@pytest.mark.parametrize("name", MAKERS)
def test_page_loads_without_console_messages_or_requests(pages, name):
    page = pages[name]
    assert page.console() == []
    assert page.requests() == [page.url]


@pytest.mark.parametrize("name, words", [
    ("quickstart", ["coil A1", "Sine", "amplitude 1.0, frequency 10.0", "50000 samples", "session end 10.0 s",
                    "0 errors"]),
    ("nine_million", ["9000000 samples", "session end 1800.0 s", "band: min to max of each pixel column"]),
    ("planted_errors", ["missing: no such signal", "missing: the machine has 6", "mixes itself",
                        "channel B selects coil 0, tuning 3", "error", "Limits\n", "site.toml",
                        "session.duration_min"]),
])
def test_every_section_is_in_the_rendered_text(pages, name, words):
    text = pages[name].evaluate("document.body.innerText")
    for word in (*SECTIONS, *words):
        assert word in text, word


def test_nine_million_sample_drawing_is_on_screen(pages, reports):
    assert reports["nine_million"].stat().st_size < 500_000
    page = pages["nine_million"]
    boxes = page.evaluate("""[...document.querySelectorAll('svg.chart polygon')].map(p => {
        p.closest('svg').scrollIntoView({block: 'center'});
        const b = p.getBBox(), r = p.getBoundingClientRect();
        const hit = document.elementFromPoint(r.x + r.width * 0.37, r.y + r.height / 2);
        return [b.width, b.height, r.width, r.height, hit === p || hit.closest('svg') === p.closest('svg')];
    })""")
    assert len(boxes) == 2
    for width, height, screen_w, screen_h, hit in boxes:
        assert width > 600 and height > 50 and screen_w > 400 and screen_h > 50 and hit


def test_disabled_channel_and_missing_signals_are_marked(pages):
    page = pages["quickstart"]
    assert page.evaluate("getComputedStyle(document.querySelector('svg.routing.disabled text')).fill") \
        != page.evaluate("getComputedStyle(document.querySelector('svg.routing.enabled text')).fill")
    assert pages["planted_errors"].evaluate("document.querySelectorAll('.box.missing').length") == 2


@pytest.mark.parametrize("name", MAKERS)
def test_printing_gives_a4_pages_with_the_routing_on_the_first(pages, shots, name):
    if not (shutil.which("pdfinfo") and shutil.which("pdftotext")):
        pytest.skip("poppler's pdfinfo and pdftotext are not installed (apt-get install poppler-utils)")
    pdf = shots / f"{name}.pdf"
    pages[name].pdf(pdf)
    info = subprocess.run(["pdfinfo", pdf], capture_output=True, text=True, check=True).stdout
    count = int(next(line.split()[1] for line in info.splitlines() if line.startswith("Pages:")))
    assert "(A4)" in info, info
    assert 1 <= count <= 6
    first = subprocess.run(["pdftotext", "-f", "1", "-l", "1", "-layout", pdf, "-"], capture_output=True,
                           text=True, check=True).stdout
    for word in ("Routing: what drives each coil", "coil A1", "modulation B"):
        assert word in first, word
    whole = subprocess.run(["pdftotext", pdf, "-"], capture_output=True, text=True, check=True).stdout
    for word in SECTIONS:
        assert word in whole, word
    # No drawing is split: each chart's top (the session end) and bottom (the
    # time axis) and each channel's heading and last box share a page.
    assert all(f"modulation {letter}\nof the channel" in whole for letter in "AB") and "session end" in whole
    for page_text in whole.split("\f"):
        assert page_text.count("session end") == page_text.count("session time (s)"), page_text
        for letter in "AB":
            assert (f"channel {letter} \u00b7" in page_text) == (f"modulation {letter}\nof the channel" in page_text)
