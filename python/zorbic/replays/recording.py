"""Recording one match of a batch into a replay.

`Recorder` is fed events as they happen to the match: kickoff resets,
`set_state` writes, kick-rate-limit and player-mask changes, and after
every step the match's actions and its state. `BatchRecorder` feeds it from
the observer hooks of a training batch, and `RecordingVecEnv` from plain
`zorbic_core` use: it stands in for a `VecEnv` (which cannot be subclassed),
forwards every member and records the match at one index.

A replay must start from a state the re-simulation can build. A batch just
built is one; so is a kickoff reset, which also sets every player mask to
the normal one. A recorder that joins a batch already running therefore
starts at the match's next reset: `set_state` alone would not do, since it
keeps player masks the recorder cannot read. The kick rate limit survives
resets, so the recorder is told the one in force when it joins.
"""

from __future__ import annotations

import operator
import os
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

import zorbic_core
from zorbic.engine.stadium import stadium_text
from zorbic.replays.format import (
    DEFAULT_KICK_RATE_LIMIT,
    DIGEST_SIZE,
    MAX_TICK_SKIP,
    Event,
    KickRateLimit,
    PlayerCmask,
    Replay,
    Reset,
    SetState,
    save_replay,
    state_digest,
)


def _array(value: npt.ArrayLike, shape: tuple[int, ...], name: str) -> npt.NDArray[np.float64]:
    array = np.array(value, np.float64)
    if array.shape != shape:
        raise ValueError(f"{name} must have shape {shape}, not {array.shape}")
    return array


class Recorder:
    """Collects one match's events and steps; `replay()` and `save()` give the file."""

    def __init__(
        self,
        stadium: str,
        n_red: int,
        n_blue: int,
        tick_skip: int,
        *,
        fresh: bool = False,
        kick_rate_limit: tuple[int, int, int] = DEFAULT_KICK_RATE_LIMIT,
    ) -> None:
        """`fresh`: the match is as its batch was built, and the recording starts
        now; otherwise it starts at the match's next `reset()`."""
        # A 0 given to the core is stored as 1.
        tick_skip = max(operator.index(tick_skip), 1)
        if tick_skip > MAX_TICK_SKIP:
            raise ValueError(f"tick_skip {tick_skip} is more than a replay allows ({MAX_TICK_SKIP})")
        zorbic_core.VecEnv.from_zsm(stadium, 1, n_red, n_blue, tick_skip=tick_skip)
        self.stadium, self.n_red, self.n_blue, self.tick_skip = stadium, int(n_red), int(n_blue), tick_skip
        self.n_players = self.n_red + self.n_blue
        self._limit = tuple(operator.index(v) for v in kick_rate_limit)
        self._events: list[Event] = []
        self._actions: list[npt.NDArray[np.int64]] = []
        self._digests: list[bytes] = []
        self.started = False
        if fresh:
            self._start()

    @property
    def n_steps(self) -> int:
        return len(self._actions)

    def _start(self) -> None:
        self.started = True
        if self._limit != DEFAULT_KICK_RATE_LIMIT:
            self._events.append(KickRateLimit(0, *self._limit))

    def _require_start(self, what: str) -> None:
        if not self.started:
            raise RuntimeError(f"{what}: the recording has not started; it starts at the match's next reset")

    def reset(self) -> None:
        """A kickoff reset of the match."""
        if not self.started:
            self._start()
        self._events.append(Reset(self.n_steps))

    def set_state(
        self,
        ball_pos: npt.ArrayLike,
        ball_vel: npt.ArrayLike,
        player_pos: npt.ArrayLike,
        player_vel: npt.ArrayLike,
        steps: int = 0,
    ) -> None:
        """A `set_state` of the batch, with this match's rows (it writes every match)."""
        self._require_start("set_state")
        p = self.n_players
        self._events.append(
            SetState(
                self.n_steps,
                _array(ball_pos, (2,), "ball_pos"),
                _array(ball_vel, (2,), "ball_vel"),
                _array(player_pos, (p, 2), "player_pos"),
                _array(player_vel, (p, 2), "player_vel"),
                int(np.int64(steps)),
            )
        )

    def set_kick_rate_limit(self, min: int, cost: int, cap: int) -> None:
        limit = tuple(int(np.int64(operator.index(v))) for v in (min, cost, cap))
        self._limit = limit
        if self.started:
            self._events.append(KickRateLimit(self.n_steps, *limit))

    def set_player_cmask(self, mask: int) -> None:
        """A player mask change; before the start it is moot, as the reset that
        starts the recording sets every mask."""
        mask = int(np.int64(operator.index(mask)))
        if self.started:
            self._events.append(PlayerCmask(self.n_steps, mask))

    def step(
        self,
        actions: npt.ArrayLike,
        ball_pos: npt.ArrayLike,
        ball_vel: npt.ArrayLike,
        player_pos: npt.ArrayLike,
        player_vel: npt.ArrayLike,
        steps: int,
    ) -> None:
        """One `physics_step`: the match's (P, 3) engine actions and its state after it."""
        self._require_start("step")
        actions = np.asarray(actions)
        if actions.shape != (self.n_players, 3) or not np.issubdtype(actions.dtype, np.integer):
            raise ValueError(
                f"actions must be integers of shape ({self.n_players}, 3), not {actions.dtype} {actions.shape}"
            )
        p = self.n_players
        digest = state_digest(
            _array(ball_pos, (2,), "ball_pos"),
            _array(ball_vel, (2,), "ball_vel"),
            _array(player_pos, (p, 2), "player_pos"),
            _array(player_vel, (p, 2), "player_vel"),
            int(np.int64(steps)),
        )
        self._actions.append(actions.astype(np.int64))
        self._digests.append(digest)

    def replay(self) -> Replay:
        self._require_start("replay")
        p = self.n_players
        actions = np.array(self._actions, np.int64).reshape(self.n_steps, p, 3)
        digests = np.frombuffer(b"".join(self._digests), np.uint8).reshape(self.n_steps, DIGEST_SIZE).copy()
        return Replay(self.stadium, self.n_red, self.n_blue, self.tick_skip, tuple(self._events), actions, digests)

    def save(self, path: str | os.PathLike[str]) -> Path:
        return save_replay(self.replay(), path)


