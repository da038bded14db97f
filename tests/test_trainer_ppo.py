"""The trainer's PPO: NumPy acting held to torch's forward pass, and budgets by samples."""

import numpy as np
import pytest

pytest.importorskip("stable_baselines3", reason="stable-baselines3 and torch (the [sb3] extra) are not installed")

import torch  # noqa: E402
from stable_baselines3 import PPO  # noqa: E402

from zorbic.sb3 import make_vec_env  # noqa: E402
from zorbic.training.ppo import NumpyActing, TrainerPPO  # noqa: E402
from zorbic.training.train import Budget  # noqa: E402

torch.set_num_threads(1)
TINY = {"n_steps": 16, "batch_size": 64, "n_epochs": 1, "device": "cpu"}


def _model(net_arch, activation=torch.nn.Tanh, seed=0):
    env = make_vec_env(8, opponent="random")
    kwargs = {"net_arch": net_arch, "activation_fn": activation}
    return TrainerPPO("MlpPolicy", env, seed=seed, update_threads=1, policy_kwargs=kwargs, **TINY)


@pytest.mark.parametrize(
    "net_arch, activation",
    [([64, 64], torch.nn.Tanh), ({"pi": [32], "vf": [16, 16]}, torch.nn.ReLU), ([], torch.nn.Tanh)],
)
def test_numpy_acting_gives_torch_values_log_probabilities_and_most_likely_actions(net_arch, activation):
    model = _model(net_arch, activation)
    policy = model.policy
    obs = torch.as_tensor(np.random.default_rng(3).normal(size=(256, 12)).astype(np.float32))
    acting = NumpyActing(policy, np.random.default_rng(0))
    with torch.no_grad():
        want_actions, want_values, _ = policy.forward(obs, deterministic=True)
        actions, values, log_probs = acting(obs, deterministic=True)
        want_log_probs = policy.get_distribution(obs).log_prob(actions)
    np.testing.assert_array_equal(actions.numpy(), want_actions.numpy())
    np.testing.assert_allclose(values.numpy(), want_values.numpy(), rtol=1e-5, atol=1e-6)
    np.testing.assert_allclose(log_probs.numpy(), want_log_probs.numpy(), rtol=1e-5, atol=1e-6)


def test_numpy_draws_follow_the_policy_distribution_and_repeat_by_seed():
    model = _model([16])
    policy = model.policy
    # One observation repeated: the draws' frequencies estimate its probabilities.
    obs = torch.as_tensor(np.tile(np.linspace(-1, 1, 12, dtype=np.float32), (40_000, 1)))
    first = NumpyActing(policy, np.random.default_rng(5))(obs)[0].numpy()
    again = NumpyActing(policy, np.random.default_rng(5))(obs)[0].numpy()
    np.testing.assert_array_equal(first, again)
    with torch.no_grad():
        probabilities = policy.get_distribution(obs[:1]).distribution.probs[0].numpy()
    counts = np.bincount(first, minlength=len(probabilities)) / len(first)
    # Five standard errors of a frequency of 40000 draws.
    np.testing.assert_allclose(counts, probabilities, atol=5 * np.sqrt(0.25 / len(first)))


def test_a_policy_numpy_cannot_mirror_acts_through_torch():
    model = _model([8], activation=torch.nn.LeakyReLU)
    assert not NumpyActing.mirrors(model.policy)
    with pytest.raises(ValueError, match="tanh or ReLU"):
        NumpyActing(model.policy, np.random.default_rng(0))
    model.learn(128)
    assert model.num_timesteps == 128


def test_training_restores_the_policy_and_saves_a_plain_ppo_file(tmp_path):
    model = _model([8])
    assert NumpyActing.mirrors(model.policy)
    model.learn(256)
    assert "forward" not in vars(model.policy) and torch.get_num_threads() == 1
    model.save(tmp_path / "model.zip")
    loaded = PPO.load(tmp_path / "model.zip", device="cpu")
    obs = np.random.default_rng(0).normal(size=(32, 12)).astype(np.float32)
    np.testing.assert_array_equal(loaded.predict(obs, deterministic=True)[0], model.predict(obs, deterministic=True)[0])


def test_the_same_seed_trains_the_same_weights():
    def weights(seed):
        model = _model([8], seed=seed)
        model.learn(512)
        return torch.cat([p.detach().flatten() for p in model.policy.parameters()]).numpy()

    np.testing.assert_array_equal(weights(4), weights(4))
    assert not np.array_equal(weights(4), weights(5))


@pytest.mark.parametrize(
    "budget, since, due",
    [
        (Budget(seconds=60.0, eval_seconds=10.0), (9.9, 10**9), False),
        (Budget(seconds=60.0, eval_seconds=10.0), (10.0, 0), True),
        (Budget(samples=1000, eval_samples=200), (10**6, 199), False),
        (Budget(samples=1000, eval_samples=200), (0.0, 200), True),
    ],
)
def test_evaluations_fall_due_by_the_budget_cadence(budget, since, due):
    assert budget.due(*since) is due


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({}, "either seconds or samples"),
        ({"seconds": 1.0, "samples": 5}, "either seconds or samples"),
        ({"samples": 0}, "must be positive"),
        ({"seconds": float("nan")}, "must be positive"),
        ({"samples": 5, "eval_samples": 0}, "must be positive"),
    ],
)
def test_a_budget_is_positive_seconds_or_samples(kwargs, message):
    with pytest.raises(ValueError, match=message):
        Budget(**kwargs)


def test_a_sample_budget_stops_after_whole_rollouts_and_evaluates_by_samples(tmp_path):
    pytest.importorskip("matplotlib", reason="the learning curve needs matplotlib (the [train] extra)")
    from zorbic.training.train import train

    summary = train(tmp_path, samples=3 * 32 * 128, envs=32, eval_samples=2 * 32 * 128, eval_matches=2)
    assert summary["samples"] == 3 * 32 * 128
    # After the first rollout, then every two; the last one is not repeated at the end.
    assert [point["samples"] for point in summary["evaluations"]] == [32 * 128, 3 * 32 * 128]


@pytest.mark.parametrize(
    "argv",
    [["--samples", "0"], ["--eval-samples", "-5"], ["--update-threads", "0"], ["--minutes", "1", "--samples", "9"]],
)
def test_the_trainer_refuses_bad_budgets(argv, capsys):
    from zorbic.training.train import main

    with pytest.raises(SystemExit):
        main(argv)
    assert "error" in capsys.readouterr().err
