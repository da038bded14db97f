"""The parts of a training set-up: observations, actions, rewards, opponents,
reset rules and the set-up's own checks."""

import numpy as np
import pytest

import zorbic
from match_helpers import mirrored, shoot
from zorbic import (
    BallTowardsGoal,
    Combined,
    DistancePotential,
    EgocentricObservation,
    GoalReward,
    MatchSetup,
    PlayerTowardsBall,
    RandomPlacement,
    SoccerBatch,
)
from zorbic_core import FLAG_BLUE, FLAG_RED, VecEnv

ALL_FEATURES = dict(goal_mouths=True, ball_prediction=[3, 9], wall_rays=6, obstacles=True)


def batch_of(n_matches=2, **setup):
    setup.setdefault("opponent", "idle")
    batch = SoccerBatch(n_matches, MatchSetup(**setup))
    batch.seed(0)
    batch.restart()
    return batch


def place(batch, seed):
    """A random state in every match, read back into the batch."""
    rng = np.random.default_rng(seed)
    m, p = batch.n_matches, batch.field.n_players
    arrays = (
        rng.uniform(-300, 300, (m, 2)),
        rng.uniform(-3, 3, (m, 2)),
        rng.uniform(-300, 300, (m, p, 2)),
        rng.uniform(-2, 2, (m, p, 2)),
    )
    batch.env.set_state(*arrays)
    batch.refresh()


# ------------------------------------------------------------ observations


def expected_observation(batch, match, slot, features):
    """The documented layout, computed one learner at a time."""
    field, state = batch.field, batch.state
    flip = np.array([field.mirror[slot], 1.0])
    to_field, to_speed = flip / field.extent, flip / field.speed
    me = state.player_pos[match, slot]
    values = [me * to_field, state.player_vel[match, slot] * to_speed]
    values += [(state.ball_pos[match] - me) * to_field, state.ball_vel[match] * to_speed]
    mates = [s for s in range(field.n_players) if field.teams[s] == field.teams[slot] and s != slot]
    rivals = [s for s in range(field.n_players) if field.teams[s] != field.teams[slot]]
    for other in mates + rivals:
        values += [(state.player_pos[match, other] - me) * to_field, state.player_vel[match, other] * to_speed]
    if features.get("goal_mouths"):
        values += [(field.attack[slot] - me) * to_field, (field.defend[slot] - me) * to_field]
    for future in batch.env.predict_ball(features.get("ball_prediction", []))[match]:
        values.append((future - me) * to_field)
    rays = features.get("wall_rays", 0)
    for r in range(rays):
        angle = 2 * np.pi * r / rays
        direction = np.array([np.cos(angle) * field.mirror[slot], np.sin(angle)])
        nearest = field.diagonal
        for x0, y0, x1, y1 in field.walls:
            edge, offset = np.array([x1 - x0, y1 - y0]), np.array([x0, y0]) - me
            denom = direction[0] * edge[1] - direction[1] * edge[0]
            if denom == 0:
                continue
            t = (offset[0] * edge[1] - offset[1] * edge[0]) / denom
            u = (offset[0] * direction[1] - offset[1] * direction[0]) / denom
            if t >= 0 and 0 <= u <= 1:
                nearest = min(nearest, t)
        values.append([min(nearest / field.diagonal, 1.0)])
    if features.get("obstacles"):
        discs = batch.env.obstacle_discs()
        seen = sorted(range(len(discs)), key=lambda d: (discs[d, 0] * field.mirror[slot], discs[d, 1]))
        for d in seen:
            values += [(discs[d, :2] - me) * to_field, [discs[d, 2] / field.extent[0]]]
    return np.clip(np.concatenate(values), -10, 10).astype(np.float32)


