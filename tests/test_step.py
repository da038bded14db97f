"""Stepping and resetting a batch: physics_step, reset_all, reset_mask and
rollout_bench, including their use from several Python threads."""

import json
import threading

import numpy as np
import pytest

from threads import run_in_threads
from zorbic_core import FLAG_BLUE, FLAG_RED, VecEnv


def random_actions(rng, env):
    """Seeded moves in {-1, 0, 1}^2 and kicks in {0, 1, 2}, as training uses."""
    actions = rng.integers(-1, 2, size=(env.n_envs, env.n_players, 3), dtype=np.int64)
    actions[:, :, 2] = rng.integers(0, 3, size=(env.n_envs, env.n_players))
    return actions


def state_bytes(env):
    """Every readable part of the dynamic state, bit for bit."""
    flag, cooldown = env.kick_state()
    return [a.tobytes() for a in env.snapshot()] + [flag.tobytes(), cooldown.tobytes()]


def steps_of(env):
    return env.snapshot()[4]


def played(env, seed=3, steps=10):
    rng = np.random.default_rng(seed)
    for _ in range(steps):
        env.physics_step(random_actions(rng, env))
    return env


# A field with nothing but one goal line at x = 12.5 and a ball that keeps its
# speed. The single red player stands touching the ball's left side, so a kick
# in tick 1 sends the ball right at 5 units per tick: x = 5, 10, 15 after
# ticks 1, 2, 3. The ball starts moving in tick 1 (ending the kickoff), so
# tick 3 is the first whose path crosses the line.
def goal_field(team):
    return json.dumps(
        {
            "ballPhysics": {"radius": 10, "invMass": 1, "damping": 1},
            "redSpawnPoints": [[-25, 0]],
            "goals": [{"p0": [12.5, -50], "p1": [12.5, 50], "team": team}],
        }
    )


KICK = np.array([[[0, 0, 1]]], np.int64)
STAND = np.array([[[0, 0, 0]]], np.int64)


# ---- physics_step: the result -------------------------------------------


@pytest.mark.parametrize("n_envs, n_red, n_blue", [(1, 1, 0), (3, 2, 1), (5, 0, 4)])
def test_step_without_goals_returns_minus_one_per_env(n_envs, n_red, n_blue):
    env = VecEnv(n_envs, n_red, n_blue)
    scored = env.physics_step(np.zeros((n_envs, n_red + n_blue, 3), np.int64))
    assert scored.dtype == np.int8
    assert scored.shape == (n_envs,)
    assert scored.flags.c_contiguous and scored.flags.writeable and scored.flags.owndata
    np.testing.assert_array_equal(scored, -1)
    np.testing.assert_array_equal(steps_of(env), 8)


def test_each_call_returns_a_new_array():
    env = VecEnv(2, 1, 1)
    actions = np.zeros((2, 2, 3), np.int64)
    first = env.physics_step(actions)
    first[:] = 7
    np.testing.assert_array_equal(env.physics_step(actions), -1)


@pytest.mark.parametrize("team, conceding", [("blue", FLAG_BLUE), ("red", FLAG_RED), ("Red", 0), ("", 0)])
def test_goal_in_third_tick_ends_that_envs_call_and_reports_the_conceding_team(team, conceding):
    env = VecEnv.from_zsm(goal_field(team), 3, 1, 0, tick_skip=8)
    actions = np.concatenate([STAND, KICK, STAND])
    scored = env.physics_step(actions)
    np.testing.assert_array_equal(scored, [-1, conceding, -1])
    np.testing.assert_array_equal(steps_of(env), [8, 3, 8])
    # The ball stopped where the goal tick left it: three ticks of travel.
    np.testing.assert_array_equal(env.snapshot()[0][1], [15.0, 0.0])


