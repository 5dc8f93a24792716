"""vexafile.envelopes: sample counts that pyvexa accepts, shapes at their
breakpoints, and refusals in words."""

from __future__ import annotations

import math
import subprocess
import sys

import pytest

np = pytest.importorskip("numpy")
pyvexa = pytest.importorskip("pyvexa")
from hypothesis import given, settings, strategies as st  # noqa: E402

from vexafile import envelopes  # noqa: E402


def module_count(duration: float) -> int:
    p = pyvexa.Protocol()
    p.set_session_duration(duration)
    return p.get_num_samples()


def each(duration: float):
    """Every template on a session of `duration`, with ramps that fit."""
    ramp = duration / 8
    yield "piecewise", envelopes.piecewise([(0.0, 0.0), (duration / 2, 1.0)], duration)
    yield "trapezoid", envelopes.trapezoid(duration, ramp, ramp)
    yield "sham", envelopes.sham(duration, ramp, ramp)


# Multiples of the sample period are not binary fractions: their products
# with 5000.0 land on either side of a whole number.
AWKWARD = sorted({0.01, 0.07, 0.1, 0.3, 1 / 3, 2.675, 0.0143, 599.9999, 1799.9999, 1800.0,
                  *(k / 5000 for k in range(50, 400, 7)),
                  *(k * 0.0002 for k in range(50, 400, 7)),
                  *(math.nextafter(k / 5000, math.inf) for k in range(50, 400, 13)),
                  *(math.nextafter(k / 5000, 0.0) for k in range(51, 400, 13)),
                  *(k * 0.1 for k in range(1, 200, 3))})


@pytest.mark.parametrize("duration", AWKWARD)
def test_every_template_has_the_module_count_and_is_accepted(duration):
    n = module_count(duration)
    p = pyvexa.Protocol()
    p.set_session_duration(duration)
    for name, samples in each(duration):
        assert (name, samples.dtype, samples.shape) == (name, np.float64, (n,))
        assert 0.0 <= samples.min() and samples.max() <= 1.0
        p.add_arbitrary_signal(samples)  # a wrong count or value panics


@settings(max_examples=150, deadline=None)
@given(st.floats(min_value=0.01, max_value=120.0))
def test_sample_counts_over_a_sweep(duration):
    n = module_count(duration)
    assert [len(s) for _, s in each(duration)] == [n, n, n]


def test_trapezoid_breakpoints():
    a = envelopes.trapezoid(1.0, 0.2, 0.3, level=0.8)
    end = 4999  # the last sample, at 0.9998 s
    assert (a[0], a[500], a[1000], a[end - 1500], a[end]) == (0.0, 0.4, 0.8, 0.8, 0.0)
    assert np.all(np.diff(a[:1001]) > 0) and np.all(a[1000:end - 1499] == 0.8)
    assert np.all(np.diff(a[end - 1500:]) < 0)
    t = np.arange(5000) / 5000.0
    reference = np.interp(t, [0.0, 0.2, 0.9998 - 0.3, 0.9998], [0.0, 0.8, 0.8, 0.0])
    assert np.max(np.abs(a - reference)) < 1e-12


def test_trapezoid_without_ramps_steps_at_both_ends():
    a = envelopes.trapezoid(0.01, 0.0, 0.0, level=0.5)
    assert a[0] == 0.5 and a[-2] == 0.5 and a[-1] == 0.0


def test_sham_blocks_at_both_ends_and_zero_between():
    a = envelopes.sham(10.0, 1.0, 2.0, level=0.5)
    last = len(a) - 1  # 49999, at 9.9998 s
    assert (a[0], a[5000], a[15000], a[last]) == (0.0, 0.5, 0.0, 0.0)
    # The closing peak, at 9.9998 - 2.0 s, need not fall on a sample's time.
    assert a[last - 10000] == pytest.approx(0.5, abs=1e-12)
    assert np.all(a[15000:last - 15000 + 1] == 0.0)
    # The closing block is the opening one, moved to end on the last sample.
    assert np.max(np.abs(a[last - 15000:] - a[:15001])) < 1e-12


@pytest.mark.parametrize("duration, accepted", [(2.0001, True), (2.0, False)])
def test_sham_needs_two_whole_blocks_before_the_last_sample(duration, accepted):
    # ramps 0.5 + 0.5: the last sample must be at 2.0 s or later; 2.0 s of
    # session has its last sample at 1.9998 s.
    if accepted:
        a = envelopes.sham(duration, 0.5, 0.5)
        # The blocks meet at 1.0 s (sample 5000) without overlapping.
        assert (a[2500], a[5000], a[7500], a[-1]) == (1.0, 0.0, 1.0, 0.0)
    else:
        with pytest.raises(ValueError, match="two blocks"):
            envelopes.sham(duration, 0.5, 0.5)


