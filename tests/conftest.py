import pytest


@pytest.fixture(autouse=True)
def _no_target_machine(monkeypatch):
    # The flag is read from the environment when a Protocol is created; keep
    # every test independent of the caller's shell.
    monkeypatch.delenv("VEXA_TARGET_MACHINE", raising=False)
