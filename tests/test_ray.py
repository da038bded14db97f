"""The Ray collector: batches equal to local runs, asynchronous delivery, recovery from dead actors."""

import functools
import importlib.util
import pathlib
import threading
import time

import numpy as np
import pytest

ray = pytest.importorskip("ray")

import zorbic  # noqa: E402
from ray_helpers import local_cluster  # noqa: E402
from zorbic.ray import (  # noqa: E402
    MLPPolicy,
    Rollout,
    RolloutCollector,
    RolloutConfig,
    RolloutRunner,
)

# Ray starts in seconds, an actor in one or two; a hang must fail, not block.
pytestmark = [pytest.mark.timeout(120), pytest.mark.external]
WAIT = 60.0

SHORT = RolloutConfig(num_envs=8, setup=dict(max_steps=6, opponent="random"), seed=5)


@pytest.fixture(scope="module")
def cluster():
    with local_cluster(__name__):
        yield


@pytest.fixture
def collectors(cluster):
    """Makes collectors and kills their actors afterwards: the cluster has two CPUs to share."""
    made = []

    def make(*args, **kwargs):
        made.append(RolloutCollector(*args, **kwargs))
        return made[-1]

    yield make
    for collector in made:
        collector.close()


def mlp(seed=0):
    return MLPPolicy.initial(obs_dim=12, n_actions=18, hidden=(8,), seed=seed)


def random_multi_discrete(obs, rng):
    return rng.integers(0, [3, 3, 2], size=(len(obs), 3))


def self_play_setup():
    # Built in each actor: the observation builder and the potential cannot be pickled.
    return dict(
        n_red=2,
        n_blue=2,
        self_play=True,
        action_parser="multi_discrete",
        max_steps=5,
        obs_builder=zorbic.EgocentricObservation(goal_mouths=True),
        reward_fn=zorbic.DistancePotential("player_to_ball"),
    )


def segment_episodes(rewards, done, carried_returns, carried_lengths):
    """Per-row episode ends by a plain walk over the steps: (t, row, return, length) in (step, row) order."""
    ended = []
    returns, lengths = carried_returns.copy(), carried_lengths.copy()
    for t in range(len(rewards)):
        for row in range(rewards.shape[1]):
            returns[row] += rewards[t, row]
            lengths[row] += 1
            if done[t, row]:
                ended.append((t, row, returns[row], lengths[row]))
                returns[row], lengths[row] = 0.0, 0
    return ended, returns, lengths


# ------------------------------------------------------------ without Ray


def test_episode_statistics_follow_the_step_flags_across_batches():
    runner = RolloutRunner(SHORT)
    returns, lengths = np.zeros(8), np.zeros(8, np.int64)
    for version in range(3):
        batch = runner.collect(7, mlp(version), version)
        r = batch.rollout
        assert r.obs.shape == (7, 8, 12) and r.actions.shape == (7, 8) and r.next_obs.shape == (8, 12)
        assert (batch.round, batch.policy_version, batch.env_steps) == (version, version, 56)
        ended, returns, lengths = segment_episodes(r.rewards, r.terminated | r.truncated, returns, lengths)
        assert [(int(t), int(row)) for t, row, _, _ in ended] == list(
            zip(r.episode_step.tolist(), r.episode_row.tolist())
        )
        np.testing.assert_allclose(r.episode_return, [ret for *_, ret, _ in ended], rtol=0, atol=1e-12)
        assert r.episode_length.tolist() == [length for *_, length in ended]
        # 7 steps with episodes of at most 6: every row ends one in every batch.
        assert set(r.episode_row.tolist()) == set(range(8)) and r.episode_length.max() <= 6
    # After an end, the next observation already starts the next episode.
    inside = r.episode_step < 6
    assert not np.array_equal(r.obs[r.episode_step[inside] + 1, r.episode_row[inside]], r.final_obs[inside])


