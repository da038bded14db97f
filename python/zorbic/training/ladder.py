"""A ladder: every entry plays every other, and ratings say which is best.

Entries are agents (from agent files, or in memory, such as a trainer's
frozen copies) and the built-in opponents. Every pair plays `matches`
matches, half with each entry on red (`zorbic.training.evaluate`, each
match to its first goal), and every agent draws its actions from its
distribution with a generator seeded from the ladder's seed, so the seed
alone decides the table.

Ratings are openskill's Plackett-Luce ratings (mu, and sigma its
uncertainty), updated one match at a time in a fixed order: round r takes
match r of every pair, pairs in entry order, so that no pair's results all
come last. An undecided match is a tie. Entries are ranked by the
conservative estimate mu - 3 sigma, which a lucky few matches cannot lift.

Agents play with their own observations and actions, and all must have
learned the same kind of match: team sizes, stadium and tick_skip. Two
agents can meet only when both teams are of one size, since each plays its
own team; a built-in opponent fits any size. Without agents the ladder plays
the default 1 v 1.
"""

from __future__ import annotations

import io
import json
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from zorbic.agents.loading import load_policy
from zorbic.common.checks import integer, positive_int
from zorbic.common.files import write_atomic
from zorbic.core.match_setup import MatchSetup
from zorbic.engine.stadium import stadium_text
from zorbic.parts.actions import make_action_parser
from zorbic.parts.opponents import BUILT_IN, PolicyOpponent, make_opponent
from zorbic.training.evaluate import match_outcomes, policy_actions

OUTPUTS = ("ratings.json", "win-matrix.png", "ladder.md")
# What two agents' matches must agree on; max_steps is the first agent's.
_KIND = ("n_red", "n_blue", "stadium", "tick_skip")


class LadderError(ValueError):
    """Entries that cannot make a ladder."""


@dataclass(frozen=True)
class Entry:
    """One player of a ladder: a built-in opponent (`policy` None) or an agent.

    Args:
        name: how the tables name it, unique within a ladder.
        policy: the agent's policy (`predict(obs, deterministic)`), None for a built-in opponent.
        setup: the agent's MatchSetup keywords, as `zorbic.agents.load_policy` gives them.
    """

    name: str
    policy: Any = None
    setup: dict[str, Any] | None = None

    @property
    def built_in(self) -> bool:
        """Whether a built-in opponent plays this entry."""
        return self.policy is None


def read_entry(text: str, *, trust_pickle: bool = False) -> Entry:
    """The entry that `text` names: a built-in opponent or an agent file.

    Args:
        text: "idle", "random", "chaser", or the path of an agent file.
        trust_pickle: also read stable-baselines3 .zip models (they run code when read).
    """
    if text in BUILT_IN:
        return Entry(text)
    if not Path(text).is_file():
        raise LadderError(f"{text!r} is none of {', '.join(sorted(BUILT_IN))} and no agent file")
    policy, setup = load_policy(text, trust_pickle=trust_pickle)
    return Entry(text, policy, setup)


def match_kind(entries: Sequence[Entry]) -> dict[str, Any]:
    """The set-up keywords every pair plays: the agents' own, which must agree.

    Raises:
        LadderError: agents of different team sizes or kinds of match, or
            agents of uneven teams that would have to meet.
    """
    agents = [entry for entry in entries if not entry.built_in]
    if not agents:
        return {}
    kinds = []
    for entry in agents:
        setup = MatchSetup(**(entry.setup or {}))
        kinds.append((setup.n_red, setup.n_blue, stadium_text(setup.stadium), setup.tick_skip, setup.max_steps))
    first = kinds[0]
    for entry, kind in zip(agents[1:], kinds[1:]):
        if kind[:2] != first[:2]:
            raise LadderError(
                f"entries of different team sizes: {agents[0].name} plays {first[0]} v {first[1]},"
                f" {entry.name} {kind[0]} v {kind[1]}; a ladder's agents must all play the same team sizes"
            )
        if kind[2:4] != first[2:4]:
            raise LadderError(
                f"{entry.name} was trained for another kind of match (stadium or tick_skip) than {agents[0].name}"
            )
    if len(agents) > 1 and first[0] != first[1]:
        raise LadderError(
            f"agents trained for {first[0]} v {first[1]} cannot meet each other: each plays its own team of"
            f" {first[0]}; rate them against the built-in opponents one at a time"
        )
    return dict(zip(_KIND + ("max_steps",), first))


