"""The chroot runner's own decisions, without building a chroot: which
mirror it takes from apt's sources, and that a machine that cannot run
chroots is told so, skipping a local make run and failing CI's."""

import os
import shutil
import subprocess
import sys
import tempfile

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCRIPTS = os.path.join(ROOT, "scripts")

ONE_LINE = "deb [signed-by=/usr/share/keyrings/k.gpg arch=amd64] http://one.example/debian bookworm main\n"
DEB822 = (
    "Types: deb\nURIs: http://sec.example/debian-security\nSuites: bookworm-security\nComponents: main\n\n"
    "Types: deb deb-src\nURIs: http://main.example/debian\nSuites: bookworm bookworm-updates\nComponents: main\n"
)


@pytest.mark.parametrize(
    "files, mirror",
    [
        ([ONE_LINE], "http://one.example/debian"),
        # comments and security suites are passed over
        (["# deb http://old.example/debian bookworm main\n"
          "deb http://sec.example/debian-security bookworm-security main\n" + ONE_LINE],
         "http://one.example/debian"),
        ([DEB822], "http://main.example/debian"),
        # a stanza ends with its file, with or without a blank line
        (["Types: deb\nURIs: http://first.example/debian\nSuites: sid\n", ONE_LINE], "http://first.example/debian"),
        (["Types: deb-src\nURIs: http://src.example/debian\nSuites: sid\n", DEB822], "http://main.example/debian"),
        (["deb http://sec.example/debian-security bookworm-security main\n"], None),
        (["# nothing\n"], None),
    ],
    ids=["one-line", "skips-comments-and-security", "deb822", "stanza-per-file", "no-deb-src", "security-only",
         "empty"],
)
def test_mirror_from_apt_sources(tmp_path, files, mirror):
    paths = []
    for i, text in enumerate(files):
        path = tmp_path / f"{i}.sources"
        path.write_text(text)
        paths.append(str(path))
    r = subprocess.run([os.path.join(SCRIPTS, "apt-mirror"), *paths], capture_output=True, text=True)
    if mirror is None:
        assert r.returncode == 1 and r.stdout == ""
    else:
        assert (r.returncode, r.stdout) == (0, mirror + "\n")


NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
needs_root = pytest.mark.skipif(
    os.geteuid() != 0 or shutil.which("setpriv") is None, reason="dropping to another user needs root and setpriv"
)


@pytest.fixture
def public_checkout():
    """The Makefile and scripts in a folder the unprivileged user can reach:
    a clone may sit below a folder only its owner can enter (mktemp -d)."""
    top = tempfile.mkdtemp(prefix="pyvexa-public-", dir="/tmp")
    try:
        os.chmod(top, 0o755)
        shutil.copy2(os.path.join(ROOT, "Makefile"), top)
        shutil.copytree(SCRIPTS, os.path.join(top, "scripts"))
        yield top
    finally:
        shutil.rmtree(top, ignore_errors=True)


@needs_root
def test_without_root_the_runner_says_why_and_exits_77(public_checkout):
    runner = os.path.join(public_checkout, "scripts", "in-chroot")
    r = subprocess.run([*NOBODY, runner, "py314", "true"], capture_output=True, text=True)
    assert r.returncode == 77
    assert r.stderr.strip().splitlines() == [
        "in-chroot: py314: skipped: needs root (for debootstrap, mounts and chroot); run it as root"
    ]


@needs_root
@pytest.mark.skipif(shutil.which("make") is None, reason="needs make")
@pytest.mark.parametrize("ci, status", [(None, 0), ("true", 77)], ids=["local-skips", "ci-fails"])
def test_make_skips_locally_and_fails_in_ci(ci, status, public_checkout):
    env = {k: v for k, v in os.environ.items() if k not in ("CI", "MAKEFLAGS", "MFLAGS")}
    if ci is not None:
        env["CI"] = ci
    r = subprocess.run([*NOBODY, "make", "-s", "-C", public_checkout, "test-arm64"], capture_output=True, text=True, env=env)
    assert "skipped: needs root" in r.stderr
    assert (r.returncode == 0) == (status == 0)


def test_bad_usage_names_the_environments():
    r = subprocess.run([os.path.join(SCRIPTS, "in-chroot"), "sparc"], capture_output=True, text=True)
    assert r.returncode == 2
    assert "py314|arm64" in r.stderr
