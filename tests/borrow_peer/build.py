"""Compiles the test-only borrow registry peer and loads it."""

import atexit
import functools
import importlib
import os
import shlex
import shutil
import subprocess
import sys
import sysconfig
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(HERE, "_borrow_peer.c")


def compile_module(source, out_dir, *flags):
    """Compiles one test-only C module with the interpreter's C compiler into
    out_dir (it may include borrow_api.h); returns the built file's path."""
    name = os.path.splitext(os.path.basename(source))[0]
    target = os.path.join(out_dir, name + sysconfig.get_config_var("EXT_SUFFIX"))
    compiler = shlex.split(sysconfig.get_config_var("CC") or "cc")
    includes = sorted({sysconfig.get_path("include"), sysconfig.get_path("platinclude"), HERE})
    command = [*compiler, "-shared", "-fPIC", "-O1", "-Wall", "-Werror", *flags]
    command += [f"-I{path}" for path in includes]
    command += [source, "-o", target]
    subprocess.run(command, check=True)
    return target


def build(out_dir):
    """Compiles the peer into out_dir; returns out_dir."""
    compile_module(SOURCE, out_dir)
    return out_dir


@functools.cache
def peer_dir():
    """A temporary directory holding the built peer, built once per process."""
    out_dir = tempfile.mkdtemp(prefix="borrow_peer_")
    atexit.register(shutil.rmtree, out_dir, ignore_errors=True)
    return build(out_dir)


def load(out_dir=None):
    """Imports the peer built in out_dir (by default, peer_dir())."""
    if "_borrow_peer" in sys.modules:
        return sys.modules["_borrow_peer"]
    out_dir = out_dir or peer_dir()
    sys.path.insert(0, out_dir)
    try:
        return importlib.import_module("_borrow_peer")
    finally:
        sys.path.remove(out_dir)