class _Drawing:
    """An agent that draws its actions with its own generator, on either side of a pair."""

    def __init__(self, policy: Any, rng: np.random.Generator) -> None:
        self.policy = policy
        self.rng = rng

    def predict(self, obs: np.ndarray, deterministic: bool = True) -> tuple[np.ndarray, None]:
        return policy_actions(self.policy, obs, self.rng), None


def _pair_outcomes(first: Entry, second: Entry, matches: int, seed: np.random.SeedSequence, kind: dict) -> np.ndarray:
    """The outcome of each match for `first` (1 won, -1 lost, 0 undecided), red and blue alternating."""
    if first.built_in and not second.built_in:
        return -_pair_outcomes(second, first, matches, seed, kind)
    play_seed, draw_seed = seed.spawn(2)
    against: Any = second.name
    if not second.built_in:
        theirs = MatchSetup(**(second.setup or {}))
        drawing = _Drawing(second.policy, np.random.default_rng(draw_seed))
        against = PolicyOpponent(drawing, theirs.obs_builder, make_action_parser(theirs.action_parser))
    if first.built_in:
        player, setup = make_opponent(first.name), {k: kind[k] for k in kind}
    else:
        player, setup = first.policy, {**(first.setup or {}), "max_steps": kind["max_steps"]}
    seed_value = int(play_seed.generate_state(1, np.uint64)[0])
    outcomes = match_outcomes(player, against, matches, seed_value, side="both", **setup)
    # Red's share comes first and is the larger by one at most.
    ordered = np.empty_like(outcomes)
    reds = (matches + 1) // 2
    ordered[0::2], ordered[1::2] = outcomes[:reds], outcomes[reds:]
    return ordered


@dataclass(frozen=True)
class Standing:
    """An entry's rating and record."""

    name: str
    mu: float
    sigma: float
    won: int
    lost: int
    undecided: int

    @property
    def conservative(self) -> float:
        """mu - 3 sigma: the rating the entry very likely has at least."""
        return self.mu - 3 * self.sigma


