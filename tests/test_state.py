"""Reading and writing the batch's dynamic state, kick state, teams, player
collision masks and the kick rate limit."""

import json
import sys
import weakref

import numpy as np
import pytest

from zorbic_core import FLAG_BLUE, FLAG_RED, VecEnv

PLAYER_RADIUS = 15.0
# Classic field, engine frame: the outer planes keep a player's centre within
# |x| <= 405 and |y| <= 185; the ball stays within |y| <= 160.
PLAYER_TOP = 185.0


def zero_actions(env):
    return np.zeros((env.n_envs, env.n_players, 3), np.int64)


def actions_for(env, dx=0, dy=0, kick=0):
    actions = zero_actions(env)
    actions[:, :, 0] = dx
    actions[:, :, 1] = dy
    actions[:, :, 2] = kick
    return actions


def place(env, ball_pos=(0.0, 0.0), ball_vel=(0.0, 0.0), player_pos=None, player_vel=None, steps=None):
    """Puts the same state into every env; players default to the far corners."""
    n, p = env.n_envs, env.n_players
    if player_pos is None:
        corners = [(-405.0, 185.0), (405.0, 185.0), (-405.0, -185.0), (405.0, -185.0)]
        player_pos = [corners[j % 4] for j in range(p)]
    if player_vel is None:
        player_vel = [(0.0, 0.0)] * p
    env.set_state(
        np.tile(np.array(ball_pos, np.float64), (n, 1)),
        np.tile(np.array(ball_vel, np.float64), (n, 1)),
        np.tile(np.array(player_pos, np.float64), (n, 1, 1)),
        np.tile(np.array(player_vel, np.float64), (n, 1, 1)),
        steps,
    )


def state_bytes(env):
    flag, cooldown = env.kick_state()
    return [a.tobytes() for a in env.snapshot()] + [flag.tobytes(), cooldown.tobytes()]


def played_batch(n_envs=3, n_red=2, n_blue=2, seed=7, steps=12):
    """A batch in a scrambled mid-game state, with kicks pending."""
    env = VecEnv(n_envs, n_red, n_blue)
    rng = np.random.default_rng(seed)
    for _ in range(steps):
        env.physics_step(rng.integers(-1, 3, size=(n_envs, n_red + n_blue, 3), dtype=np.int64))
    return env


# ---- snapshot -----------------------------------------------------------


def test_snapshot_of_a_fresh_batch_has_the_kickoff_layout():
    env = VecEnv(2, 2, 3)
    ball_pos, ball_vel, player_pos, player_vel, steps = env.snapshot()
    assert [a.shape for a in env.snapshot()] == [(2, 2), (2, 2), (2, 5, 2), (2, 5, 2), (2,)]
    assert [a.dtype for a in env.snapshot()] == [np.float64] * 4 + [np.int64]
    np.testing.assert_array_equal(ball_pos, 0.0)
    np.testing.assert_array_equal(ball_vel, 0.0)
    np.testing.assert_array_equal(player_vel, 0.0)
    np.testing.assert_array_equal(steps, 0)
    # Red players on the left, blue on the right, at the fallback spacing.
    expected = [(-277.5, 0.0), (-277.5, -55.0), (277.5, 0.0), (277.5, -55.0), (277.5, 55.0)]
    for i in range(2):
        np.testing.assert_array_equal(player_pos[i], expected)


def test_snapshot_reports_each_env_and_slot_in_order():
    env = VecEnv(3, 1, 2)
    n, p = 3, 3
    ball_pos = np.arange(n * 2, dtype=np.float64).reshape(n, 2)
    ball_vel = -ball_pos - 0.5
    player_pos = 100.0 + np.arange(n * p * 2, dtype=np.float64).reshape(n, p, 2)
    player_vel = -player_pos / 7.0
    env.set_state(ball_pos, ball_vel, player_pos, player_vel, np.array([5, 6, 7], np.int64))
    got = env.snapshot()
    for want, have in zip((ball_pos, ball_vel, player_pos, player_vel), got):
        assert have.tobytes() == want.tobytes()
    np.testing.assert_array_equal(got[4], [5, 6, 7])


# ---- set_state: writes ----------------------------------------------------


