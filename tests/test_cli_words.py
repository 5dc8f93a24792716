"""The command line in words: --version, unknown command words, and what a
reader failure says before its detail."""

from __future__ import annotations

from importlib.metadata import version

import pytest

from reader_support import assert_one_line, cli
from vexa_helpers import DEFAULT_201


def test_version_prints_the_distributions_version():
    r = cli("native", "--version")
    assert (r.returncode, r.stderr) == (0, b"")
    assert r.stdout.decode() == f"vexafile {version('pyvexa')}\n"


@pytest.mark.parametrize("word", ["shw", "chek", "summary"])
def test_an_unknown_command_word_names_the_commands(tmp_path, word):
    r = cli("native", word, "run.vexa")
    assert r.returncode == 2 and r.stdout == b""
    assert_one_line(r.stderr, repr(word), "neither a command nor a file", "show, check, diff, plot")


@pytest.mark.parametrize("word", ["missing.vexa", "sub/run", "./shw"])
def test_a_word_that_reads_as_a_file_is_reported_as_a_missing_file(word):
    r = cli("native", word)
    assert r.returncode == 2 and r.stdout == b""
    text = assert_one_line(r.stderr, f"{word}: No such file or directory")
    assert "neither a command" not in text


def test_an_existing_file_named_like_no_command_is_shown(tmp_path, monkeypatch):
    (tmp_path / "shw").write_bytes(DEFAULT_201)
    r = cli("native", tmp_path / "shw")
    assert r.returncode == 0 and r.stdout.startswith(b"Protocol {")


@pytest.mark.parametrize(
    "content, words",
    [
        (DEFAULT_201[:120], ("the file is truncated, it ends early", "offset 118", "unexpected end")),
        (DEFAULT_201 + b"junk", ("not a .vexa protocol, or damaged", "offset 201", "trailing")),
        (b"\x07" * 50, ("not a .vexa protocol, or damaged", "offset 0", "running_on_target_machine")),
    ],
    ids=["truncated", "trailing", "random"],
)
@pytest.mark.parametrize("decoder", ["native", "python"])
@pytest.mark.parametrize("command", [[], ["check"], ["show", "--summary"]])
def test_a_file_that_fails_to_decode_is_named_in_words_first(tmp_path, content, words, decoder, command):
    path = tmp_path / "bad.vexa"
    path.write_bytes(content)
    r = cli(decoder, *command, path)
    assert r.returncode == 2
    assert_one_line(r.stderr, f"vexafile: {path}: {words[0]} (", *words[1:])
