"""Bad input to every member: a clear exception, never a crash, and a refused
call changes nothing. Values that are accepted however odd (NaN and infinity
in a state, extreme stadium numbers) have defined behaviour: they stay in
their own env, and every member keeps working on them.

"Changes nothing" is checked on a twin: two batches brought to the same
mid-game state, one of which takes the refused call. Both must then read the
same and step the same, so a half-applied change to hidden state (phase,
masks, kick budgets, the kick limit) shows up as well.
"""

import json

import numpy as np
import pytest

from zorbic_core import VecEnv

N, N_RED, N_BLUE = 3, 2, 1
P = N_RED + N_BLUE


def random_actions(rng, n=N, p=P):
    actions = rng.integers(-1, 2, size=(n, p, 3), dtype=np.int64)
    actions[..., 2] = rng.integers(0, 3, size=(n, p))
    return actions


def mid_game():
    """A batch with the ball in play, kicks cooling down, a player mask and a
    kick limit of its own."""
    env = VecEnv(N, N_RED, N_BLUE)
    env.set_kick_rate_limit(4, 1, 2)
    rng = np.random.default_rng(5)
    ball_pos, _, player_pos, player_vel, _ = env.snapshot()
    # Players beside the ball so that kicks land in the first steps.
    player_pos[:, :, 0] = np.array([-24.0, 24.0, 0.0])
    player_pos[:, :, 1] = np.array([0.0, 0.0, 24.0])
    env.set_state(ball_pos, np.full((N, 2), 0.5), player_pos, player_vel, np.array([5, 6, 7], np.int64))
    for _ in range(3):
        env.physics_step(random_actions(rng))
    env.set_player_cmask(47)
    return env


def readable(env):
    """Everything a caller can read, bit for bit."""
    parts = [
        *env.snapshot(),
        *env.kick_state(),
        env.teams(),
        env.obstacle_discs(),
        *env.goals(),
        env.wall_segments(),
        env.predict_ball([1, 10, 40]),
    ]
    return [p.tobytes() for p in parts] + [env.n_envs, env.n_players, env.obs_dim, env.player_max_speed]


def assert_twins(a, b, steps=30):
    assert readable(a) == readable(b)
    rng = np.random.default_rng(9)
    for _ in range(steps):
        actions = random_actions(rng, a.n_envs, a.n_players)
        assert a.physics_step(actions).tobytes() == b.physics_step(actions).tobytes()
    assert readable(a) == readable(b)


ACTIONS = np.zeros((N, P, 3), np.int64)
BALL = np.zeros((N, 2))
PLAYERS = np.zeros((N, P, 2))
STEPS = np.zeros(N, np.int64)
MASK = np.zeros(N, bool)


class IndexFails:
    def __index__(self):
        raise ZeroDivisionError("no index today")


def set_state_with(**changes):
    args = {"ball_pos": BALL, "ball_vel": BALL, "player_pos": PLAYERS, "player_vel": PLAYERS, "steps": STEPS}
    args.update(changes)
    return lambda env: env.set_state(**args)


def nan_with(bad_steps):
    """Valid arrays full of NaN followed by a bad steps array: nothing of the
    NaN may be written before the steps are refused."""
    nan_ball = np.full((N, 2), np.nan)
    nan_players = np.full((N, P, 2), np.nan)
    return lambda env: env.set_state(nan_ball, nan_ball, nan_players, nan_players, bad_steps)


