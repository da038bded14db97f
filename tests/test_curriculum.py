"""Mixtures of opponents in one batch, and the stages a learner goes through."""

import numpy as np
import pytest

from zorbic.core.batch import SoccerBatch
from zorbic.core.match_setup import MatchSetup
from zorbic.parts.curriculum import SELF, Curriculum, MixedOpponent, Stage
from zorbic.parts.opponents import (
    ChaserOpponent,
    IdleOpponent,
    Opponent,
    PolicyOpponent,
    RandomOpponent,
)


class Constant(Opponent):
    def __init__(self, value):
        self.value = value
        self.resets = 0

    def reset(self, state, field, slots, which):
        self.resets += 1

    def act(self, state, field, slots):
        return np.full((state.n_matches, len(slots), 3), self.value, np.int64)


@pytest.mark.parametrize(
    "weights, matches, counts",
    [
        ((0.5, 0.3, 0.2), 10, [5, 3, 2]),
        ((0.5, 0.3, 0.2), 7, [4, 2, 1]),  # 3.5, 2.1, 1.4: the largest remainder takes the spare match
        ((1, 1, 1), 4, [2, 1, 1]),
        ((0.0, 1.0), 3, [0, 3]),
    ],
)
def test_matches_are_shared_by_weight(weights, matches, counts):
    mixed = MixedOpponent([(Constant(i), w) for i, w in enumerate(weights)])
    assert np.bincount(mixed.assignment(matches), minlength=len(weights)).tolist() == counts


def test_each_match_takes_its_own_opponents_actions():
    mixed = MixedOpponent([(Constant(1), 1.0), (Constant(-1), 2.0)])
    batch = SoccerBatch(6, MatchSetup(opponent=mixed))
    batch.restart()
    actions = mixed.act(batch.state, batch.field, batch.others)
    assert actions[:, 0, 0].tolist() == [1, 1, -1, -1, -1, -1]
    assert all(opponent.resets == 1 for opponent in mixed.opponents)


def test_seeding_reaches_every_opponent():
    def run(seed):
        mixed = MixedOpponent([(RandomOpponent(), 1.0), (RandomOpponent(), 1.0)])
        batch = SoccerBatch(4, MatchSetup(opponent=mixed))
        batch.seed(seed)
        batch.restart()
        return mixed.act(batch.state, batch.field, batch.others)

    assert np.array_equal(run(5), run(5))
    first = run(5)
    # The two halves draw from different generators.
    assert not np.array_equal(first[:2], first[2:])


@pytest.mark.parametrize("weights", [(), (-1.0, 2.0), (0.0, 0.0), (np.nan, 1.0)])
def test_bad_weights_are_refused(weights):
    with pytest.raises(ValueError):
        MixedOpponent([(IdleOpponent(), w) for w in weights])


def _weights(mixed):
    return [(type(o).__name__, round(float(s), 3)) for o, s in zip(mixed.opponents, mixed.shares)]


def test_curriculum_moves_on_at_each_stages_win_rate():
    curriculum = Curriculum()
    frozen = []

    def freeze():
        frozen.append(object())
        return lambda obs: np.zeros(len(obs), np.int64)

    assert _weights(curriculum.opponent(None, None)) == [("IdleOpponent", 1.0)]
    assert not curriculum.advance({"idle": 0.89}, freeze)
    assert curriculum.advance({"idle": 0.9}, freeze) and curriculum.stage.name == "random"
    assert curriculum.advance({"random": 0.95, "chaser": 0.9}, freeze) and curriculum.stage.name == "chaser"
    assert not frozen
    # The chaser stage ends in the stage of frozen copies, which takes one at once.
    assert curriculum.advance({"chaser": 0.6}, freeze) and curriculum.stage.name == SELF
    assert len(frozen) == 1 and len(curriculum.copies) == 1


def test_frozen_copies_split_their_share_and_only_the_newest_are_kept():
    stages = (Stage("start", {"idle": 1.0}, ("idle", 0.5)), Stage(SELF, {"chaser": 0.5, SELF: 0.5}, None))
    curriculum = Curriculum(stages, keep=2)
    setup = MatchSetup()
    # No copy yet: the "self" share waits, the rest fills the batch.
    curriculum.index = 1
    assert _weights(curriculum.opponent(setup.obs_builder, setup.action_parser)) == [("ChaserOpponent", 1.0)]
    copies = [lambda obs, i=i: np.full(len(obs), i, np.int64) for i in range(3)]
    for copy in copies:
        assert curriculum.advance({}, lambda copy=copy: copy)
    assert curriculum.copies == copies[1:]
    mixed = curriculum.opponent(setup.obs_builder, setup.action_parser)
    assert _weights(mixed) == [("ChaserOpponent", 0.5), ("PolicyOpponent", 0.25), ("PolicyOpponent", 0.25)]
    assert [o.policy for o in mixed.opponents[1:]] == copies[1:]
    assert isinstance(mixed.opponents[0], ChaserOpponent) and isinstance(mixed.opponents[1], PolicyOpponent)


@pytest.mark.parametrize(
    "stages, keep",
    [
        ((), 3),
        ((Stage("a", {"idle": 1}, None), Stage("b", {"idle": 1}, None)), 3),
        ((Stage("a", {"idle": 1}, None),), 0),
    ],
)
def test_bad_curricula_are_refused(stages, keep):
    with pytest.raises(ValueError):
        Curriculum(stages, keep)