@dataclass(frozen=True)
class Ladder:
    """The results of a ladder.

    Args:
        names: the entries in the order given.
        matches: matches per pair.
        seed: the seed that decided them.
        wins: wins[i, j], the matches entry i won against entry j.
        undecided: undecided[i, j], their matches without a goal.
        standings: every entry's rating and record, best first.
    """

    names: tuple[str, ...]
    matches: int
    seed: int
    wins: np.ndarray
    undecided: np.ndarray
    standings: tuple[Standing, ...]

    def rows(self) -> list[list[str]]:
        """The ranked table's cells, headings first."""
        rows = [["rank", "entry", "mu", "sigma", "mu - 3 sigma", "won", "lost", "undecided"]]
        for rank, s in enumerate(self.standings, 1):
            rows.append(
                [str(rank), s.name, f"{s.mu:.2f}", f"{s.sigma:.2f}", f"{s.conservative:.2f}"]
                + [str(s.won), str(s.lost), str(s.undecided)]
            )
        return rows

    def table(self) -> str:
        """The ranked table as aligned plain text."""
        rows = self.rows()
        widths = [max(len(row[c]) for row in rows) for c in range(len(rows[0]))]
        return "\n".join(
            "  ".join(cell.ljust(w) if c == 1 else cell.rjust(w) for c, (cell, w) in enumerate(zip(row, widths)))
            for row in rows
        )

    def markdown(self) -> str:
        """The ranked table and the win matrix as Markdown."""
        rows = self.rows()
        lines = [f"# Ladder: {self.matches} matches per pair, seed {self.seed}", ""]
        lines += ["| " + " | ".join(_cell(c) for c in row) + " |" for row in rows[:1]]
        lines += ["|" + "|".join(":---" if c == 1 else "---:" for c in range(len(rows[0]))) + "|"]
        lines += ["| " + " | ".join(_cell(c) for c in row) + " |" for row in rows[1:]]
        order = [self.names.index(s.name) for s in self.standings]
        lines += ["", "Share of the matches that the row's entry won against the column's:", ""]
        lines += ["| | " + " | ".join(_cell(self.names[j]) for j in order) + " |"]
        lines += ["|:---|" + "---:|" * len(order)]
        for i in order:
            shares = ["" if i == j else f"{100 * self.wins[i, j] / self.matches:.0f} %" for j in order]
            lines.append(f"| {_cell(self.names[i])} | " + " | ".join(shares) + " |")
        return "\n".join(lines) + "\n"

    def as_json(self) -> dict[str, Any]:
        """Everything as plain JSON values."""
        return {
            "matches_per_pair": self.matches,
            "seed": self.seed,
            "model": "openskill Plackett-Luce, one update per match, round by round",
            "standings": [
                {
                    "rank": rank,
                    "name": s.name,
                    "mu": s.mu,
                    "sigma": s.sigma,
                    "conservative": s.conservative,
                    "won": s.won,
                    "lost": s.lost,
                    "undecided": s.undecided,
                }
                for rank, s in enumerate(self.standings, 1)
            ],
            "entries": list(self.names),
            "wins": self.wins.tolist(),
            "undecided": self.undecided.tolist(),
        }


def _cell(text: str) -> str:
    return text.replace("|", "\\|")


def rate(n_entries: int, games: Sequence[tuple[int, int, int]]) -> list[tuple[float, float]]:
    """(mu, sigma) of each entry after `games` (first, second, outcome for first), taken in order."""
    from openskill.models import PlackettLuce

    model = PlackettLuce()
    ratings = [model.rating() for _ in range(n_entries)]
    ranks = {1: [0.0, 1.0], -1: [1.0, 0.0], 0: [0.0, 0.0]}
    for first, second, outcome in games:
        [[ratings[first]], [ratings[second]]] = model.rate(
            [[ratings[first]], [ratings[second]]], ranks=ranks[int(outcome)]
        )
    return [(float(r.mu), float(r.sigma)) for r in ratings]


def play_ladder(entries: Sequence[Entry], matches: int = 100, seed: int = 0) -> Ladder:
    """Play every pair of `entries` `matches` times and rate them.

    Args:
        entries: at least two, of distinct names (see `read_entry`).
        matches: matches per pair, half with each entry on red (red takes an odd one).
        seed: decides every draw of the ladder.

    Raises:
        LadderError: too few entries, a name given twice, agents that do not fit together.
    """
    matches = positive_int("matches", matches)
    seed = integer("seed", seed, low=0, high=2**64 - 1)
    names = [entry.name for entry in entries]
    if len(entries) < 2:
        raise LadderError(f"a ladder needs at least two entries, got {len(entries)}")
    twice = sorted({name for name in names if names.count(name) > 1})
    if twice:
        raise LadderError(f"entries named more than once: {', '.join(twice)}")
    kind = match_kind(entries)
    pairs = [(i, j) for i in range(len(entries)) for j in range(i + 1, len(entries))]
    seeds = np.random.SeedSequence(seed).spawn(len(pairs))
    outcomes = np.stack([_pair_outcomes(entries[i], entries[j], matches, s, kind) for (i, j), s in zip(pairs, seeds)])
    n = len(entries)
    wins = np.zeros((n, n), np.int64)
    undecided = np.zeros((n, n), np.int64)
    for (i, j), results in zip(pairs, outcomes):
        wins[i, j], wins[j, i] = np.count_nonzero(results == 1), np.count_nonzero(results == -1)
        undecided[i, j] = undecided[j, i] = np.count_nonzero(results == 0)
    games = [(i, j, int(outcomes[p, r])) for r in range(matches) for p, (i, j) in enumerate(pairs)]
    ratings = rate(n, games)
    standings = [
        Standing(names[i], mu, sigma, int(wins[i].sum()), int(wins[:, i].sum()), int(undecided[i].sum()))
        for i, (mu, sigma) in enumerate(ratings)
    ]
    # Sorting is stable: equal ratings keep the order of the entries.
    ranked = sorted(standings, key=lambda s: -s.conservative)
    return Ladder(tuple(names), matches, seed, wins, undecided, tuple(ranked))