@pytest.mark.parametrize("features", [{}, ALL_FEATURES], ids=["base", "every feature"])
@pytest.mark.parametrize("n_red, n_blue, learners", [(1, 1, None), (2, 3, "all"), (0, 2, "blue_1")])
def test_each_observation_follows_the_documented_layout(features, n_red, n_blue, learners):
    batch = batch_of(3, n_red=n_red, n_blue=n_blue, learners=learners, obs_builder=EgocentricObservation(**features))
    place(batch, seed=n_red + 10 * n_blue)
    obs = batch.observe()
    assert obs.shape == (batch.n_learners,) + batch.observation_space.shape
    assert obs.dtype == np.float32 and batch.observation_space.contains(obs[0])
    for row in range(batch.n_learners):
        match, slot = divmod(row, len(batch.slots))
        np.testing.assert_allclose(
            obs[row], expected_observation(batch, match, batch.slots[slot], features), rtol=1e-6, atol=1e-6
        )


def test_mirrored_observations_of_a_mirrored_state_are_equal():
    # Prediction is left out: the engine compiles mirrored walls from
    # differently ordered corners, so only geometry read here is exactly symmetric.
    features = dict(goal_mouths=True, wall_rays=8, obstacles=True)
    batch = batch_of(4, n_red=2, n_blue=2, self_play=True, obs_builder=EgocentricObservation(**features))
    place(batch, seed=3)
    obs = batch.observe().reshape(4, 4, -1)
    batch.env.set_state(*mirrored(batch.env.snapshot(), 2))
    batch.refresh()
    flipped = batch.observe().reshape(4, 4, -1)
    np.testing.assert_array_equal(obs[:, :2], flipped[:, 2:])
    np.testing.assert_array_equal(obs[:, 2:], flipped[:, :2])


def test_observations_are_clipped_and_recycled_only_when_nobody_holds_them():
    batch = batch_of(2)
    batch.env.set_state(*(a * 1e6 for a in batch.env.snapshot()[:4]))
    batch.refresh()
    held = batch.observe()
    view = batch.observe()[0]
    assert np.abs(held).max() == 10.0
    copies = [held.copy(), view.copy()]
    for _ in range(5):
        batch.observe().fill(123.0)
    np.testing.assert_array_equal(held, copies[0])
    np.testing.assert_array_equal(view, copies[1])


@pytest.mark.parametrize("kwargs", [dict(ball_prediction=[4, 2]), dict(ball_prediction=[0]), dict(wall_rays=-1)])
def test_observation_options_are_checked(kwargs):
    with pytest.raises(ValueError):
        EgocentricObservation(**kwargs)


# ----------------------------------------------------------------- actions


@pytest.mark.parametrize(
    "parser, action, red, blue",
    [
        ("discrete", 0, [0, 0, 0], [0, 0, 0]),
        ("discrete", 3, [1, 0, 2], [-1, 0, 2]),
        ("discrete", 4, [1, 1, 0], [-1, 1, 0]),
        ("discrete", 17, [1, -1, 2], [-1, -1, 2]),
        ("multi_discrete", [2, 0, 1], [1, -1, 2], [-1, -1, 2]),
        ("multi_discrete", [1, 1, 0], [0, 0, 0], [0, 0, 0]),
        ("raw", [7, -3, 1], [7, -3, 1], [-7, -3, 1]),
    ],
)
def test_actions_become_engine_actions_mirrored_for_blue(parser, action, red, blue):
    batch = batch_of(1, self_play=True, action_parser=parser)
    steps = []

    class Watch:
        def on_reset(self, batch, which, start):
            pass

        def on_step(self, batch, actions, scored):
            steps.append(actions.copy())

    batch.add_observer(Watch())
    batch.step(np.array([action, action]))
    assert steps[0].tolist() == [[red, blue]]


