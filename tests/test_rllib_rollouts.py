"""The whole-array env runners against RLlib's own, step by step, on the same env, seeds and weights."""

import gymnasium as gym
import numpy as np
import pytest

pytest.importorskip("ray.rllib")
torch = pytest.importorskip("torch")

from ray.rllib.callbacks.callbacks import RLlibCallback  # noqa: E402
from ray.rllib.env.multi_agent_env_runner import MultiAgentEnvRunner  # noqa: E402
from ray.rllib.env.single_agent_env_runner import SingleAgentEnvRunner  # noqa: E402

from test_rllib import shoot_at_blues_goal  # noqa: E402
from zorbic.distributed.rllib import SoccerMultiAgentEnvRunner, self_play_config, single_agent_config  # noqa: E402
from zorbic.distributed.rllib_rollouts import SoccerEnvRunner  # noqa: E402
from zorbic.parts.actions import ActionParser  # noqa: E402
from zorbic.training.train import shaped_reward  # noqa: E402

SINGLE = dict(opponent="chaser", max_steps=9, reward_fn=shaped_reward(1))
SELF_PLAY = dict(n_red=2, n_blue=1, max_steps=9, reward_fn=shaped_reward(2))


class RLlibsLoop(SoccerMultiAgentEnvRunner):
    """The same env and batch, stepped by RLlib's own multi-agent loop."""

    _sample = MultiAgentEnvRunner._sample


def runner_pair(reference_cls, fast_cls, config):
    reference, fast = reference_cls(config=config), fast_cls(config=config)
    fast.module.set_state(reference.module.get_state())
    return reference, fast


def comparable(state):
    """An episode's state with the parts that cannot agree (ids, clocks) set aside."""
    if isinstance(state, dict):
        return {
            key: comparable(value)
            for key, value in state.items()
            if key not in ("id_", "multi_agent_episode_id", "_start_time", "_last_step_time")
        }
    if isinstance(state, (list, tuple)):
        return [comparable(item) for item in state]
    if hasattr(state, "get_state") and not isinstance(state, type):
        return comparable(state.get_state())
    if isinstance(state, np.ndarray):
        return ("array", state.dtype.str, state.shape, state.tobytes())
    return state


def assert_same_samples(reference, fast, calls, steps, between=lambda runner: None, explore=True):
    ids = {}
    for call in range(calls):
        samples = []
        for runner in (reference, fast):
            between(runner) if call else None
            torch.manual_seed(call)
            samples.append(runner.sample(num_timesteps=steps, explore=explore))
        theirs, ours = samples
        assert len(ours) == len(theirs)
        for mine, other in zip(ours, theirs):
            # A chunk that continues an episode keeps the id RLlib's runner kept for it.
            assert ids.setdefault(other.id_, mine.id_) == mine.id_
            assert comparable(mine.get_state()) == comparable(other.get_state())
    return ids


def episode_metrics(runner):
    metrics = runner.get_metrics()
    keys = ("episode_return_mean", "episode_len_mean", "num_env_steps_sampled_lifetime", "num_episodes_lifetime")
    return {key: metrics[key].peek() for key in keys}


# Each face: its recipe, RLlib's loop over the same env, the fast runner, and the batch inside.
FACES = {
    "single": (
        lambda n: single_agent_config(n, **SINGLE),
        SingleAgentEnvRunner,
        SoccerEnvRunner,
        lambda runner: runner.env.unwrapped.batch,
    ),
    "self-play": (
        lambda n: self_play_config(n, **SELF_PLAY),
        RLlibsLoop,
        SoccerMultiAgentEnvRunner,
        lambda runner: runner.env._vector.batch,
    ),
}


@pytest.mark.parametrize("face", FACES)
@pytest.mark.parametrize("explore", [True, False])
@pytest.mark.parametrize("n_matches, steps", [(1, 5), (3, 30)])
def test_the_fast_runners_sample_as_rllibs_own_loops(face, explore, n_matches, steps):
    recipe, loop_cls, fast_cls, batch_of = FACES[face]
    reference, fast = runner_pair(loop_cls, fast_cls, recipe(n_matches).debugging(seed=3))
    assert fast._records_arrays()

    def goal_now_and_then(runner):
        shoot_at_blues_goal(batch_of(runner))

    ids = assert_same_samples(reference, fast, calls=5, steps=steps, between=goal_now_and_then, explore=explore)
    assert len(ids) > n_matches, "episodes must have ended and new ones begun"
    assert episode_metrics(fast) == episode_metrics(reference)


class CountsSteps(RLlibCallback):
    steps = 0

    def on_episode_step(self, **kwargs):
        CountsSteps.steps += 1


def test_a_runner_with_episode_callbacks_keeps_rllibs_loop():
    config = single_agent_config(2, **SINGLE).callbacks(CountsSteps)
    runner = SoccerEnvRunner(config=config)
    runner.sample(num_timesteps=10)
    assert not runner._records_arrays() and CountsSteps.steps >= 10


class SteersByAngle(ActionParser):
    """A user's part with continuous actions, which RLlib's loop clips into the box before the env sees them."""

    space = gym.spaces.Box(-1.0, 1.0, (2,), np.float32)

    def check(self, actions, batch):
        actions = np.asarray(actions, np.float64).reshape(batch, 2)
        assert np.all(np.abs(actions) <= 1.0), "RLlib clips actions into the box"
        return actions

    def to_engine(self, actions, mirror):
        return np.concatenate([np.rint(actions).astype(np.int64), np.zeros((len(actions), 1), np.int64)], 1)


@pytest.mark.parametrize("recipe", [single_agent_config, self_play_config])
def test_continuous_actions_keep_rllibs_loop_which_clips_them(recipe):
    config = recipe(2, **{**SELF_PLAY, "action_parser": SteersByAngle()})
    runner = (SoccerEnvRunner if recipe is single_agent_config else SoccerMultiAgentEnvRunner)(config=config)
    assert not runner._records_arrays()
    assert sum(len(episode) for episode in runner.sample(num_timesteps=20)) >= 20


def fail_on_step(runner, method, at):
    """Makes the runner's current env raise on its `at`-th call of `method`; a new env steps normally."""
    env, calls = runner.env, []
    step = getattr(env, method)

    def failing(*args):
        calls.append(None)
        if len(calls) == at:
            raise ValueError("the env broke")
        return step(*args)

    setattr(env, method, failing)


@pytest.mark.parametrize(
    "make, method",
    [
        (lambda: (single_agent_config(3, **SINGLE), SoccerEnvRunner), "step"),
        (lambda: (self_play_config(2, **SELF_PLAY), SoccerMultiAgentEnvRunner), "step_rows"),
    ],
    ids=["single", "self-play"],
)
@pytest.mark.parametrize("recreate", [True, False])
def test_an_env_that_fails_mid_sample_is_recreated_or_the_failure_raised(make, method, recreate):
    config, runner_cls = make()
    runner = runner_cls(config=config.fault_tolerance(restart_failed_sub_environments=recreate))
    runner.sample(num_timesteps=6)
    broken = runner.env
    fail_on_step(runner, method, at=4)
    if not recreate:
        with pytest.raises(RuntimeError):
            runner.sample(num_timesteps=30)
        return
    episodes = runner.sample(num_timesteps=30)
    assert runner.env is not broken
    # As RLlib's loop: what ran before the failure is dropped unless it finished, then the count starts again.
    assert sum(len(episode) for episode in episodes) >= 30
    for episode in episodes:
        episode.validate()
    assert sum(len(episode) for episode in runner.sample(num_timesteps=10)) >= 10
