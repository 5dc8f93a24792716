"""Builder.findings(limits=) and Builder.save(path, limits=): a protocol that
breaks a site limit is refused before anything is written, and what passes
is what the file holds."""

from __future__ import annotations

import warnings

import pytest

import vexafile as vf

np = pytest.importorskip("numpy")
pytest.importorskip("pyvexa")

SITE = """\
[session]
intensity_max = 0.4
[arbitrary]
fraction_max = 0.5
last_max = 0.1
[channels]
allowed = ["A"]
"""


@pytest.fixture
def site(tmp_path) -> vf.Limits:
    (tmp_path / "site.toml").write_text(SITE)
    return vf.Limits.load(tmp_path / "site.toml")


def builder(top: float, intensity: float = 0.3) -> vf.Builder:
    b = vf.Builder(duration=1.0, intensity=intensity)
    x = np.zeros(b.num_samples)
    x[100] = top
    b.route("A1", b.arbitrary(x))
    b.modulate("A", b.constant(1.0))
    b.route("A2", 0)
    return b


def save(b: vf.Builder, path, limits):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", vf.ProtocolWarning)
        return b.save(path, limits=limits)


def test_a_protocol_at_the_limits_is_saved_and_its_file_passes(site, tmp_path):
    b = builder(0.5, intensity=0.4)
    assert [f for f in b.findings(limits=site) if f.rule] == []
    save(b, tmp_path / "ok.vexa", site)
    assert [f for f in vf.check(vf.load(tmp_path / "ok.vexa"), limits=site) if f.rule] == []


@pytest.mark.parametrize("change, rule, path", [
    (lambda b: None, "arbitrary.fraction_max", "signals[0].Arbitrary.samples[100]"),
    (lambda b: setattr(b, "intensity", 0.45), "session.intensity_max", "intensity"),
    (lambda b: b.enable("B"), "channels.allowed", "channel_b_settings.enabled"),
])
def test_save_refuses_a_broken_rule_and_writes_nothing(change, rule, path, site, tmp_path):
    b = builder(0.5 + 1 / 32767 if rule == "arbitrary.fraction_max" else 0.5)
    change(b)
    assert [(f.rule, f.path) for f in b.findings(limits=site) if f.rule] == [(rule, path)]
    with pytest.raises(vf.ProtocolError) as caught:
        save(b, tmp_path / "no.vexa", site)
    assert [f.rule for f in caught.value.findings if f.rule] == [rule]
    assert not (tmp_path / "no.vexa").exists()
    save(b, tmp_path / "without-limits.vexa", None)  # the same protocol breaks nothing else
