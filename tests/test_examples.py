"""Every example runs, saves a file the reader accepts, and prints."""

import pathlib
import subprocess
import sys

import pytest
from postcard_oracle import decode

EXAMPLES = sorted((pathlib.Path(__file__).resolve().parent.parent / "examples").glob("*.py"))


@pytest.mark.parametrize("script", EXAMPLES, ids=lambda p: p.name)
def test_example_runs_and_saves_a_readable_file(script, tmp_path):
    target = tmp_path / "out.vexa"
    result = subprocess.run(
        [sys.executable, str(script), str(target)], capture_output=True, text=True, cwd=tmp_path, timeout=120
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout
    settings = decode(target.read_bytes())
    assert settings["signals"]  # saving never leaves the list empty


def test_external_sources_example_routes_every_coil_externally(tmp_path):
    sys.path.insert(0, str(EXAMPLES[0].parent))
    try:
        import external_sources
    finally:
        sys.path.pop(0)
    path = tmp_path / "e.vexa"
    external_sources.compose().save(str(path))
    s = decode(path.read_bytes())
    a, b = s["channel_a_settings"], s["channel_b_settings"]
    selections = [a["amplitude1_source"], a["amplitude2_source"], b["amplitude1_source"], b["amplitude2_source"]]
    assert selections == [{"internal": 0, "external": n, "external_selected": True} for n in range(4)]
    assert b["enabled"]
