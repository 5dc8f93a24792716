"""Compile bench/_floor.c into build/bench and import it (benchmark only)."""

from __future__ import annotations

import importlib.machinery
import importlib.util
import os
import shlex
import subprocess
import sysconfig
from pathlib import Path
from types import ModuleType

HERE = Path(__file__).resolve().parent
SRC = HERE / "_floor.c"
OUT_DIR = HERE.parent / "build" / "bench"


def build() -> Path:
    out = OUT_DIR / ("_floor" + str(sysconfig.get_config_var("EXT_SUFFIX")))
    if out.exists() and out.stat().st_mtime >= SRC.stat().st_mtime:
        return out
    OUT_DIR.mkdir(parents=True, exist_ok=True)
    cc = shlex.split(os.environ.get("CC") or str(sysconfig.get_config_var("CC") or "cc"))[:1]
    cmd = [
        *cc, "-O2", "-fPIC", "-shared", "-Wall", "-Wextra", "-Wno-unused-parameter",
        "-I", sysconfig.get_paths()["include"],
        str(SRC), "-o", str(out),
    ]
    subprocess.run(cmd, check=True)
    return out


def load() -> ModuleType:
    path = build()
    loader = importlib.machinery.ExtensionFileLoader("_floor", str(path))
    spec = importlib.util.spec_from_file_location("_floor", path, loader=loader)
    assert spec is not None
    mod = importlib.util.module_from_spec(spec)
    loader.exec_module(mod)
    return mod


if __name__ == "__main__":
    print(build())
