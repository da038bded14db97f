"""Replay files sealed with a correct checksum but hostile inside: huge
declared lengths, bombs, wrong types, too many bodies or events."""

from __future__ import annotations

import hashlib
import json
import struct
import zlib

import numpy as np
import pytest

from zorbic.replays.format import ReplayError, decode_replay

HEAD = struct.Struct("<8sIQQ")


def sealed(body: bytes, raw_length: int) -> bytes:
    head = HEAD.pack(b"\x89ZRP\r\n\x1a\n", 1, len(body), raw_length)
    return head + hashlib.sha256(head + body).digest() + body


def with_meta(meta: object, arrays: bytes = b"") -> bytes:
    text = meta if isinstance(meta, bytes) else json.dumps(meta).encode()
    raw = struct.pack("<I", len(text)) + text + arrays
    return sealed(zlib.compress(raw), len(raw))


def good_meta(**changes: object) -> dict:
    meta = {"stadium": "{}", "n_red": 1, "n_blue": 0, "tick_skip": 1, "n_steps": 0, "events": []}
    meta.update(changes)
    return meta


def test_the_hostile_cases_are_built_on_a_file_that_reads() -> None:
    assert decode_replay(with_meta(good_meta())).n_steps == 0


@pytest.mark.parametrize("declared", [2**63 - 1, 2**64 - 1, 2**31])
def test_huge_declared_lengths_are_refused(declared: int) -> None:
    with pytest.raises(ReplayError) as refused:
        decode_replay(sealed(zlib.compress(b"x"), declared))
    assert refused.value.kind == "limit"


def test_a_bomb_is_refused_after_unpacking_no_more_than_its_metadata_allows() -> None:
    text = json.dumps(good_meta()).encode()
    bomb = zlib.compress(struct.pack("<I", len(text)) + text + bytes(64 * 2**20), 9)
    with pytest.raises(ReplayError) as refused:
        decode_replay(sealed(bomb, 2**20))
    assert refused.value.kind == "payload"


@pytest.mark.parametrize(
    ("meta", "message"),
    [
        (good_meta(events=[{"kind": [], "step": 0}]), "unknown kind"),
        (good_meta(events=[{"kind": {"a": 1}, "step": 0}]), "unknown kind"),
        (good_meta(events={"kind": "reset"}), "'events' must be a list"),
        (good_meta(stadium=["{}"]), "'stadium' must be text"),
        (good_meta(n_steps=1.0), "'n_steps' must be an integer"),
        (good_meta(tick_skip=True), "'tick_skip' must be an integer"),
        (b'{"stadium":"{}","n_red":1,"n_red":1,"n_blue":0,"tick_skip":1,"n_steps":0,"events":[]}', "appears twice"),
        (b'{"stadium":"{}","n_red":' + b"9" * 5000 + b"}", "not JSON"),
        (b"[" * 100_000, "not JSON"),
    ],
)
def test_fields_of_the_wrong_type_are_refused(meta: object, message: str) -> None:
    with pytest.raises(ReplayError, match=message) as refused:
        decode_replay(with_meta(meta))
    assert refused.value.kind == "structure"


@pytest.mark.parametrize(
    ("meta", "variable"),
    [
        (good_meta(stadium=json.dumps({"discs": [{}] * 200_000})), "ZORBIC_MAX_DISCS"),
        (good_meta(events=[{"kind": "reset", "step": 0}] * 1_000_000), "ZORBIC_MAX_REPLAY_EVENTS"),
        (good_meta(events=[0] * 1_000_000), "ZORBIC_MAX_REPLAY_EVENTS"),
    ],
)
def test_too_many_bodies_or_events_are_refused_up_front(meta: dict, variable: str) -> None:
    with pytest.raises(ReplayError, match=variable) as refused:
        decode_replay(with_meta(meta))
    assert refused.value.kind == "limit"


def test_the_event_limit_can_be_raised(monkeypatch: pytest.MonkeyPatch) -> None:
    data = with_meta(good_meta(events=[{"kind": "reset", "step": 0}] * 20))
    monkeypatch.setenv("ZORBIC_MAX_REPLAY_EVENTS", "10")
    with pytest.raises(ReplayError, match="more than 10 events"):
        decode_replay(data)
    monkeypatch.setenv("ZORBIC_MAX_REPLAY_EVENTS", "20")
    assert len(decode_replay(data).events) == 20


def _hostile_value(rng: np.random.Generator, depth: int = 0) -> object:
    choice = rng.integers(9 if depth < 4 else 6)
    if choice == 0:
        return int(rng.integers(-(2**62), 2**62)) * int(rng.choice([1, 2**40, 1]))
    if choice == 1:
        return float(rng.normal()) * 10.0 ** int(rng.integers(-5, 300))
    if choice == 2:
        return "".join(chr(int(c)) for c in rng.integers(1, 0x3000, rng.integers(0, 8)))
    if choice == 3:
        return bool(rng.integers(2))
    if choice == 4:
        return None
    if choice == 5:
        return ["reset", "state", "kick_rate_limit", "player_cmask"][rng.integers(4)]
    if choice == 6:
        return [_hostile_value(rng, depth + 1) for _ in range(rng.integers(0, 4))]
    keys = ["kind", "step", "steps", "min", "cost", "cap", "mask", "x"]
    return {keys[k]: _hostile_value(rng, depth + 1) for k in rng.integers(0, len(keys), rng.integers(0, 5))}


@pytest.mark.parametrize("seed", range(4))
def test_fuzzed_metadata_is_read_or_refused_with_a_replay_error(seed: int) -> None:
    """Random types, sizes and nesting in every field: only ReplayError may come out."""
    rng = np.random.default_rng(seed)
    for _ in range(150):
        meta = good_meta(n_steps=int(rng.integers(0, 3)), n_red=int(rng.integers(0, 3)), n_blue=int(rng.integers(0, 3)))
        for key in rng.choice(list(meta), rng.integers(1, 4), replace=False):
            meta[str(key)] = _hostile_value(rng)
        if rng.random() < 0.5:
            meta["events"] = [_hostile_value(rng) for _ in range(rng.integers(0, 5))]
        arrays = bytes(rng.integers(0, 256, int(rng.integers(0, 300)), dtype=np.uint8))
        try:
            decode_replay(with_meta(meta, arrays))
        except ReplayError:
            pass
