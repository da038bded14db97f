"""Replay files: every kind of recorded match re-simulates exactly, and every
kind of damaged file is refused with its own message."""

from __future__ import annotations

import hashlib
import json
import os
import struct
import zlib
from collections.abc import Callable
from pathlib import Path

import numpy as np
import pytest

import zorbic_core
from zorbic.engine.stadium import classic_text
from zorbic.replays.format import (
    HEADER_SIZE,
    KickRateLimit,
    PlayerCmask,
    Replay,
    ReplayError,
    Reset,
    SetState,
    decode_replay,
    encode_replay,
    load_replay,
    save_replay,
)
from zorbic.replays.recording import BatchRecorder, Recorder, RecordingVecEnv
from zorbic.replays.resimulate import frames, verify

# A pitch with arcs of both signs, a one-sided wall, a movable disc and its own goals.
CUSTOM = json.dumps(
    {
        "name": "custom",
        "vertexes": [{"x": -300, "y": -150}, {"x": 300, "y": -150}, {"x": 300, "y": 150}, {"x": -300, "y": 150}],
        "segments": [
            {"v0": 0, "v1": 1, "curve": 30},
            {"v0": 1, "v1": 2, "curve": -60},
            {"v0": 2, "v1": 3, "bias": 5},
            {"v0": 3, "v1": 0, "curve": 200},
        ],
        "goals": [
            {"p0": [290, -40], "p1": [290, 40], "team": "blue"},
            {"p0": [-290, -40], "p1": [-290, 40], "team": "red"},
        ],
        "discs": [{"pos": [0, 80], "radius": 12, "invMass": 0.5}, {"pos": [0, -80], "radius": 6, "invMass": 0}],
        "planes": [{"normal": [0, 1], "dist": -400}],
    }
)


def random_actions(rng: np.random.Generator, n_envs: int, n_players: int) -> np.ndarray:
    actions = rng.integers(-1, 2, size=(n_envs, n_players, 3))
    actions[..., 2] = rng.integers(0, 3, size=(n_envs, n_players))
    return actions


def play(env: RecordingVecEnv, steps: int, rng: np.random.Generator) -> None:
    for _ in range(steps):
        env.physics_step(random_actions(rng, env.n_envs, env.n_players))


def shoot_everywhere(env: RecordingVecEnv) -> None:
    """Every match's ball at the blue goal: goals, countdowns and kickoffs follow."""
    ball_pos, ball_vel, player_pos, player_vel, steps = env.snapshot()
    ball_pos[:] = (340.0, 5.0)
    ball_vel[:] = (7.0, 0.0)
    env.set_state(ball_pos, ball_vel, player_pos, player_vel, steps)


def kickoff_start(rng):  # a fresh batch: the kickoff, goals and the countdown
    env = RecordingVecEnv(2, 3, 3, record=1)
    play(env, 30, rng)
    shoot_everywhere(env)
    play(env, 60, rng)
    return env


def state_start(rng):  # a reset, then set_state with the match's arrays
    env = RecordingVecEnv(3, 2, 2, tick_skip=4, record=2)
    env.reset_all()
    ball_pos, ball_vel, player_pos, player_vel, steps = env.snapshot()
    ball_pos[:] = rng.uniform(-100, 100, (3, 2))
    player_pos[:] = rng.uniform(-300, 300, (3, 4, 2))
    player_vel[:] = rng.uniform(-2, 2, (3, 4, 2))
    env.set_state(ball_pos, ball_vel, player_pos, player_vel, np.array([5, 6, 7], np.int64))
    play(env, 50, rng)
    return env


def resets_in_the_middle(rng):  # reset_mask of the recorded match and of others, reset_all
    env = RecordingVecEnv(4, 1, 1, tick_skip=8, record=3)
    play(env, 20, rng)
    env.reset_mask(np.array([True, False, False, True]))
    play(env, 20, rng)
    env.reset_mask(np.array([True, True, True, False]))  # leaves the recorded match running
    play(env, 20, rng)
    env.reset_all()
    play(env, 5, rng)
    return env


