"""Replay files (.zrp): everything needed to re-simulate one match exactly.

A replay holds the stadium text, the team sizes, `tick_skip`, the actions
of every step and a digest of the match's state after every step, and the
events that happened between steps, in the order they happened: kickoff
resets, `set_state` writes (with the match's arrays), kick-rate-limit and
player-mask changes. Re-simulation starts from a freshly built one-match
batch, which stands at kickoff with the default kick rate limit; a match
that starts otherwise begins with events at step 0. docs/replay-format.md
describes the layout byte by byte.

Reading trusts nothing: a file that is truncated, corrupted, tampered with
or from a newer format is refused with a `ReplayError` that says which.
"""

from __future__ import annotations

import hashlib
import json
import os
import re
import struct
import zlib
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

import zorbic_core
from zorbic.common.files import FileRefused, read_bounded, write_atomic
from zorbic.engine import limits

MAGIC = b"\x89ZRP\r\n\x1a\n"
VERSION = 1
SUFFIX = ".zrp"
_HEADER = struct.Struct("<8sIQQ32s")  # magic, version, body length, unpacked length, SHA-256
HEADER_SIZE = _HEADER.size
_CHECKED = HEADER_SIZE - 32  # the header bytes that the checksum covers, with the body
_META_LENGTH = struct.Struct("<I")
DIGEST_SIZE = 16
DEFAULT_KICK_RATE_LIMIT = (2, 0, 1)
MAX_PLAYERS = 32
# Longer steps would let one step of a replay run for hours.
MAX_TICK_SKIP = 65536
_INT64 = (-(2**63), 2**63 - 1)


class ReplayError(ValueError):
    """A replay that cannot be read or used; `kind` names what is wrong."""

    def __init__(self, kind: str, message: str) -> None:
        super().__init__(message)
        self.kind = kind


@dataclass(frozen=True)
class Reset:
    """A kickoff reset of the match (`reset_all`, or `reset_mask` selecting it)."""

    step: int  # the number of steps recorded before it


@dataclass(frozen=True, eq=False)
class SetState:
    """A `set_state` call, with the match's own rows of its arrays."""

    step: int
    ball_pos: npt.NDArray[np.float64]  # (2,)
    ball_vel: npt.NDArray[np.float64]  # (2,)
    player_pos: npt.NDArray[np.float64]  # (P, 2)
    player_vel: npt.NDArray[np.float64]  # (P, 2)
    steps: int  # the tick counter it set


@dataclass(frozen=True)
class KickRateLimit:
    """An event: the kick rate limit set from this step on."""

    step: int
    min: int
    cost: int
    cap: int


@dataclass(frozen=True)
class PlayerCmask:
    """An event: a player's collision mask set from this step on."""

    step: int
    mask: int


Event = Reset | SetState | KickRateLimit | PlayerCmask


@dataclass(frozen=True, eq=False)
class Replay:
    """A recorded match: its stadium and teams, its events and actions, and a digest of every step."""

    stadium: str
    n_red: int
    n_blue: int
    tick_skip: int
    events: tuple[Event, ...]
    actions: npt.NDArray[np.int64]  # (steps, P, 3)
    digests: npt.NDArray[np.uint8]  # (steps, DIGEST_SIZE)

    @property
    def n_players(self) -> int:
        """Players per match."""
        return self.n_red + self.n_blue

    @property
    def n_steps(self) -> int:
        """The number of steps recorded."""
        return len(self.actions)


def state_digest(
    ball_pos: npt.ArrayLike,
    ball_vel: npt.ArrayLike,
    player_pos: npt.ArrayLike,
    player_vel: npt.ArrayLike,
    steps: int,
) -> bytes:
    """BLAKE2b-128 of one match's state: its float64 arrays and its tick counter,
    little-endian, in `snapshot` order. Equal digests mean bit-identical states."""
    hasher = hashlib.blake2b(digest_size=DIGEST_SIZE)
    for array in (ball_pos, ball_vel, player_pos, player_vel):
        hasher.update(np.ascontiguousarray(array, "<f8").tobytes())
    hasher.update(np.int64(steps).astype("<i8").tobytes())
    return hasher.digest()


def _event_record(event: Event) -> dict[str, Any]:
    if isinstance(event, Reset):
        return {"kind": "reset", "step": event.step}
    if isinstance(event, SetState):
        return {"kind": "state", "step": event.step, "steps": event.steps}
    if isinstance(event, KickRateLimit):
        return {"kind": "kick_rate_limit", "step": event.step, "min": event.min, "cost": event.cost, "cap": event.cap}
    return {"kind": "player_cmask", "step": event.step, "mask": event.mask}