def test_batch_does_not_reset_an_env_after_its_goal():
    env = VecEnv.from_zsm(goal_field("blue"), 1, 1, 0, tick_skip=8)
    assert env.physics_step(KICK)[0] == FLAG_BLUE
    # The after-goal countdown runs inside the match; no goal is counted in it
    # although the ball keeps rolling, and nothing moves back to kickoff yet.
    np.testing.assert_array_equal(env.physics_step(STAND), [-1])
    assert steps_of(env)[0] == 11
    np.testing.assert_array_equal(env.snapshot()[0][0], [55.0, 0.0])


def test_tick_skip_ticks_hold_the_same_actions_as_single_tick_calls():
    rng = np.random.default_rng(11)
    skipping = VecEnv(4, 2, 2, tick_skip=8)
    single = VecEnv(4, 2, 2, tick_skip=1)
    for _ in range(6):
        actions = random_actions(rng, skipping)
        skipping.physics_step(actions)
        for _ in range(8):
            single.physics_step(actions)
    assert state_bytes(skipping) == state_bytes(single)


@pytest.mark.parametrize("tick_skip, ticks", [(0, 1), (1, 1), (3, 3), (8, 8)])
def test_one_call_advances_tick_skip_ticks(tick_skip, ticks):
    env = VecEnv(2, 1, 1, tick_skip=tick_skip)
    env.physics_step(np.ones((2, 2, 3), np.int64))
    np.testing.assert_array_equal(steps_of(env), ticks)


def test_envs_are_independent_of_each_other():
    rng = np.random.default_rng(5)
    batch = VecEnv(3, 2, 2)
    alone = [VecEnv(1, 2, 2) for _ in range(3)]
    for _ in range(15):
        actions = random_actions(rng, batch)
        scored = batch.physics_step(actions)
        for i, env in enumerate(alone):
            assert env.physics_step(actions[i : i + 1])[0] == scored[i]
    for i, env in enumerate(alone):
        for whole, single in zip(batch.snapshot(), env.snapshot()):
            assert whole[i].tobytes() == single[0].tobytes()


# ---- physics_step: strides -----------------------------------------------


def views_of(base):
    """(name, view) pairs of shape (2, 3, 3) taken from a larger int64 array."""
    return [
        ("every other env", base[::2, :3, :3]),
        ("players reversed", base[:2, 2::-1, :3]),
        ("everything reversed", base[3::-2, 3:0:-1, 3:0:-1]),
        ("fortran order", np.asfortranarray(base[:2, :3, :3])),
        ("axes permuted", base[:3, :3, :2].transpose(2, 0, 1)),
        ("read-only", np.lib.stride_tricks.as_strided(base[:2, :3, :3], writeable=False)),
    ]


@pytest.mark.parametrize("which", range(6))
def test_strided_actions_act_like_their_contiguous_copy(which):
    rng = np.random.default_rng(which)
    strided_env = VecEnv(2, 2, 1)
    copied_env = VecEnv(2, 2, 1)
    for _ in range(8):
        base = rng.integers(-1, 3, size=(4, 4, 4), dtype=np.int64)
        _, view = views_of(base)[which]
        assert view.shape == (2, 3, 3)
        copy = np.ascontiguousarray(view)
        np.testing.assert_array_equal(strided_env.physics_step(view), copied_env.physics_step(copy))
    assert state_bytes(strided_env) == state_bytes(copied_env)


def test_unaligned_actions_are_read_correctly():
    rng = np.random.default_rng(2)
    aligned_env = VecEnv(2, 1, 1)
    unaligned_env = VecEnv(2, 1, 1)
    for _ in range(8):
        actions = rng.integers(-1, 3, size=(2, 2, 3), dtype=np.int64)
        raw = np.zeros(actions.nbytes + 1, np.uint8)
        unaligned = raw[1:].view(np.int64).reshape(2, 2, 3)
        unaligned[...] = actions
        assert not unaligned.flags.aligned
        np.testing.assert_array_equal(aligned_env.physics_step(actions), unaligned_env.physics_step(unaligned))
    assert state_bytes(aligned_env) == state_bytes(unaligned_env)


