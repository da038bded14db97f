"""Collecting experience on Ray actors.

    driver: set_policy -> ray.put (once) -> ref -> every actor's next request
    actor k: RolloutRunner = one SoccerVectorEnv of M matches + a policy copy
        -> T steps -> Batch -> object store -> driver

A `RolloutCollector` starts K actors. Each holds a `RolloutRunner`: its own
vector face (same-step autoreset, `num_envs` learner rows), its own worker
pool (RAYON_NUM_THREADS in the actor's runtime env, by default one thread
per CPU that Ray gives the actor) and the policy it was last sent. The same
class runs without Ray: `RolloutRunner(config, actor=k)` in the driver gives
exactly the batches that actor k delivers.

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

Faults: an actor that dies is killed for good and replaced by incarnation
i + 1, which collects the lost request again from scratch (a fresh reset, the
request's own policy). The dead actor's partial work never reaches the
driver and its episodes in progress are dropped; nothing is delivered twice.
Each restart is a `Restart` record: in `collector.restarts`, in the
`Collection` of a synchronous collect, and passed to `on_restart`.

Synchronous use::

    collector = RolloutCollector(2, RolloutConfig(num_envs=64, seed=0))
    collector.set_policy(MLPPolicy.initial(obs_dim=12, n_actions=18, seed=0))
    batch = collector.collect(128).rollout      # obs (128, 128, 12), ...

Asynchronous use (take batches as they arrive, re-arm the actor that delivered)::

    collector.submit(128)                        # every idle actor starts
    for _ in range(updates):
        batch = collector.next()                 # the first to finish
        collector.set_policy(improve(batch))
        collector.submit(128)
"""

from __future__ import annotations

import math
import os
import time
from collections.abc import Callable, Mapping
from dataclasses import dataclass, fields
from typing import Any

import numpy as np
import ray
import ray.cloudpickle
from gymnasium.vector import AutoresetMode

from zorbic.gym_vector import SoccerVectorEnv
from zorbic.match_setup import MatchSetup

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
                raise ValueError(f"w{i} takes {w.shape[0]} inputs but layer {i - 1} gives {frozen[f'w{i - 1}'].shape[1]}")
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
        last = self.layers - 1
        return self.hidden(obs)[-1] @ self.params[f"w{last}"] + self.params[f"b{last}"]

    def probabilities(self, obs: np.ndarray) -> np.ndarray:
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
        return self.rewards.shape[0]

    @property
    def rows(self) -> int:
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
        per_step = {name: np.concatenate([getattr(p, name) for p in parts], axis=1)
                    for name in ("obs", "actions", "rewards", "terminated", "truncated")}
        rows = np.concatenate([p.episode_row + offset for p, offset in zip(parts, offsets)])
        step = np.concatenate([p.episode_step for p in parts])
        order = np.lexsort((rows, step))
        per_episode = {name: np.concatenate([getattr(p, name) for p in parts])[order]
                       for name in ("episode_return", "episode_length", "final_obs")}
        return cls(**per_step, next_obs=np.concatenate([p.next_obs for p in parts]),
                   episode_step=step[order], episode_row=rows[order], **per_episode)


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
        if not isinstance(self.num_envs, int) or isinstance(self.num_envs, bool) or self.num_envs < 1:
            raise ValueError(f"num_envs must be a positive int, got {self.num_envs!r}")
        if not isinstance(self.seed, int) or isinstance(self.seed, bool) or self.seed < 0:
            raise ValueError(f"seed must be a non-negative int, got {self.seed!r}")
        if self.setup is not None and not isinstance(self.setup, Mapping) and not callable(self.setup):
            raise TypeError("setup must be a mapping of MatchSetup keywords or a function that returns one")
        learners = len(MatchSetup(**self.keywords()).slots)
        if self.num_envs % learners:
            raise ValueError(f"num_envs must be a multiple of the {learners} learners per match, got {self.num_envs}")

    def keywords(self) -> dict[str, Any]:
        made = self.setup() if callable(self.setup) else self.setup
        if made is not None and not isinstance(made, Mapping):
            raise TypeError(f"the setup function must return a mapping of MatchSetup keywords, not {type(made).__name__}")
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
        return {"pid": os.getpid(), "threads": os.environ.get("RAYON_NUM_THREADS"),
                "nice": os.getpriority(os.PRIO_PROCESS, 0)}

    def collect(self, steps: int, policy: Policy | None = None, policy_version: int = 0) -> Batch:
        """T steps with the policy given now or last; episodes carry on from the previous batch."""
        if not isinstance(steps, int) or isinstance(steps, bool) or steps < 1:
            raise ValueError(f"steps must be a positive int, got {steps!r}")
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
        actions = np.empty((steps, rows, *space.shape), space.dtype)
        rewards = np.empty((steps, rows))
        terminated = np.empty((steps, rows), np.bool_)
        truncated = np.empty((steps, rows), np.bool_)
        ended: list[tuple[int, np.ndarray, np.ndarray, np.ndarray, np.ndarray]] = []
        for t in range(steps):
            chosen = self.policy(self.obs, self.rng)
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
            obs, actions, rewards, terminated, truncated, self.obs.copy(),
            episode_step=np.concatenate([np.full(len(e[1]), e[0], np.int64) for e in ended] or [np.zeros(0, np.int64)]),
            episode_row=np.concatenate([e[1] for e in ended] or [np.zeros(0, np.int64)]).astype(np.int64),
            episode_return=np.concatenate([e[2] for e in ended] or [np.zeros(0)]),
            episode_length=np.concatenate([e[3] for e in ended] or [np.zeros(0, np.int64)]),
            final_obs=np.concatenate([e[4] for e in ended] or [np.zeros((0, width), np.float32)]),
        )
        batch = Batch(self.actor, self.incarnation, self.rounds, self.policy_version, len(env.batch.slots),
                      time.perf_counter() - start, rollout)
        self.rounds += 1
        return batch