def settings_changes(rng):  # kick rate limit and player masks, before and during play
    env = RecordingVecEnv(1, 2, 1, tick_skip=1)
    env.set_kick_rate_limit(6, 1, 3)
    for step in range(200):
        if step % 7 == 0:
            env.set_player_cmask(39 | 8)
        if step == 100:
            env.set_kick_rate_limit(2, 0, 1)
        if step == 150:
            env.set_player_cmask(-1)  # every bit of a signed 64-bit mask is kept
        env.physics_step(random_actions(rng, 1, 3))
    return env


def custom_stadium(rng):  # arcs, bias, a movable disc; 0 v 2 and shots on goal
    env = RecordingVecEnv.from_zsm(CUSTOM, 2, 0, 2, tick_skip=3)
    play(env, 40, rng)
    shoot_everywhere(env)
    play(env, 80, rng)
    return env


def no_steps(rng):  # a recording of 0 steps
    return RecordingVecEnv(1, 1, 0)


def one_step_of_a_written_state(rng):  # a set_state right away, no reset, one step
    env = RecordingVecEnv(1, 1, 1, tick_skip=0)  # stored as 1
    env.set_state(*[a.copy() for a in env.snapshot()[:4]])
    play(env, 1, rng)
    return env


RECORDINGS: dict[str, Callable[[np.random.Generator], RecordingVecEnv]] = {
    f.__name__: f
    for f in (
        kickoff_start,
        state_start,
        resets_in_the_middle,
        settings_changes,
        custom_stadium,
        no_steps,
        one_step_of_a_written_state,
    )
}


@pytest.fixture(scope="module")
def classic_bytes() -> bytes:
    return encode_replay(kickoff_start(np.random.default_rng(1)).replay())


@pytest.mark.parametrize("make", RECORDINGS.values(), ids=RECORDINGS.keys())
def test_every_kind_of_recording_verifies_from_its_file(make, tmp_path: Path) -> None:
    env = make(np.random.default_rng(7))
    path = env.save(tmp_path / "match.zrp")
    replay = load_replay(path)
    verdict = verify(replay)
    assert verdict.ok and verdict.message == f"verified {env.recorder.n_steps} steps"
    # The re-simulation ends where the recorded match is.
    last = list(frames(replay))[-1]
    ball_pos, ball_vel, player_pos, player_vel, steps = env.snapshot()
    k = env.record_index
    assert np.array_equal(last.ball_pos, ball_pos[k]) and np.array_equal(last.player_pos, player_pos[k])
    assert np.array_equal(last.player_vel, player_vel[k]) and last.ticks == steps[k]


def test_the_file_holds_what_was_recorded() -> None:
    env = settings_changes(np.random.default_rng(3))
    original = env.replay()
    again = decode_replay(encode_replay(original))
    assert (again.stadium, again.n_red, again.n_blue, again.tick_skip) == (classic_text(), 2, 1, 1)
    assert np.array_equal(again.actions, original.actions) and again.actions.dtype == np.int64
    assert np.array_equal(again.digests, original.digests)
    assert again.events == original.events
    assert again.events[0] == KickRateLimit(0, 6, 1, 3)
    assert PlayerCmask(150, -1) in again.events and KickRateLimit(100, 2, 0, 1) in again.events


def test_a_written_state_keeps_every_bit(tmp_path: Path) -> None:
    env = RecordingVecEnv(1, 1, 1)
    ball_pos, ball_vel, player_pos, player_vel, _ = env.snapshot()
    ball_pos[0] = (-0.0, np.nextafter(0.0, 1.0))
    ball_vel[0] = (np.nan, np.inf)
    player_vel[0, 1] = (5e-324, -1e308)
    env.set_state(ball_pos, ball_vel, player_pos, player_vel, np.array([-3], np.int64))
    play(env, 3, np.random.default_rng(0))
    event = load_replay(env.save(tmp_path / "bits.zrp")).events[0]
    assert isinstance(event, SetState) and event.steps == -3
    assert event.ball_pos.tobytes() == ball_pos[0].tobytes() and event.ball_vel.tobytes() == ball_vel[0].tobytes()
    assert event.player_vel.tobytes() == player_vel[0].tobytes()
    assert verify(load_replay(tmp_path / "bits.zrp")).ok


