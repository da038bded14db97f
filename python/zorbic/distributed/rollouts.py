"""Rollouts: T steps of a vector face under a policy, as NumPy arrays.

A `RolloutRunner` holds one vector face (same-step autoreset, `num_envs`
learner rows) and the policy it was last given, and collects a `Batch` of T
steps at a time. It is what every actor of `zorbic.distributed.ray.RolloutCollector`
runs, and it runs the same without Ray: `RolloutRunner(config, actor=k)` in
one process gives exactly the batches that actor k delivers.

A policy is any callable `policy(obs, rng) -> actions`: obs float32 (B, D),
rng the runner's own `numpy.random.Generator`, actions for the B rows in the
face's action space. `MLPPolicy` is one with NumPy parameters. The driver
stores each new policy in the object store once (`set_policy`); an actor
receives the reference with its next request and keeps the copy.

Layout of one actor's `Batch` (T steps, N = num_envs learner rows, D the
observation size; row r is learner slot r % k of match r // k, as in the
vector face):

    obs           float32 (T, N, D)  the observation each action was chosen from
    actions       (T, N) + action shape, the action space's dtype (int64)
    rewards       float64 (T, N)     reward of step t
    terminated    bool (T, N)        step t ended the episode (a goal)
    truncated     bool (T, N)        step t ran out of time
    next_obs      float32 (N, D)     the observation after the last step
    episodes that ended during the batch, E of them, ordered by step then row:
    episode_step   int64 (E,)   the step t that ended it
    episode_row    int64 (E,)   its row
    episode_return float64 (E,) sum of its rewards, from its first step on
                                 (which may lie in an earlier batch)
    episode_length int64 (E,)   its steps
    final_obs      float32 (E, D) its last observation

When step t ends an episode in row r, obs[t + 1, r] (or next_obs) is already
the first observation of the next one; final_obs holds the last. A
`Collection.rollout` joins the actors' batches along the rows: actor k's rows
are k * N ... (k + 1) * N - 1. Arrays that come through Ray are read-only.

Seeds: runner k of incarnation i draws from SeedSequence(seed, spawn_key=(k, i))
(its face's seed and its action sampling), so equal seeds give equal batches.

"""

from __future__ import annotations

import math
import os
import time
from collections.abc import Callable, Mapping
from dataclasses import dataclass, fields
from typing import Any

import numpy as np
from gymnasium.vector import AutoresetMode

from zorbic.common.checks import non_negative_int, positive_int, positive_multiple
from zorbic.core.match_setup import MatchSetup
from zorbic.faces.gym_vector import SoccerVectorEnv

Policy = Callable[[np.ndarray, np.random.Generator], Any]
SetupKeywords = Mapping[str, Any] | Callable[[], Mapping[str, Any]]


# ---------------------------------------------------------------- policies


