"""vexafile.summary / summarize and vexafile show --summary: one screen
for a whole protocol, however long its signals."""

from __future__ import annotations

import dataclasses

import numpy as np
import pytest

import pyvexa
import vexafile as vf
from reader_support import assert_one_line, cli
from vexa_helpers import DEFAULT_MACHINE, arbitrary, channel, constant, default_settings, mixed, sine, source
from vexafile._summary import summarize


def saved(tmp_path, p, name="p.vexa"):
    path = tmp_path / name
    p.save(str(path))
    return path


def test_summary_of_a_small_protocol_line_by_line():
    record = default_settings(
        [constant(0.5), sine(1.0, 10.0, 0.0, 1.0), arbitrary([0, 32767, 16384, 8192] * 75000), mixed(0, 1)],
        intensity=0.25,
        channel_a_settings=channel(True, a1=source(2), a2=source(3), mod=source(0, 4, True)),
    )
    assert vf.summary(record).splitlines() == [
        "duration: 60.0 s",
        "samples: 300000 at 5000 per second",
        "intensity: 0.250 of full scale (machine maximum 0.300)",
        'channel A: enabled, coil 0 "Default", tuning 0, carrier 22.624 kHz',
        "  A1: signal 2 = Arbitrary, 300000 samples, 60.0 s, min 0.000, max 1.000, mean 0.438",
        "  A2: signal 3 = MixedSignal of signals 0 and 1",
        "  modulation: external input 4",
        'channel B: disabled, coil 0 "Default", tuning 0, carrier 22.624 kHz',
        "  B1: signal 0 = Constant value 0.5",
        "  B2: signal 0 = Constant value 0.5",
        "  modulation: signal 0 = Constant value 0.5",
        "signals: 4",
        "  0: Constant value 0.5",
        "  1: Sine amplitude 1.0, frequency 10.0, phase 0.0, depth 1.0",
        "  2: Arbitrary, 300000 samples, 60.0 s, min 0.000, max 1.000, mean 0.438",
        "  3: MixedSignal of signals 0 and 1",
        "machine supply: supply_voltage 80.0, 6 external inputs",
        'machine coil: coil 0 "Default", 150.0 uH, tuning 0: 330.0 nF, carrier 22.624 kHz',
        "check: 0 errors, 0 warnings",
    ]


def test_summarize_gives_the_rows_the_text_is_made_of():
    record = default_settings([constant(0.5), constant(0.25)], channel_a_settings=channel(True, a1=source(7)))
    s = summarize(record)
    assert s.session[0] == ("duration", "60.0 s")
    a = s.channels[0]
    assert (a.name, a.enabled) == ("A", True)
    assert [(r.role, r.source, r.signal) for r in a.sources] == [
        ("A1", "signal 7 (missing)", None),
        ("A2", "signal 0", "Constant value 0.5"),
        ("modulation", "signal 0", "Constant value 0.5"),
    ]
    assert [(r.index, r.kind, r.in_force) for r in s.signals] == [(0, "Constant", True), (1, "Constant", False)]
    assert (s.errors, s.warnings, s.more_signals) == (1, 1, 0)


def test_summary_of_a_9m_sample_file_fits_and_has_the_samples_figures(tmp_path):
    p = pyvexa.Protocol()
    p.set_session_duration(1800.0)
    ramp = np.linspace(0.0, 1.0, 9_000_000)
    p.add_arbitrary_signal(ramp)
    p.add_arbitrary_signal(np.full(9_000_000, 0.25))
    p.set_modulation_source(pyvexa.Channel.A, 1)
    text = vf.summary(vf.load(saved(tmp_path, p)))
    lines = text.splitlines()
    assert len(lines) < 40 and max(map(len, lines)) < 120
    assert "  0: Arbitrary, 9000000 samples, 1800.0 s, min 0.000, max 1.000, mean 0.500" in lines
    assert "  1: Arbitrary, 9000000 samples, 1800.0 s, min 0.250, max 0.250, mean 0.250" in lines
    assert "samples: 9000000 at 5000 per second" in lines


def test_ten_thousand_signals_are_cut_short_after_twenty():
    record = default_settings([constant(i / 10000) for i in range(10000)])
    lines = vf.summary(record).splitlines()
    assert lines.count("  ... and 9980 more") == 1
    assert "  19: Constant value 0.0019 (not in force)" in lines
    assert not any(line.startswith("  20: ") for line in lines)
    assert len(lines) < 50


def test_summary_is_ascii_apart_from_names_in_the_file():
    coil = dataclasses.replace(DEFAULT_MACHINE.coils[0], name="Sp\u00fcle \u2192 1")
    record = default_settings([sine(float("nan"), float("inf"), -0.0, 1.0)],
                              machine_config=dataclasses.replace(DEFAULT_MACHINE, coils=(coil,)))
    text = vf.summary(record)
    assert text.replace("Sp\u00fcle \u2192 1", "").isascii()
    assert "Sine amplitude NaN, frequency inf, phase -0.0" in text


def test_a_file_with_faults_is_summarised_with_its_counts():
    record = default_settings([mixed(0, 5)], session_duration=float("nan"),
                              channel_a_settings=channel(True, coil_idx=3))
    s = vf.summary(record)
    assert "samples: none (the duration is out of range)" in s
    assert "coil 3 (missing)" in s
    n = vf.check(record)
    errors = sum(f.severity == "error" for f in n)
    assert s.splitlines()[-1] == f"check: {errors} errors, {len(n) - errors} warning{'s' if len(n) - errors != 1 else ''}"


@pytest.mark.parametrize("flag", ["--summary", "-s"])
@pytest.mark.parametrize("decoder", ["native", "python"])
def test_show_summary_prints_the_summary(tmp_path, flag, decoder):
    p = pyvexa.Protocol()
    p.add_sine_signal(1.0, 10.0)
    path = saved(tmp_path, p)
    r = cli(decoder, "show", flag, path)
    assert r.returncode == 0 and r.stderr == b""
    assert r.stdout.decode() == vf.summary(vf.load(path)) + "\n"
    assert cli(decoder, flag, path).stdout == r.stdout
    plain = cli(decoder, path)
    assert plain.stdout.decode() == str(p) + "\n"


def test_show_summary_of_a_damaged_file_is_one_line(tmp_path):
    path = tmp_path / "bad.vexa"
    path.write_bytes(b"\x07" * 40)
    r = cli("native", "show", "--summary", path)
    assert r.returncode == 2 and r.stdout == b""
    assert_one_line(r.stderr, "not a .vexa protocol, or damaged", "offset 0")
