"""vexafile.check and `vexafile check` on real saved files: each finding
planted in a file pyvexa wrote (or, for what pyvexa cannot write, in a file
encoded from records), clean files that must stay clean, and the command
line's output and exit statuses."""

from __future__ import annotations

import dataclasses
import json
import pathlib
import sys

import pytest

import vexafile as vf
from reader_support import DECODERS, assert_one_line, cli
from vexa_helpers import DEFAULT_MACHINE, arbitrary, channel, constant, default_settings, encode, mixed, source

pyvexa = pytest.importorskip("pyvexa")
np = pytest.importorskip("numpy")

A, B = pyvexa.Channel, pyvexa.Coil
EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def saved(p, tmp_path, name="p.vexa") -> pathlib.Path:
    path = tmp_path / name
    p.save(str(path))
    return path


def written(settings: vf.Settings, tmp_path, name="r.vexa") -> pathlib.Path:
    path = tmp_path / name
    path.write_bytes(encode(settings))
    return path


def found(path) -> list[tuple[str, str, str]]:
    return [(f.severity, f.path, f.message) for f in vf.check(vf.load(path))]


def built(steps) -> pyvexa.Protocol:
    """A new protocol after `steps(p)`, a lambda calling p's methods in order."""
    p = pyvexa.Protocol()
    steps(p)
    return p


def constants(p, *values: float) -> None:
    for v in values:
        p.add_constant_signal(v)


# --- clean files ----------------------------------------------------------


def readme_quickstart(p):
    p.set_session_duration(10.0)
    p.set_stimulation_intensity(0.25)
    sine = p.add_sine_signal(1.0, 10.0)
    p.set_amplitude_source(B.A1, sine)
    n = p.get_num_samples()
    mod = p.add_arbitrary_signal(np.linspace(0.0, 1.0, n))
    p.set_modulation_source(A.A, mod)


def example(name: str):
    sys.path.insert(0, str(EXAMPLES))
    try:
        return __import__(name).compose()
    finally:
        sys.path.pop(0)


CLEAN = {
    "new protocol": pyvexa.Protocol,
    "README quickstart": lambda: built(readme_quickstart),
    # ceil(0.07 * 5000.0) is 351 in double precision, not 350.
    "0.07 s session": lambda: built(lambda p: (
        p.set_session_duration(0.07), p.set_amplitude_source(B.A1, p.add_arbitrary_signal(np.ones(351))))),
    "channel B": lambda: built(lambda p: (
        constants(p, 0.5, 0.25), p.enable_channel(A.B), p.set_amplitude_source(B.B1, 1),
        p.set_amplitude_source(B.B2, 1), p.set_modulation_source(A.B, 1))),
    **{f"examples/{n}.py": (lambda n=n: example(n)) for n in ("demo", "external_sources", "ramped_burst")},
}


@pytest.mark.parametrize("compose", CLEAN.values(), ids=CLEAN.keys())
def test_clean_protocols_have_no_finding(compose, tmp_path, sample_kind):
    assert found(saved(compose(), tmp_path)) == []


def test_every_example_is_covered():
    assert {p.stem for p in EXAMPLES.glob("*.py")} == {"demo", "external_sources", "ramped_burst"}


# --- findings in files pyvexa writes --------------------------------------

E, W = "error", "warning"
CHA, CHB = "channel_a_settings", "channel_b_settings"
UNUSED = "unused: no source of a channel reaches it"


def arbitrary_routed(route):
    """Constant 0 plays everywhere; the 50-sample arbitrary signal 1 (made
    for 0.01 s) is routed by `route` in a session now 1.0 s long."""
    def steps(p):
        p.set_session_duration(0.01)
        constants(p, 1.0)
        p.add_arbitrary_signal(np.ones(50))
        p.set_session_duration(1.0)
        if route == "directly":
            p.set_modulation_source(A.A, 1)
        elif route == "through a mixed signal":
            p.set_amplitude_source(B.A1, p.add_mixed_signal(0, 1))
        elif route == "from a disabled channel":
            p.set_amplitude_source(B.B1, 1)
    return steps


