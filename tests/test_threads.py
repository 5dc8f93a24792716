"""Several threads on separate and shared protocols: the interpreter lock
serialises them, and the access flag must still refuse only true overlaps."""

import sys
import threading

import numpy as np

import pyvexa
from pyvexa import Channel, Coil


def hammer(p, rounds, errors, samples):
    try:
        for i in range(rounds):
            p.set_stimulation_intensity((i % 11) / 10)
            p.set_amplitude_source(Coil.A2, i, i % 2 == 0)
            p.enable_channel(Channel.B)
            p.add_constant_signal(float(i))
            p.add_arbitrary_signal(samples)
            str(p)
            p.get_num_samples()
    except BaseException as e:  # noqa: B036 - a PanicException would be a bug here
        errors.append(e)


def test_threads_on_separate_and_shared_protocols():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as possible
    try:
        shared = pyvexa.Protocol()
        shared.set_session_duration(0.01)
        own = [pyvexa.Protocol() for _ in range(3)]
        for p in own:
            p.set_session_duration(0.01)
        samples = np.linspace(0.0, 1.0, 50)
        errors = []
        rounds = 150
        targets = own + [shared, shared, shared]
        threads = [threading.Thread(target=hammer, args=(p, rounds, errors, samples)) for p in targets]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)

    # No call ever runs inside another on the same object here (the lock is
    # never released inside a method), so nothing may be refused.
    assert errors == []
    for p in own:
        assert str(p).count("ConstantSignalParams {") == rounds
    assert str(shared).count("ArbitrarySignalParams {") == 3 * rounds
    # The flag is free again: exclusive and shared access both succeed.
    shared.set_session_duration(1.0)
    assert shared.get_sampling_rate() == 5000.0


class CallsBack:
    """A NumPy-like scalar whose conversions call into the protocol."""

    def __init__(self, p, action):
        self.p, self.action, self.seen = p, action, []

    def _hook(self, value):
        try:
            self.action(self.p)
        except RuntimeError as e:
            self.seen.append(str(e))
        return value

    def __float__(self):
        return self._hook(0.25)

    def __index__(self):
        return self._hook(3)


def test_conversions_that_call_back_see_the_access_error_and_the_call_completes():
    p = pyvexa.Protocol()
    writer = CallsBack(p, lambda q: q.add_constant_signal(1.0))
    reader = CallsBack(p, lambda q: q.get_sampling_rate())
    assert p.add_constant_signal(writer) == 0
    assert p.add_mixed_signal(reader, reader) == 1
    assert writer.seen == ["Already borrowed"]
    assert reader.seen == ["Already mutably borrowed"] * 2
    text = str(p)
    assert "value: 0.25," in text and "a_idx: 3," in text and "b_idx: 3," in text
    assert p.add_constant_signal(2.0) == 2  # the object is usable afterwards

