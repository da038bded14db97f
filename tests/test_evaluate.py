"""Counting wins: the interval, the batched matches, a model's saved set-up, the command's arguments."""

import json

import numpy as np
import pytest

from zorbic.commands import main as cli
from zorbic.commands.evaluate import run as run_evaluate
from zorbic.core.match_setup import MatchSetup
from zorbic.parts.observations import EgocentricObservation
from zorbic.training.evaluate import (
    Evaluation,
    play_matches,
    wilson_interval,
)
from zorbic.training.model_files import saved_setup, setup_from_saved


def rusher(obs):
    """Runs at the ball (observation columns 4 and 5) in the nearest of the eight directions, kicking."""
    angle = np.arctan2(obs[:, 5], obs[:, 4])
    direction = np.round(angle / (np.pi / 4)).astype(np.int64) % 8 + 1
    return direction * 2 + 1


def still(obs):
    return np.zeros(len(obs), np.int64)


# ------------------------------------------------------------- interval


@pytest.mark.parametrize(
    "successes, trials, low, high",
    [
        # Closed forms: z^2 / (n + z^2) above none won, n / (n + z^2) below all won.
        (0, 10, 0.0, 3.8415 / 13.8415),
        (10, 10, 10 / 13.8415, 1.0),
        (5, 10, 0.2366, 0.7634),
        (0, 0, 0.0, 1.0),
    ],
)
def test_wilson_interval_known_values(successes, trials, low, high):
    assert wilson_interval(successes, trials) == pytest.approx((low, high), abs=1e-4)


@pytest.mark.parametrize("successes, trials", [(1, 1000), (640, 1000), (999, 1000), (3, 7)])
def test_wilson_interval_mirrors_holds_the_rate_and_narrows(successes, trials):
    low, high = wilson_interval(successes, trials)
    assert 0.0 <= low < successes / trials < high <= 1.0
    mirrored_low, mirrored_high = wilson_interval(trials - successes, trials)
    assert (low, high) == pytest.approx((1 - mirrored_high, 1 - mirrored_low))
    wider = wilson_interval(successes, trials)
    narrower = wilson_interval(successes * 10, trials * 10)
    assert narrower[1] - narrower[0] < wider[1] - wider[0]


@pytest.mark.parametrize("successes, trials", [(-1, 10), (11, 10)])
def test_wilson_interval_refuses_impossible_counts(successes, trials):
    with pytest.raises(ValueError, match="successes"):
        wilson_interval(successes, trials)


def test_evaluation_line_and_sum():
    first, second = Evaluation("chaser", 6, 3, 1), Evaluation("chaser", 2, 1, 1)
    total = first + second
    assert (total.wins, total.losses, total.undecided, total.matches) == (8, 4, 2, 14)
    low, high = wilson_interval(8, 14)
    assert total.line() == (
        f"against chaser: 14 matches, 8 won, 4 lost, 2 undecided; win rate {800 / 14:.1f} %"
        f" (95 % Wilson interval {100 * low:.1f} - {100 * high:.1f} %)"
    )
    with pytest.raises(ValueError, match="idle"):
        first + Evaluation("idle", 1, 0, 0)


# ----------------------------------------------------------------- play


@pytest.mark.parametrize(
    "policy, against, side, outcome",
    [
        (rusher, "idle", "red", (8, 0, 0)),
        # Red kicks off; the barrier keeps blue in its half until red touches the ball.
        (rusher, "idle", "blue", (0, 0, 8)),
        (still, "idle", "red", (0, 0, 8)),
        (still, "chaser", "red", (0, 0, 8)),
        (still, "chaser", "blue", (0, 8, 0)),
    ],
)
def test_matches_are_counted_for_the_side_played(policy, against, side, outcome):
    result = play_matches(policy, against, 8, seed=0, side=side)
    assert (result.wins, result.losses, result.undecided) == outcome
    assert result.against == against


def test_both_sides_split_the_matches_red_taking_the_odd_one():
    both = play_matches(rusher, "idle", 7, side="both")
    assert (both.wins, both.losses, both.undecided) == (4, 0, 3)


def test_results_follow_the_seed_alone():
    first = play_matches(rusher, "random", 20, seed=0, max_steps=100)
    assert play_matches(rusher, "random", 20, seed=0, max_steps=100) == first
    assert play_matches(rusher, "random", 20, seed=1, max_steps=100) != first


def test_no_match_ends_before_its_goal_or_max_steps():
    seen = []

    def watch(batch):
        seen.append(batch)

    result = play_matches(still, "idle", 5, max_steps=40, watch=watch, label="nobody")
    assert result == Evaluation("nobody", 0, 0, 5)
    [batch] = seen
    assert batch.n_matches == 5 and np.all(batch.state.episode_steps == 40)


@pytest.mark.parametrize(
    "keywords, error, message",
    [
        ({"matches": 0}, ValueError, "matches"),
        ({"matches": True}, TypeError, "matches must be an int, not bool"),
        ({"side": "green"}, ValueError, "side"),
        ({"learners": "blue"}, ValueError, "learners"),
        ({"sync_episodes": True}, ValueError, "sync_episodes"),
        ({"max_steps": 0}, ValueError, "max_steps"),
    ],
)
def test_bad_arguments_are_refused(keywords, error, message):
    arguments = {"matches": 4, **keywords}
    with pytest.raises(error, match=message):
        play_matches(still, "idle", **arguments)


