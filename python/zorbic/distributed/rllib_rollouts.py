"""Rollouts for RLlib recorded as whole arrays, with the episodes built once at their end.

RLlib's env runners append every match's step to its episode object and run
their connector pipelines over all those objects, step after step: tens of
µs per match and step in Python, where the batch steps all its matches in a
few µs. The runners here record each step of the batch as arrays (the
observations, the policy's actions and outputs, rewards and flags) and cut
them into RLlib's episode chunks once per `sample()`.

They produce what RLlib's own runners produce over the same env with the
same seeds: the same chunks, with the same ids across `sample()` calls, the
same lookback and the same metrics. The tests hold them to that. That takes
RLlib's default pipelines (observations as the module's input, actions
drawn from its action distribution) and no per-episode callbacks; a config
with its own connectors or episode callbacks, a stateful module, or a call
that asks for episodes or random actions gets RLlib's own loop.
"""

from __future__ import annotations

import time
import uuid
from dataclasses import dataclass, field
from typing import Any

import gymnasium as gym
import numpy as np
import torch
from ray.rllib.callbacks.callbacks import RLlibCallback
from ray.rllib.core.columns import Columns
from ray.rllib.env.env_runner import ENV_STEP_FAILURE
from ray.rllib.env.single_agent_env_runner import SingleAgentEnvRunner
from ray.rllib.env.single_agent_episode import SingleAgentEpisode
from ray.rllib.utils.metrics import RLMODULE_INFERENCE_TIMER, WEIGHTS_SEQ_NO
from ray.rllib.utils.numpy import convert_to_numpy

from zorbic.faces.gym_vector import SoccerVectorEnv

__all__ = ["SoccerEnvRunner"]

_EPISODE_HOOKS = ("created", "start", "step", "end")


def default_pipelines(runner: Any) -> bool:
    """Whether `runner` samples the way the recorded rollout reproduces."""
    config = runner.config
    return (
        config._env_to_module_connector is None
        and config._module_to_env_connector is None
        and config.add_default_connectors_to_env_to_module_pipeline
        and config.add_default_connectors_to_module_to_env_pipeline
        and config.episodes_to_numpy
        and all(type(callbacks) is RLlibCallback for callbacks in runner._callbacks)
        and all(getattr(config, f"callbacks_on_episode_{hook}") is None for hook in _EPISODE_HOOKS)
    )


def policy_step(module: Any, observations: np.ndarray, explore: bool, t: int) -> tuple[np.ndarray, dict]:
    """One forward pass over every row, then actions drawn as RLlib's GetActions draws them."""
    batch = {Columns.OBS: torch.from_numpy(observations)}
    if explore:
        outputs = module.forward_exploration(batch, t=t)
        distribution = module.get_exploration_action_dist_cls().from_logits(outputs[Columns.ACTION_DIST_INPUTS])
    else:
        outputs = module.forward_inference(batch)
        distribution = module.get_inference_action_dist_cls().from_logits(outputs[Columns.ACTION_DIST_INPUTS])
        distribution = distribution.to_deterministic()
    outputs[Columns.ACTIONS] = actions = distribution.sample()
    if Columns.ACTION_LOGP not in outputs:
        outputs[Columns.ACTION_LOGP] = distribution.logp(actions)
    # As RLlib's TensorToNumpy, which narrows int64 and float64 to 32 bits.
    narrowed: Any = convert_to_numpy(outputs)
    return narrowed.pop(Columns.ACTIONS), narrowed


@dataclass
class Rollout:
    """Steps of a batch of rows, each array indexed [step, row].

    A row's step with `restarting` set starts its episode anew: the env
    ignored its action and returned the first observation of the next
    episode (next-step autoreset), and the step is not counted.
    """

    observations: list[np.ndarray]
    actions: list[np.ndarray] = field(default_factory=list)
    outputs: list[dict[str, np.ndarray]] = field(default_factory=list)
    rewards: list[np.ndarray] = field(default_factory=list)
    terminated: list[np.ndarray] = field(default_factory=list)
    truncated: list[np.ndarray] = field(default_factory=list)
    restarting: list[np.ndarray] = field(default_factory=list)

    def add(
        self,
        actions: np.ndarray,
        outputs: dict,
        observations: Any,
        rewards: Any,
        terminated: Any,
        truncated: Any,
        restarting: np.ndarray,
    ) -> None:
        self.actions.append(actions)
        self.outputs.append(outputs)
        # The batch may hand out its own buffers again on the next step.
        self.observations.append(np.array(observations))
        self.rewards.append(np.array(rewards))
        self.terminated.append(np.array(terminated, np.bool_))
        self.truncated.append(np.array(truncated, np.bool_))
        self.restarting.append(restarting)

    def stacked(self) -> StackedRollout:
        outputs = {key: np.stack([step[key] for step in self.outputs]) for key in self.outputs[0]}
        return StackedRollout(
            np.stack(self.observations),
            np.stack(self.actions),
            outputs,
            np.stack(self.rewards),
            np.stack(self.terminated),
            np.stack(self.truncated),
            np.stack(self.restarting),
        )


