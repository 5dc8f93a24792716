"""The version of vexafile, for --version and the report's page."""

from __future__ import annotations


def version() -> str:
    from importlib.metadata import PackageNotFoundError
    from importlib.metadata import version as installed

    try:
        return installed("pyvexa")  # the distribution that ships vexafile
    except PackageNotFoundError:
        return "unknown (pyvexa is not installed as a distribution)"
