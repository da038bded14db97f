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


def rusher_agent(sharpness=100.0, **setup):
    """An agent that runs at the ball and kicks: the kicking action of the
    direction nearest the ball's scores sharpness times their alignment, so a
    lower sharpness draws more often another direction. Its strength is known
    by construction: it beats the idle team and loses to the chasers."""
    from zorbic.parts.actions import DIRECTIONS

    batch = SoccerBatch(1, MatchSetup(**setup))
    # The ball's relative x and y (observation columns 4 and 5), split into their positive and negative parts.
    first = np.zeros((batch.observation_space.shape[0], 4))
    first[4, 0], first[4, 1], first[5, 2], first[5, 3] = 1, -1, 1, -1
    unit = DIRECTIONS / np.maximum(np.hypot(*DIRECTIONS.T), 1)[:, None]
    second = np.zeros((4, 2 * len(DIRECTIONS)))
    second[0, 1::2], second[1, 1::2], second[2, 1::2], second[3, 1::2] = (
        unit[:, 0],
        -unit[:, 0],
        unit[:, 1],
        -unit[:, 1],
    )
    bias = np.full(2 * len(DIRECTIONS), -50.0)
    bias[1::2] = 0.0
    return Agent([first, sharpness * second], [np.zeros(4), bias], "relu", [second.shape[1]], saved_setup(batch.setup))
