"""Reward terms: float arrays (M, learners) computed for the whole batch.

A term is a `Reward` or any function `term(state, field, slots)` that
returns one value per match and learner slot, shape (M, len(slots)).
`Combined` adds terms with weights. Velocities are divided by a player's top
speed and distances by the stadium's diagonal, so terms of different kinds
are of comparable size.
"""

from __future__ import annotations

import weakref
from abc import ABC, abstractmethod
from typing import Any, Protocol

import numpy as np

import zorbic_core
from zorbic.core.state import BatchState, Field


class RewardTerm(Protocol):
    """A reward term written as a plain function: `term(state, field, slots)` -> (M, len(slots))."""

    def __call__(self, state: BatchState, field: Field, slots: np.ndarray, /) -> np.ndarray: ...


class Reward(ABC):
    """Base of the reward terms: `__call__` is required, `reset` optional."""

    def reset(self, state: BatchState, field: Field, slots: np.ndarray, which: np.ndarray) -> None:
        """Matches `which` (M,) restarted from `state`: terms with memory start over."""

    @abstractmethod
    def __call__(self, state: BatchState, field: Field, slots: np.ndarray) -> np.ndarray:
        """The term's value for every match and learner slot, float (M, len(slots))."""


class GoalReward(Reward):
    """+1 to every learner of the side that scored, -1 to the side that conceded.

    A goal line that belongs to neither team rewards nobody, so the sum over
    a match's players is always zero.
    """

    def __call__(self, state: BatchState, field: Field, slots: np.ndarray) -> np.ndarray:
        conceded = state.scored.astype(np.int64)[:, None]
        team = field.teams[slots][None]
        decided = (conceded == zorbic_core.FLAG_RED) | (conceded == zorbic_core.FLAG_BLUE)
        return np.where(decided, np.where(conceded == team, -1.0, 1.0), 0.0)


def _unit(vectors: np.ndarray) -> np.ndarray:
    length = np.hypot(vectors[..., 0], vectors[..., 1])[..., None]
    return np.divide(vectors, length, out=np.zeros_like(vectors), where=length > 0)


class BallTowardsGoal(Reward):
    """The ball's speed towards the goal mouth that the learner attacks."""

    def __call__(self, state: BatchState, field: Field, slots: np.ndarray) -> np.ndarray:
        heading = _unit(field.attack[slots][None] - state.ball_pos[:, None])
        return np.sum(heading * state.ball_vel[:, None], axis=-1) / field.speed


class PlayerTowardsBall(Reward):
    """The learner's own speed towards the ball."""

    def __call__(self, state: BatchState, field: Field, slots: np.ndarray) -> np.ndarray:
        heading = _unit(state.ball_pos[:, None] - state.player_pos[:, slots])
        return np.sum(heading * state.player_vel[:, slots], axis=-1) / field.speed


class DistancePotential(Reward):
    """Potential-based shaping, gamma * phi(s') - phi(s), which leaves the
    best policy unchanged.

    phi is minus a distance over the stadium's diagonal: from the ball to the
    attacked goal mouth (`"ball_to_goal"`), from the learner to the ball
    (`"player_to_ball"`), or from the learner's team-mate nearest the ball
    to it (`"team_to_ball"`, the same for the whole team: only the nearest
    player's run pays, so a team is not drawn to crowd the ball). A state that ends the episode has potential 0, as
    the shaping's invariance needs: otherwise, with gamma below 1, a negative
    potential pays (1 - gamma) |phi| for every step the match goes on, which
    over a long episode outweighs a goal. `gamma` should be the learner's
    discount.
    """

    KINDS = ("ball_to_goal", "player_to_ball", "team_to_ball")

    def __init__(self, kind: str = "ball_to_goal", gamma: float = 0.99) -> None:
        if kind not in self.KINDS:
            raise ValueError(f"unknown potential {kind!r}: use one of {list(self.KINDS)}")
        self.kind = kind
        self.gamma = float(gamma)
        self.previous: weakref.WeakKeyDictionary[Field, np.ndarray] = weakref.WeakKeyDictionary()

    def __getstate__(self) -> dict[str, Any]:
        # The potentials belong to the batches of this process, not to a copy sent elsewhere.
        return {**self.__dict__, "previous": None}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state, previous=weakref.WeakKeyDictionary())

    def potential(self, state: BatchState, field: Field, slots: np.ndarray) -> np.ndarray:
        """phi of every match and learner slot, (M, len(slots))."""
        if self.kind == "ball_to_goal":
            gap = field.attack[slots][None] - state.ball_pos[:, None]
        elif self.kind == "player_to_ball":
            gap = state.ball_pos[:, None] - state.player_pos[:, slots]
        else:
            gap = state.ball_pos[:, None] - state.player_pos  # (M, P, 2): every player
            mates = field.teams[None, :] == field.teams[slots][:, None]  # (k, P)
            reach = np.hypot(gap[..., 0], gap[..., 1])
            nearest = np.where(mates[None], reach[:, None, :], np.inf).min(axis=-1)
            return -nearest / field.diagonal
        return -np.hypot(gap[..., 0], gap[..., 1]) / field.diagonal

    def reset(self, state: BatchState, field: Field, slots: np.ndarray, which: np.ndarray) -> None:
        now = self.potential(state, field, slots)
        previous = self.previous.get(field)
        if previous is None or previous.shape != now.shape:
            self.previous[field] = now
        else:
            previous[which] = now[which]

    def __call__(self, state: BatchState, field: Field, slots: np.ndarray) -> np.ndarray:
        now = self.potential(state, field, slots)
        previous = self.previous.get(field, now)
        self.previous[field] = now
        return self.gamma * np.where(state.terminated[:, None], 0.0, now) - previous


class _Function(Reward):
    def __init__(self, term: RewardTerm) -> None:
        self.term = term

    def __call__(self, state: BatchState, field: Field, slots: np.ndarray) -> np.ndarray:
        return np.asarray(self.term(state, field, slots), np.float64)


def as_reward(term: Reward | RewardTerm) -> Reward:
    """`term` as a Reward: a Reward as it is, a function wrapped so that its result is a float array."""
    if isinstance(term, Reward):
        return term
    if callable(term):
        return _Function(term)
    raise TypeError(f"a reward term must be a Reward or a function (state, field, slots), not {type(term).__name__}")


class Combined(Reward):
    """The weighted sum of several terms: `Combined((GoalReward(), 1.0), (BallTowardsGoal(), 0.05))`."""

    def __init__(self, *weighted: tuple[Reward | RewardTerm, float]) -> None:
        if not weighted:
            raise ValueError("Combined needs at least one (term, weight) pair")
        self.terms = [(as_reward(term), float(weight)) for term, weight in weighted]

    def reset(self, state: BatchState, field: Field, slots: np.ndarray, which: np.ndarray) -> None:
        for term, _ in self.terms:
            term.reset(state, field, slots, which)

    def __call__(self, state: BatchState, field: Field, slots: np.ndarray) -> np.ndarray:
        total = np.zeros((state.n_matches, len(slots)))
        for term, weight in self.terms:
            value = term(state, field, slots)
            if value.shape != total.shape:
                raise ValueError(f"reward term {term!r} returned shape {value.shape}, expected {total.shape}")
            total += weight * value
        return total