# ---- physics_step: refused input -----------------------------------------


@pytest.mark.parametrize("shape", [(2, 3, 4), (2, 4, 3), (3, 3, 3), (1, 3, 3), (2, 3, 2), (0, 3, 3), (2, 0, 3)])
def test_wrong_action_shape_is_refused_before_any_env_moves(shape):
    env = played(VecEnv(2, 2, 1))
    before = state_bytes(env)
    with pytest.raises(ValueError) as error:
        env.physics_step(np.ones(shape, np.int64))
    assert str(error.value) == (
        f"physics_step: actions shape [{shape[0]}, {shape[1]}, {shape[2]}] != expected (n_envs=2, n_players=3, 3)"
    )
    assert state_bytes(env) == before
    # The failed call released the object.
    env.physics_step(np.zeros((2, 3, 3), np.int64))


@pytest.mark.parametrize(
    "actions, type_name",
    [
        ([[[0, 0, 0]]], "list"),
        (np.zeros((2, 2, 3), np.float64), "ndarray"),
        (np.zeros((2, 2, 3), np.int32), "ndarray"),
        (np.zeros((2, 2, 3), np.uint64), "ndarray"),
        (np.zeros((2, 6), np.int64), "ndarray"),
        (np.zeros((2, 2, 3, 1), np.int64), "ndarray"),
        (np.zeros((2, 2, 3), np.int64).astype(">i8"), "ndarray"),
        (None, "NoneType"),
    ],
)
def test_actions_of_the_wrong_kind_are_a_type_error(actions, type_name):
    env = VecEnv(2, 1, 1)
    with pytest.raises(TypeError) as error:
        env.physics_step(actions)
    assert str(error.value) == f"argument 'actions': '{type_name}' object cannot be converted to 'PyArray<T, D>'"
    np.testing.assert_array_equal(steps_of(env), 0)


def test_actions_may_be_given_by_keyword_and_must_be_given():
    env = VecEnv(1, 1, 0)
    np.testing.assert_array_equal(env.physics_step(actions=STAND), [-1])
    with pytest.raises(
        TypeError, match=r"^VecEnv\.physics_step\(\) missing 1 required positional argument: 'actions'$"
    ):
        env.physics_step()
    with pytest.raises(TypeError, match=r"^VecEnv\.physics_step\(\) got an unexpected keyword argument 'action'$"):
        env.physics_step(action=STAND)


def test_extreme_action_values_are_stepped_not_refused():
    env = VecEnv(1, 1, 1)
    extremes = np.array([[[2**63 - 1, -(2**63), 2**63 - 1], [-(2**63), -(2**63), -(2**63)]]], np.int64)
    np.testing.assert_array_equal(env.physics_step(extremes), [-1])
    assert steps_of(env)[0] == 8


# ---- reset_all and reset_mask --------------------------------------------


def test_reset_all_puts_every_env_back_to_a_fresh_kickoff():
    env = played(VecEnv(3, 2, 2), steps=25)
    assert state_bytes(env) != state_bytes(VecEnv(3, 2, 2))
    assert env.reset_all() is None
    assert state_bytes(env) == state_bytes(VecEnv(3, 2, 2))


def test_reset_all_ends_the_after_goal_countdown():
    env = VecEnv.from_zsm(goal_field("blue"), 1, 1, 0)
    env.physics_step(KICK)
    env.reset_all()
    # Back at kickoff, the same kick scores again at once: no countdown is
    # left over to swallow the goal.
    fresh = VecEnv.from_zsm(goal_field("blue"), 1, 1, 0)
    assert env.physics_step(KICK)[0] == fresh.physics_step(KICK)[0] == FLAG_BLUE
    assert state_bytes(env) == state_bytes(fresh)


