"""Builds and imports the test-only module that calls the borrow registry
from native threads."""

import importlib.util
import os
import shlex
import subprocess
import sysconfig


def load(out_dir):
    """Compiles _registry_threads.c into out_dir and imports it."""
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "_registry_threads.c")
    target = os.path.join(out_dir, "_registry_threads" + sysconfig.get_config_var("EXT_SUFFIX"))
    compiler = shlex.split(sysconfig.get_config_var("CC") or "cc")
    flags = ["-shared", "-fPIC", "-pthread", "-O1", "-Wall", "-Werror", f"-I{sysconfig.get_path('include')}"]
    subprocess.run([*compiler, *flags, source, "-o", target], check=True)
    spec = importlib.util.spec_from_file_location("_registry_threads", target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
