"""vexafile study: balanced designs, deterministic output, a blind operator's
folder, verify, and refusals before anything is written."""

from __future__ import annotations

import collections
import csv
import hashlib
import io
import json
import os
from pathlib import Path

import pytest

from reader_support import assert_one_line, cli

pyvexa = pytest.importorskip("pyvexa")
np = pytest.importorskip("numpy")

import vexafile  # noqa: E402
from vexafile import _designs, _study, envelopes  # noqa: E402
from vexafile._check import Finding  # noqa: E402

SEED = 7_355_608_131_512_918_223
DURATION = 0.2
# Names that no file of the operator's folder may hold.
ACTIVE, SHAM, THIRD = "activeQzx", "shamWvk", "thirdJpy"


def save_condition(path: Path, samples=None, source: int = 0) -> Path:
    p = pyvexa.Protocol()
    p.set_session_duration(DURATION)
    index = p.add_arbitrary_signal(envelopes.trapezoid(DURATION, 0.05, 0.05) if samples is None else samples)
    p.set_amplitude_source(pyvexa.Coil.A1, index + source)
    p.save(str(path))
    return path


@pytest.fixture(scope="module")
def files(tmp_path_factory) -> Path:
    d = tmp_path_factory.mktemp("conditions")
    save_condition(d / "active.vexa")
    save_condition(d / "sham.vexa", envelopes.sham(DURATION, 0.02, 0.02))
    save_condition(d / "third.vexa", envelopes.trapezoid(DURATION, 0.05, 0.05, level=0.5))
    save_condition(d / "broken.vexa", source=42)  # names a signal that is not there
    return d


def study_text(participants="12", design="crossover", seed=SEED,
               conditions=((ACTIVE, "active.vexa"), (SHAM, "sham.vexa")), extra="") -> str:
    lines = [f'design = "{design}"', f"participants = {participants}", f"seed = {seed}", extra, "[conditions]"]
    lines += [f'{name} = "{path}"' for name, path in conditions]
    return "\n".join(lines) + "\n"


def write_toml(files: Path, name: str = "study.toml", **kw) -> Path:
    path = files / name
    path.write_text(study_text(**kw))
    return path


def contents(folder: Path) -> dict[str, bytes]:
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


def run_study(files: Path, tmp_path: Path, toml: Path | None = None, *extra):
    toml = toml or write_toml(files)
    return cli("native", "study", toml, "--out", tmp_path / "op", "--key-out", tmp_path / "key", *extra)


def rows(data: bytes) -> list[list[str]]:
    return list(csv.reader(io.StringIO(data.decode())))


# --- designs ----------------------------------------------------------------


