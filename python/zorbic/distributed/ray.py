"""Collecting experience on Ray actors.

    driver: set_policy -> ray.put (once) -> ref -> every actor's next request
    actor k: RolloutRunner = one SoccerVectorEnv of M matches + a policy copy
        -> T steps -> Batch -> object store -> driver

A `RolloutCollector` starts K actors. Each holds a `zorbic.distributed.rollouts.RolloutRunner`:
its own vector face, its own worker pool (RAYON_NUM_THREADS in the actor's
runtime env, by default one thread per CPU that Ray gives the actor) and the
policy it was last sent; the batches' layout and seeding are described
there. The driver stores each new policy in the object store once
(`set_policy`); an actor receives the reference with its next request and
keeps the copy.

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

import time
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any

import ray
import ray.cloudpickle

from zorbic.common.checks import non_negative_int, positive_int, positive_number
from zorbic.distributed.rollouts import (
    Batch,
    MLPPolicy,
    Policy,
    Rollout,
    RolloutConfig,
    RolloutRunner,
)

__all__ = [
    "Batch",
    "Collection",
    "MLPPolicy",
    "Policy",
    "Restart",
    "Rollout",
    "RolloutCollector",
    "RolloutConfig",
    "RolloutRunner",
]

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
        """The batches joined into one rollout, matches side by side in the order of the actors."""
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
        n_actors = positive_int("n_actors", n_actors)
        if not isinstance(config, RolloutConfig):
            raise TypeError(f"config must be a RolloutConfig, not {type(config).__name__}")
        cpus_per_actor = positive_number("cpus_per_actor", cpus_per_actor)
        threads = positive_int("threads", max(1, int(cpus_per_actor)) if threads is None else threads)
        max_restarts = non_negative_int("max_restarts", max_restarts)
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
        """How many actors collect (restarted ones count once)."""
        return len(self._actors)

    @property
    def idle(self) -> list[int]:
        """The actors with no request in flight, by number."""
        busy = {k for k, _ in self._in_flight.values()}
        return [k for k in range(self.n_actors) if k not in busy]

    def submit(self, steps: int) -> list[int]:
        """Every idle actor starts a batch of `steps` steps with the current policy; returns which."""
        steps = positive_int("steps", steps)
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

    def _spawn(self, k: int) -> Any:
        return _RemoteRunner.options(**self._options).remote(self.config, k, self._incarnations[k])

    def _send(self, k: int, request: _Request) -> None:
        # Top-level references are resolved by Ray: the actor receives the
        # policy itself, fetched once from the object store.
        policy = request.policy if self._sent_version[k] != request.version else None
        self._sent_version[k] = request.version
        ref: Any = self._actors[k].collect.remote(request.steps, policy, request.version)
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
