"""Writing files so that a crash never leaves a partial file under the final name."""

from __future__ import annotations

import contextlib
import os
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
    with atomic_path(path) as temporary:
        with open(temporary, "wb") as out:
            out.write(data)
            out.flush()
    return Path(path)


def _sync_directory(directory: Path) -> None:
    """Make the rename itself durable."""
    descriptor = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)
