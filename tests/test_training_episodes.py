"""Episodes of the vector face: what each autoreset mode returns on which step,
how matches restart, and that a batch changes nothing about a single match."""

import json
import os
import subprocess
import sys

import gymnasium
import numpy as np
import pytest
from gymnasium.vector import AutoresetMode

import zorbic
from match_helpers import shoot
from zorbic_core import FLAG_BLUE, FLAG_RED

STAY = 0  # discrete action 0: no direction, no kick
KICKING = 1  # discrete action 1: no direction, kick


def make(num_envs=3, mode=AutoresetMode.NEXT_STEP, **setup):
    setup.setdefault("opponent", "idle")
    return gymnasium.make_vec(
        zorbic.ENV_ID, num_envs=num_envs, vectorization_mode="vector_entry_point", autoreset_mode=mode, **setup
    )


def stay(env):
    return np.full(env.num_envs, STAY)


def test_the_vector_face_is_one_batch_with_declared_spaces_and_mode():
    env = make(num_envs=6, n_red=2, n_blue=1, self_play=True)
    assert isinstance(env, zorbic.SoccerVectorEnv)
    assert env.batch.n_matches == 2 and env.batch.env.n_envs == 2
    assert env.metadata["autoreset_mode"] is AutoresetMode.NEXT_STEP
    assert env.observation_space.shape == (6,) + env.single_observation_space.shape
    assert env.single_action_space == gymnasium.spaces.Discrete(18)
    obs, info = env.reset(seed=0)
    assert obs.shape == (6, 16) and obs.dtype == np.float32 and info == {}


@pytest.mark.parametrize(
    "num_envs, error, words",
    [
        (0, ValueError, "multiple of the 3 learners"),
        (5, ValueError, "multiple of the 3 learners"),
        (2.0, TypeError, "num_envs must be an int, not float"),
        (True, TypeError, "num_envs must be an int, not bool"),
    ],
)
def test_num_envs_must_be_a_multiple_of_the_learners_per_match(num_envs, error, words):
    with pytest.raises(error, match=words):
        make(num_envs=num_envs, n_red=2, n_blue=1, self_play=True)


def test_next_step_reports_a_goal_then_returns_the_first_observation_of_the_next_episode():
    env = make()
    first, _ = env.reset(seed=0)
    env.step(stay(env))
    shoot(env.batch.env, [1])
    obs, rewards, terminated, truncated, infos = env.step(stay(env))
    assert terminated.tolist() == [False, True, False] and not truncated.any()
    assert rewards.tolist() == [0.0, 1.0, 0.0]  # blue conceded, red learner scored
    ball_x = (obs[1, 0] + obs[1, 4]) * env.batch.field.extent[0]  # own x plus the ball's offset
    assert ball_x > 370  # in the net
    assert infos == {}

    # The next step ignores row 1's action and hands out its kickoff.
    actions = stay(env)
    actions[1] = KICKING
    obs, rewards, terminated, truncated, _ = env.step(actions)
    np.testing.assert_array_equal(obs[1], first[1])
    assert rewards[1] == 0.0 and not terminated[1] and not truncated[1]
    assert env.batch.state.episode_steps.tolist() == [3, 0, 3]


def test_next_step_truncates_every_match_at_max_steps_then_restarts_them():
    env = make(max_steps=4)
    first, _ = env.reset(seed=0)
    for step in range(1, 5):
        obs, rewards, terminated, truncated, _ = env.step(stay(env))
        assert truncated.all() == (step == 4) and not terminated.any()
    obs, rewards, terminated, truncated, _ = env.step(stay(env))
    np.testing.assert_array_equal(obs, first)
    assert not truncated.any() and not rewards.any()


def test_same_step_returns_the_next_episode_at_once_and_the_last_observation_in_info():
    env = make(mode=AutoresetMode.SAME_STEP)
    first, _ = env.reset(seed=0)
    env.step(stay(env))
    shoot(env.batch.env, [2])
    obs, rewards, terminated, truncated, infos = env.step(stay(env))
    assert terminated.tolist() == [False, False, True] and rewards[2] == 1.0
    np.testing.assert_array_equal(obs[2], first[2])
    assert infos["_final_obs"].tolist() == [False, False, True]
    assert infos["final_obs"][0] is None and infos["final_obs"][1] is None
    final = infos["final_obs"][2]
    assert final.shape == first[2].shape and not np.array_equal(final, first[2])
    assert infos["_final_info"].tolist() == [False, False, True] and infos["final_info"] == {}
    # The match plays its new episode on the next step as usual.
    obs, rewards, terminated, truncated, infos = env.step(stay(env))
    assert not terminated.any() and infos == {}
    assert env.batch.state.episode_steps.tolist() == [3, 3, 1]


def test_same_step_restarts_truncated_matches_in_the_same_step():
    env = make(mode=AutoresetMode.SAME_STEP, max_steps=2)
    first, _ = env.reset(seed=0)
    env.step(stay(env))
    obs, _, _, truncated, infos = env.step(stay(env))
    assert truncated.all() and infos["_final_obs"].all()
    np.testing.assert_array_equal(obs, first)