def test_set_state_round_trip_keeps_bodies_and_clears_counters_and_kicks():
    env = played_batch()
    before = env.snapshot()
    assert before[4].tolist() == [96, 96, 96]
    assert env.kick_state()[0].any(), "the scrambled batch should hold an armed kick"
    env.set_state(*before[:4])
    after = env.snapshot()
    for a, b in zip(before[:4], after[:4]):
        assert a.tobytes() == b.tobytes()
    np.testing.assert_array_equal(after[4], 0)
    flag, cooldown = env.kick_state()
    np.testing.assert_array_equal(flag, 0)
    np.testing.assert_array_equal(cooldown, 0)


@pytest.mark.parametrize("steps", [[0, 0, 0], [1, 2, 3], [0, 7, 2**62], [2**63 - 1, 0, 5]])
def test_set_state_sets_each_step_counter(steps):
    env = played_batch()
    snap = env.snapshot()
    env.set_state(*snap[:4], np.array(steps, np.int64))
    np.testing.assert_array_equal(env.snapshot()[4], steps)


def test_step_counters_continue_from_the_set_value():
    env = VecEnv(2, 1, 1, tick_skip=3)
    env.set_state(*env.snapshot()[:4], steps=np.array([10, 20], np.int64))
    env.physics_step(zero_actions(env))
    np.testing.assert_array_equal(env.snapshot()[4], [13, 23])


def _views(base):
    """The same values behind different memory layouts."""
    reversed_copy = np.ascontiguousarray(base[::-1])
    readonly = base.copy()
    readonly.flags.writeable = False
    wide = np.zeros(base.shape + (3,), base.dtype)
    wide[..., 1] = base
    return {
        "contiguous": base.copy(),
        "negative_stride": reversed_copy[::-1],
        "fortran": np.asfortranarray(base),
        "readonly": readonly,
        "strided": wide[..., 1],
    }


@pytest.mark.parametrize("layout", ["contiguous", "negative_stride", "fortran", "readonly", "strided"])
def test_set_state_reads_any_layout(layout):
    n, p = 3, 4
    rng = np.random.default_rng(3)
    values = [
        rng.normal(size=(n, 2)) * 100,
        rng.normal(size=(n, 2)),
        rng.normal(size=(n, p, 2)) * 100,
        rng.normal(size=(n, p, 2)),
        rng.integers(0, 1000, size=n).astype(np.int64),
    ]
    env = VecEnv(n, 2, 2)
    env.set_state(*[_views(v)[layout] for v in values])
    for want, have in zip(values, env.snapshot()):
        assert have.tobytes() == want.tobytes()


def test_set_state_accepts_keywords_and_omitted_steps():
    env = played_batch()
    snap = env.snapshot()
    env.set_state(player_vel=snap[3], player_pos=snap[2], ball_vel=snap[1], ball_pos=snap[0])
    np.testing.assert_array_equal(env.snapshot()[4], 0)
    env.set_state(*snap[:4], None)
    np.testing.assert_array_equal(env.snapshot()[4], 0)


def test_set_state_stores_non_finite_values_as_given():
    env = VecEnv(2, 1, 1)
    snap = env.snapshot()
    ball_pos = snap[0].copy()
    ball_pos[0] = [np.nan, np.inf]
    player_vel = snap[3].copy()
    player_vel[1, 1] = [-np.inf, np.nan]
    env.set_state(ball_pos, snap[1], snap[2], player_vel)
    after = env.snapshot()
    assert after[0].tobytes() == ball_pos.tobytes()
    assert after[3].tobytes() == player_vel.tobytes()


# ---- set_state: refusals ----------------------------------------------------

N, P = 4, 5


def _good_args():
    return [
        np.zeros((N, 2)),
        np.zeros((N, 2)),
        np.zeros((N, P, 2)),
        np.zeros((N, P, 2)),
        np.zeros(N, np.int64),
    ]


def _with(**changes):
    names = ["ball_pos", "ball_vel", "player_pos", "player_vel", "steps"]
    args = _good_args()
    for name, value in changes.items():
        args[names.index(name)] = value
    return args


ARRAY_MSG = "argument '{}': '{}' object cannot be converted to 'PyArray<T, D>'"