class BatchRecorder:
    """A `SoccerBatch` observer that records the match at `index` of the batch.

    It starts at the match's next restart (a face's reset), and reads the
    state after each step from `batch.state`.
    """

    def __init__(self, recorder: Recorder, index: int) -> None:
        self.recorder, self.index = recorder, operator.index(index)

    @classmethod
    def attach(cls, batch: Any, index: int = 0) -> BatchRecorder:
        """Record match `index` of `batch` from its next restart on."""
        if not 0 <= operator.index(index) < batch.n_matches:
            raise ValueError(f"index must be a match of the batch, 0 .. {batch.n_matches - 1}, not {index}")
        setup = batch.setup
        observer = cls(Recorder(batch.stadium.text, setup.n_red, setup.n_blue, setup.tick_skip), index)
        batch.add_observer(observer)
        return observer

    def on_reset(self, batch: Any, which: npt.NDArray[np.bool_], start: Sequence[np.ndarray] | None) -> None:
        """Matches restarted: `which` were reset; `start`, when given, holds the
        arrays then written with `set_state`, which touches every match."""
        if which[self.index]:
            self.recorder.reset()
        if start is not None and self.recorder.started:
            ball_pos, ball_vel, player_pos, player_vel, *steps = start
            ticks = steps[0][self.index] if steps and steps[0] is not None else 0
            k = self.index
            self.recorder.set_state(ball_pos[k], ball_vel[k], player_pos[k], player_vel[k], int(ticks))

    def on_step(self, batch: Any, actions: npt.NDArray[np.int64], scored: npt.NDArray[np.int8]) -> None:
        if self.recorder.started:
            state, k = batch.state, self.index
            self.recorder.step(
                actions[k],
                state.ball_pos[k],
                state.ball_vel[k],
                state.player_pos[k],
                state.player_vel[k],
                int(state.ticks[k]),
            )


def record(env: Any, index: int = 0) -> BatchRecorder:
    """Record match `index` of a training face (or wrapper) or batch, from its next reset on.

    The match is written with `observer.recorder.save(path)` at any time.
    """
    batch = getattr(getattr(env, "unwrapped", env), "batch", env)
    return BatchRecorder.attach(batch, index)


