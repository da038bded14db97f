"""The gymnasium vector face: one `VectorEnv` over one batch of matches.

`num_envs` is the number of learners, the observation batch size: with k
learner slots per match (1 by default, every player with self_play) the
batch holds num_envs / k matches, and row r is learner slot r % k of match
r // k. Every step advances all matches at once; there are no sub-processes
and no per-env objects.

Autoreset follows gymnasium's three modes:
- NEXT_STEP (default): the step after a match's episode ended ignores its
  actions and returns its first observation, reward 0, not terminated and not
  truncated.
- SAME_STEP: the step that ends an episode already returns the first
  observation of the next; the last one is in info["final_obs"] (an object
  array with None for the rows that did not end) and info["final_info"],
  with the masks info["_final_obs"] and info["_final_info"].
- DISABLED: nothing restarts by itself; `reset(options={"reset_mask": mask})`
  restarts the rows of `mask`, and stepping a match that ended before it
  was reset is refused.

With render_mode="rgb_array", `render()` draws match 0.
"""

from __future__ import annotations

from typing import Any

import numpy as np
from gymnasium.vector import AutoresetMode, VectorEnv
from gymnasium.vector.utils import batch_space

from zorbic.common.checks import positive_multiple
from zorbic.core.batch import SoccerBatch
from zorbic.core.match_setup import MatchSetup
from zorbic.faces.rendering import RendersMatchZero, check_render_mode, render_metadata


class SoccerVectorEnv(RendersMatchZero, VectorEnv):
    """The native gymnasium vector face: `num_envs` learners over one batch of matches."""

    def __init__(
        self,
        num_envs: int = 1,
        *,
        autoreset_mode: AutoresetMode | str = AutoresetMode.NEXT_STEP,
        render_mode: str | None = None,
        **setup: Any,
    ) -> None:
        self.autoreset_mode = AutoresetMode(autoreset_mode)
        match_setup = MatchSetup(**setup)
        k = len(match_setup.slots)
        num_envs = positive_multiple("num_envs", num_envs, k, "learners per match")
        self.render_mode = check_render_mode(render_mode)
        self.batch = SoccerBatch(num_envs // k, match_setup)
        self.num_envs = num_envs
        self.metadata = {"autoreset_mode": self.autoreset_mode, **render_metadata(match_setup.tick_skip)}
        self.single_observation_space = self.batch.observation_space
        self.single_action_space = self.batch.action_space
        self.observation_space = batch_space(self.single_observation_space, num_envs)
        self.action_space = batch_space(self.single_action_space, num_envs)
        self._ended = np.zeros(self.batch.n_matches, np.bool_)

    def reset(
        self, *, seed: int | None = None, options: dict[str, Any] | None = None
    ) -> tuple[np.ndarray, dict[str, Any]]:
        """Start new episodes (all, or the masked matches with autoreset DISABLED)."""
        super().reset(seed=seed)
        if seed is not None:
            self.batch.seed(seed)
        mask = (options or {}).get("reset_mask")
        if mask is None:
            which = np.ones(self.batch.n_matches, np.bool_)
        else:
            mask = np.asarray(mask)
            if mask.dtype != np.bool_ or mask.shape != (self.num_envs,):
                raise ValueError(f"options['reset_mask'] must be a bool array of shape ({self.num_envs},)")
            which = self.batch.matches(mask, "reset_mask")
        self.batch.restart(which)
        self._ended[which] = False
        return self.batch.observe(), {}

    def step(self, actions: Any) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, dict[str, Any]]:
        """Play one step of every match with the learners' `actions`."""
        batch = self.batch
        if self.autoreset_mode == AutoresetMode.DISABLED and self._ended.any():
            raise RuntimeError(
                "matches whose episode ended must be reset before the next step:"
                " reset(options={'reset_mask': mask}) with the rows that ended"
            )
        restarting = self._ended.copy() if self.autoreset_mode == AutoresetMode.NEXT_STEP else None
        rewards, terminated, truncated = batch.step(actions)
        infos: dict[str, Any] = {}
        ended = batch.ended

        if restarting is not None:
            if restarting.any():
                batch.restart(restarting)
                rows = batch.rows(restarting)
                rewards[rows] = 0.0
                terminated[rows] = False
                truncated[rows] = False
                ended &= ~restarting
            self._ended = ended
            return batch.observe(), rewards, terminated, truncated, infos

        obs = batch.observe()
        if self.autoreset_mode == AutoresetMode.SAME_STEP:
            if ended.any():
                rows = batch.rows(ended)
                final_obs = np.full(self.num_envs, None, dtype=object)
                for row in np.flatnonzero(rows):
                    final_obs[row] = obs[row]
                infos = {"final_obs": final_obs, "_final_obs": rows, "final_info": {}, "_final_info": rows.copy()}
                batch.restart(ended)
                obs = batch.observe()
        else:
            self._ended = ended
        return obs, rewards, terminated, truncated, infos

    def close(self, **kwargs: Any) -> None:
        """Stop rendering and let the batch go."""
        self._stop_rendering()
        super().close(**kwargs)