@pytest.mark.parametrize(
    "mask",
    [
        [False, False, False, False],
        [True, False, False, False],
        [False, True, False, True],
        [True, True, True, True],
    ],
)
def test_reset_mask_resets_exactly_the_selected_envs(mask):
    env = played(VecEnv(4, 1, 2), steps=20)
    before = env.snapshot()
    fresh = VecEnv(4, 1, 2).snapshot()
    assert env.reset_mask(np.array(mask)) is None
    for after, old, new in zip(env.snapshot(), before, fresh):
        for i, selected in enumerate(mask):
            assert after[i].tobytes() == (new[i] if selected else old[i]).tobytes()


def test_reset_mask_reads_a_strided_mask():
    env = played(VecEnv(3, 1, 1), steps=5)
    mask = np.array([True, False, False, False, False, True])[::-2]  # [True, False, False]
    env.reset_mask(mask)
    np.testing.assert_array_equal(steps_of(env), [0, 40, 40])


@pytest.mark.parametrize("length", [3, 5, 0])
def test_reset_mask_of_the_wrong_length_is_refused(length):
    env = played(VecEnv(4, 1, 1))
    before = state_bytes(env)
    with pytest.raises(ValueError) as error:
        env.reset_mask(np.ones(length, bool))
    assert str(error.value) == f"reset_mask: mask length {length} != n_envs 4"
    assert state_bytes(env) == before


@pytest.mark.parametrize(
    "mask, type_name",
    [
        (np.ones(4, np.int64), "ndarray"),
        (np.ones(4, np.uint8), "ndarray"),
        (np.ones((4, 1), bool), "ndarray"),
        ([True, True, True, True], "list"),
    ],
)
def test_reset_mask_of_the_wrong_kind_is_a_type_error(mask, type_name):
    env = played(VecEnv(4, 1, 1))
    before = state_bytes(env)
    with pytest.raises(TypeError) as error:
        env.reset_mask(mask)
    assert str(error.value) == f"argument 'mask': '{type_name}' object cannot be converted to 'PyArray<T, D>'"
    assert state_bytes(env) == before


# ---- rollout_bench -------------------------------------------------------


@pytest.mark.parametrize("n_envs, n_steps", [(4, 0), (4, 100), (1, 7), (3, 1)])
def test_rollout_bench_counts_env_ticks_and_advances_each_env(n_envs, n_steps):
    env = VecEnv(n_envs, 2, 1)
    result = env.rollout_bench(n_steps)
    assert type(result) is int and result == n_envs * n_steps
    np.testing.assert_array_equal(steps_of(env), n_steps)


def test_rollout_bench_of_zero_steps_changes_nothing():
    env = played(VecEnv(2, 1, 1))
    before = state_bytes(env)
    assert env.rollout_bench(n_steps=0) == 0
    assert state_bytes(env) == before


def test_rollout_bench_plays_kicks_held_with_slot_zero_pressing_every_other_tick():
    # The same run, one tick per call: everyone holds (1, 1, 1); slot 0
    # presses kick on ticks 1, 3, 5, ... and releases it in between.
    bench = VecEnv(3, 2, 2, tick_skip=1)
    stepped = VecEnv(3, 2, 2, tick_skip=1)
    played(bench, steps=4)
    played(stepped, steps=4)
    n_steps = 300  # long enough for kicks, wall bounces and goals
    assert bench.rollout_bench(n_steps) == 3 * n_steps
    actions = np.ones((3, 4, 3), np.int64)
    for t in range(n_steps):
        actions[:, 0, 2] = 1 - t % 2
        stepped.physics_step(actions)
    assert state_bytes(bench) == state_bytes(stepped)


@pytest.mark.parametrize(
    "n_steps, error, message",
    [
        (-1, OverflowError, None),
        (2**64, OverflowError, None),
        (1.0, TypeError, "argument 'n_steps': 'float' object cannot be interpreted as an integer"),
        ("3", TypeError, None),
    ],
)
def test_rollout_bench_refuses_what_is_not_a_count(n_steps, error, message):
    env = VecEnv(2, 1, 1)
    with pytest.raises(error) as raised:
        env.rollout_bench(n_steps)
    if message is not None:
        assert str(raised.value) == message
    np.testing.assert_array_equal(steps_of(env), 0)


