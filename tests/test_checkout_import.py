"""Python started at the root of a built checkout, where the current folder
comes first on sys.path, imports the installed packages with their compiled
parts, not sources that lack them."""

import json
import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent

WHERE = """
import json, pyvexa, vexafile, vexafile._decode
print(json.dumps({"vexafile": vexafile.__file__, "pyvexa": pyvexa.__file__,
                  "native": vexafile._decode._native is not None}))
"""


def where(*flags: str) -> dict:
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONSAFEPATH", "VEXAFILE_PURE_PYTHON")}
    res = subprocess.run([sys.executable, *flags, "-c", WHERE], cwd=ROOT, env=env, capture_output=True, text=True,
                         timeout=120)
    assert res.returncode == 0, res.stderr
    return json.loads(res.stdout)


def test_the_root_of_a_checkout_imports_the_installed_packages():
    from_root = where()
    # -P leaves the current folder off sys.path: what is installed.
    assert from_root == where("-P")
    assert from_root["native"], "the compiled decoder is not in use"
    for name in ("vexafile", "pyvexa"):
        assert not pathlib.Path(from_root[name]).is_relative_to(ROOT / name), from_root
