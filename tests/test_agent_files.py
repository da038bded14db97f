"""Agent files round trip, act as the model they came from, and need neither torch nor stable-baselines3."""

import subprocess
import sys

import numpy as np
import pytest

from agent_helpers import random_agent
from zorbic.agents import load_agent, load_policy, opponent_from_file, save_agent
from zorbic.core.batch import SoccerBatch
from zorbic.core.match_setup import MatchSetup


@pytest.mark.parametrize("setup", [{}, {"n_red": 2, "n_blue": 1, "tick_skip": 4}])
def test_a_saved_agent_reads_back_bit_for_bit(tmp_path, setup):
    agent = random_agent(seed=3, **setup)
    again = load_agent(save_agent(agent, tmp_path / "a.agent"))
    obs = np.random.default_rng(0).normal(size=(64, agent.obs_dim)).astype(np.float32)
    # Weights are stored in single precision, as they are trained.
    for w, v in zip(agent.weights, again.weights):
        np.testing.assert_array_equal(w.astype(np.float32), v)
    np.testing.assert_allclose(again.action_probabilities(obs), agent.action_probabilities(obs), atol=1e-6)
    assert again.setup == agent.setup
    assert MatchSetup(**load_policy(tmp_path / "a.agent")[1]).n_red == setup.get("n_red", 1)


def test_drawn_actions_follow_the_probabilities():
    agent = random_agent(seed=1)
    obs = np.zeros((20000, agent.obs_dim))
    drawn = agent.predict(obs, deterministic=False, rng=np.random.default_rng(5))[0]
    frequency = np.bincount(drawn, minlength=agent.action_dims[0]) / len(drawn)
    np.testing.assert_allclose(frequency, agent.action_probabilities(obs[:1])[0], atol=0.015)
    assert np.array_equal(drawn, agent.predict(obs, deterministic=False, rng=np.random.default_rng(5))[0])


def test_an_agent_file_drives_an_opponent(tmp_path):
    path = save_agent(random_agent(seed=2), tmp_path / "o.agent")
    opponent = opponent_from_file(path)
    batch = SoccerBatch(4, MatchSetup(opponent=opponent))
    start = batch.state.player_pos[:, 1].copy()
    for _ in range(5):
        batch.step(np.zeros(4, np.int64))
    assert np.any(batch.state.player_pos[:, 1] != start), "the agent's player should move"


def test_evaluating_agent_files_needs_no_torch(tmp_path):
    mine = save_agent(random_agent(seed=4), tmp_path / "mine.agent")
    theirs = save_agent(random_agent(seed=5), tmp_path / "theirs.agent")
    code = (
        "import sys; sys.modules['torch'] = None; sys.modules['stable_baselines3'] = None\n"
        "from zorbic.commands.main import main\n"
        f"sys.exit(main(['evaluate', {str(mine)!r}, '--against', {str(theirs)!r}, '--matches', '20']))"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "against theirs.agent: 20 matches" in done.stdout


def _trained_model(tmp_path):
    stable_baselines3 = pytest.importorskip("stable_baselines3", reason="stable-baselines3 (the [sb3] extra)")
    import torch

    from zorbic.faces.sb3 import make_vec_env

    torch.set_num_threads(1)
    env = make_vec_env(16, opponent="random")
    model = stable_baselines3.PPO("MlpPolicy", env, n_steps=32, batch_size=256, n_epochs=1, seed=0, device="cpu")
    model.learn(512)
    # A few hundred samples leave the policy close to uniform, where two
    # actions' logits can differ by less than single-precision rounding and
    # any two correct implementations may pick either. Sharpened logits
    # keep the comparison about the network, not about rounding.
    with torch.no_grad():
        model.policy.action_net.weight *= 30.0
    from zorbic.agents import saved_setup

    model.zorbic_setup = saved_setup(env.batch.setup)
    path = tmp_path / "model.zip"
    model.save(path, include=["zorbic_setup"])
    return model, env, path


def test_an_exported_agent_acts_as_its_model(tmp_path):
    model, env, path = _trained_model(tmp_path)
    import torch

    from zorbic.commands.main import main

    assert main(["export", str(path), "--out", str(tmp_path / "model.agent")]) == 0
    agent = load_agent(tmp_path / "model.agent")
    observations = []
    obs = env.reset()
    rng = np.random.default_rng(0)
    while sum(len(o) for o in observations) < 10_000:
        observations.append(obs)
        obs, *_ = env.step(rng.integers(0, env.action_space.n, env.num_envs))
    obs = np.concatenate(observations)
    want = model.predict(obs, deterministic=True)[0]
    np.testing.assert_array_equal(agent.predict(obs)[0], want)
    with torch.no_grad():
        probs = model.policy.get_distribution(model.policy.obs_to_tensor(obs)[0]).distribution.probs.numpy()
    np.testing.assert_allclose(agent.action_probabilities(obs), probs, atol=1e-5)


def test_export_refuses_another_suffix(tmp_path, capsys):
    from zorbic.commands.main import main

    assert main(["export", str(tmp_path / "m.zip"), "--out", str(tmp_path / "m.bin")]) == 1
    assert "ends with .agent" in capsys.readouterr().err
