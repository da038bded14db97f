"""The stable-baselines3 face, and evaluating and loading trained models."""

import numpy as np
import pytest
from gymnasium.vector import AutoresetMode

sb3 = pytest.importorskip(
    "stable_baselines3",
    reason="stable-baselines3 and torch (the [sb3] extra) are not installed; scripts/train installs them",
)

import torch  # noqa: E402
from stable_baselines3 import A2C, PPO  # noqa: E402
from stable_baselines3.common.vec_env import VecFrameStack, VecMonitor, VecNormalize  # noqa: E402

from zorbic.commands.evaluate import run as run_evaluate  # noqa: E402
from zorbic.core.match_setup import MatchSetup  # noqa: E402
from zorbic.faces.gym_vector import SoccerVectorEnv  # noqa: E402
from zorbic.parts.opponents import IdleOpponent, RandomOpponent  # noqa: E402
from zorbic.sb3 import make_vec_env  # noqa: E402
from zorbic.training.evaluate import play_matches  # noqa: E402
from zorbic.training.model_files import load_model, saved_setup  # noqa: E402

# Tiny networks: a second torch thread only spins against the engine's pool.
torch.set_num_threads(1)

TINY_PPO = {"n_steps": 16, "batch_size": 64, "n_epochs": 1, "device": "cpu", "policy_kwargs": {"net_arch": [8]}}


def _actions(rng, n):
    return rng.integers(0, 18, n)


def test_steps_match_the_gymnasium_face_with_same_step_autoreset():
    """Both faces run one batch; SB3's autoreset is gymnasium's SAME_STEP."""
    setup = {"opponent": "random", "max_steps": 7}
    ours, theirs = make_vec_env(6, **setup), SoccerVectorEnv(6, autoreset_mode=AutoresetMode.SAME_STEP, **setup)
    ours.seed(11)
    obs = ours.reset()
    expected, _ = theirs.reset(seed=11)
    np.testing.assert_array_equal(obs, expected)
    rng = np.random.default_rng(0)
    ended = 0
    for _ in range(30):
        actions = _actions(rng, 6)
        obs, rewards, dones, infos = ours.step(actions)
        expected, their_rewards, terminated, truncated, their_infos = theirs.step(actions)
        np.testing.assert_array_equal(obs, expected)
        np.testing.assert_array_equal(rewards, their_rewards.astype(np.float32))
        np.testing.assert_array_equal(dones, terminated | truncated)
        for row in range(6):
            assert ("terminal_observation" in infos[row]) == bool(dones[row])
            if dones[row]:
                np.testing.assert_array_equal(infos[row]["terminal_observation"], their_infos["final_obs"][row])
                assert infos[row]["TimeLimit.truncated"] == bool(truncated[row] and not terminated[row])
        ended += int(dones.sum())
    assert ended >= 6 * 4  # every env went through at least four episodes of at most 7 steps


def test_a_goal_terminates_and_a_full_episode_truncates():
    # A learner standing still as blue: the chaser kicks off and scores.
    env = make_vec_env(2, learners="blue_0", opponent="chaser", max_steps=200)
    first = env.reset()
    still = np.zeros(2, np.int64)
    for _ in range(200):
        obs, rewards, dones, infos = env.step(still)
        if dones.any():
            break
    assert dones.all() and rewards.tolist() == [-1.0, -1.0]
    assert [info["TimeLimit.truncated"] for info in infos] == [False, False]
    np.testing.assert_array_equal(obs, first)  # the next episode starts at the kickoff

    env = make_vec_env(2, opponent="idle", max_steps=3)
    env.reset()
    for _ in range(3):
        obs, rewards, dones, infos = env.step(still)
    assert dones.all() and [info["TimeLimit.truncated"] for info in infos] == [True, True]


