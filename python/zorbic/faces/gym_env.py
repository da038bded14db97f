"""The single-agent gymnasium face: one match, one learner.

The other slots are driven by the opponent. An episode ends when a goal
falls (terminated) or after `max_steps` steps (truncated); `reset` starts the
next one. For several learners use the vector face (`gymnasium.make_vec`) or
the PettingZoo face.
"""

from __future__ import annotations

from typing import Any

import gymnasium
import numpy as np

from zorbic.core.batch import SoccerBatch
from zorbic.core.match_setup import MatchSetup
from zorbic.faces.rendering import RendersMatchZero, check_render_mode, render_metadata


class SoccerEnv(RendersMatchZero, gymnasium.Env):
    """The single-agent gymnasium face: one match, one learner (the set-up keywords of `MatchSetup`)."""

    metadata = render_metadata(8)

    def __init__(self, render_mode: str | None = None, **setup: Any) -> None:
        match_setup = MatchSetup(**setup)
        if len(match_setup.slots) != 1:
            raise ValueError(
                "the single-agent env has exactly one learner; for several (or self_play) use"
                " gymnasium.make_vec or zorbic.faces.pettingzoo.parallel_env"
            )
        self.render_mode = check_render_mode(render_mode)
        self.batch = SoccerBatch(1, match_setup)
        self.metadata = render_metadata(match_setup.tick_skip)
        self.observation_space = self.batch.observation_space
        self.action_space = self.batch.action_space

    def reset(
        self, *, seed: int | None = None, options: dict[str, Any] | None = None
    ) -> tuple[np.ndarray, dict[str, Any]]:
        """Start a new episode; `seed` seeds the opponent and the reset rule."""
        super().reset(seed=seed)
        if seed is not None:
            self.batch.seed(seed)
        self.batch.restart()
        return self.batch.observe()[0], {}

    def step(self, action: Any) -> tuple[np.ndarray, float, bool, bool, dict[str, Any]]:
        """Play one step with the learner's `action`."""
        # A plain int goes to the batch as it is: its compiled table takes one.
        rewards, terminated, truncated = self.batch.step_matches(
            action if type(action) is int else np.asarray(action)[None]
        )
        return self.batch.observe()[0], float(rewards[0]), bool(terminated[0]), bool(truncated[0]), {}

    def close(self) -> None:
        """Stop rendering and let the batch go."""
        self._stop_rendering()
        super().close()