@dataclass
class StackedRollout:
    observations: np.ndarray  # [step + 1, row, ...]: the row's observation before each step, then the last
    actions: np.ndarray
    outputs: dict[str, np.ndarray]
    rewards: np.ndarray
    terminated: np.ndarray
    truncated: np.ndarray
    restarting: np.ndarray


def row_chunks(
    rollout: StackedRollout,
    row: int,
    ongoing: SingleAgentEpisode,
    weights_seq_no: int,
    spaces: tuple[gym.Space, gym.Space],
    started: float,
    **episode_keywords: Any,
) -> list[tuple[int, SingleAgentEpisode]]:
    """The episode chunks of one row, each with the step it ended at (-1: still running).

    The first continues `ongoing` (RLlib's cut of the last chunk, or an empty
    episode when the row restarts at the rollout's first step).
    """
    n_steps = len(rollout.actions)
    starts = np.flatnonzero(rollout.restarting[:, row]).tolist()
    chunks: list[tuple[int, int, SingleAgentEpisode | None]] = []
    if not starts or starts[0] > 0:
        end = starts[0] if starts else n_steps
        chunks.append((0, end, ongoing))
    for k, start in enumerate(starts):
        end = starts[k + 1] if k + 1 < len(starts) else n_steps
        # The restart step gives the first observation; the episode's steps follow it.
        chunks.append((start + 1, end, None))
    now = time.perf_counter()
    built = []
    for first, end, before in chunks:
        episode = _chunk(rollout, row, first, end, before, weights_seq_no, spaces, **episode_keywords)
        # Durations are the rollout's, not each step's: the steps were not timed one by one.
        # (RLlib types these clocks as None.)
        episode._start_time = before._start_time if before is not None and before._start_time else started  # type: ignore[assignment]
        episode._last_step_time = now if len(episode) else None  # type: ignore[assignment]
        last = end - 1
        done = end > first and bool(rollout.terminated[last, row] or rollout.truncated[last, row])
        built.append((last if done else -1, episode))
    return built


def _chunk(
    rollout: StackedRollout,
    row: int,
    first: int,
    end: int,
    before: SingleAgentEpisode | None,
    weights_seq_no: int,
    spaces: tuple[gym.Space, gym.Space],
    **episode_keywords: Any,
) -> SingleAgentEpisode:
    steps = slice(first, end)
    # Arrays where RLlib's signature names lists: its buffers take both, and count arrays as finalized.
    observations: Any = rollout.observations[first : end + 1, row]
    actions: Any = rollout.actions[steps, row]
    rewards: Any = rollout.rewards[steps, row]
    outputs = {key: value[steps, row] for key, value in rollout.outputs.items()}
    outputs[WEIGHTS_SEQ_NO] = np.full(end - first, weights_seq_no)
    if before is None:
        episode_id, t_started, lookback, custom = uuid.uuid4().hex, 0, 0, {}
    else:
        episode_id, t_started, custom = before.id_, before.t_started, before._custom_data
        lookback = before.rewards.lookback
        observations = _joined(before.observations.data[:-1], observations)
        actions = _joined(before.actions.data, actions)
        rewards = _joined(before.rewards.data, rewards)
        kept = before.extra_model_outputs
        outputs = {key: _joined(kept[key].data if key in kept else [], value) for key, value in outputs.items()}
    last = end - 1
    ended = end > first
    episode = SingleAgentEpisode(
        episode_id,
        observations=observations,
        observation_space=spaces[0],
        infos=[{} for _ in range(len(observations))],
        actions=actions,
        action_space=spaces[1],
        rewards=rewards,
        terminated=ended and bool(rollout.terminated[last, row]),
        truncated=ended and bool(rollout.truncated[last, row]),
        extra_model_outputs=outputs,
        t_started=t_started,
        len_lookback_buffer=lookback,
        **episode_keywords,
    )
    episode._custom_data = custom
    return episode


def _joined(lookback: Any, data: np.ndarray) -> np.ndarray:
    if len(lookback) == 0:
        return np.ascontiguousarray(data)
    return np.concatenate([np.asarray(lookback, dtype=data.dtype).reshape(-1, *data.shape[1:]), data])


