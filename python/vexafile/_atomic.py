"""Replace a file whole or not at all: write a temporary file in the same
directory, flush it to disk, rename it over the target, flush the directory.

A failure at any point leaves an existing target byte for byte as it was
and removes the temporary file. The rename keeps what a save means: a
symlink is followed and its target replaced, an existing file keeps its
mode, a file the user may not write is refused. What it changes: a hard
link to the old file keeps the old content, and the new file has the
saver's owner and group and no extended attributes or ACLs of the old one.
"""

from __future__ import annotations

import errno
import os
import stat
import tempfile
from typing import Callable


# The data and what is needed to read it back (the size); the rename and the
# directory's flush make it the file's content.
_flush = getattr(os, "fdatasync", os.fsync)


def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def _fsync_directory(directory: str) -> None:
    try:
        fd = os.open(directory, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:
        return  # the rename is done; a directory we cannot open cannot be flushed
    try:
        os.fsync(fd)
    except OSError as e:
        if e.errno not in (errno.EINVAL, errno.ENOTSUP, errno.EBADF):
            raise
    finally:
        os.close(fd)


def _refuse_unwritable(target: str, shown: str) -> None:
    """Open the existing file for writing without truncating it, as the
    direct write would, so that what it refuses is refused here too."""
    try:
        fd = os.open(target, os.O_WRONLY | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_NONBLOCK", 0))
    except OSError as e:
        raise OSError(e.errno, f"cannot write {shown}: {e.strerror}", shown) from None
    os.close(fd)


def replace_file(path: str | os.PathLike, write: Callable[[str], object], suffix: str | None = None) -> None:
    """Write `path` through `write(name)`, which writes a whole file under
    `name`: a temporary in the target's directory, renamed over the target
    once it is on disk. A target that exists and is not a regular file (a
    FIFO, a device) is written directly, since a rename would replace the
    node itself. `suffix` ends the temporary's name (default: the target's
    own extension), for writers that check it.

    Raises OSError naming the path, or the directory when it cannot take a
    temporary file; nothing is written then.
    """
    shown = os.fspath(path)
    if isinstance(shown, bytes):
        shown = os.fsdecode(shown)
    target = os.path.realpath(shown)  # a symlink's target is what gets replaced
    try:
        st = os.stat(target)
    except FileNotFoundError:
        st = None
    except OSError as e:
        raise OSError(e.errno, f"cannot save {shown}: {e.strerror}", shown) from None
    if st is not None and not stat.S_ISREG(st.st_mode):
        if stat.S_ISDIR(st.st_mode):
            raise IsADirectoryError(errno.EISDIR, f"cannot save {shown}: it is a directory", shown)
        write(shown)
        return
    if st is not None:
        _refuse_unwritable(target, shown)
        mode = stat.S_IMODE(st.st_mode)
    else:
        mode = 0o666 & ~_umask()
    directory = os.path.dirname(target) or "."
    if suffix is None:
        suffix = os.path.splitext(target)[1]
    try:
        fd, temporary = tempfile.mkstemp(prefix=f".{os.path.basename(target)}.", suffix=f".tmp{suffix}",
                                         dir=directory)
    except OSError as e:
        missing = e.errno == errno.ENOENT and not os.path.isdir(directory)
        why = "does not exist" if missing else f"cannot take a temporary file ({e.strerror})"
        raise OSError(e.errno, f"cannot save {shown}: the directory {directory} {why}", directory) from None
    try:
        try:
            write(temporary)
            os.fchmod(fd, mode)  # after the write: a read-only mode would refuse it
            _flush(fd)
        finally:
            os.close(fd)
        os.replace(temporary, target)
    except BaseException as e:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        if isinstance(e, OSError) and e.filename != shown:
            raise OSError(e.errno, f"cannot save {shown}: {e.strerror or e}", shown) from None
        raise
    _fsync_directory(directory)
