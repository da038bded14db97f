"""PPO as the trainer runs it: rollouts act through NumPy on one thread, updates use torch on every core.

A rollout step asks the policy for the actions, values and log-probabilities
of one batch of observations (128 rows of 16 values by default). Through
torch that call costs about 270 us here, nearly all of it per-operation
overhead and the building of a distribution object; the same arithmetic in
NumPy costs about 75 us. So while a rollout is collected, the policy's
forward pass is replaced by `NumpyActing`, which reads the current weights
once per rollout. The updates stay in torch (they need its gradients), and
they run on every core: the engine's pool is idle then, whereas during a
rollout a second torch thread would only spin against it.

Actions are drawn with the Gumbel-max rule from a NumPy generator seeded
with the model's seed, so a run is as reproducible as before. Updates on
two threads finish about a quarter sooner on an otherwise idle machine, but
torch's threads wait for each other by spinning: on a machine whose cores
other processes keep busy, one descheduled thread stalls every operation,
and updates ran 5 to 20 times slower here. `--update-threads 1` avoids it. The
log-probabilities are those of float32 logits, as torch computes them to
within rounding; PPO's first-epoch ratios are then 1 to within about 1e-6.
"""

from __future__ import annotations

import os
from typing import Any

import numpy as np
import torch
from stable_baselines3 import PPO
from threadpoolctl import threadpool_limits

_ACTIVATIONS = {torch.nn.Tanh: np.tanh, torch.nn.ReLU: lambda x: np.maximum(x, np.float32(0))}


def _layers(modules: Any) -> list[tuple[np.ndarray, np.ndarray, Any]] | None:
    """(weight, bias, activation or None) per linear layer, or None for a shape NumPy does not mirror."""
    layers: list[tuple[np.ndarray, np.ndarray, Any]] = []
    for module in modules:
        if isinstance(module, torch.nn.Linear):
            weight = module.weight.detach().cpu().numpy().T.astype(np.float32)
            layers.append((weight, module.bias.detach().cpu().numpy().astype(np.float32), None))
        elif type(module) in _ACTIVATIONS and layers and layers[-1][2] is None:
            weight, bias, _ = layers[-1]
            layers[-1] = (weight, bias, _ACTIVATIONS[type(module)])
        else:
            return None
    return layers


def _run(layers: list[tuple[np.ndarray, np.ndarray, Any]], x: np.ndarray) -> np.ndarray:
    for weight, bias, activation in layers:
        x = x @ weight + bias
        if activation is not None:
            x = activation(x)
    return x


class NumpyActing:
    """An actor-critic MLP policy's forward pass in NumPy: (actions, values, log-probabilities).

    Args:
        policy: stable-baselines3's `ActorCriticPolicy` with flat observations, a discrete
            action space and linear layers with tanh or ReLU (what the trainer builds).
        rng: the generator the actions are drawn from.
    """

    def __init__(self, policy: Any, rng: np.random.Generator) -> None:
        extractor = policy.mlp_extractor
        actor = _layers([*extractor.policy_net, policy.action_net])
        critic = _layers([*extractor.value_net, policy.value_net])
        if actor is None or critic is None:
            raise ValueError("only linear layers with tanh or ReLU can act through NumPy")
        self.actor, self.critic, self.rng = actor, critic, rng

    @staticmethod
    def mirrors(policy: Any) -> bool:
        """Whether `policy` has the shape this class computes."""
        from gymnasium import spaces
        from stable_baselines3.common.torch_layers import FlattenExtractor

        extractor = getattr(policy, "mlp_extractor", None)
        return (
            extractor is not None
            and isinstance(policy.action_space, spaces.Discrete)
            and isinstance(policy.observation_space, spaces.Box)
            and len(policy.observation_space.shape) == 1
            and isinstance(policy.features_extractor, FlattenExtractor)
            and policy.share_features_extractor
            and _layers([*extractor.policy_net, policy.action_net]) is not None
            and _layers([*extractor.value_net, policy.value_net]) is not None
        )

    def __call__(self, obs: torch.Tensor, deterministic: bool = False) -> tuple[torch.Tensor, ...]:
        x = obs.numpy().astype(np.float32, copy=False)
        logits = _run(self.actor, x)
        values = _run(self.critic, x)
        if deterministic:
            actions = logits.argmax(axis=1)
        else:
            # argmax(logits + Gumbel noise) is a draw from softmax(logits).
            actions = (logits + self.rng.gumbel(size=logits.shape)).argmax(axis=1)
        top = logits.max(axis=1)
        log_normaliser = np.log(np.exp(logits - top[:, None]).sum(axis=1)) + top
        log_probs = np.take_along_axis(logits, actions[:, None], axis=1)[:, 0] - log_normaliser
        return torch.from_numpy(actions), torch.from_numpy(values), torch.from_numpy(log_probs)


class TrainerPPO(PPO):
    """stable-baselines3's PPO, acting through `NumpyActing` in rollouts and updating on every core.

    Its saved files are plain PPO files (`PPO.load` reads them). A policy of
    another shape than `NumpyActing` mirrors acts through torch as usual.

    Args:
        update_threads: torch threads during updates (default: the cores this process may use).
        **kwargs: as for `PPO`.
    """

    def __init__(self, *args: Any, update_threads: int | None = None, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.update_threads = update_threads or len(os.sched_getaffinity(0))
        self.acting_rng = np.random.default_rng(self.seed)

    def _excluded_save_params(self) -> list[str]:
        return [*super()._excluded_save_params(), "update_threads", "acting_rng"]

    def learn(self, *args: Any, **kwargs: Any) -> Any:
        # NumPy's BLAS keeps its idle threads spinning for a while after each
        # call: in the updates they took the core torch's second thread
        # needed, and an update took 2.4 times as long as on one BLAS thread.
        # The rollouts' matrices are far too small to gain from threads.
        with threadpool_limits(limits=1, user_api="blas"):
            return super().learn(*args, **kwargs)

    def collect_rollouts(self, *args: Any, **kwargs: Any) -> bool:
        torch.set_num_threads(1)
        if not NumpyActing.mirrors(self.policy):
            return super().collect_rollouts(*args, **kwargs)
        # An instance attribute named forward is what nn.Module.__call__ runs.
        self.policy.forward = NumpyActing(self.policy, self.acting_rng)
        try:
            return super().collect_rollouts(*args, **kwargs)
        finally:
            del self.policy.forward

    def train(self) -> None:
        torch.set_num_threads(self.update_threads)
        try:
            super().train()
        finally:
            torch.set_num_threads(1)