TYPE_ERRORS = [
    (_with(ball_pos=[[0.0, 0.0]] * N), ARRAY_MSG.format("ball_pos", "list")),
    (_with(ball_pos=np.zeros((N, 2), np.float32)), ARRAY_MSG.format("ball_pos", "ndarray")),
    (_with(ball_pos=np.zeros(2 * N)), ARRAY_MSG.format("ball_pos", "ndarray")),
    (_with(ball_vel=np.zeros((N, 1, 2))), ARRAY_MSG.format("ball_vel", "ndarray")),
    (_with(ball_vel=np.zeros((N, 2), np.int64)), ARRAY_MSG.format("ball_vel", "ndarray")),
    (_with(player_pos=np.zeros((N, P * 2))), ARRAY_MSG.format("player_pos", "ndarray")),
    (_with(player_vel=(0.0,)), ARRAY_MSG.format("player_vel", "tuple")),
    (_with(steps=[0] * N), ARRAY_MSG.format("steps", "list")),
    (_with(steps=np.zeros(N, np.int32)), ARRAY_MSG.format("steps", "ndarray")),
    (_with(steps=np.zeros(N, np.uint64)), ARRAY_MSG.format("steps", "ndarray")),
    (_with(steps=np.zeros(N)), ARRAY_MSG.format("steps", "ndarray")),
    (_with(steps=np.zeros((N, 1), np.int64)), ARRAY_MSG.format("steps", "ndarray")),
    (_with(steps=0), ARRAY_MSG.format("steps", "int")),
    # Arguments convert in parameter order, and every conversion precedes
    # every shape check.
    (_with(ball_vel=[0.0], player_pos=[0.0]), ARRAY_MSG.format("ball_vel", "list")),
    (_with(ball_pos=np.zeros((N + 1, 2)), steps=[0]), ARRAY_MSG.format("steps", "list")),
]

VALUE_ERRORS = [
    (
        _with(ball_pos=np.zeros((3, 2))),
        "set_state: ball_pos [3, 2] / ball_vel [4, 2] must both be (n_envs=4, 2)",
    ),
    (
        _with(ball_vel=np.zeros((N, 3))),
        "set_state: ball_pos [4, 2] / ball_vel [4, 3] must both be (n_envs=4, 2)",
    ),
    (
        # The ball check comes first even when the players are wrong too.
        _with(ball_pos=np.zeros((N, 3)), player_pos=np.zeros((N, 1, 2)), steps=np.zeros(1, np.int64)),
        "set_state: ball_pos [4, 3] / ball_vel [4, 2] must both be (n_envs=4, 2)",
    ),
    (
        _with(player_pos=np.zeros((N, P + 1, 2))),
        "set_state: player_pos [4, 6, 2] / player_vel [4, 5, 2] must both be (n_envs=4, n_players=5, 2)",
    ),
    (
        _with(player_vel=np.zeros((N + 1, P, 3)), steps=np.zeros(2, np.int64)),
        "set_state: player_pos [4, 5, 2] / player_vel [5, 5, 3] must both be (n_envs=4, n_players=5, 2)",
    ),
    (_with(steps=np.zeros(3, np.int64)), "set_state: steps length 3 != n_envs 4"),
    (_with(steps=np.zeros(0, np.int64)), "set_state: steps length 0 != n_envs 4"),
]


@pytest.mark.parametrize(
    "args, error, message",
    [(a, TypeError, m) for a, m in TYPE_ERRORS] + [(a, ValueError, m) for a, m in VALUE_ERRORS],
)
def test_failed_set_state_changes_nothing(args, error, message):
    env = played_batch(n_envs=N, n_red=2, n_blue=3)
    before = state_bytes(env)
    with pytest.raises(error) as caught:
        env.set_state(*args)
    assert str(caught.value) == message
    assert state_bytes(env) == before


def test_set_state_binding_errors():
    env = VecEnv(N, 2, 3)
    args = _good_args()
    with pytest.raises(
        TypeError, match=r"^VecEnv\.set_state\(\) missing 1 required positional argument: 'player_vel'$"
    ):
        env.set_state(*args[:3])
    with pytest.raises(
        TypeError, match=r"^VecEnv\.set_state\(\) takes from 4 to 5 positional arguments but 6 were given$"
    ):
        env.set_state(*args, None)
    with pytest.raises(TypeError, match=r"^VecEnv\.set_state\(\) got an unexpected keyword argument 'step'$"):
        env.set_state(*args[:4], step=None)