def test_join_renumbers_rows_and_keeps_episodes_in_step_then_row_order():
    parts = [RolloutRunner(SHORT, actor=k).collect(9, mlp(), 0).rollout for k in range(2)]
    joined = Rollout.join(parts)
    assert joined.obs.shape == (9, 16, 12) and joined.next_obs.shape == (16, 12)
    np.testing.assert_array_equal(joined.rewards[:, 8:], parts[1].rewards)
    keys = list(zip(joined.episode_step.tolist(), joined.episode_row.tolist()))
    assert keys == sorted(keys) and len(keys) == sum(len(p.episode_row) for p in parts)
    second = joined.episode_row >= 8
    np.testing.assert_array_equal(
        joined.final_obs[second], parts[1].final_obs[np.lexsort((parts[1].episode_row, parts[1].episode_step))]
    )
    with pytest.raises(ValueError, match="same number of steps"):
        Rollout.join([parts[0], RolloutRunner(SHORT).collect(3, mlp(), 0).rollout])


def test_a_batch_that_fails_part_way_retires_its_runner_and_one_refused_at_once_does_not():
    runner = RolloutRunner(SHORT)
    with pytest.raises(ValueError, match="must have shape"):
        runner.collect(3, lambda obs, rng: np.zeros(len(obs) + 1, np.int64))
    assert runner.collect(3, mlp(), 0).round == 0
    calls = []

    def fails_on_the_third_call(obs, rng):
        calls.append(1)
        if len(calls) == 3:
            raise ArithmeticError("policy fault")
        return np.zeros(len(obs), np.int64)

    with pytest.raises(ArithmeticError):
        runner.collect(5, fails_on_the_third_call, 1)
    with pytest.raises(RuntimeError, match="failed after 2 steps .*policy fault"):
        runner.collect(5, mlp(), 2)


def test_the_mlp_samples_its_probabilities_and_is_seeded():
    policy = MLPPolicy.initial(obs_dim=3, n_actions=4, hidden=(), seed=1)
    policy = MLPPolicy({"w0": policy.params["w0"] * 300, "b0": [0.0, 1.0, -1.0, 0.5]})
    obs = np.full((40000, 3), 0.01, np.float32)
    drawn = policy(obs, np.random.default_rng(7))
    frequencies = np.bincount(drawn, minlength=4) / len(drawn)
    np.testing.assert_allclose(frequencies, policy.probabilities(obs[:1])[0], atol=0.01)
    np.testing.assert_array_equal(drawn, policy(obs, np.random.default_rng(7)))


@pytest.mark.parametrize(
    "params, error",
    [
        ({"w0": np.zeros((3, 2))}, "w0, b0"),
        ({"w0": np.zeros((3, 2)), "b0": np.zeros(3)}, "b0 \\(out,\\)"),
        ({"w0": np.zeros((3, 2)), "b0": np.zeros(2), "w1": np.zeros((4, 2)), "b1": np.zeros(2)}, "takes 4 inputs"),
        ({"w0": np.full((3, 2), np.nan), "b0": np.zeros(2)}, "not finite"),
    ],
    ids=["missing bias", "bias shape", "chain", "nan"],
)
def test_the_mlp_refuses_inconsistent_parameters(params, error):
    with pytest.raises(ValueError, match=error):
        MLPPolicy(params)


def test_the_mlp_copies_and_freezes_its_parameters():
    weights = {"w0": np.ones((12, 18)), "b0": np.zeros(18)}
    policy = MLPPolicy(weights)
    weights["w0"][:] = 5.0
    assert policy.params["w0"][0, 0] == 1.0 and not policy.params["w0"].flags.writeable


@pytest.mark.parametrize(
    "kwargs, error, match",
    [
        (dict(num_envs=0), ValueError, "num_envs"),
        (dict(num_envs=3, setup=dict(self_play=True)), ValueError, "multiple of the 2 learners"),
        (dict(setup=dict(n_red="1")), TypeError, "n_red"),
        (dict(setup=lambda: 3), TypeError, "must return a mapping"),
        (dict(seed=-1), ValueError, "seed"),
    ],
)
def test_the_config_is_checked_in_the_driver(kwargs, error, match):
    with pytest.raises(error, match=match):
        RolloutConfig(**kwargs)


