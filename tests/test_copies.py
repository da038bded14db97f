"""Copies and pickles of every face, taken mid-episode, play on exactly like the original."""

from __future__ import annotations

import copy
import pickle

import gymnasium
import numpy as np
import pytest

import zorbic  # noqa: F401  (registers the gymnasium ids)
from zorbic.faces.gym_vector import SoccerVectorEnv
from zorbic.parts.rewards import DistancePotential

COPIES = {"deepcopy": copy.deepcopy, "pickle": lambda env: pickle.loads(pickle.dumps(env))}


def _engine_bytes(env) -> list[bytes]:
    batch = env.unwrapped.batch if hasattr(env, "unwrapped") else env.batch
    return [a.tobytes() for a in batch.env.snapshot()] + [a.tobytes() for a in batch.env.kick_state()]


def _equal(a, b) -> bool:
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(_equal(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(_equal(x, y) for x, y in zip(a, b))
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and a.tobytes() == b.tobytes()
    return a == b


def _single():
    env = gymnasium.make("zorbic/Soccer-v0", opponent="random", max_steps=30, reward_fn=DistancePotential())
    env.reset(seed=3)
    return env, lambda rng: rng.integers(0, env.action_space.n), lambda env, a: env.step(a)


def _vector():
    env = SoccerVectorEnv(6, opponent="random", max_steps=30, reward_fn=DistancePotential())
    env.reset(seed=3)
    return env, lambda rng: rng.integers(0, env.single_action_space.n, 6), lambda env, a: env.step(a)


def _parallel():
    from zorbic.pettingzoo import parallel_env

    env = parallel_env(n_red=2, n_blue=2, max_steps=1000)
    env.reset(seed=3)
    n = env.action_space("red_0").n

    def act(rng):
        return {agent: int(rng.integers(0, n)) for agent in env.possible_agents}

    return env, act, lambda env, a: env.step({k: v for k, v in a.items() if k in env.agents})


def _sb3():
    sb3 = pytest.importorskip("stable_baselines3")
    del sb3
    from zorbic.sb3 import make_vec_env

    env = make_vec_env(4, opponent="random", max_steps=30)
    env.seed(3)
    env.reset()
    n = env.action_space.n

    def step(env, actions):
        env.step_async(actions)
        return env.step_wait()

    return env, lambda rng: rng.integers(0, n, 4), step


@pytest.mark.parametrize("how", COPIES)
@pytest.mark.parametrize("face", [_single, _vector, _parallel, _sb3])
def test_a_copy_plays_on_like_the_original(face, how):
    env, act, step = face()
    rng = np.random.default_rng(0)
    for _ in range(45):  # past the first episode ends, so restarts are in the history
        step(env, act(rng))
    before = _engine_bytes(env)
    twin = COPIES[how](env)
    assert _engine_bytes(env) == before, "copying changed the original"
    assert _engine_bytes(twin) == before
    for _ in range(50):
        action = act(rng)
        assert _equal(step(env, action), step(twin, action))
        assert _engine_bytes(twin) == _engine_bytes(env)


def test_generators_are_copied_with_their_state():
    env = SoccerVectorEnv(2, opponent="random")
    env.reset(seed=1)
    twin = copy.deepcopy(env)
    ours, theirs = env.batch.opponent.rng, twin.batch.opponent.rng
    assert ours is not theirs
    assert ours.integers(0, 1 << 60) == theirs.integers(0, 1 << 60)


def test_a_batch_changed_directly_refuses_to_be_copied_until_it_restarts():
    env = SoccerVectorEnv(2, opponent="idle")
    env.reset(seed=1)
    engine = env.batch.env
    ball_pos, ball_vel, player_pos, player_vel, steps = engine.snapshot()
    engine.set_state(ball_pos + 10.0, ball_vel, player_pos, player_vel, steps)
    env.batch.refresh()
    with pytest.raises(RuntimeError, match="changed directly"):
        copy.deepcopy(env)
    env.reset()
    assert _engine_bytes(copy.deepcopy(env)) == _engine_bytes(env)


def test_a_change_the_batch_did_not_see_is_caught_not_copied():
    env = SoccerVectorEnv(2, opponent="idle")
    env.reset(seed=1)
    ball_pos, ball_vel, player_pos, player_vel, steps = env.batch.env.snapshot()
    env.batch.env.set_state(ball_pos - 7.0, ball_vel, player_pos, player_vel, steps)
    with pytest.raises(RuntimeError, match="did not arrive"):
        pickle.loads(pickle.dumps(env))


def test_pushable_obstacles_refuse_a_copy():
    import json

    from zorbic.engine.stadium import stadium_text

    record = json.loads(stadium_text(None))
    record.setdefault("discs", []).append({"pos": [0, 120], "radius": 10, "invMass": 1.0})
    env = SoccerVectorEnv(1, stadium=json.dumps(record))
    env.reset(seed=0)
    with pytest.raises(RuntimeError, match="pushed"):
        copy.deepcopy(env)