def _reencode(replay: Replay, **changes) -> Replay:
    fields = {
        name: getattr(replay, name)
        for name in ("stadium", "n_red", "n_blue", "tick_skip", "events", "actions", "digests")
    }
    return decode_replay(encode_replay(Replay(**{**fields, **changes})))


def test_a_tampered_action_is_found_at_the_step_it_changed() -> None:
    replay = kickoff_start(np.random.default_rng(2)).replay()
    actions = replay.actions.copy()
    actions[40, 0, :2] = -actions[40, 0, :2] + (actions[40, 0, :2] == 0)
    verdict = verify(_reencode(replay, actions=actions))
    assert not verdict.ok and verdict.steps_checked == 40
    assert verdict.message.startswith("step 41 differs")


def test_a_tampered_digest_is_found() -> None:
    replay = kickoff_start(np.random.default_rng(2)).replay()
    digests = replay.digests.copy()
    digests[-1, 3] ^= 1
    verdict = verify(_reencode(replay, digests=digests))
    assert not verdict.ok and verdict.message.startswith(f"step {replay.n_steps} differs")


@pytest.mark.parametrize("dropped", [PlayerCmask, KickRateLimit, Reset, SetState])
def test_every_kind_of_event_matters_to_the_replay(dropped) -> None:
    """Without the events of one kind, the same actions give another match."""
    rng = np.random.default_rng(11)
    env = RecordingVecEnv(1, 1, 1, tick_skip=1)
    ball_pos, ball_vel, player_pos, player_vel, steps = env.snapshot()
    player_pos[0] = [(-30.0, 0.0), (30.0, 0.0)]  # both players next to the ball
    env.set_kick_rate_limit(30, 0, 1)
    for step in range(120):
        if step == 10:
            env.set_state(ball_pos, ball_vel, player_pos, player_vel, steps)
        if step == 60:
            env.reset_all()
        if 10 <= step < 30:
            env.set_player_cmask(0)  # the players pass through the ball and each other
        actions = np.zeros((1, 2, 3), np.int64)
        actions[0, 0] = (1, 0, 2)
        actions[0, 1] = (-1, rng.integers(-1, 2), 2)
        env.physics_step(actions)
    replay = env.replay()
    assert verify(replay).ok
    kept = tuple(e for e in replay.events if not isinstance(e, dropped))
    assert len(kept) < len(replay.events)
    assert not verify(_reencode(replay, events=kept)).ok


# ---------------------------------------------------------------- damaged files


def _header(data: bytes) -> tuple[bytes, int, int, int, bytes]:
    return struct.unpack_from("<8sIQQ32s", data)


def _sealed_body(body: bytes, raw_length: int) -> bytes:
    """A file around any body, with a correct checksum: what a tamperer who
    knows the format could write."""
    head = struct.pack("<8sIQQ", b"\x89ZRP\r\n\x1a\n", 1, len(body), raw_length)
    return head + hashlib.sha256(head + body).digest() + body


def _sealed(raw: bytes) -> bytes:
    return _sealed_body(zlib.compress(raw), len(raw))


def _raw(data: bytes) -> bytes:
    return zlib.decompress(data[HEADER_SIZE:])


def _with_meta(data: bytes, change: Callable[[dict], None], arrays: Callable[[bytes], bytes] = lambda a: a) -> bytes:
    raw = _raw(data)
    (length,) = struct.unpack_from("<I", raw)
    meta = json.loads(raw[4 : 4 + length])
    change(meta)
    text = json.dumps(meta).encode()
    return _sealed(struct.pack("<I", len(text)) + text + arrays(raw[4 + length :]))


def _flip(data: bytes, at: int) -> bytes:
    return data[:at] + bytes([data[at] ^ 0x40]) + data[at + 1 :]