# ------------------------------------------------------------ saved set-up


def test_saved_setup_round_trips_through_json():
    builder = EgocentricObservation(goal_mouths=True, ball_prediction=(4, 8), wall_rays=3)
    setup = MatchSetup(tick_skip=4, max_steps=120, obs_builder=builder, action_parser="multi_discrete")
    keywords = setup_from_saved(json.loads(json.dumps(saved_setup(setup))))
    again = MatchSetup(**keywords)
    assert (again.tick_skip, again.max_steps, again.n_red, again.n_blue) == (4, 120, 1, 1)
    rebuilt = again.obs_builder
    assert (rebuilt.goal_mouths, rebuilt.ball_prediction, rebuilt.wall_rays, rebuilt.obstacles) == (
        True,
        [4, 8],
        3,
        False,
    )
    assert type(again.action_parser) is type(setup.action_parser)
    assert setup_from_saved(None) == {}


@pytest.mark.parametrize(
    "damage",
    [lambda s: s.pop("observation"), lambda s: s.update(tick_skip="8"), lambda s: s["observation"].update(rays=2)],
)
def test_damaged_saved_setup_is_refused(damage):
    saved = saved_setup(MatchSetup())
    damage(saved)
    with pytest.raises(ValueError, match="saved set-up"):
        setup_from_saved(saved)


# ------------------------------------------------------------- command


def _parse(argv):
    return cli.parser().parse_args(argv)


def test_command_arguments():
    args = _parse(["evaluate", "model.zip", "--against", "chaser", "--matches", "50", "--seed", "3"])
    assert (str(args.model), args.against, args.matches, args.seed, args.side) == ("model.zip", "chaser", 50, 3, "red")
    assert args.run is run_evaluate
    assert _parse(["evaluate", "m.zip", "--against", "idle"]).matches == 1000


@pytest.mark.parametrize(
    "option, value, words",
    [
        ("--matches", "0", "from 1 to 100000"),
        ("--matches", "100000001", "from 1 to 100000"),
        ("--matches", "1e8", "not a whole number"),
        ("--seed", "-1", "from 0 to 18446744073709551615"),
        ("--seed", "1" + "0" * 30, "out of range"),
    ],
)
def test_command_refuses_counts_and_seeds_out_of_range(capsys, option, value, words):
    with pytest.raises(SystemExit) as stop:
        _parse(["evaluate", "m.agent", "--against", "idle", option, value])
    assert stop.value.code == 2 and words in capsys.readouterr().err


# ------------------------------------------------------------------ teams


@pytest.mark.parametrize(
    "policy, against, side, own, rivals, outcome",
    [
        # Any team-mate's goal is the team's win, counted once per match.
        (rusher, "idle", "red", 3, 3, (6, 0, 0)),
        (rusher, "idle", "red", 1, 2, (6, 0, 0)),
        # The chasers wait behind the kickoff barrier until red touches the ball.
        (still, "chaser", "red", 3, 3, (0, 0, 6)),
        (still, "chaser", "red", 2, 1, (0, 0, 6)),
        # A goal against the team is its loss, whichever side it plays.
        (still, "chaser", "blue", 3, 3, (0, 6, 0)),
        (still, "chaser", "blue", 2, 1, (0, 6, 0)),
        (still, "chaser", "blue", 1, 2, (0, 6, 0)),
    ],
)
def test_team_outcomes_are_counted_per_match(policy, against, side, own, rivals, outcome):
    result = play_matches(policy, against, 6, seed=0, side=side, n_red=own, n_blue=rivals)
    assert (result.wins, result.losses, result.undecided) == outcome


@pytest.mark.parametrize("side", ["red", "blue"])
@pytest.mark.parametrize("own, rivals", [(3, 3), (2, 1)])
def test_the_policy_drives_every_slot_of_its_team_at_its_trained_size(side, own, rivals):
    batches, rows = [], []

    def counting(obs):
        rows.append(obs.shape)
        return still(obs)

    play_matches(counting, "idle", 4, side=side, max_steps=3, n_red=own, n_blue=rivals, watch=batches.append)
    [batch] = batches
    team = batch.field.teams[batch.slots]
    assert len(batch.slots) == own and np.all(team == team[0])
    # Its team keeps its size on either side: the rivals are the other team.
    assert (batch.setup.n_red, batch.setup.n_blue) == ((own, rivals) if side == "red" else (rivals, own))
    # Each slot sees itself, its own - 1 team-mates and the rivals, as in training.
    assert rows and all(shape == (4 * own, 4 * (1 + own + rivals)) for shape in rows)


def test_the_team_sides_of_a_match_agree_with_the_observations():
    # A blue learner of a 2 v 1 model sees one team-mate right after the ball:
    # its relative position is that of the other blue player, not the red one's.
    batches, seen = [], []

    def looking(obs):
        seen.append(obs.copy())
        return still(obs)

    play_matches(looking, "idle", 1, side="blue", max_steps=1, n_red=2, n_blue=1, watch=batches.append)
    [batch] = batches
    first = seen[0].reshape(2, -1)
    state, field = batch.state, batch.field
    blue = batch.slots
    mate = field.mirror[blue[0]] * (state.player_pos[0, blue[1], 0] - state.player_pos[0, blue[0], 0])
    assert first[0, 8] == pytest.approx(mate / field.extent[0], abs=1e-5)
