"""RLlib: the batched multi-agent env against RLlib's own per-match path, and the recipes on a local cluster."""

import pathlib
import re

import numpy as np
import pytest

pytest.importorskip("ray.rllib")
pytest.importorskip("torch")

import ray  # noqa: E402
from ray.rllib.env.vector.sync_vector_multi_agent_env import SyncVectorMultiAgentEnv  # noqa: E402
from ray.rllib.env.wrappers.pettingzoo_env import ParallelPettingZooEnv  # noqa: E402

from ray_helpers import local_cluster  # noqa: E402
from zorbic.distributed.rllib import SoccerVectorMultiAgentEnv, self_play_config, single_agent_config  # noqa: E402
from zorbic.faces.pettingzoo import parallel_env  # noqa: E402
from zorbic.training.train import shaped_reward  # noqa: E402

SETUP = dict(n_red=2, n_blue=1, max_steps=7, reward_fn=shaped_reward(2))


def plain(n_matches, **setup):
    return SyncVectorMultiAgentEnv([lambda: ParallelPettingZooEnv(parallel_env(**setup))] * n_matches)


def assert_same(ours, theirs):
    assert len(ours) == len(theirs)
    for mine, other in zip(ours, theirs):
        assert mine.keys() == other.keys()
        for agent in mine:
            np.testing.assert_array_equal(mine[agent], other[agent], strict=False)


def shoot_at_blues_goal(batch):
    """Sends every match's ball into the goal red attacks, so that the next step ends in a goal."""
    ball_pos, _, player_pos, player_vel, ticks = batch.env.snapshot()
    mouth = batch.field.attack[0]
    inward = np.sign(mouth[0])
    ball_pos[:] = mouth - [30 * inward, 0]
    ball_vel = np.tile([12 * inward, 0.0], (batch.n_matches, 1))
    batch.env.set_state(ball_pos, ball_vel, player_pos, player_vel, ticks)


@pytest.mark.parametrize("n_matches", [1, 3])
def test_the_batch_plays_as_rllibs_vector_of_single_matches(n_matches):
    # Kick-offs draw nothing at random here, so match m of a batch plays as a match of its own.
    batch, reference = SoccerVectorMultiAgentEnv(n_matches, **SETUP), plain(n_matches, **SETUP)
    assert batch.single_observation_spaces == reference.single_observation_spaces
    assert batch.single_action_spaces == reference.single_action_spaces
    assert_same(batch.reset(seed=4)[0], reference.reset(seed=4)[0])
    rng = np.random.default_rng(0)
    restarting, restarts, goals = [False] * n_matches, 0, 0
    for step in range(20):
        if step == 2:
            shoot_at_blues_goal(batch._vector.batch)
            for match in reference.envs:
                shoot_at_blues_goal(match.unwrapped.par_env.batch)
        actions = [{} if ended else {agent: int(rng.integers(18)) for agent in batch.agents} for ended in restarting]
        ours, theirs = batch.step(actions), reference.step(actions)
        for mine, other in zip(ours[:4], theirs[:4]):
            assert_same(mine, list(other))
        restarting = [ended["__all__"] or cut["__all__"] for ended, cut in zip(ours[2], ours[3])]
        restarts += sum(restarting)
        goals += sum(ended["__all__"] for ended in ours[2])
    assert goals == n_matches and restarts > goals, "every match must have ended in a goal and once in time"


@pytest.mark.parametrize(
    "actions, message",
    [
        ([{"red_0": 1, "red_1": 2, "blue_0": 3}], "one dict per match"),
        ([{"red_0": 1, "red_1": 2}] * 2, "naming all of its agents"),
        ([{}, {"red_0": 1, "red_1": 2, "blue_0": 3}], "only for a match that restarts"),
        ([None] * 2, "must be a dict"),
    ],
)
def test_bad_actions_are_refused_before_anything_moves(actions, message):
    env, untouched = SoccerVectorMultiAgentEnv(2, **SETUP), SoccerVectorMultiAgentEnv(2, **SETUP)
    env.reset(seed=1)
    untouched.reset(seed=1)
    with pytest.raises(ValueError, match=message):
        env.step(actions)
    kicks = [dict.fromkeys(env.agents, 5)] * 2
    assert_same(env.step(kicks)[0], untouched.step(kicks)[0])


def test_a_match_of_the_batch_does_not_step_alone():
    env = SoccerVectorMultiAgentEnv(2, **SETUP)
    with pytest.raises(RuntimeError, match="stepped by its batch"):
        env.envs[0].step({})


@pytest.fixture(scope="module")
def cluster():
    with local_cluster(__name__):
        yield


def short(config, batch=2048):
    config.env_runners(num_env_runners=1).debugging(seed=0)
    return config.training(train_batch_size_per_learner=batch, minibatch_size=batch // 4, num_epochs=2).build_algo()


@pytest.mark.external
@pytest.mark.timeout(600)
def test_ppo_on_the_fast_single_agent_path_learns_against_the_idle_opponent(cluster):
    setup = dict(opponent="idle", reward_fn=shaped_reward(1), tick_skip=8, max_steps=40)
    algo = short(single_agent_config(64, **setup).training(lr=1e-3), batch=4096)
    try:
        returns = [algo.train()["env_runners"]["episode_return_mean"] for _ in range(12)]
    finally:
        algo.stop()
    assert np.mean(returns[-3:]) > np.mean(returns[:3]) + 0.05, returns


@pytest.mark.external
@pytest.mark.timeout(600)
@pytest.mark.parametrize(
    "make",
    [
        lambda setup: self_play_config(8, **setup),
        lambda setup: self_play_config(1, fast=False, **setup),
        lambda setup: single_agent_config(8, fast=False, **setup, opponent="random"),
    ],
    ids=["self-play fast", "self-play plain", "single-agent plain"],
)
def test_the_recipes_train_on_a_local_cluster(cluster, make):
    algo = short(make(dict(n_red=2, n_blue=2, max_steps=20, reward_fn=shaped_reward(2))), batch=512)
    try:
        result = algo.train()
    finally:
        algo.stop()
    assert result["env_runners"]["num_env_steps_sampled"] >= 512
    assert result["env_runners"]["num_episodes"] > 0


ROOT = pathlib.Path(__file__).resolve().parent.parent
RECIPES = [
    (doc.name, block)
    for doc in (ROOT / "README.md", ROOT / "docs" / "guides" / "rllib.md")
    for block in re.findall(r"^```python\n(.*?)^```", doc.read_text(encoding="utf-8"), re.S | re.M)
    if "zorbic.distributed.rllib" in block
]


@pytest.mark.external
@pytest.mark.timeout(600)
@pytest.mark.parametrize("where, block", RECIPES, ids=[where for where, _ in RECIPES])
def test_the_documented_recipes_run(cluster, monkeypatch, capsys, where, block):
    # The examples start Ray themselves; here they join the test's cluster.
    monkeypatch.setattr(ray, "init", lambda *args, **kwargs: None)
    namespace = {"__name__": "documented_recipe"}
    exec(compile(block, where, "exec"), namespace)
    for algo in [value for value in namespace.values() if hasattr(value, "train") and hasattr(value, "stop")]:
        algo.stop()
    assert capsys.readouterr().out.count("\n") >= 10
