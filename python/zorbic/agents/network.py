"""A trained policy's network, run with NumPy alone.

The network is a plain multi-layer perceptron: hidden layers with one
activation, then a linear layer of action logits. A discrete action space
has one set of logits; a multi-discrete one a set per dimension, side by
side, each its own categorical distribution. The weights are kept in
float64 so that the most likely action and the probabilities agree with
the single-precision network they came from to well within 1e-5.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

ACTIVATIONS: dict[str, Callable[[np.ndarray], np.ndarray]] = {
    "tanh": np.tanh,
    "relu": lambda x: np.maximum(x, 0.0),
}


class Agent:
    """A policy rebuilt from an agent file: observations in, actions out.

    Args:
        weights: (fan_in, fan_out) matrices, one per layer, the last giving the logits.
        biases: (fan_out,) vectors, one per layer.
        activation: the hidden layers' activation, one of `ACTIVATIONS`.
        action_dims: the sizes of the categorical distributions the logits split into.
        setup: the saved set-up of the matches it was trained on (see `zorbic.agents.setup`).
    """

    def __init__(
        self,
        weights: Sequence[np.ndarray],
        biases: Sequence[np.ndarray],
        activation: str,
        action_dims: Sequence[int],
        setup: dict[str, Any] | None = None,
    ) -> None:
        if activation not in ACTIVATIONS:
            raise ValueError(f"activation must be one of {sorted(ACTIVATIONS)}, got {activation!r}")
        if not weights or len(weights) != len(biases):
            raise ValueError("an agent needs one bias vector per weight matrix, and at least one layer")
        for i, (w, b) in enumerate(zip(weights, biases)):
            if w.ndim != 2 or b.shape != (w.shape[1],):
                raise ValueError(f"layer {i}: weights {w.shape} and bias {b.shape} do not form a layer")
            if i and w.shape[0] != weights[i - 1].shape[1]:
                raise ValueError(f"layer {i} takes {w.shape[0]} inputs, layer {i - 1} gives {weights[i - 1].shape[1]}")
            if not (np.all(np.isfinite(w)) and np.all(np.isfinite(b))):
                raise ValueError(f"layer {i} has weights that are not finite")
        if sum(action_dims) != weights[-1].shape[1] or min(action_dims, default=0) < 1:
            raise ValueError(f"action sizes {list(action_dims)} do not split {weights[-1].shape[1]} logits")
        self.weights = [np.asarray(w, np.float64) for w in weights]
        self.biases = [np.asarray(b, np.float64) for b in biases]
        self.activation = activation
        self.action_dims = [int(n) for n in action_dims]
        self.setup = setup
        self._splits = np.cumsum(self.action_dims)[:-1]

    @property
    def obs_dim(self) -> int:
        """The length of one observation."""
        return int(self.weights[0].shape[0])

    def logits(self, obs: np.ndarray) -> np.ndarray:
        """The action logits (B, sum(action_dims)) of observations (B, obs_dim)."""
        x = np.asarray(obs, np.float64)
        if x.ndim != 2 or x.shape[1] != self.obs_dim:
            raise ValueError(f"observations must have shape (B, {self.obs_dim}), got {x.shape}")
        act = ACTIVATIONS[self.activation]
        for w, b in zip(self.weights[:-1], self.biases[:-1]):
            x = act(x @ w + b)
        return x @ self.weights[-1] + self.biases[-1]

    def action_probabilities(self, obs: np.ndarray) -> np.ndarray:
        """Each distribution's probabilities (B, sum(action_dims)), side by side."""
        parts = []
        for logits in np.split(self.logits(obs), self._splits, axis=1):
            e = np.exp(logits - logits.max(axis=1, keepdims=True))
            parts.append(e / e.sum(axis=1, keepdims=True))
        return np.concatenate(parts, axis=1)

    def predict(
        self, obs: np.ndarray, deterministic: bool = True, rng: np.random.Generator | None = None
    ) -> tuple[np.ndarray, None]:
        """Actions for observations (B, obs_dim), as stable-baselines3 models give them: `(actions, None)`.

        Args:
            obs: the observations.
            deterministic: take each distribution's most likely action; else draw from it.
            rng: the generator to draw with (a fresh unseeded one if None).
        """
        chosen = []
        pieces = np.split(self.action_probabilities(obs), self._splits, axis=1)
        for probabilities in pieces:
            if deterministic:
                chosen.append(probabilities.argmax(axis=1))
            else:
                # Inverse transform: the first action whose cumulative probability passes u.
                cumulative = probabilities.cumsum(axis=1)
                u = (rng or np.random.default_rng()).random((len(probabilities), 1)) * cumulative[:, -1:]
                chosen.append(np.minimum((cumulative < u).sum(axis=1), probabilities.shape[1] - 1))
        actions = chosen[0] if len(chosen) == 1 else np.stack(chosen, axis=1)
        return actions.astype(np.int64), None