def test_terminal_observation_is_the_last_one_and_is_kept():
    env = make_vec_env(3, opponent="idle", max_steps=2)
    env.reset()
    run = np.full(3, 3)  # run straight ahead and kick
    before, *_ = env.step(run)
    kept = before.copy()
    obs, _, dones, infos = env.step(run)
    assert dones.all()
    last = np.stack([info["terminal_observation"] for info in infos])
    assert not np.array_equal(last, obs)  # the last state of the episode, not the kickoff
    assert np.all(last[:, 0] > kept[:, 0])  # the players ran on towards +x
    env.step(run)
    np.testing.assert_array_equal(np.stack([info["terminal_observation"] for info in infos]), last)


def test_seed_applies_at_the_next_reset():
    def trajectory(seed):
        env = make_vec_env(4, opponent="random")
        env.seed(seed)
        env.reset()
        return np.stack([env.step(np.zeros(4, np.int64))[0] for _ in range(5)])

    assert np.array_equal(trajectory(3), trajectory(3))
    assert not np.array_equal(trajectory(3), trajectory(4))


def test_attributes_and_methods_are_those_of_the_one_batch():
    env = make_vec_env(4, opponent="idle")
    assert env.get_attr("render_mode") == [None] * 4
    assert env.get_attr("num_envs", indices=[1, 2]) == [4, 4]
    assert env.env_is_wrapped(VecMonitor, indices=[0, 3]) == [False, False]
    env.set_attr("opponent", "random")
    assert isinstance(env.batch.opponent, RandomOpponent)
    assert env.env_method("set_opponent", IdleOpponent(), seed=1) == [None] * 4
    assert isinstance(env.batch.opponent, IdleOpponent)
    with pytest.raises(ValueError, match="share one batch"):
        env.set_attr("opponent", "chaser", indices=[0])
    with pytest.raises(ValueError, match="share one batch"):
        env.env_method("set_opponent", "chaser", indices=[1, 2])
    with pytest.raises(IndexError, match="indices"):
        env.get_attr("render_mode", indices=[4])
    with pytest.raises(AttributeError):
        env.get_attr("no_such_attribute")


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda env: env.step_wait(), RuntimeError),
        (lambda env: env.step(np.zeros(3, np.int64)), ValueError),
        (lambda env: env.step(np.full(4, 18)), ValueError),
        (lambda env: (env.set_options({"x": 1}), env.reset()), ValueError),
    ],
)
def test_bad_calls_are_refused_before_anything_moves(call, error):
    env = make_vec_env(4, opponent="idle")
    env.reset()
    before = env.batch.env.snapshot()
    with pytest.raises(error):
        call(env)
    for a, b in zip(before, env.batch.env.snapshot()):
        np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize(
    "num_envs, setup, message",
    [(0, {}, "num_envs"), (3, {"self_play": True}, "num_envs"), (2, {"max_steps": 0}, "max_steps")],
)
def test_bad_construction_is_refused(num_envs, setup, message):
    with pytest.raises(ValueError, match=message):
        make_vec_env(num_envs, **setup)
    with pytest.raises(ValueError, match="render_mode"):
        make_vec_env(2, render_mode="human")


@pytest.mark.parametrize("algorithm", [PPO, A2C])
def test_algorithms_learn_under_the_usual_wrappers(algorithm):
    env = VecFrameStack(VecNormalize(VecMonitor(make_vec_env(4, opponent="random", max_steps=20))), 2)
    settings = TINY_PPO if algorithm is PPO else {"n_steps": 8, "device": "cpu", "policy_kwargs": {"net_arch": [8]}}
    model = algorithm("MlpPolicy", env, seed=0, **settings)
    model.learn(400)
    assert model.num_timesteps >= 400
    assert len(model.ep_info_buffer) >= 4 and all(info["l"] == 20 for info in model.ep_info_buffer)
    assert env.observation_space.shape == (2 * 12,)


def test_render_tiles_one_picture_per_env():
    env = make_vec_env(2, render_mode="rgb_array")
    env.reset()
    env.step(np.zeros(2, np.int64))
    images = env.get_images()
    assert len(images) == 2 and images[0].dtype == np.uint8 and images[0].ndim == 3
    picture = env.render()
    assert picture.shape[2] == 3 and picture.shape[1] >= images[0].shape[1]
    assert make_vec_env(2).get_images() == [None, None]