def test_failed_set_state_keeps_the_kickoff_going():
    """A refused call must not lift the barrier: the lone blue player, running
    at the ball, stays held outside the centre circle while red kicks off."""
    refused = VecEnv(1, 0, 1)
    with pytest.raises(ValueError):
        refused.set_state(*_with(ball_pos=np.zeros((2, 2)))[:4])
    accepted = VecEnv(1, 0, 1)
    accepted.set_state(*accepted.snapshot()[:4])
    for env in (refused, accepted):
        for _ in range(20):
            env.physics_step(actions_for(env, dx=-1))
    held_ball, _, held_players, _, _ = refused.snapshot()
    np.testing.assert_array_equal(held_ball, [[0.0, 0.0]])
    assert held_players[0, 0, 0] > 75.0 + PLAYER_RADIUS - 1.0
    # Without the barrier the same run pushes the ball.
    assert accepted.snapshot()[0][0, 0] < 0.0


# ---- set_state: phase and what it leaves alone -----------------------------


def test_set_state_lets_a_goal_count_on_the_next_tick():
    env = VecEnv(2, 1, 1, tick_skip=1)  # fresh: still at kickoff
    place(env, ball_pos=(365.0, 0.0), ball_vel=(10.0, 0.0))
    np.testing.assert_array_equal(env.physics_step(zero_actions(env)), [FLAG_BLUE, FLAG_BLUE])


def test_set_state_ends_the_after_goal_countdown():
    env = VecEnv(1, 1, 1)
    place(env, ball_pos=(-368.0, 0.0), ball_vel=(-5.0, 0.0))
    assert env.physics_step(zero_actions(env)).tolist() == [FLAG_RED]
    place(env, ball_pos=(100.0, 50.0))
    settled = env.snapshot()
    for _ in range(25):  # 200 ticks, past the countdown's end
        assert env.physics_step(zero_actions(env)).tolist() == [-1]
    after = env.snapshot()
    for a, b in zip(settled[:4], after[:4]):
        assert a.tobytes() == b.tobytes(), "no kickoff reset may follow"


def _crossing_blue_player(env):
    """One blue player at y = 100 moving onto the centre line from the right."""
    place(env, ball_pos=(-200.0, -150.0), player_pos=[(20.0, 100.0)], player_vel=[(-10.0, 0.0)])
    env.physics_step(zero_actions(env))
    return env.snapshot()[2][0, 0, 0]


def test_set_state_keeps_masks_until_the_next_playing_tick_rewrites_them():
    # After one kickoff tick every player carries the barrier mask.
    barrier = VecEnv(1, 0, 1, tick_skip=1)
    barrier.physics_step(zero_actions(barrier))
    assert _crossing_blue_player(barrier) == 15.0, "set_state must not clear the barrier mask"

    # One tick in play rewrites the mask to the normal one.
    lifted = VecEnv(1, 0, 1, tick_skip=1)
    lifted.physics_step(zero_actions(lifted))
    place(lifted)
    lifted.physics_step(zero_actions(lifted))
    assert _crossing_blue_player(lifted) == 10.0


def test_set_state_leaves_obstacle_discs_alone():
    stadium = {
        "planes": [
            {"normal": [1, 0], "dist": -300},
            {"normal": [-1, 0], "dist": -300},
            {"normal": [0, 1], "dist": -300},
            {"normal": [0, -1], "dist": -300},
        ],
        "discs": [{"pos": [40, 0], "radius": 10, "invMass": 1}],
        "redSpawnPoints": [[-250, 250]],
    }
    env = VecEnv.from_zsm(json.dumps(stadium), 1, 1, 0, tick_skip=1)
    place(env, ball_vel=(5.0, 0.0), player_pos=[(-250.0, -250.0)])
    for _ in range(6):
        env.physics_step(zero_actions(env))
    pushed = env.obstacle_discs()
    assert pushed[0, 0] > 40.0, "the ball should have pushed the disc"
    place(env, player_pos=[(-250.0, -250.0)])
    assert env.obstacle_discs().tobytes() == pushed.tobytes()


# ---- kick_state, teams --------------------------------------------------------


def _kick_setup(env, near_env):
    """Player 0 of env `near_env` stands 1 unit from the ball; the others far."""
    n = env.n_envs
    ball_pos = np.zeros((n, 2))
    player_pos = np.tile(np.array([(-405.0, 185.0), (405.0, 185.0)]), (n, 1, 1))
    player_pos[near_env, 0] = (-26.0, 0.0)
    zeros = np.zeros((n, 2))
    env.set_state(ball_pos, zeros, player_pos, np.zeros_like(player_pos))


