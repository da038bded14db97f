"""The contracts of the parts and of the batch's observers, and the set-up's bounds."""

import gymnasium
import numpy as np
import pytest

import zorbic
import zorbic_core
from zorbic.core.batch import SoccerBatch
from zorbic.core.match_setup import MAX_PLAYERS, MAX_STEPS, MAX_TICK_SKIP, MatchSetup
from zorbic.core.observer import BatchObserver
from zorbic.parts.actions import ActionParser
from zorbic.parts.observations import ObservationBuilder
from zorbic.parts.opponents import Opponent
from zorbic.parts.resets import ResetRule, StateReset
from zorbic.parts.rewards import Reward
from zorbic.replays.format import MAX_TICK_SKIP as REPLAY_MAX_TICK_SKIP


class SizeOnly(ObservationBuilder):
    def size(self, field):
        return 2


class CheckOnly(ActionParser):
    def check(self, actions, batch):
        return np.asarray(actions)


class Forgetful(Opponent):
    def reset(self, state, field, slots, which):
        pass


class Empty(Reward):
    pass


class NoRestart(ResetRule):
    pass


class NoPlace(StateReset):
    pass


@pytest.mark.parametrize(
    "part, missing",
    [
        (SizeOnly, "build"),
        (CheckOnly, "to_engine"),
        (Forgetful, "act"),
        (Empty, "__call__"),
        (NoRestart, "restart"),
        (NoPlace, "place"),
    ],
)
def test_a_part_missing_a_required_method_is_refused_at_construction(part, missing):
    with pytest.raises(TypeError, match=f"abstract method.*{missing}"):
        part()


def test_user_parts_that_implement_the_required_methods_play():
    class BallOnly(ObservationBuilder):
        def size(self, field):
            return 2

        def build(self, state, field, slots):
            rel = state.ball_pos[:, None, :] - state.player_pos[:, slots]
            return (rel / field.extent).astype(np.float32)

    class StandStill(Opponent):
        def act(self, state, field, slots):
            return np.zeros((state.n_matches, len(slots), 3), np.int64)

    def stay_central(state, field, slots):
        return -np.abs(state.player_pos[:, slots, 1])

    setup = MatchSetup(obs_builder=BallOnly(), opponent=StandStill(), reward_fn=stay_central)
    batch = SoccerBatch(3, setup)
    batch.restart()
    rewards, terminated, truncated = batch.step(np.zeros(3, np.int64))
    assert batch.observe().shape == (3, 2)
    assert rewards.shape == (3,) and rewards.dtype == np.float64 and np.all(rewards <= 0)


class Watch:
    def __init__(self):
        self.calls = []

    def on_reset(self, batch, which, start):
        self.calls.append(("reset", which.copy(), start))

    def on_step(self, batch, actions, scored):
        self.calls.append(("step", actions.shape, scored.dtype))


def test_an_observer_hears_restarts_and_steps_until_it_is_removed():
    batch = SoccerBatch(2, MatchSetup())
    watch = Watch()
    assert isinstance(watch, BatchObserver)
    batch.add_observer(watch)
    batch.restart(np.array([False, True]))
    batch.step(np.zeros(2, np.int64))
    batch.remove_observer(watch)
    batch.step(np.zeros(2, np.int64))
    assert [c[0] for c in watch.calls] == ["reset", "step"]
    assert watch.calls[0][1].tolist() == [False, True] and watch.calls[0][2] is None
    assert watch.calls[1][1:] == ((2, 2, 3), np.int8)


@pytest.mark.parametrize(
    "observer", [object(), lambda batch, actions, scored: None, type("Half", (), {"on_step": 1})()]
)
def test_an_object_without_the_observer_methods_is_refused(observer):
    batch = SoccerBatch(1, MatchSetup())
    with pytest.raises(TypeError, match="on_reset and on_step"):
        batch.add_observer(observer)
    assert batch.observers == []


@pytest.mark.parametrize(
    "kwargs, error, words",
    [
        (dict(tick_skip=MAX_TICK_SKIP + 1), ValueError, "tick_skip must be from 1 to 65536, got 65537"),
        (dict(tick_skip=10**9), ValueError, "tick_skip must be from 1 to 65536"),
        (dict(tick_skip=10**30), ValueError, "tick_skip must be from 1 to 65536"),
        (dict(tick_skip=8.0), TypeError, "tick_skip must be an int, not float"),
        (dict(max_steps=MAX_STEPS + 1), ValueError, "max_steps must be from 1 to"),
        (dict(max_steps=10**30), ValueError, "max_steps must be from 1 to"),
        (dict(n_red=10**20), ValueError, "n_red must be from 0 to 32"),
        (dict(n_blue=MAX_PLAYERS + 1, n_red=0), ValueError, "n_blue must be from 0 to 32"),
        (dict(n_red=True), TypeError, "n_red must be an int, not bool"),
        (dict(self_play=1), TypeError, "self_play must be True or False"),
        (dict(sync_episodes="yes"), TypeError, "sync_episodes must be True or False"),
        (dict(learners=[True]), ValueError, "slot number"),
    ],
)
def test_set_up_numbers_outside_their_bounds_are_refused_by_name(kwargs, error, words):
    with pytest.raises(error, match=words):
        MatchSetup(**kwargs)


def test_the_largest_set_up_numbers_are_accepted():
    setup = MatchSetup(n_red=MAX_PLAYERS, n_blue=0, tick_skip=MAX_TICK_SKIP, max_steps=MAX_STEPS)
    # The largest tick count an episode can reach still fits a signed 64-bit counter.
    assert setup.max_steps * setup.tick_skip < 2**63
    assert setup.slots == (0,)


@pytest.mark.parametrize("tick_skip", [10**9, 10**30])
def test_the_registered_env_refuses_a_huge_tick_skip_before_stepping(tick_skip):
    with pytest.raises(ValueError, match="tick_skip must be from 1 to 65536"):
        gymnasium.make(zorbic.ENV_ID, tick_skip=tick_skip)


def test_the_bounds_agree_with_the_engine_and_the_replay_format():
    assert MAX_TICK_SKIP == REPLAY_MAX_TICK_SKIP
    zorbic_core.VecEnv(1, MAX_PLAYERS, 0)
    with pytest.raises(ValueError):
        zorbic_core.VecEnv(1, MAX_PLAYERS, 1)
