"""The method frame as a whole: arguments are converted in declaration
order whatever order they were passed in, the first failure stops the rest,
and the defaults the text signatures show are the ones the methods apply."""

import inspect

import pytest

from pyvexa import Channel, Coil, Protocol
from surface_helpers import DEFAULT_TEXT


class Recorder:
    """An argument that notes when it is converted, as a float or an index."""

    def __init__(self, log, name, value=1, fail=False):
        self.log, self.name, self.value, self.fail = log, name, value, fail

    def _convert(self):
        self.log.append(self.name)
        if self.fail:
            raise TypeError("refused on purpose")
        return self.value

    def __float__(self):
        return float(self._convert())

    def __index__(self):
        return int(self._convert())


ORDERED = [
    ("add_sine_signal", ["amplitude", "frequency", "phase", "depth"]),
    ("add_ramp_signal", ["peak", "up_duration", "down_duration"]),
    ("add_mixed_signal", ["a_idx", "b_idx"]),
]


@pytest.mark.parametrize("split", [0, 1], ids=["all keywords", "one positional"])
@pytest.mark.parametrize("name,params", ORDERED, ids=[n for n, _ in ORDERED])
def test_conversion_follows_declaration_not_call_order(name, params, split):
    log = []
    positional = [Recorder(log, p) for p in params[:split]]
    keywords = {p: Recorder(log, p) for p in reversed(params[split:])}
    assert getattr(Protocol(), name)(*positional, **keywords) == 0
    assert log == params


@pytest.mark.parametrize("failing", [0, 1, 2])
def test_first_failed_conversion_ends_the_call(failing):
    params = ORDERED[0][1]
    log = []
    keywords = {p: Recorder(log, p, fail=(i == failing)) for i, p in reversed(list(enumerate(params)))}
    p = Protocol()
    with pytest.raises(TypeError) as info:
        p.add_sine_signal(**keywords)
    assert str(info.value) == f"argument '{params[failing]}': refused on purpose"
    assert log == params[:failing + 1]
    assert str(p) == DEFAULT_TEXT


# Each method with optional parameters, its required arguments, and a value
# other than the default for each optional one.
DEFAULTED = [
    ("add_sine_signal", (1.0, 2.0), {"phase": 0.5, "depth": 0.25}),
    ("set_amplitude_source", (Coil.B2, 7), {"external": True}),
    ("set_modulation_source", (Channel.B, 7), {"external": True}),
]


@pytest.mark.parametrize("name,required,others", DEFAULTED, ids=[n for n, _, _ in DEFAULTED])
def test_signature_defaults_are_the_ones_applied(name, required, others):
    signature = inspect.signature(getattr(Protocol, name))
    shown = {k: v.default for k, v in signature.parameters.items() if v.default is not inspect.Parameter.empty}
    assert shown.keys() == others.keys()

    def text_after(**keywords):
        p = Protocol()
        getattr(p, name)(*required, **keywords)
        return str(p)

    omitted = text_after()
    assert text_after(**shown) == omitted
    for key, value in others.items():
        assert text_after(**{key: value}) != omitted, key
