"""Bounded input: the reader decodes from the file as it comes, refuses a
declared count the rest of a regular file cannot hold, and stops at the
first byte after the record, so that no input makes it read or allocate
without end."""

from __future__ import annotations

import os
import threading

import pytest

import vexafile as vf
from emulation import EMULATED
from reader_support import DECODERS, run_bounded
from test_vexafile import ARB_FILE, ARB_SAMPLES_OFFSET, HUGE, with_bytes
from vexa_helpers import DEFAULT_201, EXAMPLE_213

# Bytes of a record decoded from zeros: every count 0, every flag false.
ZERO_RECORD = 1 + 8 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 6 * 8 + 8 + 8 + 1 + 2 * 12 + 16 + 1
# Within the goals of the command line: refused within 5 s, under 200 MB.
# Under AddressSanitizer (make sanitize preloads it) the resident size also
# holds its shadow memory and the quarantine of freed blocks, so the bound
# is widened there rather than measuring the sanitizer.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
SECONDS, PEAK_MB = 5.0, 300.0 if SANITIZED else 200.0


def within_goals(run) -> bool:
    # Under qemu-user both are the emulator's: its speed, its memory.
    return EMULATED or (run.seconds < SECONDS and run.peak_mb < PEAK_MB)


@pytest.fixture(params=DECODERS)
def decoder(request, monkeypatch):
    from vexafile import _decode

    if request.param == "python":
        monkeypatch.setattr(_decode, "_native", None)
    return request.param


def load_from_pipe(data: bytes, chunk: int = 7):
    """Decode `data` written into a pipe in small pieces by another thread."""
    r, w = os.pipe()

    def feed():
        with os.fdopen(w, "wb", buffering=0) as out:
            try:
                for i in range(0, len(data), chunk):
                    out.write(data[i : i + chunk])
            except BrokenPipeError:
                pass

    t = threading.Thread(target=feed)
    t.start()
    try:
        with os.fdopen(r, "rb") as f:
            return vf._decode.read_settings(f)
    finally:
        t.join()


LOAD_AND_REPORT = """
import sys, vexafile
try:
    vexafile.load(sys.argv[1] if len(sys.argv) > 1 else {path!r})
except vexafile.VexaFormatError as e:
    print(e.kind, e.offset)
"""


def assert_refused_quickly(run, kind: str, offset: int) -> None:
    assert run.status == 0, run.stderr
    assert run.stdout.decode().split() == [kind, str(offset)]
    assert within_goals(run), (run.seconds, run.peak_mb)


def test_zero_record_size_matches_its_decoding():
    assert vf.loads(bytes(ZERO_RECORD)).signals == ()


def test_dev_zero_is_refused_at_the_first_byte_after_the_record(decoder):
    run = run_bounded(LOAD_AND_REPORT.format(path="/dev/zero"), decoder)
    assert_refused_quickly(run, "trailing_bytes", ZERO_RECORD)


def test_endless_pipe_is_refused(decoder):
    def feed(pipe):
        block = bytes(1 << 16)
        try:
            while True:
                pipe.write(block)
        except (BrokenPipeError, ValueError):
            pass

    run = run_bounded(LOAD_AND_REPORT.format(path="/dev/stdin"), decoder, feed=feed)
    assert_refused_quickly(run, "trailing_bytes", ZERO_RECORD)


@pytest.mark.parametrize(
    "prefix, offset, kind",
    [
        # A sample count of 2^64 - 1 over 4 GiB of zeros.
        (with_bytes(ARB_FILE[:ARB_SAMPLES_OFFSET], ARB_SAMPLES_OFFSET - 1, HUGE), ARB_SAMPLES_OFFSET - 1,
         "unexpected_end"),
        # A whole record, then 4 GiB of zeros.
        (DEFAULT_201, 201, "trailing_bytes"),
    ],
    ids=["huge-sample-count", "trailing"],
)
def test_sparse_4gib_file_is_refused_without_reading_it(decoder, tmp_path, prefix, offset, kind):
    path = tmp_path / "sparse.vexa"
    with open(path, "wb") as f:
        f.write(prefix)
        f.truncate(4 << 30)
    run = run_bounded(LOAD_AND_REPORT.format(path=str(path)), decoder, timeout=120)
    assert_refused_quickly(run, kind, offset)


def test_huge_count_in_a_pipe_grows_with_the_input(decoder):
    # A stream has no size to check a count against: the samples arrive one by
    # one and memory follows them, so 2^64 - 1 declared samples followed by
    # 1000 real ones and the end of the input is an early, small failure.
    head = with_bytes(ARB_FILE[:ARB_SAMPLES_OFFSET], ARB_SAMPLES_OFFSET - 1, HUGE)

    def feed(pipe):
        pipe.write(head + b"\x02" * 1000)
        pipe.close()

    run = run_bounded(LOAD_AND_REPORT.format(path="/dev/stdin"), decoder, feed=feed)
    assert run.status == 0, run.stderr
    kind, offset = run.stdout.decode().split()
    assert kind == "unexpected_end" and int(offset) >= ARB_SAMPLES_OFFSET - 1
    assert within_goals(run), (run.seconds, run.peak_mb)


@pytest.mark.parametrize("name, data", [("example213", EXAMPLE_213), ("arbitrary", ARB_FILE)])
def test_pipe_gives_the_same_record_and_every_truncation_fails(decoder, name, data):
    assert load_from_pipe(data) == vf.loads(data)
    for n in range(len(data)):
        with pytest.raises(vf.VexaFormatError) as info:
            load_from_pipe(data[:n], chunk=64)
        assert info.value.kind == "unexpected_end", (n, str(info.value))
        assert info.value.offset <= n


@pytest.mark.parametrize("extra", [b"\x00", b"junk" * 100_000])
def test_pipe_with_bytes_after_the_record_is_refused_at_its_end(decoder, extra):
    with pytest.raises(vf.VexaFormatError) as info:
        load_from_pipe(DEFAULT_201 + extra, chunk=4096)
    assert (info.value.kind, info.value.offset) == ("trailing_bytes", 201)


@pytest.mark.parametrize("extra", [b"\x00", b"abc"])
def test_regular_file_trailing_bytes_are_counted(decoder, tmp_path, extra):
    path = tmp_path / "t.vexa"
    path.write_bytes(DEFAULT_201 + extra)
    with pytest.raises(vf.VexaFormatError) as info:
        vf.load(path)
    assert (info.value.kind, info.value.offset) == ("trailing_bytes", 201)
    assert f"{len(extra)} trailing byte" in str(info.value)
