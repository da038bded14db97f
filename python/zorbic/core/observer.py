"""What a batch tells the objects that follow it (renderers, recorders)."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Protocol, runtime_checkable

import numpy as np

if TYPE_CHECKING:
    from zorbic.core.batch import SoccerBatch


@runtime_checkable
class BatchObserver(Protocol):
    """Follows every restart and every step of a `SoccerBatch` (see `SoccerBatch.add_observer`)."""

    def on_reset(self, batch: SoccerBatch, which: np.ndarray, start: Sequence[np.ndarray] | None, /) -> None:
        """Matches `which` (M,) bool restarted; `start` holds the set_state arrays when a rule placed the bodies."""

    def on_step(self, batch: SoccerBatch, actions: np.ndarray, scored: np.ndarray, /) -> None:
        """Every match stepped once with the engine `actions` (M, P, 3) int64; `scored` (M,) int8 as
        `physics_step` returned it. Both buffers are overwritten by the next step: copy what you keep."""
