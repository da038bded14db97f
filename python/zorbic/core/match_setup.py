"""The set-up of a training batch, checked once at construction."""

from __future__ import annotations

import os
import re
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

from zorbic import _engine
from zorbic.common.checks import boolean, integer, non_negative_int, positive_int
from zorbic.parts.actions import ActionParser, make_action_parser
from zorbic.parts.observations import EgocentricObservation, ObservationBuilder
from zorbic.parts.opponents import make_opponent
from zorbic.parts.resets import ResetRule, make_reset_rule
from zorbic.parts.rewards import GoalReward, Reward, RewardTerm, as_reward

# Players per match: the engine's own limit, the size of its per-match action buffer.
MAX_PLAYERS: int = _engine.MAX_PLAYERS
# Ticks per step, as the replay format caps it: a step holds the caller for
# tick_skip ticks, and a larger one would run for minutes without a way to stop it.
MAX_TICK_SKIP = 65536
# Steps per episode. Tick counts reach max_steps * tick_skip, which stays
# below 2**63 at the largest tick_skip, so no step or tick counter can overflow.
MAX_STEPS = 2**46
_AGENT = re.compile(r"(red|blue)_(\d+)")

Learners = str | Sequence[str | int] | None


def agent_names(n_red: int, n_blue: int) -> list[str]:
    """The name of every player slot, in slot order: red_0, red_1, ..., blue_0, ..."""
    return [f"red_{i}" for i in range(n_red)] + [f"blue_{i}" for i in range(n_blue)]


def learner_slots(learners: Learners, n_red: int, n_blue: int, self_play: bool) -> tuple[int, ...]:
    """The player slots that learn, in slot order.

    `learners` is None (red slot 0, or every player with `self_play`),
    "red", "blue" or "all", an agent name such as "blue_1", or a sequence of
    names and slot numbers.
    """
    names = agent_names(n_red, n_blue)
    if self_play:
        if learners not in (None, "all"):
            raise ValueError("self_play makes every player a learner; leave learners unset")
        return tuple(range(len(names)))
    if learners is None:
        return (0,)
    if isinstance(learners, str):
        teams = {"red": range(n_red), "blue": range(n_red, n_red + n_blue), "all": range(n_red + n_blue)}
        if learners in teams:
            team = tuple(teams[learners])
            if not team:
                raise ValueError(f"learners={learners!r} names a team without players")
            return team
        learners = [learners]
    slots: set[int] = set()
    for entry in learners:
        if isinstance(entry, str):
            if entry not in names:
                raise ValueError(f"unknown learner {entry!r}: the players are {names}")
            slots.add(names.index(entry))
        else:
            try:
                slots.add(integer("a learner slot", entry, low=0, high=len(names) - 1))
            except (TypeError, ValueError):
                raise ValueError(
                    f"learner {entry!r} is not a player name or a slot number in [0, {len(names)})"
                ) from None
    if not slots:
        raise ValueError("there must be at least one learner")
    return tuple(sorted(slots))


@dataclass
class MatchSetup:
    """Everything that defines a training batch apart from its size.

    stadium      None (the classic stadium), stadium text, or a path to a .zsm file
    n_red/n_blue players per team, at least 1 and at most MAX_PLAYERS (32) in all
    tick_skip    physics ticks per step, from 1 to MAX_TICK_SKIP (65536)
    max_steps    steps after which an episode is truncated, from 1 to MAX_STEPS (2**46)
    learners     which slots learn (see `learner_slots`); self_play makes all of them learn
    opponent     what drives the other slots: "idle", "random", "chaser", an
                 Opponent, or a frozen policy (a callable or an object with predict)
    sync_episodes  goals do not end episodes: every match plays on (the engine
                 runs its own countdown and kickoff) and all episodes are
                 truncated together at max_steps, then restart together; this
                 is the mode where state-setting reset rules may be used
    """

    n_red: int = 1
    n_blue: int = 1
    stadium: str | os.PathLike[str] | None = None
    tick_skip: int = 8
    max_steps: int = 300
    learners: Learners = None
    self_play: bool = False
    opponent: Any = "chaser"
    obs_builder: ObservationBuilder = field(default_factory=EgocentricObservation)
    action_parser: ActionParser | str | None = None
    reward_fn: Reward | RewardTerm = field(default_factory=GoalReward)
    reset_rule: ResetRule | str | None = None
    sync_episodes: bool = False

    def __post_init__(self) -> None:
        self.n_red = non_negative_int("n_red", self.n_red, high=MAX_PLAYERS)
        self.n_blue = non_negative_int("n_blue", self.n_blue, high=MAX_PLAYERS)
        if not 1 <= self.n_red + self.n_blue <= MAX_PLAYERS:
            raise ValueError(f"n_red + n_blue must be between 1 and {MAX_PLAYERS}, got {self.n_red + self.n_blue}")
        self.tick_skip = positive_int("tick_skip", self.tick_skip, high=MAX_TICK_SKIP)
        self.max_steps = positive_int("max_steps", self.max_steps, high=MAX_STEPS)
        self.self_play = boolean("self_play", self.self_play)
        self.sync_episodes = boolean("sync_episodes", self.sync_episodes)
        if not isinstance(self.obs_builder, ObservationBuilder):
            raise TypeError(f"obs_builder must be an ObservationBuilder, not {type(self.obs_builder).__name__}")
        self.slots = learner_slots(self.learners, self.n_red, self.n_blue, self.self_play)
        self.action_parser = make_action_parser(self.action_parser)
        self.reward_fn = as_reward(self.reward_fn)
        self.opponent = make_opponent(self.opponent, self.obs_builder, self.action_parser)
        self.reset_rule = make_reset_rule(self.reset_rule)
        if not self.reset_rule.per_match and not self.sync_episodes:
            raise ValueError(
                f"{type(self.reset_rule).__name__} restarts every match at once: it needs sync_episodes=True"
                " (or use the kickoff reset)"
            )
