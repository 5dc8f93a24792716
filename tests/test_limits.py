"""Site limits: each rule planted just inside and just outside its limit,
what is in force and what is not, layers, limits files that are refused,
and `vexafile check --limits` / `vexafile limits` on the command line."""

from __future__ import annotations

import dataclasses
import hashlib
import json
import math
import pathlib
import re

import pytest

import vexafile as vf
from reader_support import assert_one_line, cli
from vexa_helpers import arbitrary, channel, default_settings, encode, mixed, source
from vexa_helpers import constant as _constant, ramp as _ramp, sine as _sine

FULL = 32767
UP = math.inf


# The encoder writes what it is given: parameters must be floats.
def sine(*params):
    return _sine(*map(float, params))


def ramp(*params):
    return _ramp(*map(float, params))


def constant(value):
    return _constant(float(value))


def limits_file(tmp_path, text: str, name: str = "site.toml"):
    path = tmp_path / name
    path.write_text(text)
    return path


def limits(tmp_path, text: str, name: str = "site.toml") -> vf.Limits:
    return vf.Limits.load(limits_file(tmp_path, text, name))


def rules_broken(lim: vf.Limits, settings) -> list[tuple[str, str]]:
    return [(f.rule, f.path) for f in lim.findings(settings)]


def session(**changes):
    return default_settings(signals=[constant(0.0)], **changes)


def signal(s, *more):
    """A protocol whose channel A is driven by signal 0 (`s`), with `more` unused after it."""
    return default_settings(signals=[s, *more])


def samples(*values):
    return signal(arbitrary(values))


# One rule, the protocol just inside, the protocol just outside, and where the finding is.
PLANTED = [
    ("session.intensity_max = 0.4", session(intensity=0.4), session(intensity=math.nextafter(0.4, UP)),
     "intensity"),
    ("session.intensity_min = 0.1", session(intensity=0.1), session(intensity=math.nextafter(0.1, 0)), "intensity"),
    ("session.duration_max = 600", session(session_duration=600.0),
     session(session_duration=math.nextafter(600.0, UP)), "session_duration"),
    ("session.duration_min = 1", session(session_duration=1.0), session(session_duration=0.999),
     "session_duration"),
    ("sine.frequency_min = 0.5", signal(sine(1, 0.5, 0, 1)), signal(sine(1, 0.4999, 0, 1)),
     "signals[0].Sine.frequency"),
    ("sine.frequency_max = 100", signal(sine(1, 100, 0, 1)), signal(sine(1, 100.001, 0, 1)),
     "signals[0].Sine.frequency"),
    ("sine.amplitude_max = 1.5", signal(sine(-1.5, 10, 0, 1)), signal(sine(-1.5000001, 10, 0, 1)),
     "signals[0].Sine.amplitude"),
    ("sine.depth_min = 0.2", signal(sine(1, 10, 0, 0.2)), signal(sine(1, 10, 0, 0.19)), "signals[0].Sine.depth"),
    ("sine.depth_max = 0.8", signal(sine(1, 10, 0, 0.8)), signal(sine(1, 10, 0, 0.81)), "signals[0].Sine.depth"),
    ("ramp.peak_max = 2", signal(ramp(2, 5, 5)), signal(ramp(2.01, 5, 5)), "signals[0].Ramp.peak"),
    ("ramp.up_duration_min = 5", signal(ramp(1, 5, 1)), signal(ramp(1, 4.9, 1)), "signals[0].Ramp.up_duration"),
    ("ramp.down_duration_min = 5", signal(ramp(1, 1, 5)), signal(ramp(1, 1, 4.9)),
     "signals[0].Ramp.down_duration"),
    ("constant.value_max = 0.7", signal(constant(0.7)), signal(constant(0.71)), "signals[0].Constant.value"),
    # 0.5 is stored as 16384 (16383.5 rounds up), so 16384 keeps the limit.
    ("arbitrary.fraction_max = 0.5", samples(0, 16384, 5), samples(0, 16384, 16385, 16385),
     "signals[0].Arbitrary.samples[2]"),
    # 0.01 is stored as 328, up or down.
    ("arbitrary.step_max = 0.01", samples(1000, 672, 1000, 1000), samples(1000, 1000, 671, 671),
     "signals[0].Arbitrary.samples[2]"),
    ("arbitrary.step_max = 0.01", samples(0, 328, 656), samples(0, 328, 657), "signals[0].Arbitrary.samples[2]"),
    ("arbitrary.first_max = 0.1", samples(3277, 9000, 0), samples(3278, 0, 0), "signals[0].Arbitrary.samples[0]"),
    ("arbitrary.last_max = 0.1", samples(0, 9000, 3277), samples(0, 0, 3278), "signals[0].Arbitrary.samples[2]"),
    ('channels.allowed = ["A"]', session(), session(channel_b_settings=channel(True)),
     "channel_b_settings.enabled"),
    ("channels.allowed = []", session(channel_a_settings=channel(False)), session(), "channel_a_settings.enabled"),
    ("channels.external_inputs = false", session(),
     session(channel_a_settings=channel(True, mod=source(external=2, external_selected=True))),
     "channel_a_settings.modulation_source"),
]


