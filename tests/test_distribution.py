"""The installed distribution (a development install or a wheel): its
version written once in pyproject.toml, the licence in the wheel and in the
source archive, the extras and the classifiers."""

import email.parser
import importlib.metadata
import importlib.util
import pathlib
import subprocess
import sys
import tarfile
import tomllib

import pytest

import pyvexa

ROOT = pathlib.Path(__file__).resolve().parent.parent
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
LICENSE_TEXT = (ROOT / "LICENSE").read_text()
METADATA = importlib.metadata.metadata("pyvexa")


def test_the_version_is_the_one_in_pyproject_and_the_module_has_none():
    assert importlib.metadata.version("pyvexa") == PROJECT["version"]
    assert not hasattr(pyvexa, "__version__")


def test_the_licence_text_is_mit_with_the_projects_copyright():
    assert LICENSE_TEXT.startswith("MIT License\n\nCopyright (c) 2026 The pyvexa developers\n")
    assert "THE SOFTWARE IS PROVIDED \"AS IS\", WITHOUT WARRANTY OF ANY KIND" in LICENSE_TEXT


def check_licence_metadata(fields):
    assert fields["License-Expression"] == "MIT"
    assert fields.get_all("License-File") == ["LICENSE"]
    # An SPDX expression excludes the old licence classifiers.
    assert not [c for c in fields.get_all("Classifier") if c.startswith("License ::")]


def test_the_installed_distribution_ships_the_licence():
    check_licence_metadata(METADATA)
    shipped = [f for f in importlib.metadata.distribution("pyvexa").files if f.name == "LICENSE"]
    assert [(f.parent.name, f.parent.parent.name) for f in shipped] == [("licenses", f"pyvexa-{PROJECT['version']}.dist-info")]
    assert shipped[0].read_text() == LICENSE_TEXT


@pytest.mark.skipif(importlib.util.find_spec("scikit_build_core") is None, reason="scikit-build-core is not installed")
def test_the_source_archive_ships_the_licence(tmp_path):
    script = "import sys; from scikit_build_core.build import build_sdist; print(build_sdist(sys.argv[1]))"
    res = subprocess.run([sys.executable, "-c", script, str(tmp_path)], cwd=ROOT, capture_output=True, text=True)
    assert res.returncode == 0, res.stderr
    top = f"pyvexa-{PROJECT['version']}"
    with tarfile.open(tmp_path / res.stdout.strip().splitlines()[-1]) as sdist:
        assert sdist.extractfile(f"{top}/LICENSE").read().decode() == LICENSE_TEXT
        pkg_info = sdist.extractfile(f"{top}/PKG-INFO").read().decode()
    check_licence_metadata(email.parser.Parser().parsestr(pkg_info))


def extra_requirements(extra):
    marker = f'extra == "{extra}"'
    out = set()
    for line in importlib.metadata.requires("pyvexa") or []:
        requirement, _, condition = line.partition(";")
        if condition.strip() == marker:
            out.add(requirement.strip())
    return out


@pytest.mark.parametrize(
    "extra, requirements",
    [("numpy", {"numpy>=1.26"}), ("plot", {"matplotlib>=3.5", "numpy>=1.26"})],
)
def test_extras(extra, requirements):
    assert extra in METADATA.get_all("Provides-Extra")
    assert extra_requirements(extra) == requirements


def test_no_requirement_outside_the_extras():
    assert [r for r in importlib.metadata.requires("pyvexa") or [] if "extra ==" not in r] == []


@pytest.mark.parametrize(
    "classifier",
    [f"Programming Language :: Python :: 3.{minor}" for minor in (11, 12, 13, 14)]
    + [
        "Programming Language :: Python :: Implementation :: CPython",
        "Operating System :: POSIX :: Linux",
        "Intended Audience :: Science/Research",
        "Topic :: Scientific/Engineering",
    ],
)
def test_classifier(classifier):
    assert classifier in METADATA.get_all("Classifier")


def test_an_environment_classifier():
    assert [c for c in METADATA.get_all("Classifier") if c.startswith("Environment :: ")]