_RemoteRunner = ray.remote(RolloutRunner)


# ---------------------------------------------------------------- collector


@dataclass(frozen=True)
class Restart:
    """An actor died; `incarnation` replaced it and collects request `round` again."""

    actor: int
    incarnation: int
    round: int  # the lost request's round in the dead incarnation's count
    error: str


@dataclass(frozen=True)
class Collection:
    """One synchronous round: every actor's batch, in actor order, and the restarts it took."""

    batches: list[Batch]
    restarts: list[Restart]

    @property
    def rollout(self) -> Rollout:
        return Rollout.join([batch.rollout for batch in self.batches])


@dataclass
class _Request:
    steps: int
    policy: ray.ObjectRef
    version: int
    round: int


class RolloutCollector:
    """K Ray actors collecting rollouts with the policy the driver last set.

    Needs a connected Ray (`ray.init(...)`). Each actor asks Ray for
    `cpus_per_actor` CPUs and runs `threads` worker threads (by default
    one per whole CPU). `actor_options` go to Ray's `.options()` as they are
    (scheduling strategy, resources, ...). An actor may be restarted
    `max_restarts` times; one more death raises.
    """

    def __init__(
        self,
        n_actors: int,
        config: RolloutConfig,
        *,
        cpus_per_actor: float = 1.0,
        threads: int | None = None,
        max_restarts: int = 3,
        on_restart: Callable[[Restart], None] | None = None,
        actor_options: Mapping[str, Any] | None = None,
    ) -> None:
        if not isinstance(n_actors, int) or isinstance(n_actors, bool) or n_actors < 1:
            raise ValueError(f"n_actors must be a positive int, got {n_actors!r}")
        if not isinstance(config, RolloutConfig):
            raise TypeError(f"config must be a RolloutConfig, not {type(config).__name__}")
        if isinstance(cpus_per_actor, bool) or not isinstance(cpus_per_actor, int | float) or not cpus_per_actor > 0:
            raise ValueError(f"cpus_per_actor must be a positive number, got {cpus_per_actor!r}")
        threads = max(1, int(cpus_per_actor)) if threads is None else threads
        if not isinstance(threads, int) or isinstance(threads, bool) or threads < 1:
            raise ValueError(f"threads must be a positive int, got {threads!r}")
        if not isinstance(max_restarts, int) or isinstance(max_restarts, bool) or max_restarts < 0:
            raise ValueError(f"max_restarts must be a non-negative int, got {max_restarts!r}")
        if on_restart is not None and not callable(on_restart):
            raise TypeError("on_restart must be callable with a Restart")
        try:
            ray.cloudpickle.dumps(config)
        except Exception as error:
            raise TypeError(
                f"the set-up cannot be sent to the actors ({error}); give RolloutConfig(setup=...) a function"
                " that builds the keywords instead, so that each actor builds its own parts"
            ) from error
        self.config = config
        self.max_restarts = max_restarts
        self.on_restart = on_restart
        self.restarts: list[Restart] = []
        options = dict(actor_options or {})
        taken = {"num_cpus", "max_restarts"} & set(options)
        if taken:
            raise ValueError(f"actor_options may not set {sorted(taken)}: use cpus_per_actor and max_restarts")
        runtime_env = dict(options.pop("runtime_env", None) or {})
        env_vars = dict(runtime_env.get("env_vars") or {})
        if "RAYON_NUM_THREADS" in env_vars:
            raise ValueError("actor_options may not set RAYON_NUM_THREADS: use threads")
        runtime_env["env_vars"] = {**env_vars, "RAYON_NUM_THREADS": str(threads)}
        # Ray's own restarts would rebuild an actor with its first seeds and
        # repeat its first batches: the collector restarts actors itself.
        self._options = {**options, "num_cpus": cpus_per_actor, "max_restarts": 0, "runtime_env": runtime_env}
        if not ray.is_initialized():
            raise RuntimeError("connect to Ray first: ray.init() locally or ray.init(address=...) on a cluster")
        self._incarnations = [0] * n_actors
        self._rounds = [0] * n_actors
        self._actors = [self._spawn(k) for k in range(n_actors)]
        self._sent_version = [-1] * n_actors
        self._policy: ray.ObjectRef | None = None
        self._version = -1
        self._in_flight: dict[ray.ObjectRef, tuple[int, _Request]] = {}
        self._arrived: list[Batch] = []

    # ----------------------------------------------------------- policy

    def set_policy(self, policy: Policy) -> int:
        """Store `policy` in the object store once; each actor takes it with its next request.

        Returns the policy's version, which the batches it collects carry.
        """
        if not callable(policy):
            raise TypeError(f"a policy must be callable as policy(obs, rng), not {type(policy).__name__}")
        self._policy = ray.put(policy)
        self._version += 1
        return self._version

    # --------------------------------------------------------- requests

    @property
    def n_actors(self) -> int:
        return len(self._actors)

    @property
    def idle(self) -> list[int]:
        busy = {k for k, _ in self._in_flight.values()}
        return [k for k in range(self.n_actors) if k not in busy]

    def submit(self, steps: int) -> list[int]:
        """Every idle actor starts a batch of `steps` steps with the current policy; returns which."""
        if not isinstance(steps, int) or isinstance(steps, bool) or steps < 1:
            raise ValueError(f"steps must be a positive int, got {steps!r}")
        if self._policy is None:
            raise RuntimeError("set a policy first: collector.set_policy(policy)")
        started = self.idle
        for k in started:
            self._send(k, _Request(steps, self._policy, self._version, self._rounds[k]))
        return started

    def next(self, timeout: float | None = None) -> Batch:
        """The next batch to arrive from the submitted requests; restarts and re-asks dead actors."""
        if self._arrived:
            return self._arrived.pop(0)
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            if not self._in_flight:
                raise RuntimeError("no request in flight: submit(steps) first")
            left = None if deadline is None else max(0.0, deadline - time.monotonic())
            ready, _ = ray.wait(list(self._in_flight), num_returns=1, timeout=left)
            if not ready:
                busy = sorted(k for k, _ in self._in_flight.values())
                raise TimeoutError(f"no batch arrived within {timeout} s (actors {busy} still busy)")
            k, request = self._in_flight.pop(ready[0])
            try:
                batch = ray.get(ready[0])
            except (ray.exceptions.RayActorError, ray.exceptions.ObjectLostError) as error:
                # A lost result (its node went down) is a lost batch too.
                self._restart(k, request, error)
                continue
            self._rounds[k] += 1
            return batch

    def collect(self, steps: int, timeout: float | None = None) -> Collection:
        """A synchronous round: `steps` steps from every actor with the current policy."""
        if self._in_flight or self._arrived:
            raise RuntimeError("collect needs every actor idle: take the submitted batches with next() first")
        deadline = None if timeout is None else time.monotonic() + timeout
        first_restart = len(self.restarts)
        self.submit(steps)
        batches: list[Batch] = []
        try:
            while len(batches) < self.n_actors:
                batches.append(self.next(None if deadline is None else max(0.0, deadline - time.monotonic())))
        except BaseException:
            # Keep what arrived: next() hands it out before anything new.
            self._arrived.extend(batches)
            raise
        batches.sort(key=lambda batch: batch.actor)
        return Collection(batches, self.restarts[first_restart:])

    # ---------------------------------------------------------- actors

    def actor(self, k: int) -> ray.actor.ActorHandle:
        """The handle of actor k now (it changes when the actor is restarted)."""
        return self._actors[k]

    def close(self) -> None:
        """Kill every actor; batches in flight are dropped."""
        for handle in self._actors:
            ray.kill(handle, no_restart=True)
        self._in_flight.clear()
        self._arrived.clear()

    def __enter__(self) -> RolloutCollector:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def _spawn(self, k: int) -> ray.actor.ActorHandle:
        return _RemoteRunner.options(**self._options).remote(self.config, k, self._incarnations[k])

    def _send(self, k: int, request: _Request) -> None:
        # Top-level references are resolved by Ray: the actor receives the
        # policy itself, fetched once from the object store.
        policy = request.policy if self._sent_version[k] != request.version else None
        self._sent_version[k] = request.version
        ref = self._actors[k].collect.remote(request.steps, policy, request.version)
        self._in_flight[ref] = (k, request)

    def _restart(self, k: int, request: _Request, error: Exception) -> None:
        # An actor that is only unreachable might come back and work on:
        # kill it for good, so that nothing it did can reach us twice.
        ray.kill(self._actors[k], no_restart=True)
        lives = self._incarnations[k]
        if lives >= self.max_restarts:
            raise RuntimeError(f"actor {k} died {lives + 1} times; giving up") from error
        self._incarnations[k] = lives + 1
        self._rounds[k] = 0
        event = Restart(k, lives + 1, request.round, f"{type(error).__name__}: {error}".splitlines()[0])
        self.restarts.append(event)
        if self.on_restart is not None:
            self.on_restart(event)
        self._actors[k] = self._spawn(k)
        self._sent_version[k] = -1
        self._send(k, _Request(request.steps, request.policy, request.version, 0))
