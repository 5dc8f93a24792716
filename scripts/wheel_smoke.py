"""Run by scripts/wheel-smoke inside the fresh venv: the installed wheel
composes, saves and reads back a protocol, and its console script shows the
file."""

import importlib.metadata
import pathlib
import subprocess
import sys

import numpy as np

import pyvexa
import vexafile
from vexafile import _decode

venv = pathlib.Path(sys.argv[1]).resolve()


def installed(module_file: str) -> bool:
    return pathlib.Path(module_file).resolve().is_relative_to(venv)


assert installed(pyvexa.__file__), pyvexa.__file__
assert _decode._native is not None, "vexafile._native did not load"
assert installed(_decode._native.__file__), _decode._native.__file__

p = pyvexa.Protocol()
p.set_session_duration(2.0)
sine = p.add_sine_signal(1.0, 10.0)
p.set_amplitude_source(pyvexa.Coil.A1, sine)
ramp = p.add_arbitrary_signal(np.linspace(0.0, 1.0, p.get_num_samples()))
p.set_modulation_source(pyvexa.Channel.A, ramp)
path = pathlib.Path("smoke.vexa").resolve()
p.save(str(path))

settings = vexafile.load(path)
assert vexafile.to_text(settings) == str(p), "text of the file read back differs"
samples = settings.signals[ramp].params.samples
assert isinstance(samples, np.ndarray) and samples.dtype == np.int16
assert samples[0] == 0 and samples[-1] == 32767 and len(samples) == 10000

shown = subprocess.run(["vexafile", str(path)], capture_output=True, text=True, check=True)
assert shown.stdout.rstrip("\n") == str(p), "vexafile's output differs from str(p)"

print(f"wheel-smoke: pyvexa {importlib.metadata.version('pyvexa')} from {pathlib.Path(pyvexa.__file__).name}: "
      f"{path.stat().st_size} bytes saved and read back")
