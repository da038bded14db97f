"""An agent from a stable-baselines3 policy: its weights copied out of torch.

Only the acting half of an actor-critic policy is kept: the policy branch
of the MLP extractor and the action head. The value branch plays no part in
choosing actions.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from zorbic.agents.network import Agent

_ACTIVATIONS = {"Tanh": "tanh", "ReLU": "relu"}


def agent_from_policy(policy: Any, setup: dict[str, Any] | None) -> Agent:
    """An `Agent` acting as the stable-baselines3 actor-critic `policy` does.

    Args:
        policy: an `ActorCriticPolicy` (as PPO and A2C train) over flat observations
            and a discrete or multi-discrete action space.
        setup: the saved set-up of its matches.

    Raises:
        ValueError: a policy of another shape (images, continuous actions, custom layers).
    """
    import torch
    from gymnasium import spaces

    extractor = getattr(policy, "mlp_extractor", None)
    if extractor is None or not hasattr(policy, "action_net"):
        raise ValueError(f"only actor-critic MLP policies can become agents, not {type(policy).__name__}")
    space = policy.action_space
    if isinstance(space, spaces.Discrete):
        dims = [int(space.n)]
    elif isinstance(space, spaces.MultiDiscrete) and space.nvec.ndim == 1:
        dims = [int(n) for n in space.nvec]
    else:
        raise ValueError(f"only discrete and multi-discrete actions can be saved in an agent, not {space}")
    weights, biases, activations = [], [], set()
    for module in [*extractor.policy_net, policy.action_net]:
        if isinstance(module, torch.nn.Linear):
            weights.append(module.weight.detach().cpu().numpy().T.astype(np.float64))
            biases.append(module.bias.detach().cpu().numpy().astype(np.float64))
        elif type(module).__name__ in _ACTIVATIONS:
            activations.add(_ACTIVATIONS[type(module).__name__])
        else:
            raise ValueError(f"a policy layer of kind {type(module).__name__} cannot be saved in an agent")
    if len(activations) > 1:
        raise ValueError("a policy whose hidden layers mix activations cannot be saved in an agent")
    return Agent(weights, biases, activations.pop() if activations else "tanh", dims, setup)
