"""Whether these tests run under qemu-user (an aarch64 build on an x86-64
machine, say). There the emulator answers the memory calls itself:
madvise(MADV_FREE) succeeds without freeing, and setrlimit(RLIMIT_AS) is
not enforced, so what a test measures of memory is the emulator's."""

import platform


def kernel_machine() -> str:
    # The kernel's own architecture; qemu-user reports the emulated one
    # through uname, but not here.
    try:
        with open("/proc/sys/kernel/arch") as f:
            return f.read().strip()
    except OSError:
        return ""


EMULATED = kernel_machine() not in ("", platform.machine())

MEMORY_MEASURED = (
    "under qemu-user the emulator's memory is measured, not the program's "
    "(madvise(MADV_FREE) succeeds there without freeing)"
)
# qemu-user ignores RLIMIT_AS: a child that fills memory up to its limit
# fills the whole machine instead, until the OOM killer stops it.
NO_ADDRESS_LIMIT = (
    "qemu-user does not enforce setrlimit(RLIMIT_AS), so filling memory to the limit would fill the machine"
)