NEED_5000 = (E, "signals[1].Arbitrary.samples",
             "has 50 samples, but the session needs 5000 (1.0 s at 5000 per second)")

PLANTED = {
    "source beyond five signals": (lambda p: (
        constants(p, 1.0, 1.0, 1.0), p.add_mixed_signal(0, 1), p.add_mixed_signal(3, 2),
        p.set_amplitude_source(B.A1, 4), p.set_amplitude_source(B.A2, 4), p.set_modulation_source(A.A, 42)), [
        (E, f"{CHA}.modulation_source", "names signal 42, but there are 5 signals (0 to 4)")]),
    "source beyond one signal": (lambda p: (constants(p, 1.0), p.set_amplitude_source(B.A2, 1)), [
        (E, f"{CHA}.amplitude2_source", "names signal 1, but there is 1 signal (0)")]),
    **{f"external input {n}": (lambda p, n=n: (constants(p, 1.0), p.set_amplitude_source(B.A1, n, True)), [
        (E, f"{CHA}.amplitude1_source", f"external input {n}, but the machine has 6 (0 to 5)")] * (n >= 6))
       for n in (5, 6, 99)},
    "mixed operands": (lambda p: (constants(p, 1.0), p.add_mixed_signal(7, 8), p.set_amplitude_source(B.A1, 1)), [
        (E, "signals[1].MixedSignal.a_idx", "names signal 7, but there are 2 signals (0 to 1)"),
        (E, "signals[1].MixedSignal.b_idx", "names signal 8, but there are 2 signals (0 to 1)")]),
    "a signal mixing itself": (lambda p: (constants(p, 1.0), p.add_mixed_signal(0, 1)), [
        (E, "signals[1]", "mixes itself"),
        (W, "signals[1]", UNUSED)]),
    # 1 -> 2 -> 3 -> 1, with 4 in the same group (3 -> 4 -> 1); 5 mixes
    # itself; 0 feeds the group but is not in it.
    "cycles": (lambda p: (
        constants(p, 1.0), p.add_mixed_signal(2, 0), p.add_mixed_signal(3, 0), p.add_mixed_signal(1, 4),
        p.add_mixed_signal(1, 0), p.add_mixed_signal(5, 5),
        p.set_amplitude_source(B.A1, 3), p.set_amplitude_source(B.A2, 5)), [
        (E, "signals[1]", "mixed signals 1, 2, 3, 4 form a cycle: 1 -> 2 -> 3 -> 1"),
        (E, "signals[5]", "mixes itself")]),
    "arbitrary used directly": (arbitrary_routed("directly"), [NEED_5000]),
    "arbitrary through a mixed signal": (arbitrary_routed("through a mixed signal"), [NEED_5000]),
    "arbitrary of a disabled channel": (arbitrary_routed("from a disabled channel"), [
        (W, f"{CHB}.amplitude1_source", "set on a disabled channel: signal 1")]),
    "arbitrary unused": (arbitrary_routed("unused"), [(W, "signals[1]", UNUSED)]),
    "arbitrary 350 of 351": (lambda p: (
        p.set_session_duration(0.0699), p.add_arbitrary_signal(np.ones(350)), p.set_session_duration(0.07)), [
        (E, "signals[0].Arbitrary.samples",
         "has 350 samples, but the session needs 351 (0.07 s at 5000 per second)")]),
    "disabled channel sources": (lambda p: (
        constants(p, 1.0, 1.0), p.set_amplitude_source(B.B1, 1), p.set_amplitude_source(B.B2, 0, True),
        p.set_modulation_source(A.B, 9)), [
        (W, f"{CHB}.amplitude1_source", "set on a disabled channel: signal 1"),
        (W, f"{CHB}.amplitude2_source", "set on a disabled channel: external input 0"),
        (W, f"{CHB}.modulation_source",
         "set on a disabled channel: names signal 9, but there are 2 signals (0 to 1)")]),
    "non-finite parameters": (lambda p: (
        p.add_constant_signal(float("nan")), p.add_sine_signal(1.0, float("inf")),
        p.add_ramp_signal(1.0, 2.0, float("-inf")), p.set_amplitude_source(B.A2, 1),
        p.set_modulation_source(A.A, 2)), [
        (W, "signals[0].Constant.value", "is NaN, not a finite number"),
        (W, "signals[1].Sine.frequency", "is inf, not a finite number"),
        (W, "signals[2].Ramp.down_duration", "is -inf, not a finite number")]),
    "intensity above the set-point": (lambda p: (constants(p, 1.0), p.set_stimulation_intensity(0.5)), [
        (W, "intensity", "0.5 is above the machine's max_intensity_setpoint 0.3")]),
    "unused signals": (lambda p: (
        constants(p, 1.0, 2.0, 3.0), p.add_mixed_signal(1, 1), p.set_modulation_source(A.A, 1)), [
        (W, "signals[2]", UNUSED),
        (W, "signals[3]", UNUSED)]),
    "several, in field order": (lambda p: (
        constants(p, float("nan")), p.set_stimulation_intensity(0.75), p.add_mixed_signal(9, 0),
        p.set_amplitude_source(B.A1, 1), p.set_amplitude_source(B.A2, 6, True), p.set_amplitude_source(B.B1, 5)), [
        (W, "intensity", "0.75 is above the machine's max_intensity_setpoint 0.3"),
        (W, "signals[0].Constant.value", "is NaN, not a finite number"),
        (E, "signals[1].MixedSignal.a_idx", "names signal 9, but there are 2 signals (0 to 1)"),
        (E, f"{CHA}.amplitude2_source", "external input 6, but the machine has 6 (0 to 5)"),
        (W, f"{CHB}.amplitude1_source",
         "set on a disabled channel: names signal 5, but there are 2 signals (0 to 1)")]),
}