# ------------------------------------------------------------ trained models


@pytest.fixture(scope="module")
def saved(tmp_path_factory):
    setup = MatchSetup(max_steps=60)
    model = PPO("MlpPolicy", make_vec_env(4, opponent="idle", max_steps=60), seed=0, **TINY_PPO)
    model.learn(64)
    model.zorbic_setup = saved_setup(setup)
    path = tmp_path_factory.mktemp("models") / "model.zip"
    model.save(path, include=["zorbic_setup"])
    return model, path


def test_loaded_policy_acts_like_the_model(saved):
    model, path = saved
    policy, setup = load_model(path)
    assert setup["max_steps"] == 60
    obs = make_vec_env(8, **setup).reset()
    np.testing.assert_array_equal(policy.predict(obs, deterministic=True)[0], model.predict(obs, deterministic=True)[0])
    drawn = play_matches(model, "random", 12, seed=4, **setup)
    assert play_matches(policy, "random", 12, seed=4, **setup) == drawn


def test_drawn_actions_follow_the_seed_and_differ_from_the_most_likely(saved):
    model, _ = saved
    keywords = {"max_steps": 60}
    first = play_matches(model, "random", 16, seed=2, **keywords)
    assert play_matches(model, "random", 16, seed=2, **keywords) == first
    where = {}
    for deterministic in (False, True):
        batches = []
        play_matches(model, "idle", 16, deterministic=deterministic, watch=batches.append, **keywords)
        where[deterministic] = batches[0].state.player_pos[:, 0]
    # Every most-likely match against idle is the same match; drawn ones are not.
    assert np.all(where[True] == where[True][0])
    assert not np.all(where[False] == where[False][0])


@pytest.mark.parametrize("content", [b"", b"PK\x03\x04 not a zip", b"x" * 100])
def test_damaged_model_files_are_refused(tmp_path, content):
    path = tmp_path / "model.zip"
    path.write_bytes(content)
    with pytest.raises(ValueError, match="not a readable"):
        load_model(path)
    with pytest.raises(FileNotFoundError):
        load_model(tmp_path / "missing.zip")


def test_evaluate_command_prints_the_counts(saved, capsys):
    import argparse

    _, path = saved
    # The user's own model, so trusted; without the flag it is refused (see test_agent_security).
    args = argparse.Namespace(
        model=path,
        against=str(path),
        matches=6,
        seed=1,
        side="red",
        deterministic=False,
        trust_pickle=True,
        at_least=None,
    )
    assert run_evaluate(args) == 0
    line = capsys.readouterr().out
    assert line.startswith("against model.zip: 6 matches,") and "Wilson" in line


def test_a_short_training_writes_every_result(tmp_path, capsys):
    pytest.importorskip("matplotlib", reason="the learning curve needs matplotlib (the [train] extra)")
    from zorbic.training.train import train

    summary = train(minutes=0.01, out=tmp_path, envs=32, seed=0, eval_seconds=1000.0, eval_matches=3)
    names = sorted(path.name for path in tmp_path.iterdir())
    assert names == ["evaluations.json", "learning-curve.png", "match.gif", "match.zrp", "model.agent", "model.zip"]
    assert summary["samples"] >= 32 * 128 and len(summary["evaluations"]) == 2
    policy, setup = load_model(tmp_path / "model.zip")
    assert setup["obs_builder"].goal_mouths and policy.observation_space.shape == (16,)
    from zorbic.agents import load_agent

    agent = load_agent(tmp_path / "model.agent")
    obs = np.random.default_rng(0).normal(size=(256, 16)).astype(np.float32)
    assert agent.setup["observation"]["goal_mouths"]
    np.testing.assert_array_equal(agent.predict(obs)[0], policy.predict(obs, deterministic=True)[0])
    assert (tmp_path / "learning-curve.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "samples/s" in capsys.readouterr().out
