"""The stadium geometry handed to observation code: goal lines, straight
ball walls and obstacle discs, read from env 0."""

import json
import sys

import numpy as np
import pytest

from zorbic_core import FLAG_BLUE, FLAG_RED, VecEnv

# Engine frame throughout: the stadium file's y axis reversed.
CLASSIC_GOALS = (
    [[370.0, 64.0], [-370.0, 64.0]],
    [[370.0, -64.0], [-370.0, -64.0]],
    [FLAG_BLUE, FLAG_RED],
)
CLASSIC_WALLS = [
    # straight segments with the ball in their mask, in file order
    [400.0, -42.0, 400.0, 42.0],
    [-400.0, -42.0, -400.0, 42.0],
    [370.0, 170.0, 370.0, 64.0],
    [370.0, -64.0, 370.0, -170.0],
    [-370.0, -170.0, -370.0, -64.0],
    [-370.0, 64.0, -370.0, 170.0],
    # the planes, each as a 6000-unit segment centred on its nearest point
    [-3000.0, 200.0, 3000.0, 200.0],
    [3000.0, -200.0, -3000.0, -200.0],
    [-420.0, -3000.0, -420.0, 3000.0],
    [420.0, 3000.0, 420.0, -3000.0],
    [-3000.0, 170.0, 3000.0, 170.0],
    [3000.0, -170.0, -3000.0, -170.0],
]
CLASSIC_POSTS = [[370.0, 64.0, 8.0], [370.0, -64.0, 8.0], [-370.0, 64.0, 8.0], [-370.0, -64.0, 8.0]]

MIXED_STADIUM = {
    "traits": {"ballwall": {"cMask": ["ball"]}},
    "vertexes": [
        {"x": 0, "y": 0},
        {"x": 100, "y": 0},
        {"x": 100, "y": 50},
        {"x": 0, "y": 50},
        {"x": -50, "y": -20},
        {"x": -80, "y": -40},
    ],
    "segments": [
        {"v0": 0, "v1": 1, "cMask": ["ball"]},
        {"v0": 1, "v1": 2, "cMask": ["red", "blue"]},  # players only
        {"v0": 2, "v1": 3},  # default mask: everything
        {"v0": 3, "v1": 0, "curve": 90, "cMask": ["ball"]},  # arc
        {"v0": 0, "v1": 2, "curve": 5, "cMask": ["all"]},  # too flat for an arc: straight, ends swapped
        {"v0": 4, "v1": 5, "cGroup": ["red"], "cMask": ["ball", "blue"]},  # only the mask counts
        {"v0": 4, "v1": 5, "trait": "ballwall"},
        {"v0": 5, "v1": 4, "cMask": []},
        {"v0": 1, "v1": 3, "curve": -200, "cMask": ["ball"]},  # reflex arc
        {"v0": 3, "v1": 4, "cMask": ["kick", "score"]},  # no ball bit
    ],
    "planes": [
        {"normal": [0, 1], "dist": -200, "cMask": ["ball"]},
        {"normal": [0, -2], "dist": -200},
        {"normal": [1, 0], "dist": 10, "cMask": ["blue"]},
        {"normal": [3, 4], "dist": 50, "cMask": ["ball", "red"]},
    ],
    "discs": [
        {"pos": [10, 20], "radius": 3},
        {"pos": [0, 0], "cMask": ["kick"]},
        {"pos": [5, 5], "radius": 7, "cMask": ["redKO"], "invMass": 1},
        {"pos": [1, 1], "cMask": []},
        {"radius": 4, "cMask": ["wall"]},
        {"pos": [-7, -9], "radius": 2, "cGroup": [], "cMask": ["blueKO", "score"]},
        {"pos": [300, 300], "radius": 50},  # becomes the ball
    ],
    "ballPhysics": "disc6",
    "goals": [
        {"p0": [1, 2], "p1": [3, 4], "team": "red"},
        {"p0": [-1, -2], "p1": [-3, -4], "team": "blue"},
        {"p0": [0, 0], "p1": [0, 10], "team": "Red"},
    ],
}


def zero_actions(env):
    return np.zeros((env.n_envs, env.n_players, 3), np.int64)


def test_classic_goals():
    p0, p1, team = VecEnv(2, 1, 1).goals()
    assert (p0.dtype, p1.dtype, team.dtype) == (np.float64, np.float64, np.int64)
    assert p0.tolist() == CLASSIC_GOALS[0]
    assert p1.tolist() == CLASSIC_GOALS[1]
    assert team.tolist() == CLASSIC_GOALS[2]


def test_classic_wall_segments():
    walls = VecEnv(2, 1, 1).wall_segments()
    assert walls.dtype == np.float64 and walls.shape == (12, 4)
    assert walls.tolist() == CLASSIC_WALLS


def test_classic_obstacle_discs_are_the_posts():
    discs = VecEnv(2, 1, 1).obstacle_discs()
    assert discs.dtype == np.float64
    assert discs.tolist() == CLASSIC_POSTS


def test_custom_goals_keep_file_order_and_teams():
    p0, p1, team = VecEnv.from_zsm(json.dumps(MIXED_STADIUM), 1, 1, 1).goals()
    assert p0.tolist() == [[1.0, -2.0], [-1.0, 2.0], [0.0, 0.0]]
    assert p1.tolist() == [[3.0, -4.0], [-3.0, 4.0], [0.0, -10.0]]
    assert team.tolist() == [FLAG_RED, FLAG_BLUE, 0]


