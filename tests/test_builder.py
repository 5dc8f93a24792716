"""vexafile.Builder: refusals in words, exact pyvexa bytes for random
programs of calls, findings, conversions, pickling and copying."""

from __future__ import annotations

import copy
import math
import pickle
import random
import re
import warnings

import numpy as np

import pytest

import pyvexa
import vexafile as vf
from vexa_helpers import DEFAULT_201, arbitrary, channel, constant, default_settings, mixed, source


def quiet_save(builder, path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", vf.ProtocolWarning)
        return builder.save(path)


def ramp_fractions(n):
    return np.linspace(0.0, 1.0, n)


# --- construction and defaults -------------------------------------------


def test_new_builder_saved_at_once_is_a_new_protocols_201_bytes(tmp_path):
    b = vf.Builder()
    quiet_save(b, tmp_path / "b.vexa")
    assert (tmp_path / "b.vexa").read_bytes() == DEFAULT_201
    assert b.signals == () and b.num_samples == 300000
    assert (b.duration, b.intensity) == (60.0, 0.0)


def test_target_machine_flag_is_read_when_the_builder_is_made(tmp_path, monkeypatch):
    monkeypatch.setenv("VEXA_TARGET_MACHINE", "")
    b = vf.Builder(intensity=0.1)
    monkeypatch.delenv("VEXA_TARGET_MACHINE")
    assert b.to_settings().running_on_target_machine is True
    quiet_save(b, tmp_path / "t.vexa")
    assert (tmp_path / "t.vexa").read_bytes()[0] == 1


def test_num_samples_is_pyvexas_count():
    b = vf.Builder()
    for d in (0.07, 0.01, 1800.0, 12.3456):
        b.duration = d
        p = pyvexa.Protocol()
        p.set_session_duration(d)
        assert b.num_samples == p.get_num_samples()


# --- refusals in words -----------------------------------------------------


def _two_signals():
    b = vf.Builder()
    b.constant(0.5)
    b.sine(1.0, 10.0)
    return b


REFUSALS = [
    (lambda b: vf.Builder(intensity=1.5), ValueError, "intensity must be from 0.0 to 1.0, not 1.5"),
    (lambda b: vf.Builder(duration=0), ValueError, "duration must be from 0.01 to 1800.0 seconds, not 0.0"),
    (lambda b: setattr(b, "duration", float("nan")), ValueError, "from 0.01 to 1800.0 seconds, not NaN"),
    (lambda b: setattr(b, "duration", 1800.0000000000002), ValueError, "not 1800.0000000000002"),
    (lambda b: setattr(b, "intensity", -0.001), ValueError, "intensity must be from 0.0 to 1.0, not -0.001"),
    (lambda b: setattr(b, "intensity", "0.5"), TypeError, "intensity must be a real number, not str '0.5'"),
    (lambda b: setattr(b, "duration", True), TypeError, "duration must be a real number, not bool"),
    (lambda b: b.constant(None), TypeError, "value must be a real number, not NoneType"),
    (lambda b: b.constant("0" * 100_000), TypeError, "value must be a real number, not str '000"),
    (lambda b: b.sine(1.0, 10.0, phase="x"), TypeError, "phase must be a real number"),
    (lambda b: b.ramp(1.0, 10**400, 1.0), ValueError, "up_duration is"),
    (lambda b: b.arbitrary(np.r_[np.full(100, 0.5), 1.5]), ValueError, "fractions[100] is 1.5, outside 0.0 to 1.0"),
    (lambda b: b.arbitrary(np.r_[np.full(60, 0.5), -1e-300]), ValueError, "fractions[60] is -1e-300"),
    (lambda b: b.arbitrary(np.r_[np.full(70, 0.5), np.nan]), ValueError, "fractions[70] is nan"),
    (lambda b: b.arbitrary(np.r_[np.full(300000, 0.5), 2.0][::-1][:-1]), ValueError, "fractions[0] is 2.0"),
    (lambda b: b.arbitrary(np.r_[np.full(200001, 0.5), np.inf, -1.0]), ValueError, "fractions[200001] is inf"),
    (lambda b: b.arbitrary(np.r_[np.full(600000, 0.5), np.nan, 2.0]), ValueError, "fractions[600000] is nan"),
    (lambda b: b.arbitrary(np.zeros((2, 300))), ValueError, "one-dimensional, not of shape (2, 300)"),
    (lambda b: b.arbitrary(np.zeros(300, complex)), TypeError, "not an array of dtype complex128"),
    (lambda b: b.arbitrary(np.array(["0.5"] * 300)), TypeError, "dtype <U3"),
    (lambda b: b.arbitrary(np.array([0.5] * 300, dtype=object)), TypeError, "dtype object"),
    (lambda b: b.arbitrary(np.zeros(300, bool)), TypeError, "not booleans"),
    (lambda b: b.arbitrary([0.5] * 299 + [True]), TypeError, "not booleans"),
    (lambda b: b.arbitrary(np.zeros(49)), ValueError, "fractions has 49 samples, but a session has 50"),
    (lambda b: b.arbitrary(np.zeros(9_000_001, np.float32)), ValueError, "to 9000000 (1800.0 s)"),
    (lambda b: b.mix(0, 2), ValueError, "b=2 names no signal: there are 2 signals (0 to 1)"),
    (lambda b: vf.Builder().mix(0, 0), ValueError, "a=0 names no signal: there are no signals yet"),
    (lambda b: b.mix(0, 1.0), TypeError, "b must be an integer, not float 1.0"),
    (lambda b: b.route("A1", 5), ValueError, "signal=5 names no signal: there are 2 signals"),
    (lambda b: b.route("A1", -1), ValueError, "signal=-1 names no signal"),
    (lambda b: b.route("A1", external=6), ValueError, "external=6 names no input: the machine has 6 external inputs (0 to 5)"),
    (lambda b: b.modulate("B", external=True), TypeError, "external must be an integer, not bool"),
    (lambda b: b.route("A1"), TypeError, "route('A1') takes exactly one of signal and external"),
    (lambda b: b.modulate("A", 0, external=1), TypeError, "modulate('A') takes exactly one of signal and external"),
    (lambda b: b.route("C1", 0), ValueError, "coil must be a pyvexa.Coil or its name ('A1', 'A2', 'B1' or 'B2'), not str 'C1'"),
    (lambda b: b.route(pyvexa.Channel.A, 0), TypeError, "coil must be a pyvexa.Coil or its name"),
    (lambda b: b.route(vf.Coil("A1", 1.0, 1.0, 1.0, ()), 0), TypeError, "not Coil"),
    (lambda b: b.enable("a"), ValueError, "channel must be a pyvexa.Channel or its name ('A' or 'B'), not str 'a'"),
    (lambda b: b.channel(0), TypeError, "channel must be a pyvexa.Channel or its name"),
    (lambda b: b.disable("A"), ValueError, "channel A cannot be disabled: pyvexa has no call that disables it"),
    (lambda b: b.save("run.VEXA"), ValueError, "must end in .vexa, as pyvexa requires: 'run.VEXA'"),
    (lambda b: b.save(b"run.vexa"), TypeError, "path must be a str or os.PathLike, not bytes"),
    (lambda b: b.save("a\0b.vexa"), ValueError, "NUL"),
]


@pytest.mark.parametrize("call, kind, words", REFUSALS, ids=[w[:40] for _, _, w in REFUSALS])
def test_refusals_name_the_argument_the_value_and_the_limit(call, kind, words):
    b = _two_signals()
    before = (b.signals, b.duration, b.intensity, b.channel("A"), b.channel("B"))
    with pytest.raises(kind) as info:
        call(b)
    assert words in str(info.value)
    assert len(str(info.value)) < 300  # a quoted value is cut short
    assert isinstance(info.value, Exception)
    assert (b.signals, b.duration, b.intensity, b.channel("A"), b.channel("B")) == before


def test_enumerations_and_names_select_the_same_source():
    by_enum, by_name = _two_signals(), _two_signals()
    by_enum.route(pyvexa.Coil.B2, 1)
    by_enum.modulate(pyvexa.Channel.B, external=2)
    by_enum.enable(pyvexa.Channel.B)
    by_name.route("B2", 1)
    by_name.modulate("B", external=2)
    by_name.enable("B")
    assert by_enum.to_settings() == by_name.to_settings()
    assert by_name.channel("B") == channel(True, a2=source(1), mod=source(0, 2, True))


# --- arbitrary signals ------------------------------------------------------


@pytest.mark.parametrize(
    "make",
    [
        lambda f: f,
        lambda f: f.astype(np.float32),
        lambda f: f.astype(np.float16),
        lambda f: f.astype(">f8"),
        lambda f: f.astype(np.longdouble),
        lambda f: np.repeat(f, 2)[::2],
        lambda f: f[::-1].copy()[::-1],
        lambda f: (f > 0.5).astype(np.uint8),
        lambda f: (f > 0.5).astype(">i4"),
        lambda f: list(f),
        lambda f: tuple(float(x) for x in f),
    ],
    ids=["f8", "f4", "f2", ">f8", "longdouble", "stride2", "reversed", "u1", ">i4", "list", "tuple"],
)
def test_arbitrary_stores_what_pyvexa_stores_for_the_same_fractions(make, tmp_path):
    rng = np.random.default_rng(7)
    n = 351
    base = rng.random(n)
    base[:6] = [0.0, 1.0, 0.5, 0.25, 1 / 3, -0.0]
    base[6:10] = (np.arange(4) + 0.5) / 32767.0  # halves of the scaled value
    given = make(base)
    b = vf.Builder(duration=0.07, intensity=0.1)
    b.route("A1", b.arbitrary(given))
    quiet_save(b, tmp_path / "b.vexa")
    p = pyvexa.Protocol()
    p.set_session_duration(0.07)
    p.set_stimulation_intensity(0.1)
    p.add_arbitrary_signal(np.asarray(given, dtype=np.float64))
    p.save(str(tmp_path / "p.vexa"))
    assert (tmp_path / "b.vexa").read_bytes() == (tmp_path / "p.vexa").read_bytes()
    stored = vf.load(tmp_path / "p.vexa").signals[0]
    assert b.signals[0] == stored


@pytest.mark.skipif(np.finfo(np.longdouble).eps >= np.finfo(np.float64).eps, reason="longdouble is float64 here")
def test_a_wide_float_above_one_by_less_than_float64_resolves_is_refused():
    given = np.full(300, 0.5, dtype=np.longdouble)
    given[123] = np.longdouble(1) + np.finfo(np.longdouble).eps
    assert float(given[123]) == 1.0
    # x86-64's long double shows 1.0000000000000000001, aarch64's (quad) more digits.
    shown = str(given[123])
    assert shown.startswith("1.0000000000000000")
    with pytest.raises(ValueError, match=rf"fractions\[123\] is {re.escape(shown)}, outside"):
        vf.Builder(duration=0.06).arbitrary(given)


def test_fractions_next_to_every_half_round_as_pyvexa_rounds_them(tmp_path):
    # Every stored value k, approached from the fractions whose product with
    # 32767 falls on k + 0.5 or a few doubles either side of it.
    halves = (np.arange(32767) + 0.5) / 32767.0
    near = [halves]
    for steps in (1, 2, 3):
        for way in (0.0, 1.0):
            x = halves
            for _ in range(steps):
                x = np.nextafter(x, way)
            near.append(x)
    near.append(np.array([0.49999999999999994 / 32767.0, 0.5 / 32767.0, np.nextafter(1.0, 0.0), 1.0, 5e-324]))
    fractions = np.concatenate(near)
    n = len(fractions)
    b = vf.Builder(intensity=0.1)
    b.duration = next(d for d in (n / 5000.0, np.nextafter(n / 5000.0, 0.0)) if math.ceil(d * 5000.0) == n)
    b.route("A1", b.arbitrary(fractions))
    p = pyvexa.Protocol()
    p.set_session_duration(b.duration)
    p.add_arbitrary_signal(fractions)
    p.save(str(tmp_path / "p.vexa"))
    assert np.array_equal(b.signals[0].params.samples, vf.load(tmp_path / "p.vexa").signals[0].params.samples)


def test_arbitrary_keeps_its_own_copy():
    given = np.full(300000, 0.25)
    b = vf.Builder()
    b.arbitrary(given)
    given[:] = 1.0
    assert int(b.signals[0].params.samples.max()) == 8192
    with pytest.raises(ValueError):
        b.signals[0].params.samples[0] = 1


def test_arbitrary_length_is_checked_at_save_against_the_final_duration(tmp_path):
    b = vf.Builder(intensity=0.1)
    b.route("A1", b.arbitrary(ramp_fractions(5000)))  # 1 s of samples, the session is still 60 s
    with pytest.raises(vf.ProtocolError) as info:
        b.save(tmp_path / "x.vexa")
    assert "signals[0].Arbitrary.samples: has 5000 samples, but the session needs 300000" in str(info.value)
    assert [f.severity for f in info.value.findings].count("error") == 1
    assert list(tmp_path.iterdir()) == []
    b.duration = 1.0
    quiet_save(b, tmp_path / "x.vexa")
    assert vf.load(tmp_path / "x.vexa").session_duration == 1.0


def test_unused_arbitrary_of_another_length_is_a_warning_and_is_saved(tmp_path):
    b = vf.Builder(duration=2.0, intensity=0.1)
    b.route("A1", b.constant(0.5))
    b.modulate("A", 0)
    b.route("A2", 0)
    b.arbitrary(ramp_fractions(5000))
    with pytest.warns(vf.ProtocolWarning, match=r"signals\[1\].Arbitrary.samples: has 5000 samples"):
        record = b.save(tmp_path / "u.vexa")
    assert len(vf.load(tmp_path / "u.vexa").signals[1].params.samples) == 5000
    assert record == vf.load(tmp_path / "u.vexa")


# --- exact bytes: random programs against their pyvexa scripts --------------

# Durations whose sample counts the programs use for arbitrary signals.
DURATIONS = {0.01: 50, 0.07: 351, 0.2: 1000, 1.0: 5000}
DTYPES = [np.float64, np.float32, np.float16, ">f8", "<f4", np.longdouble]


def _random_fractions(rng: random.Random, n: int):
    kind = rng.randrange(4)
    if kind == 0:
        values = np.array([rng.random() for _ in range(n)])
    elif kind == 1:
        values = (np.array([rng.randrange(32767) for _ in range(n)]) + 0.5) / 32767.0
    elif kind == 2:
        values = np.array([rng.choice([0.0, 1.0, -0.0, 0.5]) for _ in range(n)])
    else:
        return np.array([rng.randrange(2) for _ in range(n)], dtype=rng.choice([np.int8, np.uint16, ">i8"]))
    values = np.clip(values, 0.0, 1.0).astype(rng.choice(DTYPES))
    layout = rng.randrange(3)
    if layout == 1:
        return np.repeat(values, 3)[::3]
    if layout == 2:
        return values[::-1].copy()[::-1]
    return values


def _random_float(rng: random.Random) -> float:
    return rng.choice([0.0, -0.0, 1.0, 0.5, math.inf, -math.inf, math.nan, rng.uniform(-1e6, 1e6), 1e-310])


def _run_program(seed: int, tmp_path):
    rng = random.Random(seed)
    b = vf.Builder()
    p = pyvexa.Protocol()
    n = 0
    b_enabled = False
    coils = ["A1", "A2", "B1", "B2"]
    for _ in range(rng.randrange(1, 14)):
        op = rng.randrange(9)
        if op == 0:
            v = _random_float(rng)
            assert b.constant(v) == p.add_constant_signal(v) == n
            n += 1
        elif op == 1:
            args = [_random_float(rng) for _ in range(rng.choice([2, 4]))]
            assert b.sine(*args) == p.add_sine_signal(*args) == n
            n += 1
        elif op == 2:
            args = [_random_float(rng) for _ in range(3)]
            assert b.ramp(*args) == p.add_ramp_signal(*args) == n
            n += 1
        elif op == 3 and n:
            a, c = rng.randrange(n), rng.randrange(n)
            assert b.mix(a, c) == p.add_mixed_signal(a, c) == n
            n += 1
        elif op == 4:
            d, count = rng.choice(list(DURATIONS.items()))
            fractions = _random_fractions(rng, count)
            p.set_session_duration(d)
            assert b.arbitrary(fractions) == p.add_arbitrary_signal(np.asarray(fractions, dtype=np.float64)) == n
            n += 1
        elif op in (5, 6) and (n or rng.random() < 0.5):
            coil = rng.choice(coils)
            external = not n or rng.random() < 0.3
            index = rng.randrange(6) if external else rng.randrange(n)
            if op == 5:
                b.route(coil, external=index) if external else b.route(coil, index)
                p.set_amplitude_source(getattr(pyvexa.Coil, coil), index, external)
            else:
                letter = coil[0]
                b.modulate(letter, external=index) if external else b.modulate(letter, index)
                p.set_modulation_source(getattr(pyvexa.Channel, letter), index, external)
        elif op == 7:
            b_enabled = rng.random() < 0.7
            b.enable("B") if b_enabled else b.disable("B")
        else:
            x = rng.choice([0.0, 1.0, rng.random()])
            b.intensity = x
            p.set_stimulation_intensity(x)
    final = rng.choice([*DURATIONS, 60.0])
    b.duration = final
    p.set_session_duration(final)
    if b_enabled:
        p.enable_channel(pyvexa.Channel.B)
    return b, p


@pytest.mark.parametrize("seed", range(60))
def test_random_programs_write_their_pyvexa_scripts_bytes(seed, tmp_path):
    b, p = _run_program(seed, tmp_path)
    out = tmp_path / "b.vexa"
    if any(f.severity == "error" for f in b.findings()):
        with pytest.raises(vf.ProtocolError):
            b.save(out)
        assert not out.exists()
        return
    record = quiet_save(b, out)
    p.save(str(tmp_path / "p.vexa"))
    assert out.read_bytes() == (tmp_path / "p.vexa").read_bytes()
    # NaN parameters compare unequal to themselves; the text form is exact
    assert vf.to_text(record) == vf.to_text(vf.load(out)) == vf.to_text(b.to_settings())
    restored = pickle.loads(pickle.dumps(b))
    quiet_save(restored, tmp_path / "r.vexa")
    assert (tmp_path / "r.vexa").read_bytes() == out.read_bytes()
    b.to_protocol().save(str(tmp_path / "t.vexa"))
    assert (tmp_path / "t.vexa").read_bytes() == out.read_bytes()


def test_some_random_programs_save():
    # The comparison above must not pass only because every program is refused.
    saved = sum(not any(f.severity == "error" for f in _run_program(s, None)[0].findings()) for s in range(60))
    assert saved >= 30


# --- findings -----------------------------------------------------------------


def test_findings_warn_of_sources_never_set_and_of_intensity_zero():
    b = vf.Builder()
    s = b.sine(1.0, 10.0)
    b.route("A1", s)
    b.enable("B")
    b.route("B2", external=1)
    own = [(f.path, f.message) for f in b.findings() if "never set" in f.message or f.path == "intensity"]
    assert own == [
        ("channel_a_settings.amplitude2_source", "never set, so coil A2 takes signal 0 by default (Sine)"),
        ("channel_a_settings.modulation_source",
         "never set, so the modulation of channel A takes signal 0 by default (Sine)"),
        ("channel_b_settings.amplitude1_source", "never set, so coil B1 takes signal 0 by default (Sine)"),
        ("channel_b_settings.modulation_source",
         "never set, so the modulation of channel B takes signal 0 by default (Sine)"),
        ("intensity", "is 0.0, which stimulates nothing"),
    ]
    b.route("A2", s)
    b.modulate("A", s)
    b.route("B1", s)
    b.modulate("B", external=0)
    b.intensity = 0.2
    assert b.findings() == []


def test_never_set_is_kept_through_pickling_and_counted_again_after_from_file(tmp_path):
    b = vf.Builder(intensity=0.2)
    b.constant(0.5)
    for coil in ("A1", "A2"):
        b.route(coil, 0)  # the default index, but set on purpose
    b.modulate("A", 0)
    assert b.findings() == []
    assert pickle.loads(pickle.dumps(b)).findings() == []
    assert copy.deepcopy(b).findings() == []
    quiet_save(b, tmp_path / "s.vexa")
    loaded = vf.Builder.from_file(tmp_path / "s.vexa")
    assert [f.path for f in loaded.findings()] == [
        "channel_a_settings.amplitude1_source", "channel_a_settings.amplitude2_source",
        "channel_a_settings.modulation_source"]


def test_findings_add_the_limits_findings():
    class Limits:
        def findings(self, settings):
            return [vf.Finding("error", "intensity", f"above the site's limit: {settings.intensity}")]

    b = vf.Builder(intensity=0.25)
    assert b.findings(limits=Limits())[-1] == vf.Finding("error", "intensity", "above the site's limit: 0.25")
    with pytest.raises(vf.ProtocolError, match="above the site's limit"):
        b.save("never-written.vexa", limits=Limits())


# --- from_file and from_settings -----------------------------------------------


def test_from_file_gives_back_every_setting(tmp_path):
    p = pyvexa.Protocol()
    p.set_session_duration(0.2)
    p.set_stimulation_intensity(0.3)
    p.add_constant_signal(0.5)
    p.add_arbitrary_signal(np.linspace(0, 1, 1000))
    p.add_mixed_signal(0, 1)
    p.set_amplitude_source(pyvexa.Coil.A2, 2)
    p.set_modulation_source(pyvexa.Channel.B, 4, True)
    p.enable_channel(pyvexa.Channel.B)
    p.save(str(tmp_path / "p.vexa"))
    b = vf.Builder.from_file(tmp_path / "p.vexa")
    assert (b.duration, b.intensity, b.num_samples) == (0.2, 0.3, 1000)
    assert b.signals == vf.load(tmp_path / "p.vexa").signals
    assert b.channel("B") == channel(True, mod=source(0, 4, True))
    quiet_save(b, tmp_path / "b.vexa")
    assert (tmp_path / "b.vexa").read_bytes() == (tmp_path / "p.vexa").read_bytes()


@pytest.mark.parametrize(
    "record, words",
    [
        (default_settings([constant(0.5), mixed(0, 3)]), "signals[1].MixedSignal.b_idx: names signal 3"),
        (default_settings([constant(0.5), mixed(1, 2), mixed(0, 1)]), "signals[1]: mixed signals 1, 2 form a cycle"),
        (default_settings([mixed(0, 0)]), "signals[0]: mixes itself"),
    ],
    ids=["mix-names-nothing", "cycle", "self-mix"],
)
def test_from_settings_refuses_signal_lists_no_routing_can_mend(record, words):
    with pytest.raises(ValueError) as info:
        vf.Builder.from_settings(record)
    assert words in str(info.value) and "no routing can mend" in str(info.value)


@pytest.mark.parametrize(
    "changes",
    [
        {"channel_a_settings": channel(False)},
        {"monitor_subsampling_factor": 2},
        {"intensity": 2.0},
        {"signals": (arbitrary([-5] * 300000),)},
    ],
    ids=["channel-a-off", "monitor", "intensity", "negative-sample"],
)
def test_from_settings_refuses_what_to_protocol_refuses_with_its_message(changes):
    record = default_settings(**changes)
    with pytest.raises(ValueError) as expected:
        vf.to_protocol(record)
    with pytest.raises(ValueError) as info:
        vf.Builder.from_settings(record)
    assert str(info.value) == str(expected.value)


def test_from_settings_loads_what_routing_or_the_duration_mends(tmp_path):
    record = default_settings([arbitrary([100] * 5000)],
                              channel_a_settings=channel(True, a1=source(7), mod=source(0, 9, True)))
    b = vf.Builder.from_settings(record)
    errors = {f.path for f in b.findings() if f.severity == "error"}
    assert errors == {"channel_a_settings.amplitude1_source", "channel_a_settings.modulation_source",
                      "signals[0].Arbitrary.samples"}
    b.route("A1", 0)
    b.modulate("A", 0)
    b.duration = 1.0
    b.intensity = 0.1
    record = quiet_save(b, tmp_path / "m.vexa")
    assert record.signals[0].params.samples.tolist() == [100] * 5000


# --- conversions, display, copying ---------------------------------------------


def test_save_does_not_change_the_builder_and_returns_the_record_in_memory(tmp_path):
    b = vf.Builder(intensity=0.1)
    record = quiet_save(b, tmp_path / "e.vexa")
    assert b.signals == () and record.signals == (constant(0.0),)
    assert record == b.to_settings() == vf.load(tmp_path / "e.vexa")
    assert b.constant(0.5) == 0


def test_to_protocol_is_a_pyvexa_protocol_that_writes_the_same_file(tmp_path):
    b = vf.Builder(duration=1.0, intensity=0.2)
    b.route("A1", b.arbitrary(np.full(5000, 0.75)))
    p = b.to_protocol()
    assert isinstance(p, pyvexa.Protocol) and p.get_num_samples() == 5000
    p.save(str(tmp_path / "p.vexa"))
    assert vf.load(tmp_path / "p.vexa") == b.to_settings()


def test_repr_is_one_line_and_str_is_the_summary():
    b = vf.Builder(duration=2.5)
    b.constant(0.5)
    b.enable("B")
    assert repr(b) == "<vexafile.Builder: 2.5 s, 1 signal, channels enabled: A, B>"
    assert str(b) == vf.summary(b.to_settings())


def test_deepcopy_is_independent_and_pickle_keeps_the_fractions(tmp_path):
    b = vf.Builder(duration=1.0, intensity=0.1)
    b.route("A1", b.arbitrary(np.linspace(0.0, 1.0, 5000)))
    c = copy.deepcopy(b)
    c.constant(0.5)
    c.enable("B")
    assert len(b.signals) == 1 and not b.channel("B").enabled
    r = pickle.loads(pickle.dumps(b, protocol=pickle.HIGHEST_PROTOCOL))
    assert r.signals == b.signals and r.to_settings() == b.to_settings()
    with pytest.raises(ValueError):
        r.signals[0].params.samples[0] = 5


def test_the_readme_builder_quickstart_writes_the_pyvexa_quickstarts_bytes(tmp_path, monkeypatch, capsys):
    import pathlib
    import re

    readme = (pathlib.Path(__file__).parent.parent / "README.md").read_text()
    blocks = re.findall(r"```python\n(.*?)```", readme, re.S)
    pyvexa_block = next(b for b in blocks if "pyvexa.Protocol()" in b and "p.save(" in b)
    builder_block = next(b for b in blocks if "vexafile.Builder(" in b)
    monkeypatch.chdir(tmp_path)
    exec(pyvexa_block, {})
    expected = (tmp_path / "run1.vexa").read_bytes()
    (tmp_path / "run1.vexa").unlink()
    with warnings.catch_warnings():
        warnings.simplefilter("error", vf.ProtocolWarning)  # the quickstart sets every source it uses
        exec(builder_block, {})
    assert (tmp_path / "run1.vexa").read_bytes() == expected
