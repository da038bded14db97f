"""The tick tests only the walls within reach of a disc, found through a grid
laid over the stadium. Ball prediction tests every wall, so a ball that no
player touches must follow the predicted path bit for bit, however many walls
there are, wherever it starts (outside the grid included) and however fast it
crosses the cells."""

import json
import math

import numpy as np
import pytest

from zorbic_core import VecEnv

# A goal's kickoff reset comes 150 ticks after it, so within this many ticks
# the ball is never put back on the spot.
TICKS = 150


def ring_stadium(n_sides: int, n_planes: int, ball_radius: float) -> str:
    """A ball-only ring of many short walls around arcs of both turning
    directions and one-sided walls of both signs, inside a polygon of planes;
    more of each than one 64-bit word of the grid holds."""
    vertexes, segments = [], []

    def add_segment(a, b, **props):
        vertexes.extend([{"x": a[0], "y": a[1]}, {"x": b[0], "y": b[1]}])
        segments.append({"v0": len(vertexes) - 2, "v1": len(vertexes) - 1, "cMask": ["ball"], **props})

    ring = [
        (330 * math.cos(2 * math.pi * k / n_sides), 190 * math.sin(2 * math.pi * k / n_sides)) for k in range(n_sides)
    ]
    for k in range(n_sides):
        add_segment(ring[k], ring[(k + 1) % n_sides], bCoef=0.9 + 0.1 * (k % 3))
    for k, (x, y) in enumerate([(-200, 0), (-100, 80), (0, -90), (100, 60), (200, -20), (60, 0)]):
        curve = [90, -120, 200, -250, 60, -60][k]
        add_segment((x - 25, y), (x + 25, y + 10), curve=curve, bias=[0, 6, -6, 0, 12, -3][k], bCoef=1.1)
    # One-sided walls that catch a centre deeper behind them than any disc
    # is wide.
    add_segment((-60, 120), (60, 150), bias=45)
    add_segment((60, -130), (-60, -150), bias=-45)
    planes = [
        {
            "normal": [math.cos(2 * math.pi * k / n_planes), math.sin(2 * math.pi * k / n_planes)],
            "dist": -420.0,
            "bCoef": 0.5,
        }
        for k in range(n_planes)
    ]
    return json.dumps(
        {
            "vertexes": vertexes,
            "segments": segments,
            "planes": planes,
            "discs": [{"pos": [0, 0], "radius": 12, "invMass": 0, "bCoef": 0.8}],
            "ballPhysics": {"radius": ball_radius, "bCoef": 0.7, "damping": 0.998},
        }
    )


def classic_text() -> str:
    from pathlib import Path

    return (Path(__file__).resolve().parent.parent / "data" / "classic.zsm").read_text()


def thrown_balls(env: VecEnv, rng: np.random.Generator, spread: float) -> tuple[np.ndarray, np.ndarray]:
    """Balls from all over and beyond the stadium at speeds up to 40 units per
    tick; players far away, and out of the game through their masks."""
    n, p = env.n_envs, env.n_players
    ball_pos = rng.uniform(-spread, spread, size=(n, 2))
    angle = rng.uniform(0, 2 * np.pi, n)
    speed = rng.uniform(0, 40, n)
    ball_vel = np.stack([np.cos(angle) * speed, np.sin(angle) * speed], axis=1)
    player_pos = np.full((n, p, 2), 5000.0)
    env.set_state(ball_pos, ball_vel, player_pos, np.zeros((n, p, 2)))
    return ball_pos, ball_vel


def free_flight(pos: np.ndarray, vel: np.ndarray, damping: float, ticks: int) -> np.ndarray:
    for _ in range(ticks):
        pos, vel = pos + vel, vel * damping
    return pos


@pytest.mark.parametrize(
    "text, damping, spread",
    [
        (ring_stadium(100, 70, 9.0), 0.998, 300.0),
        (ring_stadium(100, 70, 9.0), 0.998, 1500.0),
        (ring_stadium(24, 8, 30.0), 0.998, 600.0),  # a ball larger than the players
        (classic_text(), 0.99, 450.0),
    ],
    ids=["many-walls", "many-walls-from-afar", "big-ball", "classic"],
)
def test_a_lone_ball_follows_the_path_that_tests_every_wall(text, damping, spread):
    env = VecEnv.from_zsm(text, 400, 1, 1, tick_skip=1)
    start_pos, start_vel = thrown_balls(env, np.random.default_rng(len(text) + int(spread)), spread)
    predicted = env.predict_ball(list(range(1, TICKS + 1)))
    actions = np.zeros((env.n_envs, env.n_players, 3), np.int64)
    stepped = np.empty_like(predicted)
    for t in range(TICKS):
        env.set_player_cmask(0)  # governs the coming tick only
        env.physics_step(actions)
        stepped[:, t] = env.snapshot()[0]
    assert stepped.tobytes() == predicted.tobytes()
    # Most balls met walls on the way.
    bent = np.any(predicted[:, -1] != free_flight(start_pos, start_vel, damping, TICKS), axis=1)
    assert bent.mean() > 0.8