@pytest.mark.parametrize("near_env, flag, cooldown", [(0, [0, 1], [2, 0]), (1, [1, 1], [0, 0])])
def test_kick_state_reports_env_zero_only(near_env, flag, cooldown):
    env = VecEnv(2, 1, 1, tick_skip=1)
    _kick_setup(env, near_env)
    env.physics_step(actions_for(env, kick=1))
    got_flag, got_cooldown = env.kick_state()
    assert got_flag.dtype == np.int64 and got_cooldown.dtype == np.int64
    assert got_flag.tolist() == flag
    assert got_cooldown.tolist() == cooldown


@pytest.mark.parametrize("n_envs, n_red, n_blue", [(1, 1, 0), (3, 0, 2), (2, 2, 3), (1, 16, 16)])
def test_teams(n_envs, n_red, n_blue):
    teams = VecEnv(n_envs, n_red, n_blue).teams()
    assert teams.dtype == np.int64
    assert teams.tolist() == [[FLAG_RED] * n_red + [FLAG_BLUE] * n_blue] * n_envs


# ---- set_kick_rate_limit --------------------------------------------------------


def test_new_kick_rate_limit_spares_running_cooldowns_and_governs_the_next_kick():
    env = VecEnv(1, 1, 1, tick_skip=1)
    _kick_setup(env, 0)
    env.physics_step(actions_for(env, kick=1))
    assert env.kick_state()[1].tolist() == [2, 0]
    env.set_kick_rate_limit(6, 0, 1)
    assert env.kick_state()[1].tolist() == [2, 0]
    env.physics_step(zero_actions(env))
    assert env.kick_state()[1].tolist() == [1, 0]
    # set_state clears the counters but keeps the limit.
    _kick_setup(env, 0)
    env.physics_step(actions_for(env, kick=1))
    assert env.kick_state()[1].tolist() == [6, 0]


def _kick_rate_batch(n_envs):
    """One red player holding kick = 2 against an immovable kickable disc in
    reach; its small kickback lets the kicks show in its velocity."""
    stadium = {
        "discs": [{"pos": [-30, 0], "radius": 10, "invMass": 0, "cGroup": ["kick"], "cMask": []}],
        "redSpawnPoints": [[-50, 0]],
        "playerPhysics": {"kickback": 0.001},
    }
    return VecEnv.from_zsm(json.dumps(stadium), n_envs, 1, 0, tick_skip=1)


def _kick_ticks(env, ticks):
    hits = []
    actions = actions_for(env, kick=2)
    for t in range(1, ticks + 1):
        env.physics_step(actions)
        flag, cooldown = env.kick_state()
        if flag[0] == 0:
            hits.append((t, int(cooldown[0])))
        snap = env.snapshot()
        for i in range(1, env.n_envs):  # the limit applies to every env
            assert snap[2][i].tobytes() == snap[2][0].tobytes()
            assert snap[3][i].tobytes() == snap[3][0].tobytes()
    return hits


@pytest.mark.parametrize(
    "limit, hits",
    [
        (None, [(t, 2) for t in (1, 3, 5, 7, 9, 11, 13)]),
        ((3, 4, 2), [(1, 3), (4, 3), (8, 3), (12, 3)]),
        ((1, 0, 1), [(t, 1) for t in range(1, 14)]),
        ((0, 1, 5), [(t, 0) for t in range(1, 14)]),
        # A negative cooldown never blocks; the budget alone paces the kicks.
        ((-4, 2, 1), [(1, -4), (2, -4), (4, -4), (6, -4), (8, -4), (10, -4), (12, -4)]),
        # Extremes saturate instead of wrapping: a budget refilled by a
        # negative cost stays at the top, one drained by the largest cost
        # stays deep below zero.
        ((1, -(2**63), 1), [(t, 1) for t in range(1, 14)]),
        ((-(2**63), 2**63 - 1, 2**63 - 1), [(1, -(2**63))]),
    ],
)
def test_kick_rate_limit_fields_reach_every_env_and_survive_resets(limit, hits):
    env = _kick_rate_batch(3)
    if limit is not None:
        env.set_kick_rate_limit(*limit)
    assert _kick_ticks(env, 13) == hits
    env.reset_all()
    assert _kick_ticks(env, 13) == hits