REFUSED = {
    # physics_step: the kind, then the shape.
    "actions list": (lambda e: e.physics_step(ACTIONS.tolist()), TypeError),
    "actions None": (lambda e: e.physics_step(None), TypeError),
    "actions bytes": (lambda e: e.physics_step(ACTIONS.tobytes()), TypeError),
    "actions float64": (lambda e: e.physics_step(ACTIONS.astype(np.float64)), TypeError),
    "actions int32": (lambda e: e.physics_step(ACTIONS.astype(np.int32)), TypeError),
    "actions uint64": (lambda e: e.physics_step(ACTIONS.astype(np.uint64)), TypeError),
    "actions bool": (lambda e: e.physics_step(ACTIONS.astype(bool)), TypeError),
    "actions object": (lambda e: e.physics_step(ACTIONS.astype(object)), TypeError),
    "actions big-endian": (lambda e: e.physics_step(ACTIONS.astype(">i8")), TypeError),
    "actions structured": (lambda e: e.physics_step(np.zeros((N, P, 3), [("a", np.int64)])), TypeError),
    "actions 0-d": (lambda e: e.physics_step(np.int64(0)), TypeError),
    "actions 2-d": (lambda e: e.physics_step(ACTIONS[0]), TypeError),
    "actions 4-d": (lambda e: e.physics_step(ACTIONS[None]), TypeError),
    "actions (N, P, 4)": (lambda e: e.physics_step(np.zeros((N, P, 4), np.int64)), ValueError),
    "actions (N, P, 2)": (lambda e: e.physics_step(np.zeros((N, P, 2), np.int64)), ValueError),
    "actions (N+1, P, 3)": (lambda e: e.physics_step(np.zeros((N + 1, P, 3), np.int64)), ValueError),
    "actions (N, P-1, 3)": (lambda e: e.physics_step(np.zeros((N, P - 1, 3), np.int64)), ValueError),
    "actions (0, P, 3)": (lambda e: e.physics_step(np.zeros((0, P, 3), np.int64)), ValueError),
    "actions missing": (lambda e: e.physics_step(), TypeError),
    "actions twice": (lambda e: e.physics_step(ACTIONS, actions=ACTIONS), TypeError),
    "actions misspelt": (lambda e: e.physics_step(action=ACTIONS), TypeError),
    # reset_mask
    "mask int64": (lambda e: e.reset_mask(np.ones(N, np.int64)), TypeError),
    "mask uint8": (lambda e: e.reset_mask(np.ones(N, np.uint8)), TypeError),
    "mask float": (lambda e: e.reset_mask(np.ones(N)), TypeError),
    "mask list": (lambda e: e.reset_mask([True] * N), TypeError),
    "mask 0-d": (lambda e: e.reset_mask(np.array(True)), TypeError),
    "mask 2-d": (lambda e: e.reset_mask(np.ones((1, N), bool)), TypeError),
    "mask short": (lambda e: e.reset_mask(np.ones(N - 1, bool)), ValueError),
    "mask long": (lambda e: e.reset_mask(np.ones(N + 1, bool)), ValueError),
    "mask empty": (lambda e: e.reset_mask(np.ones(0, bool)), ValueError),
    # set_state: each argument's kind, then the shapes, then the steps.
    "ball_pos float32": (set_state_with(ball_pos=BALL.astype(np.float32)), TypeError),
    "ball_vel int64": (set_state_with(ball_vel=BALL.astype(np.int64)), TypeError),
    "player_pos list": (set_state_with(player_pos=PLAYERS.tolist()), TypeError),
    "player_vel 2-d": (set_state_with(player_vel=PLAYERS[:, 0]), TypeError),
    "ball_pos 3-d": (set_state_with(ball_pos=BALL[None]), TypeError),
    "ball_vel big-endian": (set_state_with(ball_vel=BALL.astype(">f8")), TypeError),
    "player_pos complex": (set_state_with(player_pos=PLAYERS.astype(complex)), TypeError),
    "ball_pos (N-1, 2)": (set_state_with(ball_pos=BALL[1:]), ValueError),
    "ball_vel (N, 3)": (set_state_with(ball_vel=np.zeros((N, 3))), ValueError),
    "player_pos (N, P+1, 2)": (set_state_with(player_pos=np.zeros((N, P + 1, 2))), ValueError),
    "player_vel (N, P, 1)": (set_state_with(player_vel=np.zeros((N, P, 1))), ValueError),
    "player_pos (N+1, P, 2)": (set_state_with(player_pos=np.zeros((N + 1, P, 2))), ValueError),
    "steps list": (set_state_with(steps=[0] * N), TypeError),
    "steps int32": (set_state_with(steps=STEPS.astype(np.int32)), TypeError),
    "steps uint64": (set_state_with(steps=STEPS.astype(np.uint64)), TypeError),
    "steps float": (set_state_with(steps=STEPS.astype(float)), TypeError),
    "steps 2-d": (set_state_with(steps=STEPS[None]), TypeError),
    "steps long": (set_state_with(steps=np.zeros(N + 1, np.int64)), ValueError),
    "NaN state, steps short": (nan_with(np.zeros(N - 1, np.int64)), ValueError),
    "NaN state, steps int32": (nan_with(np.zeros(N, np.int32)), TypeError),
    "set_state missing": (lambda e: e.set_state(BALL, BALL, PLAYERS), TypeError),
    "set_state extra": (lambda e: e.set_state(BALL, BALL, PLAYERS, PLAYERS, STEPS, STEPS), TypeError),
    "set_state twice": (lambda e: e.set_state(BALL, BALL, PLAYERS, PLAYERS, ball_pos=BALL), TypeError),
    # set_kick_rate_limit
    "min float": (lambda e: e.set_kick_rate_limit(1.5, 0, 1), TypeError),
    "min numpy float": (lambda e: e.set_kick_rate_limit(np.float64(1), 0, 1), TypeError),
    "cost str": (lambda e: e.set_kick_rate_limit(0, "1", 1), TypeError),
    "cap None": (lambda e: e.set_kick_rate_limit(0, 0, None), TypeError),
    "min 2**63": (lambda e: e.set_kick_rate_limit(2**63, 0, 1), OverflowError),
    "cost -2**63-1": (lambda e: e.set_kick_rate_limit(0, -(2**63) - 1, 1), OverflowError),
    "cap 10**30": (lambda e: e.set_kick_rate_limit(0, 0, 10**30), OverflowError),
    "cap after a good min": (lambda e: e.set_kick_rate_limit(9, 9, 2**64), OverflowError),
    "index raises": (lambda e: e.set_kick_rate_limit(0, IndexFails(), 1), ZeroDivisionError),
    "kick limit missing": (lambda e: e.set_kick_rate_limit(0, 0), TypeError),
    # set_player_cmask
    "cmask 2**63": (lambda e: e.set_player_cmask(2**63), OverflowError),
    "cmask -2**63-1": (lambda e: e.set_player_cmask(-(2**63) - 1), OverflowError),
    "cmask numpy 2**63": (lambda e: e.set_player_cmask(np.uint64(2**63)), OverflowError),
    "cmask float": (lambda e: e.set_player_cmask(39.0), TypeError),
    "cmask str": (lambda e: e.set_player_cmask("39"), TypeError),
    "cmask list": (lambda e: e.set_player_cmask([39]), TypeError),
    "cmask None": (lambda e: e.set_player_cmask(None), TypeError),
    # predict_ball
    "offsets str": (lambda e: e.predict_ball("12"), TypeError),
    "offsets int": (lambda e: e.predict_ball(5), TypeError),
    "offsets None": (lambda e: e.predict_ball(None), TypeError),
    "offsets dict": (lambda e: e.predict_ball({1: 2}), TypeError),
    "offsets generator": (lambda e: e.predict_ball(t for t in [1, 2]), TypeError),
    "offsets float": (lambda e: e.predict_ball([1, 2.0]), TypeError),
    "offsets float array": (lambda e: e.predict_ball(np.array([1.0, 2.0])), TypeError),
    "offsets None inside": (lambda e: e.predict_ball([1, None]), TypeError),
    "offsets negative": (lambda e: e.predict_ball([1, -1]), OverflowError),
    "offsets 2**64": (lambda e: e.predict_ball([2**64]), OverflowError),
    # rollout_bench
    "n_steps negative": (lambda e: e.rollout_bench(-1), OverflowError),
    "n_steps 2**64": (lambda e: e.rollout_bench(2**64), OverflowError),
    "n_steps float": (lambda e: e.rollout_bench(3.0), TypeError),
    "n_steps numpy float": (lambda e: e.rollout_bench(np.float64(3)), TypeError),
    "n_steps str": (lambda e: e.rollout_bench("3"), TypeError),
    "n_steps None": (lambda e: e.rollout_bench(None), TypeError),
    # Members without parameters.
    **{
        f"{name} with an argument": ((lambda name: lambda e: getattr(e, name)(1))(name), TypeError)
        for name in ["reset_all", "snapshot", "kick_state", "teams", "goals", "wall_segments", "obstacle_discs"]
    },
    # Properties cannot be set.
    **{
        f"set {name}": ((lambda name: lambda e: setattr(e, name, 1))(name), AttributeError)
        for name in ["n_envs", "n_players", "obs_dim", "player_max_speed"]
    },
}


