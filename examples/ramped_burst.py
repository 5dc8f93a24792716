"""A waveform built with NumPy: a 40 Hz burst under a linear ramp, checked
against the sample rules before it is added."""

import sys

import numpy as np
import numpy.typing as npt

import pyvexa


def ramped_burst(n: int, rate: float) -> npt.NDArray[np.float64]:
    t = np.arange(n) / rate
    ramp = np.minimum(1.0, t / (t[-1] / 2))  # rise over the first half, then hold
    burst = 0.5 + 0.5 * np.sin(2 * np.pi * 40.0 * t)
    return np.asarray(ramp * burst, dtype=np.float64)


def check_samples(p: pyvexa.Protocol, samples: npt.NDArray[np.float64]) -> None:
    # The module refuses these too, but a clear message here names the sample.
    if samples.ndim != 1 or samples.dtype != np.float64:
        raise ValueError("samples must be a one-dimensional float64 array")
    if len(samples) != p.get_num_samples():
        raise ValueError(f"need {p.get_num_samples()} samples, got {len(samples)}")
    bad = np.flatnonzero(~((samples >= 0.0) & (samples <= 1.0)))
    if bad.size:
        raise ValueError(f"sample {bad[0]} is {samples[bad[0]]}, outside 0.0..1.0")


def compose() -> pyvexa.Protocol:
    p = pyvexa.Protocol()
    p.set_session_duration(2.0)
    samples = ramped_burst(p.get_num_samples(), p.get_sampling_rate())
    check_samples(p, samples)
    burst = p.add_arbitrary_signal(samples)
    p.set_amplitude_source(pyvexa.Coil.A1, burst)
    p.set_modulation_source(pyvexa.Channel.A, p.add_constant_signal(1.0))
    return p


if __name__ == "__main__":
    protocol = compose()
    path = sys.argv[1] if len(sys.argv) > 1 else "burst.vexa"
    protocol.save(path)
    print(f"saved {path}: {protocol.get_num_samples()} samples")