def test_piecewise_holds_outside_its_points_and_interpolates_between():
    a = envelopes.piecewise([(0.2, 0.5), (0.4, 1.0)], 1.0)
    assert np.all(a[:1001] == 0.5) and a[1500] == 0.75 and np.all(a[2000:] == 1.0)


@pytest.mark.parametrize("points, at, before, after", [
    ([(0.0, 0.2), (0.5, 0.2), (0.5, 0.9), (1.0, 0.9)], 2500, 0.2, 0.9),
    ([(0.5, 0.1), (0.5, 0.6), (0.5, 0.3)], 2500, 0.1, 0.3),  # the last of three holds
    ([(0.00011, 0.0), (0.00011, 1.0)], 1, 0.0, 1.0),  # between samples: from the next one on
    ([(0.0, 0.0), (0.0, 1.0)], 0, None, 1.0),
])
def test_piecewise_steps_take_the_later_point(points, at, before, after):
    a = envelopes.piecewise(points, 1.0)
    if before is not None:
        assert a[at - 1] == before
    assert a[at] == after


@pytest.mark.parametrize("call, words", [
    (lambda: envelopes.piecewise([(0.5, 0.0), (0.2, 1.0)], 1.0), "time order"),
    (lambda: envelopes.piecewise([(1.5, 0.0)], 1.0), "outside the session"),
    (lambda: envelopes.piecewise([(-0.1, 0.0)], 1.0), "outside the session"),
    (lambda: envelopes.piecewise([(float("nan"), 0.0)], 1.0), "outside the session"),
    (lambda: envelopes.piecewise([(0.0, 1.5)], 1.0), "outside 0.0 to 1.0"),
    (lambda: envelopes.piecewise([(0.0, float("nan"))], 1.0), "outside 0.0 to 1.0"),
    (lambda: envelopes.piecewise([], 1.0), "empty"),
    (lambda: envelopes.piecewise([(0.0,)], 1.0), r"points\[0\] must be a \(time_s, fraction\) pair"),
    (lambda: envelopes.trapezoid(1.0, 0.6, 0.6), "longer than the session"),
    (lambda: envelopes.trapezoid(1.0, 0.5, 0.5), "longer than the session"),  # last sample 0.9998 s
    (lambda: envelopes.trapezoid(1.0, -0.1, 0.1), "0 s or more"),
    (lambda: envelopes.trapezoid(1.0, 0.1, float("inf")), "0 s or more"),
    (lambda: envelopes.trapezoid(1.0, 0.1, 0.1, level=1.01), "outside 0.0 to 1.0"),
    (lambda: envelopes.sham(1.0, 0.3, 0.3), "two blocks"),
    (lambda: envelopes.sham(1.0, 0.1, 0.1, level=-0.5), "outside 0.0 to 1.0"),
    (lambda: envelopes.trapezoid(0.005, 0.0, 0.0), "duration 0.005 s is outside the 0.01 to 1800.0 s"),
    (lambda: envelopes.sham(1800.5, 1.0, 1.0), "duration 1800.5 s is outside"),
    (lambda: envelopes.piecewise([(0.0, 0.0)], float("nan")), "duration nan s is outside"),
    (lambda: envelopes.trapezoid(True, 0.0, 0.0), "duration must be a number"),
    (lambda: envelopes.trapezoid("10", 0.0, 0.0), "duration must be a number"),
])
def test_refusals_name_the_value(call, words):
    with pytest.raises(ValueError, match=words):
        call()


def test_trapezoid_whose_ramps_fill_the_session_is_a_triangle():
    a = envelopes.trapezoid(1.0001, 0.5, 0.5)  # 5001 samples, the last at 1.0 s
    assert (len(a), a[2500], a[-1]) == (5001, 1.0, 0.0)


def test_without_numpy_the_module_says_to_install_it():
    code = ("import sys; sys.modules['numpy'] = None\n"
            "import vexafile\n"
            "try:\n    import vexafile.envelopes\nexcept ImportError as e:\n    print(e)\n")
    r = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0 and r.stderr == ""
    assert "vexafile.envelopes needs NumPy" in r.stdout and "pip install numpy" in r.stdout
