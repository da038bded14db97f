"""Agents made without training, for the agent-file tests."""

import numpy as np

from zorbic.agents import Agent, saved_setup
from zorbic.core.batch import SoccerBatch
from zorbic.core.match_setup import MatchSetup


def random_agent(seed=0, hidden=(16, 16), **setup):
    """An agent with random weights that fits the matches of `setup`."""
    batch = SoccerBatch(1, MatchSetup(**setup))
    sizes = (batch.observation_space.shape[0], *hidden, int(batch.action_space.n))
    rng = np.random.default_rng(seed)
    weights = [rng.normal(0, 1 / np.sqrt(a), (a, b)) for a, b in zip(sizes, sizes[1:])]
    biases = [rng.normal(0, 0.1, b) for b in sizes[1:]]
    return Agent(weights, biases, "tanh", [sizes[-1]], saved_setup(batch.setup))