@pytest.mark.parametrize("rule, inside, outside, path", PLANTED, ids=[c[0] for c in PLANTED])
def test_each_rule_breaks_only_outside_its_limit(rule, inside, outside, path, tmp_path, sample_kind):
    table, line = rule.split(".", 1)
    lim = limits(tmp_path, f"[{table}]\n{line}\n")
    # Through the file and the decoder, so that samples are NumPy or array('h').
    assert rules_broken(lim, vf.loads(encode(inside))) == []
    assert rules_broken(lim, vf.loads(encode(outside))) == [(f"{table}.{line.split(' =')[0]}", path)]


def test_amplitude_max_reports_the_absolute_value(tmp_path):
    [f] = limits(tmp_path, "[sine]\namplitude_max = 1\n").findings(signal(sine(-2.5, 10, 0, 1)))
    assert (f.value, f.limit) == (2.5, 1.0)
    assert f.message == "sine.amplitude_max (site.toml): 2.5 is above 1.0 by 1.5".replace(
        "site.toml", str(tmp_path / "site.toml"))


@pytest.mark.parametrize("text, settings, message", [
    ("[session]\nintensity_max = 0.4", session(intensity=0.45), "0.45 is above 0.4 by 0.05"),
    ("[session]\nintensity_min = 0.3", session(intensity=0.1), "0.1 is below 0.3 by 0.2"),
    ("[session]\nduration_max = 600", session(session_duration=1200.0), "1200.0 is above 600.0 by 600.0"),
    ("[sine]\nfrequency_min = 1e-7", signal(sine(1, 0.0, 0, 1)), "0.0 is below 1e-7 by 1e-7"),
    ("[sine]\nfrequency_max = 1e300", signal(sine(1, 1.5e300, 0, 1)), "1.5e300 is above 1e300 by 5e299"),
    ("[sine]\nfrequency_max = 100", signal(sine(1, math.nan, 0, 1)), "NaN is not a finite number; the limit is 100.0"),
    ("[sine]\nfrequency_min = 1", signal(sine(1, math.inf, 0, 1)), "inf is not a finite number; the limit is 1.0"),
    ("[session]\nintensity_max = 0.4", session(intensity=-math.inf), "-inf is not a finite number"),
    ("[constant]\nvalue_max = 1", signal(constant(math.nan)), "NaN is not a finite number"),
    ("[arbitrary]\nfraction_max = 0.5", samples(16385), "0.500045777764214 is above 0.5 by 0.000045777764214"),
])
def test_messages_give_value_limit_and_excess_in_decimal(text, settings, message, tmp_path):
    [f] = limits(tmp_path, text + "\n").findings(settings)
    assert f.severity == "error" and message in f.message, f.message