def test_disabled_mode_waits_for_a_masked_reset():
    env = make(mode=AutoresetMode.DISABLED)
    first, _ = env.reset(seed=0)
    env.step(stay(env))
    shoot(env.batch.env, [0])
    obs, rewards, terminated, _, _ = env.step(stay(env))
    assert terminated.tolist() == [True, False, False]
    with pytest.raises(RuntimeError, match="reset_mask"):
        env.step(stay(env))
    before = env.batch.env.snapshot()
    again, _ = env.reset(options={"reset_mask": np.array([True, False, False])})
    np.testing.assert_array_equal(again[0], first[0])
    np.testing.assert_array_equal(again[1:], obs[1:])
    after = env.batch.env.snapshot()
    for old, new in zip(before, after):
        np.testing.assert_array_equal(old[1:], new[1:])
    env.step(stay(env))


@pytest.mark.parametrize(
    "mask, error",
    [
        (np.array([True, False]), "bool array of shape"),
        (np.array([1, 0, 0, 0]), "bool array of shape"),
        (np.array([True, False, False, False]), "same for every learner of a match"),
    ],
)
def test_a_reset_mask_must_cover_whole_matches(mask, error):
    env = make(num_envs=4, self_play=True)
    env.reset(seed=0)
    with pytest.raises(ValueError, match=error):
        env.reset(options={"reset_mask": mask})


def test_a_running_match_is_bit_identical_to_the_same_match_stepped_alone():
    # Matches 0 and 1 score again and again (their red learner chases the ball
    # against an idle keeper) and restart at their own times, match 2 wanders
    # at random; a batch of one replays match 2's actions.
    batch = make(num_envs=3, action_parser="raw", max_steps=1000)
    alone = make(num_envs=1, action_parser="raw", max_steps=1000)
    batch.reset(seed=0)
    alone.reset(seed=0)
    chaser = zorbic.ChaserOpponent()
    rng = np.random.default_rng(7)
    goals = 0
    for _ in range(400):
        actions = chaser.act(batch.batch.state, batch.batch.field, batch.batch.slots)[:, 0]
        actions[2] = [*rng.integers(-1, 2, 2), rng.integers(0, 3)]
        _, _, terminated, _, _ = batch.step(actions)
        alone.step(actions[2:])
        goals += int(terminated[:2].sum())
        for ours, single in zip(batch.batch.env.snapshot(), alone.batch.env.snapshot()):
            assert ours[2].tobytes() == single[0].tobytes()
    assert goals >= 4  # the other matches really restarted meanwhile


def test_gymnasium_vector_wrappers_work_on_the_face():
    env = gymnasium.wrappers.vector.RecordEpisodeStatistics(make(max_steps=3))
    env = gymnasium.wrappers.vector.NormalizeObservation(env)
    env.reset(seed=1)
    for _ in range(3):
        obs, _, _, truncated, infos = env.step(np.zeros(3, np.int64))
    assert truncated.all() and infos["_episode"].all()
    assert infos["episode"]["l"].tolist() == [3, 3, 3]
    assert np.isfinite(obs).all()


# A whole run, reduced to one digest: the child runs it with a given pool size.
RUN = """
import hashlib, json, sys
import gymnasium, numpy as np
import zorbic
env = gymnasium.make_vec(zorbic.ENV_ID, num_envs=8, vectorization_mode="vector_entry_point",
                         n_red=2, n_blue=2, learners="red", opponent=sys.argv[1], max_steps=40)
digest = hashlib.sha256()
obs, _ = env.reset(seed=int(sys.argv[2]))
env.action_space.seed(int(sys.argv[2]))
digest.update(obs.tobytes())
for _ in range(150):
    for array in env.step(env.action_space.sample())[:4]:
        digest.update(np.ascontiguousarray(array).tobytes())
print(json.dumps(digest.hexdigest()))
"""


def run_digest(opponent, seed, threads):
    environ = {**os.environ, "RAYON_NUM_THREADS": str(threads)}
    done = subprocess.run(
        [sys.executable, "-c", RUN, opponent, str(seed)], env=environ, capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


@pytest.mark.parametrize("opponent", ["random", "chaser"])
def test_the_same_seed_gives_the_same_run_with_any_pool_size(opponent):
    digests = {run_digest(opponent, 3, threads) for threads in (1, 2, 3)}
    assert len(digests) == 1
    assert run_digest(opponent, 4, 1) not in digests


def test_reseeding_replays_the_random_opponent():
    env = make(n_red=1, n_blue=2, opponent="random")

    def trajectory(seed):
        out = [env.reset(seed=seed)[0]]
        out += [env.step(stay(env))[0] for _ in range(30)]
        return np.array(out)

    first, again, other = trajectory(5), trajectory(5), trajectory(6)
    np.testing.assert_array_equal(first, again)
    assert not np.array_equal(first, other)


def test_a_blue_learner_scores_by_shooting_at_reds_goal():
    env = make(num_envs=2, learners="blue")
    env.reset(seed=0)
    env.step(stay(env))
    shoot(env.batch.env, [0, 1], at=FLAG_RED)
    _, rewards, terminated, _, _ = env.step(stay(env))
    assert terminated.all() and rewards.tolist() == [1.0, 1.0]
    assert env.batch.state.scored.tolist() == [FLAG_RED, FLAG_RED]
    assert FLAG_BLUE not in env.batch.state.scored
