"""What drives the player slots that do not learn.

An opponent returns engine actions (dx, dy, kick) for a set of slots of
every match at once, in the engine frame; nothing here loops over matches or
players.
"""

from __future__ import annotations

import os
from abc import ABC, abstractmethod
from collections.abc import Callable
from typing import Any

import numpy as np

from zorbic import _engine, _fast
from zorbic.core.state import BatchState, Field
from zorbic.parts.actions import KICK, ActionParser, DiscreteActions
from zorbic.parts.observations import EgocentricObservation, ObservationBuilder

# Surfaces closer than this can be kicked.
KICK_REACH: float = _engine.KICK_REACH
# sin(22.5 degrees): a component below it is "no input" on that axis, which
# splits the circle into the eight keyboard directions and standing still.
_EIGHT_WAY = 0.3826834323650898


class Opponent(ABC):
    """Base of every opponent: `act` is required, the rest optional."""

    def seed(self, rng: np.random.Generator) -> None:
        """Take the generator this opponent draws from until the next seed."""

    def reset(self, state: BatchState, field: Field, slots: np.ndarray, which: np.ndarray) -> None:
        """Matches `which` (M,) restarted; `state` is the state they start from."""

    @abstractmethod
    def act(self, state: BatchState, field: Field, slots: np.ndarray) -> np.ndarray:
        """Engine actions for `slots` of every match, int64 (M, len(slots), 3)."""


class IdleOpponent(Opponent):
    """Stands still and never kicks."""

    def act(self, state: BatchState, field: Field, slots: np.ndarray) -> np.ndarray:
        return np.zeros((state.n_matches, len(slots), 3), np.int64)


class RandomOpponent(Opponent):
    """A seeded uniform choice among the nine directions, kicking or not."""

    def __init__(self) -> None:
        self.rng = np.random.default_rng()

    def seed(self, rng: np.random.Generator) -> None:
        self.rng = rng

    def act(self, state: BatchState, field: Field, slots: np.ndarray) -> np.ndarray:
        actions = self.rng.integers(-1, 2, size=(state.n_matches, len(slots), 3), dtype=np.int64)
        actions[..., 2] = (actions[..., 2] != 0) * KICK
        return actions


def eight_way(direction: np.ndarray, out: np.ndarray) -> None:
    """The keyboard direction (-1, 0 or 1 per axis) nearest each complex vector, into out (..., 2+)."""
    eight_way_xy(direction.real, direction.imag, out)


def eight_way_xy(dx: np.ndarray, dy: np.ndarray, out: np.ndarray) -> None:
    """The keyboard direction (-1, 0 or 1 per axis) nearest each vector (dx, dy), into out (..., 2+)."""
    # hypot rather than a complex magnitude, which NumPy's vector loops round
    # differently from one processor to another.
    limit = _EIGHT_WAY * np.hypot(dx, dy)
    # A zero vector gives (0, 0): neither comparison holds at limit 0.
    out[..., 0] = (dx > limit).view(np.int8) - (dx < -limit).view(np.int8)
    out[..., 1] = (dy > limit).view(np.int8) - (dy < -limit).view(np.int8)


class ChaserOpponent(Opponent):
    """Runs to the point behind the ball on the line to the goal it attacks,
    then runs through the ball, kicking when it is in reach.

    A player on the goal side of the ball steps round it instead of pushing
    it towards its own goal. It moves in the eight keyboard directions, like
    the default discrete action table.
    """

    # The compiled loop (zorbic._fast) does the arithmetic of `reference`
    # operation for operation; False takes the NumPy version.
    fast = True

    def act(self, state: BatchState, field: Field, slots: np.ndarray) -> np.ndarray:
        if not self.fast:
            return self.reference(state, field, slots)
        actions = np.empty((state.n_matches, len(slots), 3), np.int64)
        self.act_into(state, field, slots, actions, 0)
        return actions

    def act_into(self, state: BatchState, field: Field, slots: np.ndarray, out: np.ndarray, first: int) -> None:
        """`act` written straight into the engine actions `out` (M, P, 3), columns first .. first + len(slots) - 1."""
        _fast.chaser(
            state.ball_pos,
            state.player_pos,
            np.asarray(slots, np.intp),
            field.attack,
            _touch(field),
            KICK_REACH,
            KICK,
            out,
            first,
        )

    def reference(self, state: BatchState, field: Field, slots: np.ndarray) -> np.ndarray:
        """`act` in NumPy, one IEEE operation per step of the formula (no fused or complex arithmetic,
        whose rounding depends on the processor)."""
        touch = _touch(field)
        bx, by = state.ball_pos[:, 0:1], state.ball_pos[:, 1:2]  # (M, 1)
        me = state.player_pos[:, slots]  # (M, k, 2)
        mx, my = me[..., 0], me[..., 1]
        ax = field.attack[slots, 0] - bx
        ay = field.attack[slots, 1] - by
        length = np.hypot(ax, ay)
        length = np.where(length > 0, length, 1.0)
        ax = ax / length
        ay = ay / length
        tx, ty = bx - mx, by - my
        # In the frame of the line from the ball to the goal: how far the player
        # is behind the ball (along) and beside the line, signed by side (across).
        along = tx * ax + ty * ay
        across = ty * ax - tx * ay
        off_line = np.abs(across)
        lined_up = (along > 0) & (off_line < 0.5 * touch)
        # Through the ball when lined up, else to the point behind it; from the
        # goal side of the ball, by way of a point beside it: the target is
        # the ball plus w along the line and s across it.
        beside = (along < 0.5 * touch) & (off_line < touch) & ~lined_up
        w = np.where(lined_up, touch, -touch)
        s = np.where(across < 0, -1.5 * touch, 1.5 * touch) * beside
        dx = (bx + (ax * w + ay * s)) - mx
        dy = (by + (ay * w - ax * s)) - my

        actions = np.zeros(me.shape[:2] + (3,), np.int64)
        eight_way_xy(dx, dy, actions)
        actions[..., 2] = (lined_up & (np.hypot(tx, ty) - touch < KICK_REACH)) * KICK
        return actions


