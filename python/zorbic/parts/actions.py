"""Action spaces, and their translation into engine actions.

A learner acts in its own frame: a blue learner's field is mirrored in x, so
its x inputs are mirrored back here. Engine actions are int64 (dx, dy, kick):
(dx, dy) gives a direction only, and a kick of 2 is a fresh press on every
tick, so that the same action always means the same thing.
"""

from __future__ import annotations

from abc import ABC, abstractmethod
from collections.abc import Callable

import numpy as np
from gymnasium import spaces

# A fresh press on every tick: the kick re-arms by itself, so an action means
# the same whatever the previous one was.
KICK = 2

# The nine movement inputs: standing still, then the eight directions
# anticlockwise (in the engine frame) from straight ahead (+x).
DIRECTIONS = np.array([(0, 0), (1, 0), (1, 1), (0, 1), (-1, 1), (-1, 0), (-1, -1), (0, -1), (1, -1)], np.int64)

# Raw actions keep clear of the int64 limits so that mirroring never overflows
# and the space can be sampled; the engine reads only a direction and a kick
# level from them, which this range covers in full.
RAW_LIMIT = 2**62


class ActionParser(ABC):
    """Base of the action parsers: a `space` (set by the constructor), a check, a translation."""

    space: spaces.Space

    @abstractmethod
    def check(self, actions: object, batch: int) -> np.ndarray:
        """`actions` as an int64 array for `batch` learners, or a clear error."""

    @abstractmethod
    def to_engine(self, actions: np.ndarray, mirror: np.ndarray) -> np.ndarray:
        """Engine actions (B, 3) int64 for checked actions and mirror signs (B,)."""

    def _integers(
        self, actions: object, shape: tuple[int, ...], low: np.ndarray | int, high: np.ndarray | int
    ) -> np.ndarray:
        array = np.asarray(actions)
        if array.dtype.kind not in "iu":
            raise TypeError(f"actions for {self.space} must be integers, got dtype {array.dtype}")
        if array.shape != shape:
            raise ValueError(f"actions for {self.space} must have shape {shape}, got {array.shape}")
        if array.size and (np.any(array < low) or np.any(array > high)):
            raise ValueError(f"actions for {self.space} must lie in [{low}, {high}] per entry")
        return array.astype(np.int64, copy=False)


class DiscreteActions(ActionParser):
    """18 actions: direction index d (see DIRECTIONS) times two, plus 1 to kick."""

    space: spaces.Discrete

    # A batch takes int64 and int32 actions through a compiled copy of the
    # same table (zorbic._fast.discrete); False always takes check and to_engine.
    fast = True

    def __init__(self) -> None:
        self.space = spaces.Discrete(2 * len(DIRECTIONS))
        table = np.zeros((int(self.space.n), 3), np.int64)
        table[:, :2] = np.repeat(DIRECTIONS, 2, axis=0)
        table[1::2, 2] = KICK
        self.table = table
        self.sided = np.concatenate([table, table * [-1, 1, 1]])

    def check(self, actions: object, batch: int) -> np.ndarray:
        return self._integers(actions, (batch,), 0, int(self.space.n) - 1)

    def to_engine(self, actions: np.ndarray, mirror: np.ndarray) -> np.ndarray:
        # Rows of the mirrored half of the table serve the blue side.
        return np.take(self.sided, actions + (mirror < 0) * self.space.n, axis=0)


class MultiDiscreteActions(ActionParser):
    """[3, 3, 2]: dx + 1, dy + 1, and 1 to kick."""

    def __init__(self) -> None:
        self.space = spaces.MultiDiscrete([3, 3, 2])

    def check(self, actions: object, batch: int) -> np.ndarray:
        return self._integers(actions, (batch, 3), 0, np.array([2, 2, 1]))

    def to_engine(self, actions: np.ndarray, mirror: np.ndarray) -> np.ndarray:
        engine = actions - np.array([1, 1, 0], np.int64)
        engine[:, 0] *= mirror.astype(np.int64)
        engine[:, 2] *= KICK
        return engine


class RawActions(ActionParser):
    """Engine triples (dx, dy, kick) as they are, x mirrored for blue."""

    def __init__(self) -> None:
        self.space = spaces.Box(-RAW_LIMIT, RAW_LIMIT, shape=(3,), dtype=np.int64)

    def check(self, actions: object, batch: int) -> np.ndarray:
        return self._integers(actions, (batch, 3), -RAW_LIMIT, RAW_LIMIT)

    def to_engine(self, actions: np.ndarray, mirror: np.ndarray) -> np.ndarray:
        engine = actions.copy()
        engine[:, 0] *= mirror.astype(np.int64)
        return engine


BUILT_IN: dict[str, Callable[[], ActionParser]] = {
    "discrete": DiscreteActions,
    "multi_discrete": MultiDiscreteActions,
    "raw": RawActions,
}


def make_action_parser(choice: str | ActionParser | None) -> ActionParser:
    """The action parser for a built-in name (`BUILT_IN`), an ActionParser as it is, or the discrete table for None."""
    if choice is None:
        return DiscreteActions()
    if isinstance(choice, ActionParser):
        return choice
    if isinstance(choice, str) and choice in BUILT_IN:
        return BUILT_IN[choice]()
    raise ValueError(f"unknown action parser {choice!r}: use one of {sorted(BUILT_IN)} or an ActionParser")
