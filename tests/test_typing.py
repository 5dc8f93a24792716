"""The shipped stubs match the built module, and the examples type-check."""

import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("mypy")

ROOT = pathlib.Path(__file__).resolve().parent.parent


def run_mypy(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=ROOT / "tests")


def test_stubs_match_the_runtime_module():
    result = run_mypy("mypy.stubtest", "pyvexa")
    assert result.returncode == 0, result.stdout + result.stderr


def test_examples_pass_strict_type_checking():
    result = run_mypy("mypy", "--strict", "--no-incremental", str(ROOT / "examples"))
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubs_reject_a_wrong_argument_type(tmp_path):
    script = tmp_path / "bad.py"
    script.write_text("import pyvexa\npyvexa.Protocol().enable_channel(pyvexa.Coil.A1)\n")
    result = run_mypy("mypy", "--strict", "--no-incremental", str(script))
    assert result.returncode == 1
    assert 'incompatible type "Coil"; expected "Channel"' in result.stdout
