"""Builds and imports the test-only module that calls the borrow registry
from native threads."""

import importlib.util
import os

from borrow_peer.build import compile_module


def load(out_dir):
    """Compiles _registry_threads.c into out_dir and imports it."""
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "_registry_threads.c")
    target = compile_module(source, out_dir, "-pthread")
    spec = importlib.util.spec_from_file_location("_registry_threads", target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
