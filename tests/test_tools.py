"""The faces under neighbouring tools: gymnasium's process vector env and SuperSuit's vectorisers."""

from __future__ import annotations

import functools

import gymnasium
import numpy as np
import pytest
from gymnasium.vector import AsyncVectorEnv

import zorbic  # noqa: F401  (registers the gymnasium ids)


@pytest.mark.parametrize("context", ["fork", "spawn"])
def test_async_vector_env_steps_and_resets_in_worker_processes(context):
    # "zorbic:" makes a spawned worker import the package that registers the id.
    make = functools.partial(gymnasium.make, "zorbic:zorbic/Soccer-v0", opponent="random", max_steps=5)
    envs = AsyncVectorEnv([make, make], context=context)
    try:
        first, _ = envs.reset(seed=[1, 1])
        assert first.shape == (2, *envs.single_observation_space.shape)
        assert np.array_equal(first[0], first[1])
        ended = np.zeros(2, np.bool_)
        for _ in range(6):
            obs, rewards, terminated, truncated, _ = envs.step(np.array([0, 0]))
            assert obs.shape == first.shape and rewards.dtype == np.float64
            ended |= terminated | truncated
        assert ended.all(), "every episode of five steps must end within six"
    finally:
        envs.close()


@pytest.mark.parametrize("num_cpus", [0, 2])
@pytest.mark.parametrize("base_class", ["gymnasium", "stable_baselines3"])
def test_supersuit_vectorises_the_parallel_face(num_cpus, base_class):
    supersuit = pytest.importorskip("supersuit")
    if base_class == "stable_baselines3":
        pytest.importorskip("stable_baselines3")
    from zorbic.pettingzoo import parallel_env

    agents = supersuit.pettingzoo_env_to_vec_env_v1(parallel_env(n_red=1, n_blue=1, max_steps=4))
    envs = supersuit.concat_vec_envs_v1(agents, 3, num_cpus=num_cpus, base_class=base_class)
    try:
        n = 2 * 3
        if base_class == "gymnasium":
            obs, _ = envs.reset(seed=0)
        else:
            # SuperSuit's wrapper forwards seed() to a vector env that has none: reset only.
            obs = envs.reset()
        assert obs.shape[0] == n
        dones = np.zeros(n, np.bool_)
        for _ in range(5):
            if base_class == "gymnasium":
                obs, rewards, terminated, truncated, _ = envs.step(np.zeros(n, np.int64))
                dones |= (np.asarray(terminated) != 0) | (np.asarray(truncated) != 0)
            else:
                obs, rewards, done, _ = envs.step(np.zeros(n, np.int64))
                dones |= np.asarray(done) != 0
            assert obs.shape[0] == n and len(rewards) == n
        assert dones.all(), "every match of four steps must end within five"
    finally:
        envs.close()
