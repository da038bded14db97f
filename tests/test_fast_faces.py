"""The compiled loops of the built-in parts and of the batch's step
(zorbic._fast) are held to the NumPy lines beside them: a batch, or a face,
with every `fast` switch off is the reference, and the two must agree bit for
bit on every observation, reward, flag and engine state, on random and on
scripted matches, for every team size and both sides."""

import numpy as np
import pytest

import zorbic
from zorbic import _fast
from zorbic.core.batch import SoccerBatch
from zorbic.core.match_setup import MatchSetup
from zorbic.faces.gym_vector import SoccerVectorEnv
from zorbic.faces.pettingzoo import parallel_env
from zorbic.parts.observations import EgocentricObservation

RICH_VIEW = {"goal_mouths": True, "ball_prediction": (2, 6), "wall_rays": 4}


def reference(batch: SoccerBatch) -> SoccerBatch:
    """The batch with every compiled path switched off."""
    batch.fast = False
    for part in (batch.obs_builder, batch.action_parser, batch.reward_fn, batch.opponent):
        part.fast = False
    return batch


def same(a: np.ndarray, b: np.ndarray) -> bool:
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


def same_engines(a: SoccerBatch, b: SoccerBatch) -> bool:
    return all(same(x, y) for x, y in zip(a.env.snapshot(), b.env.snapshot()))


def pair(n_matches: int, **setup) -> tuple[SoccerBatch, SoccerBatch]:
    fast, slow = (SoccerBatch(n_matches, MatchSetup(**setup)) for _ in range(2))
    reference(slow)
    for batch in (fast, slow):
        batch.seed(3)
        batch.restart()
    return fast, slow


TEAMS = [(1, 1), (2, 2), (3, 3), (1, 3), (3, 0)]


@pytest.mark.parametrize("n_red, n_blue", TEAMS)
@pytest.mark.parametrize("learners", [None, "blue", "all"])
@pytest.mark.parametrize("view", [{}, RICH_VIEW])
def test_a_fast_batch_plays_like_the_reference(n_red, n_blue, learners, view):
    if learners == "blue" and not n_blue:
        pytest.skip("no blue team")
    fast, slow = pair(
        24,
        n_red=n_red,
        n_blue=n_blue,
        learners=learners,
        tick_skip=8,
        max_steps=60,
        obs_builder=EgocentricObservation(**view),
    )
    rng = np.random.default_rng(n_red * 10 + n_blue)
    assert same(fast.observe(), slow.observe())
    goals = 0
    for step in range(150):
        actions = rng.integers(0, 18, fast.n_learners)
        # Both array widths the compiled table takes, and a list, which it leaves to the parser.
        actions = [actions, actions.astype(np.int32), actions.tolist()][step % 3]
        results = fast.step(actions)
        for got, want in zip(results, slow.step(actions)):
            assert same(got, want)
        goals += int(np.count_nonzero(results[0]))
        assert same(fast.ended, slow.ended)
        assert same(fast.observe(), slow.observe())
        assert same_engines(fast, slow)
        fast.restart(fast.ended)
        slow.restart(slow.ended)
    assert all(same(x, y) for (_, (x,)), (_, (y,)) in zip(fast.history.calls[-5:], slow.history.calls[-5:]))
    # Red chasers, who kick off, score now and then: rewards other than 0 were compared too.
    assert goals or learners != "blue"


@pytest.mark.parametrize("n_red, n_blue, learners", [(1, 1, "all"), (3, 3, "all"), (2, 1, None), (1, 3, "blue")])
def test_stepping_matches_gives_the_rows_flags_per_match(n_red, n_blue, learners):
    # The single-match faces take their flags per match; the rows are those spread over each match's learners.
    rows, matches = (
        SoccerBatch(6, MatchSetup(n_red=n_red, n_blue=n_blue, learners=learners, max_steps=30)) for _ in range(2)
    )
    for batch in (rows, matches):
        batch.seed(2)
        batch.restart()
    rng = np.random.default_rng(n_red + 5 * n_blue)
    ended = 0
    for _ in range(80):
        actions = rng.integers(0, 18, rows.n_learners)
        rewards, terminated, truncated = rows.step(actions)
        got_rewards, got_terminated, got_truncated = matches.step_matches(actions)
        assert same(got_rewards, rewards)
        assert got_terminated.shape == got_truncated.shape == (matches.n_matches,)
        assert same(matches.rows(got_terminated), terminated) and same(matches.rows(got_truncated), truncated)
        assert same_engines(rows, matches)
        ended += int(np.count_nonzero(rows.ended))
        rows.restart(rows.ended)
        matches.restart(matches.ended)
    assert ended  # episodes ended, by goals or at max_steps, so true flags were compared too