def test_a_field_no_rule_covers_may_hold_nan(tmp_path):
    lim = limits(tmp_path, "[sine]\nfrequency_max = 100\n[session]\nintensity_max = 0.5\n")
    assert lim.findings(signal(sine(math.nan, 10, math.nan, math.inf))) == []


# --- arbitrary signals ----------------------------------------------------


@pytest.mark.parametrize("fraction, passes", [(0.5, True), (math.nextafter(0.5, 1), True),
                                              (0.5 + 1 / FULL, False)])
def test_fraction_max_passes_a_signal_composed_at_the_limit(fraction, passes, tmp_path, sample_kind):
    pyvexa = pytest.importorskip("pyvexa")
    np = pytest.importorskip("numpy")
    p = pyvexa.Protocol()
    p.set_session_duration(0.01)
    x = np.full(p.get_num_samples(), 0.25)
    x[7] = fraction
    p.set_amplitude_source(pyvexa.Coil.A1, p.add_arbitrary_signal(x))
    p.save(str(tmp_path / "p.vexa"))
    lim = limits(tmp_path, "[arbitrary]\nfraction_max = 0.5\nstep_max = 0.3\n")
    found = rules_broken(lim, vf.load(tmp_path / "p.vexa"))
    assert found == ([] if passes else [("arbitrary.fraction_max", "signals[0].Arbitrary.samples[7]")])


def fractions_near_halves():
    """Fractions on, next to and between the stored steps, where rounding decides."""
    np = pytest.importorskip("numpy")
    k = np.arange(0, FULL + 1, 97, dtype=np.float64)
    on = np.concatenate([k / FULL, (k + 0.5) / FULL, [0.5, 1.0, 0.49999999999999994]])
    on = on[on <= 1.0]
    return np.concatenate([on, np.nextafter(on, 0.0), np.minimum(np.nextafter(on, 2.0), 1.0)])


def test_limits_convert_as_pyvexa_converts_samples(tmp_path):
    pyvexa = pytest.importorskip("pyvexa")
    from vexafile._model import stored_sample

    x = fractions_near_halves()
    p = pyvexa.Protocol()
    p.set_session_duration(len(x) / 5000.0)
    assert p.get_num_samples() == len(x)
    p.add_arbitrary_signal(x)
    p.save(str(tmp_path / "p.vexa"))
    stored = vf.load(tmp_path / "p.vexa").signals[0].params.samples
    assert [stored_sample(f) for f in x.tolist()] == [int(v) for v in stored]
    # A sample above a limit's stored value is above the limit itself.
    assert all((stored_sample(f) + 1) / FULL > f for f in x.tolist())


def test_one_finding_per_rule_and_signal_at_the_first_sample(tmp_path, sample_kind):
    lim = limits(tmp_path, "[arbitrary]\nfraction_max = 0.5\nstep_max = 0.5\n")
    settings = default_settings(signals=[mixed(1, 2), arbitrary([0, 10000, 20000, 0, 32767]),
                                         arbitrary([0, 0, 0, 30000])])
    found = [(f.rule, f.path, f.value) for f in lim.findings(vf.loads(encode(settings)))]
    assert found == [
        ("arbitrary.fraction_max", "signals[1].Arbitrary.samples[2]", 20000 / FULL),
        ("arbitrary.step_max", "signals[1].Arbitrary.samples[3]", 20000 / FULL),
        ("arbitrary.fraction_max", "signals[2].Arbitrary.samples[3]", 30000 / FULL),
        ("arbitrary.step_max", "signals[2].Arbitrary.samples[3]", 30000 / FULL),
    ]


def test_steps_between_any_int16_are_not_wrapped(tmp_path, sample_kind):
    # A file may hold samples pyvexa never writes; their step needs 17 bits.
    lim = limits(tmp_path, "[arbitrary]\nstep_max = 1.0\n")
    [f] = lim.findings(vf.loads(encode(samples(-32768, 32767))))
    assert (f.path, f.value) == ("signals[0].Arbitrary.samples[1]", 65535 / FULL)


