"""Counting a policy's wins: many matches at once, each to its first goal.

`play_matches` plays M matches from the kickoff on one batch per side: a
match is won or lost at its first goal and undecided when `max_steps` steps
pass without one. Nothing cuts a match short, and the result depends only on
the policy, the opponent and the seed.

The team sizes are the policy's own: `n_red` and `n_blue` describe its
matches as it trained them, its team on red, and the policy drives every
slot of its team (one shared policy, each slot from its own egocentric
observation). Playing blue, the teams change sides with their sizes, so the
policy still sees as many team-mates and opponents as it learned with, and
"the policy wins" means its team scored.

The policy plays red by default, as it trains: every episode starts with
red's kickoff, and the kickoff barrier holds the other side in its half
until red first touches the ball, so a blue learner cannot win at all
against the idle opponent. `side="blue"` and `side="both"` (half the
matches each) measure the other case.

A trained policy is stochastic, and the built-in idle and chaser opponents
and the kickoff are not: with the policy's most likely action every match
against them would be the same match, and a thousand of them one
observation. So the policy's actions are drawn from its action
distribution with a generator seeded from `seed` (`deterministic=True`
takes the most likely action instead); the opponent and the reset rule draw
from generators seeded from it as well.

A scripted team (an `Opponent`, such as a built-in one) can take the
policy's place, so that built-in opponents can be measured against each
other and against agents: it drives the slots of its team from the match
state, and its actions go to the engine as they are.

The win rate's interval is Wilson's score interval: unlike the normal
approximation it stays inside [0, 1] and keeps close to its nominal
coverage near 0 and 1, where a good agent's win rate lies.

`python -m zorbic evaluate MODEL --against OPPONENT` runs it on a saved
model (`zorbic.commands.evaluate`); stable-baselines3 is needed only there.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np

import zorbic_core
from zorbic.agents.network import Agent
from zorbic.common.checks import positive_int
from zorbic.core.batch import SoccerBatch
from zorbic.core.match_setup import MatchSetup
from zorbic.parts.opponents import Opponent

# The two-sided 95 % quantile of the standard normal distribution.
Z_95 = 1.959963984540054
SIDES = ("red", "blue", "both")
# Keywords that would change what a match of an evaluation is.
_FIXED = ("learners", "self_play", "opponent", "reset_rule", "sync_episodes")

Policy = Callable[[np.ndarray], Any] | Any
Watch = Callable[[SoccerBatch], None]


def wilson_interval(successes: int, trials: int, z: float = Z_95) -> tuple[float, float]:
    """Wilson's score interval for a binomial proportion; (0, 1) without trials."""
    if not 0 <= successes <= trials:
        raise ValueError(f"successes must lie in [0, trials], got {successes} of {trials}")
    if trials == 0:
        return 0.0, 1.0
    p = successes / trials
    z2n = z * z / trials
    centre = (p + z2n / 2) / (1 + z2n)
    half = z * math.sqrt(p * (1 - p) / trials + z2n / (4 * trials)) / (1 + z2n)
    # Rounding must not push the bounds past the proportion's own range.
    return max(0.0, centre - half), min(1.0, centre + half)


@dataclass(frozen=True)
class Evaluation:
    """The counts of an evaluation against one opponent."""

    against: str
    wins: int
    losses: int
    undecided: int

    @property
    def matches(self) -> int:
        """The matches played."""
        return self.wins + self.losses + self.undecided

    @property
    def win_rate(self) -> float:
        """The share of matches won."""
        return self.wins / self.matches if self.matches else 0.0

    @property
    def interval(self) -> tuple[float, float]:
        """The 95 % Wilson interval of the win rate (undecided matches count as not won)."""
        return wilson_interval(self.wins, self.matches)

    def __add__(self, other: Evaluation) -> Evaluation:
        if other.against != self.against:
            raise ValueError(f"cannot add evaluations against {self.against!r} and {other.against!r}")
        return Evaluation(
            self.against, self.wins + other.wins, self.losses + other.losses, self.undecided + other.undecided
        )

    def line(self) -> str:
        """The counts, the win rate and its 95 % Wilson interval in one line."""
        low, high = self.interval
        return (
            f"against {self.against}: {self.matches} matches, {self.wins} won, {self.losses} lost,"
            f" {self.undecided} undecided; win rate {100 * self.win_rate:.1f} %"
            f" (95 % Wilson interval {100 * low:.1f} - {100 * high:.1f} %)"
        )


def policy_actions(policy: Policy, obs: np.ndarray, rng: np.random.Generator | None) -> np.ndarray:
    """Actions of `policy` for `obs`: drawn with `rng` from a stable-baselines3
    policy's distribution, or the most likely ones without `rng`; a plain
    callable's are its own."""
    if rng is not None and isinstance(policy, Agent):
        return policy.predict(obs, deterministic=False, rng=rng)[0]
    net = getattr(policy, "policy", policy)
    if rng is not None and callable(getattr(net, "get_distribution", None)):
        return _draw(net, obs, rng)
    predict = getattr(policy, "predict", None)
    if callable(predict):
        return predict(obs, deterministic=True)[0]
    return policy(obs)


def _draw(net: Any, obs: np.ndarray, rng: np.random.Generator) -> np.ndarray:
    import torch

    with torch.no_grad():
        distribution = net.get_distribution(net.obs_to_tensor(obs)[0]).distribution
    probs = getattr(distribution, "probs", None)
    if probs is None or probs.ndim != 2:
        raise ValueError("drawing actions needs a policy over one discrete action; evaluate with deterministic=True")
    # Inverse transform: the first action whose cumulative probability passes u.
    cumulative = np.cumsum(probs.cpu().numpy().astype(np.float64), axis=1)
    u = rng.random((len(obs), 1)) * cumulative[:, -1:]
    return np.minimum((cumulative < u).sum(axis=1), cumulative.shape[1] - 1)


