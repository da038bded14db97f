"""RLlib recipes: PPO for one learner per match, and self-play with one shared policy.

Each recipe is an RLlib `PPOConfig` in two forms, the same algorithm over
the same matches:

- plain (`fast=False`): what RLlib does with any environment. Single-agent,
  gymnasium's synchronous vector of `num_envs` Env objects, each stepping
  its own match; multi-agent, RLlib's `ParallelPettingZooEnv` over the
  PettingZoo face, one match after another.
- fast (the default): one batch of matches per env runner, stepped at once
  by the core, and recorded as whole arrays (`zorbic.distributed.rllib_rollouts`).
  Single-agent, `SoccerEnvRunner` over the native gymnasium VectorEnv
  (`gym_env_vectorize_mode="vector_entry_point"`); multi-agent,
  `SoccerMultiAgentEnvRunner`, whose environment is one
  `SoccerVectorMultiAgentEnv` holding all `num_envs` matches, because
  RLlib's own multi-agent vectorisation steps one env object per match.

Usage::

    import ray
    from zorbic.distributed.rllib import self_play_config

    ray.init()
    algo = self_play_config(64, n_red=2, n_blue=2).build_algo()
    for _ in range(10):
        print(algo.train()["env_runners"].get("episode_return_mean"))  # None until episodes end

`setup` is the faces' keyword arguments (opponent, reward_fn, n_red, ...);
RLlib ships it to every env runner. Needs the `rllib` extra.
"""

from __future__ import annotations

import operator
from typing import Any

import gymnasium as gym
import numpy as np
from ray.rllib.algorithms.ppo import PPOConfig
from ray.rllib.callbacks.utils import make_callback
from ray.rllib.core.rl_module.default_model_config import DefaultModelConfig
from ray.rllib.env.multi_agent_env import MultiAgentEnv
from ray.rllib.env.vector.vector_multi_agent_env import VectorMultiAgentEnv
from ray.rllib.env.wrappers.pettingzoo_env import ParallelPettingZooEnv
from ray.tune.registry import register_env

from zorbic.common.checks import positive_int
from zorbic.core.match_setup import MatchSetup
from zorbic.distributed.rllib_rollouts import MultiAgentArraysRunner, SoccerEnvRunner
from zorbic.faces.gym_vector import SoccerVectorEnv
from zorbic.faces.pettingzoo import parallel_env

__all__ = [
    "SELF_PLAY_ENV",
    "SHARED_POLICY",
    "SINGLE_AGENT_ENV",
    "SoccerEnvRunner",
    "SoccerMultiAgentEnvRunner",
    "SoccerVectorMultiAgentEnv",
    "self_play_config",
    "single_agent_config",
]

# The gymnasium id with the module that registers it, so that env runners in
# other processes import zorbic before they look the id up.
SINGLE_AGENT_ENV = "zorbic:zorbic/Soccer-v0"
# RLlib's name of the PettingZoo face; the fast runner makes its batch instead.
SELF_PLAY_ENV = "zorbic-self-play"
SHARED_POLICY = "shared"


def single_agent_config(num_envs: int = 256, *, fast: bool = True, **setup: Any) -> PPOConfig:
    """PPO for the learner of `num_envs` matches on each env runner."""
    config = _ppo().environment(SINGLE_AGENT_ENV, env_config=setup)
    config.env_runners(num_envs_per_env_runner=num_envs)
    if fast:
        return config.env_runners(env_runner_cls=SoccerEnvRunner, gym_env_vectorize_mode="vector_entry_point")
    return config.env_runners(gym_env_vectorize_mode="sync")


def self_play_config(num_envs: int = 64, *, fast: bool = True, **setup: Any) -> PPOConfig:
    """PPO self-play: one policy drives every player of `num_envs` matches on each env runner.

    The faces mirror blue's observations and actions, so one policy plays
    both sides as it would play red.
    """
    register_env(SELF_PLAY_ENV, _pettingzoo_env)
    config = _ppo().environment(SELF_PLAY_ENV, env_config=setup)
    config.multi_agent(policies={SHARED_POLICY}, policy_mapping_fn=_to_shared_policy)
    if fast:
        return config.env_runners(env_runner_cls=SoccerMultiAgentEnvRunner, num_envs_per_env_runner=num_envs)
    return config.env_runners(num_envs_per_env_runner=num_envs)


def _ppo() -> PPOConfig:
    # The network of zorbic's own trainer; RLlib's default of 256 x 256 costs
    # four times the inference for no gain on 20-odd inputs.
    return PPOConfig().rl_module(model_config=DefaultModelConfig(fcnet_hiddens=[64, 64]))


def _pettingzoo_env(config: dict[str, Any]) -> ParallelPettingZooEnv:
    return ParallelPettingZooEnv(parallel_env(**config))


def _to_shared_policy(agent_id: Any, episode: Any, **kwargs: Any) -> str:
    return SHARED_POLICY


class _MatchSpaces(MultiAgentEnv):
    """What RLlib asks of one match: its agents and their spaces. The batch steps it."""

    def __init__(self, agents: list[str], observation_space: gym.Space, action_space: gym.Space) -> None:
        self.possible_agents = list(agents)
        self.agents = list(agents)
        super().__init__()
        self.observation_spaces = dict.fromkeys(agents, observation_space)
        self.action_spaces = dict.fromkeys(agents, action_space)

    def reset(self, *, seed: int | None = None, options: dict | None = None) -> Any:
        raise RuntimeError("a match of SoccerVectorMultiAgentEnv is reset by its batch, not on its own")

    def step(self, action_dict: dict[str, Any]) -> Any:  # type: ignore[override]
        raise RuntimeError("a match of SoccerVectorMultiAgentEnv is stepped by its batch, not on its own")