def test_steps_are_found_across_blocks_as_a_plain_scan_finds_them(tmp_path, sample_kind, monkeypatch):
    np = pytest.importorskip("numpy")
    from vexafile import _limits

    monkeypatch.setattr(_limits, "_BLOCK", 5)  # many block edges in a short signal
    rng = np.random.default_rng(3)
    for _ in range(40):
        values = [int(v) for v in rng.integers(0, 400, int(rng.integers(1, 30)))]
        step, high = (int(t) for t in rng.integers(0, 420, 2))
        # Stored values as limits, so the thresholds are those integers.
        lim = limits(tmp_path, f"[arbitrary]\nstep_max = {step / FULL!r}\nfraction_max = {high / FULL!r}\n")
        got = {f.rule: f.path for f in lim.findings(vf.loads(encode(samples(*values))))}
        over = [i for i in range(1, len(values)) if abs(values[i] - values[i - 1]) > step]
        above = [i for i, v in enumerate(values) if v > high]
        assert got.get("arbitrary.step_max") == (f"signals[0].Arbitrary.samples[{over[0]}]" if over else None)
        assert got.get("arbitrary.fraction_max") == (f"signals[0].Arbitrary.samples[{above[0]}]" if above else None)


def test_an_empty_arbitrary_signal_breaks_nothing(tmp_path):
    lim = limits(tmp_path, "[arbitrary]\nfraction_max = 0\nstep_max = 0\nfirst_max = 0\nlast_max = 0\n")
    assert lim.findings(samples()) == []


# --- what is in force -----------------------------------------------------

ALL_SIGNAL_RULES = """\
[sine]
frequency_max = 10
[ramp]
peak_max = 1
[constant]
value_max = 1
[arbitrary]
fraction_max = 0.5
"""
BREAKING = [sine(1, 50, 0, 1), ramp(5, 1, 1), constant(2.0), arbitrary([0, 30000])]


def test_a_signal_no_enabled_channel_reaches_breaks_no_rule(tmp_path):
    lim = limits(tmp_path, ALL_SIGNAL_RULES)
    # Signal 0 drives channel A; the breaking ones are unused, or named by disabled channel B only.
    unused = default_settings(signals=[constant(0.0), *BREAKING])
    assert lim.findings(unused) == []
    b_only = dataclasses.replace(unused, channel_b_settings=channel(False, a1=source(1), a2=source(2), mod=source(3)))
    assert lim.findings(b_only) == []


def test_signals_reached_through_mixes_are_checked(tmp_path):
    lim = limits(tmp_path, ALL_SIGNAL_RULES)
    # 0 mixes 1 and 5; 5 mixes 2 and 6; 6 mixes 3 and 4; nothing else reaches them.
    settings = default_settings(signals=[mixed(1, 5), *BREAKING, mixed(2, 6), mixed(3, 4)])
    assert [f.path for f in lim.findings(settings)] == [
        "signals[1].Sine.frequency", "signals[2].Ramp.peak", "signals[3].Constant.value",
        "signals[4].Arbitrary.samples[1]",
    ]


def test_external_inputs_of_a_disabled_channel_are_not_in_force(tmp_path):
    lim = limits(tmp_path, "[channels]\nexternal_inputs = false\nallowed = [\"A\"]\n")
    external = source(external=1, external_selected=True)
    off = session(channel_b_settings=channel(False, a1=external, a2=external))
    assert lim.findings(off) == []
    on = session(channel_b_settings=channel(True, a2=external))
    assert rules_broken(lim, on) == [("channels.allowed", "channel_b_settings.enabled"),
                                     ("channels.external_inputs", "channel_b_settings.amplitude2_source")]
    allowed = limits(tmp_path, "[channels]\nexternal_inputs = true\n", "any.toml")
    assert allowed.findings(on) == []


# --- layers ---------------------------------------------------------------