def test_custom_wall_segments_select_straight_ball_walls_by_mask():
    walls = VecEnv.from_zsm(json.dumps(MIXED_STADIUM), 1, 1, 1).wall_segments()
    segments = [
        [0.0, 0.0, 100.0, 0.0],
        [100.0, -50.0, 0.0, -50.0],
        [100.0, -50.0, 0.0, 0.0],
        [-50.0, 20.0, -80.0, 40.0],
        [-50.0, 20.0, -80.0, 40.0],
    ]
    assert walls.shape == (len(segments) + 3, 4)
    assert walls[: len(segments)].tolist() == segments
    planes = walls[len(segments) :]
    assert planes[0].tolist() == [-3000.0, 200.0, 3000.0, 200.0]
    # A normal of any length gives the row of the unit normal.
    assert planes[1].tolist() == [3000.0, -200.0, -3000.0, -200.0]
    # normal (3, -4) in the engine, unit (0.6, -0.8): m = (30, -40), u = (0.8, 0.6)
    np.testing.assert_allclose(planes[2], [-2370.0, -1840.0, 2430.0, 1760.0], rtol=1e-13)


def test_custom_obstacle_discs_select_by_mask_and_skip_the_ball():
    discs = VecEnv.from_zsm(json.dumps(MIXED_STADIUM), 1, 1, 1).obstacle_discs()
    assert discs.tolist() == [[10.0, -20.0, 3.0], [5.0, -5.0, 7.0], [-7.0, 9.0, 2.0]]


@pytest.mark.parametrize(
    "stadium",
    [
        {},
        # walls and discs that exist but concern no ball and no player
        {
            "vertexes": [{"x": 0, "y": 0}, {"x": 9, "y": 0}],
            "segments": [{"v0": 0, "v1": 1, "cMask": ["red"]}, {"v0": 0, "v1": 1, "curve": 60}],
            "planes": [{"normal": [0, 1], "dist": 0, "cMask": ["wall"]}],
            "discs": [{"cMask": ["wall", "kick"]}],
        },
    ],
    ids=["empty", "nothing_ball_facing"],
)
def test_stadium_without_geometry_gives_empty_arrays(stadium):
    env = VecEnv.from_zsm(json.dumps(stadium), 2, 1, 0)
    p0, p1, team = env.goals()
    walls = env.wall_segments()
    discs = env.obstacle_discs()
    assert [a.shape for a in (p0, p1, team, walls, discs)] == [(0, 2), (0, 2), (0,), (0, 4), (0, 3)]
    assert [a.dtype for a in (p0, p1, team, walls, discs)] == [np.float64, np.float64, np.int64, np.float64, np.float64]
    for a in (p0, p1, team, walls, discs):
        assert a.flags.c_contiguous and a.flags.writeable


def test_geometry_is_static_while_playing():
    env = VecEnv(3, 2, 2)
    before = [env.goals(), env.wall_segments(), env.obstacle_discs()]
    rng = np.random.default_rng(11)
    for _ in range(30):
        env.physics_step(rng.integers(-1, 3, size=(3, 4, 3), dtype=np.int64))
    after = [env.goals(), env.wall_segments(), env.obstacle_discs()]
    for a, b in zip(before[0], after[0]):
        assert a.tobytes() == b.tobytes()
    assert before[1].tobytes() == after[1].tobytes()
    assert before[2].tobytes() == after[2].tobytes()


MOVABLE = {
    "planes": [
        {"normal": [1, 0], "dist": -300},
        {"normal": [-1, 0], "dist": -300},
        {"normal": [0, 1], "dist": -300},
        {"normal": [0, -1], "dist": -300},
    ],
    "discs": [{"pos": [100, 50], "radius": 8, "invMass": 0}, {"pos": [40, 0], "radius": 10, "invMass": 1}],
    "redSpawnPoints": [[-250, 250]],
}


@pytest.mark.parametrize("pushing_env", [0, 1])
def test_movable_obstacle_is_reported_where_env_zero_has_it(pushing_env):
    env = VecEnv.from_zsm(json.dumps(MOVABLE), 2, 1, 0, tick_skip=1)
    ball_vel = np.zeros((2, 2))
    ball_vel[pushing_env] = (5.0, 0.0)
    env.set_state(np.zeros((2, 2)), ball_vel, np.full((2, 1, 2), -250.0), np.zeros((2, 1, 2)))
    for _ in range(8):
        env.physics_step(zero_actions(env))
    discs = env.obstacle_discs()
    assert discs[0].tolist() == [100.0, -50.0, 8.0]
    if pushing_env == 0:
        assert discs[1, 0] > 40.0 and discs[1, 2] == 10.0
    else:
        assert discs[1].tolist() == [40.0, 0.0, 10.0]


def test_geometry_arrays_are_fresh_and_leak_nothing():
    env = VecEnv(2, 1, 1)
    first = [*env.goals(), env.wall_segments(), env.obstacle_discs()]
    for a in first:
        a[...] = -1
    second = [*env.goals(), env.wall_segments(), env.obstacle_discs()]
    assert second[0].tolist() == CLASSIC_GOALS[0]
    assert second[3].tolist() == CLASSIC_WALLS
    assert second[4].tolist() == CLASSIC_POSTS
    assert [sys.getrefcount(second[i]) for i in range(len(second))] == [2] * len(second)
    for a, b in zip(first, second):
        assert not np.shares_memory(a, b)
    env_refs = sys.getrefcount(env)
    for _ in range(100):
        env.goals(), env.wall_segments(), env.obstacle_discs()
    assert sys.getrefcount(env) == env_refs