def test_the_synchronous_mode_counts_like_the_reference():
    fast, slow = pair(16, sync_episodes=True, max_steps=25, tick_skip=8)
    rng = np.random.default_rng(0)
    for _ in range(60):
        actions = rng.integers(0, 18, 16)
        for got, want in zip(fast.step(actions), slow.step(actions)):
            assert same(got, want)
        assert same(fast.ended, slow.ended)
        fast.restart(fast.ended)
        slow.restart(slow.ended)


def placed(n_red: int, n_blue: int, ball: np.ndarray, players: np.ndarray) -> SoccerBatch:
    batch = SoccerBatch(len(ball), MatchSetup(n_red=n_red, n_blue=n_blue, self_play=True))
    zeros = np.zeros_like(players)
    batch.env.set_state(ball, np.zeros_like(ball), players, zeros, np.zeros(len(ball), np.int64))
    batch.refresh()
    return batch


def scripted(n_red: int, n_blue: int) -> tuple[np.ndarray, np.ndarray]:
    """The chaser's edge cases: the ball on a goal mouth, a player on the
    ball, players exactly in line, just beside and at the reach boundaries,
    plus a cloud of random positions."""
    p = n_red + n_blue
    field = SoccerBatch(1, MatchSetup(n_red=n_red, n_blue=n_blue)).field
    touch = field.stadium.ball_radius + field.stadium.player.radius
    rng = np.random.default_rng(p)
    balls, players = [], []
    for mouth in (field.attack[0], field.defend[0], np.zeros(2)):
        for offset in (0.0, 0.5 * touch, touch, 1.5 * touch, -touch, 10.0):
            balls.append(mouth)
            spots = np.array([mouth + [offset * (1 if s % 2 else -1), offset * (s % 3 - 1)] for s in range(p)])
            players.append(spots)
    balls += list(rng.uniform(-400, 400, (64, 2)))
    players += list(rng.uniform(-400, 400, (64, p, 2)))
    # On a coarse grid many differences are exactly zero or exactly on a boundary.
    balls += list(np.round(rng.uniform(-4, 4, (64, 2))) * touch / 2)
    players += list(np.round(rng.uniform(-4, 4, (64, p, 2))) * touch / 2)
    return np.array(balls), np.array(players)


@pytest.mark.parametrize("n_red, n_blue", TEAMS)
def test_the_chaser_and_the_views_match_their_references_on_scripted_states(n_red, n_blue):
    batch = placed(n_red, n_blue, *scripted(n_red, n_blue))
    chaser, view = zorbic.ChaserOpponent(), EgocentricObservation(**RICH_VIEW, obstacles=True)
    for slots in (batch.slots, batch.slots[::-1].copy(), batch.slots[-1:]):
        got = chaser.act(batch.state, batch.field, slots)
        seen = view.build(batch.state, batch.field, slots).copy()
        chaser.fast = view.fast = False
        assert same(got, chaser.act(batch.state, batch.field, slots))
        assert same(seen, view.build(batch.state, batch.field, slots))
        chaser.fast = view.fast = True
    # The reference runs through every branch: kicks, all nine directions.
    moves = chaser.act(batch.state, batch.field, batch.slots)
    assert set(map(tuple, moves[..., :2].reshape(-1, 2))) == {(x, y) for x in (-1, 0, 1) for y in (-1, 0, 1)}
    assert (moves[..., 2] == 2).any()


