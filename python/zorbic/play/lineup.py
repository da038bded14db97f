"""Who drives which slot: the person, their team-mates and the opponents.

A choice is a built-in opponent's name or an agent file. An agent plays the
matches it was trained for: its set-up gives the team sizes and stadium the
match defaults to, the observations and actions it sees the match through,
and how often it decides (its tick_skip). Built-in opponents decide as often
as a default training set-up does.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, fields
from pathlib import Path
from typing import Any, cast

import numpy as np

from zorbic.core.batch import SoccerBatch
from zorbic.core.match_setup import MatchSetup
from zorbic.core.state import Field
from zorbic.parts.actions import make_action_parser
from zorbic.parts.opponents import BUILT_IN, PolicyOpponent, make_opponent
from zorbic.play.match import Driver

SIDES = ("red", "blue")
_DEFAULT_TICK_SKIP = cast(int, next(f.default for f in fields(MatchSetup) if f.name == "tick_skip"))


@dataclass(frozen=True)
class Agent:
    """An agent read from a file: its policy and its set-up's MatchSetup keywords."""

    path: Path
    policy: Any
    keywords: dict[str, Any]


def read_agent(path: str | os.PathLike[str], trust_pickle: bool) -> Agent:
    """An agent file (or, with `trust_pickle`, a stable-baselines3 model) read for play."""
    from zorbic.agents import load_policy

    policy, keywords = load_policy(path, trust_pickle=trust_pickle)
    return Agent(Path(path), policy, keywords)


def choose(choice: str, trust_pickle: bool) -> str | Agent:
    """A built-in opponent's name as it is, or the agent in the file `choice`."""
    if choice in BUILT_IN:
        return choice
    if not Path(choice).is_file():
        raise ValueError(f"{choice!r} is none of {', '.join(sorted(BUILT_IN))} and no agent file")
    return read_agent(choice, trust_pickle)


def _driver(choice: str | Agent, field: Field, slots: np.ndarray) -> Driver:
    if isinstance(choice, str):
        return Driver(make_opponent(choice), slots, _DEFAULT_TICK_SKIP, choice)
    keywords = choice.keywords
    trained = MatchSetup(**keywords)
    if (trained.n_red, trained.n_blue) != (field.n_red, field.n_blue):
        raise ValueError(
            f"{choice.path} was trained for {trained.n_red} v {trained.n_blue}, not {field.n_red} v {field.n_blue}"
        )
    builder = trained.obs_builder
    seen = SoccerBatch(1, trained).observation_space.shape[0]
    if builder.size(field) != seen:
        raise ValueError(f"{choice.path} sees {seen} numbers on its own stadium but {builder.size(field)} on this one")
    opponent = PolicyOpponent(choice.policy, builder, make_action_parser(trained.action_parser))
    return Driver(opponent, slots, trained.tick_skip, choice.path.name)


def drivers(against: str | Agent, mates: str | Agent, field: Field, person: int, side: str) -> list[Driver]:
    """The drivers of every slot but the person's: `mates` on the person's side, `against` on the other.

    One choice given for both sides drives all its slots in one decision.
    """
    red = np.arange(field.n_red)
    blue = np.arange(field.n_red, field.n_players)
    own, other = (red, blue) if side == "red" else (blue, red)
    own = own[own != person]
    if against is mates or (isinstance(against, str) and against == mates):
        together = np.sort(np.concatenate([own, other]))
        return [_driver(against, field, together)] if len(together) else []
    return [_driver(choice, field, slots) for choice, slots in ((mates, own), (against, other)) if len(slots)]
