"""Re-simulating a replay: its frames, and checking it step by step.

The match is played again in a one-match batch built from the replay's
stadium, with the recorded tick_skip, applying each event before the step
it precedes. After every step the state's digest is compared with the
recorded one; the first difference stops the run, so nothing downstream
(a video, the viewer) ever shows a match that is not the recorded one.
"""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

import zorbic_core
from zorbic.engine.match_flow import MatchFlow
from zorbic.replays.format import (
    KickRateLimit,
    PlayerCmask,
    Replay,
    ReplayError,
    Reset,
    SetState,
    state_digest,
)


@dataclass(frozen=True)
class Frame:
    """The match after `index` steps (0: its start, after the events before step 0)."""

    index: int
    ball_pos: npt.NDArray[np.float64]  # (2,)
    ball_vel: npt.NDArray[np.float64]
    player_pos: npt.NDArray[np.float64]  # (P, 2)
    player_vel: npt.NDArray[np.float64]
    ticks: int
    score: tuple[int, int]
    phase: int


@dataclass(frozen=True)
class Verdict:
    """The outcome of a verification: whether every step matched, and a line that says so."""

    ok: bool
    steps_checked: int  # the steps whose digests matched
    message: str


class Divergence(ReplayError):
    """The re-simulated match left the recorded one at `step` (counted from 1)."""

    def __init__(self, step: int) -> None:
        super().__init__(
            "diverged",
            f"step {step} differs: the re-simulated state after it does not match the recorded digest",
        )
        self.step = step


def _apply(env: zorbic_core.VecEnv, flow: MatchFlow, event: object) -> None:
    if isinstance(event, Reset):
        env.reset_all()
        flow.reset(np.ones(1, bool))
    elif isinstance(event, SetState):
        env.set_state(
            event.ball_pos[None].copy(),
            event.ball_vel[None].copy(),
            event.player_pos[None].copy(),
            event.player_vel[None].copy(),
            np.array([event.steps], np.int64),
        )
        flow.set_state()
    elif isinstance(event, KickRateLimit):
        env.set_kick_rate_limit(event.min, event.cost, event.cap)
    elif isinstance(event, PlayerCmask):
        env.set_player_cmask(event.mask)


def _frame(index: int, env: zorbic_core.VecEnv, flow: MatchFlow) -> Frame:
    ball_pos, ball_vel, player_pos, player_vel, ticks = env.snapshot()
    return Frame(
        index,
        ball_pos[0],
        ball_vel[0],
        player_pos[0],
        player_vel[0],
        int(ticks[0]),
        (int(flow.red_score[0]), int(flow.blue_score[0])),
        int(flow.phase[0]),
    )


def frames(replay: Replay) -> Iterator[Frame]:
    """The match's start and its state after every step: n_steps + 1 frames.

    Raises `Divergence` at the first step whose digest differs.
    """
    env = zorbic_core.VecEnv.from_zsm(replay.stadium, 1, replay.n_red, replay.n_blue, tick_skip=replay.tick_skip)
    flow = MatchFlow(1)
    events = iter(replay.events)
    pending = next(events, None)

    def apply_until(step: int) -> None:
        nonlocal pending
        while pending is not None and pending.step <= step:
            _apply(env, flow, pending)
            pending = next(events, None)

    apply_until(0)
    frame = _frame(0, env, flow)
    yield frame
    for index in range(replay.n_steps):
        if index > 0:
            apply_until(index)
            frame = _frame(index, env, flow)
        before = frame.ticks
        scored = env.physics_step(replay.actions[index][None])
        ball_pos, ball_vel, player_pos, player_vel, ticks = env.snapshot()
        if (
            state_digest(ball_pos[0], ball_vel[0], player_pos[0], player_vel[0], int(ticks[0]))
            != replay.digests[index].tobytes()
        ):
            raise Divergence(index + 1)
        flow.step(scored, ball_vel, ticks - before)
        frame = _frame(index + 1, env, flow)
        yield frame


def verify(replay: Replay) -> Verdict:
    """Re-simulate every step: "verified N steps", or the first step that differs."""
    checked = 0
    try:
        for frame in frames(replay):
            checked = frame.index
    except Divergence as divergence:
        return Verdict(False, divergence.step - 1, str(divergence))
    return Verdict(True, checked, f"verified {checked} steps")
