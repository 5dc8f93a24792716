"""Both channels driven from the machine's external signal inputs."""

import sys

import pyvexa
from pyvexa import Channel, Coil


def compose() -> pyvexa.Protocol:
    p = pyvexa.Protocol()
    p.enable_channel(Channel.B)  # channel A is enabled from the start
    p.set_session_duration(120.0)
    p.set_stimulation_intensity(0.2)
    # External inputs are numbered from 0; the default machine has six.
    for number, coil in enumerate([Coil.A1, Coil.A2, Coil.B1, Coil.B2]):
        p.set_amplitude_source(coil, number, external=True)
    p.set_modulation_source(Channel.A, 4, external=True)
    p.set_modulation_source(Channel.B, 5, external=True)
    return p


if __name__ == "__main__":
    protocol = compose()
    path = sys.argv[1] if len(sys.argv) > 1 else "external.vexa"
    protocol.save(path)
    print(protocol)
