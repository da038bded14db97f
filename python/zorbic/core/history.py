"""What a batch's engine went through since every match last started afresh.

The engine's state cannot be read back whole: kick bookkeeping, the phase,
the goal countdown and the collision masks have no reader, and set_state
clears the kick state of every match. So a copy of a batch is made by
re-simulation: a fresh engine is handed the same calls, from the oldest
restart still needed. A match is reproducible from the call that reset it
(a reset leaves nothing behind but the kick rate limit, which is kept apart);
until then a match of the copy runs on a stand-in state that its reset
discards. The log is cut at the oldest such reset, so it never holds more
than the longest running episode.
"""

from __future__ import annotations

from typing import Any

import numpy as np

import zorbic_core
from zorbic import _fast

DEFAULT_KICK_RATE_LIMIT = (2, 0, 1)


class History:
    """The engine calls that bring a fresh engine to the batch's state."""

    def __init__(self, n_matches: int) -> None:
        self.calls: list[tuple[str, tuple[Any, ...]]] = []
        # Index in `calls` of the last reset of each match; -1: the engine as built.
        self.started = np.full(n_matches, -1, np.int64)
        self.kick_rate_limit = DEFAULT_KICK_RATE_LIMIT
        # Matches changed outside the batch since their last restart.
        self.unknown = np.zeros(n_matches, np.bool_)

    def step(self, actions: np.ndarray) -> None:
        # Engine actions are nearly always small: an eighth of the bytes to keep.
        small = np.empty(actions.shape, np.int8)
        kept = small if _fast.narrow(actions, small) else actions.copy()
        self.calls.append(("physics_step", (kept,)))

    def record(self, name: str, args: tuple[Any, ...]) -> None:
        if name == "set_kick_rate_limit":
            self.calls.append((name, args))
            return
        self.calls.append((name, tuple(None if a is None else np.array(a, copy=True) for a in args)))
        if name == "reset_all":
            self.started[:] = len(self.calls) - 1
            self.unknown[:] = False
        elif name == "reset_mask":
            mask = args[0]
            self.started[mask] = len(self.calls) - 1
            self.unknown[mask] = False
        self._trim()

    def _trim(self) -> None:
        first = int(self.started.min())
        if first <= 0:
            return
        for name, args in self.calls[:first]:
            if name == "set_kick_rate_limit":
                self.kick_rate_limit = args
        del self.calls[:first]
        self.started -= first

    def replay(self, env: zorbic_core.VecEnv) -> None:
        """Hand a fresh engine (built like the batch's) every call since the oldest needed reset."""
        if self.kick_rate_limit != DEFAULT_KICK_RATE_LIMIT:
            env.set_kick_rate_limit(*self.kick_rate_limit)
        for name, args in self.calls:
            if name == "physics_step":
                env.physics_step(args[0].astype(np.int64))
            else:
                getattr(env, name)(*args)

    def plain(self) -> dict[str, Any]:
        return {
            "calls": [(name, list(args)) for name, args in self.calls],
            "started": self.started.copy(),
            "kick_rate_limit": tuple(self.kick_rate_limit),
            "unknown": self.unknown.copy(),
        }

    @classmethod
    def from_plain(cls, plain: dict[str, Any]) -> History:
        history = cls(len(plain["started"]))
        history.calls = [(name, tuple(args)) for name, args in plain["calls"]]
        history.started = np.array(plain["started"], np.int64)
        low, cost, cap = (int(v) for v in plain["kick_rate_limit"])
        history.kick_rate_limit = (low, cost, cap)
        history.unknown = np.array(plain["unknown"], np.bool_)
        return history


class RecordingEngine:
    """The engine as a reset rule sees it: its changes go into the history too."""

    _CHANGES = ("reset_all", "reset_mask", "set_state", "set_player_cmask", "set_kick_rate_limit")

    def __init__(self, env: zorbic_core.VecEnv, history: History) -> None:
        self._env = env
        self._history = history

    def __getattr__(self, name: str) -> Any:
        value = getattr(self._env, name)
        if name not in self._CHANGES:
            return value

        def change(*args: Any) -> Any:
            result = value(*args)
            self._history.record(name, args)
            return result

        return change
