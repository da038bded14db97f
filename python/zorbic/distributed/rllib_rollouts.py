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
with its own connectors or episode callbacks, a stateful module, continuous
actions, or a call that asks for episodes or random actions gets RLlib's
own loop.
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
from ray.rllib.env.env_runner import ENV_STEP_FAILURE, NUM_ENV_STEP_FAILURES_LIFETIME
from ray.rllib.env.multi_agent_env_runner import MultiAgentEnvRunner
from ray.rllib.env.multi_agent_episode import MultiAgentEpisode
from ray.rllib.env.single_agent_env_runner import SingleAgentEnvRunner
from ray.rllib.env.single_agent_episode import SingleAgentEpisode
from ray.rllib.env.utils.infinite_lookback_buffer import InfiniteLookbackBuffer
from ray.rllib.utils.metrics import (
    ENV_STEP_TIMER,
    NUM_AGENT_STEPS_SAMPLED,
    NUM_AGENT_STEPS_SAMPLED_LIFETIME,
    NUM_ENV_STEPS_SAMPLED,
    NUM_ENV_STEPS_SAMPLED_LIFETIME,
    NUM_EPISODES,
    NUM_EPISODES_LIFETIME,
    NUM_MODULE_STEPS_SAMPLED,
    NUM_MODULE_STEPS_SAMPLED_LIFETIME,
    RLMODULE_INFERENCE_TIMER,
    WEIGHTS_SEQ_NO,
)
from ray.rllib.utils.numpy import convert_to_numpy

from zorbic.faces.gym_vector import SoccerVectorEnv

__all__ = ["MultiAgentArraysRunner", "SoccerEnvRunner"]

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