@pytest.mark.parametrize(
    "limit, kick",
    [
        ((2, 0, 1), 1),  # the held input and the running cooldown would block the kick
        ((1, 10, 1), 2),  # the spent budget would block the kick
    ],
)
def test_set_state_clears_the_kick_bookkeeping(limit, kick):
    env = _kick_rate_batch(1)
    env.set_kick_rate_limit(*limit)
    actions = actions_for(env, kick=kick)
    env.physics_step(actions)
    assert env.kick_state()[0].tolist() == [0], "the first tick kicks"
    env.set_state(*env.snapshot()[:4])
    env.physics_step(actions)
    assert env.kick_state()[1].tolist() == [limit[0]], "a cleared player kicks at once"


def test_set_kick_rate_limit_accepts_keywords_and_extremes():
    env = _kick_rate_batch(1)
    env.set_kick_rate_limit(cap=1, cost=0, min=5)
    assert _kick_ticks(env, 7) == [(1, 5), (6, 5)]
    env.set_kick_rate_limit(-(2**63), 2**63 - 1, np.int64(-1))
    env.set_kick_rate_limit(True, False, np.uint8(3))


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((1.0, 0, 1), TypeError, "argument 'min': 'float' object cannot be interpreted as an integer"),
        ((1, "0", 1), TypeError, "argument 'cost': 'str' object cannot be interpreted as an integer"),
        ((1, 0, None), TypeError, "argument 'cap': 'NoneType' object cannot be interpreted as an integer"),
        ((2**63, 0, 1.0), OverflowError, None),
        ((1, -(2**63) - 1, 1.0), OverflowError, None),
        ((1.5, 2**64, 1), TypeError, "argument 'min': 'float' object cannot be interpreted as an integer"),
    ],
)
def test_set_kick_rate_limit_refusals_change_nothing(args, error, message):
    env = _kick_rate_batch(1)
    env.set_kick_rate_limit(3, 4, 2)
    with pytest.raises(error) as caught:
        env.set_kick_rate_limit(*args)
    if message is not None:
        assert str(caught.value) == message
    assert _kick_ticks(env, 8) == [(1, 3), (4, 3), (8, 3)]


# ---- set_player_cmask ------------------------------------------------------------


def test_player_mask_lasts_one_tick_in_play():
    env = VecEnv(1, 1, 0, tick_skip=1)
    place(env, player_pos=[(0.0, 180.0)], player_vel=[(0.0, 10.0)])
    env.set_player_cmask(0)
    env.physics_step(zero_actions(env))
    assert env.snapshot()[2][0, 0, 1] == 190.0, "with mask 0 the player ignores the wall"
    env.physics_step(zero_actions(env))
    assert env.snapshot()[2][0, 0, 1] == pytest.approx(PLAYER_TOP)


def test_player_mask_lets_a_player_pass_through_the_ball_for_one_tick():
    env = VecEnv(1, 1, 0, tick_skip=1)
    place(env, player_pos=[(-30.0, 0.0)], player_vel=[(10.0, 0.0)])
    env.set_player_cmask(0)
    env.physics_step(zero_actions(env))
    ball_pos, ball_vel = env.snapshot()[:2]
    np.testing.assert_array_equal(ball_pos, [[0.0, 0.0]])
    np.testing.assert_array_equal(ball_vel, [[0.0, 0.0]])
    env.physics_step(zero_actions(env))
    assert env.snapshot()[0][0, 0] > 0.0, "the normal mask is back: the player pushes the ball"


def test_player_mask_lasts_through_the_after_goal_countdown():
    env = VecEnv(1, 1, 0, tick_skip=1)
    place(env, ball_pos=(-368.0, 0.0), ball_vel=(-5.0, 0.0), player_pos=[(-300.0, PLAYER_TOP)])
    assert env.physics_step(zero_actions(env)).tolist() == [FLAG_RED]
    env.set_player_cmask(0)
    up = actions_for(env, dy=1)
    for _ in range(149):
        env.physics_step(up)
    assert env.snapshot()[2][0, 0, 1] > 300.0, "mask 0 must hold for the whole countdown"
    env.physics_step(up)  # the 150th tick ends with the kickoff reset
    ball_pos, _, player_pos, _, _ = env.snapshot()
    np.testing.assert_array_equal(ball_pos, [[0.0, 0.0]])
    np.testing.assert_array_equal(player_pos, [[[-277.5, 0.0]]])
    for _ in range(150):
        env.physics_step(up)
    assert env.snapshot()[2][0, 0, 1] == pytest.approx(PLAYER_TOP), "the reset restored the mask"


