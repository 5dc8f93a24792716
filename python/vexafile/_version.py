"""The version vexafile reports: that of the pyvexa distribution that ships it."""

from __future__ import annotations


def installed_version() -> str | None:
    """The installed pyvexa distribution's version, or None without one."""
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("pyvexa")
    except PackageNotFoundError:
        return None
