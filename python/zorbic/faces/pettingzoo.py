"""The PettingZoo face: one match as a `ParallelEnv`.

Every player is an agent by default (red_0, red_1, ..., blue_0, ...); with
`learners=...` only those are, and the opponent drives the rest. The match
ends for all agents together: terminated on a goal, truncated after
`max_steps` steps. Needs the `pettingzoo` extra.
"""

from __future__ import annotations

from typing import Any

import numpy as np
from gymnasium import spaces
from pettingzoo import ParallelEnv

from zorbic.core.batch import SoccerBatch
from zorbic.core.match_setup import MatchSetup
from zorbic.faces.rendering import RendersMatchZero, check_render_mode, render_metadata


class SoccerParallelEnv(RendersMatchZero, ParallelEnv):
    """The PettingZoo parallel face: one match whose every player is an agent."""

    metadata = {"name": "zorbic_soccer_v0", **render_metadata(8)}

    def __init__(self, render_mode: str | None = None, **setup: Any) -> None:
        if "learners" not in setup and "self_play" not in setup:
            setup["self_play"] = True
        self.render_mode = check_render_mode(render_mode)
        match_setup = MatchSetup(**setup)
        self.batch = SoccerBatch(1, match_setup)
        self.metadata = {**self.metadata, **render_metadata(match_setup.tick_skip)}
        self.possible_agents = list(self.batch.agents)
        self.agents: list[str] = []
        self._live: set[str] = set()
        self._observation_space = self.batch.observation_space
        self._action_space = self.batch.action_space

    def observation_space(self, agent: str) -> spaces.Space:
        """The observation space of `agent`."""
        return self._observation_space

    def action_space(self, agent: str) -> spaces.Space:
        """The action space of `agent`."""
        return self._action_space

    def reset(
        self, seed: int | None = None, options: dict[str, Any] | None = None
    ) -> tuple[dict[str, np.ndarray], dict[str, dict[str, Any]]]:
        """Start a new episode; `seed` seeds what draws random numbers."""
        if seed is not None:
            self.batch.seed(seed)
        self.batch.restart()
        self.agents = list(self.possible_agents)
        self._live = set(self.agents)
        obs = self.batch.observe()
        return dict(zip(self.agents, obs)), {agent: {} for agent in self.agents}

    def step(self, actions: dict[str, Any]) -> tuple[dict[str, Any], ...]:
        """Play one step with every agent's action."""
        agents = self.agents
        if not agents:
            raise RuntimeError("the match is over: call reset() before stepping again")
        if not (type(actions) is dict and actions.keys() == self._live):
            missing = [agent for agent in agents if agent not in actions]
            unknown = [agent for agent in actions if agent not in agents]
            if missing or unknown:
                raise ValueError(
                    f"actions must name every live agent {agents} exactly; missing {missing}, unknown {unknown}"
                )
        rewards, terminated, truncated = self.batch.step_matches(np.asarray([actions[agent] for agent in agents]))
        obs = self.batch.observe()
        if terminated[0] or truncated[0]:
            self.agents = []
        return (
            dict(zip(agents, obs)),
            dict(zip(agents, rewards.tolist())),
            dict.fromkeys(agents, bool(terminated[0])),
            dict.fromkeys(agents, bool(truncated[0])),
            {agent: {} for agent in agents},
        )

    def close(self) -> None:
        """Stop rendering and let the batch go."""
        self._stop_rendering()


def parallel_env(**kwargs: Any) -> SoccerParallelEnv:
    """A PettingZoo ParallelEnv of one match; keyword arguments as for the gymnasium faces."""
    return SoccerParallelEnv(**kwargs)