def test_each_layer_reports_its_own_broken_rule(tmp_path):
    texts = {
        "device.toml": "[session]\nintensity_max = 0.9\nduration_max = 1800\n",
        "site.toml": "[session]\nintensity_max = 0.4\n[sine]\nfrequency_max = 100\n",
        "study.toml": "# approved for this study\n[session]\nintensity_max = 0.3\nduration_max = 600\n",
    }
    paths = [limits_file(tmp_path, text, name) for name, text in texts.items()]
    lim = vf.Limits.load(*paths)
    settings = default_settings(signals=[sine(1, 50, 0, 1)], intensity=0.35, session_duration=900.0)
    found = [(f.rule, f.limits_file, f.limits_sha256, f.limit) for f in vf.check(settings, limits=lim)
             if f.rule]
    digest = {p: hashlib.sha256(p.read_bytes()).hexdigest() for p in paths}
    study = str(paths[2])
    assert found == [
        ("session.intensity_max", study, digest[paths[2]], 0.3),
        ("session.duration_max", study, digest[paths[2]], 600.0),
    ]
    assert [layer.path for layer in lim.layers] == [str(p) for p in paths]


def test_check_without_limits_is_unchanged(tmp_path):
    settings = session(intensity=0.35)
    assert vf.check(settings) == vf.check(settings, limits=vf.Limits.load())
    assert all(f.rule is f.limits_file is f.limits_sha256 is f.value is f.limit is None for f in vf.check(settings))


# --- limits files that are refused ----------------------------------------


@pytest.mark.parametrize("text, key, words", [
    ("[session]\nintensity_mx = 0.4", "session.intensity_mx", ["unknown key", "did you mean intensity_max"]),
    ("[arbitrary]\nstep = 0.1", "arbitrary.step", ["unknown key", "step_max"]),
    ("[sesion]\nintensity_max = 0.4", "[sesion]", ["unknown table", "[session]"]),
    ("[ramps]\n", "[ramps]", ["unknown table"]),
    ("intensity_max = 0.4", "intensity_max", ["outside any table"]),
    ("session = 0.4", "session", ["expected the table [session]"]),
    ('[session]\nintensity_max = "0.4"', "session.intensity_max", ['got the string "0.4"', "finite number"]),
    ("[session]\nintensity_max = true", "session.intensity_max", ["got true"]),
    ("[session]\nintensity_max = [0.4]", "session.intensity_max", ["got the array"]),
    ("[session.intensity_max]\nx = 1", "session.intensity_max", ["got a table"]),
    ("[session]\nduration_max = 2026-01-01", "session.duration_max", ["got a date"]),
    ("[session]\nduration_max = nan", "session.duration_max", ["got nan"]),
    ("[session]\nduration_max = -inf", "session.duration_max", ["got -inf"]),
    ("[session]\nduration_max = 1e400", "session.duration_max", ["got inf"]),
    (f"[session]\nduration_max = {10 ** 400}", "session.duration_max", ["finite number"]),
    ("[session]\nintensity_min = 0.5\nintensity_max = 0.4", "session.intensity_min", ["above", "maximum"]),
    ("[sine]\ndepth_max = 0\ndepth_min = 1", "sine.depth_min", ["above sine.depth_max"]),
    ("[arbitrary]\nfraction_max = 1.5", "arbitrary.fraction_max", ["fraction from 0.0 to 1.0", "1.5"]),
    ("[arbitrary]\nstep_max = -0.1", "arbitrary.step_max", ["fraction from 0.0 to 1.0"]),
    ("[channels]\nallowed = \"A\"", "channels.allowed", ["list of channel names"]),
    ('[channels]\nallowed = ["A", "a"]', "channels.allowed", ["list of channel names"]),
    ("[channels]\nexternal_inputs = 0", "channels.external_inputs", ["true or false", "got 0"]),
    ("[session\n", None, ["not valid TOML", "line 1"]),
    (b"[session]\nintensity_max = 0.4 # \xff\n", None, ["not UTF-8"]),
])
def test_invalid_limits_files_are_refused(text, key, words, tmp_path):
    path = tmp_path / "bad.toml"
    path.write_bytes(text if isinstance(text, bytes) else text.encode())
    with pytest.raises(vf.LimitsError) as caught:
        vf.Limits.load(path)
    e = caught.value
    assert isinstance(e, ValueError) and e.file == str(path) and e.key == key
    assert str(e).startswith(f"{path}: {key + ': ' if key else ''}")
    assert "\n" not in str(e)
    for word in words:
        assert word in str(e), str(e)