@pytest.mark.parametrize("steps, expected", PLANTED.values(), ids=PLANTED.keys())
def test_findings_in_files_pyvexa_writes(steps, expected, tmp_path, sample_kind):
    assert found(saved(built(steps), tmp_path)) == expected


# --- findings pyvexa cannot write: files encoded from records --------------


def record(**changes) -> vf.Settings:
    """A new protocol's record holding one used constant, with changes."""
    return default_settings(signals=[constant(1.0)], **changes)


def machine(**changes) -> vf.MachineConfig:
    return dataclasses.replace(DEFAULT_MACHINE, **changes)


EXTERNAL_ONLY = {"a1": source(0, 0, True), "a2": source(0, 1, True), "mod": source(0, 2, True)}
SECOND_COIL = vf.Coil("Second", 1.0, 1.0, 1.0, ())
FIFTY_WITH_NEGATIVES = [0] * 50
FIFTY_WITH_NEGATIVES[1], FIFTY_WITH_NEGATIVES[40] = -5, -32768

RECORDED = {
    "coil beyond the machine's": (record(channel_a_settings=channel(True, coil_idx=3)), [
        (E, f"{CHA}.coil_idx", "names coil 3, but the machine has 1 coil (0)")]),
    "coil of a disabled channel": (record(channel_b_settings=channel(False, coil_idx=1)), [
        (W, f"{CHB}.coil_idx", "names coil 1, but the machine has 1 coil (0); the channel is disabled")]),
    "tuning beyond the coil's": (record(channel_a_settings=channel(True, coil_setting_idx=2)), [
        (E, f"{CHA}.coil_setting_idx", 'names tuning 2, but coil 0 ("Default") has 1 tuning (0)')]),
    "coil without tunings": (
        record(machine_config=machine(coils=(DEFAULT_MACHINE.coils[0], SECOND_COIL)),
               channel_a_settings=channel(True, coil_idx=1)),
        [(E, f"{CHA}.coil_setting_idx", 'names tuning 0, but coil 1 ("Second") has no tunings')]),
    "machine without coils": (record(machine_config=machine(coils=())), [
        (E, f"{CHA}.coil_idx", "names coil 0, but the machine has no coils"),
        (W, f"{CHB}.coil_idx", "names coil 0, but the machine has no coils; the channel is disabled")]),
    "machine without external inputs": (
        record(machine_config=machine(num_external_signal_sources=0),
               channel_a_settings=channel(True, mod=source(0, 0, True))),
        [(E, f"{CHA}.modulation_source", "external input 0, but the machine has none")]),
    "no signals at all": (default_settings(), [
        (E, f"{CHA}.{field}", "names signal 0, but there are no signals")
        for field in ("amplitude1_source", "amplitude2_source", "modulation_source")]),
    "intensity above 1": (record(intensity=1.5), [(E, "intensity", "1.5 is outside 0.0 to 1.0")]),
    "intensity below 0": (record(intensity=-1e-300), [(E, "intensity", "-1e-300 is outside 0.0 to 1.0")]),
    "intensity NaN": (record(intensity=float("nan")), [(E, "intensity", "NaN is outside 0.0 to 1.0")]),
    "intensity -0.0 at a NaN set-point": (record(intensity=-0.0, machine_config=machine(
        max_intensity_setpoint=float("nan"))), []),
    "session 0.001 s": (record(session_duration=0.001), [
        (E, "session_duration", "0.001 s is outside 0.01 to 1800.0 s")]),
    "session 0 s, no sample count": (default_settings(signals=[arbitrary([1, 2, 3])], session_duration=0.0), [
        (E, "session_duration", "0.0 s is outside 0.01 to 1800.0 s")]),
    "session inf, no sample count": (default_settings(signals=[arbitrary([1])], session_duration=float("inf")), [
        (E, "session_duration", "inf s is outside 0.01 to 1800.0 s")]),
    "session whose sample count overflows": (default_settings(signals=[arbitrary([1])], session_duration=1e306), [
        (E, "session_duration", "1e306 s is outside 0.01 to 1800.0 s")]),
    "session 1800.5 s, lengths still checked": (
        default_settings(signals=[arbitrary([1] * 50)], session_duration=1800.5), [
            (E, "session_duration", "1800.5 s is outside 0.01 to 1800.0 s"),
            (E, "signals[0].Arbitrary.samples",
             "has 50 samples, but the session needs 9002500 (1800.5 s at 5000 per second)")]),
    "negative samples": (default_settings(signals=[arbitrary(FIFTY_WITH_NEGATIVES)], session_duration=0.01), [
        (E, "signals[0].Arbitrary.samples", "sample 1 is -5, outside 0 to 32767 (2 samples below 0)")]),
    "negative samples, unused": (
        default_settings(signals=[arbitrary([-1])], channel_a_settings=channel(True, **EXTERNAL_ONLY)), [
            (W, "signals[0]", UNUSED),
            (E, "signals[0].Arbitrary.samples", "sample 0 is -1, outside 0 to 32767 (1 sample below 0)")]),
    "save's constant 0.0, alone and unused": (
        default_settings(signals=[constant(0.0)], channel_a_settings=channel(True, **EXTERNAL_ONLY)), []),
    "a constant 0.5, alone and unused": (
        default_settings(signals=[constant(0.5)], channel_a_settings=channel(True, **EXTERNAL_ONLY)), [
            (W, "signals[0]", UNUSED)]),
    "two constants 0.0, unused": (
        default_settings(signals=[constant(0.0), constant(0.0)], channel_a_settings=channel(True, **EXTERNAL_ONLY)),
        [(W, "signals[0]", UNUSED), (W, "signals[1]", UNUSED)]),
    "disabled channel's default sources": (
        default_settings(signals=[constant(1.0), constant(1.0)], channel_a_settings=channel(True, *[source(1)] * 3)),
        [(W, "signals[0]", UNUSED)]),
}


