"""The stable-baselines3 face: one `VecEnv` over one batch of matches.

    from stable_baselines3 import PPO
    from zorbic.sb3 import make_vec_env

    env = make_vec_env(64, opponent="chaser")
    PPO("MlpPolicy", env).learn(100_000)

`num_envs` counts learners, as in the gymnasium vector face: with k learner
slots per match the batch holds num_envs / k matches and env i is learner
slot i % k of match i // k. Every step advances all matches at once; there
are no sub-processes and no per-env objects.

Episodes restart in the step that ends them, as stable-baselines3 expects:
that step returns the first observation of the next episode, and the info of
an ended env holds the last one under "terminal_observation", with
"TimeLimit.truncated" set when the episode ran out of time rather than ending
with a goal (so that on-policy algorithms bootstrap from it).

The envs share one batch, so there is one value of every attribute:
`get_attr` reads it for any indices, while `set_attr` and `env_method`
change or call it once for all envs and refuse a subset of them. In the
same way `seed(s)` seeds the batch's opponent and reset rule with s at the
next reset (stable-baselines3 reports s + i for env i).

With render_mode="rgb_array", `get_images` draws every env's match and
`render()` tiles them (the [render] extra).
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
from stable_baselines3.common.vec_env import VecEnv
from stable_baselines3.common.vec_env.base_vec_env import (
    VecEnvIndices,
    VecEnvStepReturn,
)

from zorbic.common.checks import positive_multiple
from zorbic.core.batch import SoccerBatch
from zorbic.core.match_setup import MatchSetup
from zorbic.faces.rendering import check_render_mode, render_metadata
from zorbic.parts.opponents import Opponent, make_opponent


class SoccerSB3VecEnv(VecEnv):
    """The stable-baselines3 face: `num_envs` learners over one batch (see the module's notes)."""

    def __init__(self, num_envs: int, *, render_mode: str | None = None, **setup: Any) -> None:
        match_setup = MatchSetup(**setup)
        k = len(match_setup.slots)
        num_envs = positive_multiple("num_envs", num_envs, k, "learners per match")
        # Read back through get_attr by VecEnv.__init__, so it must exist first.
        self.render_mode = check_render_mode(render_mode)
        self.batch = SoccerBatch(num_envs // k, match_setup)
        self.setup = match_setup
        super().__init__(num_envs, self.batch.observation_space, self.batch.action_space)
        # VecEnv.render tiles the frames of get_images; it also offers "human" (through OpenCV) for them.
        self.metadata["render_fps"] = render_metadata(match_setup.tick_skip)["render_fps"]
        self._actions: np.ndarray | None = None
        self._renderer: Any = None

    # -------------------------------------------------------------- stepping

    def reset(self) -> np.ndarray:
        """Start new episodes in every env; the first observations."""
        if any(self._options):
            raise ValueError(f"this env takes no reset options, got {self._options[0]!r}")
        if self._seeds[0] is not None:
            self.batch.seed(self._seeds[0])
        self._reset_seeds()
        self._reset_options()
        self.batch.restart()
        self._actions = None
        return self.batch.observe()

    def step_async(self, actions: np.ndarray) -> None:
        """Take the actions of the next `step_wait`."""
        self._actions = actions

    def step_wait(self) -> VecEnvStepReturn:
        """Play one step; ended envs restart and report their last observation in their info."""
        if self._actions is None:
            raise RuntimeError("step_wait() needs a step_async(actions) before it")
        batch = self.batch
        actions, self._actions = self._actions, None
        rewards, terminated, truncated = batch.step(actions)
        dones = terminated | truncated
        obs = batch.observe()
        # The interface is one dict per env; only the ended envs get entries.
        infos: list[dict[str, Any]] = [{} for _ in range(self.num_envs)]
        ended = np.flatnonzero(dones)
        if len(ended):
            last = obs[ended]
            out_of_time = truncated[ended] & ~terminated[ended]
            for i, row in enumerate(ended.tolist()):
                infos[row]["terminal_observation"] = last[i]
                infos[row]["TimeLimit.truncated"] = bool(out_of_time[i])
            batch.restart(batch.matches(dones, "episode end"))
            obs = batch.observe()
        return obs, rewards.astype(np.float32), dones, infos

    def close(self) -> None:
        """Stop rendering and let the batch go."""
        if self._renderer is not None:
            self.batch.remove_observer(self._renderer)
            self._renderer = None

    # ------------------------------------------------------------ opponents

    @property
    def opponent(self) -> Opponent:
        """What drives the slots that do not learn."""
        return self.batch.opponent

    @opponent.setter
    def opponent(self, choice: Any) -> None:
        self.set_opponent(choice)

    def set_opponent(self, choice: Any, seed: int | None = None) -> None:
        """Let `choice` (see zorbic.parts.opponents.make_opponent) drive the other slots of every match from now on.

        Running episodes go on with the new opponent, which is told that
        every match starts afresh from where it stands.
        """
        batch = self.batch
        opponent = make_opponent(choice, batch.obs_builder, batch.action_parser)
        opponent.seed(np.random.default_rng(seed))
        if len(batch.others):
            opponent.reset(batch.state, batch.field, batch.others, np.ones(batch.n_matches, np.bool_))
        batch.opponent = opponent

    # ------------------------------------------------ attributes and methods

    def _all(self, indices: VecEnvIndices, what: str) -> list[int]:
        chosen = self._chosen(indices)
        if sorted(set(chosen)) != list(range(self.num_envs)):
            raise ValueError(
                f"all {self.num_envs} envs share one batch, so {what} applies to all of them at once; pass indices=None"
            )
        return chosen

    def _chosen(self, indices: VecEnvIndices) -> list[int]:
        chosen = list(self._get_indices(indices))
        bad = [i for i in chosen if not isinstance(i, (int, np.integer)) or not 0 <= i < self.num_envs]
        if bad:
            raise IndexError(f"env indices must be ints in [0, {self.num_envs}), got {bad}")
        return chosen

    def get_attr(self, attr_name: str, indices: VecEnvIndices = None) -> list[Any]:
        """The attribute `attr_name`, one value per env asked for."""
        chosen = self._chosen(indices)
        value = getattr(self, attr_name)
        return [value] * len(chosen)

    def set_attr(self, attr_name: str, value: Any, indices: VecEnvIndices = None) -> None:
        """Set `attr_name` for all envs at once (a subset is refused: they share one batch)."""
        self._all(indices, "set_attr")
        setattr(self, attr_name, value)

    def env_method(
        self, method_name: str, *method_args: Any, indices: VecEnvIndices = None, **method_kwargs: Any
    ) -> list[Any]:
        """Call `method_name` once for all envs (a subset is refused: they share one batch)."""
        chosen = self._all(indices, "env_method")
        result = getattr(self, method_name)(*method_args, **method_kwargs)
        return [result] * len(chosen)

    def env_is_wrapped(self, wrapper_class: type, indices: VecEnvIndices = None) -> list[bool]:
        """Whether the envs are wrapped in `wrapper_class`: never, there is one batch."""
        # No env is a gymnasium env of its own, so none can carry a wrapper.
        return [False] * len(self._chosen(indices))

    # ------------------------------------------------------------- rendering

    def get_images(self) -> Sequence[np.ndarray | None]:
        """A picture per env, (H, W, 3) uint8: the match it plays in (needs the [render] extra)."""
        if self.render_mode is None:
            return [None] * self.num_envs
        if self._renderer is None:
            from zorbic.display.render import MatchRenderer

            self._renderer = MatchRenderer(self.batch)
        frames = [self._renderer.render(m) for m in range(self.batch.n_matches)]
        return [frames[i // len(self.batch.slots)] for i in range(self.num_envs)]


def make_vec_env(num_envs: int, *, render_mode: str | None = None, **setup: Any) -> SoccerSB3VecEnv:
    """A stable-baselines3 VecEnv of `num_envs` learners; `setup` takes the MatchSetup keywords."""
    return SoccerSB3VecEnv(num_envs, render_mode=render_mode, **setup)