def locked_reward(lock, state, field, slots):
    with lock:
        return np.zeros((state.n_matches, len(slots)))


@pytest.mark.parametrize(
    "config, kwargs, error, match",
    [
        # A reward term that holds a lock cannot travel to an actor.
        (
            RolloutConfig(num_envs=4, setup=dict(reward_fn=functools.partial(locked_reward, threading.Lock()))),
            {},
            TypeError,
            "a function that builds the keywords",
        ),
        (SHORT, dict(actor_options={"num_cpus": 2}), ValueError, "use cpus_per_actor"),
        (
            SHORT,
            dict(actor_options={"runtime_env": {"env_vars": {"RAYON_NUM_THREADS": "4"}}}),
            ValueError,
            "use threads",
        ),
        (SHORT, dict(threads=0), ValueError, "threads"),
        (SHORT, dict(cpus_per_actor=0), ValueError, "cpus_per_actor"),
    ],
    ids=["unpicklable set-up", "num_cpus", "pool size", "no threads", "no cpus"],
)
def test_the_collector_refuses_what_it_cannot_honour_before_starting_actors(config, kwargs, error, match):
    with pytest.raises(error, match=match):
        RolloutCollector(1, config, **kwargs)


# --------------------------------------------------------------- on Ray


@pytest.mark.parametrize(
    "config, policies",
    [
        (RolloutConfig(num_envs=6, setup=dict(max_steps=9, opponent="random"), seed=11), [mlp(0), mlp(1)]),
        (RolloutConfig(num_envs=8, setup=self_play_setup, seed=3), [random_multi_discrete, random_multi_discrete]),
    ],
    ids=["mlp", "callable, self-play, set-up function"],
)
def test_each_actors_batches_equal_a_local_runners(collectors, config, policies):
    collector = collectors(2, config)
    delivered = []
    for policy in policies:
        version = collector.set_policy(policy)
        collection = collector.collect(12, timeout=WAIT)
        assert [(b.actor, b.incarnation, b.policy_version) for b in collection.batches] == [
            (0, 0, version),
            (1, 0, version),
        ]
        assert collection.restarts == []
        delivered.append(collection.batches)
    for k in range(2):
        local = RolloutRunner(config, actor=k)
        for version, (policy, batches) in enumerate(zip(policies, delivered)):
            assert batches[k].rollout.equals(local.collect(12, policy, version).rollout)
    # Two actors are two different streams of matches.
    assert not delivered[0][0].rollout.equals(delivered[0][1].rollout)
    assert not delivered[0][0].rollout.obs.flags.writeable  # as documented: straight from the object store
    assert [ray.get(collector.actor(k).describe.remote(), timeout=WAIT)["threads"] for k in range(2)] == ["1", "1"]


def slow(obs, rng):
    """Stands still, slowly: long enough for the test to act while a request runs."""
    time.sleep(0.3)
    return np.zeros(len(obs), np.int64)


def test_batches_arrive_as_they_are_done_carry_new_weights_and_survive_a_timeout(collectors):
    collector = collectors(2, SHORT)
    with pytest.raises(RuntimeError, match="set a policy first"):
        collector.submit(4)
    with pytest.raises(RuntimeError, match="submit"):
        collector.next()
    collector.set_policy(mlp(0))
    assert collector.submit(4) == [0, 1] and collector.submit(4) == []
    with pytest.raises(RuntimeError, match="every actor idle"):
        collector.collect(4)
    first = collector.next(WAIT)
    collector.set_policy(mlp(1))
    assert collector.submit(4) == [first.actor]
    later = [collector.next(WAIT) for _ in range(2)]
    got = sorted((b.actor, b.round, b.policy_version) for b in [first, *later])
    assert got == sorted([(0, 0, 0), (1, 0, 0), (first.actor, 1, 1)])
    local = RolloutRunner(SHORT, actor=first.actor)
    local.collect(4, mlp(0), 0)
    again = next(b for b in later if b.round == 1)
    assert again.rollout.equals(local.collect(4, mlp(1), 1).rollout)

    # A round that times out keeps what it has not delivered yet.
    collector.set_policy(slow)
    with pytest.raises(TimeoutError, match="still busy"):
        collector.collect(2, timeout=0.05)
    rounds = sorted((b.actor, b.round) for b in (collector.next(WAIT), collector.next(WAIT)))
    assert rounds == sorted([(first.actor, 2), (1 - first.actor, 1)]) and collector.idle == [0, 1]


