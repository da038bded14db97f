"""A 1 v 1 agent in every slot of a team: each player sees the match as a 1 v 1.

An agent trained alone against one opponent reads an observation of itself,
the ball and that opponent (then its optional features). Copied into each
slot of a team, every copy sees itself, the ball and the opponent nearest
to it, in the layout it learned, and knows nothing of its team-mates: a
baseline that any team policy should beat.
"""

from __future__ import annotations

import numpy as np

from zorbic.core.state import BatchState, Field
from zorbic.parts.observations import EgocentricObservation, ObservationBuilder

# The values of one body in an egocentric observation: x, y, vx, vy.
BODY = 4


class SingleView(ObservationBuilder):
    """The 1 v 1 layout of `single`'s observation for every slot of a team game.

    Args:
        single: the observation builder the agent learned with, in 1 v 1.
    """

    def __init__(self, single: EgocentricObservation) -> None:
        if not isinstance(single, EgocentricObservation):
            raise TypeError(f"a single view takes an EgocentricObservation, not {type(single).__name__}")
        self.single = single

    def size(self, field: Field) -> int:
        return self.single.size(field) - BODY * (field.n_players - 2)

    def reset(self, state: BatchState, field: Field, slots: np.ndarray, which: np.ndarray) -> None:
        self.single.reset(state, field, slots, which)

    def build(self, state: BatchState, field: Field, slots: np.ndarray) -> np.ndarray:
        full = self.single.build(state, field, slots)  # (M, k, size): self, ball, mates, rivals, features
        players = field.n_players
        mates = int(np.count_nonzero(field.teams == field.teams[slots[0]])) - 1
        rivals = np.flatnonzero(field.teams != field.teams[slots[0]])
        if np.any(field.teams[slots] != field.teams[slots[0]]):
            raise ValueError("a single view builds the observations of one team's slots")
        gap = state.player_pos[:, rivals][:, None] - state.player_pos[:, slots][:, :, None]  # (M, k, R, 2)
        nearest = np.argmin(np.hypot(gap[..., 0], gap[..., 1]), axis=-1)  # (M, k); ties: the first in slot order
        first = BODY * (2 + mates) + BODY * nearest[..., None] + np.arange(BODY)  # (M, k, 4)
        rival = np.take_along_axis(full, first, axis=-1)
        features = full[..., BODY * (1 + players) :]
        return np.concatenate([full[..., : 2 * BODY], rival, features], axis=-1)
