"""Shared helpers for the tests of the Python surface of pyvexa."""

import contextlib
import subprocess
import sys

import pytest

# str(Protocol()) with VEXA_TARGET_MACHINE unset: 104 lines, no final newline.
DEFAULT_TEXT = """\
Protocol {
    settings: Settings {
        running_on_target_machine: false,
        machine_config: MachineConfig {
            supply_voltage: 80.0,
            num_coils: 2,
            coils: [
                Coil {
                    name: "Default",
                    inductance: 150.0,
                    max_current: 0.1,
                    max_carrier_frequency: 40.0,
                    settings: [
                        LCSetting {
                            capacitance: 330.0,
                            carrier_frequency: 22.624434389140273,
                            clk_ticks_per_sample: 221,
                            capacitor_bank_setting: 1,
                        },
                    ],
                },
            ],
            capacitors: [
                330.0,
            ],
            possible_capacitances: [
                330.0,
            ],
            num_external_signal_sources: 6,
            smbus_psu_connected: false,
            num_temperature_sensors: 0,
            num_flow_rate_sensors: 0,
            safety_checks_enabled: true,
            max_intensity_setpoint: 0.3,
            max_current: 0.5,
            max_carrier_frequency: 40.0,
            max_temperature: 40.0,
            min_flowrate: 70.0,
            max_power: 520.0,
        },
        intensity: 0.0,
        session_duration: 60.0,
        signals: [],
        channel_a_settings: ChannelSettings {
            enabled: true,
            amplitude1_source: SignalSourceSelection {
                internal: 0,
                external: 0,
                external_selected: false,
            },
            amplitude2_source: SignalSourceSelection {
                internal: 0,
                external: 0,
                external_selected: false,
            },
            modulation_source: SignalSourceSelection {
                internal: 0,
                external: 0,
                external_selected: false,
            },
            coil_idx: 0,
            coil_setting_idx: 0,
        },
        channel_b_settings: ChannelSettings {
            enabled: false,
            amplitude1_source: SignalSourceSelection {
                internal: 0,
                external: 0,
                external_selected: false,
            },
            amplitude2_source: SignalSourceSelection {
                internal: 0,
                external: 0,
                external_selected: false,
            },
            modulation_source: SignalSourceSelection {
                internal: 0,
                external: 0,
                external_selected: false,
            },
            coil_idx: 0,
            coil_setting_idx: 0,
        },
        monitor_trace_visible: [
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
        ],
        monitor_subsampling_factor: 1,
    },
}"""

EMPTY_SIGNALS = "        signals: [],"


def replace_line(text, old, new):
    """Replace one whole line that must occur exactly once."""
    lines = text.split("\n")
    assert lines.count(old) == 1, old
    lines[lines.index(old)] = new
    return "\n".join(lines)


def signal_lines(variant, record, fields):
    """Lines of one element of the signal list; a list value renders one
    element per line."""
    out = [f"            {variant}(", f"                {record} {{"]
    for name, value in fields:
        if isinstance(value, list):
            out.append(f"                    {name}: [")
            out += [f"                        {v}," for v in value]
            out.append("                    ],")
        else:
            out.append(f"                    {name}: {value},")
    out += ["                },", "            ),"]
    return out


def with_signals(*signals, text=DEFAULT_TEXT):
    """Expected text with the given signal_lines() results as the list."""
    block = ["        signals: ["] + [ln for s in signals for ln in s] + ["        ],"]
    return replace_line(text, EMPTY_SIGNALS, "\n".join(block))


def constant(value):
    return signal_lines("Constant", "ConstantSignalParams", [("value", value)])


def parse_text(text):
    """Map (channel, field) -> value for the channel records, plus the
    top-level settings scalars under (None, field)."""
    out = {}
    channel = source = None
    for line in text.split("\n"):
        stripped = line.strip().rstrip(",")
        depth = (len(line) - len(line.lstrip(" "))) // 4
        if stripped.startswith("channel_") and stripped.endswith("ChannelSettings {"):
            channel = stripped[len("channel_")]
            continue
        if depth == 2 and ": " in stripped and not stripped.endswith("{"):
            key, value = stripped.split(": ", 1)
            if not value.startswith("["):
                out[(None, key)] = value
            channel = None
        if channel and depth == 3 and ": " in stripped:
            key, value = stripped.split(": ", 1)
            if value == "SignalSourceSelection {":
                source = key
                out[(channel, source)] = {}
            else:
                out[(channel, key)] = value
        elif channel and depth == 4 and source:
            key, value = stripped.split(": ", 1)
            out[(channel, source)][key] = value
    return out


def selection(internal=0, external=0, selected=False):
    return {
        "internal": str(internal),
        "external": str(external),
        "external_selected": "true" if selected else "false",
    }


@contextlib.contextmanager
def panic(text):
    """Expect a PanicException (a BaseException) carrying exactly text."""
    try:
        yield
    except BaseException as e:  # noqa: B036 - PanicException is not an Exception
        if type(e).__name__ != "PanicException":
            raise
        assert type(e).__module__ == "pyo3_runtime"
        assert e.args == (text,)
    else:
        pytest.fail(f"no PanicException raised, expected {text!r}")


def catch_panic(fn, *args):
    """Call fn and return the PanicException it raises."""
    try:
        fn(*args)
    except BaseException as e:  # noqa: B036
        if type(e).__name__ == "PanicException":
            return e
        raise
    pytest.fail("no PanicException raised")


def run_python(code, env=None):
    """Run code in a fresh interpreter of the test environment."""
    res = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120
    )
    assert res.returncode == 0, res.stderr
    return res.stdout