@pytest.mark.parametrize(
    "parser, actions, error, words",
    [
        ("discrete", np.array([0.0, 1.0]), TypeError, "integers"),
        ("discrete", np.array([True, False]), TypeError, "integers"),
        ("discrete", np.array([[0], [1]]), ValueError, r"shape \(2,\)"),
        ("discrete", np.array([0, 18]), ValueError, r"Discrete\(18\)"),
        ("discrete", np.array([-1, 0]), ValueError, "must lie in"),
        ("discrete", [0], ValueError, "shape"),
        ("multi_discrete", np.array([[0, 0, 2], [0, 0, 0]]), ValueError, "MultiDiscrete"),
        ("multi_discrete", np.zeros(2, np.int64), ValueError, r"shape \(2, 3\)"),
        ("raw", np.array([[2**62 + 1, 0, 0], [0, 0, 0]]), ValueError, "must lie in"),
        ("raw", "left", TypeError, "integers"),
    ],
)
def test_bad_actions_are_refused_before_any_match_moves(parser, actions, error, words):
    batch = batch_of(1, self_play=True, action_parser=parser)
    batch.step(np.zeros((2, 3), np.int64) if parser != "discrete" else np.zeros(2, np.int64))
    before = batch.env.snapshot()
    with pytest.raises(error, match=words):
        batch.step(actions)
    for old, new in zip(before, batch.env.snapshot()):
        assert old.tobytes() == new.tobytes()


# ----------------------------------------------------------------- rewards


def test_goal_rewards_are_zero_sum_in_self_play():
    batch = batch_of(16, n_red=2, n_blue=2, self_play=True, action_parser="raw")
    chaser = zorbic.ChaserOpponent()
    goals = 0
    for _ in range(300):
        rewards, terminated, _ = batch.step(chaser.act(batch.state, batch.field, batch.slots).reshape(-1, 3))
        per_match = rewards.reshape(16, 4)
        assert not per_match.sum(axis=1).any()
        ended = batch.matches(terminated)
        goals += int(ended.sum())
        np.testing.assert_array_equal(per_match[ended, :2], -per_match[ended, 2:])
        assert np.abs(per_match[ended]).min(initial=1) == 1
        batch.restart(ended)
    assert goals > 0


def test_a_goal_of_no_team_rewards_nobody():
    state = zorbic.BatchState(
        *(np.zeros((1, 2)),) * 2,
        np.zeros((1, 2, 2)),
        np.zeros((1, 2, 2)),
        np.zeros(1, np.int64),
        np.zeros(1, np.int64),
        np.array([0], np.int8),
        np.ones(1, bool),
    )
    field = batch_of(1, self_play=True).field
    assert GoalReward()(state, field, np.array([0, 1])).tolist() == [[0.0, 0.0]]


def test_shaping_terms_point_the_right_way():
    batch = batch_of(1, self_play=True, action_parser="raw")
    ball_pos, ball_vel, *players = batch.env.snapshot()
    ball_vel[0] = (3.0, 0.5)  # towards blue's goal, which red attacks
    batch.env.set_state(ball_pos, ball_vel, *players)
    batch.step(np.zeros((2, 3), np.int64))
    towards_goal = BallTowardsGoal()(batch.state, batch.field, batch.slots)
    assert towards_goal[0, 0] > 0 > towards_goal[0, 1]
    # Both players run at the ball from their kickoff places.
    batch.restart()
    for _ in range(3):
        batch.step(np.array([[1, 0, 0], [1, 0, 0]]))  # forward in each one's own frame
    assert (PlayerTowardsBall()(batch.state, batch.field, batch.slots) > 0).all()


def test_a_distance_potential_telescopes_over_an_episode():
    term = DistancePotential("player_to_ball", gamma=1.0)
    batch = batch_of(2, reward_fn=term, action_parser="raw")
    start = term.potential(batch.state, batch.field, batch.slots)
    total = sum(batch.step(np.array([[1, 0, 0], [1, 1, 0]]))[0] for _ in range(10))
    end = term.potential(batch.state, batch.field, batch.slots)
    np.testing.assert_allclose(total, (end - start).reshape(-1), atol=1e-12)
    with pytest.raises(ValueError, match="unknown potential"):
        DistancePotential("ball_to_corner")