class SoccerVectorMultiAgentEnv(VectorMultiAgentEnv):
    """`num_envs` matches as RLlib's vector of multi-agent envs, stepped at once.

    Every player is an agent (self-play) unless `setup` names the learners.
    Episodes restart as RLlib expects (gymnasium's next-step autoreset): the
    step after a match ended ignores its actions and returns its first
    observations with rewards 0.
    """

    def __init__(self, num_envs: int, **setup: Any) -> None:
        super().__init__()
        if "learners" not in setup and "self_play" not in setup:
            setup["self_play"] = True
        self._vector = _batched(num_envs, setup)
        batch = self._vector.batch
        self.agents = list(batch.agents)
        self.num_envs = batch.n_matches
        self.metadata = {"autoreset_mode": "next_step"}
        match = _MatchSpaces(self.agents, batch.observation_space, batch.action_space)
        self.envs = [match] * self.num_envs
        self.single_observation_spaces = dict.fromkeys(self.agents, batch.observation_space)
        self.single_action_spaces = dict.fromkeys(self.agents, batch.action_space)
        self.single_observation_space = gym.spaces.Dict(self.single_observation_spaces)
        self.single_action_space = gym.spaces.Dict(self.single_action_spaces)
        self._actions_of = operator.itemgetter(*self.agents)
        space = batch.action_space
        self._no_actions = self._actions_of(dict.fromkeys(self.agents, np.zeros(space.shape, space.dtype)))
        self._restarting = np.zeros(self.num_envs, np.bool_)
        self.last_observations: np.ndarray | None = None

    # RLlib's vectors give and take lists of per-match dicts (as its own
    # synchronous one does), which its base class types as arrays.
    def reset(  # type: ignore[override]
        self, *, seed: int | None = None, options: dict[str, Any] | None = None
    ) -> tuple[list, list]:
        """Start every match anew; `seed` seeds what draws random numbers."""
        super().reset(seed=seed)
        obs, _ = self._vector.reset(seed=seed)
        self._restarting[:] = False
        self.last_observations = obs
        return self._per_match(obs), [{} for _ in range(self.num_envs)]

    def step(self, actions: list[dict[str, Any]]) -> tuple[list, list, list, list, list]:  # type: ignore[override]
        """Play one step of every match with each match's dict of actions.

        A match whose episode ended on the last step restarts now and takes no
        actions: RLlib sends it an empty dict.
        """
        if len(actions) != self.num_envs:
            raise ValueError(f"actions must hold one dict per match ({self.num_envs}), not {len(actions)}")
        idle, pick = self._no_actions, self._actions_of
        try:
            chosen = [
                idle if restarts and not match else pick(match) for match, restarts in zip(actions, self._restarting)
            ]
        except (KeyError, TypeError):
            raise ValueError(
                f"every match's actions must be a dict naming all of its agents {self.agents}"
                " (an empty dict only for a match that restarts)"
            ) from None
        obs, rewards, terminated, truncated = self.step_rows(np.asarray(chosen).reshape(-1))
        k = len(self.agents)
        terminated_m = terminated[::k].tolist()
        truncated_m = truncated[::k].tolist()
        return (
            self._per_match(obs),
            self._per_match(rewards.tolist()),
            [{**dict.fromkeys(self.agents, done), "__all__": done} for done in terminated_m],
            [{**dict.fromkeys(self.agents, done), "__all__": done} for done in truncated_m],
            [{} for _ in range(self.num_envs)],
        )

    def step_rows(self, actions: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        """Play one step with one action per row: each match's agents in `agents` order, match after match.

        A match that restarts ignores its rows' actions. Returns the rows'
        observations, rewards, terminated and truncated flags.
        """
        obs, rewards, terminated, truncated, _ = self._vector.step(actions)
        k = len(self.agents)
        self._restarting = terminated[::k] | truncated[::k]
        self.last_observations = obs
        return obs, rewards, terminated, truncated

    def _per_match(self, rows: Any) -> list[dict[str, Any]]:
        k = len(self.agents)
        return [dict(zip(self.agents, rows[i : i + k])) for i in range(0, len(rows), k)]

    def close_extras(self, **kwargs: Any) -> None:
        self._vector.close()


def _batched(num_envs: int, setup: dict[str, Any]) -> SoccerVectorEnv:
    # The vector face counts learners, not matches.
    learners_per_match = len(MatchSetup(**setup).slots)
    return SoccerVectorEnv(positive_int("num_envs", num_envs) * learners_per_match, **setup)


class SoccerMultiAgentEnvRunner(MultiAgentArraysRunner):
    """RLlib's multi-agent env runner whose environment is one batch of all its matches, recorded as whole arrays."""

    def make_env(self) -> None:
        """Make this runner's `SoccerVectorMultiAgentEnv` from the config's env_config."""
        if self.env is not None:
            self.env.close()
        env_context = self.config.env_config
        self.env = SoccerVectorMultiAgentEnv(self.config.num_envs_per_env_runner, **dict(env_context))
        self.num_envs = self.env.num_envs
        self._needs_initial_reset = True
        make_callback(
            "on_environment_created",
            callbacks_objects=self._callbacks,
            callbacks_functions=self.config.callbacks_on_environment_created,
            kwargs=dict(env_runner=self, metrics_logger=self.metrics, env=self.env.unwrapped, env_context=env_context),
        )
