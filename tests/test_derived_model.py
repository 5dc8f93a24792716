"""vexafile's own copy of the model (the records of vexafile._records and
the constants of vexafile._model, kept in Python for the decoder that runs
without the compiled module) held to what the C++ records and constants
export through vexafile._native: a field, variant or limit changed on one
side only fails here."""

import dataclasses

import pytest

from vexa_helpers import constant, default_settings, native_classes, record_classes
from vexafile import _model, _records

_native = pytest.importorskip("vexafile._native")


def test_the_same_records_exist_on_both_sides():
    assert sorted(record_classes()) == sorted(_native.RECORD_FIELDS)


@pytest.mark.parametrize("name", sorted(_native.RECORD_FIELDS))
def test_record_fields_are_named_and_ordered_alike(name):
    cls = getattr(_records, name)
    assert tuple(f.name for f in dataclasses.fields(cls)) == _native.RECORD_FIELDS[name]


def test_signal_variants_are_numbered_and_parametrised_alike():
    variants = _records.SIGNAL_VARIANTS
    assert tuple(v.__name__ for v in variants) == _native.SIGNAL_VARIANTS
    assert tuple(v.params_type.__name__ for v in variants) == _native.SIGNAL_PARAMETERS
    assert [v.variant_index for v in variants] == list(range(len(variants)))
    # A variant holds its parameter record and nothing else.
    assert all(tuple(f.name for f in dataclasses.fields(v)) == ("params",) for v in variants)


@pytest.mark.parametrize("name", sorted(_native.CONSTANTS))
def test_constants_agree_in_value_and_type(name):
    value = getattr(_model, name)
    assert value == _native.CONSTANTS[name]
    assert type(value) is type(_native.CONSTANTS[name])


def test_the_file_format_constants_are_exported():
    assert {"SAMPLING_RATE", "FULL_SCALE", "MIN_SESSION_DURATION", "MAX_SESSION_DURATION",
            "MIN_INTENSITY", "MAX_INTENSITY"} <= set(_native.CONSTANTS)


@pytest.mark.parametrize("target_machine", [None, ""])
def test_default_settings_are_the_machine_defaults(target_machine, monkeypatch):
    if target_machine is not None:
        monkeypatch.setenv("VEXA_TARGET_MACHINE", target_machine)
    expected = default_settings(signals=(constant(0.0),), running_on_target_machine=target_machine is not None)
    assert _native.default_settings(native_classes()) == expected
