"""Writes one fixed protocol (three arbitrary signals, one of them a
reversed view, and one with a stride of its own) to DIR/protocol.vexa and
its text to DIR/protocol.txt, so that the files written on two machines can
be compared byte for byte. The samples come from integer arithmetic and one
division, the same on every CPU."""

import pathlib
import sys

import numpy as np

import pyvexa


def samples(n: int, seed: int) -> np.ndarray:
    # A 64-bit linear congruential sequence; its top 15 bits over 32767.
    state = seed
    out = np.empty(n)
    for i in range(n):
        state = (state * 6364136223846793005 + 1442695040888963407) % 2**64
        out[i] = (state >> 49) / 32767.0
    return out


def compose() -> pyvexa.Protocol:
    p = pyvexa.Protocol()
    p.set_session_duration(0.5)
    p.set_stimulation_intensity(0.75)
    n = p.get_num_samples()
    p.add_sine_signal(1.0, 10.0)
    first = p.add_arbitrary_signal(samples(n, 1))
    reversed_view = p.add_arbitrary_signal(samples(n, 2)[::-1])
    every_third = p.add_arbitrary_signal(samples(3 * n, 3)[::3])
    p.set_amplitude_source(pyvexa.Coil.A1, first)
    p.set_amplitude_source(pyvexa.Coil.B2, reversed_view)
    p.set_modulation_source(pyvexa.Channel.A, every_third)
    p.add_mixed_signal(first, reversed_view)
    return p


def main(directory: str) -> None:
    out = pathlib.Path(directory)
    out.mkdir(parents=True, exist_ok=True)
    p = compose()
    p.save(str(out / "protocol.vexa"))
    (out / "protocol.txt").write_text(str(p))


if __name__ == "__main__":
    main(sys.argv[1])
