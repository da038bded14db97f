"""The faces pass their libraries' own checkers and register as documented."""

import subprocess
import sys
import warnings

import gymnasium
import numpy as np
import pytest
from gymnasium.utils.env_checker import check_env
from pettingzoo.test import parallel_api_test, parallel_seed_test

import zorbic
import zorbic.pettingzoo


@pytest.mark.parametrize(
    "setup",
    [
        {},
        dict(
            n_red=2,
            n_blue=2,
            learners="blue_1",
            opponent="random",
            action_parser="multi_discrete",
            obs_builder=zorbic.EgocentricObservation(goal_mouths=True, wall_rays=4, ball_prediction=[5]),
        ),
    ],
    ids=["defaults", "options"],
)
def test_the_single_agent_env_passes_gymnasiums_checker_without_a_warning(setup):
    env = gymnasium.make(zorbic.ENV_ID, **setup)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        check_env(env.unwrapped)
    assert env.unwrapped.metadata["render_fps"] == 60 / 8


def test_the_env_id_works_without_importing_the_package_first():
    script = (
        "import gymnasium, sys\n"
        "assert 'zorbic' not in sys.modules\n"
        "env = gymnasium.make('zorbic:zorbic/Soccer-v0')\n"
        "obs, _ = env.reset(seed=0)\n"
        "print(type(env.unwrapped).__name__, obs.shape)\n"
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["SoccerEnv", "(12,)"]


def test_the_defaults_are_one_against_one_with_a_chaser():
    env = gymnasium.make(zorbic.ENV_ID).unwrapped
    setup = env.batch.setup
    assert (setup.n_red, setup.n_blue, setup.tick_skip, setup.max_steps) == (1, 1, 8, 300)
    assert isinstance(setup.opponent, zorbic.ChaserOpponent) and env.batch.agents == ["red_0"]


def test_the_single_agent_env_plays_an_episode_to_its_end():
    env = gymnasium.make(zorbic.ENV_ID, max_steps=7, opponent="random")
    env.reset(seed=2)
    env.action_space.seed(2)
    for _step in range(1, 8):
        _, reward, terminated, truncated, _ = env.step(env.action_space.sample())
        assert isinstance(reward, float) and not terminated
    assert truncated


@pytest.mark.parametrize("setup", [dict(self_play=True), dict(learners="red", n_red=2)])
def test_the_single_agent_env_refuses_several_learners(setup):
    with pytest.raises(ValueError, match="exactly one learner"):
        gymnasium.make(zorbic.ENV_ID, **setup)


@pytest.mark.parametrize("setup", [dict(n_red=2, n_blue=3), dict(n_red=2, n_blue=2, learners="red")])
def test_the_pettingzoo_face_passes_the_api_and_seed_tests(setup):
    env = zorbic.pettingzoo.parallel_env(**setup)
    parallel_api_test(env, num_cycles=400)
    parallel_seed_test(lambda: zorbic.pettingzoo.parallel_env(opponent="random", **setup))
    expected = zorbic.agent_names(setup["n_red"], setup["n_blue"])
    assert env.possible_agents == (expected if "learners" not in setup else expected[:2])


def test_the_pettingzoo_face_checks_the_action_dict():
    env = zorbic.pettingzoo.parallel_env()
    env.reset(seed=0)
    with pytest.raises(ValueError, match=r"missing \['blue_0'\]"):
        env.step({"red_0": 0})
    with pytest.raises(ValueError, match=r"unknown \['green_0'\]"):
        env.step({"red_0": 0, "blue_0": 0, "green_0": 0})
    env.step({"red_0": 0, "blue_0": 0})


def test_the_pettingzoo_match_ends_for_everybody_at_a_goal():
    from match_helpers import shoot

    env = zorbic.pettingzoo.parallel_env(n_red=2, n_blue=1)
    env.reset(seed=0)
    shoot(env.batch.env, [0])
    _, rewards, terminations, _, _ = env.step(dict.fromkeys(env.agents, 0))
    assert rewards == {"red_0": 1.0, "red_1": 1.0, "blue_0": -1.0}
    assert all(terminations.values()) and env.agents == []
    with pytest.raises(RuntimeError, match="reset"):
        env.step({})


@pytest.mark.parametrize("make", ["single", "vector", "pettingzoo"])
def test_every_face_renders_match_zero(make):
    if make == "single":
        env = gymnasium.make(zorbic.ENV_ID, render_mode="rgb_array")
        env.reset(seed=0)
        env.step(0)
    elif make == "vector":
        env = gymnasium.make_vec(
            zorbic.ENV_ID, num_envs=2, vectorization_mode="vector_entry_point", render_mode="rgb_array"
        )
        env.reset(seed=0)
        env.step(np.zeros(2, np.int64))
    else:
        env = zorbic.pettingzoo.parallel_env(render_mode="rgb_array")
        env.reset(seed=0)
        env.step({"red_0": 0, "blue_0": 0})
    frame = env.render()
    assert frame.shape == (320, 640, 3) and frame.dtype == np.uint8 and frame.std() > 0
    batch = env.unwrapped.batch
    assert len(batch.observers) == 1
    env.close()
    assert batch.observers == []
    with pytest.raises(ValueError, match="render_mode"):
        zorbic.pettingzoo.parallel_env(render_mode="human")


def test_the_single_agent_env_with_frames_passes_the_checker_and_records_video(tmp_path):
    env = gymnasium.make(zorbic.ENV_ID, render_mode="rgb_array", max_steps=20)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        check_env(env.unwrapped)
    recorded = gymnasium.wrappers.RecordVideo(
        env, str(tmp_path / "videos"), episode_trigger=lambda episode: True, disable_logger=True
    )
    recorded.reset(seed=0)
    for _ in range(20):
        recorded.step(recorded.action_space.sample())
    recorded.close()
    videos = list((tmp_path / "videos").glob("*.mp4"))
    assert len(videos) == 1 and videos[0].stat().st_size > 1000


@pytest.mark.parametrize("index, setup", [(0, {}), (2, dict(n_red=2, n_blue=2, self_play=True, opponent="random"))])
def test_a_match_recorded_from_the_vector_face_verifies(tmp_path, index, setup):
    learners = 4 if setup else 1
    env = gymnasium.make_vec(
        zorbic.ENV_ID, num_envs=3 * learners, vectorization_mode="vector_entry_point", max_steps=25, **setup
    )
    observer = zorbic.record(env, index)
    env.reset(seed=1)
    env.action_space.seed(1)
    for _ in range(80):
        env.step(env.action_space.sample())
    path = observer.recorder.save(tmp_path / "match.zrp")
    replay = zorbic.load_replay(path)
    assert replay.n_steps == 80
    assert zorbic.verify(replay).ok
