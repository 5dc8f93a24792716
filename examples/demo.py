"""A typical session: a sine amplitude on coil A1, an arbitrary modulation
on channel A, saved to demo.vexa, printed, and read back."""

import sys

import numpy as np

import pyvexa
import vexafile


def compose() -> pyvexa.Protocol:
    p = pyvexa.Protocol()
    p.set_session_duration(10.0)
    p.set_stimulation_intensity(0.25)

    sine = p.add_sine_signal(1.0, 10.0)
    p.set_amplitude_source(pyvexa.Coil.A1, sine)

    # A slow rise and fall over the whole session, one value per sample.
    n = p.get_num_samples()
    t = np.arange(n) / p.get_sampling_rate()
    envelope = 0.5 - 0.5 * np.cos(2.0 * np.pi * t / t[-1])
    modulation = p.add_arbitrary_signal(np.clip(envelope, 0.0, 1.0))
    p.set_modulation_source(pyvexa.Channel.A, modulation)
    return p


def main(path: str = "demo.vexa") -> None:
    p = compose()
    p.save(path)
    text = str(p)
    # The sample list is long; show the head and the tail of the text.
    lines = text.splitlines()
    if len(lines) > 80:
        lines = lines[:60] + [f"    ... {len(lines) - 80} more lines ..."] + lines[-20:]
    print("\n".join(lines))
    print(f"\nsaved {path}")
    # Read the file back with the independent reader: the texts must agree.
    same = vexafile.to_text(vexafile.load(path)) == text
    print(f"read back {path}: {'same protocol' if same else 'DIFFERENT protocol'}")
    if not same:
        sys.exit(1)


if __name__ == "__main__":
    main(*sys.argv[1:])