def test_rollout_bench_takes_numpy_integers():
    env = VecEnv(2, 1, 1)
    assert env.rollout_bench(np.uint16(5)) == 10


# ---- several Python threads ----------------------------------------------


def stepping_job(env, seed, steps=40):
    def job():
        rng = np.random.default_rng(seed)
        scored = [env.physics_step(random_actions(rng, env)) for _ in range(steps)]
        return np.concatenate(scored).tobytes(), state_bytes(env)

    return job


def test_two_threads_stepping_two_batches_get_what_each_would_alone():
    together = run_in_threads(stepping_job(VecEnv(6, 2, 2), 1), stepping_job(VecEnv(5, 3, 1), 2))
    alone = [stepping_job(VecEnv(6, 2, 2), 1)(), stepping_job(VecEnv(5, 3, 1), 2)()]
    assert together == alone


def test_a_batch_steps_on_the_pool_while_another_runs_its_benchmark():
    def bench_job(env):
        return lambda: (env.rollout_bench(3000), state_bytes(env))

    together = run_in_threads(bench_job(VecEnv(8, 1, 1)), stepping_job(VecEnv(6, 2, 2), 4, steps=60))
    alone = [bench_job(VecEnv(8, 1, 1))(), stepping_job(VecEnv(6, 2, 2), 4, steps=60)()]
    assert together == alone


def calls_on_a_benchmarking_batch(env, n_envs, n_players):
    """What each member does while the batch is borrowed by the benchmark."""
    outcomes = {}
    calls = {
        "snapshot": env.snapshot,
        "kick_state": env.kick_state,
        "n_envs": lambda: env.n_envs,
        "physics_step": lambda: env.physics_step(np.zeros((n_envs, n_players, 3), np.int64)),
        "reset_all": env.reset_all,
        "reset_mask": lambda: env.reset_mask(np.ones(n_envs, bool)),
        "rollout_bench": lambda: env.rollout_bench(1),
    }
    for name, call in calls.items():
        try:
            call()
            outcomes[name] = "ran"
        except RuntimeError as error:
            outcomes[name] = str(error)
    return outcomes


def test_members_called_during_the_benchmark_fail_with_the_borrow_error():
    # The benchmark must still be running once the calls have been made, so
    # its length grows until a run outlasts them.
    n_steps = 5_000
    for _ in range(6):
        env = VecEnv(16, 3, 3)
        result = []
        thread = threading.Thread(target=lambda: result.append(env.rollout_bench(n_steps)))
        thread.start()
        while thread.is_alive():
            try:
                env.n_envs
            except RuntimeError:
                break
        outcomes = calls_on_a_benchmarking_batch(env, 16, 6)
        still_running = thread.is_alive()
        thread.join()
        if still_running:
            break
        n_steps *= 4
    else:
        pytest.fail("the benchmark never outlasted the calls")

    assert outcomes == {
        "snapshot": "Already mutably borrowed",
        "kick_state": "Already mutably borrowed",
        "n_envs": "Already mutably borrowed",
        "physics_step": "Already borrowed",
        "reset_all": "Already borrowed",
        "reset_mask": "Already borrowed",
        "rollout_bench": "Already borrowed",
    }
    # None of them touched the batch, and it is free again afterwards.
    assert result == [16 * n_steps]
    np.testing.assert_array_equal(steps_of(env), n_steps)
    assert calls_on_a_benchmarking_batch(env, 16, 6) == dict.fromkeys(
        ["snapshot", "kick_state", "n_envs", "physics_step", "reset_all", "reset_mask", "rollout_bench"], "ran"
    )
