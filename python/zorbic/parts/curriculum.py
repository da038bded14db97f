"""The opponents a learner meets while it trains, and when they change.

A `MixedOpponent` lets different matches of one batch play different
opponents. The curriculum walks through stages of such mixtures: first the
idle opponent (find the ball, put it in the goal), then the random one, then
the chaser, then frozen copies of the learner itself. A stage ends when an
evaluation against its newest opponent reaches the stage's win rate, so
the schedule follows the learner rather than the clock. Every stage keeps a
share of the earlier opponents, so that what was learned against them is
not forgotten.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from zorbic.common.checks import positive_int
from zorbic.core.state import BatchState, Field
from zorbic.parts.actions import ActionParser
from zorbic.parts.observations import ObservationBuilder
from zorbic.parts.opponents import Opponent, make_opponent

SELF = "self"


class MixedOpponent(Opponent):
    """Opponent i drives a share of the matches: a contiguous block of them,
    sized by the weights (largest remainders), the same block in every
    episode.

    Every opponent acts for the whole batch and each match takes the actions
    of its own one: a few batched calls instead of sub-batches, whose
    observations would need the engine queries of the whole batch anyway.
    """

    def __init__(self, weighted: Sequence[tuple[Opponent, float]]) -> None:
        if not weighted:
            raise ValueError("a mixed opponent needs at least one (opponent, weight) pair")
        for opponent, _ in weighted:
            if not isinstance(opponent, Opponent):
                raise TypeError(f"a mixed opponent mixes Opponents, not {type(opponent).__name__}")
        weights = np.array([w for _, w in weighted], np.float64)
        if not np.all(np.isfinite(weights)) or np.any(weights < 0) or weights.sum() <= 0:
            raise ValueError(f"weights must be non-negative with a positive sum, got {weights.tolist()}")
        self.opponents = [opponent for opponent, _ in weighted]
        self.shares = weights / weights.sum()
        self._assigned: np.ndarray | None = None

    def assignment(self, n_matches: int) -> np.ndarray:
        """The index of the opponent of every match, (M,)."""
        if self._assigned is None or len(self._assigned) != n_matches:
            exact = self.shares * n_matches
            counts = np.floor(exact).astype(np.int64)
            leftover = np.argsort(counts - exact, kind="stable")[: n_matches - counts.sum()]
            counts[leftover] += 1
            self._assigned = np.repeat(np.arange(len(counts)), counts)
        return self._assigned

    def seed(self, rng: np.random.Generator) -> None:
        for opponent, child in zip(self.opponents, rng.spawn(len(self.opponents))):
            opponent.seed(child)

    def reset(self, state: BatchState, field: Field, slots: np.ndarray, which: np.ndarray) -> None:
        for opponent in self.opponents:
            opponent.reset(state, field, slots, which)

    def act(self, state: BatchState, field: Field, slots: np.ndarray) -> np.ndarray:
        chosen = self.assignment(state.n_matches)
        everyone = np.stack([opponent.act(state, field, slots) for opponent in self.opponents])
        return everyone[chosen, np.arange(state.n_matches)]


@dataclass(frozen=True)
class Stage:
    """A mixture of opponents by name ("self" for the frozen copies), and the
    evaluation that ends the stage: (opponent, win rate), or None for the last."""

    name: str
    shares: Mapping[str, float]
    until: tuple[str, float] | None


STAGES = (
    Stage("idle", {"idle": 1.0}, ("idle", 0.9)),
    # The chaser teaches what the random opponent asks for too (winning a
    # loose ball, getting past a player), and sooner than the random
    # opponent alone: in trials the learner stalled there for minutes.
    Stage("random", {"idle": 0.2, "random": 0.8}, ("random", 0.75)),
    Stage("chaser", {"idle": 0.1, "random": 0.2, "chaser": 0.7}, ("chaser", 0.6)),
    Stage(SELF, {"idle": 0.05, "random": 0.25, "chaser": 0.4, SELF: 0.3}, None),
)


class Curriculum:
    """Where the learner stands in `stages`, and the frozen copies it keeps.

    In a stage with a "self" share each evaluation adds a frozen copy of the
    learner; the newest `keep` copies split that share.
    """

    def __init__(self, stages: Sequence[Stage] = STAGES, keep: int = 3) -> None:
        if not stages or any(s.until is None for s in stages[:-1]):
            raise ValueError("every stage but the last needs an end")
        keep = positive_int("keep", keep)
        self.stages = tuple(stages)
        self.keep = keep
        self.index = 0
        self.copies: list[Any] = []

    @property
    def stage(self) -> Stage:
        return self.stages[self.index]

    def needs_copies(self) -> bool:
        """Whether the current stage plays frozen copies of the learner."""
        return SELF in self.stage.shares

    def advance(self, win_rates: Mapping[str, float], freeze: Callable[[], Any]) -> bool:
        """Take an evaluation's win rates; True when the opponents change.

        `freeze` makes a frozen copy of the learner, called in the stages
        that play copies.
        """
        changed = False
        until = self.stage.until
        if until is not None and win_rates.get(until[0], 0.0) >= until[1]:
            self.index += 1
            changed = True
        if self.needs_copies():
            self.copies = (self.copies + [freeze()])[-self.keep :]
            changed = True
        return changed

    def opponent(self, obs_builder: ObservationBuilder, action_parser: ActionParser) -> MixedOpponent:
        """The mixture of the current stage; before the first copy exists the
        "self" share goes to the other opponents."""
        weighted: list[tuple[Opponent, float]] = []
        for name, share in self.stage.shares.items():
            if name != SELF:
                weighted.append((make_opponent(name), share))
            elif self.copies:
                for copy in self.copies:
                    weighted.append((make_opponent(copy, obs_builder, action_parser), share / len(self.copies)))
        return MixedOpponent(weighted)