def sided(setup: dict[str, Any], side: str) -> dict[str, Any]:
    """`setup`, given with the policy's team on red, for its team playing `side`."""
    if side != "blue":
        return setup
    own, rivals = MatchSetup.n_red, MatchSetup.n_blue
    return {**setup, "n_red": setup.get("n_blue", rivals), "n_blue": setup.get("n_red", own)}


def scripted_actions(team: Opponent, batch: SoccerBatch) -> np.ndarray:
    """Raw actions of the learner rows for what the scripted `team` does in
    the engine frame: x mirrored into each learner's own frame, which the
    raw action table mirrors back."""
    engine = np.array(team.act(batch.state, batch.field, batch.slots), np.int64).reshape(batch.n_learners, 3)
    engine[:, 0] *= np.tile(batch.field.mirror[batch.slots], batch.n_matches).astype(np.int64)
    return engine


def _play_side(
    policy: Policy,
    against: Any,
    matches: int,
    side: str,
    seed: np.random.SeedSequence,
    deterministic: bool,
    watch: Watch | None,
    setup: dict,
) -> np.ndarray:
    scripted = policy if isinstance(policy, Opponent) else None
    if scripted is not None:
        setup = {**setup, "action_parser": "raw"}
    batch = SoccerBatch(matches, MatchSetup(**sided(setup, side), learners=side, opponent=against))
    batch_seed, policy_seed = seed.spawn(2)
    batch.seed(int(batch_seed.generate_state(1, np.uint64)[0]))
    rng = None if deterministic else np.random.default_rng(policy_seed)
    if scripted is not None:
        scripted.seed(np.random.default_rng(policy_seed))
    if watch is not None:
        watch(batch)
    batch.restart()
    if scripted is not None:
        scripted.reset(batch.state, batch.field, batch.slots, np.ones(matches, np.bool_))
    team = zorbic_core.FLAG_RED if side == "red" else zorbic_core.FLAG_BLUE
    rival = zorbic_core.FLAG_BLUE if side == "red" else zorbic_core.FLAG_RED
    running = np.ones(matches, np.bool_)
    outcome = np.zeros(matches, np.int8)
    while running.any():
        if scripted is not None:
            actions = scripted_actions(scripted, batch)
        else:
            actions = policy_actions(policy, batch.observe(), rng)
        _, terminated, truncated = batch.step(actions)
        ended = batch.matches(terminated | truncated) & running
        conceded = batch.state.scored
        outcome[ended & (conceded == rival)] = 1
        outcome[ended & (conceded == team)] = -1
        running &= ~ended
    return outcome


def match_outcomes(
    policy: Policy,
    against: Any,
    matches: int = 1000,
    seed: int = 0,
    *,
    side: str = "red",
    deterministic: bool = False,
    watch: Watch | None = None,
    **setup: Any,
) -> np.ndarray:
    """The outcome of every match that `play_matches` counts, int8 (matches,):
    1 won, -1 lost, 0 undecided; with `side="both"` the matches on red come first.

    The arguments are those of `play_matches`.
    """
    matches = positive_int("matches", matches)
    if side not in SIDES:
        raise ValueError(f"side must be one of {SIDES}, got {side!r}")
    fixed = sorted(set(_FIXED) & set(setup))
    if fixed:
        raise ValueError(f"an evaluation chooses {', '.join(fixed)} itself; leave them out")
    if side == "both":
        shares = [("red", (matches + 1) // 2), ("blue", matches // 2)]
    else:
        shares = [(side, matches)]
    seeds = np.random.SeedSequence(seed).spawn(2)
    return np.concatenate(
        [
            _play_side(policy, against, count, team, seeds[SIDES.index(team)], deterministic, watch, setup)
            for team, count in shares
            if count
        ]
    )


def play_matches(
    policy: Policy,
    against: Any,
    matches: int = 1000,
    seed: int = 0,
    *,
    side: str = "red",
    deterministic: bool = False,
    label: str | None = None,
    watch: Watch | None = None,
    **setup: Any,
) -> Evaluation:
    """Play `matches` matches of `policy` against `against` and count the outcomes.

    `policy` gets the observations of its slots, (B, D), and returns actions
    of the set-up's action space: a callable, or an object with
    `predict(obs, deterministic=True) -> (actions, state)`, such as a
    stable-baselines3 model or policy, whose actions are drawn unless
    `deterministic`; or a scripted team, an `Opponent`. `against` is any opponent of the set-up ("idle",
    "random", "chaser", an Opponent or another policy). `side` is the team
    the policy plays: "red", "blue" or "both" (half the matches each, red
    taking the odd one). `setup` takes the MatchSetup keywords that shape
    a match (stadium, team sizes, tick_skip, max_steps, obs_builder,
    action_parser), `n_red` being the policy's team and `n_blue` the
    other whichever side it plays; the outcome is counted from the goals
    alone. `watch` is
    called with each side's batch before its matches start, to attach an
    observer such as a recorder.
    """
    outcome = match_outcomes(
        policy, against, matches, seed, side=side, deterministic=deterministic, watch=watch, **setup
    )
    wins, losses = int(np.count_nonzero(outcome == 1)), int(np.count_nonzero(outcome == -1))
    named = against if isinstance(against, str) else type(against).__name__
    return Evaluation(label or named, wins, losses, len(outcome) - wins - losses)
