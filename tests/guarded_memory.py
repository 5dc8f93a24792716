"""Memory with an inaccessible page on each side (libc mmap and mprotect
through ctypes), and a forked child to run code that may fault there."""

import ctypes
import mmap
import os
import select
import signal
import time
import traceback
import warnings

import numpy as np

_libc = ctypes.CDLL(None, use_errno=True)
_libc.mmap.restype = ctypes.c_void_p
_libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_long]
_libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
_libc.munmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t]

PAGE = mmap.PAGESIZE
PROT_NONE = 0  # not exported by the mmap module before Python 3.13


class GuardedPages:
    """[PROT_NONE page][usable pages][PROT_NONE page]; low is the first
    usable address, high the first inaccessible one after them."""

    def __init__(self, nbytes):
        self.size = max(PAGE, -(-nbytes // PAGE) * PAGE)
        self._length = self.size + 2 * PAGE
        flags = mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS
        address = _libc.mmap(None, self._length, mmap.PROT_READ | mmap.PROT_WRITE, flags, -1, 0)
        if address in (None, ctypes.c_void_p(-1).value):
            raise OSError(ctypes.get_errno(), "mmap failed")
        self._mapping = address
        self.low = address + PAGE
        self.high = self.low + self.size
        for guard in (address, self.high):
            if _libc.mprotect(guard, PAGE, PROT_NONE) != 0:
                raise OSError(ctypes.get_errno(), "mprotect failed")

    def doubles(self, address, count, dtype=np.float64):
        """A writeable array of `count` elements at `address` (no copy)."""
        nbytes = count * np.dtype(dtype).itemsize
        assert self.low <= address and address + nbytes <= self.high
        return np.frombuffer((ctypes.c_char * nbytes).from_address(address), dtype=dtype)

    def close(self):
        """Unmaps the pages; no array over them may be used afterwards."""
        _libc.munmap(self._mapping, self._length)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def run_forked(body, timeout: float = 120.0):
    """Runs body(report) in a forked child; report(text) sends one line back,
    and an exception escaping body() comes back as a line "error ...".
    Returns (signal that ended the child or None, exit code, lines)."""
    read_end, write_end = os.pipe()
    with warnings.catch_warnings():
        # Under pytest-xdist the worker has an I/O thread. The child touches
        # none of its locks (only its own pipe and the guarded pages), and the
        # deadline below turns a hung child into a failure, not a hung run.
        warnings.filterwarnings("ignore", "This process .* is multi-threaded", DeprecationWarning)
        pid = os.fork()
    if pid == 0:  # pragma: no cover - the child
        code = 1
        try:
            os.close(read_end)
            with os.fdopen(write_end, "w", buffering=1) as channel:
                try:
                    body(lambda text: channel.write(text.replace("\n", " ") + "\n"))
                    code = 0
                except BaseException:  # noqa: B036 - reported to the parent
                    channel.write("error " + traceback.format_exc().replace("\n", " | ") + "\n")
        finally:
            os._exit(code)
    os.close(write_end)
    received = bytearray()
    deadline = time.monotonic() + timeout
    try:
        while True:
            ready, _, _ = select.select([read_end], [], [], max(0.0, deadline - time.monotonic()))
            if not ready:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                raise TimeoutError(f"the forked child ran for more than {timeout} s")
            block = os.read(read_end, 1 << 16)
            if not block:
                break
            received += block
    finally:
        os.close(read_end)
    lines = received.decode().splitlines()
    _, status = os.waitpid(pid, 0)
    if os.WIFSIGNALED(status):
        return signal.Signals(os.WTERMSIG(status)).name, None, lines
    return None, os.WEXITSTATUS(status), lines
