"""Team play: scripted teams' wins counted per team on either side, team-mates
steered in their own frames, the team reward terms, and the team trainer's path."""

import numpy as np
import pytest

from agent_helpers import rusher_agent
from zorbic.agents import save_agent
from zorbic.core.batch import SoccerBatch
from zorbic.core.match_setup import MatchSetup
from zorbic.parts.observations import EgocentricObservation
from zorbic.parts.opponents import ChaserOpponent, Opponent, eight_way
from zorbic.parts.rewards import DistancePotential
from zorbic.training.evaluate import play_matches
from zorbic.training.single_view import SingleView


class Toucher(Opponent):
    """Red's first player runs at the ball until it moves, then the whole team stands
    still: it lifts the kickoff barrier and leaves the goal to the other team."""

    def reset(self, state, field, slots, which):
        self.moved = np.zeros(state.n_matches, np.bool_)

    def act(self, state, field, slots):
        actions = np.zeros((state.n_matches, len(slots), 3), np.int64)
        self.moved |= np.any(state.ball_vel[:, 0] != 0, axis=-1)
        ball = state.ball_pos.view(np.complex128)[:, 0]
        first = state.player_pos.view(np.complex128)[:, slots[0], 0]
        eight_way((ball - first) * ~self.moved, actions[:, 0])
        return actions


@pytest.mark.parametrize(
    "side, own, rivals",
    # Not blue 3 v 3: once red has kicked off, three idle defenders wall the goal off from the chasers.
    [("red", 3, 3), ("red", 2, 1), ("red", 1, 2), ("blue", 2, 1), ("blue", 1, 2)],
)
def test_a_scripted_team_that_scores_wins_every_match_on_either_side(side, own, rivals):
    against = "idle" if side == "red" else Toucher()
    result = play_matches(ChaserOpponent(), against, 6, side=side, n_red=own, n_blue=rivals)
    assert (result.wins, result.losses, result.undecided) == (6, 0, 0)


@pytest.mark.parametrize("own, rivals", [(3, 3), (2, 1)])
@pytest.mark.parametrize("side", ["red", "blue"])
def test_every_team_mate_runs_at_the_ball_through_its_own_frame(side, own, rivals):
    # The rusher reads the ball's position in each player's own frame and
    # acts in it; mirrored wrongly for one team-mate, it would run away from
    # the ball (two rushers conceding to one idle player did so by their own
    # kicks: they chase the ball back past their team-mate and kick it on).
    batches = []
    agent = rusher_agent(n_red=own, n_blue=rivals)
    play_matches(
        agent, "idle", 2, side=side, max_steps=4, deterministic=True, watch=batches.append, n_red=own, n_blue=rivals
    )
    [batch] = batches
    start = SoccerBatch(2, batch.setup)
    start.restart()
    before = np.hypot(*(start.state.ball_pos[:, None] - start.state.player_pos[:, batch.slots]).transpose(2, 0, 1))
    after = np.hypot(*(batch.state.ball_pos[:, None] - batch.state.player_pos[:, batch.slots]).transpose(2, 0, 1))
    assert np.all(after < before - 10.0)


# ------------------------------------------------------------ team rewards


def test_the_team_potential_is_its_nearest_players_distance_shared_by_the_team():
    batch = SoccerBatch(3, MatchSetup(n_red=3, n_blue=3, learners="red", opponent="random"))
    batch.restart()
    for _ in range(20):
        batch.step(np.random.default_rng(0).integers(0, 18, batch.n_learners))
    state, field = batch.state, batch.field
    term = DistancePotential("team_to_ball")
    red = term.potential(state, field, batch.slots)
    blue = term.potential(state, field, np.arange(3, 6))
    reach = np.hypot(*(state.ball_pos[:, None] - state.player_pos).transpose(2, 0, 1)) / field.diagonal
    np.testing.assert_allclose(red, np.repeat(-reach[:, :3].min(axis=1, keepdims=True), 3, axis=1))
    np.testing.assert_allclose(blue, np.repeat(-reach[:, 3:].min(axis=1, keepdims=True), 3, axis=1))
    own = DistancePotential("player_to_ball").potential(state, field, batch.slots)
    assert np.all(red >= own)


# ----------------------------------------------------------- team trainer


