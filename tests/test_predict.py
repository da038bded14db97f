"""Ball trajectory prediction: the ball alone, run through the tick's own
motion and contact arithmetic, must match stepping the batch bit for bit for
as long as no player touches it."""

import json
import sys
import weakref

import numpy as np
import pytest

from zorbic_core import VecEnv

# Classic field corners (engine frame) that the ball can never reach: the
# ball-only walls keep its centre within |y| <= 160 and, beside the goal
# mouths, |x| <= 360.
CLASSIC_CORNERS = [(-405.0, 185.0), (405.0, 185.0), (-405.0, -185.0), (405.0, -185.0)]

# A ball-only box with free-standing arcs of every kind, a one-sided wall, an
# immovable post and a disc the ball ignores; players and a movable disc wait
# outside the box, where the ball cannot go.
ARENA = {
    "vertexes": [
        {"x": -150, "y": -100},
        {"x": -50, "y": -100},
        {"x": 50, "y": 100},
        {"x": 150, "y": 100},
        {"x": -150, "y": 100},
        {"x": -100, "y": 150},
        {"x": 100, "y": -150},
        {"x": 150, "y": -100},
        {"x": 0, "y": -180},
        {"x": 0, "y": -120},
        {"x": 220, "y": 200},
        {"x": 300, "y": 120},
    ],
    "segments": [
        {"v0": 0, "v1": 1, "curve": 90, "bCoef": 0.9},
        {"v0": 2, "v1": 3, "curve": -90, "cMask": ["ball"]},
        {"v0": 4, "v1": 5, "curve": 270, "bCoef": 1},
        {"v0": 6, "v1": 7, "curve": -250, "bCoef": 0.7},
        {"v0": 8, "v1": 9, "bias": 10, "cMask": ["ball"]},
        {"v0": 10, "v1": 11, "curve": 60, "bCoef": 1.2, "cMask": ["ball"]},
        {"v0": 9, "v1": 1, "cMask": ["red", "blue"]},  # players only
    ],
    "planes": [
        {"normal": [1, 0], "dist": -300, "bCoef": 1, "cMask": ["ball"]},
        {"normal": [-1, 0], "dist": -300, "bCoef": 0.95, "cMask": ["ball"]},
        {"normal": [0, 2], "dist": -200, "bCoef": 1, "cMask": ["ball"]},
        {"normal": [0, -1], "dist": -200, "bCoef": 0.9, "cMask": ["ball"]},
        {"normal": [1, 0], "dist": -500},
        {"normal": [-1, 0], "dist": -500},
        {"normal": [0, 1], "dist": -300},
        {"normal": [0, -1], "dist": -300},
    ],
    "discs": [
        {"pos": [0, 0], "radius": 15, "invMass": 0, "bCoef": 0.8},
        {"pos": [80, -40], "radius": 20, "cMask": ["red"]},  # the ball passes through
        {"pos": [400, 250], "radius": 10, "invMass": 1, "cGroup": ["wall"], "cMask": ["ball"]},
    ],
    "ballPhysics": {"radius": 9, "bCoef": 0.6, "damping": 0.995},
}
ARENA_PARKING = [(400.0, 100.0), (400.0, -100.0), (-400.0, 100.0), (-400.0, -100.0)]


def zero_actions(env):
    return np.zeros((env.n_envs, env.n_players, 3), np.int64)


def launch(env, ball_pos, ball_vel, parking):
    n, p = env.n_envs, env.n_players
    player_pos = np.array([[parking[j % len(parking)] for j in range(p)]] * n, np.float64)
    env.set_state(np.array(ball_pos, np.float64), np.array(ball_vel, np.float64), player_pos, np.zeros((n, p, 2)))


