"""vexafile's compiled decoder: built and in use, private to vexafile, and
absent from pyvexa."""

import os
import pathlib
import shutil
import subprocess

import pytest

import vexafile
from vexafile import _decode

pyvexa = pytest.importorskip("pyvexa")

# Texts only the decoder holds: its error messages.
DECODER_TEXTS = [b"trailing byte", b"bad boolean for", b"unknown signal variant"]


def native_path() -> str:
    assert _decode._native is not None, "vexafile._native is not built or not importable"
    return _decode._native.__file__


def test_the_compiled_decoder_is_in_use():
    if os.environ.get("VEXAFILE_PURE_PYTHON"):
        pytest.skip("VEXAFILE_PURE_PYTHON is set")
    assert pathlib.Path(native_path()).parent == pathlib.Path(vexafile.__file__).parent


def test_pyvexa_does_not_contain_the_decoder():
    native = pathlib.Path(native_path()).read_bytes()
    module = pathlib.Path(pyvexa.__file__).read_bytes()
    for text in DECODER_TEXTS:
        assert text in native, text  # else the check below proves nothing
        assert text not in module, text
    assert not any(name.startswith("_native") or "decode" in name.lower() for name in dir(pyvexa))


@pytest.mark.parametrize("module, init", [("native", "PyInit__native"), ("pyvexa", "PyInit_pyvexa")])
def test_each_module_exports_only_its_init_function(module, init):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not available")
    path = native_path() if module == "native" else pyvexa.__file__
    res = subprocess.run([nm, "-D", "--defined-only", path], capture_output=True, text=True)
    assert res.returncode == 0, res.stderr
    assert [line.split()[-1] for line in res.stdout.splitlines() if line.strip()] == [init]
