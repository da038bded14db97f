"""Train a small MLP policy with REINFORCE on experience collected by Ray actors.

    python examples/ray_train.py                      # a Ray of its own on this machine
    python examples/ray_train.py --address auto       # a cluster joined with `ray start`

Each iteration collects T steps from every actor with the current policy,
takes one policy-gradient step on the joined rollout, and broadcasts the new
weights (one ray.put; each actor fetches them with its next request). It
prints the mean reward per step and the mean return of the episodes that
ended, which rise as the learner learns to run at the ball and push it on.
"""

from __future__ import annotations

import argparse

import numpy as np
import ray

from zorbic.parts.rewards import (
    BallTowardsGoal,
    Combined,
    GoalReward,
    PlayerTowardsBall,
)
from zorbic.ray import MLPPolicy, Rollout, RolloutCollector, RolloutConfig

SETUP = dict(
    opponent="chaser",
    max_steps=150,
    reward_fn=Combined((GoalReward(), 1.0), (PlayerTowardsBall(), 0.05), (BallTowardsGoal(), 0.05)),
)


def discounted_returns(rollout: Rollout, gamma: float) -> np.ndarray:
    """Return-to-go of every step, cut where an episode ends (and at the batch's end)."""
    done = rollout.terminated | rollout.truncated
    returns = np.zeros_like(rollout.rewards)
    running = np.zeros(rollout.rows)
    for t in reversed(range(rollout.steps)):
        running = rollout.rewards[t] + gamma * running * ~done[t]
        returns[t] = running
    return returns


def policy_gradient(policy: MLPPolicy, rollout: Rollout, gamma: float) -> dict[str, np.ndarray]:
    """The gradient of mean(advantage * log pi(a | s)) for every parameter, by backpropagation."""
    obs = rollout.obs.reshape(-1, rollout.obs.shape[-1])
    actions = rollout.actions.reshape(-1)
    advantage = discounted_returns(rollout, gamma).reshape(-1)
    advantage = (advantage - advantage.mean()) / (advantage.std() + 1e-8)
    layers = policy.hidden(obs)
    last = policy.layers - 1
    logits = layers[-1] @ policy.params[f"w{last}"] + policy.params[f"b{last}"]
    probabilities = np.exp(logits - logits.max(axis=1, keepdims=True))
    probabilities /= probabilities.sum(axis=1, keepdims=True)
    # d log softmax(z)[a] / dz = onehot(a) - softmax(z)
    upstream = -probabilities
    upstream[np.arange(len(actions)), actions] += 1.0
    upstream *= advantage[:, None] / len(actions)
    grads = {}
    for i in reversed(range(policy.layers)):
        grads[f"w{i}"] = layers[i].T @ upstream
        grads[f"b{i}"] = upstream.sum(axis=0)
        if i:
            upstream = (upstream @ policy.params[f"w{i}"].T) * (1.0 - layers[i] ** 2)
    return grads


def train(
    collector: RolloutCollector,
    policy: MLPPolicy,
    iterations: int,
    steps: int,
    learning_rate: float = 0.05,
    gamma: float = 0.95,
) -> tuple[MLPPolicy, list[dict[str, float]]]:
    """Iterations of collect, one gradient step, broadcast; the last policy and per-iteration figures."""
    history = []
    version = collector.set_policy(policy)
    for iteration in range(iterations):
        collection = collector.collect(steps, timeout=600)
        assert all(batch.policy_version == version for batch in collection.batches)
        rollout = collection.rollout
        grads = policy_gradient(policy, rollout, gamma)
        policy = MLPPolicy({name: value + learning_rate * grads[name] for name, value in policy.params.items()})
        version = collector.set_policy(policy)
        ended = rollout.episode_return
        history.append(
            {
                "iteration": iteration,
                "reward_per_step": float(rollout.rewards.mean()),
                "episodes": int(len(ended)),
                "mean_return": float(ended.mean()) if len(ended) else float("nan"),
                "restarts": len(collection.restarts),
            }
        )
    return policy, history


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--address", default=None, help="a running cluster ('auto' or host:port); default: a local Ray")
    parser.add_argument("--actors", type=int, default=2)
    parser.add_argument("--envs", type=int, default=128, help="matches per actor")
    parser.add_argument("--steps", type=int, default=64, help="steps per actor and iteration")
    parser.add_argument("--iterations", type=int, default=40)
    args = parser.parse_args()
    ray.init(address=args.address, include_dashboard=False)
    config = RolloutConfig(num_envs=args.envs, setup=SETUP, seed=0)
    policy = MLPPolicy.initial(obs_dim=12, n_actions=18, hidden=(32,), seed=0)
    with RolloutCollector(args.actors, config) as collector:
        _, history = train(collector, policy, args.iterations, args.steps)
    for row in history:
        print(
            f"{row['iteration']:3d}  reward/step {row['reward_per_step']:+.4f}  "
            f"episodes {row['episodes']:4d}  mean return {row['mean_return']:+.3f}"
        )
    ray.shutdown()


if __name__ == "__main__":
    main()
