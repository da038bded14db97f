"""Trained agents in files that hold weights and a set-up, never code.

`load_agent` rebuilds an `Agent` with NumPy alone; `load_policy` takes any
file an agent may come in, reading pickled stable-baselines3 models only
when the caller trusts them; `agent_from_policy` and `save_agent` write one.
"""

from zorbic.agents.file import AGENT_SUFFIX, AgentFileError, load_agent, save_agent
from zorbic.agents.loading import UntrustedFileError, load_policy
from zorbic.agents.network import Agent
from zorbic.agents.opponent import opponent_from_file
from zorbic.agents.sb3 import agent_from_policy
from zorbic.agents.setup import saved_setup, setup_from_saved

__all__ = [
    "AGENT_SUFFIX",
    "Agent",
    "AgentFileError",
    "UntrustedFileError",
    "agent_from_policy",
    "load_agent",
    "load_policy",
    "opponent_from_file",
    "save_agent",
    "saved_setup",
    "setup_from_saved",
]