class MLPPolicy:
    """A tanh MLP over observations with a categorical head for a Discrete action space.

    `params` holds "w0", "b0", ..., "w{L-1}", "b{L-1}": w_i (in, out) and
    b_i (out,), chained from the observation size to the number of actions.
    They are copied as float64 and frozen, so a policy sent to the actors
    never changes under them. Actions are drawn from softmax(logits) by
    inverse transform with one uniform number per row.
    """

    def __init__(self, params: Mapping[str, np.ndarray]) -> None:
        if not isinstance(params, Mapping):
            raise TypeError(f"params must be a mapping of 'w0', 'b0', ... to arrays, not {type(params).__name__}")
        layers = len(params) // 2
        expected = {f"{kind}{i}" for i in range(layers) for kind in "wb"}
        if layers == 0 or set(params) != expected:
            raise ValueError(f"params must hold w0, b0, ..., w{{L-1}}, b{{L-1}}; got keys {sorted(params)}")
        frozen: dict[str, np.ndarray] = {}
        for name in sorted(params, key=lambda key: (int(key[1:]), key[0])):
            array = np.array(params[name], dtype=np.float64)
            if not np.all(np.isfinite(array)):
                raise ValueError(f"params[{name!r}] holds a value that is not finite")
            array.flags.writeable = False
            frozen[name] = array
        for i in range(layers):
            w, b = frozen[f"w{i}"], frozen[f"b{i}"]
            if w.ndim != 2 or b.shape != (w.shape[1],):
                raise ValueError(f"w{i} must be (in, out) and b{i} (out,); got {w.shape} and {b.shape}")
            if i and w.shape[0] != frozen[f"w{i - 1}"].shape[1]:
                raise ValueError(
                    f"w{i} takes {w.shape[0]} inputs but layer {i - 1} gives {frozen[f'w{i - 1}'].shape[1]}"
                )
        self.params = frozen
        self.layers = layers
        self.obs_dim = frozen["w0"].shape[0]
        self.n_actions = frozen[f"w{layers - 1}"].shape[1]

    @classmethod
    def initial(cls, obs_dim: int, n_actions: int, hidden: tuple[int, ...] = (32,), seed: int = 0) -> MLPPolicy:
        """Weights scaled by 1 / sqrt(fan-in), zero biases, a last layer near zero (near-uniform actions)."""
        rng = np.random.default_rng(seed)
        sizes = (obs_dim, *hidden, n_actions)
        params = {}
        for i, (fan_in, fan_out) in enumerate(zip(sizes, sizes[1:])):
            scale = (0.01 if i == len(sizes) - 2 else 1.0) / math.sqrt(fan_in)
            params[f"w{i}"] = rng.normal(0.0, scale, (fan_in, fan_out))
            params[f"b{i}"] = np.zeros(fan_out)
        return cls(params)

    def hidden(self, obs: np.ndarray) -> list[np.ndarray]:
        """The input and every hidden layer's output, float64 (B, width) each: what a gradient needs."""
        x = np.asarray(obs, np.float64)
        if x.ndim != 2 or x.shape[1] != self.obs_dim:
            raise ValueError(f"observations must be (B, {self.obs_dim}), got {x.shape}")
        outputs = [x]
        for i in range(self.layers - 1):
            outputs.append(np.tanh(outputs[-1] @ self.params[f"w{i}"] + self.params[f"b{i}"]))
        return outputs

    def logits(self, obs: np.ndarray) -> np.ndarray:
        """The action logits (B, n_actions) for observations `obs` (B, obs_dim)."""
        last = self.layers - 1
        return self.hidden(obs)[-1] @ self.params[f"w{last}"] + self.params[f"b{last}"]

    def probabilities(self, obs: np.ndarray) -> np.ndarray:
        """The action distribution (B, n_actions) for observations `obs` (B, obs_dim)."""
        logits = self.logits(obs)
        exp = np.exp(logits - logits.max(axis=1, keepdims=True))
        return exp / exp.sum(axis=1, keepdims=True)

    def __call__(self, obs: np.ndarray, rng: np.random.Generator) -> np.ndarray:
        cdf = np.cumsum(self.probabilities(obs), axis=1)
        drawn = rng.random(len(cdf))[:, None] * cdf[:, -1:]
        return np.minimum((cdf <= drawn).sum(axis=1), self.n_actions - 1).astype(np.int64)


# ------------------------------------------------------------------ batches