def test_a_killed_actor_is_restarted_and_its_part_collected_again(collectors):
    seen = []
    collector = collectors(2, SHORT, on_restart=seen.append)
    policy = mlp(0)
    collector.set_policy(policy)
    collector.collect(5, timeout=WAIT)

    # Killed while idle: the next synchronous round finds it dead.
    ray.kill(collector.actor(0))
    collection = collector.collect(5, timeout=WAIT)
    assert [(r.actor, r.incarnation, r.round) for r in collection.restarts] == [(0, 1, 1)]
    assert "ActorDiedError" in collection.restarts[0].error
    assert [(b.actor, b.incarnation, b.round) for b in collection.batches] == [(0, 1, 0), (1, 0, 1)]

    # Killed in the middle of a request: the batch is asked for again.
    collector.set_policy(slow)
    collector.submit(3)
    ray.kill(collector.actor(1))
    batches = sorted([collector.next(WAIT), collector.next(WAIT)], key=lambda b: b.actor)
    assert [(b.actor, b.incarnation, b.round, b.policy_version) for b in batches] == [(0, 1, 1, 1), (1, 1, 0, 1)]
    assert seen == collector.restarts and [(r.actor, r.round) for r in seen] == [(0, 1), (1, 2)]
    with pytest.raises(RuntimeError, match="submit"):
        collector.next(0)

    # Exactly what a fresh runner of the new incarnation collects: nothing of the dead one's.
    restarted = RolloutRunner(SHORT, actor=0, incarnation=1)
    assert collection.batches[0].rollout.equals(restarted.collect(5, policy, 0).rollout)
    assert batches[0].rollout.equals(restarted.collect(3, slow, 1).rollout)
    assert batches[1].rollout.equals(RolloutRunner(SHORT, actor=1, incarnation=1).collect(3, slow, 1).rollout)
    survivor = RolloutRunner(SHORT, actor=1)
    survivor.collect(5, policy, 0)
    assert collection.batches[1].rollout.equals(survivor.collect(5, policy, 0).rollout)


def test_an_actor_that_keeps_dying_is_given_up(collectors):
    collector = collectors(1, SHORT, cpus_per_actor=2, max_restarts=0)
    assert ray.get(collector.actor(0).describe.remote(), timeout=WAIT)["threads"] == "2"
    collector.set_policy(mlp())
    ray.kill(collector.actor(0))
    with pytest.raises(RuntimeError, match="actor 0 died 1 times"):
        collector.collect(3, timeout=WAIT)


def test_the_example_loop_updates_the_weights_it_broadcasts(collectors):
    path = pathlib.Path(__file__).resolve().parent.parent / "examples" / "ray_train.py"
    module_spec = importlib.util.spec_from_file_location("ray_train_example", path)
    example = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(example)
    collector = collectors(2, RolloutConfig(num_envs=16, setup=example.SETUP, seed=0))
    start = mlp()
    trained, history = example.train(collector, start, iterations=3, steps=8)
    assert [row["iteration"] for row in history] == [0, 1, 2]
    assert not np.array_equal(trained.params["w1"], start.params["w1"])
    # The actors now hold version 3; a request with it shows the broadcast got there.
    batch = collector.collect(2, timeout=WAIT).batches[0]
    assert batch.policy_version == 3