@pytest.mark.parametrize("call, error", REFUSED.values(), ids=REFUSED.keys())
def test_a_refused_call_raises_and_changes_nothing(call, error):
    target, twin = mid_game(), mid_game()
    with pytest.raises(error):
        call(target)
    assert_twins(target, twin)


# ---- accepted but odd values ------------------------------------------------

ODD_VALUES = [np.nan, np.inf, -np.inf, 1e308, -0.0, 5e-324]


@pytest.mark.parametrize("value", ODD_VALUES, ids=str)
@pytest.mark.parametrize("field", ["ball_pos", "ball_vel", "player_pos", "player_vel"])
def test_odd_numbers_in_a_state_stay_in_their_env(field, value):
    """One env takes the odd number; the other envs must not notice, every
    member must keep working, and a reset must clear it."""
    odd, plain = mid_game(), mid_game()
    state = dict(zip(["ball_pos", "ball_vel", "player_pos", "player_vel", "steps"], plain.snapshot()))
    odd_state = {k: v.copy() for k, v in state.items()}
    odd_state[field][1, ..., 0] = value  # env 1 only: the ball's x, or every player's x
    odd.set_state(**odd_state)
    plain.set_state(**state)

    rng = np.random.default_rng(13)
    for _ in range(40):
        actions = random_actions(rng)
        odd_scored, plain_scored = odd.physics_step(actions), plain.physics_step(actions)
        assert odd_scored.shape == (N,) and set(odd_scored.tolist()) <= {-1, 0, 2, 4}
        assert odd_scored[[0, 2]].tobytes() == plain_scored[[0, 2]].tobytes()
        if field.startswith("ball") and np.isnan(value):
            assert odd_scored[1] == -1  # a NaN path crosses no goal line
    for a, b in zip(odd.snapshot(), plain.snapshot()):
        assert a[[0, 2]].tobytes() == b[[0, 2]].tobytes()
    assert odd.predict_ball([1, 3, 100])[[0, 2]].tobytes() == plain.predict_ball([1, 3, 100])[[0, 2]].tobytes()
    odd.rollout_bench(20)
    odd.kick_state(), odd.obstacle_discs(), odd.wall_segments(), odd.goals()

    odd.reset_mask(np.array([False, True, False]))
    fresh = VecEnv(N, N_RED, N_BLUE)
    for a, b in zip(odd.snapshot(), fresh.snapshot()):
        assert a[1].tobytes() == b[1].tobytes()