@dataclass(frozen=True, eq=False)
class Rollout:
    """The arrays of one or more actors' batches, in the layout of the module docstring."""

    obs: np.ndarray
    actions: np.ndarray
    rewards: np.ndarray
    terminated: np.ndarray
    truncated: np.ndarray
    next_obs: np.ndarray
    episode_step: np.ndarray
    episode_row: np.ndarray
    episode_return: np.ndarray
    episode_length: np.ndarray
    final_obs: np.ndarray

    @property
    def steps(self) -> int:
        """The number of steps collected."""
        return self.rewards.shape[0]

    @property
    def rows(self) -> int:
        """The number of learners stepped side by side."""
        return self.rewards.shape[1]

    def equals(self, other: Rollout) -> bool:
        """Every array equal in dtype, shape and bits."""
        return all(
            (mine := getattr(self, f.name)).dtype == (theirs := getattr(other, f.name)).dtype
            and mine.shape == theirs.shape
            and mine.tobytes() == theirs.tobytes()
            for f in fields(self)
        )

    @classmethod
    def join(cls, parts: list[Rollout]) -> Rollout:
        """Side by side along the rows, in the order given; episodes renumbered and reordered."""
        if not parts or len({part.steps for part in parts}) != 1:
            raise ValueError("join needs at least one rollout, all of the same number of steps")
        offsets = np.cumsum([0] + [part.rows for part in parts[:-1]])
        per_step = {
            name: np.concatenate([getattr(p, name) for p in parts], axis=1)
            for name in ("obs", "actions", "rewards", "terminated", "truncated")
        }
        rows = np.concatenate([p.episode_row + offset for p, offset in zip(parts, offsets)])
        step = np.concatenate([p.episode_step for p in parts])
        order = np.lexsort((rows, step))
        per_episode = {
            name: np.concatenate([getattr(p, name) for p in parts])[order]
            for name in ("episode_return", "episode_length", "final_obs")
        }
        return cls(
            **per_step,
            next_obs=np.concatenate([p.next_obs for p in parts]),
            episode_step=step[order],
            episode_row=rows[order],
            **per_episode,
        )


@dataclass(frozen=True, eq=False)
class Batch:
    """One actor's answer to one request: where it comes from, and its rollout."""

    actor: int
    incarnation: int  # 0 for the first actor in this slot, +1 per restart
    round: int  # batches this incarnation delivered before this one
    policy_version: int  # the set_policy call whose policy chose the actions
    learners_per_match: int
    seconds: float  # wall time the runner spent on it, where it ran
    rollout: Rollout

    @property
    def env_steps(self) -> int:
        """Matches stepped: steps times matches."""
        return self.rollout.rewards.size // self.learners_per_match


# ------------------------------------------------------------------- runner


@dataclass(frozen=True)
class RolloutConfig:
    """What every runner of a collector shares.

    num_envs  learner rows per runner (a multiple of the learners per match)
    setup     MatchSetup keywords, or a function that returns them: it is
              called in each runner, for set-up parts that cannot be
              pickled or should be built where they run
    seed      the root of every runner's seeds
    """

    num_envs: int = 64
    setup: SetupKeywords | None = None
    seed: int = 0

    def __post_init__(self) -> None:
        positive_int("num_envs", self.num_envs)
        non_negative_int("seed", self.seed)
        if self.setup is not None and not isinstance(self.setup, Mapping) and not callable(self.setup):
            raise TypeError("setup must be a mapping of MatchSetup keywords or a function that returns one")
        learners = len(MatchSetup(**self.keywords()).slots)
        positive_multiple("num_envs", self.num_envs, learners, "learners per match")

    def keywords(self) -> dict[str, Any]:
        """The MatchSetup keywords, from `setup` or the function that makes them."""
        made = self.setup() if callable(self.setup) else self.setup
        if made is not None and not isinstance(made, Mapping):
            raise TypeError(
                f"the setup function must return a mapping of MatchSetup keywords, not {type(made).__name__}"
            )
        return dict(made or {})