class RecordingVecEnv:
    """A `zorbic_core.VecEnv` that records the match at index `record`.

    Built like a `VecEnv` (with `stadium=` for any stadium, or `from_zsm`),
    it forwards every member to the batch it holds (`env`) and records from
    the batch's construction on. `rollout_bench` is refused: its ticks ignore
    goals and cannot be told apart as steps, so no replay could hold them.
    """

    def __init__(
        self,
        n_envs: int,
        n_red: int,
        n_blue: int,
        step_limit: int = 2400,
        tick_skip: int = 8,
        *,
        stadium: str | os.PathLike[str] | None = None,
        record: int = 0,
    ) -> None:
        text = stadium_text(stadium)
        self.env = zorbic_core.VecEnv.from_zsm(text, n_envs, n_red, n_blue, step_limit, tick_skip)
        record = operator.index(record)
        if not 0 <= record < self.env.n_envs:
            raise ValueError(f"record must be an env index in 0 .. {self.env.n_envs - 1}, not {record}")
        self.record_index = record
        self.recorder = Recorder(text, n_red, n_blue, tick_skip, fresh=True)

    @classmethod
    def from_zsm(
        cls,
        zsm: str,
        n_envs: int,
        n_red: int,
        n_blue: int,
        step_limit: int = 2400,
        tick_skip: int = 8,
        *,
        record: int = 0,
    ) -> RecordingVecEnv:
        if not isinstance(zsm, str):
            raise TypeError(f"zsm must be stadium text (str), not {type(zsm).__name__}")
        return cls(n_envs, n_red, n_blue, step_limit, tick_skip, stadium=zsm, record=record)

    def replay(self) -> Replay:
        return self.recorder.replay()

    def save(self, path: str | os.PathLike[str]) -> Path:
        return self.recorder.save(path)

    # The recorded members: each is done on the batch first, so a call the
    # batch refuses leaves the recording as it was too.

    def physics_step(self, actions: npt.NDArray[np.int64]) -> npt.NDArray[np.int8]:
        scored = self.env.physics_step(actions)
        ball_pos, ball_vel, player_pos, player_vel, steps = self.env.snapshot()
        k = self.record_index
        self.recorder.step(actions[k], ball_pos[k], ball_vel[k], player_pos[k], player_vel[k], int(steps[k]))
        return scored

    def reset_all(self) -> None:
        self.env.reset_all()
        self.recorder.reset()

    def reset_mask(self, mask: npt.NDArray[np.bool_]) -> None:
        self.env.reset_mask(mask)
        if mask[self.record_index]:
            self.recorder.reset()

    def set_state(
        self,
        ball_pos: npt.NDArray[np.float64],
        ball_vel: npt.NDArray[np.float64],
        player_pos: npt.NDArray[np.float64],
        player_vel: npt.NDArray[np.float64],
        steps: npt.NDArray[np.int64] | None = None,
    ) -> None:
        self.env.set_state(ball_pos, ball_vel, player_pos, player_vel, steps)
        k = self.record_index
        ticks = 0 if steps is None else int(steps[k])
        self.recorder.set_state(ball_pos[k], ball_vel[k], player_pos[k], player_vel[k], ticks)

    def set_kick_rate_limit(self, min: int, cost: int, cap: int) -> None:
        self.env.set_kick_rate_limit(min, cost, cap)
        self.recorder.set_kick_rate_limit(min, cost, cap)

    def set_player_cmask(self, mask: int) -> None:
        self.env.set_player_cmask(mask)
        self.recorder.set_player_cmask(mask)

    def rollout_bench(self, n_steps: int) -> int:
        raise RuntimeError("rollout_bench cannot be recorded (its ticks ignore goals); call it on the VecEnv itself")

    # The members that change nothing.

    @property
    def n_envs(self) -> int:
        return self.env.n_envs

    @property
    def n_players(self) -> int:
        return self.env.n_players

    @property
    def obs_dim(self) -> int:
        return self.env.obs_dim

    @property
    def player_max_speed(self) -> float:
        return self.env.player_max_speed

    def snapshot(self) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        return self.env.snapshot()

    def kick_state(self) -> tuple[np.ndarray, np.ndarray]:
        return self.env.kick_state()

    def teams(self) -> np.ndarray:
        return self.env.teams()

    def goals(self) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        return self.env.goals()

    def wall_segments(self) -> np.ndarray:
        return self.env.wall_segments()

    def obstacle_discs(self) -> np.ndarray:
        return self.env.obstacle_discs()

    def predict_ball(self, offsets: Sequence[int] | np.ndarray) -> np.ndarray:
        return self.env.predict_ball(offsets)