@pytest.mark.parametrize("conditions", [2, 3, 4, 5])
@pytest.mark.parametrize("blocks", [1, 3])
def test_crossover_full_blocks_are_williams_balanced(conditions, blocks):
    rows_per_block = conditions if conditions % 2 == 0 else 2 * conditions
    orders = _designs.crossover(SEED, conditions, rows_per_block * blocks)
    assert all(sorted(o) == list(range(conditions)) for o in orders)
    positions = collections.Counter((s, c) for o in orders for s, c in enumerate(o))
    assert set(positions.values()) == {rows_per_block * blocks // conditions}
    pairs = collections.Counter(pair for o in orders for pair in zip(o, o[1:]))
    assert len(pairs) == conditions * (conditions - 1) and len(set(pairs.values())) == 1


@pytest.mark.parametrize("design", ["crossover", "parallel"])
@pytest.mark.parametrize("conditions", [2, 3, 4])
def test_a_participant_keeps_the_assignment_when_more_are_recruited(design, conditions):
    full = _designs.DESIGNS[design](SEED, conditions, 40)
    assert all(_designs.DESIGNS[design](SEED, conditions, n) == full[:n] for n in (1, 5, 13, 39))


@pytest.mark.parametrize("conditions", [2, 3, 5])
def test_parallel_groups_differ_by_one_at_most_at_every_count(conditions):
    orders = _designs.parallel(SEED, conditions, 60)
    assert all(len(o) == 1 for o in orders)
    for n in range(1, 61):
        sizes = collections.Counter(o[0] for o in orders[:n])
        counts = [sizes.get(c, 0) for c in range(conditions)]
        assert max(counts) - min(counts) <= 1, (n, counts)


def test_the_seed_decides_the_orders():
    a, b = (_designs.crossover(seed, 2, 24) for seed in (1, 2))
    assert a != b and sorted(map(tuple, a)) == sorted(map(tuple, b))
    assert _designs.parallel(1, 3, 30) != _designs.parallel(2, 3, 30)


@pytest.mark.parametrize("count, first, last", [(1, "P01", "P01"), (9, "P01", "P09"), (99, "P01", "P99"),
                                                (100, "P001", "P100"), (1000, "P0001", "P1000")])
def test_participant_ids_from_a_count(files, count, first, last):
    study = vexafile.load_study(write_toml(files, participants=str(count)))
    assert (study.participants[0], study.participants[-1], len(study.participants)) == (first, last, count)


# --- what it writes -----------------------------------------------------------


def test_crossover_folders(files, tmp_path):
    r = run_study(files, tmp_path)
    assert r.returncode == 0, r.stderr
    op, key = contents(tmp_path / "op"), contents(tmp_path / "key")
    assert set(key) == {"key.csv", "key.json"}
    schedule, key_rows = rows(op["schedule.csv"]), rows(key["key.csv"])
    assert schedule[0] == ["participant", "session", "code"]
    assert key_rows[0] == ["code", "participant", "session", "condition"]
    assert b"\r" not in op["schedule.csv"] + key["key.csv"]
    assert len(schedule) == len(key_rows) == 1 + 24
    assert [[p, s, c] for c, p, s, _ in key_rows[1:]] == schedule[1:]
    codes = [c for _, _, c in schedule[1:]]
    assert len(set(codes)) == 24 and len({len(c) for c in codes}) == 1
    assert {(p, s) for p, s, _ in schedule[1:]} == {(f"P{k:02d}", s) for k in range(1, 13) for s in "12"}
    sources = {ACTIVE: (files / "active.vexa").read_bytes(), SHAM: (files / "sham.vexa").read_bytes()}
    for code, participant, session, condition in key_rows[1:]:
        assert op[f"protocols/{code}.vexa"] == sources[condition]
    by_participant = collections.defaultdict(set)
    for _, participant, _, condition in key_rows[1:]:
        by_participant[participant].add(condition)
    assert all(c == {ACTIVE, SHAM} for c in by_participant.values())
    manifest = json.loads(op["manifest.json"])
    listed = {f["path"]: (f["sha256"], f["size"]) for f in manifest["files"]}
    assert listed == {p: (hashlib.sha256(b).hexdigest(), len(b)) for p, b in op.items() if p != "manifest.json"}
    assert (manifest["participants"], manifest["protocols"]) == (12, 24)
    doc = json.loads(key["key.json"])
    assert (doc["design"], doc["seed"]) == ("crossover", SEED)
    assert doc["study_sha256"] == hashlib.sha256((files / "study.toml").read_bytes()).hexdigest()
    assert [(c["name"], c["sha256"]) for c in doc["conditions"]] == [
        (n, hashlib.sha256(b).hexdigest()) for n, b in sources.items()]
    assert doc["manifest_sha256"] == hashlib.sha256(op["manifest.json"]).hexdigest()


def test_parallel_gives_one_session_each_in_balanced_groups(files, tmp_path):
    toml = write_toml(files, "parallel.toml", design="parallel", participants='["s-7", "s-3", "s-9", "s-1", "s-2"]',
                      conditions=((ACTIVE, "active.vexa"), (SHAM, "sham.vexa"), (THIRD, "third.vexa")))
    assert run_study(files, tmp_path, toml).returncode == 0
    key_rows = rows((tmp_path / "key" / "key.csv").read_bytes())[1:]
    assert [(p, s) for _, p, s, _ in key_rows] == [("s-7", "1"), ("s-3", "1"), ("s-9", "1"), ("s-1", "1"), ("s-2", "1")]
    sizes = collections.Counter(c for *_, c in key_rows)
    assert sorted(sizes.values()) == [1, 2, 2]


def test_two_runs_give_the_same_bytes(files, tmp_path):
    toml = write_toml(files, "odd.toml", participants="7",
                      conditions=((ACTIVE, "active.vexa"), (SHAM, "sham.vexa"), (THIRD, "third.vexa")))
    for run in ("a", "b"):
        assert run_study(files, tmp_path / run, toml).returncode == 0
    for folder in ("op", "key"):
        first, second = contents(tmp_path / "a" / folder), contents(tmp_path / "b" / folder)
        assert first == second and first


def test_no_operator_file_names_a_condition_or_holds_the_seed(files, tmp_path):
    toml = write_toml(files, conditions=((ACTIVE, "active.vexa"), (SHAM, "sham.vexa"), (THIRD, "third.vexa")))
    assert run_study(files, tmp_path, toml).returncode == 0
    secrets = [ACTIVE, SHAM, THIRD, "active.vexa", "sham.vexa", "third.vexa", str(SEED)]
    operator = contents(tmp_path / "op")
    assert len(operator) == 2 + 12 * 3
    for path, data in operator.items():
        for word in secrets:
            assert word.encode() not in data and word not in path, (path, word)
    key = (tmp_path / "key" / "key.csv").read_text()
    assert ACTIVE in key and THIRD in key  # the words are findable where they belong


def test_existing_empty_folders_are_used_and_keep_their_mode(files, tmp_path):
    (tmp_path / "op").mkdir(mode=0o750)
    (tmp_path / "key").mkdir()
    os.chmod(tmp_path / "op", 0o750)
    assert run_study(files, tmp_path).returncode == 0
    assert (tmp_path / "op" / "schedule.csv").exists() and (tmp_path / "key" / "key.csv").exists()
    assert os.stat(tmp_path / "op").st_mode & 0o777 == 0o750
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".")]  # no staging left