@pytest.mark.parametrize("settings, expected", RECORDED.values(), ids=RECORDED.keys())
def test_findings_in_files_encoded_from_records(settings, expected, tmp_path, sample_kind):
    assert found(written(settings, tmp_path)) == expected


# Bytes with the top bit set in either half: 128 and 255 are not negative,
# -256 is (its low byte is 0).
SAMPLE_CASES = [
    ([], None),
    ([128, 255, 32767, 0x7F80], None),
    ([128, -256, 255, -1], (1, -256, 2)),
    ([1] * 999 + [-32768], (999, -32768, 1)),
]


@pytest.mark.parametrize("holder", ["numpy", "array"])
@pytest.mark.parametrize("values, expected", SAMPLE_CASES)
def test_negative_samples_are_found_in_either_holder(values, expected, holder):
    from array import array

    from vexafile._check import _negative_samples

    samples = np.array(values, dtype=np.int16) if holder == "numpy" else array("h", values)
    assert _negative_samples(samples) == expected


# --- the mixing graph ------------------------------------------------------


def ring(n: int, closed: bool) -> vf.Settings:
    """n mixed signals, each mixing the next; the last mixes the first
    (closed) or a constant (open). Channel A plays signal 0."""
    last = [mixed(0, 0)] if closed else [constant(1.0)]
    return default_settings(signals=[mixed(i + 1, i + 1) for i in range(n - 1)] + last)


