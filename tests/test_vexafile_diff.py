"""vexafile diff: the comparison on every kind of field, the sample summary
with and without NumPy, and the command's statuses and output."""

from __future__ import annotations

import dataclasses
import struct
from array import array

import pytest

import vexafile as vf
from reader_support import DECODERS, assert_one_line, cli, hide_numpy, reader_env
from vexa_helpers import (
    DEFAULT_MACHINE,
    EXAMPLE_213,
    arbitrary,
    channel,
    constant,
    default_settings,
    encode,
    mixed,
    ramp,
    sine,
    source,
)
from vexafile import _diff

COIL = DEFAULT_MACHINE.coils[0]
TUNING = COIL.settings[0]
TUNING_TEXT = (
    "LCSetting(capacitance: 330.0, carrier_frequency: 22.624434389140273, "
    "clk_ticks_per_sample: 221, capacitor_bank_setting: 1)"
)
U64_MAX = 2**64 - 1


def machine(**changes) -> vf.MachineConfig:
    return dataclasses.replace(DEFAULT_MACHINE, **changes)


def coil(**changes) -> vf.Coil:
    return dataclasses.replace(COIL, **changes)


def f64(bits: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def lines(old, new) -> list[str]:
    return [str(d) for d in vf.diff(old, new)]


@pytest.fixture(params=["numpy", "no numpy"])
def backend(request, monkeypatch):
    """NumPy for the samples when it is there, or the plain-array path."""
    if request.param == "numpy":
        return pytest.importorskip("numpy")
    hide_numpy(monkeypatch)
    return None


# Changes to a new protocol's record, and the lines they must give.
FIELD_CASES = {
    "bool": (
        dict(running_on_target_machine=True, channel_b_settings=channel(True)),
        ["running_on_target_machine: false -> true", "channel_b_settings.enabled: false -> true"],
    ),
    "bool in machine": (
        dict(machine_config=machine(smbus_psu_connected=True, safety_checks_enabled=False)),
        ["machine_config.smbus_psu_connected: false -> true", "machine_config.safety_checks_enabled: true -> false"],
    ),
    "bool array": (
        dict(monitor_trace_visible=(False,) * 3 + (True,) + (False,) * 11 + (True,)),
        ["monitor_trace_visible[3]: false -> true", "monitor_trace_visible[15]: false -> true"],
    ),
    "source selection": (
        dict(channel_a_settings=channel(True, a2=source(4), mod=source(0, 7, True))),
        [
            "channel_a_settings.amplitude2_source.internal: 0 -> 4",
            "channel_a_settings.modulation_source.external: 0 -> 7",
            "channel_a_settings.modulation_source.external_selected: false -> true",
        ],
    ),
    "size": (
        dict(
            monitor_subsampling_factor=U64_MAX,
            channel_b_settings=channel(False, coil_idx=1, coil_setting_idx=300),
            machine_config=machine(num_coils=0, num_temperature_sensors=128),
        ),
        [
            "machine_config.num_coils: 2 -> 0",
            "machine_config.num_temperature_sensors: 0 -> 128",
            "channel_b_settings.coil_idx: 0 -> 1",
            "channel_b_settings.coil_setting_idx: 0 -> 300",
            f"monitor_subsampling_factor: 1 -> {U64_MAX}",
        ],
    ),
    "f64": (
        dict(intensity=0.3, session_duration=float("inf"), machine_config=machine(supply_voltage=1e-5, max_power=-0.0)),
        [
            "machine_config.supply_voltage: 80.0 -> 1e-5",
            "machine_config.max_power: 520.0 -> -0.0",
            "intensity: 0.0 -> 0.3",
            "session_duration: 60.0 -> inf",
        ],
    ),
    "coil and tuning fields": (
        dict(machine_config=machine(coils=(coil(inductance=2.5e-7, settings=(dataclasses.replace(
            TUNING, clk_ticks_per_sample=U64_MAX, carrier_frequency=float("nan")),)),))),
        [
            "machine_config.coils[0].inductance: 150.0 -> 2.5e-7",
            "machine_config.coils[0].settings[0].carrier_frequency: 22.624434389140273 -> NaN",
            f"machine_config.coils[0].settings[0].clk_ticks_per_sample: 221 -> {U64_MAX}",
        ],
    ),
    "coil name": (
        dict(machine_config=machine(coils=(coil(name='Big "A"\n\u202e'),))),
        ['machine_config.coils[0].name: "Default" -> "Big \\"A\\"\\n\\u{202e}"'],
    ),
    "coil added": (
        dict(machine_config=machine(coils=(COIL, coil(name="B", settings=())))),
        [
            'machine_config.coils[1]: added Coil(name: "B", inductance: 150.0, max_current: 0.1, '
            "max_carrier_frequency: 40.0, settings: [])"
        ],
    ),
    "coil removed": (
        dict(machine_config=machine(coils=())),
        [
            'machine_config.coils[0]: removed Coil(name: "Default", inductance: 150.0, max_current: 0.1, '
            f"max_carrier_frequency: 40.0, settings: [{TUNING_TEXT}])"
        ],
    ),
    "tuning added": (
        dict(machine_config=machine(coils=(coil(settings=(TUNING, TUNING)),))),
        [f"machine_config.coils[0].settings[1]: added {TUNING_TEXT}"],
    ),
    "capacitance lists": (
        dict(machine_config=machine(capacitors=(330.0, 470.0, float("nan")), possible_capacitances=())),
        [
            "machine_config.capacitors[1]: added 470.0",
            "machine_config.capacitors[2]: added NaN",
            "machine_config.possible_capacitances[0]: removed 330.0",
        ],
    ),
}


@pytest.mark.parametrize("changes, expected", FIELD_CASES.values(), ids=FIELD_CASES.keys())
def test_every_record_field_kind(changes, expected):
    old, new = default_settings(), default_settings(**changes)
    assert lines(old, new) == expected
    # The same records read back from files differ in the same way.
    assert lines(vf.loads(encode(old)), vf.loads(encode(new))) == expected
    assert vf.diff(new, new) == [] and vf.diff(vf.loads(encode(new)), new) == []


BASE_SIGNALS = [constant(0.5), sine(1.0, 10.0, 0.0, 1.0), ramp(1.0, 0.5, 0.25), mixed(0, 1), arbitrary([0, 100, 32767])]


def with_signal(index: int, signal) -> list:
    return [signal if i == index else s for i, s in enumerate(BASE_SIGNALS)]


SIGNAL_CASES = {
    "sine frequency": (with_signal(1, sine(1.0, 12.5, 0.0, 1.0)), ["signals[1].Sine.frequency: 10.0 -> 12.5"]),
    "constant value": (with_signal(0, constant(-0.5)), ["signals[0].Constant.value: 0.5 -> -0.5"]),
    "ramp fields": (
        with_signal(2, ramp(1.0, 1e16, 0.0)),
        ["signals[2].Ramp.up_duration: 0.5 -> 1e16", "signals[2].Ramp.down_duration: 0.25 -> 0.0"],
    ),
    "mixed index": (with_signal(3, mixed(0, U64_MAX)), [f"signals[3].MixedSignal.b_idx: 1 -> {U64_MAX}"]),
    "variant": (
        with_signal(2, constant(0.5)),
        ["signals[2]: Ramp(peak: 1.0, up_duration: 0.5, down_duration: 0.25) -> Constant(value: 0.5)"],
    ),
    "variant from samples": (
        with_signal(4, sine(1.0, 10.0, 0.0, 1.0)),
        ["signals[4]: Arbitrary(samples: [3 samples]) -> Sine(amplitude: 1.0, frequency: 10.0, phase: 0.0, depth: 1.0)"],
    ),
    "added": (
        [*BASE_SIGNALS, constant(0.5), arbitrary([])],
        ["signals[5]: added Constant(value: 0.5)", "signals[6]: added Arbitrary(samples: [0 samples])"],
    ),
    "removed": (
        BASE_SIGNALS[:3],
        ["signals[3]: removed MixedSignal(a_idx: 0, b_idx: 1)", "signals[4]: removed Arbitrary(samples: [3 samples])"],
    ),
    "all removed": (
        [],
        [f"signals[{i}]: removed {_diff.compact(s)}" for i, s in enumerate(BASE_SIGNALS)],
    ),
    "samples value": (
        with_signal(4, arbitrary([0, 101, 32767])),
        ["signals[4].Arbitrary.samples: 1 of 3 samples differ, first at [1]: 100 -> 101, largest difference 1"],
    ),
    "samples longer": (
        with_signal(4, arbitrary([0, 100, 32767, 5])),
        ["signals[4].Arbitrary.samples: 3 -> 4 samples; the first 3 are equal"],
    ),
    "samples shorter and changed": (
        with_signal(4, arbitrary([-7, 100])),
        ["signals[4].Arbitrary.samples: 3 -> 2 samples; 1 of the first 2 differ, first at [0]: 0 -> -7, "
         "largest difference 7"],
    ),
    "samples emptied": (with_signal(4, arbitrary([])), ["signals[4].Arbitrary.samples: 3 -> 0 samples"]),
}


@pytest.mark.parametrize("signals, expected", SIGNAL_CASES.values(), ids=SIGNAL_CASES.keys())
def test_signals(backend, signals, expected):
    old, new = default_settings(BASE_SIGNALS), default_settings(signals)
    assert lines(old, new) == expected
    assert lines(vf.loads(encode(old)), vf.loads(encode(new))) == expected


def test_added_and_removed_are_mirrors():
    old, new = default_settings(BASE_SIGNALS[:1]), default_settings(BASE_SIGNALS[:2])
    (grown,), (shrunk,) = vf.diff(old, new), vf.diff(new, old)
    assert (grown.path, grown.kind, grown.old, grown.new) == ("signals[1]", "added", "", _diff.compact(BASE_SIGNALS[1]))
    assert (shrunk.path, shrunk.kind, shrunk.old, shrunk.new) == ("signals[1]", "removed", grown.new, "")


NAN = float("nan")
FLOAT_CASES = [
    (NAN, NAN, None),
    (f64(0x7FF8000000000001), f64(0x7FF8000000000001), None),
    (NAN, f64(0x7FF8000000000001), "NaN (0x7ff8000000000000) -> NaN (0x7ff8000000000001)"),
    (NAN, f64(0xFFF8000000000000), "NaN (0x7ff8000000000000) -> NaN (0xfff8000000000000)"),
    (NAN, 0.0, "NaN -> 0.0"),
    (0.0, -0.0, "0.0 -> -0.0"),
    (-0.0, -0.0, None),
    (float("inf"), float("inf"), None),
    (float("inf"), float("-inf"), "inf -> -inf"),
    (5e-324, 0.0, "5e-324 -> 0.0"),
    (0.1 + 0.2, 0.3, "0.30000000000000004 -> 0.3"),
]


@pytest.mark.parametrize("old, new, expected", FLOAT_CASES)
def test_doubles_compare_by_their_bits(old, new, expected):
    want = [] if expected is None else [f"signals[0].Constant.value: {expected}"]
    a, b = default_settings([constant(old)]), default_settings([constant(new)])
    assert lines(a, b) == want
    # The decoder keeps the bits, payloads of NaN included.
    assert lines(vf.loads(encode(a)), vf.loads(encode(b))) == want


BLOCK = _diff._BLOCK


def samples_with(n: int, changes: dict[int, int]) -> array:
    out = array("h", bytes(2 * n))
    for i, v in changes.items():
        out[i] = v
    return out


SAMPLE_CASES = {
    "equal": (array("h", [1, 2, 3]), array("h", [1, 2, 3]), ""),
    "both empty": (array("h"), array("h"), ""),
    "one empty": (array("h"), array("h", [4]), ""),
    "widest difference": (
        array("h", [5, -32768]), array("h", [5, 32767]),
        "1 of 2 samples differ, first at [1]: -32768 -> 32767, largest difference 65535",
    ),
    "across blocks": (
        samples_with(BLOCK + 5, {BLOCK - 1: 3}), samples_with(BLOCK + 5, {BLOCK + 3: -9, BLOCK + 4: 2}),
        f"3 of {BLOCK + 5} samples differ, first at [{BLOCK - 1}]: 3 -> 0, largest difference 9",
    ),
    "second block only": (
        samples_with(2 * BLOCK, {}), samples_with(2 * BLOCK + 1, {BLOCK + 2: 1, 2 * BLOCK: 7}),
        f"1 of the first {2 * BLOCK} differ, first at [{BLOCK + 2}]: 0 -> 1, largest difference 1",
    ),
    "longer, equal start": (
        samples_with(BLOCK + 1, {}), samples_with(BLOCK, {}), f"the first {BLOCK} are equal",
    ),
}


@pytest.mark.parametrize("old, new, expected", SAMPLE_CASES.values(), ids=SAMPLE_CASES.keys())
@pytest.mark.parametrize("holder", ["array", "numpy"])
def test_sample_summary(backend, holder, old, new, expected):
    if holder == "numpy":
        np = pytest.importorskip("numpy")
        old = np.frombuffer(old, dtype=np.int16)  # read-only, as the decoder gives them
    assert _diff.compare_samples(old, new, backend) == expected


def test_nine_million_samples_across_blocks_are_summarised_exactly():
    np = pytest.importorskip("numpy")
    n = 9_000_000
    old = np.random.default_rng(5).integers(-32768, 32768, n, dtype=np.int16)
    old[3] = -32768
    new = old.copy()
    new[: n // 2] ^= 1  # half of them differ by one
    new[3], new[-1] = 32767, old[-1] ^ 1
    a, b = (default_settings([vf.Arbitrary(vf.ArbitrarySignalParams(s))]) for s in (old, new))
    (found,) = vf.diff(a, b)
    assert found.detail == (
        f"{n // 2 + 1} of {n} samples differ, first at [0]: {old[0]} -> {old[0] ^ 1}, largest difference 65535"
    )


# --- the command


@pytest.fixture(params=DECODERS)
def decoder(request):
    return request.param


def diff_files(decoder, a, b, **kwargs):
    return cli(decoder, "diff", a, b, **kwargs)


def composed(pyvexa, np, *, changed: bool):
    p = pyvexa.Protocol()
    p.set_session_duration(1.0)
    p.set_stimulation_intensity(0.3 if changed else 0.25)
    p.add_constant_signal(float("nan"))
    p.add_sine_signal(1.0, 12.5 if changed else 10.0)
    samples = np.linspace(0.0, 1.0, p.get_num_samples())
    if changed:
        samples[17] = samples[17] + 3 / 32767
    p.add_arbitrary_signal(samples)
    if changed:
        p.add_ramp_signal(1.0, 0.5, 0.5)
        p.enable_channel(pyvexa.Channel.B)
        p.add_constant_signal(0.5)
    else:
        p.add_sine_signal(1.0, 10.0)
    p.set_amplitude_source(pyvexa.Coil.A1, 1)
    return p


@pytest.fixture(scope="module")
def two_files(tmp_path_factory):
    pyvexa = pytest.importorskip("pyvexa")
    np = pytest.importorskip("numpy")
    folder = tmp_path_factory.mktemp("diff")
    paths = []
    for name, changed in (("a.vexa", False), ("b.vexa", True), ("a-again.vexa", False)):
        composed(pyvexa, np, changed=changed).save(str(folder / name))
        paths.append(folder / name)
    return paths


def test_composed_files_differ_line_by_line(decoder, two_files):
    a, b, _ = two_files
    r = diff_files(decoder, a, b)
    assert (r.returncode, r.stderr) == (1, b"")
    assert r.stdout.decode().splitlines() == [
        "intensity: 0.25 -> 0.3",
        "signals[1].Sine.frequency: 10.0 -> 12.5",
        "signals[2].Arbitrary.samples: 1 of 5000 samples differ, first at [17]: 111 -> 114, largest difference 3",
        "signals[3]: Sine(amplitude: 1.0, frequency: 10.0, phase: 0.0, depth: 1.0) -> "
        "Ramp(peak: 1.0, up_duration: 0.5, down_duration: 0.5)",
        "signals[4]: added Constant(value: 0.5)",
        "channel_b_settings.enabled: false -> true",
    ]


@pytest.mark.parametrize("pair", ["itself", "same content", "same records, other bytes"])
def test_equal_files_give_0_and_no_output(decoder, two_files, tmp_path, pair):
    a, _, again = two_files
    if pair == "same records, other bytes":
        # num_coils 1 written as a two-byte varint: the records are equal.
        a, again = tmp_path / "short.vexa", tmp_path / "long.vexa"
        a.write_bytes(EXAMPLE_213)
        again.write_bytes(EXAMPLE_213[:9] + b"\x81\x00" + EXAMPLE_213[10:])
    r = diff_files(decoder, a, a if pair == "itself" else again)
    assert (r.returncode, r.stdout, r.stderr) == (0, b"", b"")


def test_machine_config_differences(decoder, tmp_path):
    old = default_settings([constant(0.0)])
    new = default_settings([constant(0.0)], machine_config=machine(coils=(coil(name="Big"),), max_current=0.75))
    for name, record in (("a.vexa", old), ("b.vexa", new)):
        (tmp_path / name).write_bytes(encode(record))
    r = diff_files(decoder, tmp_path / "a.vexa", tmp_path / "b.vexa")
    assert (r.returncode, r.stderr) == (1, b"")
    assert r.stdout.decode().splitlines() == [
        'machine_config.coils[0].name: "Default" -> "Big"',
        "machine_config.max_current: 0.5 -> 0.75",
    ]


@pytest.mark.parametrize("which", ["first", "second"])
@pytest.mark.parametrize(
    "content, words",
    [(None, "No such file or directory"), ("directory", "Is a directory"), (b"\x00\x00", "offset")],
    ids=["missing", "directory", "short"],
)
def test_unreadable_file_gives_2(decoder, two_files, tmp_path, which, content, words):
    bad = tmp_path / "bad.vexa"
    if content == "directory":
        bad = tmp_path
    elif content is not None:
        bad.write_bytes(content)
    args = (bad, two_files[0]) if which == "first" else (two_files[0], bad)
    r = diff_files(decoder, *args)
    assert r.returncode == 2 and r.stdout == b""
    assert_one_line(r.stderr, str(bad), words)


def test_full_disk_is_one_line_and_status_1(decoder, two_files):
    with open("/dev/full", "wb") as full:
        r = diff_files(decoder, *two_files[:2], stdout=full)
    assert r.returncode == 1
    assert_one_line(r.stderr, "No space left on device")


@pytest.mark.parametrize(
    "name, shown",
    [("Bj\u00f8rn", None), ("a\u202eb", b'machine_config.coils[0].name: "Default" -> "a\\u{202e}b"\n')],
    ids=["letter", "escaped"],
)
def test_ascii_output_and_coil_names(decoder, tmp_path, name, shown):
    # An escaped character never reaches the output encoding; a letter does,
    # and is refused before anything is written.
    for file_name, coil_name in (("a.vexa", "Default"), ("b.vexa", name)):
        record = default_settings([constant(0.0)], machine_config=machine(coils=(coil(name=coil_name),)))
        (tmp_path / file_name).write_bytes(encode(record))
    env = reader_env(decoder, PYTHONIOENCODING="ascii")
    r = diff_files(decoder, tmp_path / "a.vexa", tmp_path / "b.vexa", env=env)
    if shown is None:
        assert r.returncode == 1 and r.stdout == b""
        assert_one_line(r.stderr, "ascii", ascii("\u00f8"))
    else:
        assert (r.returncode, r.stdout, r.stderr) == (1, shown, b"")