@pytest.mark.parametrize("scored", [[-1, 0, 1, 2, -1], [2, 2, 1]])
def test_the_goal_reward_matches_its_reference(scored):
    batch = SoccerBatch(len(scored), MatchSetup(n_red=2, n_blue=1, self_play=True))
    state = batch.state
    state.scored = np.array(scored, np.int8)
    goal = zorbic.GoalReward()
    got = goal(state, batch.field, batch.slots)
    goal.fast = False
    assert same(got, goal(state, batch.field, batch.slots))


@pytest.mark.parametrize(
    "actions, error",
    [
        (np.array([0, 18, 3, 1, 2, 3]), ValueError),
        (np.array([-1, 0, 0, 1, 1, 1], np.int32), ValueError),
        (np.arange(6.0), TypeError),
        (np.ones(6, np.bool_), TypeError),
        (np.arange(5), ValueError),
        (np.arange(6).reshape(6, 1), ValueError),
        (np.arange(12)[::2], None),
        (np.arange(6, dtype=np.uint8), None),
        (np.arange(6, dtype=np.int16), None),
    ],
)
def test_actions_the_table_does_not_take_go_through_the_parser(actions, error):
    fast, slow = pair(3, n_red=2, n_blue=1, learners="red")
    before = fast.env.snapshot()
    for batch in (fast, slow):
        if error is None:
            batch.step(actions)
        else:
            with pytest.raises(error, match="actions for Discrete"):
                batch.step(actions)
    if error is not None:
        assert all(same(x, y) for x, y in zip(before, fast.env.snapshot()))
    assert same_engines(fast, slow)


def same_value(a: object, b: object) -> bool:
    """Equal bit for bit, through the dicts and object arrays that faces return."""
    if isinstance(a, dict):
        return isinstance(b, dict) and a.keys() == b.keys() and all(same_value(a[k], b[k]) for k in a)
    if isinstance(a, np.ndarray) and a.dtype == object:
        return a.shape == np.shape(b) and all(x is y is None or same_value(x, y) for x, y in zip(a, b))
    return same(a, b)


def run_faces(make, act, steps: int = 200) -> None:
    fast, slow = make(), make()
    reference(slow.unwrapped.batch if hasattr(slow, "unwrapped") else slow.batch)
    assert all(same_value(a, b) for a, b in zip(fast.reset(seed=5), slow.reset(seed=5)))
    rng = np.random.default_rng(1)
    for _ in range(steps):
        action = act(rng, fast)
        results = fast.step(action), slow.step(action)
        for a, b in zip(*results):
            assert same_value(a, b)
        done = results[0][2] | results[0][3] if not isinstance(results[0][2], dict) else not fast.agents
        if np.all(done) and not isinstance(fast, SoccerVectorEnv):
            fast.reset(), slow.reset()


@pytest.mark.parametrize("opponent", ["chaser", "idle"])
@pytest.mark.parametrize("learners", [None, "blue_0"])
def test_the_single_env_matches_its_reference(opponent, learners):
    run_faces(
        lambda: zorbic.SoccerEnv(opponent=opponent, learners=learners, max_steps=40),
        # A plain int, a NumPy integer and an array of one: each form the face takes.
        lambda rng, env: [int, np.int64, np.array][int(rng.integers(0, 3))](rng.integers(0, 18)),
    )


@pytest.mark.parametrize("n_red, n_blue", [(1, 1), (2, 3)])
def test_the_parallel_env_matches_its_reference(n_red, n_blue):
    run_faces(
        lambda: parallel_env(n_red=n_red, n_blue=n_blue, max_steps=40),
        lambda rng, env: {agent: int(rng.integers(0, 18)) for agent in env.agents},
    )


@pytest.mark.parametrize("mode", ["NextStep", "SameStep"])
def test_the_vector_env_matches_its_reference(mode):
    run_faces(
        lambda: SoccerVectorEnv(12, autoreset_mode=mode, n_red=3, n_blue=3, self_play=True, max_steps=20),
        lambda rng, env: rng.integers(0, 18, env.num_envs),
    )


def observed_as_numpy(columns, constants, take, minus, scale, limit):
    """The reference's arithmetic: a float32 table row per match, then gather, subtract, scale, clip."""
    table = np.concatenate([c.reshape(len(c), -1) for c in columns] + [np.tile(constants, (len(columns[0]), 1))], 1)
    table = table.astype(np.float32)
    return np.clip((table[:, take] - table[:, minus]) * scale, -limit, limit)