@pytest.mark.parametrize(
    "mask, blocked",
    [
        (39, False),
        (0, False),
        (8, True),  # the red kickoff group: the centre line holds
        (-1, True),  # two's complement: every bit
        (-(2**63), False),  # bit 63 alone
        (-(2**63) + 8, True),
        (2**63 - 1, True),
        (np.int64(16), True),
        (True, False),
    ],
)
def test_player_mask_stores_all_64_bits(mask, blocked):
    env = VecEnv(1, 0, 1, tick_skip=1)
    place(env, ball_pos=(-200.0, -150.0), player_pos=[(20.0, 100.0)], player_vel=[(-10.0, 0.0)])
    env.set_player_cmask(mask)
    env.physics_step(zero_actions(env))
    assert env.snapshot()[2][0, 0, 0] == (15.0 if blocked else 10.0)


def test_player_mask_applies_to_every_env_and_player():
    env = VecEnv(3, 2, 2, tick_skip=1)
    n, p = 3, 4
    player_pos = np.array([[(0.0, 180.0), (-100.0, 180.0), (100.0, -180.0), (200.0, -180.0)]] * n)
    player_vel = np.array([[(0.0, 10.0), (0.0, 10.0), (0.0, -10.0), (0.0, -10.0)]] * n)
    env.set_state(np.zeros((n, 2)), np.zeros((n, 2)), player_pos, player_vel)
    env.set_player_cmask(mask=0)
    env.physics_step(zero_actions(env))
    np.testing.assert_array_equal(np.abs(env.snapshot()[2][:, :, 1]), np.full((n, p), 190.0))


@pytest.mark.parametrize(
    "mask, error, message",
    [
        (39.0, TypeError, "argument 'mask': 'float' object cannot be interpreted as an integer"),
        ("39", TypeError, "argument 'mask': 'str' object cannot be interpreted as an integer"),
        (2**63, OverflowError, None),
        (-(2**63) - 1, OverflowError, None),
    ],
)
def test_set_player_cmask_refusals_change_nothing(mask, error, message):
    env = VecEnv(1, 1, 0, tick_skip=1)
    place(env, player_pos=[(0.0, 180.0)], player_vel=[(0.0, 10.0)])
    with pytest.raises(error) as caught:
        env.set_player_cmask(mask)
    if message is not None:
        assert str(caught.value) == message
    env.physics_step(zero_actions(env))
    assert env.snapshot()[2][0, 0, 1] == pytest.approx(PLAYER_TOP)


# ---- arrays handed out, references --------------------------------------------------


def _outputs(env):
    return [*env.snapshot(), *env.kick_state(), env.teams()]


def test_arrays_handed_out_are_fresh_and_detached():
    env = played_batch()
    first = _outputs(env)
    reference = [a.copy() for a in first]
    for a in first:
        assert a.flags.c_contiguous and a.flags.writeable
        a[...] = 123
    second = _outputs(env)
    for a, b, want in zip(first, second, reference):
        assert not np.shares_memory(a, b)
        assert b.tobytes() == want.tobytes()


def test_calls_leak_no_references():
    env = played_batch()
    args = list(env.snapshot())
    bad_steps = np.zeros(1, np.int64)
    mask = 2**40
    counts = [sys.getrefcount(a) for a in args] + [sys.getrefcount(bad_steps), sys.getrefcount(mask)]
    for _ in range(200):
        env.set_state(*args)
        with pytest.raises(ValueError):
            env.set_state(*args[:4], bad_steps)
        env.set_player_cmask(mask)
        env.set_kick_rate_limit(mask, mask, mask)
    after = [sys.getrefcount(a) for a in args] + [sys.getrefcount(bad_steps), sys.getrefcount(mask)]
    assert after == counts
    results = _outputs(env)
    assert [sys.getrefcount(results[i]) for i in range(len(results))] == [2] * len(results)
    watchers = [weakref.ref(a) for a in results]
    del results
    assert all(w() is None for w in watchers)


def test_vecenv_outlives_no_result():
    env = VecEnv(2, 1, 1)
    snap = env.snapshot()
    teams = env.teams()
    del env
    assert snap[0].shape == (2, 2) and teams.tolist() == [[FLAG_RED, FLAG_BLUE]] * 2
