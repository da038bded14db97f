"""A long scripted match set, pinned by one digest of everything a caller can
read, must come out bit for bit the same with any number of worker threads,
in any process and on every run.

The script plays the classic stadium and a stadium with arcs of both turning
directions, one-sided walls, traits, a goal line of no team and movable discs,
with several team sizes. Its actions come from a fixed-seed bit generator;
it kicks, scores, lets some after-goal countdowns run out and resets other
envs, places states, changes player masks and the kick rate limit, and asks
for predictions. Run as a script, the file prints the result as JSON.
"""

import hashlib
import json
import os
import subprocess
import sys

import numpy as np
import pytest

from zorbic_core import VecEnv

# The digest of the whole script. It changes whenever any arithmetic or rule
# of the engine does; a change that is meant must re-pin it.
GOLDEN_DIGEST = "ecdf46c9f9c6e5d92cc67f8fe6b778fd450841288c27b8d2a9c6242ff14152fa"

CHILD_TIMEOUT = 120  # seconds; only a hang comes near it

# File frame; the engine reverses y. The field spans x in [-300, 300] and
# y in [-150, 150], with goal mouths of half-width 50 at both ends.
PITCH = {
    "name": "Determinism pitch",
    "spawnDistance": 150,
    "redSpawnPoints": [[-170, 0]],
    "traits": {
        "corner": {"bCoef": 0.9, "cMask": ["ball"]},
        "net": {"bCoef": 0.1, "cMask": ["ball"], "curve": 100},
        "post": {"radius": 6, "invMass": 0, "bCoef": 0.5},
        "barrier": {"cMask": ["red", "blue"], "cGroup": ["redKO", "blueKO"]},
    },
    "vertexes": [
        {"x": -260, "y": 150},
        {"x": 260, "y": 150},
        {"x": 300, "y": 110},
        {"x": 300, "y": 50},
        {"x": 300, "y": -50},
        {"x": 300, "y": -110},
        {"x": 260, "y": -150},
        {"x": -260, "y": -150},
        {"x": -300, "y": -110},
        {"x": -300, "y": -50},
        {"x": -300, "y": 50},
        {"x": -300, "y": 110},
        {"x": 0, "y": 150},
        {"x": 0, "y": 45},
        {"x": 0, "y": -45},
        {"x": 0, "y": -150},
        {"x": -200, "y": 80},
        {"x": -140, "y": 100},
        {"x": 200, "y": -80},
        {"x": 140, "y": -100},
    ],
    "segments": [
        {"v0": 0, "v1": 1, "cMask": ["ball"], "bCoef": 1},
        {"v0": 1, "v1": 2, "trait": "corner", "curve": 90},
        {"v0": 2, "v1": 3, "cMask": ["ball"]},
        {"v0": 3, "v1": 4, "trait": "net", "curve": -200, "vis": False},
        {"v0": 4, "v1": 5, "cMask": ["ball"]},
        {"v0": 6, "v1": 5, "trait": "corner", "curve": -90},
        {"v0": 6, "v1": 7, "cMask": ["ball"], "bCoef": 1},
        {"v0": 7, "v1": 8, "trait": "corner", "curve": 90},
        {"v0": 8, "v1": 9, "cMask": ["ball"]},
        {"v0": 10, "v1": 9, "trait": "net", "curve": 200},
        {"v0": 10, "v1": 11, "cMask": ["ball"]},
        {"v0": 0, "v1": 11, "trait": "corner", "curve": -90},
        {"v0": 12, "v1": 13, "trait": "barrier"},
        {"v0": 14, "v1": 15, "trait": "barrier"},
        {"v0": 13, "v1": 14, "trait": "barrier", "curve": 180, "cGroup": ["redKO"]},
        {"v0": 14, "v1": 13, "trait": "barrier", "curve": 180, "cGroup": ["blueKO"]},
        # One-sided deflectors, one per sign of the bias.
        {"v0": 16, "v1": 17, "bias": 12, "bCoef": 1.5},
        {"v0": 18, "v1": 19, "bias": -12, "bCoef": 0.4, "curve": 30},
    ],
    "planes": [
        {"normal": [0, 1], "dist": -200, "bCoef": 0.2},
        {"normal": [0, -1], "dist": -200, "bCoef": 0.2},
        {"normal": [2, 0], "dist": -380},
        {"normal": [-1, 0], "dist": -380, "cMask": ["all", "kick"]},
    ],
    "goals": [
        {"p0": [300, 50], "p1": [300, -50], "team": "blue"},
        {"p0": [-300, 50], "p1": [-300, -50], "team": "red"},
        {"p0": [-30, 125], "p1": [30, 125], "team": "nobody"},
    ],
    "discs": [
        {"pos": [300, 50], "trait": "post"},
        {"pos": [300, -50], "trait": "post"},
        {"pos": [-300, 50], "trait": "post", "radius": 7},
        {"pos": [-300, -50], "trait": "post"},
        {"pos": [0, 90], "radius": 8, "invMass": 0.5, "cGroup": ["ball", "kick"], "damping": 0.97},
        {"pos": [-120, -70], "radius": 16, "invMass": 0.05, "bCoef": 0.8},
        {"cGroup": ["ball", "kick", "score"], "radius": 9, "bCoef": 0.6, "damping": 0.99},
    ],
    "ballPhysics": "disc6",
    "playerPhysics": {"kickStrength": 6, "kickback": 0.3, "radius": 14},
}