@pytest.mark.parametrize("seed", range(4))
def test_the_compiled_gather_works_pairs_and_singles_as_the_reference(seed):
    # Observations gather x, y pairs (less a pair or the constant 0) and single values;
    # the compiled loop takes pairs two lanes at a time. Values past the limit, on it,
    # NaN and -0.0 go through both.
    rng = np.random.default_rng(seed)
    m, width = 5, 14
    columns = (rng.normal(0, 3, (m, 2, 3)), rng.normal(0, 3, (m, 8)))
    columns[1][0, :3] = [np.nan, -0.0, 2.5]
    constants = np.array([0.5, -2.5, 0.0], np.float32)
    zero = width + 2
    take, minus = [], []
    for kind in rng.integers(0, 4, 40):
        x = int(rng.integers(0, width + 2))
        if kind == 0:  # a relative position
            take += [x, x + 1]
            minus += [(me := int(rng.integers(0, width))), me + 1]
        elif kind == 1:  # a plain pair
            take += [x, x + 1]
            minus += [zero, zero]
        elif kind == 2:  # one value
            take.append(x)
            minus.append(int(rng.integers(0, width + 3)))
        else:  # neighbours in take only
            take += [x, x + 1]
            minus += [int(rng.integers(0, width)), int(rng.integers(0, width))]
    take, minus = np.array(take, np.intp), np.array(minus, np.intp)
    scale = rng.choice(np.array([0.5, -1.0, 3.0], np.float32), len(take))
    out = np.empty((m, len(take)), np.float32)
    _fast.observe(columns, constants, take, minus, scale, 2.5, out)
    assert same(out, observed_as_numpy(columns, constants, take, minus, scale, np.float32(2.5)))


@pytest.mark.parametrize(
    "call",
    [
        lambda: _fast.chaser(
            np.zeros((2, 2)),
            np.zeros((2, 2, 2)),
            np.array([5]),
            np.zeros((2, 2)),
            1.0,
            1.0,
            2,
            np.zeros((2, 1, 3), np.int64),
            0,
        ),
        lambda: _fast.chaser(
            np.zeros((2, 2), np.float32),
            np.zeros((2, 2, 2)),
            np.array([0]),
            np.zeros((2, 2)),
            1.0,
            1.0,
            2,
            np.zeros((2, 1, 3), np.int64),
            0,
        ),
        lambda: _fast.chaser(
            np.zeros((2, 2)),
            np.zeros((2, 2, 2)),
            np.array([0, 1]),
            np.zeros((2, 2)),
            1.0,
            1.0,
            2,
            np.zeros((2, 2, 3), np.int64),
            1,
        ),
        lambda: _fast.observe(
            (np.zeros((2, 3)),),
            np.zeros(1, np.float32),
            np.array([9]),
            np.array([0]),
            np.ones(1, np.float32),
            10.0,
            np.zeros((2, 1), np.float32),
        ),
        lambda: _fast.observe(
            (np.zeros((3, 3)),),
            np.zeros(1, np.float32),
            np.array([0]),
            np.array([0]),
            np.ones(1, np.float32),
            10.0,
            np.zeros((2, 1), np.float32),
        ),
        lambda: _fast.discrete(
            np.array([0]), np.zeros((36, 3), np.int64), np.array([40]), np.zeros((1, 2, 3), np.int64), 0, 1
        ),
        lambda: _fast.narrow(np.zeros(3, np.int64), np.zeros(2, np.int8)),
        lambda: _fast.episode(
            np.zeros(2, np.int8), np.zeros(3, np.int64), np.zeros(2, bool), np.zeros(2, bool), 5, True
        ),
        lambda: _fast.goal_reward(np.zeros(2, np.int8), np.zeros(2, np.int64), 1, 2, np.zeros(3)),
    ],
)
def test_the_compiled_loops_refuse_arrays_that_do_not_fit(call):
    with pytest.raises((ValueError, IndexError, TypeError)):
        call()
