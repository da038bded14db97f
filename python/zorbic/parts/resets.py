"""Reset rules: how matches start their episodes.

`KickoffReset` (the default) restarts any set of matches at the kickoff,
exactly and without touching the others. A `StateReset` places the bodies
itself through `VecEnv.set_state`, which writes every match of the batch and
clears every player's kick state: applied to a few matches it would change
the ones still running. So a state reset restarts all matches together,
and the set-up accepts it only where every match restarts at once: the first
reset, a full `reset()`, and the synchronous episode mode, in which every
episode ends together at `max_steps`.
"""

from __future__ import annotations

from abc import ABC, abstractmethod

import numpy as np

import zorbic_core
from zorbic.core.state import Field


class ResetRule(ABC):
    """Base of the reset rules: `restart` is required, `seed` optional."""

    # Whether the rule can restart some matches and leave the others running.
    per_match = True

    def seed(self, rng: np.random.Generator) -> None:
        """Take the generator this rule draws from until the next seed."""

    @abstractmethod
    def restart(self, env: zorbic_core.VecEnv, field: Field, which: np.ndarray) -> tuple[np.ndarray, ...] | None:
        """Restart the matches `which` (M,); return the set_state arrays if it set them."""


class KickoffReset(ResetRule):
    """A fresh game at the kickoff: `VecEnv.reset_mask` of the matches that end."""

    def restart(self, env: zorbic_core.VecEnv, field: Field, which: np.ndarray) -> None:
        env.reset_mask(np.ascontiguousarray(which, np.bool_))
        return None


class StateReset(ResetRule):
    """Base of the rules that place the bodies: implement `place`.

    `place` returns ball_pos (M, 2), ball_vel (M, 2), player_pos (M, P, 2) and
    player_vel (M, P, 2) for every match; the engine then starts every match
    in play from there with fresh kick state and step counters.
    """

    per_match = False

    def __init__(self) -> None:
        self.rng = np.random.default_rng()

    def seed(self, rng: np.random.Generator) -> None:
        self.rng = rng

    @abstractmethod
    def place(self, field: Field, n_matches: int) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        """Where every body of every match starts: ball_pos, ball_vel, player_pos, player_vel."""

    def restart(self, env: zorbic_core.VecEnv, field: Field, which: np.ndarray) -> tuple[np.ndarray, ...]:
        if not np.all(which):
            raise ValueError(
                f"{type(self).__name__} sets the state of every match, so it restarts all matches together;"
                " reset every match, use sync_episodes=True, or use KickoffReset"
            )
        # A full reset first, so that scores, kickoff team and masks start over as well.
        env.reset_all()
        ball_pos, ball_vel, player_pos, player_vel = (
            np.ascontiguousarray(a, np.float64) for a in self.place(field, env.n_envs)
        )
        steps = np.zeros(env.n_envs, np.int64)
        env.set_state(ball_pos, ball_vel, player_pos, player_vel, steps)
        return ball_pos, ball_vel, player_pos, player_vel, steps


class RandomPlacement(StateReset):
    """The ball at rest near the centre, every player at rest somewhere in its own half.

    `spread` is the share of the half extents that positions may take.
    """

    def __init__(self, spread: float = 0.8, ball_spread: float = 0.2) -> None:
        super().__init__()
        if not (0 < spread <= 1 and 0 <= ball_spread <= 1):
            raise ValueError("spread must lie in (0, 1] and ball_spread in [0, 1]")
        self.spread = spread
        self.ball_spread = ball_spread

    def place(self, field: Field, n_matches: int) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        p = field.n_players
        ball = self.rng.uniform(-1, 1, (n_matches, 2)) * field.extent * self.ball_spread
        depth = self.rng.uniform(0.1, 1.0, (n_matches, p)) * field.extent[0] * self.spread
        # A player's own half is the side of the goal it defends.
        own_side = np.sign(field.defend[:, 0])
        own_side = np.where(own_side == 0, -field.mirror, own_side)
        players = np.stack(
            [own_side * depth, self.rng.uniform(-1, 1, (n_matches, p)) * field.extent[1] * self.spread], axis=-1
        )
        return ball, np.zeros((n_matches, 2)), players, np.zeros((n_matches, p, 2))


def make_reset_rule(choice: str | ResetRule | None) -> ResetRule:
    """The reset rule for "kickoff" (or None), "random", or a ResetRule as it is."""
    if choice is None or choice == "kickoff":
        return KickoffReset()
    if choice == "random":
        return RandomPlacement()
    if isinstance(choice, ResetRule):
        return choice
    raise ValueError(f"unknown reset rule {choice!r}: use 'kickoff', 'random' or a ResetRule")
