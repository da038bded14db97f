"""Writing files so that a crash never leaves a partial file under the final name, and
reading files with a bound on what a file may make us hold."""

from __future__ import annotations

import contextlib
import os
import stat
import tempfile
from collections.abc import Iterator
from pathlib import Path

# mkstemp makes files only their owner can read; a finished file gets the
# permissions any new file of this process would get. The umask can only be
# read by setting it, so it is read once.
_UMASK = os.umask(0)
os.umask(_UMASK)


@contextlib.contextmanager
def atomic_path(path: str | os.PathLike[str]) -> Iterator[Path]:
    """A temporary name beside `path` to write to; on success it is flushed to
    disk and renamed to `path`, on failure removed. The temporary name keeps
    the suffix, for writers that choose the format by it."""
    target = Path(path)
    descriptor, temporary = tempfile.mkstemp(
        prefix=f".{target.name}.", suffix=f".tmp{target.suffix}", dir=target.parent
    )
    os.close(descriptor)
    temporary_path = Path(temporary)
    try:
        yield temporary_path
        os.chmod(temporary_path, 0o666 & ~_UMASK)
        with open(temporary_path, "rb+") as written:
            os.fsync(written.fileno())
        os.replace(temporary_path, target)
    except BaseException:
        temporary_path.unlink(missing_ok=True)
        raise
    _sync_directory(target.parent)


def write_atomic(path: str | os.PathLike[str], data: bytes) -> Path:
    """Write `data` to `path` through `atomic_path`; returns the path."""
    with atomic_path(path) as temporary:
        with open(temporary, "wb") as out:
            out.write(data)
            out.flush()
    return Path(path)


def read_bounded(path: str | os.PathLike[str], limit: int, what: str = "file") -> bytes:
    """The bytes of the regular file `path`, refused past `limit` bytes.

    A FIFO, a device or a directory is refused before anything is read: a
    FIFO would block and /dev/zero never ends. The file is opened without
    blocking and checked on the open descriptor, so a name swapped for a
    FIFO after a check cannot slip through.

    Raises:
        ValueError: not a regular file, or larger than `limit`.
        OSError: it cannot be opened or read.
    """
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    with os.fdopen(descriptor, "rb") as source:
        status = os.fstat(source.fileno())
        if not stat.S_ISREG(status.st_mode):
            raise ValueError(f"{path}: not a regular file, so not a {what}")
        if status.st_size > limit:
            raise ValueError(f"{path}: {status.st_size:,} bytes, more than the {limit:,} a {what} may have")
        data = source.read(limit + 1)
    if len(data) > limit:
        raise ValueError(f"{path}: more than the {limit:,} bytes a {what} may have")
    return data


def _sync_directory(directory: Path) -> None:
    """Make the rename itself durable."""
    descriptor = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)