def _touch(field: Field) -> float:
    """How far apart the ball's and a player's centres are when they touch."""
    return float(field.stadium.ball_radius + field.stadium.player.radius)


class PolicyOpponent(Opponent):
    """A frozen policy: observations of its slots in, actions of the action space out.

    `policy` is a callable from an observation batch (B, D) to actions, or an
    object with a `predict(obs, deterministic=True)` method that returns
    `(actions, state)`, as trained models do. It sees its slots as a learner
    of the same batch would: through the batch's observation builder and
    action parser, mirrored on the blue side.
    """

    def __init__(
        self, policy: Callable[[np.ndarray], Any] | Any, obs_builder: ObservationBuilder, action_parser: ActionParser
    ) -> None:
        if not callable(policy) and not callable(getattr(policy, "predict", None)):
            raise TypeError("an opponent policy must be callable or have a predict(obs, deterministic=True) method")
        if not isinstance(obs_builder, ObservationBuilder):
            raise TypeError(f"obs_builder must be an ObservationBuilder, not {type(obs_builder).__name__}")
        if not isinstance(action_parser, ActionParser):
            raise TypeError(f"action_parser must be an ActionParser, not {type(action_parser).__name__}")
        self.policy = policy
        self.obs_builder = obs_builder
        self.action_parser = action_parser

    def reset(self, state: BatchState, field: Field, slots: np.ndarray, which: np.ndarray) -> None:
        self.obs_builder.reset(state, field, slots, which)

    def act(self, state: BatchState, field: Field, slots: np.ndarray) -> np.ndarray:
        obs = self.obs_builder.build(state, field, slots)
        flat = obs.reshape(-1, obs.shape[-1])
        predict = getattr(self.policy, "predict", None)
        chosen = predict(flat, deterministic=True)[0] if callable(predict) else self.policy(flat)
        mirror = np.broadcast_to(field.mirror[slots], (state.n_matches, len(slots))).reshape(-1)
        engine = self.action_parser.to_engine(self.action_parser.check(chosen, len(flat)), mirror)
        return engine.reshape(state.n_matches, len(slots), 3)


BUILT_IN: dict[str, Callable[[], Opponent]] = {"idle": IdleOpponent, "random": RandomOpponent, "chaser": ChaserOpponent}


def make_opponent(
    choice: str | os.PathLike[str] | Opponent | Callable[[np.ndarray], Any] | Any,
    obs_builder: ObservationBuilder | None = None,
    action_parser: ActionParser | None = None,
    *,
    trust_pickle: bool = False,
) -> Opponent:
    """An opponent from a built-in name, an Opponent, a frozen policy, or the path of an agent file.

    A policy sees the given observation builder and action parser, by default
    the built-in egocentric observation and discrete action table; an agent
    file's policy sees the match as it learned to. A stable-baselines3 model
    file is read only with `trust_pickle`: reading one runs code stored in it.
    """
    if isinstance(choice, Opponent):
        return choice
    if isinstance(choice, os.PathLike) or isinstance(choice, str) and choice not in BUILT_IN and os.path.isfile(choice):
        # The agents build on the parts: taken when a file is named.
        from zorbic.agents.opponent import opponent_from_file

        return opponent_from_file(choice, trust_pickle=trust_pickle)
    if isinstance(choice, str):
        if choice not in BUILT_IN:
            raise ValueError(
                f"unknown opponent {choice!r}: use one of {sorted(BUILT_IN)}, an agent file, an Opponent or a policy"
            )
        return BUILT_IN[choice]()
    if callable(choice) or callable(getattr(choice, "predict", None)):
        return PolicyOpponent(choice, obs_builder or EgocentricObservation(), action_parser or DiscreteActions())
    raise TypeError(f"opponent must be one of {sorted(BUILT_IN)}, an Opponent or a policy, not {type(choice).__name__}")
