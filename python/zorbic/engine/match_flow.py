"""The phase and the score of matches, followed from what the core lets us see.

The core keeps each match's phase, score and kicking-off side to itself. They
follow from observable facts, with the rules the engine runs at the end of
every tick:

- a reset starts a kickoff at 0 : 0, red kicking off; `set_state` puts the
  match in play and keeps its score;
- a kickoff turns into play at the end of the first tick after which the
  ball moves (its velocity is not exactly zero);
- a goal is what `physics_step` reports: the conceding side kicks off next,
  the other side scores, and the engine's after-goal countdown follows
  (`GOAL_COUNTDOWN` ticks), at the end of
  which the bodies stand at their kickoff places again.

Fed one tick at a time the tracker is exact. Fed whole steps of several
ticks it can only see the state at the end of the step: a countdown that
ends inside a step is placed at the right tick (the tick count is known),
but a kickoff ball that moved in that step's remaining ticks and stopped
again would be missed. That never matters for showing a match.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from zorbic import _engine
from zorbic_core import FLAG_RED

# The engine's tick has no time step: this is how fast a match is meant to
# be played, and watched.
TICKS_PER_SECOND = 60
KICKOFF, PLAYING, GOAL_SCORED = 0, 1, 2
PHASE_NAMES = ("kickoff", "playing", "goal")
GOAL_COUNTDOWN: int = _engine.GOAL_COUNTDOWN


def phase_name(phase: int | str) -> str:
    """The display name of a phase given as its number or its name."""
    if isinstance(phase, str):
        if phase not in PHASE_NAMES:
            raise ValueError(f"phase must be one of {PHASE_NAMES}, not {phase!r}")
        return phase
    if phase not in (KICKOFF, PLAYING, GOAL_SCORED):
        raise ValueError(f"phase must be 0 (kickoff), 1 (playing) or 2 (goal), not {phase!r}")
    return PHASE_NAMES[phase]


class MatchFlow:
    """Phase, score and countdown of M matches, vectorised over the matches."""

    def __init__(self, n_matches: int) -> None:
        self.phase = np.full(n_matches, KICKOFF, np.int8)
        self.red_score = np.zeros(n_matches, np.int64)
        self.blue_score = np.zeros(n_matches, np.int64)
        self.goal_timer = np.zeros(n_matches, np.int64)

    def reset(self, which: npt.NDArray[np.bool_]) -> None:
        """A kickoff reset (`reset_all` / `reset_mask`) of the selected matches."""
        self.phase[which] = KICKOFF
        self.red_score[which] = 0
        self.blue_score[which] = 0
        self.goal_timer[which] = 0

    def set_state(self) -> None:
        """`set_state` writes every match of a batch and puts all of them in play."""
        self.phase[:] = PLAYING

    def step(
        self,
        scored: npt.NDArray[np.int8],
        ball_vel: npt.NDArray[np.float64],
        ticks: npt.NDArray[np.int64],
    ) -> None:
        """Follow one `physics_step`: its result, the ball's velocity after it,
        and how many ticks each match ran (the growth of its tick counter)."""
        moving = (ball_vel * ball_vel).sum(axis=1) > 0.0
        goal = scored != -1

        # The countdown ends `goal_timer` ticks into the step and a kickoff
        # runs for the ticks left; the reset stops the ball, so a ball that
        # moves at the end of the step was set going in those ticks.
        counting = self.phase == GOAL_SCORED
        self.goal_timer[counting] -= ticks[counting]
        reset = counting & (self.goal_timer <= 0)
        self.phase[reset] = KICKOFF
        self.goal_timer[reset] = 0
        self.phase[(self.phase == KICKOFF) & moving] = PLAYING

        # Only a match in play scores; the side that concedes kicks off next.
        self.blue_score[goal & (scored == FLAG_RED)] += 1
        self.red_score[goal & (scored != FLAG_RED)] += 1
        self.phase[goal] = GOAL_SCORED
        self.goal_timer[goal] = GOAL_COUNTDOWN