def plain_spaces(observation_space: gym.Space, action_space: gym.Space) -> bool:
    """Observations that are the module's input as they are, and actions the env takes as drawn.

    RLlib clips and unsquashes Box actions between the module and the env;
    the recorded rollout does not.
    """
    return isinstance(observation_space, gym.spaces.Box) and isinstance(
        action_space, (gym.spaces.Discrete, gym.spaces.MultiDiscrete)
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
    outputs: list[dict[str, np.ndarray] | None] = field(default_factory=list)
    rewards: list[np.ndarray] = field(default_factory=list)
    terminated: list[np.ndarray] = field(default_factory=list)
    truncated: list[np.ndarray] = field(default_factory=list)
    restarting: list[np.ndarray] = field(default_factory=list)

    def add(
        self,
        actions: np.ndarray,
        outputs: dict | None,
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
        # A step where every row restarted drew nothing; its outputs are never read.
        first = next(k for k, step in enumerate(self.outputs) if step is not None)
        drawn: Any = self.outputs[first]
        acted = self.actions[first]
        steps = [
            {key: np.zeros_like(value) for key, value in drawn.items()} if step is None else step
            for step in self.outputs
        ]
        outputs = {key: np.stack([step[key] for step in steps]) for key in drawn}
        actions = [acted if step is None else taken for step, taken in zip(self.outputs, self.actions)]
        return StackedRollout(
            np.stack(self.observations),
            np.stack(actions),
            outputs,
            np.stack(self.rewards),
            np.stack(self.terminated),
            np.stack(self.truncated),
            np.stack(self.restarting),
        )


@dataclass
class StackedRollout:
    """A `Rollout` as arrays indexed [step, row, ...]."""

    observations: np.ndarray  # [step + 1, row, ...]: the row's observation before each step, then the last
    actions: np.ndarray
    outputs: dict[str, np.ndarray]
    rewards: np.ndarray
    terminated: np.ndarray
    truncated: np.ndarray
    restarting: np.ndarray


def segments(restarting: np.ndarray) -> list[tuple[int, int, bool]]:
    """A row's episode pieces in a rollout: (first step, end step, continues the ongoing chunk).

    A restart step gives an episode's first observation; its steps follow it.
    """
    starts = np.flatnonzero(restarting).tolist()
    n_steps = len(restarting)
    pieces = []
    if not starts or starts[0] > 0:
        pieces.append((0, starts[0] if starts else n_steps, True))
    for k, start in enumerate(starts):
        pieces.append((start + 1, starts[k + 1] if k + 1 < len(starts) else n_steps, False))
    return pieces


def ended_at(rollout: StackedRollout, row: int, first: int, end: int) -> int:
    """The step at which the piece's episode ended, or -1 while it runs on."""
    last = end - 1
    done = end > first and bool(rollout.terminated[last, row] or rollout.truncated[last, row])
    return last if done else -1


def timed(episode: Any, before: Any, started: float, now: float) -> Any:
    # Durations are the rollout's, not each step's: the steps were not timed one by one.
    episode._start_time = before._start_time if before is not None and before._start_time else started
    episode._last_step_time = now if len(episode) else None
    return episode


def chunk(
    rollout: StackedRollout,
    row: int,
    first: int,
    end: int,
    before: SingleAgentEpisode | None,
    weights_seq_no: int,
    spaces: tuple[gym.Space, gym.Space],
    **episode_keywords: Any,
) -> SingleAgentEpisode:
    """One row's steps [first, end) as a chunk that continues `before` (a cut of the last one) or starts anew."""
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


class _RecordsArrays:
    """The sampling both runners share: record, build, and start over after a failing env."""

    def _sample(
        self,
        *,
        num_timesteps: int | None = None,
        num_episodes: int | None = None,
        explore: bool,
        random_actions: bool = False,
        force_reset: bool = False,
    ) -> list:
        runner: Any = self
        if not num_timesteps or random_actions or not runner._records_arrays():
            return super()._sample(  # type: ignore[misc]
                num_timesteps=num_timesteps,
                num_episodes=num_episodes,
                explore=explore,
                random_actions=random_actions,
                force_reset=force_reset,
            )
        if force_reset or runner._needs_initial_reset:
            runner._reset_envs_and_episodes(explore)
        # RLlib's loops hand out finished episodes in the order they ended.
        done: list[tuple[int, int, int, Any]] = []
        counted = attempt = 0
        while counted < num_timesteps:
            started = time.perf_counter()
            rollout, steps, failed = runner._record(num_timesteps - counted, explore)
            # As in RLlib's loops, a failure drops what runs on and starts the count again.
            counted = 0 if failed else counted + steps
            ongoing = runner._build(rollout, done, attempt, started, keep_ongoing=not failed)
            if failed:
                attempt += 1
                runner._reset_envs_and_episodes(explore)
        done.sort(key=lambda entry: entry[:3])
        finished = [episode for *_, episode in done]
        runner._done_episodes_for_metrics.extend(finished)
        for episode in ongoing:
            runner._ongoing_episodes_for_metrics[episode.id_].append(episode)
        runner._count(counted, len(finished))
        return finished + ongoing

    def _build(
        self, rollout: StackedRollout | None, done: list, attempt: int, started: float, *, keep_ongoing: bool
    ) -> list:
        """Cut `rollout` into episode chunks: finished ones go to `done`, the rest are returned and continued.

        The runner's episodes are those of its rows (single-agent) or matches
        (multi-agent); `_first_rows` gives each one's first row.
        """
        ongoing: list = []
        if rollout is None:
            return ongoing
        runner: Any = self
        episodes = runner._ongoing_episodes
        now = time.perf_counter()
        for index, row in enumerate(runner._first_rows()):
            for first, end, continues in segments(rollout.restarting[:, row]):
                before = episodes[index] if continues else None
                episode = runner._piece(rollout, row, first, end, before)
                episodes[index] = timed(episode, before, started, now)
                when = ended_at(rollout, row, first, end)
                if when >= 0:
                    done.append((attempt, when, index, episode))
                    episodes[index] = runner._new_episode_to_come()
        if not keep_ongoing:
            return ongoing
        lookback = runner.config.episode_lookback_horizon
        runner._ongoing_episodes = [episode.cut(len_lookback_buffer=lookback) for episode in episodes]
        for episode in episodes:
            # A chunk that holds no step yet (its episode restarts now) is not handed out.
            if len(episode):
                episode.validate()
                ongoing.append(episode)
        return ongoing


class SoccerEnvRunner(_RecordsArrays, SingleAgentEnvRunner):
    """RLlib's single-agent env runner, recording the native VectorEnv's steps as whole arrays."""

    def _count(self, env_steps: int, episodes: int) -> None:
        self._log_env_steps(metric=self._metrics_num_env_steps_sampled, num_steps=env_steps)
        self._increase_sampled_metrics(env_steps, episodes)

    def _records_arrays(self) -> bool:
        if not hasattr(self, "_whole_arrays"):
            env = self.env.unwrapped if self.env is not None else None
            self._whole_arrays = (
                isinstance(env, SoccerVectorEnv)
                and env.autoreset_mode == gym.vector.AutoresetMode.NEXT_STEP
                and plain_spaces(env.single_observation_space, env.single_action_space)
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

    def _first_rows(self) -> range:
        return range(self.num_envs)

    def _piece(
        self, rollout: StackedRollout, row: int, first: int, end: int, before: SingleAgentEpisode | None
    ) -> SingleAgentEpisode:
        env: Any = self.env
        spaces = (env.single_observation_space, env.single_action_space)
        return chunk(rollout, row, first, end, before, self._weights_seq_no, spaces)

    def _new_episode_to_come(self) -> SingleAgentEpisode:
        env: Any = self.env
        return SingleAgentEpisode(observation_space=env.single_observation_space, action_space=env.single_action_space)


class MultiAgentArraysRunner(_RecordsArrays, MultiAgentEnvRunner):
    """RLlib's multi-agent env runner over a batch of matches whose agents all act every step.

    Its env has RLlib's vector face (per-match dicts, for RLlib's own loop)
    and a row face: `agents`, `num_envs` matches, `last_observations` (one
    row per agent of each match, match after match) and `step_rows(actions)`.
    One policy serves every agent; with more, RLlib's loop runs.
    """

    def _records_arrays(self) -> bool:
        if not hasattr(self, "_whole_arrays"):
            module: Any = self.module
            env: Any = self.env
            self._whole_arrays = (
                hasattr(env, "step_rows")
                and all(map(plain_spaces, env.single_observation_spaces.values(), env.single_action_spaces.values()))
                and module is not None
                and len(module.keys()) == 1
                and not next(iter(module.values())).is_stateful()
                and self.config.count_steps_by == "env_steps"
                and default_pipelines(self)
            )
        return self._whole_arrays

    def _record(self, num_timesteps: int, explore: bool) -> tuple[StackedRollout | None, int, bool]:
        """Step until `num_timesteps` counted env steps; the flag says whether the env failed."""
        env: Any = self.env
        module = next(iter(self.module.values()))  # type: ignore[union-attr]
        k = len(env.agents)
        episodes: list[Any] = self._ongoing_episodes
        restarting = np.repeat([not episode.is_reset for episode in episodes], k)
        observations = env.last_observations
        rollout = Rollout([np.array(observations)])
        # RLlib's loop leaves the matches that restart out of the forward pass and batches
        # each other match's agents in the order of a set of their ids: drawing the same
        # rows in that order draws the same actions from the same seed.
        in_set_order = [env.agents.index(agent) for agent in set(env.agents)]
        runners = self.config.num_env_runners or 1
        counted = 0
        while counted < num_timesteps:
            t = (self.num_env_steps_sampled_lifetime // runners + counted) * runners
            rows = (np.flatnonzero(~restarting[::k])[:, None] * k + in_set_order).reshape(-1)
            outputs = None
            if rows.size:
                with self.metrics.log_time(RLMODULE_INFERENCE_TIMER):
                    drawn, drawn_outputs = policy_step(module, observations[rows], explore, t)
                outputs = {Columns.ACTIONS: drawn, **drawn_outputs}
                for key, value in outputs.items():
                    outputs[key] = np.zeros((len(restarting), *value.shape[1:]), value.dtype)
                    outputs[key][rows] = value
            # The restarting matches' rows are ignored by the env.
            actions = outputs.pop(Columns.ACTIONS) if outputs else np.zeros(len(restarting), np.int64)
            try:
                with self.metrics.log_time(ENV_STEP_TIMER):
                    observations, rewards, terminated, truncated = env.step_rows(actions)
            except Exception as error:
                if not self._recovers_from(error):
                    raise RuntimeError("the env failed to step") from error
                return rollout.stacked() if rollout.actions else None, counted, True
            # RLlib ends an agent's episode as terminated once every agent is done, time-outs included.
            rollout.add(actions, outputs, observations, rewards, terminated | truncated, truncated, restarting)
            counted += int(restarting.size - np.count_nonzero(restarting)) // k
            restarting = rollout.terminated[-1]
        return rollout.stacked(), counted, False

    def _recovers_from(self, error: Exception) -> bool:
        # As RLlib's runner: count the failure, then make a new env if the config says so.
        self.metrics.log_value(NUM_ENV_STEP_FAILURES_LIFETIME, 1, reduce="lifetime_sum")
        if self.config.restart_failed_sub_environments:
            self.make_env()
            return True
        return False

    def _count(self, env_steps: int, episodes: int) -> None:
        if episodes:
            self.metrics.log_value(NUM_EPISODES, episodes, reduce="sum")
            self.metrics.log_value(NUM_EPISODES_LIFETIME, episodes, reduce="lifetime_sum")
        agents = self.env.agents  # type: ignore[union-attr]
        self._log_env_steps(metric=self._metrics_num_env_steps_sampled, num_steps=env_steps)
        self.metrics.log_value(NUM_ENV_STEPS_SAMPLED, env_steps, reduce="sum")
        self.metrics.log_value(NUM_ENV_STEPS_SAMPLED_LIFETIME, env_steps, reduce="lifetime_sum", with_throughput=True)
        module_id = next(iter(self.module.keys()))  # type: ignore[union-attr]
        for agent in agents:
            self.metrics.log_value((NUM_AGENT_STEPS_SAMPLED, str(agent)), env_steps, reduce="sum")
            self.metrics.log_value((NUM_AGENT_STEPS_SAMPLED_LIFETIME, str(agent)), env_steps, reduce="lifetime_sum")
        agent_steps = env_steps * len(agents)
        self.metrics.log_value((NUM_MODULE_STEPS_SAMPLED, module_id), agent_steps, reduce="sum")
        self.metrics.log_value((NUM_MODULE_STEPS_SAMPLED_LIFETIME, module_id), agent_steps, reduce="lifetime_sum")

    def _first_rows(self) -> range:
        env: Any = self.env
        return range(0, env.num_envs * len(env.agents), len(env.agents))

    def _piece(
        self, rollout: StackedRollout, first_row: int, first: int, end: int, before: MultiAgentEpisode | None
    ) -> MultiAgentEpisode:
        rows = range(first_row, first_row + len(self.env.agents))  # type: ignore[union-attr]
        return self._match_chunk(rollout, rows, first, end, self._fresh_episode() if before is None else before)

    def _new_episode_to_come(self) -> MultiAgentEpisode:
        return self._fresh_episode()

    def _fresh_episode(self) -> MultiAgentEpisode:
        # RLlib types these as one space and a two-argument function; its runner passes dicts and its config's.
        env: Any = self.env
        spaces: Any = (dict(env.single_observation_spaces), dict(env.single_action_spaces))
        mapping: Any = self.config.policy_mapping_fn
        return MultiAgentEpisode(
            observation_space=spaces[0], action_space=spaces[1], agent_to_module_mapping_fn=mapping
        )

    def _match_chunk(
        self, rollout: StackedRollout, rows: range, first: int, end: int, before: Any
    ) -> MultiAgentEpisode:
        """The match's steps [first, end) continuing `before` (a cut, or a fresh episode to begin)."""
        continues = before.is_reset
        episode = MultiAgentEpisode(
            before.id_,
            observation_space=before.observation_space,
            action_space=before.action_space,
            env_t_started=before.env_t_started,
            agent_t_started=dict(before.agent_t_started),
            agent_module_ids=dict(before._agent_to_module_mapping),
            agent_to_module_mapping_fn=before.agent_to_module_mapping_fn,
            len_lookback_buffer=before._len_lookback_buffers,
        )
        length = end - first
        episode.env_t = before.env_t_started + length
        episode._hanging_rewards_begin = before._hanging_rewards_begin.copy()
        episode._custom_data = before._custom_data
        spaces_of = before.observation_space, before.action_space
        for agent, row in zip(self.env.agents, rows):  # type: ignore[union-attr]
            steps = before.env_t_to_agent_t[agent] if continues else InfiniteLookbackBuffer([])
            t0 = episode.agent_t_started[agent]
            agent_before = before.agent_episodes[agent] if continues else None
            keywords = dict(agent_id=agent, module_id=episode.module_for(agent), multi_agent_episode_id=episode.id_)
            spaces = (spaces_of[0][agent], spaces_of[1][agent])
            episode.agent_episodes[agent] = chunk(
                rollout, row, first, end, agent_before, self._weights_seq_no, spaces, **keywords
            )
            counted = list(range(t0 - len(steps.data) + 1 if continues else 0, t0 + length + 1))
            episode.env_t_to_agent_t[agent] = InfiniteLookbackBuffer(counted, lookback=steps.lookback)
        if length:
            last = end - 1
            episode.is_terminated = bool(rollout.terminated[last, rows[0]])
            episode.is_truncated = bool(rollout.truncated[last, rows[0]])
        return episode