@pytest.mark.parametrize("n", [2, 9, 200_000])
def test_long_rings_are_one_cycle_and_long_chains_none(n):
    # Deep enough to break any recursive walk.
    assert vf.check(ring(n, closed=False)) == []
    [finding] = vf.check(ring(n, closed=True))
    members = ", ".join(map(str, range(n))) if n <= 8 else f"0, 1, 2, 3, 4, 5, 6, 7, ... ({n} in all)"
    way = " -> ".join(map(str, [*range(n), 0])) if n <= 8 else "0 -> 1 -> 2 -> 3 -> 4 -> 5 -> 6 -> 7 -> ... -> 0"
    assert finding == vf.Finding("error", "signals[0]", f"mixed signals {members} form a cycle: {way}")


def brute_force_cycles(operands: list[tuple[int, ...]]) -> list[list[int]]:
    n = len(operands)
    reach = [set(ops) for ops in operands]
    for k in range(n):  # transitive closure
        for i in range(n):
            if k in reach[i]:
                reach[i] |= reach[k]
    groups = {frozenset(j for j in range(n) if j in reach[i] and i in reach[j]) for i in range(n) if i in reach[i]}
    return sorted(sorted(g) for g in groups)


@pytest.mark.parametrize("seed", range(40))
def test_cycle_groups_match_a_brute_force_closure(seed):
    from vexafile._in_force import SignalGraph

    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 14))
    signals = [
        mixed(int(rng.integers(0, n + 2)), int(rng.integers(0, n + 2))) if rng.random() < 0.7 else constant(1.0)
        for _ in range(n)
    ]
    graph = SignalGraph(signals)
    groups = graph.cycles()
    assert groups == brute_force_cycles(graph.operands)
    for group in groups:
        loop = graph.loop_through(group[0], group)
        assert loop[0] == loop[-1] == group[0] and set(loop) <= set(group)
        assert len(set(loop)) == len(loop) - 1 >= min(len(group), 2)  # simple; through another member
        assert all(b in graph.operands[a] for a, b in zip(loop, loop[1:]))
    # The walk from some roots: what they and their closure name, each once,
    # positions that name no signal included, flags for the others.
    roots = [int(r) for r in rng.integers(0, n + 2, size=3)]
    closure = set(roots)
    for _ in range(n + 1):
        closure |= {i for r in closure if r < n and isinstance(signals[r], vf.MixedSignal)
                    for i in (signals[r].params.a_idx, signals[r].params.b_idx)}
    order, flags = graph.walk(roots)
    assert sorted(order) == sorted(closure) and order[0] == roots[0]
    assert [i for i in range(n) if flags[i]] == sorted(i for i in closure if i < n)