@pytest.mark.parametrize("text, rules", [
    ("[session]\nduration_max = 600\nintensity_max = 1", {"session.intensity_max": 1.0,
                                                         "session.duration_max": 600.0}),
    ("[session]\nintensity_min = 0.4\nintensity_max = 0.4", {"session.intensity_max": 0.4,
                                                            "session.intensity_min": 0.4}),
    ('[channels]\nallowed = ["B", "A", "B"]\nexternal_inputs = true',
     {"channels.allowed": ("B", "A"), "channels.external_inputs": True}),
    ("# nothing set\n[session]\n[sine]\n", {}),
])
def test_valid_files_hold_their_rules(text, rules, tmp_path):
    assert limits(tmp_path, text).layers[0].rules == rules


def test_an_unreadable_limits_file_raises_oserror(tmp_path):
    with pytest.raises(FileNotFoundError):
        vf.Limits.load(tmp_path / "missing.toml")


def test_an_endless_limits_file_is_refused_after_a_bounded_read():
    with pytest.raises(vf.LimitsError, match="^/dev/zero: is larger than 1024 KiB"):
        vf.Limits.load("/dev/zero")


# --- the template ---------------------------------------------------------


def test_the_template_checks_nothing_and_lists_every_key(tmp_path):
    run = cli("native", "limits", "--template")
    assert run.returncode == 0 and run.stderr == b""
    text = run.stdout.decode()
    assert limits(tmp_path, text, "template.toml").layers[0].rules == {}
    assert 'without "A" fails every protocol' in text
    assert "does not by itself make a protocol safe" in text
    assert max(map(len, text.splitlines())) <= 79
    # Uncommented, every key is a rule; and each table lists what the reader knows.
    set_all = re.sub(r"^# (\w+ = )", r"\1", text, flags=re.M)
    rules = limits(tmp_path, set_all, "all.toml").layers[0].rules
    for table in re.findall(r"^\[(\w+)\]$", text, flags=re.M):
        with pytest.raises(vf.LimitsError) as caught:
            limits(tmp_path, f"[{table}]\nno_such_key = 1\n", "probe.toml")
        known = str(caught.value).split("expected one of ")[1].split(", ")
        assert [r.split(".")[1] for r in rules if r.startswith(table + ".")] == known


# --- the command line -----------------------------------------------------


@pytest.fixture
def protocol_files(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "clean.vexa").write_bytes(encode(session(intensity=0.2)))
    (tmp_path / "run.vexa").write_bytes(encode(session(intensity=0.45)))
    (tmp_path / "site.toml").write_text("[session]\nintensity_max = 0.4\n")
    (tmp_path / "study.toml").write_text("[session]\nintensity_max = 0.25\n")
    return tmp_path


def test_check_limits_line_format_and_exit_status(protocol_files):
    clean = cli("native", "check", "--limits", "site.toml", "clean.vexa")
    assert (clean.returncode, clean.stdout) == (0, b"")
    run = cli("native", "check", "--limits", "site.toml", "--limits", "study.toml", "run.vexa", "clean.vexa")
    assert run.returncode == 1 and run.stderr == b""
    assert run.stdout.decode().splitlines() == [
        "run.vexa: warning: intensity: 0.45 is above the machine's max_intensity_setpoint 0.3",
        "run.vexa: error: intensity: session.intensity_max (site.toml): 0.45 is above 0.4 by 0.05",
        "run.vexa: error: intensity: session.intensity_max (study.toml): 0.45 is above 0.25 by 0.2",
    ]