@pytest.mark.parametrize("steps", [2**63 - 1, -1, -(2**63)])
def test_step_counters_at_the_ends_of_the_range_keep_counting(steps):
    # The engine counts unsigned; the array shows the same 64 bits signed, so
    # a value set from Python reads back exactly and one tick later is the
    # next 64-bit pattern, never an error or a crash.
    env = VecEnv(N, N_RED, N_BLUE, tick_skip=1)
    ball_pos, ball_vel, player_pos, player_vel, _ = env.snapshot()
    env.set_state(ball_pos, ball_vel, player_pos, player_vel, np.full(N, steps, np.int64))
    assert env.snapshot()[4].tolist() == [steps] * N
    env.physics_step(ACTIONS)
    expected = np.array([steps], np.int64).view(np.uint64) + np.uint64(1)
    assert env.snapshot()[4].tolist() == [int(expected.view(np.int64)[0])] * N


@pytest.mark.parametrize(
    "limit",
    [
        (-(2**63), 2**63 - 1, 2**63 - 1),
        (2**63 - 1, -(2**63), -(2**63)),
        (0, 2**63 - 1, -(2**63)),
        (-1, -(2**63), 2**63 - 1),
    ],
)
def test_extreme_kick_limits_play_on(limit):
    env, twin = mid_game(), mid_game()
    env.set_kick_rate_limit(*limit)
    twin.set_kick_rate_limit(*limit)
    assert_twins(env, twin, steps=60)
    flag, cooldown = env.kick_state()
    assert flag.shape == cooldown.shape == (P,)


# ---- stadium texts ----------------------------------------------------------------