DAMAGES: dict[str, tuple[Callable[[bytes], bytes], str, str]] = {
    "empty": (lambda d: b"", "header", "0 bytes, shorter than the 60-byte header"),
    "cut-in-header": (lambda d: d[:30], "header", "30 bytes, shorter than the 60-byte header"),
    "not-a-replay": (lambda d: b"PK\x03\x04" + d[4:], "magic", "not a zorbic replay file"),
    "future-version": (
        lambda d: d[:8] + struct.pack("<I", 2) + d[12:],
        "version",
        "version 2 is newer than this zorbic reads",
    ),
    "version-zero": (lambda d: d[:8] + struct.pack("<I", 0) + d[12:], "version", "version 0 does not exist"),
    "cut-in-body": (lambda d: d[:-10], "length", "truncated replay: its header announces"),
    "appended": (lambda d: d + b"\0\0\0", "length", "3 stray bytes after its end"),
    "flipped-body-byte": (lambda d: _flip(d, len(d) // 2), "checksum", "checksum does not match"),
    "flipped-length-field": (lambda d: _flip(d, 20), "checksum", "checksum does not match"),
    "sealed-not-zlib": (lambda d: _sealed_body(b"not zlib data", 5), "payload", "corrupted replay body"),
    "sealed-wrong-unpacked-length": (
        lambda d: _sealed_body(zlib.compress(b"12345678"), 7),
        "payload",
        "does not unpack to the 7 bytes",
    ),
    "metadata-not-json": (lambda d: _sealed(struct.pack("<I", 3) + b"{x]"), "structure", "metadata is not JSON"),
    "metadata-too-long": (lambda d: _sealed(struct.pack("<I", 99) + b"{}"), "structure", "runs past the end"),
    "metadata-missing-key": (lambda d: _with_meta(d, lambda m: m.pop("tick_skip")), "structure", "exactly the keys"),
    "metadata-wrong-type": (
        lambda d: _with_meta(d, lambda m: m.update(n_red="3")),
        "structure",
        "'n_red' must be an integer",
    ),
    "tick-skip-zero": (
        lambda d: _with_meta(d, lambda m: m.update(tick_skip=0)),
        "structure",
        "'tick_skip' = 0 is outside 1 .. 65536",
    ),
    "too-many-players": (lambda d: _with_meta(d, lambda m: m.update(n_red=30)), "structure", "n_red + n_blue = 33"),
    "event-unknown": (
        lambda d: _with_meta(d, lambda m: m["events"].insert(0, {"kind": "teleport", "step": 0})),
        "structure",
        "unknown kind 'teleport'",
    ),
    "event-extra-key": (
        lambda d: _with_meta(d, lambda m: m["events"].insert(0, {"kind": "reset", "step": 0, "x": 1})),
        "structure",
        "exactly the keys",
    ),
    "event-out-of-order": (
        lambda d: _with_meta(
            d, lambda m: m.update(events=[{"kind": "reset", "step": 5}, {"kind": "reset", "step": 2}])
        ),
        "structure",
        "comes after an event at step 5",
    ),
    "event-past-the-end": (
        lambda d: _with_meta(d, lambda m: m["events"].append({"kind": "reset", "step": 10**6})),
        "structure",
        "'step' = 1000000 is outside",
    ),
    "event-mask-too-wide": (
        lambda d: _with_meta(d, lambda m: m["events"].insert(0, {"kind": "player_cmask", "step": 0, "mask": 2**63})),
        "structure",
        "'mask' = 9223372036854775808",
    ),
    "arrays-cut": (lambda d: _with_meta(d, lambda m: None, lambda a: a[:-16]), "structure", "end 16 bytes early"),
    "arrays-long": (
        lambda d: _with_meta(d, lambda m: None, lambda a: a + b"\0" * 8),
        "structure",
        "8 bytes follow the last array",
    ),
    "steps-miscounted": (
        lambda d: _with_meta(d, lambda m: m.update(n_steps=m["n_steps"] - 1)),
        "structure",
        "bytes follow the last array",
    ),
    "stadium-refused": (
        lambda d: _with_meta(d, lambda m: m.update(stadium="{")),
        "stadium",
        "the replay's stadium does not build: bad .zsm JSON",
    ),
}


@pytest.mark.parametrize("damage", DAMAGES.values(), ids=DAMAGES.keys())
def test_every_kind_of_damage_is_refused_with_its_own_message(classic_bytes: bytes, damage, tmp_path: Path) -> None:
    make, kind, message = damage
    path = tmp_path / "damaged.zrp"
    path.write_bytes(make(classic_bytes))
    with pytest.raises(ReplayError) as refused:
        load_replay(path)
    assert refused.value.kind == kind
    assert str(refused.value).startswith(f"{path}: ") and message in str(refused.value)


def test_the_damage_cases_are_built_on_a_file_that_reads(classic_bytes: bytes) -> None:
    assert _header(classic_bytes)[1] == 1
    assert verify(decode_replay(_with_meta(classic_bytes, lambda m: None))).ok


@pytest.mark.parametrize("seed", range(4))
def test_random_flips_and_cuts_are_always_refused(seed: int) -> None:
    rng = np.random.default_rng(seed)
    recordings = [encode_replay(make(rng).replay()) for make in (kickoff_start, settings_changes, no_steps)]
    kinds = set()
    for _ in range(250):
        data = bytearray(recordings[rng.integers(len(recordings))])
        if rng.random() < 0.5:
            for at in rng.choice(len(data), size=rng.integers(1, 4), replace=False):
                data[at] ^= int(rng.integers(1, 256))
        else:
            del data[rng.integers(0, len(data)) :]
        with pytest.raises(ReplayError) as refused:
            decode_replay(bytes(data))
        kinds.add(refused.value.kind)
    assert kinds <= {"header", "magic", "version", "length", "checksum"}


@pytest.mark.parametrize("seed", range(3))
def test_resealed_flips_of_the_body_never_get_past_the_checks_unnoticed(seed: int) -> None:
    """Flips inside the body, sealed again with a correct checksum: the parser
    refuses the file, or it reads and the re-simulation finds any change
    that matters; nothing else can happen (no other exception, no hang)."""
    rng = np.random.default_rng(seed)
    raw = _raw(encode_replay(resets_in_the_middle(rng).replay()))
    outcomes = set()
    for _ in range(120):
        damaged = bytearray(raw)
        for at in rng.choice(len(damaged), size=rng.integers(1, 3), replace=False):
            damaged[at] ^= int(rng.integers(1, 256))
        try:
            replay = decode_replay(_sealed(bytes(damaged)))
        except ReplayError as refused:
            outcomes.add(refused.kind)
            continue
        outcomes.add("verified" if verify(replay).ok else "diverged")
    assert outcomes <= {"structure", "stadium", "verified", "diverged"} and "structure" in outcomes


# ---------------------------------------------------------------- writing


def test_saving_replaces_the_file_whole_or_not_at_all(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    replay = no_steps(None).replay()
    path = save_replay(replay, tmp_path / "match.zrp")
    before = path.read_bytes()
    longer = kickoff_start(np.random.default_rng(0)).replay()

    def crash(descriptor: int) -> None:
        raise OSError("disk gone")

    monkeypatch.setattr(os, "fsync", crash)
    with pytest.raises(OSError, match="disk gone"):
        save_replay(longer, path)
    monkeypatch.undo()
    assert path.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["match.zrp"]
    save_replay(longer, path)
    assert verify(load_replay(path)).ok and oct(path.stat().st_mode & 0o777) != "0o600"


# ---------------------------------------------------------------- recording


def test_the_proxy_has_every_member_of_the_batch_and_behaves_like_it() -> None:
    public = {name for name in dir(zorbic_core.VecEnv) if not name.startswith("_")}
    assert public <= set(dir(RecordingVecEnv))
    rng = np.random.default_rng(4)
    twin, proxy = zorbic_core.VecEnv(3, 2, 2), RecordingVecEnv(3, 2, 2, record=1)
    for _ in range(30):
        actions = random_actions(rng, 3, 4)
        assert np.array_equal(twin.physics_step(actions), proxy.physics_step(actions))
    for a, b in zip(twin.snapshot(), proxy.snapshot()):
        assert np.array_equal(a, b)
    for name in ("teams", "wall_segments", "obstacle_discs"):
        assert np.array_equal(getattr(twin, name)(), getattr(proxy, name)())
    for a, b in zip(twin.kick_state() + twin.goals(), proxy.kick_state() + proxy.goals()):
        assert np.array_equal(a, b)
    assert np.array_equal(twin.predict_ball([1, 5]), proxy.predict_ball([1, 5]))
    assert (twin.n_envs, twin.n_players, twin.obs_dim, twin.player_max_speed) == (
        proxy.n_envs,
        proxy.n_players,
        proxy.obs_dim,
        proxy.player_max_speed,
    )


@pytest.mark.parametrize(
    "call",
    [
        lambda env: env.physics_step(np.zeros((2, 2, 3), np.float64)),
        lambda env: env.physics_step(np.zeros((3, 2, 3), np.int64)),
        lambda env: env.reset_mask(np.ones(3, bool)),
        lambda env: env.set_state(*[a[:1] for a in env.snapshot()[:4]]),
        lambda env: env.set_player_cmask(2**63),
        lambda env: env.set_kick_rate_limit(1.5, 0, 1),
        lambda env: env.rollout_bench(10),
    ],
)
def test_a_call_the_batch_refuses_leaves_the_recording_as_it_was(call) -> None:
    env = RecordingVecEnv(2, 1, 1)
    play(env, 5, np.random.default_rng(0))
    before = env.replay()
    with pytest.raises((TypeError, ValueError, OverflowError, RuntimeError)):
        call(env)
    after = env.replay()
    assert after.events == before.events and np.array_equal(after.actions, before.actions)
    assert verify(after).ok


def test_a_batch_recorder_starts_at_the_matchs_next_reset() -> None:
    import gymnasium

    import zorbic

    env = gymnasium.make_vec(zorbic.ENV_ID, num_envs=3, reset_rule="random", sync_episodes=True, max_steps=40)
    observer = BatchRecorder.attach(env.unwrapped.batch if hasattr(env.unwrapped, "batch") else env.batch, 2)
    assert not observer.recorder.started
    env.reset(seed=3)
    env.action_space.seed(3)
    for _ in range(100):
        env.step(env.action_space.sample())
    env.close()
    replay = observer.recorder.replay()
    kinds = [type(e).__name__ for e in replay.events]
    assert kinds[:2] == ["Reset", "SetState"] and kinds.count("Reset") >= 2
    assert replay.n_steps == 100 and verify(replay).ok


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (
            lambda r: r.step(np.zeros((2, 3), np.int64), (0, 0), (0, 0), np.zeros((2, 2)), np.zeros((2, 2)), 1),
            RuntimeError,
            "has not started",
        ),
        (
            lambda r: (
                r.reset(),
                r.step(np.zeros((3, 3), np.int64), (0, 0), (0, 0), np.zeros((2, 2)), np.zeros((2, 2)), 1),
            ),
            ValueError,
            r"shape \(2, 3\)",
        ),
        (
            lambda r: (r.reset(), r.step(np.zeros((2, 3)), (0, 0), (0, 0), np.zeros((2, 2)), np.zeros((2, 2)), 1)),
            ValueError,
            "integers",
        ),
        (
            lambda r: (r.reset(), r.set_state((0, 0, 0), (0, 0), np.zeros((2, 2)), np.zeros((2, 2)))),
            ValueError,
            "ball_pos must have shape",
        ),
        (lambda r: Recorder(classic_text(), 1, 1, 10**6), ValueError, "more than a replay allows"),
        (lambda r: Recorder("{", 1, 1, 8), ValueError, "bad .zsm JSON"),
    ],
)
def test_the_recorder_refuses_what_it_cannot_replay(call, error, message: str) -> None:
    with pytest.raises(error, match=message):
        call(Recorder(classic_text(), 1, 1, 8))