def test_a_short_team_training_writes_every_result_and_its_ladder(tmp_path, capsys):
    pytest.importorskip("stable_baselines3")
    pytest.importorskip("matplotlib", reason="the learning curve needs matplotlib (the [train] extra)")
    pytest.importorskip("openskill")
    from zorbic.agents import load_agent
    from zorbic.training.train import train

    summary = train(
        minutes=0.01, out=tmp_path, envs=8, seed=0, eval_seconds=1000.0, eval_matches=2, n_red=3, n_blue=3, ladder=True
    )
    assert summary["samples"] >= 8 * 3 * 128 and summary["settings"]["n_red"] == 3
    agent = load_agent(tmp_path / "model.agent")
    assert (agent.setup["n_red"], agent.setup["n_blue"]) == (3, 3)
    # Each team-mate sees itself, the ball, two team-mates, three opponents and the goal mouths.
    assert agent.obs_dim == 4 * (1 + 6) + 4
    ladder = sorted(path.name for path in (tmp_path / "ladder").iterdir())
    assert {"ratings.json", "win-matrix.png", "ladder.md"} <= set(ladder)
    assert any(name.startswith("copy") and name.endswith(".agent") for name in ladder)
    assert "frozen copies" in capsys.readouterr().out


# ------------------------------------------------- a 1 v 1 agent in a team


def test_a_single_view_shows_each_player_itself_the_ball_and_its_nearest_rival():
    builder = EgocentricObservation(goal_mouths=True)
    batch = SoccerBatch(4, MatchSetup(n_red=3, n_blue=3, learners="blue", opponent="random", obs_builder=builder))
    batch.restart()
    rng = np.random.default_rng(1)
    for _ in range(15):
        batch.step(rng.integers(0, 18, batch.n_learners))
    state, field, slots = batch.state, batch.field, batch.slots
    view = SingleView(builder)
    seen = view.build(state, field, slots)
    full = builder.build(state, field, slots)
    assert seen.shape == (4, 3, 16) and view.size(field) == 16
    gaps = state.player_pos[:, :3][:, None] - state.player_pos[:, slots][:, :, None]
    nearest = np.hypot(gaps[..., 0], gaps[..., 1]).argmin(axis=-1)  # red slot nearest each blue player
    for m, k in np.ndindex(4, 3):
        # In the full view the two team-mates come first, then the rivals in slot order.
        rival = full[m, k, 16 + 4 * nearest[m, k] : 20 + 4 * nearest[m, k]]
        expected = np.concatenate([full[m, k, :8], rival, full[m, k, 28:]])
        np.testing.assert_array_equal(seen[m, k], expected)


def test_a_team_model_is_evaluated_against_a_single_agent_in_every_slot(tmp_path, capsys):
    from zorbic.agents import save_agent
    from zorbic.commands import main as cli

    builder = {"obs_builder": EgocentricObservation(goal_mouths=True)}
    team = save_agent(rusher_agent(n_red=3, n_blue=3, **builder), tmp_path / "team.agent")
    single = save_agent(rusher_agent(**builder), tmp_path / "single.agent")
    assert cli.main(["evaluate", str(team), "--against", str(single), "--matches", "4", "--side", "both"]) == 0
    assert capsys.readouterr().out.startswith("against single.agent in every slot: 4 matches")
    other = save_agent(rusher_agent(n_red=2, n_blue=2), tmp_path / "other.agent")
    assert cli.main(["evaluate", str(team), "--against", str(other), "--matches", "2"]) == 1
    assert "another kind of match" in capsys.readouterr().err


@pytest.mark.parametrize(
    "against, rate, status",
    [("idle", "0.5", 0), ("idle", "0", 0), ("chaser", "0.9", 1), ("chaser", "1", 1)],
)
def test_evaluate_at_least_fails_only_a_model_below_the_rate(tmp_path, against, rate, status, capsys):
    from zorbic.commands import main as cli

    # The rusher beats the idle player most of the time and loses to the chaser by construction.
    model = save_agent(rusher_agent(), tmp_path / "rusher.agent")
    assert cli.main(["evaluate", str(model), "--against", against, "--matches", "8", "--at-least", rate]) == status
    assert ("is below" in capsys.readouterr().err) == bool(status)


@pytest.mark.parametrize("rate", ["1.5", "-0.1", "nan", "most"])
def test_evaluate_at_least_refuses_what_is_no_win_rate(tmp_path, rate, capsys):
    from zorbic.commands import main as cli

    model = save_agent(rusher_agent(), tmp_path / "rusher.agent")
    with pytest.raises(SystemExit):
        cli.main(["evaluate", str(model), "--against", "idle", "--at-least", rate])
    assert "fraction from 0 to 1" in capsys.readouterr().err
