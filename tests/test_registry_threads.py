"""The module's borrow table called by another module's native threads,
none of which holds the interpreter lock: its own lock keeps every
acquisition and release intact."""

import importlib

import numpy as np

import pyvexa
import registry_threads
from borrow_peer.support import CAPSULE, SAMPLES, multiarray_name, short_protocol


def test_concurrent_native_callers_leave_the_table_consistent(tmp_path):
    short_protocol(pyvexa).add_arbitrary_signal(np.zeros(SAMPLES))  # installs the table
    capsule = getattr(importlib.import_module(multiarray_name(np)), CAPSULE)
    module = registry_threads.load(str(tmp_path))
    shared = np.zeros(1000)
    owns = tuple(np.zeros(10) for _ in range(8))
    # Every read of `shared` and every write of an array of one's own is
    # granted; a lost or doubled table entry shows up as a refusal, here or
    # when each array is written once more afterwards.
    assert module.hammer(capsule, shared, owns, 100_000) == 0
    assert [module.hammer(capsule, np.zeros(1), (a,), 1) for a in (shared, *owns)] == [0] * (1 + len(owns))
    assert short_protocol(pyvexa).add_arbitrary_signal(shared[:SAMPLES]) == 0