def stepped_positions(env, ticks):
    """The ball's position after each tick, and per env how many leading
    ticks remain comparable: a goal's kickoff reset comes 150 ticks later."""
    n = env.n_envs
    positions = np.empty((n, ticks, 2))
    comparable = [ticks] * n
    for t in range(ticks):
        scored = env.physics_step(zero_actions(env))
        for i in np.flatnonzero(scored != -1):
            comparable[i] = min(comparable[i], t + 150)
        positions[:, t] = env.snapshot()[0]
    return positions, comparable


def rebounds(path):
    """Sign changes of the ball's motion along either axis."""
    moves = np.sign(np.diff(path, axis=0))
    return int(np.sum(moves[1:] * moves[:-1] < 0))


def assert_prediction_matches_stepping(env, ticks, min_rebounds):
    before = env.snapshot()
    predicted = env.predict_ball(list(range(1, ticks + 1)))
    assert predicted.shape == (env.n_envs, ticks, 2) and predicted.dtype == np.float64
    actual, comparable = stepped_positions(env, ticks)
    for i in range(env.n_envs):
        upto = comparable[i]
        assert predicted[i, :upto].tobytes() == actual[i, :upto].tobytes(), f"env {i}"
        assert rebounds(np.vstack([before[0][i], actual[i, :upto]])) >= min_rebounds, f"env {i}"
    return comparable


def test_prediction_matches_stepping_on_the_classic_field():
    env = VecEnv(4, 1, 1, tick_skip=1)
    launch(
        env,
        [(300.0, 30.0), (0.0, 100.0), (300.0, 64.0), (-200.0, -20.0)],
        [(12.0, -1.0), (9.0, 7.0), (8.0, 0.0), (-6.5, -11.0)],
        CLASSIC_CORNERS,
    )
    comparable = assert_prediction_matches_stepping(env, 400, min_rebounds=1)
    # Env 0 scores, then its ball rattles around the curved net corners until
    # the kickoff reset.
    assert comparable[0] < 400


def test_prediction_matches_stepping_among_curved_walls_and_discs():
    env = VecEnv.from_zsm(json.dumps(ARENA), 4, 2, 2, tick_skip=1)
    obstacles = env.obstacle_discs()
    launch(
        env,
        [(135.0, 63.0), (85.0, -96.0), (171.0, 111.0), (-250.0, 150.0)],
        [(-12.0, -8.5), (-4.0, -3.5), (5.5, -14.0), (-11.0, -9.0)],
        ARENA_PARKING,
    )
    # Between them these balls meet every arc, the one-sided wall and the
    # post, and cross the disc that only players collide with.
    assert_prediction_matches_stepping(env, 600, min_rebounds=2)
    assert env.obstacle_discs().tobytes() == obstacles.tobytes(), "the movable disc must stay put"


def test_an_immovable_ball_flies_through_everything():
    stadium = dict(ARENA, ballPhysics={"invMass": 0, "damping": 0.98})
    env = VecEnv.from_zsm(json.dumps(stadium), 1, 1, 0)
    launch(env, [(-250.0, 0.0)], [(13.0, 4.5)], ARENA_PARKING)
    predicted = env.predict_ball(range(1, 101))
    pos, vel = [-250.0, 0.0], [13.0, 4.5]
    expected = []
    for _ in range(100):
        pos = [pos[0] + vel[0], pos[1] + vel[1]]
        vel = [vel[0] * 0.98, vel[1] * 0.98]
        expected.append(pos)
    assert predicted[0].tolist() == expected
    assert predicted[0, -1, 0] > 300.0, "the ball should have left the box"


@pytest.fixture
def rolling():
    """Three envs with different balls, and their positions after 0..6 ticks."""
    env = VecEnv(3, 1, 1)
    launch(env, [(0.0, 0.0), (100.0, -50.0), (-300.0, 140.0)], [(3.0, 1.0), (-2.0, 0.5), (-9.0, 8.0)], CLASSIC_CORNERS)
    path = np.concatenate([env.snapshot()[0][:, None, :], env.predict_ball([1, 2, 3, 4, 5, 6])], axis=1)
    return env, path