# (stadium, n_envs, n_red, n_blue, tick_skip, steps, half-width of the pitch)
SCENARIOS = [
    (None, 12, 1, 1, 8, 260, 370.0),
    (None, 6, 3, 3, 8, 200, 370.0),
    (None, 5, 0, 2, 5, 220, 370.0),
    (PITCH, 10, 2, 0, 6, 300, 300.0),
    (PITCH, 6, 2, 2, 8, 240, 300.0),
]

MASKS = [39, 47, 55, 0, 1, 2**62 + 39, -1]
KICK_LIMITS = [(6, 0, 1), (0, 2, 3), (3, -1, 0), (2, 0, 1)]
ODD_MOVES = [-(2**62), -7, 3, 2**40]


class Draws:
    """Integers from a fixed-seed bit generator. Only its raw output is used,
    so the stream stays the same whatever NumPy's sampling methods do."""

    def __init__(self, seed):
        self.bits = np.random.PCG64(seed)

    def below(self, n, shape):
        return (self.bits.random_raw(int(np.prod(shape))) % np.uint64(n)).astype(np.int64).reshape(shape)


def length(v):
    """Euclidean length over the last axis with only correctly rounded
    operations, so the script's decisions do not hang on a library's
    summation order."""
    return np.sqrt(v[..., 0] * v[..., 0] + v[..., 1] * v[..., 1])


def chase_actions(env, draws, half_width):
    """Most players run round behind the ball and kick when close; a quarter
    press random keys, now and then with extreme move values."""
    ball_pos, ball_vel, player_pos, _, _ = env.snapshot()
    teams = env.teams()
    n, p = env.n_envs, env.n_players
    attack_x = np.where(teams == 2, half_width, -half_width)
    ball = ball_pos[:, None, :]
    away = ball - np.stack([attack_x, np.zeros_like(attack_x)], axis=-1)
    behind = ball + 20.0 * away / np.maximum(length(away), 1e-9)[..., None]
    to_ball = ball - player_pos
    close = length(to_ball) < 32.0
    target = np.where(close[..., None], ball, behind)
    delta = target - player_pos
    actions = np.zeros((n, p, 3), np.int64)
    actions[..., :2] = np.where(np.abs(delta) > 1.0, np.sign(delta), 0).astype(np.int64)
    actions[..., 2] = np.where(close, 1 + draws.below(2, (n, p)), 0)

    wild = draws.below(4, (n, p)) == 0
    random_keys = draws.below(3, (n, p, 3)) - 1
    random_keys[..., 2] = draws.below(4, (n, p))
    actions = np.where(wild[..., None], random_keys, actions)
    odd = draws.below(50, (n, p)) == 0
    actions[..., 0] = np.where(odd, np.array(ODD_MOVES, np.int64)[draws.below(4, (n, p))], actions[..., 0])
    return actions, length(ball_vel)


def shot_at_goal(env, draws, half_width):
    """Places the ball of about half the envs in front of a goal, moving
    towards it; the other envs keep what they have."""
    ball_pos, ball_vel, player_pos, player_vel, steps = env.snapshot()
    n = env.n_envs
    chosen = draws.below(2, (n,)) == 1
    side = np.where(draws.below(2, (n,)) == 1, 1.0, -1.0)
    y = (draws.below(81, (n,)) - 40).astype(np.float64)
    speed = 3.0 + draws.below(5, (n,)).astype(np.float64)
    ball_pos[chosen] = np.stack([side * (half_width - 60.0), y], axis=-1)[chosen]
    ball_vel[chosen] = np.stack([side * speed, -y / 40.0], axis=-1)[chosen]
    if draws.below(2, (1,))[0]:
        new_steps = draws.below(10**6, (n,))
        env.set_state(ball_pos, ball_vel, player_pos, player_vel, new_steps)
    else:
        # Keyword form, strided inputs and the steps counter reset to 0.
        env.set_state(
            ball_pos=ball_pos[::-1][::-1],
            ball_vel=ball_vel,
            player_pos=np.asfortranarray(player_pos),
            player_vel=player_vel,
        )