@pytest.mark.parametrize(
    "number",
    ["NaN", "nan", "Infinity", "-Infinity", "inf", "1e400", "-1e999", "0x10", "+1", "1.", ".5", "01", "1e", "--1"],
)
@pytest.mark.parametrize("key", ["spawnDistance", "ballPhysics.radius", "vertex", "plane", "pair"])
def test_stadium_numbers_outside_json_are_refused(key, number):
    texts = {
        "spawnDistance": '{"spawnDistance": %s}',
        "ballPhysics.radius": '{"ballPhysics": {"radius": %s}}',
        "vertex": '{"vertexes": [{"x": %s, "y": 0}]}',
        "plane": '{"planes": [{"normal": [0, 1], "dist": %s}]}',
        "pair": '{"redSpawnPoints": [[0, %s]]}',
    }
    with pytest.raises(ValueError, match=r"^bad \.zsm JSON: "):
        VecEnv.from_zsm(texts[key] % number, 1, 1, 1)


@pytest.mark.parametrize(
    "text, line, column",
    [
        ("{}\x00", 1, 3),
        ('{"name": "x"}\x00{"discs": [}', 1, 14),
        ("{\n}\n  \x00", 3, 3),
        ("{} \x00 ", 1, 4),
    ],
)
def test_a_nul_after_the_stadium_is_refused(text, line, column):
    # The JSON parser stops at a NUL byte as if the text ended there; what
    # follows it must not be ignored.
    with pytest.raises(ValueError) as error:
        VecEnv.from_zsm(text, 1, 1, 1)
    message = str(error.value)
    assert message.startswith(f"bad .zsm JSON: parse error at line {line}, column {column}: ")
    assert "U+0000" in message


@pytest.mark.parametrize("text", ["\x00{}", '{"a": \x00 1}', '{"name": "a\x00"}', "{\x00}"])
def test_a_nul_inside_the_stadium_is_a_syntax_error(text):
    with pytest.raises(ValueError, match=r"^bad \.zsm JSON: .*line 1, column \d+"):
        VecEnv.from_zsm(text, 1, 1, 1)


# Every number at the edge of what a double holds, in every place a stadium
# reads one: the batch builds, plays, predicts and resets, identically twice.
EXTREME = json.dumps(
    {
        "spawnDistance": 1.7976931348623157e308,
        "redSpawnPoints": [[-1e308, 1e308]],
        "vertexes": [{"x": -1e308, "y": 1e308}, {"x": 1e308, "y": -1e308}, {"x": 5e-324, "y": 0}],
        "segments": [
            {"v0": 0, "v1": 1, "curve": 1e300, "bias": -1e308},
            {"v0": 1, "v1": 2, "curve": 120, "bCoef": 1e308},
            {"v0": 2, "v1": 2, "curve": -90},
            {"v0": 2, "v1": 0, "curve": 5e-324, "bias": 5e-324},
        ],
        "planes": [{"normal": [1e-300, 1e-300], "dist": 1e308, "bCoef": -1e308}, {"normal": [0, 0], "dist": 0}],
        "discs": [
            {"pos": [1e308, 1e308], "radius": 1e308, "invMass": 1e308, "damping": -1e308},
            {"pos": [0, 0], "radius": -5, "invMass": 0},
            {"radius": 0, "invMass": -1},
        ],
        "goals": [{"p0": [-1e308, 0], "p1": [1e308, 0], "team": "red"}],
        "ballPhysics": {"damping": 1e10, "radius": 1e-300, "invMass": -1e308, "bCoef": 1e308},
        "playerPhysics": {
            "acceleration": 1e308,
            "kickingAcceleration": -1e308,
            "kickStrength": 1e308,
            "kickback": -1e308,
            "damping": 1e308,
            "radius": 1e308,
            "invMass": 1e308,
        },
    }
)


def play_extreme():
    env = VecEnv.from_zsm(EXTREME, 4, 1, 2, tick_skip=3)
    rng = np.random.default_rng(17)
    out = [*env.goals(), env.wall_segments(), env.obstacle_discs(), env.predict_ball([0, 1, 2, 50])]
    for step in range(40):
        out.append(env.physics_step(random_actions(rng, 4, 3)))
        if step % 10 == 9:
            env.reset_mask(np.array([True, False, step % 20 == 9, False]))
    out += [*env.snapshot(), *env.kick_state(), env.predict_ball([1, 7])]
    env.rollout_bench(25)
    env.reset_all()
    out += [*env.snapshot(), env.obstacle_discs()]
    return [a.tobytes() for a in out]


def test_extreme_stadium_numbers_build_and_play_the_same_every_time():
    first = play_extreme()
    assert first == play_extreme()
