import pytest


def pytest_addoption(parser):
    parser.addoption(
        "--leak-loops",
        type=int,
        default=40,
        help="repetitions of every call in the reference and memory leak checks",
    )


@pytest.fixture
def leak_loops(request):
    return request.config.getoption("--leak-loops")


@pytest.fixture(params=["numpy", "no numpy"])
def sample_kind(request, monkeypatch):
    """Decoded samples as NumPy int16 arrays, and as array('h') as without NumPy."""
    from reader_support import hide_numpy

    if request.param == "numpy":
        pytest.importorskip("numpy")
    else:
        hide_numpy(monkeypatch)
    return request.param


@pytest.fixture(autouse=True)
def _no_target_machine(monkeypatch):
    # The flag is read from the environment when a Protocol is created; keep
    # every test independent of the caller's shell.
    monkeypatch.delenv("VEXA_TARGET_MACHINE", raising=False)