def heatmap_png(ladder: Ladder) -> bytes:
    """The win matrix as a PNG, best first: the row entry's share of wins
    against the column's, on its score's colour (red lost all, white even, green won all)."""
    from PIL import Image, ImageDraw, ImageFont

    font = ImageFont.load_default(14)
    order = [ladder.names.index(s.name) for s in ladder.standings]
    # A path's end tells files apart better than its start.
    labels = [ladder.names[i] if len(ladder.names[i]) <= 24 else "~" + ladder.names[i][-23:] for i in order]
    cell, pad = 56, 8
    left = pad + max(int(font.getlength(label)) for label in labels) + pad
    top = left  # the column labels are written upright, rotated
    size = (left + cell * len(order) + pad, top + cell * len(order) + pad)
    picture = Image.new("RGB", size, "white")
    draw = ImageDraw.Draw(picture)
    for r, (i, label) in enumerate(zip(order, labels)):
        y = top + r * cell
        draw.text((left - pad, y + cell / 2), label, fill="black", font=font, anchor="rm")
        upright = Image.new("RGB", (left - pad, cell), "white")
        # Turned a quarter anticlockwise, its start comes next to the grid.
        ImageDraw.Draw(upright).text((0, cell / 2), label, fill="black", font=font, anchor="lm")
        picture.paste(upright.rotate(90, expand=True), (left + r * cell, 0))
        for c, j in enumerate(order):
            box = (left + c * cell, y, left + (c + 1) * cell - 1, y + cell - 1)
            if i == j:
                draw.rectangle(box, fill=(220, 220, 220))
                continue
            share = ladder.wins[i, j] / ladder.matches
            # Coloured by the score, an undecided match being half won, so that
            # a side that only ever draws is told from one that only loses.
            score = share + ladder.undecided[i, j] / (2 * ladder.matches)
            draw.rectangle(box, fill=_colour(score))
            draw.text(
                ((box[0] + box[2]) / 2, (box[1] + box[3]) / 2),
                f"{100 * share:.0f}%",
                fill="black",
                font=font,
                anchor="mm",
            )
    buffer = io.BytesIO()
    picture.save(buffer, format="PNG")
    return buffer.getvalue()


LOSING, EVEN, WINNING = np.array([214, 96, 77]), np.array([247, 247, 247]), np.array([77, 172, 38])


def _colour(share: float) -> tuple[int, int, int]:
    """From red (none won) through white (half) to green (all won)."""
    far, t = (LOSING, 1 - 2 * share) if share < 0.5 else (WINNING, 2 * share - 1)
    return tuple(int(v) for v in np.round(EVEN + t * (far - EVEN)))  # type: ignore[return-value]


def write_ladder(ladder: Ladder, folder: str | Path) -> list[Path]:
    """Write ratings.json, win-matrix.png and ladder.md into `folder`; the paths written."""
    folder = Path(folder)
    data = (
        json.dumps(ladder.as_json(), indent=1).encode(),
        heatmap_png(ladder),
        ladder.markdown().encode(),
    )
    return [Path(write_atomic(folder / name, content)) for name, content in zip(OUTPUTS, data)]