def test_a_new_key_folder_is_for_its_owner_only(files, tmp_path):
    assert run_study(files, tmp_path).returncode == 0
    assert os.stat(tmp_path / "key").st_mode & 0o077 == 0


def test_size_and_seed_warnings(files, tmp_path):
    r = run_study(files, tmp_path, write_toml(files, seed=42))
    text = r.stderr.decode()
    assert r.returncode == 0 and "Traceback" not in text
    assert "differ in size" in text and f"{ACTIVE} {(files / 'active.vexa').stat().st_size} bytes" in text
    assert "seed 42 is small" in text


def test_equal_sizes_give_no_size_warning(files, tmp_path):
    toml = write_toml(files, conditions=((ACTIVE, "active.vexa"), (SHAM, "active.vexa")))
    r = run_study(files, tmp_path, toml)
    assert r.returncode == 0 and r.stderr == b""


# --- verify -------------------------------------------------------------------


@pytest.fixture
def made(files, tmp_path) -> Path:
    assert run_study(files, tmp_path).returncode == 0
    return tmp_path / "op"


def first_protocol(folder: Path) -> Path:
    return sorted((folder / "protocols").iterdir())[0]


def flip_last_byte(path: Path) -> None:
    data = bytearray(path.read_bytes())
    data[-1] ^= 1
    path.write_bytes(bytes(data))


@pytest.mark.parametrize("tamper, kind", [
    (lambda d: flip_last_byte(first_protocol(d)), "changed"),  # same size: only the hash tells
    (lambda d: first_protocol(d).write_bytes(first_protocol(d).read_bytes() + b"\0"), "changed"),
    (lambda d: (d / "schedule.csv").write_text("participant,session,code\n"), "changed"),
    (lambda d: first_protocol(d).unlink(), "missing"),
    (lambda d: (d / "protocols" / "ZZZZZZZZ.vexa").write_bytes(b""), "added"),
    (lambda d: (d / "notes").mkdir(), "added"),
])
def test_verify_names_what_differs(made, tamper, kind):
    assert cli("native", "study", "verify", made).returncode == 0
    name = first_protocol(made).relative_to(made)
    tamper(made)
    r = cli("native", "study", "verify", made)
    assert r.returncode == 1 and r.stderr == b""
    lines = r.stdout.decode().splitlines()
    assert len(lines) == 1 and f": {kind}: " in lines[0]
    if kind != "added" and "schedule" not in lines[0]:
        assert str(name).replace(os.sep, "/") in lines[0]


def test_verify_reports_every_problem(made):
    first_protocol(made).unlink()
    flip_last_byte(first_protocol(made))
    (made / "extra.txt").write_text("x")
    problems = vexafile.verify_study(made)
    assert sorted(p.kind for p in problems) == ["added", "changed", "missing"]


@pytest.mark.parametrize("manifest", [None, b"{", b'{"files": []}',
                                      b'{"format": "vexafile study manifest 1", "files": [{"path": "../x", '
                                      b'"sha256": "0", "size": 1}]}'])
def test_verify_refuses_a_folder_without_a_usable_manifest(made, manifest):
    if manifest is None:
        (made / "manifest.json").unlink()
    else:
        (made / "manifest.json").write_bytes(manifest)
    r = cli("native", "study", "verify", made)
    assert r.returncode == 2
    assert_one_line(r.stderr, "manifest")


# --- refusals -------------------------------------------------------------------


def test_a_condition_that_fails_check_writes_nothing(files, tmp_path):
    toml = write_toml(files, conditions=((ACTIVE, "active.vexa"), (SHAM, "broken.vexa")))
    r = run_study(files, tmp_path, toml)
    assert r.returncode == 1
    text = r.stderr.decode()
    assert "Traceback" not in text and "broken.vexa: error: channel_a_settings.amplitude1_source" in text
    assert "nothing written" in text
    assert not (tmp_path / "op").exists() and not (tmp_path / "key").exists()


class ErrorLimits:
    """A stand-in for site limits that find one error in every file."""

    def findings(self, settings):
        return [Finding("error", "intensity", "above the site's limit")]


def test_limits_findings_refuse_before_writing(files, tmp_path):
    study = vexafile.load_study(write_toml(files))
    review = study.review(ErrorLimits())
    assert review.errors and [f.message for _, f in review.findings] == ["above the site's limit"] * 2
    with pytest.raises(vexafile.StudyCheckError):
        vexafile.write_study(study, tmp_path / "op", tmp_path / "key", review)
    assert list(tmp_path.iterdir()) == []


