"""The examples of the README and the guides must run and do what the text around them says."""

import pathlib
import re

import numpy as np

from zorbic_core import FLAG_BLUE, FLAG_RED

ROOT = pathlib.Path(__file__).resolve().parent.parent
DOCS = [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]
BLOCKS = [
    (doc.relative_to(ROOT), block)
    for doc in DOCS
    for block in re.findall(r"^```python\n(.*?)^```", doc.read_text(encoding="utf-8"), re.S | re.M)
]
# The examples checked below, found by what they define.
FRONT_PAGE, TOUR, KICKOFF, REPLAY, OBSERVER, QUICK_START, OWN_PARTS = (
    next(i for i, (_, block) in enumerate(BLOCKS) if marker in block)
    for marker in (
        "for _ in range(50)",
        "env.rollout_bench(1000)",
        "def random_kickoff",
        "def resimulate",
        "class Observer",
        "for _ in range(100)",
        "def stay_central",
    )
)


def run(index):
    where, block = BLOCKS[index]
    namespace = {"__name__": f"doc_example_{index}"}
    exec(compile(block, f"{where}[{index}]", "exec"), namespace)
    return namespace


def test_front_page_example_steps_every_match():
    ns = run(FRONT_PAGE)
    assert ns["ticks"].shape == (256,)
    assert ns["ball_pos"].shape == (256, 2) and np.all(np.isfinite(ns["ball_pos"]))
    assert np.any(ns["ball_vel"] != 0.0), "fifty steps of random play should move some ball"


def test_api_tour_runs():
    ns = run(TOUR)
    env = ns["env"]
    assert (env.n_envs, env.n_players, env.obs_dim) == (1024, 6, 32)
    assert env.snapshot()[4].tolist() == [1000] * 1024


def test_random_kickoff_moves_only_the_selected_envs():
    ns = run(KICKOFF)
    env, done = ns["env"], ns["done"]
    ball_pos, ball_vel, player_pos, player_vel, steps = env.snapshot()
    # The re-randomised envs start over; the others keep the tick they ran.
    assert steps.tolist() == [0 if d else 8 for d in done]
    assert np.all(np.abs(ball_pos[done]) <= 40.0)
    np.testing.assert_array_equal(ball_vel[done], 0.0)
    np.testing.assert_array_equal(player_vel[done], 0.0)
    teams = env.teams()
    assert np.all(player_pos[teams == FLAG_RED][:, 0] < 0)
    assert np.all(player_pos[teams == FLAG_BLUE][:, 0] > 0)
    # Each env got its own draw.
    assert len({row.tobytes() for row in player_pos}) == env.n_envs


def test_replay_is_reproducible_and_eventful():
    ns = run(REPLAY)
    first = ns["first"]
    assert first.shape == (240, 2)
    assert np.any(first != 0.0), "the players should have reached the ball"


def test_observer_builds_finite_features_per_player():
    ns = run(OBSERVER)
    obs, env = ns["obs"], ns["env"]
    assert obs.shape == (env.n_envs, env.n_players, 20)
    assert np.all(np.isfinite(obs))
    # The first two features point from each player to the goal its team defends.
    player_pos = env.snapshot()[2]
    own_goal_x = np.where(env.teams() == FLAG_RED, -370.0, 370.0)
    np.testing.assert_allclose(obs[:, :, 0] + player_pos[:, :, 0], own_goal_x)


def test_training_quick_start_steps_a_thousand_matches():
    ns = run(QUICK_START)
    envs, obs = ns["envs"], ns["obs"]
    assert obs.shape == (1024, 12) and obs.dtype == np.float32
    assert envs.unwrapped.batch.n_matches == 1024


def test_own_parts_shape_the_batch():
    ns = run(OWN_PARTS)
    obs, rewards = ns["obs"], ns["rewards"]
    assert obs.shape == (8, 2) and rewards.shape == (8,)
    assert np.all(np.abs(obs) <= 2.0) and np.all(rewards <= 0.0)