class RolloutRunner:
    """One actor's work, with or without Ray: a face, a policy copy, seeded sampling."""

    def __init__(self, config: RolloutConfig, actor: int = 0, incarnation: int = 0) -> None:
        face_seed, sampling = np.random.SeedSequence(config.seed, spawn_key=(actor, incarnation)).spawn(2)
        self.env = SoccerVectorEnv(config.num_envs, autoreset_mode=AutoresetMode.SAME_STEP, **config.keywords())
        self.actor = actor
        self.incarnation = incarnation
        self.rng = np.random.default_rng(sampling)
        self.policy: Policy | None = None
        self.policy_version = -1
        self.rounds = 0
        self.broken: str | None = None
        self._played = 0
        self.obs, _ = self.env.reset(seed=int(face_seed.generate_state(1)[0]))
        self.returns = np.zeros(config.num_envs)
        self.lengths = np.zeros(config.num_envs, np.int64)

    def describe(self) -> dict[str, Any]:
        """Process id, worker-pool size setting and niceness of the process this runner lives in."""
        return {
            "pid": os.getpid(),
            "threads": os.environ.get("RAYON_NUM_THREADS"),
            "nice": os.getpriority(os.PRIO_PROCESS, 0),
        }

    def collect(self, steps: int, policy: Policy | None = None, policy_version: int = 0) -> Batch:
        """T steps with the policy given now or last; episodes carry on from the previous batch."""
        steps = positive_int("steps", steps)
        if policy is not None:
            if not callable(policy):
                raise TypeError(f"a policy must be callable as policy(obs, rng), not {type(policy).__name__}")
            self.policy, self.policy_version = policy, policy_version
        if self.policy is None:
            raise RuntimeError("no policy yet: give one with the first request")
        if self.broken is not None:
            raise RuntimeError(f"this runner is unusable: {self.broken}; start a new one")
        self._played = 0
        try:
            return self._collect(steps)
        except BaseException as error:
            if self._played:
                # The matches moved on over steps that were never delivered,
                # and the running episode returns hold their rewards.
                self.broken = f"a batch failed after {self._played} steps ({type(error).__name__}: {error})"
            raise

    def _collect(self, steps: int) -> Batch:
        start = time.perf_counter()
        env = self.env
        space = env.single_action_space
        rows, width = self.obs.shape
        obs = np.empty((steps, rows, width), np.float32)
        actions = np.empty((steps, rows, *(space.shape or ())), space.dtype)
        rewards = np.empty((steps, rows))
        terminated = np.empty((steps, rows), np.bool_)
        truncated = np.empty((steps, rows), np.bool_)
        ended: list[tuple[int, np.ndarray, np.ndarray, np.ndarray, np.ndarray]] = []
        policy = self.policy
        assert policy is not None, "collect() refuses to start without a policy"
        for t in range(steps):
            chosen = policy(self.obs, self.rng)
            obs[t] = self.obs
            self.obs, rewards[t], terminated[t], truncated[t], info = env.step(chosen)
            self._played += 1
            actions[t] = chosen
            self.returns += rewards[t]
            self.lengths += 1
            done = np.flatnonzero(terminated[t] | truncated[t])
            if len(done):
                final = np.stack(info["final_obs"][done]).astype(np.float32, copy=False)
                ended.append((t, done, self.returns[done], self.lengths[done], final))
                self.returns[done] = 0.0
                self.lengths[done] = 0
        rollout = Rollout(
            obs,
            actions,
            rewards,
            terminated,
            truncated,
            self.obs.copy(),
            episode_step=np.concatenate([np.full(len(e[1]), e[0], np.int64) for e in ended] or [np.zeros(0, np.int64)]),
            episode_row=np.concatenate([e[1] for e in ended] or [np.zeros(0, np.int64)]).astype(np.int64),
            episode_return=np.concatenate([e[2] for e in ended] or [np.zeros(0)]),
            episode_length=np.concatenate([e[3] for e in ended] or [np.zeros(0, np.int64)]),
            final_obs=np.concatenate([e[4] for e in ended] or [np.zeros((0, width), np.float32)]),
        )
        batch = Batch(
            self.actor,
            self.incarnation,
            self.rounds,
            self.policy_version,
            len(env.batch.slots),
            time.perf_counter() - start,
            rollout,
        )
        self.rounds += 1
        return batch