def test_a_mixed_signal_keeps_what_it_reaches_in_use():
    # 2 mixes 0 and 1; only 2 is played, and nothing is unused.
    s = default_settings(signals=[constant(1.0), arbitrary([1] * 300000), mixed(0, 1)],
                         channel_a_settings=channel(True, *[source(2)] * 3))
    assert vf.check(s) == []


# --- the command line ------------------------------------------------------

GARBAGE = b"\xff" * 3


def write_bytes(path: pathlib.Path, data: bytes) -> pathlib.Path:
    path.write_bytes(data)
    return path

FILES = {
    "clean": lambda d: saved(built(readme_quickstart), d, "clean.vexa"),
    **{name: (lambda d, key=key, name=name: saved(built(PLANTED[key][0]), d, f"{name}.vexa")) for name, key in (
        ("warning", "intensity above the set-point"), ("error", "source beyond five signals"),
        ("errors", "several, in field order"))},
    "missing": lambda d: d / "missing.vexa",
    "garbage": lambda d: write_bytes(d / "garbage.vexa", GARBAGE),
}

RUNS = [
    (["clean"], 0),
    (["clean", "warning"], 0),
    (["warning", "error", "clean"], 1),
    (["clean", "errors", "error"], 1),
    (["error", "missing", "clean"], 2),
    (["missing", "warning"], 2),
    (["garbage", "errors", "missing"], 2),
]


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("check")
    return {name: make(d) for name, make in FILES.items()}


def expected_findings(path) -> list[vf.Finding] | None:
    try:
        return vf.check(vf.load(path))
    except (OSError, ValueError):
        return None


@pytest.mark.parametrize("decoder", DECODERS)
@pytest.mark.parametrize("names, status", RUNS, ids=["+".join(n) for n, _ in RUNS])
def test_text_output_and_exit_status(files, names, status, decoder):
    paths = [files[n] for n in names]
    r = cli(decoder, "check", *paths)
    lines = [
        f"{p}: {f.severity}: {f.path}: {f.message}\n" for p in paths for f in expected_findings(p) or []
    ]
    assert (r.returncode, r.stdout.decode()) == (status, "".join(lines))
    unreadable = [p for p in paths if expected_findings(p) is None]
    if unreadable:
        assert r.stderr.decode().count("\n") == len(unreadable)
        for p in unreadable:
            assert f"vexafile: {p}: " in r.stderr.decode()
    else:
        assert r.stderr == b""


@pytest.mark.parametrize("names, status", RUNS, ids=["+".join(n) for n, _ in RUNS])
def test_json_output_and_quiet(files, names, status):
    paths = [files[n] for n in names]
    r = cli("native", "check", "--json", *paths)
    assert r.returncode == status
    document = json.loads(r.stdout)
    assert [entry["file"] for entry in document["files"]] == list(map(str, paths))
    for p, entry in zip(paths, document["files"]):
        findings = expected_findings(p)
        if findings is None:
            assert set(entry) == {"file", "error"} and entry["error"] and str(p) not in entry["error"]
        else:
            assert entry == {"file": str(p), "findings": [dataclasses.asdict(f) for f in findings]}
    quiet = cli("native", "check", "-q", *paths)
    assert (quiet.returncode, quiet.stdout) == (status, b"")


def test_unreadable_file_reports_the_usual_line(files):
    alone = cli("native", "show", files["garbage"])
    among = cli("native", "check", files["clean"], files["garbage"])
    assert among.returncode == alone.returncode == 2
    assert among.stderr == alone.stderr
    assert_one_line(among.stderr, str(files["garbage"]))