@pytest.mark.parametrize(
    "offsets, ticks",
    [
        ([], []),
        ([0], [0]),
        ([1, 1, 3], [1, 1, 3]),
        ([5, 3], [5, 5]),
        ([0, 5], [5, 5]),
        ([3, 0, 4], [3, 4, 4]),
        ([2, 2, 2], [2, 2, 2]),
        ([0, 0], [0, 0]),
        ([6], [6]),
        ((2, 4), [2, 4]),
        (range(1, 4), [1, 2, 3]),
        (np.array([4, 6], np.uint64), [4, 6]),
        (np.array([1, 5], np.int32), [1, 5]),
        ([np.int64(2), True], [2, 2]),
    ],
)
def test_offsets_select_ticks(rolling, offsets, ticks):
    env, path = rolling
    got = env.predict_ball(offsets)
    assert got.shape == (3, len(ticks), 2) and got.dtype == np.float64
    assert got.flags.c_contiguous and got.flags.writeable
    assert got.tobytes() == path[:, ticks].tobytes()


def test_offsets_by_keyword(rolling):
    env, path = rolling
    assert env.predict_ball(offsets=[2]).tobytes() == path[:, [2]].tobytes()


@pytest.mark.parametrize(
    "offsets, error, message",
    [
        ("123", TypeError, "argument 'offsets': Can't extract `str` to `Vec`"),
        (5, TypeError, "argument 'offsets': 'int' object cannot be converted to 'Sequence'"),
        ({1, 2}, TypeError, "argument 'offsets': 'set' object cannot be converted to 'Sequence'"),
        (None, TypeError, "argument 'offsets': 'NoneType' object cannot be converted to 'Sequence'"),
        ([1, 2.0], TypeError, "argument 'offsets': 'float' object cannot be interpreted as an integer"),
        (np.array([1.0]), TypeError, "argument 'offsets': 'numpy.float64' object cannot be interpreted as an integer"),
        ([1, "2"], TypeError, "argument 'offsets': 'str' object cannot be interpreted as an integer"),
        ([1, -1], OverflowError, None),
        ([2**64], OverflowError, None),
    ],
)
def test_bad_offsets_are_refused(rolling, offsets, error, message):
    env, _ = rolling
    before = env.snapshot()
    with pytest.raises(error) as caught:
        env.predict_ball(offsets)
    if message is not None:
        assert str(caught.value) == message
    for a, b in zip(before, env.snapshot()):
        assert a.tobytes() == b.tobytes()


def test_prediction_changes_nothing_and_repeats_exactly(rolling):
    env, _ = rolling
    before = env.snapshot()
    first = env.predict_ball([1, 10, 100, 1000])
    second = env.predict_ball([1, 10, 100, 1000])
    assert first.tobytes() == second.tobytes()
    assert not np.shares_memory(first, second)
    for a, b in zip(before, env.snapshot()):
        assert a.tobytes() == b.tobytes()


def test_a_ball_at_rest_stays_put():
    env = VecEnv(2, 1, 1)
    got = env.predict_ball([1, 50, 500])
    np.testing.assert_array_equal(got, np.zeros((2, 3, 2)))


def test_prediction_leaks_no_references(rolling):
    env, _ = rolling
    offsets = [1, 2, 30]
    bad = [1, -1]
    counts = (sys.getrefcount(offsets), sys.getrefcount(bad), sys.getrefcount(env))
    for _ in range(300):
        env.predict_ball(offsets)
        with pytest.raises(OverflowError):
            env.predict_ball(bad)
    assert (sys.getrefcount(offsets), sys.getrefcount(bad), sys.getrefcount(env)) == counts
    result = env.predict_ball(offsets)
    assert sys.getrefcount(result) == 2
    watcher = weakref.ref(result)
    del result
    assert watcher() is None