class SoccerEnvRunner(SingleAgentEnvRunner):
    """RLlib's single-agent env runner, recording the native VectorEnv's steps as whole arrays."""

    def _sample(
        self,
        *,
        num_timesteps: int | None = None,
        num_episodes: int | None = None,
        explore: bool,
        random_actions: bool = False,
        force_reset: bool = False,
    ) -> list[SingleAgentEpisode]:
        if num_timesteps is None or random_actions or not self._records_arrays():
            return super()._sample(
                num_timesteps=num_timesteps,
                num_episodes=num_episodes,
                explore=explore,
                random_actions=random_actions,
                force_reset=force_reset,
            )
        if force_reset or self._needs_initial_reset:
            self._reset_envs_and_episodes(explore)
        # RLlib's loop hands out finished episodes in the order they ended.
        done: list[tuple[int, int, int, SingleAgentEpisode]] = []
        ts = attempt = 0
        while ts < num_timesteps:
            started = time.perf_counter()
            rollout, counted, failed = self._record(num_timesteps - ts, explore)
            ts = 0 if failed else ts + counted
            ongoing = self._build(rollout, done, attempt, started, keep_ongoing=not failed)
            if failed:
                attempt += 1
                self._reset_envs_and_episodes(explore)
        done.sort(key=lambda entry: entry[:3])
        finished = [episode for *_, episode in done]
        self._done_episodes_for_metrics.extend(finished)
        for episode in ongoing:
            self._ongoing_episodes_for_metrics[episode.id_].append(episode)
        self._log_env_steps(metric=self._metrics_num_env_steps_sampled, num_steps=ts)
        self._increase_sampled_metrics(ts, len(finished))
        return finished + ongoing

    def _records_arrays(self) -> bool:
        if not hasattr(self, "_whole_arrays"):
            env = self.env.unwrapped if self.env is not None else None
            self._whole_arrays = (
                isinstance(env, SoccerVectorEnv)
                and env.autoreset_mode == gym.vector.AutoresetMode.NEXT_STEP
                and isinstance(env.single_observation_space, gym.spaces.Box)
                and self.module is not None
                and not self.module.is_stateful()
                and default_pipelines(self)
            )
        return self._whole_arrays

    def _record(self, num_timesteps: int, explore: bool) -> tuple[StackedRollout | None, int, bool]:
        """Step until `num_timesteps` counted steps; the flag says whether the env failed."""
        cached: Any = self._cached_to_module
        episodes: list[Any] = self._ongoing_episodes
        observations = np.asarray(cached[Columns.OBS])
        restarting = np.array([not episode.is_reset for episode in episodes])
        rollout = Rollout([np.array(observations)])
        runners = self.config.num_env_runners or 1
        counted = 0
        while counted < num_timesteps:
            t = (self.num_env_steps_sampled_lifetime // runners + counted) * runners
            with self.metrics.log_time(RLMODULE_INFERENCE_TIMER):
                actions, outputs = policy_step(self.module, observations, explore, t)
            results = self._try_env_step(actions)
            if results == ENV_STEP_FAILURE:
                return rollout.stacked() if rollout.actions else None, counted, True
            observations, rewards, terminated, truncated, infos = results
            if any(infos):
                raise RuntimeError("the whole-array rollout keeps no infos, but the env returned some")
            rollout.add(actions, outputs, observations, rewards, terminated, truncated, restarting)
            counted += int(restarting.size - np.count_nonzero(restarting))
            restarting = rollout.terminated[-1] | rollout.truncated[-1]
        self._cached_to_module = {Columns.OBS: torch.from_numpy(rollout.observations[-1])}  # type: ignore[assignment]
        return rollout.stacked(), counted, False

    def _build(
        self, rollout: StackedRollout | None, done: list, attempt: int, started: float, *, keep_ongoing: bool
    ) -> list[SingleAgentEpisode]:
        """Cut `rollout` into chunks: finished ones go to `done`, the rest are returned and continued."""
        ongoing: list[SingleAgentEpisode] = []
        if rollout is None:
            return ongoing
        env: Any = self.env
        episodes: list[Any] = self._ongoing_episodes
        spaces = (env.single_observation_space, env.single_action_space)
        for row in range(self.num_envs):
            for ended_at, episode in row_chunks(rollout, row, episodes[row], self._weights_seq_no, spaces, started):
                if ended_at >= 0:
                    done.append((attempt, ended_at, row, episode))
                    episodes[row] = SingleAgentEpisode(observation_space=spaces[0], action_space=spaces[1])
                else:
                    episodes[row] = episode
        if not keep_ongoing:
            return ongoing
        lookback = self.config.episode_lookback_horizon
        self._ongoing_episodes = [episode.cut(len_lookback_buffer=lookback) for episode in episodes]
        for episode in episodes:
            if episode.t > 0:
                episode.validate()
                ongoing.append(episode)
        return ongoing