def test_unloadable_limits_are_status_2_before_anything_is_written(files, tmp_path):
    r = run_study(files, tmp_path, None, "--limits", tmp_path / "absent.toml")
    assert r.returncode == 2
    assert_one_line(r.stderr, "absent.toml")
    assert not (tmp_path / "op").exists()


def test_a_condition_outside_the_site_limits_writes_nothing(files, tmp_path):
    site = tmp_path / "site.toml"
    site.write_text("[session]\nduration_max = 0.1\n")  # the conditions last 0.2 s
    r = run_study(files, tmp_path, None, "--limits", site, "--limits", site)
    assert r.returncode == 1
    text = r.stderr.decode()
    assert "Traceback" not in text and "session.duration_max" in text and "nothing written" in text
    assert not (tmp_path / "op").exists() and not (tmp_path / "key").exists()


def test_a_failure_while_writing_leaves_no_folder(files, tmp_path, monkeypatch):
    (tmp_path / "key").mkdir()
    study = vexafile.load_study(write_toml(files))
    real, written = _study._write_new, []

    def failing(path, data):
        if len(written) == 5:
            raise OSError(28, "No space left on device")
        written.append(path)
        real(path, data)

    monkeypatch.setattr(_study, "_write_new", failing)
    with pytest.raises(OSError):
        vexafile.write_study(study, tmp_path / "op", tmp_path / "key")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["key"] and not list((tmp_path / "key").iterdir())


@pytest.mark.parametrize("text, words", [
    ('design = "crossover"\n', "'participants' is missing"),
    (study_text(extra="sead = 1"), "unknown key 'sead'"),
    (study_text(design="latin"), "design 'latin' is neither"),
    (study_text(seed='"abc"'), "seed 'abc' must be an integer"),
    (study_text(seed="1.5"), "seed 1.5 must be an integer"),
    (study_text(participants="0"), "participants 0 is outside 1 to 10000"),
    (study_text(participants="10001"), "participants 10001 is outside"),
    (study_text(participants="true"), "participants must be a count or a list"),
    (study_text(participants='["a", "a"]'), "participant 'a' is listed twice"),
    (study_text(participants='["a", " b"]'), "participants[1] ' b' must be a non-empty string"),
    (study_text(participants='["a\\nb"]'), "control characters"),
    (study_text(conditions=((ACTIVE, "active.vexa"),)), "at least two conditions"),
    (study_text(conditions=((ACTIVE, "active.vexa"), (SHAM, "nowhere.vexa"))), "nowhere.vexa: condition"),
    (study_text(conditions=((ACTIVE, "active.vexa"), (SHAM, "study.toml"))), "study.toml: condition"),
    ("design = \n", "not a TOML file"),
])
def test_a_bad_study_file_is_one_line_and_status_2(files, tmp_path, text, words):
    toml = tmp_path / "study.toml"
    toml.write_text(text)
    for name in ("active.vexa", "sham.vexa"):
        (tmp_path / name).write_bytes((files / name).read_bytes())
    r = cli("native", "study", toml, "--out", tmp_path / "op", "--key-out", tmp_path / "key")
    assert r.returncode == 2
    assert_one_line(r.stderr, words)
    assert not (tmp_path / "op").exists() and not (tmp_path / "key").exists()


@pytest.mark.parametrize("layout, words", [
    (lambda t: ((t / "op").mkdir(), (t / "op" / "x").write_text("")), "is not empty"),
    (lambda t: (t / "op").write_text(""), "is not a folder"),
    (lambda t: None, "must be apart"),
])
def test_output_folders_in_use_are_refused(files, tmp_path, layout, words):
    layout(tmp_path)
    key = tmp_path / "op" / "key" if words == "must be apart" else tmp_path / "key"
    r = cli("native", "study", write_toml(files), "--out", tmp_path / "op", "--key-out", key)
    assert r.returncode == 2
    assert_one_line(r.stderr, words)
    assert not key.exists()


@pytest.mark.parametrize("args, words", [
    (["study", "s.toml"], "needs --out DIR"),
    (["study", "verify", "d", "--out", "x"], "takes only the folder"),
    (["study", "s.toml", "d"], "not also 'd'"),
    (["study", "verify"], "needs the folder"),
])
def test_command_line_misuse(tmp_path, args, words):
    r = cli("native", *args)
    assert r.returncode == 2
    assert_one_line(r.stderr, words)


def test_help_lists_the_study_command():
    r = cli("native", "--help")
    assert r.returncode == 0 and "\n    study " in r.stdout.decode()
    r = cli("native", "study", "--help")
    assert r.returncode == 0 and b"vexafile study verify DIR" in r.stdout