def test_check_limits_json_fields(protocol_files):
    run = cli("native", "check", "--json", "--limits", "site.toml", "run.vexa")
    assert run.returncode == 1
    [warning, error] = json.loads(run.stdout)["files"][0]["findings"]
    keys = ["severity", "path", "message", "rule", "limits_file", "limits_sha256", "value", "limit"]
    assert list(warning) == keys and list(error) == keys
    assert [warning[k] for k in keys[3:]] == [None] * 5
    digest = hashlib.sha256((protocol_files / "site.toml").read_bytes()).hexdigest()
    assert {k: error[k] for k in keys[3:]} == {"rule": "session.intensity_max", "limits_file": "site.toml",
                                               "limits_sha256": digest, "value": 0.45, "limit": 0.4}


def test_check_limits_json_spells_nan_as_a_string(protocol_files):
    (protocol_files / "nan.vexa").write_bytes(encode(session(intensity=math.nan)))
    run = cli("native", "check", "--json", "--limits", "site.toml", "nan.vexa")
    finding = [f for f in json.loads(run.stdout)["files"][0]["findings"] if f["rule"]][0]
    assert finding["value"] == "NaN"


@pytest.mark.parametrize("args, words", [
    (["--limits", "bad.toml"], ["bad.toml", "session.intensity_mx", "unknown key"]),
    (["--limits", "site.toml", "--limits", "missing.toml"], ["missing.toml", "cannot read the limits file"]),
    (["--limits", "."], [".", "cannot read the limits file"]),
])
def test_check_refuses_a_bad_limits_file_before_any_protocol(args, words, protocol_files):
    (protocol_files / "bad.toml").write_text("[session]\nintensity_mx = 0.4\n")
    for mode in ([], ["--json"]):
        run = cli("native", "check", *mode, *args, "run.vexa", "missing.vexa")
        assert run.returncode == 2 and run.stdout == b""
        line = assert_one_line(run.stderr, *words)
        assert "missing.vexa" not in line


def test_limits_lists_the_rules_of_each_file(protocol_files):
    run = cli("native", "limits", "site.toml", "study.toml")
    assert run.returncode == 0
    assert run.stdout.decode().splitlines() == ["site.toml: session.intensity_max = 0.4",
                                                "study.toml: session.intensity_max = 0.25"]
    neither = cli("native", "limits")
    assert neither.returncode == 2 and neither.stdout == b""
    assert_one_line(neither.stderr, "--template")


def test_limits_is_a_command_word():
    run = cli("native", "--help")
    assert re.search(rb"^\s+limits\s", run.stdout, flags=re.M), run.stdout
    unknown = cli("native", "limitz")
    assert re.search(r"the commands are [a-z, ]*\blimits\b", assert_one_line(unknown.stderr, "limitz"))


def test_the_readme_example_prints_what_the_readme_shows(tmp_path, monkeypatch):
    pyvexa = pytest.importorskip("pyvexa")
    np = pytest.importorskip("numpy")
    readme = (pathlib.Path(__file__).resolve().parent.parent / "README.md").read_text()
    section = readme[readme.index("**Site limits.**"):readme.index("**Compare.**")]
    for name, body in re.findall(r"```toml\n# (\w+\.toml): .*?\n(.*?)```", section, flags=re.S):
        (tmp_path / name).write_text(body)
    command, *shown = re.search(r"```text\n\$ (.*?)\n(.*?)```", section, flags=re.S).group(1, 2)
    monkeypatch.chdir(tmp_path)
    p = pyvexa.Protocol()
    p.set_session_duration(900.0)
    p.set_stimulation_intensity(0.35)
    p.set_amplitude_source(pyvexa.Coil.A1, p.add_sine_signal(1.0, 50.0))
    ramp_up = np.linspace(0.0, 1.0, p.get_num_samples())
    ramp_up[-1] = 0.5
    p.set_modulation_source(pyvexa.Channel.A, p.add_arbitrary_signal(ramp_up))
    p.save("run.vexa")
    run = cli("native", *command.split()[1:])
    assert run.returncode == 1
    assert run.stdout.decode().splitlines() == shown[0].splitlines()