def test_a_potential_is_zero_where_an_episode_ends_so_waiting_never_pays():
    term = DistancePotential("ball_to_goal", gamma=0.9)
    batch = batch_of(2, reward_fn=term, action_parser="raw")
    before = term.potential(batch.state, batch.field, batch.slots)
    shoot(batch.env, [1])
    rewards, terminated, _ = batch.step(np.zeros((2, 3), np.int64))
    assert terminated.tolist() == [False, True]
    # The goal's step: gamma * 0 - phi(start); the still match: (gamma - 1) * phi(start).
    np.testing.assert_allclose(rewards, [(0.9 - 1) * before[0, 0], -before[1, 0]])


def test_combined_adds_weighted_terms_and_user_functions():
    def own_x(state, field, slots):
        return state.player_pos[:, slots, 0]

    batch = batch_of(2, reward_fn=Combined((GoalReward(), 2.0), (own_x, 0.5)), action_parser="raw")
    shoot(batch.env, [1])
    rewards, _, _ = batch.step(np.zeros((2, 3), np.int64))
    expected = 0.5 * batch.state.player_pos[:, 0, 0] + 2.0 * np.array([0.0, 1.0])
    np.testing.assert_allclose(rewards, expected)
    broken = batch_of(1, reward_fn=Combined((lambda state, field, slots: np.zeros(3), 1.0)), action_parser="raw")
    with pytest.raises(ValueError, match="returned shape"):
        broken.step(np.zeros((1, 3), np.int64))


# --------------------------------------------------------------- opponents


@pytest.mark.parametrize("chasers", ["red", "blue"])
def test_the_chaser_scores_against_an_idle_side(chasers):
    idle = "blue" if chasers == "red" else "red"
    batch = batch_of(8, n_red=2, n_blue=2, learners=idle, opponent="chaser")
    batch.env.set_state(*batch.env.snapshot())  # in play from the centre spot, whoever kicks off
    conceder = FLAG_BLUE if chasers == "red" else FLAG_RED
    scored = np.zeros(8, bool)
    for _ in range(200):
        batch.step(np.zeros(16, np.int64))
        scored |= batch.state.scored == conceder
    assert scored.sum() >= 6


def test_a_policy_opponent_sees_its_own_frame_and_is_mirrored_back():
    seen = []

    def forward(obs):
        seen.append(obs.copy())
        return np.full(len(obs), 2)  # straight ahead, no kick

    class Model:
        def predict(self, obs, deterministic):
            assert deterministic
            return np.full(len(obs), 2), None

    for policy in (forward, Model()):
        batch = batch_of(2, n_red=1, n_blue=2, opponent=policy)
        actions = []
        batch.add_observer(
            type("Watch", (), {"on_reset": lambda *a: None, "on_step": lambda s, b, a, sc: actions.append(a.copy())})()
        )
        batch.step(np.zeros(2, np.int64))
        assert actions[0][:, 1:].tolist() == [[[-1, 0, 0], [-1, 0, 0]]] * 2
    assert seen[0].shape == (4, batch.observation_space.shape[0])
    broken = batch_of(1, n_red=1, n_blue=1, opponent=lambda obs: np.full(len(obs), 99))
    with pytest.raises(ValueError, match="Discrete"):
        broken.step(np.zeros(1, np.int64))


@pytest.mark.parametrize("choice, error", [("nobody", ValueError), (3, TypeError)])
def test_unknown_opponents_are_refused(choice, error):
    with pytest.raises(error, match="idle"):
        MatchSetup(opponent=choice)


# ------------------------------------------------------------- reset rules


def test_a_state_reset_needs_synchronous_episodes():
    with pytest.raises(ValueError, match="sync_episodes"):
        MatchSetup(reset_rule="random")


def test_random_placements_start_every_match_in_its_own_halves():
    batch = batch_of(64, n_red=2, n_blue=2, learners="red", reset_rule=RandomPlacement(), sync_episodes=True)
    pos = batch.state.player_pos
    assert (pos[:, :2, 0] < 0).all() and (pos[:, 2:, 0] > 0).all()
    assert (np.abs(batch.state.ball_pos) <= batch.field.extent * 0.2).all()
    assert not batch.state.player_vel.any() and not batch.state.ball_vel.any()
    first = pos.copy()
    batch.restart()
    assert not np.array_equal(first, batch.state.player_pos)
    with pytest.raises(ValueError, match="restarts all matches together"):
        batch.restart(np.arange(64) < 3)


