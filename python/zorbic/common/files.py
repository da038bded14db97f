"""Reading and writing files that a user names, without surprises.

Reading takes regular files only and stops at a size limit, so a FIFO
cannot hang a reader and /dev/zero cannot fill the memory. Writing goes
through a temporary name beside the target, flushed to disk and renamed,
so a crash never leaves a partial file under the final name; the target
must be a regular file or nothing yet. A symlink is followed: the file it
points to is replaced and the link stays as it was. A link that points
nowhere or at something other than a regular file is refused.
"""

from __future__ import annotations

import contextlib
import fcntl
import os
import re
import stat
import tempfile
from collections.abc import Iterable, Iterator
from pathlib import Path

# mkstemp makes files only their owner can read; a finished file gets the
# permissions any new file of this process would get. The umask can only be
# read by setting it, so it is read once.
_UMASK = os.umask(0)
os.umask(_UMASK)

# mkstemp's random part: eight characters of this set. Matching it exactly
# keeps the clean-up of leftovers to names that only this module makes.
_RANDOM = "[a-z0-9_]{8}"
_FIXED = len(".") + len(".") + 8 + len(".tmp")
# A longer suffix is not one that a writer chooses its format by.
_LONGEST_KEPT_SUFFIX = 16


class FileRefused(ValueError):
    """A file that is refused before anything is read from it or written to it."""


def _kind(mode: int) -> str:
    for test, name in (
        (stat.S_ISDIR, "a directory"),
        (stat.S_ISCHR, "a character device"),
        (stat.S_ISBLK, "a block device"),
        (stat.S_ISFIFO, "a FIFO"),
        (stat.S_ISSOCK, "a socket"),
    ):
        if test(mode):
            return name
    return "not a regular file"


def read_bounded(path: str | os.PathLike[str], limit: int, what: str = "file") -> bytes:
    """The bytes of a regular file of at most `limit` bytes; FileRefused otherwise.

    The file is opened without blocking, so a FIFO is refused rather than
    waited on, and read to one byte past the limit at most, so a file that
    grows while it is read is refused as well.
    """
    name = os.fspath(path)
    descriptor = os.open(name, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    try:
        mode = os.fstat(descriptor).st_mode
    except BaseException:
        os.close(descriptor)
        raise
    if not stat.S_ISREG(mode):
        os.close(descriptor)
        raise FileRefused(f"{name}: {_kind(mode)}, not a regular file: a {what} must be a regular file")
    with os.fdopen(descriptor, "rb") as file:
        data = file.read(limit + 1)
    if len(data) > limit:
        raise FileRefused(f"{name}: more than the {limit:,} bytes a {what} may have")
    return data


def _name_max(directory: Path) -> int:
    try:
        return os.pathconf(directory, "PC_NAME_MAX")
    except (OSError, ValueError):
        return 255


def _temporary_parts(target: Path) -> tuple[str, str]:
    """The prefix and suffix of the temporary names for `target`, short
    enough that a temporary name fits wherever the target's name fits."""
    suffix = target.suffix if len(target.suffix.encode()) <= _LONGEST_KEPT_SUFFIX else ""
    stem = target.name[: len(target.name) - len(suffix)] if suffix else target.name
    room = _name_max(target.parent) - _FIXED - len(suffix.encode())
    encoded = stem.encode("utf-8", "surrogateescape")[: max(room, 0)]
    return f".{encoded.decode('utf-8', 'ignore')}.", f".tmp{suffix}"


def resolved_output(path: str | os.PathLike[str]) -> Path:
    """The file that writing `path` replaces: `path` itself, or what its
    symlinks point to. FileRefused for anything but a regular file or a new
    name in an existing directory."""
    given = Path(path)
    target = given
    if given.is_symlink():
        target = Path(os.path.realpath(given))
        if not target.exists():
            raise FileRefused(f"{given}: a symlink to {target}, which does not exist: refusing to follow it")
    try:
        mode = target.stat().st_mode
    except FileNotFoundError:
        mode = None
    if mode is not None and not stat.S_ISREG(mode):
        raise FileRefused(f"{given}: {_kind(mode)}, not a regular file: refusing to replace it")
    if not target.parent.is_dir():
        raise FileRefused(f"{given}: the directory {target.parent} does not exist")
    if len(target.name.encode("utf-8", "surrogateescape")) > _name_max(target.parent):
        raise FileRefused(f"{given}: the file name is longer than its directory allows")
    return target


def check_outputs(outputs: Iterable[str | os.PathLike[str]], inputs: Iterable[str | os.PathLike[str]] = ()) -> None:
    """Refuse, before any work, outputs that cannot be written, that are one
    of the inputs, or that name the same file twice."""
    seen: list[tuple[Path, Path]] = []
    sources = [Path(source) for source in inputs]
    for output in outputs:
        target = resolved_output(output)
        for source in sources:
            if _same_file(target, source):
                raise FileRefused(f"{output}: the same file as the input {source}: refusing to overwrite it")
        for earlier, earlier_target in seen:
            if _same_file(target, earlier_target):
                raise FileRefused(f"{output}: the same file as the output {earlier}: name each output once")
        seen.append((Path(output), target))


def _same_file(a: Path, b: Path) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.realpath(a) == os.path.realpath(b)


def stale_temporaries(path: str | os.PathLike[str]) -> list[Path]:
    """Temporary files of earlier writes of `path` whose writer has died."""
    target = resolved_output(path)
    prefix, suffix = _temporary_parts(target)
    pattern = re.compile(re.escape(prefix) + _RANDOM + re.escape(suffix))
    stale = []
    for candidate in target.parent.glob(_glob_escape(prefix) + "*" + _glob_escape(suffix)):
        if pattern.fullmatch(candidate.name) and not _held(candidate):
            stale.append(candidate)
    return stale


def _glob_escape(text: str) -> str:
    return re.sub(r"([*?\[])", r"[\1]", text)


def _held(candidate: Path) -> bool:
    """Whether a live writer holds the lock that each writer keeps on its
    temporary file for as long as it writes it (the kernel drops the lock
    when the writer dies, however it dies)."""
    try:
        descriptor = os.open(candidate, os.O_RDONLY | os.O_NONBLOCK)
    except OSError:
        return True
    try:
        fcntl.flock(descriptor, fcntl.LOCK_SH | fcntl.LOCK_NB)
    except OSError:
        return True
    finally:
        os.close(descriptor)
    return False


@contextlib.contextmanager
def atomic_path(path: str | os.PathLike[str]) -> Iterator[Path]:
    """A temporary name beside the file that `path` names, to write to; on
    success it is flushed to disk and renamed over that file, on failure
    removed. The temporary name keeps the suffix, for writers that choose
    the format by it. Leftovers of earlier writes whose writer was killed
    are removed first."""
    target = resolved_output(path)
    for leftover in stale_temporaries(target):
        leftover.unlink(missing_ok=True)
    prefix, suffix = _temporary_parts(target)
    descriptor, temporary = tempfile.mkstemp(prefix=prefix, suffix=suffix, dir=target.parent)
    temporary_path = Path(temporary)
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX)
        yield temporary_path
        os.chmod(temporary_path, 0o666 & ~_UMASK)
        with open(temporary_path, "rb+") as written:
            os.fsync(written.fileno())
        os.replace(temporary_path, target)
    except BaseException:
        temporary_path.unlink(missing_ok=True)
        raise
    finally:
        os.close(descriptor)
    _sync_directory(target.parent)


def write_atomic(path: str | os.PathLike[str], data: bytes) -> Path:
    """Write `data` to `path` through `atomic_path`; returns `path`."""
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