def play_scenario(stadium, n_envs, n_red, n_blue, tick_skip, steps, half_width, seed, digest):
    if stadium is None:
        env = VecEnv(n_envs, n_red, n_blue, tick_skip=tick_skip)
    else:
        env = VecEnv.from_zsm(json.dumps(stadium), n_envs, n_red, n_blue, tick_skip=tick_skip)
    draws = Draws(seed)
    obstacles_before = env.obstacle_discs()
    counts = {"goals": 0, "countdowns": 0, "kicks": 0, "teamless": 0}
    waiting = np.zeros(n_envs, bool)  # envs left in their after-goal countdown

    for step in range(steps):
        if step % 53 == 52:
            shot_at_goal(env, draws, half_width)
        if step % 23 == 11:
            env.set_player_cmask(MASKS[draws.below(len(MASKS), (1,))[0]])
        if step % 41 == 40:
            env.set_kick_rate_limit(*KICK_LIMITS[(step // 41) % len(KICK_LIMITS)])
        if step % 29 == 7:
            digest.update(env.predict_ball([1, 5, 5, 30, 12, 0]).tobytes())

        actions, speed_before = chase_actions(env, draws, half_width)
        scored = env.physics_step(actions)
        digest.update(scored.tobytes())
        goal = scored >= 0
        counts["goals"] += int(goal.sum())
        counts["teamless"] += int((scored == 0).sum())

        # Odd envs play their countdown out; even ones are reset at once.
        ball_pos = env.snapshot()[0]
        counts["countdowns"] += int((waiting & ~goal & np.all(ball_pos == 0.0, axis=1)).sum())
        waiting = (waiting | goal) & ~np.all(ball_pos == 0.0, axis=1)
        reset = goal & (np.arange(n_envs) % 2 == 0)
        if step % 60 == 59:
            reset |= draws.below(5, (n_envs,)) == 0
        env.reset_mask(reset)
        waiting &= ~reset

        # A kick adds several units per tick at once; running into the ball
        # adds far less.
        counts["kicks"] += int((length(env.snapshot()[1]) > speed_before + 3.0).sum())
        if step % 10 == 0:
            for part in env.snapshot():
                digest.update(part.tobytes())

    if stadium is not None:
        env.reset_all()
        counts["moved_obstacles"] = int(np.any(env.obstacle_discs() != obstacles_before))
    for part in [
        *env.snapshot(),
        *env.kick_state(),
        env.teams(),
        env.obstacle_discs(),
        *env.goals(),
        env.wall_segments(),
    ]:
        digest.update(part.tobytes())
    return counts


def run_script():
    digest = hashlib.sha256()
    counts = []
    for seed, scenario in enumerate(SCENARIOS):
        counts.append(play_scenario(*scenario, seed=1000 + seed, digest=digest))
    return {"digest": digest.hexdigest(), "counts": counts}


def test_the_script_reaches_what_it_means_to_pin():
    result = run_script()
    for scenario, counts in zip(SCENARIOS, result["counts"]):
        assert counts["goals"] >= 5, (scenario[1:4], counts)
        assert counts["countdowns"] >= 1, (scenario[1:4], counts)
        assert counts["kicks"] >= 5, (scenario[1:4], counts)
    pitch = [counts for scenario, counts in zip(SCENARIOS, result["counts"]) if scenario[0] is not None]
    assert any(counts["moved_obstacles"] for counts in pitch)
    assert sum(counts["teamless"] for counts in pitch) >= 1


def test_twice_in_one_process_gives_the_pinned_digest():
    assert [run_script()["digest"] for _ in range(2)] == [GOLDEN_DIGEST] * 2


@pytest.mark.parametrize("threads", ["1", "2", "3", "8"])
def test_every_pool_size_gives_the_pinned_digest(threads):
    env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    env["RAYON_NUM_THREADS"] = threads
    completed = subprocess.run(
        [sys.executable, __file__], env=env, capture_output=True, text=True, timeout=CHILD_TIMEOUT
    )
    assert completed.returncode == 0, completed.stderr
    assert json.loads(completed.stdout)["digest"] == GOLDEN_DIGEST


if __name__ == "__main__":
    print(json.dumps(run_script()))