def test_synchronous_episodes_play_through_goals_and_end_together():
    batch = batch_of(3, max_steps=30, sync_episodes=True, reset_rule="random", action_parser="raw")
    shoot(batch.env, [1])
    rewards, terminated, truncated = batch.step(np.zeros((3, 3), np.int64))
    assert rewards[1] == 1.0 and not terminated.any() and not truncated.any()
    for step in range(2, 31):
        _, terminated, truncated = batch.step(np.zeros((3, 3), np.int64))
        assert not terminated.any() and truncated.all() == (step == 30)


# ----------------------------------------------------------------- set-up


@pytest.mark.parametrize(
    "kwargs, error, words",
    [
        (dict(n_red=0, n_blue=0), ValueError, "between 1 and 32"),
        (dict(n_red=20, n_blue=13), ValueError, "between 1 and 32"),
        (dict(n_red=-1), ValueError, "n_red must be from 0 to 32, got -1"),
        (dict(n_red="1"), TypeError, "n_red must be an int"),
        (dict(max_steps=0), ValueError, "max_steps must be from 1 to"),
        (dict(tick_skip=0), ValueError, "tick_skip must be from 1 to 65536, got 0"),
        (dict(learners="green_0"), ValueError, "unknown learner"),
        (dict(learners=[5]), ValueError, "slot number"),
        (dict(learners=[]), ValueError, "at least one learner"),
        (dict(n_blue=0, learners="blue"), ValueError, "without players"),
        (dict(self_play=True, learners="red"), ValueError, "self_play"),
        (dict(obs_builder="egocentric"), TypeError, "ObservationBuilder"),
        (dict(action_parser="joystick"), ValueError, "unknown action parser"),
        (dict(reset_rule="teleport"), ValueError, "unknown reset rule"),
        (dict(reward_fn=3), TypeError, "reward term"),
    ],
)
def test_bad_set_ups_fail_at_construction(kwargs, error, words):
    with pytest.raises(error, match=words):
        MatchSetup(**kwargs)


def test_stadiums_come_as_none_text_or_path(tmp_path):
    path = tmp_path / "classic.zsm"
    path.write_text(zorbic.classic_text())
    for stadium in (None, zorbic.classic_text(), path, str(path)):
        batch = batch_of(1, stadium=stadium)
        for ours, built_in in zip(batch.env.snapshot(), VecEnv(1, 1, 1).snapshot()):
            np.testing.assert_array_equal(ours, built_in)
    with pytest.raises(ValueError, match="neither stadium text nor a path"):
        batch_of(1, stadium=str(tmp_path / "missing.zsm"))
    with pytest.raises(ValueError, match="bad .zsm JSON"):
        batch_of(1, stadium="{ not json")


def test_a_used_set_up_pickles_and_its_copy_plays_the_same():
    import pickle

    setup = MatchSetup(
        opponent="random",
        obs_builder=EgocentricObservation(**ALL_FEATURES),
        reward_fn=Combined((GoalReward(), 1.0), (DistancePotential(), 0.5)),
    )
    runs = []
    for round in range(3):
        # The original first; then copies of it after it has served batches.
        batch = SoccerBatch(3, setup if round == 0 else pickle.loads(pickle.dumps(setup)))
        batch.seed(4)
        batch.restart()
        trace = [batch.observe()]
        for _ in range(20):
            rewards, _, _ = batch.step(np.arange(3) % 18)
            trace += [batch.observe(), rewards]
        runs.append(np.concatenate([t.ravel() for t in trace]))
    np.testing.assert_array_equal(runs[0], runs[1])
    np.testing.assert_array_equal(runs[1], runs[2])
