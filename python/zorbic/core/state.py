"""What every training part sees: the static facts of a batch and its state.

All arrays are in the engine frame (stadium units, the file's y axis
reversed, velocities in units per tick). M is the number of matches and P the
number of player slots per match, red slots first.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

import zorbic_core
from zorbic.engine.stadium import Stadium

# wall_segments() draws every plane as a segment this long (the engine's
# choice); shorter rows are real straight walls.
_PLANE_ROW_LENGTH = 6000.0


@dataclass(frozen=True, eq=False)
class Field:
    """Facts of a batch that never change: who plays where, and the scales.

    Red defends its goal line and attacks blue's; a blue player sees the
    field mirrored in x (`mirror` is -1), so that one policy can play either
    side. `extent` is the stadium's half width and half height, `speed` a
    player's top running speed: the scales of every observation. A part
    that keeps something per batch keys it by its Field, so that one part
    object can serve several batches.
    """

    stadium: Stadium
    n_red: int
    n_blue: int
    teams: np.ndarray  # (P,) int64, FLAG_RED or FLAG_BLUE per slot
    mirror: np.ndarray  # (P,) float64, +1 for red slots, -1 for blue slots
    attack: np.ndarray  # (P, 2) the mouth of the goal each slot attacks
    defend: np.ndarray  # (P, 2) the mouth of the goal each slot defends
    extent: np.ndarray  # (2,) half width and half height
    speed: float
    walls: np.ndarray  # (W, 4) the ball's straight walls, [x0, y0, x1, y1]
    obstacles: np.ndarray  # (D, 3) the obstacle discs at the start, [x, y, radius]
    engine: zorbic_core.VecEnv  # for parts that ask the engine (prediction, obstacle discs)

    @property
    def n_players(self) -> int:
        """Players per match."""
        return self.n_red + self.n_blue

    @property
    def diagonal(self) -> float:
        """The length of the field's diagonal, the scale of distances in observations."""
        return float(2.0 * np.hypot(*self.extent))

    @classmethod
    def of(cls, env: zorbic_core.VecEnv, stadium: Stadium, n_red: int, n_blue: int) -> Field:
        """The field of a batch's matches, read from its engine and stadium."""
        teams = env.teams()[0].copy()
        p0, p1, defender = env.goals()
        walls = env.wall_segments()
        extent = _extent(walls, p0, p1)
        mouths = (p0 + p1) / 2.0
        red_goal = _mouth(mouths, defender, zorbic_core.FLAG_RED, (-extent[0], 0.0))
        blue_goal = _mouth(mouths, defender, zorbic_core.FLAG_BLUE, (extent[0], 0.0))
        is_red = teams == zorbic_core.FLAG_RED
        return cls(
            stadium=stadium,
            n_red=n_red,
            n_blue=n_blue,
            teams=teams,
            mirror=np.where(is_red, 1.0, -1.0),
            attack=np.where(is_red[:, None], blue_goal, red_goal),
            defend=np.where(is_red[:, None], red_goal, blue_goal),
            extent=extent,
            speed=stadium.player.top_speed,
            walls=walls,
            obstacles=env.obstacle_discs(),
            engine=env,
        )


def _extent(walls: np.ndarray, p0: np.ndarray, p1: np.ndarray) -> np.ndarray:
    """Half width and height: the farthest wall end, plane or goal post."""
    lengths = np.hypot(walls[:, 2] - walls[:, 0], walls[:, 3] - walls[:, 1])
    is_plane = lengths >= _PLANE_ROW_LENGTH - 1e-6
    straight = walls[~is_plane].reshape(-1, 2)
    # A plane row is centred on the plane's point nearest the origin.
    planes = (walls[is_plane, :2] + walls[is_plane, 2:]) / 2.0
    points = np.concatenate([straight, planes, p0, p1])
    extent = np.abs(points).max(axis=0) if len(points) else np.zeros(2)
    return np.where(extent > 0, extent, 1.0)


def _mouth(mouths: np.ndarray, defender: np.ndarray, team: int, fallback: tuple[float, float]) -> np.ndarray:
    hits = np.flatnonzero(defender == team)
    return mouths[hits[0]].copy() if len(hits) else np.array(fallback)


@dataclass
class BatchState:
    """The state of every match after a step (or a restart)."""

    ball_pos: np.ndarray  # (M, 2)
    ball_vel: np.ndarray  # (M, 2)
    player_pos: np.ndarray  # (M, P, 2)
    player_vel: np.ndarray  # (M, P, 2)
    ticks: np.ndarray  # (M,) int64 physics ticks since the match's last restart
    episode_steps: np.ndarray  # (M,) int64 steps of the current episode
    scored: np.ndarray  # (M,) int8: the side that conceded in the last step, or -1
    terminated: np.ndarray  # (M,) bool: the last step ended the match's episode (a goal)

    @property
    def n_matches(self) -> int:
        """How many matches the state holds."""
        return len(self.ball_pos)


def read_state(
    env: zorbic_core.VecEnv, episode_steps: np.ndarray, scored: np.ndarray, terminated: np.ndarray
) -> BatchState:
    """The state of every match of `env`, with the batch's own episode counters."""
    ball_pos, ball_vel, player_pos, player_vel, ticks = env.snapshot()
    return BatchState(ball_pos, ball_vel, player_pos, player_vel, ticks, episode_steps, scored, terminated)