def encode_replay(replay: Replay) -> bytes:
    """The bytes of the `.zrp` file of `replay`."""
    meta = {
        "stadium": replay.stadium,
        "n_red": replay.n_red,
        "n_blue": replay.n_blue,
        "tick_skip": replay.tick_skip,
        "n_steps": replay.n_steps,
        "events": [_event_record(event) for event in replay.events],
    }
    meta_bytes = json.dumps(meta, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
    parts = [_META_LENGTH.pack(len(meta_bytes)), meta_bytes]
    for event in replay.events:
        if isinstance(event, SetState):
            for array in (event.ball_pos, event.ball_vel, event.player_pos, event.player_vel):
                parts.append(np.ascontiguousarray(array, "<f8").tobytes())
    parts.append(np.ascontiguousarray(replay.actions, "<i8").tobytes())
    parts.append(np.ascontiguousarray(replay.digests, np.uint8).tobytes())
    raw = b"".join(parts)
    body = zlib.compress(raw, 6)
    head = _HEADER.pack(MAGIC, VERSION, len(body), len(raw), b"")[:_CHECKED]
    return head + hashlib.sha256(head + body).digest() + body


def save_replay(replay: Replay, path: str | os.PathLike[str]) -> Path:
    """Write a replay atomically: a crash leaves the old file or none, never part of one."""
    return write_atomic(path, encode_replay(replay))


def _structure(message: str) -> ReplayError:
    return ReplayError("structure", f"malformed replay: {message}")


def _int(record: dict[str, Any], key: str, where: str, low: int = _INT64[0], high: int = _INT64[1]) -> int:
    value = record.get(key)
    if type(value) is not int:
        raise _structure(f"{where}: {key!r} must be an integer, not {type(value).__name__}")
    if not low <= value <= high:
        raise _structure(f"{where}: {key!r} = {value} is outside {low} .. {high}")
    return value


_EVENT_KEYS = {
    "reset": {"kind", "step"},
    "state": {"kind", "step", "steps"},
    "kick_rate_limit": {"kind", "step", "min", "cost", "cap"},
    "player_cmask": {"kind", "step", "mask"},
}
_META_KEYS = {"stadium", "n_red", "n_blue", "tick_skip", "n_steps", "events"}


class _Reader:
    """Hands out the arrays that follow the metadata, in order."""

    def __init__(self, data: bytes | bytearray, offset: int) -> None:
        self.data, self.offset = data, offset

    def take(self, count: int, dtype: str) -> np.ndarray:
        size = count * np.dtype(dtype).itemsize
        end = self.offset + size
        if end > len(self.data):
            raise _structure(f"the arrays end {end - len(self.data)} bytes early")
        array = np.frombuffer(self.data, dtype, count, self.offset).astype(dtype[1:] if dtype[0] == "<" else dtype)
        self.offset = end
        return array


def _events(records: Any, n_steps: int, n_players: int, reader: _Reader) -> tuple[Event, ...]:
    events: list[Event] = []
    last_step = 0
    for index, record in enumerate(records):
        where = f"event {index}"
        if not isinstance(record, dict):
            raise _structure(f"{where} must be an object")
        kind = record.get("kind")
        if not isinstance(kind, str) or kind not in _EVENT_KEYS:
            raise _structure(f"{where} has unknown kind {kind!r}")
        if set(record) != _EVENT_KEYS[kind]:
            raise _structure(f"{where} ({kind}) must have exactly the keys {sorted(_EVENT_KEYS[kind])}")
        step = _int(record, "step", where, 0, n_steps)
        if step < last_step:
            raise _structure(f"{where} at step {step} comes after an event at step {last_step}")
        last_step = step
        if kind == "reset":
            events.append(Reset(step))
        elif kind == "state":
            ball = reader.take(4, "<f8")
            players = reader.take(4 * n_players, "<f8")
            events.append(
                SetState(
                    step,
                    ball[:2],
                    ball[2:],
                    players[: 2 * n_players].reshape(n_players, 2),
                    players[2 * n_players :].reshape(n_players, 2),
                    _int(record, "steps", where),
                )
            )
        elif kind == "kick_rate_limit":
            events.append(KickRateLimit(step, *(_int(record, key, where) for key in ("min", "cost", "cap"))))
        else:
            events.append(PlayerCmask(step, _int(record, "mask", where)))
    return tuple(events)


class _Unpacker:
    """The body, unpacked only as far as it is asked for: the metadata first,
    the arrays once the metadata says how large they are, so that no more
    is ever unpacked than the file can honestly hold."""

    def __init__(self, body: bytes, raw_length: int) -> None:
        self.raw_length = raw_length
        self.out = bytearray()
        self._stream = zlib.decompressobj()
        self._body = memoryview(body)
        self._fed = 0
        self._pending: bytes | memoryview = b""

    def fill(self, size: int) -> bytearray:
        """The first `size` bytes (fewer if the body ends sooner)."""
        while len(self.out) < size and not self._stream.eof:
            self.out += self._more(min(size - len(self.out), _CHUNK))
        return self.out

    def _more(self, limit: int) -> bytes:
        # The input goes in by slices: the stream copies what it leaves
        # unread, which must not be the whole rest of a large body each time.
        if not self._pending:
            self._pending = self._body[self._fed : self._fed + _CHUNK]
            self._fed += len(self._pending)
        try:
            piece = self._stream.decompress(self._pending, limit)
        except zlib.error as error:
            raise ReplayError("payload", f"corrupted replay body: {error}") from None
        self._pending = self._stream.unconsumed_tail
        if not piece and not self._pending and self._fed == len(self._body) and not self._stream.eof:
            raise ReplayError("payload", "corrupted replay body: it ends before its compressed stream does")
        return piece

    def check_length(self) -> None:
        """ReplayError unless the body unpacks to exactly the announced
        length; what lies past the part kept is counted, not kept."""
        held = len(self.out)
        while held <= self.raw_length and not self._stream.eof:
            held += len(self._more(min(self.raw_length + 1 - held, _CHUNK)))
        if held != self.raw_length or self._stream.unused_data or self._fed < len(self._body):
            raise ReplayError(
                "payload",
                f"corrupted replay body: it does not unpack to the {self.raw_length} bytes its header announces",
            )


_CHUNK = 1 << 22
_STRING = re.compile(rb'"[^"\\]*(?:\\.[^"\\]*)*"')
# Every value in the metadata but the first follows a comma or an opening
# bracket; an event holds at most five keys, so it brings at most seven.
_MARKS_PER_EVENT = 8
_MARKS_OF_THE_REST = 64
# JSON writes a control character as six; no stadium text can grow more.
_ESCAPED_GROWTH = 6
_LONGEST_EVENT = 256


def _unique(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    record = dict(pairs)
    if len(record) != len(pairs):
        seen: set[str] = set()
        for key, _ in pairs:
            if key in seen:
                break
            seen.add(key)
        repeated = key
        raise _structure(f"the key {repeated!r} appears twice in one object")
    return record


def _too_many_marks(text: bytes, limit: int) -> bool:
    """Whether the JSON structure has more than `limit` commas and opening brackets.

    Marks inside strings (a stadium's text) do not count. Most files have
    fewer marks in all than the limit, and are answered by one count. The
    rest are walked from string to string, counting the gaps in place, and
    answered as soon as the limit is passed: building the text without its
    strings would hold a piece for each of a million short strings at once.
    """
    marks = (b",", b"[", b"{")
    if sum(text.count(mark) for mark in marks) <= limit:
        return False
    total, gap = 0, 0
    for found in _STRING.finditer(text):
        start, end = found.span()
        total += sum(text.count(mark, gap, start) for mark in marks)
        if total > limit:
            return True
        gap = end
    return total + sum(text.count(mark, gap) for mark in marks) > limit


def _too_large(message: str, field: str) -> ReplayError:
    return ReplayError("limit", f"{message} (raise the limit with {limits.variable(field)}, see docs/guides/limits.md)")


def _metadata(unpacker: _Unpacker, bounds: limits.Limits) -> tuple[dict[str, Any], int]:
    raw = unpacker.fill(_META_LENGTH.size)
    if len(raw) < _META_LENGTH.size:
        unpacker.check_length()
        raise _structure("the body is too short to hold its metadata length")
    (meta_length,) = _META_LENGTH.unpack_from(raw)
    start = _META_LENGTH.size
    if meta_length > unpacker.raw_length - start:
        unpacker.check_length()
        raise _structure(f"the metadata length {meta_length} runs past the end of the body")
    longest = _ESCAPED_GROWTH * bounds.stadium_bytes + _LONGEST_EVENT * bounds.replay_events + 4096
    if meta_length > longest:
        raise _too_large(f"the replay's metadata is {meta_length} bytes, more than its limits allow", "replay_events")
    text = bytes(unpacker.fill(start + meta_length)[start : start + meta_length])
    if len(text) < meta_length:
        unpacker.check_length()
    if _too_many_marks(text, _MARKS_PER_EVENT * bounds.replay_events + _MARKS_OF_THE_REST):
        raise _too_large(f"the replay holds more than {bounds.replay_events} events, the limit", "replay_events")
    try:
        meta = json.loads(text.decode("utf-8"), object_pairs_hook=_unique)
    except ReplayError:
        raise
    except (UnicodeDecodeError, ValueError, RecursionError) as error:
        raise _structure(f"the metadata is not JSON text ({type(error).__name__})") from None
    return meta, start + meta_length


def _expected_length(meta_end: int, events: list[Any], n_players: int, n_steps: int) -> int:
    states = sum(1 for record in events if isinstance(record, dict) and record.get("kind") == "state")
    return meta_end + states * 8 * (4 + 4 * n_players) + n_steps * (24 * n_players + DIGEST_SIZE)


def _parse(unpacker: _Unpacker) -> Replay:
    bounds = limits.current()
    meta, meta_end = _metadata(unpacker, bounds)
    if not isinstance(meta, dict) or set(meta) != _META_KEYS:
        raise _structure(f"the metadata must be an object with exactly the keys {sorted(_META_KEYS)}")
    if not isinstance(meta["stadium"], str):
        raise _structure("'stadium' must be text")
    n_red = _int(meta, "n_red", "metadata", 0, MAX_PLAYERS)
    n_blue = _int(meta, "n_blue", "metadata", 0, MAX_PLAYERS)
    if not 1 <= n_red + n_blue <= MAX_PLAYERS:
        raise _structure(f"n_red + n_blue = {n_red + n_blue} is outside 1 .. {MAX_PLAYERS}")
    tick_skip = _int(meta, "tick_skip", "metadata", 1, MAX_TICK_SKIP)
    n_players = n_red + n_blue
    n_steps = _int(meta, "n_steps", "metadata", 0, unpacker.raw_length // (24 * n_players + DIGEST_SIZE))
    if not isinstance(meta["events"], list):
        raise _structure("'events' must be a list")
    if len(meta["events"]) > bounds.replay_events:
        raise _too_large(f"the replay holds more than {bounds.replay_events} events, the limit", "replay_events")
    expected = _expected_length(meta_end, meta["events"], n_players, n_steps)
    raw = unpacker.fill(min(expected, unpacker.raw_length))
    unpacker.check_length()
    reader = _Reader(raw, meta_end)
    events = _events(meta["events"], n_steps, n_players, reader)
    actions = reader.take(n_steps * n_players * 3, "<i8").reshape(n_steps, n_players, 3)
    digests = reader.take(n_steps * DIGEST_SIZE, "|u1").reshape(n_steps, DIGEST_SIZE)
    if reader.offset != unpacker.raw_length:
        raise _structure(f"{unpacker.raw_length - reader.offset} bytes follow the last array")
    try:
        limits.check_stadium(meta["stadium"], bounds)
    except limits.TooLarge as error:
        raise ReplayError("limit", f"the replay's stadium is too large: {error}") from None
    try:
        zorbic_core.VecEnv.from_zsm(meta["stadium"], 1, n_red, n_blue, tick_skip=tick_skip)
    except (ValueError, OverflowError) as error:
        raise ReplayError("stadium", f"the replay's stadium does not build: {error}") from None
    return Replay(meta["stadium"], n_red, n_blue, tick_skip, events, actions, digests)


def decode_replay(data: bytes) -> Replay:
    """Read a replay from its bytes, checking everything; ReplayError otherwise."""
    if len(data) < HEADER_SIZE:
        raise ReplayError("header", f"truncated replay: {len(data)} bytes, shorter than the {HEADER_SIZE}-byte header")
    magic, version, body_length, raw_length, checksum = _HEADER.unpack_from(data)
    if magic != MAGIC:
        raise ReplayError("magic", "not a zorbic replay file: it does not begin with the replay signature")
    if version > VERSION:
        raise ReplayError(
            "version",
            f"replay format version {version} is newer than this zorbic reads (up to {VERSION}); update zorbic",
        )
    if version < 1:
        raise ReplayError("version", f"replay format version {version} does not exist: the header is corrupted")
    held = len(data) - HEADER_SIZE
    if held < body_length:
        raise ReplayError(
            "length", f"truncated replay: its header announces {body_length} body bytes, the file holds {held}"
        )
    if held > body_length:
        raise ReplayError("length", f"replay has {held - body_length} stray bytes after its end")
    body = data[HEADER_SIZE:]
    if hashlib.sha256(data[:_CHECKED] + body).digest() != checksum:
        raise ReplayError("checksum", "corrupted replay: its checksum does not match its contents")
    ceiling = limits.current().replay_bytes
    if raw_length > ceiling:
        raise _too_large(f"the replay unpacks to {raw_length} bytes, more than the limit of {ceiling}", "replay_bytes")
    return _parse(_Unpacker(body, raw_length))


def load_replay(path: str | os.PathLike[str]) -> Replay:
    """Read a replay file; a damaged one raises ReplayError naming the file."""
    try:
        data = read_bounded(path, limits.current().replay_bytes, "replay file")
        return decode_replay(data)
    except ReplayError as error:
        raise ReplayError(error.kind, f"{os.fspath(path)}: {error}") from None
    except FileRefused as error:
        raise ReplayError("file", str(error)) from None
