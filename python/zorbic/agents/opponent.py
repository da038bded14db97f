"""An opponent from a file: the agent plays through the observations and actions it learned with."""

from __future__ import annotations

import os

from zorbic.agents.loading import load_policy
from zorbic.core.match_setup import MatchSetup
from zorbic.parts.actions import make_action_parser
from zorbic.parts.opponents import PolicyOpponent


def opponent_from_file(path: str | os.PathLike[str], *, trust_pickle: bool = False) -> PolicyOpponent:
    """A `PolicyOpponent` driven by the agent in `path`.

    Args:
        path: an agent file, or with `trust_pickle` a stable-baselines3 model.
        trust_pickle: read a pickled model, which runs any code in it.
    """
    policy, keywords = load_policy(path, trust_pickle=trust_pickle)
    setup = MatchSetup(**keywords)
    return PolicyOpponent(policy, setup.obs_builder, make_action_parser(setup.action_parser))
