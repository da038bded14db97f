"""One live match: a person's player stepped every tick, the others driven by
agents or scripted opponents that decide every `tick_skip` ticks.

The match runs in a one-match batch with tick_skip 1, so the person's input
reaches the physics on every tick, and it is recorded tick by tick: the
replay (tick_skip 1) re-simulates exactly. Each computer driver sees the
match only every `decide_every` ticks, as in its training, and its actions
are held in between; a goal ends a training step early, so after a goal
every driver decides again on the next tick.
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from zorbic.core.state import BatchState, Field, read_state
from zorbic.engine.match_flow import GOAL_SCORED, TICKS_PER_SECOND, MatchFlow
from zorbic.engine.stadium import read_stadium
from zorbic.parts.opponents import Opponent
from zorbic.replays.format import Replay
from zorbic.replays.recording import RecordingVecEnv


@dataclass
class Driver:
    """A computer driver of some player slots, deciding every `decide_every` ticks."""

    opponent: Opponent
    slots: np.ndarray
    decide_every: int
    label: str
    wait: int = 0  # ticks until its next decision


@dataclass(frozen=True)
class Keys:
    """The person's input: the arrow directions held and the kick."""

    up: bool = False
    down: bool = False
    left: bool = False
    right: bool = False
    kick: bool = False

    def action(self) -> tuple[int, int, int]:
        # The engine's y axis points up the screen. A held kick is the
        # engine's held input (1): it kicks once per press.
        return (int(self.right) - int(self.left), int(self.up) - int(self.down), int(self.kick))


class LiveMatch:
    """The match a person plays; `tick()` advances it by one physics tick."""

    def __init__(
        self, stadium: str, n_red: int, n_blue: int, person: int, lineup: Callable[[Field], list[Driver]]
    ) -> None:
        """`lineup` gives the drivers of every slot but `person`'s, for the match's field."""
        self.env = RecordingVecEnv.from_zsm(stadium, 1, n_red, n_blue, tick_skip=1)
        self.stadium = read_stadium(stadium)
        self.field = Field.of(self.env.env, self.stadium, n_red, n_blue)
        if not 0 <= person < self.field.n_players:
            raise ValueError(f"the person's slot must be in 0 .. {self.field.n_players - 1}, not {person}")
        drivers = lineup(self.field)
        taken = np.concatenate([d.slots for d in drivers] + [np.array([person])])
        if sorted(taken.tolist()) != list(range(self.field.n_players)):
            raise ValueError("every player slot but the person's must have exactly one driver")
        self.person, self.drivers = person, drivers
        self.flow = MatchFlow(1)
        self.keys = Keys()
        # A kick pressed and let go between two ticks still counts for one.
        self._kick_pressed = False
        self._actions = np.zeros((1, self.field.n_players, 3), np.int64)
        self._decisions = np.zeros(1, np.int64)
        self._scored = np.full(1, -1, np.int8)
        self._playing_on = np.zeros(1, bool)
        self.state = self._read()
        self._start_drivers()

    def _read(self) -> BatchState:
        return read_state(self.env.env, self._decisions, self._scored, self._playing_on)

    def _start_drivers(self) -> None:
        everyone = np.ones(1, bool)
        for driver in self.drivers:
            driver.opponent.reset(self.state, self.field, driver.slots, everyone)
            driver.wait = 0

    def press(self, keys: Keys) -> None:
        """The keys the person holds from now on."""
        self._kick_pressed |= keys.kick
        self.keys = keys

    def tick(self) -> int:
        """One physics tick; returns the side that conceded in it, or -1."""
        decided = False
        for driver in self.drivers:
            if driver.wait <= 0:
                self._actions[:, driver.slots] = driver.opponent.act(self.state, self.field, driver.slots)
                driver.wait = driver.decide_every
                decided = True
            driver.wait -= 1
        self._decisions += decided
        dx, dy, kick = self.keys.action()
        self._actions[0, self.person] = (dx, dy, max(kick, int(self._kick_pressed)))
        self._kick_pressed = False
        self._scored[:] = self.env.physics_step(self._actions)
        self.state = self._read()
        self.flow.step(self._scored, self.state.ball_vel, np.ones(1, np.int64))
        if self._scored[0] != -1:
            for driver in self.drivers:
                driver.wait = 0
        return int(self._scored[0])

    def restart(self) -> None:
        """A fresh match at 0 : 0; the recording goes on after a kickoff reset."""
        self.env.reset_all()
        self.flow.reset(np.ones(1, bool))
        self._actions[:] = 0
        self._decisions[:] = 0
        self._scored[:] = -1
        self.keys, self._kick_pressed = Keys(), False
        self.state = self._read()
        self._start_drivers()

    def place(self, ball_pos: Any, ball_vel: Any, player_pos: Any, player_vel: Any) -> None:
        """Put the bodies where given (engine frame): the match is then in play, as after any written state."""
        ball, ball_speed, players, player_speed = (
            np.array(a, np.float64)[None] for a in (ball_pos, ball_vel, player_pos, player_vel)
        )
        self.env.set_state(ball, ball_speed, players, player_speed, self.state.ticks.copy())
        self.flow.set_state()
        self.state = self._read()

    def replay(self) -> Replay:
        return self.env.replay()

    def save(self, path: str | os.PathLike[str]) -> Path:
        return self.env.save(path)

    @property
    def recorded_ticks(self) -> int:
        return self.env.recorder.n_steps

    def view(self) -> dict[str, Any]:
        """The state the page draws, as JSON-ready values."""
        countdown = int(self.flow.goal_timer[0]) if self.flow.phase[0] == GOAL_SCORED else 0
        return {
            "kind": "state",
            "tick": int(self.state.ticks[0]),
            "ball": _finite(self.state.ball_pos[0]),
            "players": _finite(self.state.player_pos[0]),
            "red": int(self.flow.red_score[0]),
            "blue": int(self.flow.blue_score[0]),
            "phase": int(self.flow.phase[0]),
            "countdown": countdown / TICKS_PER_SECOND,
            "recorded": self.recorded_ticks,
        }


def _finite(values: np.ndarray) -> list[float | None]:
    """JSON has no NaN: a position that is not a finite number becomes null (and is not drawn)."""
    return [float(v) if math.isfinite(v) else None for v in values.reshape(-1)]
